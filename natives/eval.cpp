// Evaluation and function-making natives: do, reduce, compose, apply, func,
// function, does, has and transcode.
#include <optional>
#include <string_view>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "memory/collector.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

using interpreter::Chain;
namespace passing = interpreter::passing;

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

inline bool is_function_type(TypeId t) {
  return t == TypeId::function || t == TypeId::native || t == TypeId::action ||
         t == TypeId::routine || t == TypeId::op;
}

// A head index past the tail is set to the tail (in place).
void clamp(Cell* series) {
  if (!is_any_block(series->type()) && !is_any_string(series->type()) &&
      !series->is(TypeId::binary))
    return;
  SeriesBuffer* s = memory::series(series->node());
  uint32_t unit = s->unit();
  uint32_t shift = unit == 16 ? 4 : unit == 4 ? 2 : unit == 2 ? 1 : 0;
  int32_t length = static_cast<int32_t>((s->tail - s->offset) >> shift);
  if (series->head() > length) series->set_head(length);
  if (series->head() < 0) series->set_head(0);
}

// Evaluates one value as an expression (a word gives its value, a function
// is called with no arguments available); the result is pushed.
void eval_value(const Cell* value) {
  Cell* holder = block::push_only(1);
  block::rs_append(holder, value);
  Cell code = *holder;
  (void)passing::eval_expression(code, 0, 1, false, false);
  if (exits::pending) return;
  *holder = stack::top[-1];
  stack::top = holder + 1;
}

// --- do

// do/expand: the preprocessor rewrites the block in place first
// (preprocessor/expand with the job none, without /clean).
void expand_directives(const Cell* block) {
  Cell word = word::load("preprocessor");
  Cell* pre = context::get(&word);
  Cell* fn = pre && pre->is(TypeId::object) ? object::field(pre, "expand") : nullptr;
  if (!fn || !fn->is(TypeId::function)) fire(ErrorCode::internal_not_done);
  Cell f = *fn;
  Cell name = word::load("expand");
  Cell none = none_value;
  const Cell* call_args[] = {block, &none};
  Cell* saved = stack::top;
  passing::call_function(&f, call_args, 2, &name);
  stack::top = saved;
}

class QelLexerSink;

void do_value(const int32_t* refinements);

void do_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool has_trace = present(refinements, 3);
  bool installed = false;
  if (has_trace && !interpreter::trace_q) {
    interpreter::install_callback(args + refinements[3]);
    installed = true;
  }
  // Declared before the init event fires, so that an error raised by the
  // callback at init still ends the trace and clears the callback. On the
  // way out of an error or an exit, the callback's end event cannot add an
  // error of its own.
  struct TraceEnd {
    bool installed;
    ~TraceEnd() {
      if (!installed) return;
      Cell saved = unwind::thrown_value;
      uint32_t pending = exits::pending;
      exits::pending = 0;
      try {
        interpreter::fire_end();
      } catch (...) {
      }
      exits::pending = pending;
      unwind::thrown_value = saved;
      interpreter::clear_callback();
    }
  } trace_end{installed};
  if (installed) interpreter::fire_init();
  do_value(refinements);
  if (!installed || exits::pending) return;
  // A normal end: an error the callback raises at its end event is the
  // call's error, as at any other event.
  trace_end.installed = false;
  Cell* saved_top = stack::top;
  try {
    interpreter::fire_end();
  } catch (...) {
    interpreter::clear_callback();
    throw;
  }
  interpreter::clear_callback();
  stack::top = saved_top;
}

// do's evaluation of its value, by the value's type.
void do_value(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool has_next = present(refinements, 2);
  Cell* value = args;
  clamp(value);
  switch (value->type()) {
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash: {
      Cell blk = *value;
      if (present(refinements, 0)) {
        expand_directives(&blk);
        if (exits::pending) return;
      }
      if (has_next) {
        int32_t pc = passing::do_next(&blk);
        if (exits::pending) return;
        Cell result = stack::top[-1];
        Cell word = args[refinements[2]];
        Cell pos = blk;
        pos.set_head(pc);
        Cell* p = stack::push(&pos);
        context::set(&word, p);
        *args = result;
        stack::top = args + 1;
      } else {
        passing::eval(&blk, Chain::yes);
      }
      return;
    }
    case TypeId::path: {
      Cell path = *value;
      (void)passing::eval_path(path, path, -1, 0, interpreter::PathMode::eval, false, nullptr);
      if (exits::pending) return;
      *args = stack::top[-1];
      stack::top = args + 1;
      return;
    }
    case TypeId::string: {
      Cell* loaded = stack::push_slot();
      set_none(loaded);
      lexer::ScanOptions options;
      lexer::load_string(loaded, value, -1, options);
      // The loaded block takes the text's place and is done as a block is,
      // with /expand and /next.
      *value = *loaded;
      stack::top = loaded;
      do_value(refinements);
      return;
    }
    case TypeId::file:
    case TypeId::url: {
      Cell word = word::load("do-file");
      Cell* fn = context::get(&word);
      if (!fn->is(TypeId::function)) fire(ErrorCode::internal_not_done);
      Cell f = *fn;
      Cell none = none_value;
      Cell args_value = present(refinements, 1) ? args[refinements[1]] : none;
      // do-file (file, the script's arguments, a trace callback): no callback.
      const Cell* call_args[] = {value, &args_value, &none};
      passing::call_function(&f, call_args, 3, &word);
      if (exits::pending) return;
      *args = stack::top[-1];
      stack::top = args + 1;
      return;
    }
    case TypeId::error:
      stack::throw_error(value);
    default: {
      Cell v = *value;
      eval_value(&v);
      if (exits::pending) return;
      *args = stack::top[-1];
      stack::top = args + 1;
      return;
    }
  }
}

// --- reduce

// Adds the values of `source` (a block on the stack) to `out`: appended at
// its tail, or inserted at its position. Answers the result of the insert.
void add_into(Cell* out, Cell* source) {
  if (block::rs_tail_q(out) || block::rs_length_q(out) < 0) {
    block::append_cells(out, source);
  } else {
    Cell* saved = stack::top;
    Cell target = *out;
    Cell* t = stack::push(&target);
    actions::call_insert(t, source, -1, false, 1);
    stack::top = saved;
  }
}

void reduce(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool into = present(refinements, 0);
  Cell* value = args;
  if (value->is(TypeId::block)) {
    Cell blk = *value;
    clamp(&blk);
    int32_t n = block::rs_length_q(&blk);
    Cell* out = block::push_only(n);
    Cell* mark = stack::top;
    int32_t pc = blk.head();
    while (pc < block::total_cells(&blk)) {
      stack::top = mark;
      pc = passing::eval_next(&blk, pc, block::total_cells(&blk), Chain::no);
      if (exits::pending) return;
      Cell* v = block::rs_append(out, mark);
      v->clear_flag(cell_flag::new_line);
    }
    stack::top = mark;
    if (into) {
      Cell* target = args + refinements[0];
      add_into(target, out);
      *args = *target;
    } else {
      *args = *out;
    }
    stack::top = args + 1;
    return;
  }
  Cell v = *value;
  if (is_function_type(v.type())) {
    stack::push(&v);
  } else {
    eval_value(&v);
    if (exits::pending) return;
  }
  if (into) {
    Cell* item = stack::top - 1;
    Cell* holder = block::push_only(1);
    block::rs_append(holder, item);
    Cell* target = args + refinements[0];
    add_into(target, holder);
    *args = *target;
  } else {
    *args = stack::top[-1];
  }
  stack::top = args + 1;
}

// --- compose

// Composes `input` into the block `out` (both on the stack).
void compose_into(const Cell* input, Cell* out, bool deep, bool only, int32_t depth) {
  if (depth > 1000) fire(ErrorCode::internal_too_deep);
  Cell in = *input;
  int32_t i = in.head() < 0 ? 0 : in.head();
  for (; i < block::total_cells(&in); i++) {
    Cell v = *block::rs_abs_at(&in, i);
    if (v.is(TypeId::block) && deep) {
      // The inner block stays on the stack while its parens run: they may
      // drop it from the input.
      Cell* held = stack::push(&v);
      Cell* inner = block::push_only(block::rs_length_q(&v));
      compose_into(held, inner, deep, only, depth + 1);
      if (exits::pending) return;
      block::rs_append(out, inner);
      stack::top = held;
    } else if (v.is(TypeId::paren)) {
      if (block::rs_length_q(&v) <= 0) continue;
      Cell* mark = stack::top;
      passing::eval(&v, Chain::no);
      if (exits::pending) return;
      Cell r = *mark;
      stack::top = mark + 1;
      if (r.is(TypeId::unset)) {
      } else if (!only && r.is(TypeId::block)) {
        if (block::rs_length_q(&r) > 0) block::append_cells(out, mark);
      } else {
        block::rs_append(out, &r);
      }
      stack::top = mark;
    } else {
      block::rs_append(out, &v);
    }
  }
}

void compose(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool deep = present(refinements, 0);
  bool only = present(refinements, 1);
  bool into = present(refinements, 2);
  if (!args[0].is(TypeId::block)) {
    Cell expected;
    set_datatype(&expected, TypeId::block);
    Cell got;
    set_datatype(&got, args[0].type());
    fire(ErrorCode::script_expect_val, &expected, &got);
  }
  Cell input = args[0];
  clamp(&input);
  Cell* out = block::push_only(block::rs_length_q(&input));
  compose_into(&input, out, deep, only, 0);
  if (exits::pending) return;
  if (into) {
    Cell* target = args + refinements[2];
    add_into(target, out);
    *args = *target;
  } else {
    *args = *out;
  }
  stack::top = args + 1;
}

// --- function makers

void make_function(Cell* spec, Cell* body) {
  clamp(spec);
  clamp(body);
  uint32_t flags = function::validate_spec(spec);
  Cell* fn = function::push(spec, body, 0, 0, flags);
  *stack::arguments = *fn;
  stack::top = stack::arguments + 1;
}

void func(const int32_t*) {
  Cell* args = stack::arguments;
  make_function(args, args + 1);
}

void function_(const int32_t*) {
  Cell* args = stack::arguments;
  Cell spec = args[0];
  clamp(&spec);
  Cell* copy = stack::push_slot();
  block::clone_into(&spec, copy, block::Deep::no, block::AnyBlock::no);
  args[0] = *copy;
  Cell body = args[1];
  clamp(&body);
  function::collect_words(args, &body);
  stack::top = args + 2;
  make_function(args, args + 1);
}

void does(const int32_t*) {
  Cell* args = stack::arguments;
  args[1] = args[0];
  block::make_at(args, 1);
  stack::top = args + 2;
  make_function(args, args + 1);
}

void has(const int32_t*) {
  Cell* args = stack::arguments;
  Cell vars = args[0];
  clamp(&vars);
  Cell* copy = stack::push_slot();
  block::make_at(copy, block::rs_length_q(&vars) + 1);
  Cell local = refinement::load("local");
  block::rs_append(copy, &local);
  block::append_cells(copy, &vars);
  args[0] = *copy;
  stack::top = args + 2;
  make_function(args, args + 1);
}

// --- apply

void apply(const int32_t* refinements) {
  Cell* args = stack::arguments;
  uint32_t mode = present(refinements, 0) ? interpreter::mode::apply_all : interpreter::mode::apply;
  if (present(refinements, 1)) mode |= interpreter::mode::safer;
  Cell f = args[0];
  Cell name = word::load("<applied>");
  Cell path{};
  bool has_path = false;
  Cell fn;
  if (is_any_word(f.type())) {
    name = f;
    fn = *context::get(&f);
  } else if (f.is(TypeId::path)) {
    Cell head = *block::rs_abs_at(&f, f.head());
    if (!is_any_word(head.type())) fire(ErrorCode::script_invalid_arg, &f);
    name = head;
    fn = *context::get(&head);
    path = f;
    has_path = true;
  } else {
    fn = f;
  }
  if (!is_function_type(fn.type())) fire(ErrorCode::script_invalid_arg, &f);
  if (fn.is(TypeId::op)) {
    fn.header = (fn.header >> 16) & 0xFF;
  }
  name.reset_header(TypeId::word);
  stack::set_interpreted();
  Cell code = args[1];
  clamp(&code);
  Cell* keep = stack::push(&fn);
  int32_t head = has_path ? path.head() + 1 : 0;
  (void)passing::eval_code(keep, code, code.head(), block::total_cells(&code),
                     has_path ? &path : nullptr, head, &name, nullptr, mode, false);
  if (exits::pending) return;
  *args = stack::top[-1];
  stack::top = args + 1;
}

// --- transcode

// The type a lexer callback receives for a token class without a datatype
// (the engine passes minus the class): the item of system/lexer/exit-states
// at the class's position, or none when that is not a block or too short.
void set_exit_state(Cell* out, int32_t token_class) {
  set_none(out);
  const Cell* states = object::system_field({"lexer", "exit-states"});
  if (!states || !states->is(TypeId::block)) return;
  if (token_class < 1 || token_class > block::rs_length_q(states)) return;
  *out = *block::rs_abs_at(states, states->head() + token_class - 1);
}

// The /trace callback of transcode: a Qel function called for lexer events.
class QelLexerSink : public lexer::EventSink {
 public:
  QelLexerSink(const Cell& fn, const Cell& input) : fn_(fn), input_(input) {
    mask_ = lexer::kAllEvents;
    if (fn.is(TypeId::function)) {
      Cell body = *function::extra(&fn, function::kBody);
      if (body.is(TypeId::block) && block::rs_length_q(&body) > 0) {
        Cell first = *block::rs_abs_at(&body, body.head());
        if (first.is(TypeId::block)) {
          static constexpr std::string_view kNames[] = {"prescan", "scan", "load",
                                                        "open",    "close", "error"};
          mask_ = 0;
          for (int32_t i = first.head(); i < block::total_cells(&first); i++) {
            Cell w = *block::rs_abs_at(&first, i);
            if (!w.is(TypeId::word)) continue;
            std::string_view s = word::spelling(&w);
            for (int k = 0; k < 6; k++)
              if (s == kNames[k]) mask_ |= 1u << k;
          }
        }
      }
    }
  }
  uint32_t events() const override { return mask_; }
  bool on_event(lexer::EventInfo& info) override {
    static constexpr const char* kNames[] = {"prescan", "scan", "load", "open", "close", "error"};
    int k = 0;
    for (uint32_t v = static_cast<uint32_t>(info.event); v > 1; v >>= 1) k++;
    Cell* base = stack::top;
    Cell* event = stack::push_slot();
    *event = word::load(kNames[k]);
    Cell* input = stack::push(&input_);
    int32_t head = input_.head();
    input->set_head(head + static_cast<int32_t>(info.input));
    Cell* type = stack::push_slot();
    if (info.type > 0)
      set_datatype(type, static_cast<TypeId>(info.type));
    else if (info.type < 0)
      set_exit_state(type, -info.type);
    else
      set_none(type);
    Cell* line = stack::push_slot();
    set_integer(line, info.line);
    Cell* token = stack::push_slot();
    if (info.value)
      *token = *info.value;
    else
      *token = Cell{static_cast<uint32_t>(TypeId::pair), 0,
                    static_cast<uint32_t>(head + static_cast<int32_t>(info.token_start) + 1),
                    static_cast<uint32_t>(head + static_cast<int32_t>(info.token_end) + 1)};
    const Cell* call_args[] = {event, input, type, line, token};
    Cell name = word::load("<lexer-callback>");
    Cell* r = interpreter::call_function(&fn_, call_args, 5, &name,
                                         interpreter::CallbackKind::lexer);
    bool truth = !is_falsy(r);
    // The callback may move its input argument to resume the scan elsewhere.
    // A function callback's frame took the event slot for its result; its
    // input slot, just above, still holds what the body left in it.
    const Cell* after = input;
    if (fn_.is(TypeId::function) && r[2].type() == input_.type() && r[2].node() == input_.node())
      after = r + 2;
    int32_t moved = after->head() - head;
    if (moved >= 0 && static_cast<uint32_t>(moved) != info.input)
      info.input = static_cast<uint32_t>(moved);
    stack::top = base;
    return truth;
  }
  void mark() override {
    collector::mark_cell(&fn_);
    collector::mark_cell(&input_);
  }

 private:
  Cell fn_;
  Cell input_;
  uint32_t mask_;
};

void transcode(const int32_t* refinements) {
  Cell* args = stack::arguments;
  lexer::TranscodeOptions options;
  options.next = present(refinements, 0);
  options.one = present(refinements, 1);
  options.prescan = present(refinements, 2);
  options.scan = present(refinements, 3);
  if (present(refinements, 4)) options.part = args + refinements[4];
  if (present(refinements, 5)) options.into = args + refinements[5];
  clamp(args);
  QelLexerSink* sink = nullptr;
  std::optional<QelLexerSink> holder;
  if (present(refinements, 6)) {
    holder.emplace(args[refinements[6]], args[0]);
    sink = &*holder;
  }
  options.trace = sink;
  Cell* result = stack::push_slot();
  set_none(result);
  lexer::transcode(result, args, options);
  *args = *result;
  stack::top = args + 1;
}

constexpr Definition kEval[] = {
    {14, "func", func, R"spec("Defines a function with a given spec and body" spec [block!] body [block!])spec"},
    {15, "function", function_, R"spec("Defines a function, making all set-words found in body, local"
        spec [block!] body [block!]
        /extern "Exclude words that follow this refinement")spec"},
    {16, "does", does, R"spec("Defines a function with no arguments or local variables" body [block!])spec"},
    {17, "has", has, R"spec("Defines a function with local variables, but no arguments"
        vars [block!] body [block!])spec"},
    {20, "do", do_, R"spec("Evaluates a value, returning the last evaluation result"
        value [any-type!]
        /expand "Expand directives before evaluation"
        /args "If value is a script, this will set its system/script/args field"
        arg "Args passed to a script (normally a string)"
        /next "Do next expression only, return it, update block word"
        position [word!] "Word updated with new block position"
        /trace callback [function!])spec"},
    {35, "reduce", reduce, R"spec("Returns a copy of a block, evaluating all expressions"
        value [any-type!]
        /into "Put results in out block, instead of creating a new block"
        out [any-block!] "Target block for results, when /into is used")spec"},
    {36, "compose", compose, R"spec("Returns a copy of a block, evaluating only parens"
        value [any-type!]
        /deep "Compose nested blocks"
        /only "Compose nested blocks as blocks containing their values"
        /into "Put results in out block, instead of creating a new block"
        out [any-block!] "Target block for results, when /into is used")spec"},
    {106, "transcode", transcode, R"spec("Translates UTF-8 binary source to values. Returns one or several values in a block"
        src [binary! string!] "UTF-8 input buffer; string argument will be UTF-8 encoded"
        /next "Translate next complete value (blocks are treated as single values)"
        /one "Translate next complete value, returns the value only"
        /prescan "Prescans only, do not load values. Returns guessed type."
        /scan "Scans only, do not load values. Returns recognized type."
        /part "Translates only part of the input buffer"
        length [integer! binary!] "Length in bytes (chars) or tail position"
        /into "Optionally provides an output block"
        dst [block!]
        /trace callback [function!]
        return: [block!])spec"},
    {107, "apply", apply, R"spec("Apply a function to a reduced block of arguments"
        func [word! path! any-function!] "Function to apply, with eventual refinements"
        args [block!] "Block of args, reduced first"
        /all "Provides a continuation block for all the arguments"
        /safer "Forces single refinement arguments, skip them when inactive")spec"},
};

}  // namespace

std::span<const Definition> eval_natives() { return kEval; }

}  // namespace qel::natives
