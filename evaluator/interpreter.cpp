// The interpreter: block evaluation, expressions, infix operators, function
// calls with the spec cache, refinements and the C++ call helpers.
#include "evaluator/interpreter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "datatypes/typeset.h"
#include "lexer/lexer.h"
#include "memory/collector.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::interpreter {

Cell position{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
Cell throw_near{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};

namespace {

Cell body_word_cell{};
Cell anon_word_cell{};
Cell set_path_word_cell{};
Cell compare_callback_word{};
SymbolId sym_system = 0, sym_system_global = 0, sym_local = 0, sym_return = 0;

constexpr uint64_t bit(TypeId t) { return uint64_t{1} << static_cast<uint8_t>(t); }
constexpr uint64_t kDefaultTypes = ~bit(TypeId::unset) & ~uint64_t{1};

// Bits of the value types a word's value is called for, and of those that
// raise an error when a word gives them.
constexpr uint64_t kCallTypes =
    bit(TypeId::function) | bit(TypeId::native) | bit(TypeId::action) | bit(TypeId::routine);
constexpr uint64_t kWordSpecial = kCallTypes | bit(TypeId::unset) | bit(TypeId::op);
// The value types that evaluate to themselves without anything to check.
constexpr uint64_t kSelfTypes =
    ~(bit(TypeId::word) | bit(TypeId::set_word) | bit(TypeId::get_word) | bit(TypeId::lit_word) |
      bit(TypeId::paren) | bit(TypeId::path) | bit(TypeId::set_path) | bit(TypeId::get_path) |
      bit(TypeId::lit_path) | bit(TypeId::op) | kCallTypes | bit(TypeId::issue));

inline SeriesBuffer* buf(const Cell& c) { return memory::series(c.node()); }
// Cells of the code's buffer from index 0 to its tail.
inline int32_t tail_of(const Cell& code) {
  SeriesBuffer* s = buf(code);
  return static_cast<int32_t>((s->tail - s->offset) >> 4);
}
inline const Cell* at(const Cell& code, int32_t pc) { return buf(code)->cells() + pc; }
// The end of the code: the given end, or the tail when the block shrank.
inline int32_t limit_of(const Cell& code, int32_t end) {
  int32_t t = tail_of(code);
  return end < t ? end : t;
}

inline bool is_function_type(TypeId t) {
  return t == TypeId::function || t == TypeId::native || t == TypeId::action ||
         t == TypeId::routine;
}

// The value cell of the global word with index i (null when i is outside
// the values): one indexed read of the cells kept beside the values node.
// (That count grows with every word the context gets; a word past it would
// only take the slower general paths.)
[[gnu::always_inline]] inline Cell* global_value(int32_t i) {
  if (static_cast<uint32_t>(i) >= context::global_count) [[unlikely]]
    return nullptr;
  return context::global_cells + i;
}
// The value cell of a bound word, or null when its context keeps no values
// right now (a function that is not running), the word is unresolved, or
// its index lies outside the values (the errors are context::get's then).
[[gnu::always_inline]] inline Cell* peek_value(const Cell* w) {
  Node ctx = w->context();
  int32_t i = w->word_index();
  if (ctx == context::global) [[likely]]
    return global_value(i);
  if (!ctx || i < 0) [[unlikely]]
    return nullptr;
  Cell* cc = memory::series(ctx)->cells();
  if (cc->has_flag(cell_flag::on_stack)) {
    if (!cc->data2) return nullptr;
    Cell* v = stack::bottom + (cc->data2 - 1) + i;
    return v < stack::top ? v : nullptr;
  }
  SeriesBuffer* vs = memory::series(cc->data2);
  if (static_cast<uint32_t>(i) >= ((vs->tail - vs->offset) >> 4)) return nullptr;
  return vs->cells() + i;
}
// The cell a set-word may write directly: a running function's argument or
// a global or function context's value (object fields go through
// context::set for their assigned mark and change notices).
inline Cell* direct_slot(const Cell* w) {
  Node ctx = w->context();
  int32_t i = w->word_index();
  if (ctx == context::global) [[likely]]
    return global_value(i);
  if (!ctx || i < 0) [[unlikely]]
    return nullptr;
  Cell* cc = memory::series(ctx)->cells();
  if (cc->has_flag(cell_flag::on_stack)) {
    if (!cc->data2) return nullptr;
    Cell* v = stack::bottom + (cc->data2 - 1) + i;
    return v < stack::top ? v : nullptr;
  }
  if (context::kind(cc) == context::Kind::object) return nullptr;
  SeriesBuffer* vs = memory::series(cc->data2);
  if (static_cast<uint32_t>(i) >= ((vs->tail - vs->offset) >> 4)) return nullptr;
  return vs->cells() + i;
}
// Frames the interpreter pushes on its hot paths (as stack::mark_interp_*,
// inline).
inline void push_frame(const Cell* word, stack::FrameKind kind) {
  stack::Frame* f = stack::frame_top;
  if (f >= stack::frame_limit) [[unlikely]] {
    if (kind == stack::FrameKind::eval)
      stack::mark_eval(word);
    else
      stack::mark_interp_native(word);
    return;
  }
  f->symbol = word->symbol();
  f->kind = kind;
  f->function_body = false;
  f->interpreted = true;
  f->unused = 0;
  f->caller_base = static_cast<uint32_t>(stack::arguments - stack::bottom);
  f->word_context = word->context();
  f->function_context = 0;
  f->saved_values = 0;
  stack::frame_top = f + 1;
  stack::arguments = stack::top;
}
// stack::unwind, inline: the callee's slot 0 stays as the caller's newest value.
inline void pop_frame() {
  Cell* callee = stack::arguments;
  stack::Frame* f = --stack::frame_top;
  stack::arguments = stack::bottom + f->caller_base;
  stack::top = callee + 1;
}
// The end of a call whose value was at `fn_slot` and whose result is at
// `base`: the frame goes and the result takes the value's slot.
inline void end_call(Cell* fn_slot, const Cell* base) {
  pop_frame();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
}
// The value cell of a word; the errors of context::get when it has none.
inline Cell* word_value(const Cell* w) {
  if (Cell* v = peek_value(w)) [[likely]]
    return v;
  return context::get(w);
}

// Counts the starts of general evaluation: a block (passing::eval, which a
// function's body runs through unless it is compiled), an expression
// (eval_next, eval_expression), a set-word, a native's or action's call.
// Qel code can change blocks and words only through one, so a compiled
// body's comparisons made at one count hold while it lasts. (The natives'
// and set-words' counts also cover the general routines the compiled steps
// hand an expression to.)
uint64_t run_epoch = 1;

inline void set_position(const Cell& code) {
  uint64_t w[2];
  std::memcpy(w, &code, sizeof w);
  std::memcpy(&position, w, sizeof w);
}

// Library code: while the interpreter evaluates a block of the embedded
// library, tracing is off; a user's block evaluated from there (a loop body,
// a callback) gets the tracing state back that the user's code had.
bool in_library = false;
bool user_tracing = false;

// Crossing between user and library code, restored when the block ends.
// The first entry into user code marks the call stack's user floor.
struct LibraryCrossing {
  bool saved_in_library;
  bool saved_tracing;
  stack::Frame* saved_floor;
  explicit LibraryCrossing(bool library)
      : saved_in_library(in_library), saved_tracing(tracing_q), saved_floor(stack::user_floor) {
    if (library) {
      user_tracing = tracing_q;
      tracing_q = false;
    } else {
      tracing_q = user_tracing;
      if (!stack::user_floor) stack::user_floor = stack::frame_top;
    }
    in_library = library;
  }
  ~LibraryCrossing() {
    in_library = saved_in_library;
    tracing_q = saved_tracing;
    stack::user_floor = saved_floor;
  }
};
// Blocks and parens nest without call frames: their depth is counted, so
// that code nested without end (parens built inside parens) raises
// stack-overflow instead of exhausting the machine stack.
// (Half as deep under AddressSanitizer: its frames are several times larger,
// and it cannot clean up after an error raised from more than 64 MB down
// the machine stack, which the full depth reached there.)
#if defined(__SANITIZE_ADDRESS__)
constexpr int32_t kMaxEvalDepth = 2 * static_cast<int32_t>(stack::kCallFrames);
#else
constexpr int32_t kMaxEvalDepth = 4 * static_cast<int32_t>(stack::kCallFrames);
#endif
// The position cell each evaluation found, one slot per nesting level, for
// the collector: the code a nested evaluation returns to may be a paren
// that nothing else holds any more (the code it came from dropped it).
// `eval_top` is the innermost evaluation's slot; its distance from the
// first counts the nesting depth. (Copied as two 64-bit words: the compiler
// otherwise moves the four 32-bit fields one by one.)
Cell outer_positions[kMaxEvalDepth + 1];
}  // namespace
// (Not constants to the compiler: compared as they lie in memory.)
Cell* eval_top = outer_positions;
Cell* eval_limit = outer_positions + kMaxEvalDepth;
// Below this slot, two more levels fit (a pure expression computed in place
// stands for evaluations that would nest that deep).
Cell* eval_pure_limit = outer_positions + kMaxEvalDepth - 1;
namespace {
struct EvalDepth {
  EvalDepth() {
    Cell* t = eval_top + 1;
    if (t > eval_limit) [[unlikely]]
      fire(ErrorCode::internal_stack_overflow);
    eval_top = t;
    uint64_t w[2];
    std::memcpy(w, &position, sizeof w);
    std::memcpy(static_cast<void*>(t), w, sizeof w);
  }
  ~EvalDepth() { eval_top--; }
};
// Restores the position cell when a block's evaluation ends (or unwinds).
struct PositionSave {
  ~PositionSave() {
    uint64_t w[2];
    std::memcpy(w, eval_top, sizeof w);
    std::memcpy(&position, w, sizeof w);
  }
};

[[gnu::noinline]] void eval_library_crossing(const Cell* block, Chain chain, bool library) {
  LibraryCrossing crossing(library);
  passing::eval(block, chain);
}

// The word naming argument or refinement i (1-based) of a function value:
// the i-th argument or refinement of its spec, which the call's descriptors
// were read from (a spec extended through spec-of has arguments its context
// has no words for), else the context's word i.
Cell arg_word(const Cell* fn, int32_t i) {
  if (fn->data2) {
    Cell spec;
    set_series(&spec, TypeId::block, fn->data2, 0);
    const int32_t n = tail_of(spec);
    for (int32_t k = 0, seen = 0; k < n; k++) {
      Cell item = *at(spec, k);
      const TypeId t = item.type();
      if (t == TypeId::refinement && symbol::resolve(item.symbol()) == symbol::resolve(sym_local)) break;
      if (t != TypeId::word && t != TypeId::lit_word && t != TypeId::get_word && t != TypeId::refinement) continue;
      if (++seen < i) continue;
      item.reset_header(TypeId::word);
      return item;
    }
  }
  Node words = words_of(fn);
  if (!words) return anon_word_cell;
  SeriesBuffer* s = memory::series(words);
  if (i < 1 || static_cast<uint32_t>(i) > s->length()) return anon_word_cell;
  Cell w = s->cells()[i - 1];
  w.reset_header(TypeId::word);
  return w;
}

[[noreturn]] void expect_arg(const Cell* frame_word, const Cell* fn, int32_t i, const Cell* value) {
  Cell dt;
  set_datatype(&dt, value->type());
  Cell w = arg_word(fn, i);
  Cell fw = *frame_word;
  fire(ErrorCode::script_expect_arg, &fw, &dt, &w);
}

// The no-arg error of argument or refinement i of a call named by `word`.
[[noreturn, gnu::noinline, gnu::cold]] void no_arg(const Cell& word, const Cell* fn, int32_t i) {
  Cell fw = word;
  Cell w = arg_word(fn, i);
  fire(ErrorCode::script_no_arg, &fw, &w);
}

inline void typecheck(const Cell* frame_word, const Cell* fn, int32_t i, const Descriptor& d,
                      const Cell* value) {
  if (!(d.types & (uint64_t{1} << static_cast<uint8_t>(value->type())))) [[unlikely]]
    expect_arg(frame_word, fn, i, value);
}

// --- the spec cache ------------------------------------------------------

// The types a spec's type block allows.
// The type bits of a datatype! or typeset! value; false for another value.
bool type_bits(const Cell& v, uint64_t* m) {
  if (v.is(TypeId::datatype)) {
    *m |= uint64_t{1} << (static_cast<uint32_t>(datatype::named(&v)) & 63);
    return true;
  }
  if (!v.is(TypeId::typeset)) return false;
  typeset::Bits b = typeset::get(&v);
  for (int t = 1; t < 64; t++)
    if (b.has(static_cast<TypeId>(t))) *m |= uint64_t{1} << t;
  return true;
}

// The type words as start-up left them: the canonical symbol of each global
// word holding a datatype or typeset, with its bits (note_type_words).
std::unordered_map<SymbolId, uint64_t>& start_type_words() {
  static std::unordered_map<SymbolId, uint64_t> words;
  return words;
}

uint64_t types_of_block(const Cell& blk) {
  uint64_t m = 0;
  SeriesBuffer* s = buf(blk);
  int32_t n = static_cast<int32_t>(s->length());
  for (int32_t i = blk.head() < 0 ? 0 : blk.head(); i < n; i++) {
    Cell item = buf(blk)->cells()[i];
    Cell v = item;
    if (item.is(TypeId::word)) {
      Cell* p = peek_value(&item);
      v = p ? *p : unset_value;
    }
    if (type_bits(v, &m)) continue;
    if (v.is(TypeId::word)) {
      m |= bit(TypeId::object);
      continue;
    }
    if (v.is(TypeId::block)) continue;
    // A type word a script has set to another value (integer!: 1) still
    // names the type it named at start-up: the built-ins' specs use them.
    if (item.is(TypeId::word)) {
      const auto& words = start_type_words();
      auto it = words.find(symbol::resolve(item.symbol()));
      if (it != words.end()) {
        m |= it->second;
        continue;
      }
    }
    fire(ErrorCode::script_invalid_type_spec, &item);
  }
  return m;
}

// The refinement slots a native's entry is given (refinements beyond them
// are never on).
constexpr int32_t kMaxRefinements = 64;

// Header flags of a cache's summary cell: every argument is a plain
// evaluated one and there are no refinements (kPlainCall); every argument
// before the first refinement is a plain evaluated one (kPlainHead: a native
// or action called by word, its refinements all off, takes the short path),
// their number kept in the header's top 16 bits (kHeadShift).
constexpr uint32_t kPlainCall = 0x100;
constexpr uint32_t kPlainHead = 0x200;
constexpr uint32_t kHeadShift = 16;

// The companion block of a function value and the cell count of its fixed
// part (the descriptors follow it).
inline Node companion_of(const Cell* fn, int32_t* fixed) {
  TypeId t = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if (t == TypeId::function || t == TypeId::routine) {
    *fixed = function::kExtras;
    return fn->data3;
  }
  *fixed = 2;
  return fn->data3;
}

// The argument descriptors a spec declares (arguments and refinements in
// spec order, /local excluded), its refinement count and the call slots
// /local adds.
struct SpecShape {
  std::vector<Cell> descriptors;
  int32_t refinements = 0;
  int32_t locals = 0;
};

SpecShape spec_shape(const Cell& spec) {
  SpecShape shape;
  std::vector<Cell>& descriptors = shape.descriptors;
  int32_t& refinements = shape.refinements;
  int32_t n = tail_of(spec);
  for (int32_t i = 0; i < n; i++) {
    Cell item = *at(spec, i);
    TypeId t = item.type();
    ArgKind kind;
    if (t == TypeId::word)
      kind = ArgKind::normal;
    else if (t == TypeId::lit_word)
      kind = ArgKind::quoted;
    else if (t == TypeId::get_word)
      kind = ArgKind::literal;
    else if (t == TypeId::refinement) {
      if (symbol::resolve(item.symbol()) == symbol::resolve(sym_local)) {
        shape.locals = 1;
        for (int32_t k = i + 1; k < n; k++)
          if (at(spec, k)->is(TypeId::word)) shape.locals++;
        break;
      }
      refinements++;
      descriptors.push_back(Cell{
          static_cast<uint32_t>(TypeId::integer), 0, 0,
          static_cast<uint32_t>(ArgKind::refinement) | (static_cast<uint32_t>(refinements) << 8)});
      continue;
    } else if (t == TypeId::set_word) {
      // return: and its type block are not arguments.
      if (i + 1 < n && at(spec, i + 1)->is(TypeId::block)) i++;
      continue;
    } else {
      if (t != TypeId::string && t != TypeId::block) fire(ErrorCode::script_bad_func_def, &spec);
      continue;
    }
    uint64_t types = kDefaultTypes;
    if (i + 1 < n && at(spec, i + 1)->is(TypeId::block)) {
      Cell blk = *at(spec, i + 1);
      if (block::rs_length_q(&blk) > 0) types = types_of_block(blk);
      i++;
    }
    descriptors.push_back(Cell{static_cast<uint32_t>(TypeId::integer), static_cast<uint32_t>(types),
                               static_cast<uint32_t>(types >> 32), static_cast<uint32_t>(kind)});
  }
  return shape;
}

// A built-in's entry reads its arguments by position and trusts their
// types, so a native! or action! whose spec (made by make native!, or
// changed through spec-of before the first call) does not declare the
// arguments of its built-in is refused before it is called: the same
// arguments, kinds and refinements, each allowing no type the built-in's
// own spec does not. The built-ins' shapes are read from their spec texts
// once. A native index without an entry raises not-done and reads nothing.
bool fits_builtin(TypeId t, uint32_t index, const SpecShape& shape) {
  static std::array<std::vector<Cell>, natives::kTableSize + kActionCount + 1> references;
  static std::array<bool, natives::kTableSize + kActionCount + 1> known{};
  const char* text = nullptr;
  size_t slot = 0;
  if (t == TypeId::native) {
    if (index < 1 || index > static_cast<uint32_t>(natives::kTableSize)) return false;
    text = natives::spec_text(static_cast<int32_t>(index));
    if (!text) return true;
    slot = index;
  } else {
    if (index < 1 || index > static_cast<uint32_t>(kActionCount)) return false;
    text = natives::action_spec_text(static_cast<int32_t>(index));
    if (!text) return false;
    slot = natives::kTableSize + index;
  }
  // The types a value can have: abstract types' bits do not count (a plain
  // argument allows them all).
  static uint64_t concrete = 0;
  auto scan_text = [](const char* t) {
    Cell* spec = stack::push_slot();
    set_none(spec);
    lexer::ScanOptions options;
    lexer::scan(spec, reinterpret_cast<const uint8_t*>(t), static_cast<uint32_t>(std::strlen(t)),
                options);
    return spec;
  };
  if (!concrete) {
    Cell* saved = stack::top;
    concrete = types_of_block(*scan_text("any-type!"));
    stack::top = saved;
  }
  if (!known[slot]) {
    Cell* saved = stack::top;
    SpecShape ref = spec_shape(*scan_text(text));
    stack::top = saved;
    // The refinement count and locals travel in one last cell.
    ref.descriptors.push_back(Cell{static_cast<uint32_t>(TypeId::integer),
                                   static_cast<uint32_t>(ref.refinements),
                                   static_cast<uint32_t>(ref.locals), 0});
    references[slot] = std::move(ref.descriptors);
    known[slot] = true;
  }
  const std::vector<Cell>& ref = references[slot];
  const size_t count = ref.size() - 1;
  if (shape.descriptors.size() != count || shape.locals != static_cast<int32_t>(ref[count].data2) ||
      shape.refinements != static_cast<int32_t>(ref[count].data1))
    return false;
  auto types = [](const Cell& c) { return c.data1 | (uint64_t{c.data2} << 32); };
  for (size_t i = 0; i < count; i++) {
    const Cell& d = shape.descriptors[i];
    const Cell& r = ref[i];
    if (d.data3 != r.data3 || (types(d) & ~types(r) & concrete)) return false;
  }
  return true;
}

CacheInfo build_cache(const Cell* fn) {
  Cell spec;
  set_series(&spec, TypeId::block, fn->data2, 0);
  // The descriptors are collected aside first: the argument stack's top may
  // be an infix call's left operand.
  SpecShape shape = spec_shape(spec);
  const TypeId called = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if ((called == TypeId::native || called == TypeId::action) &&
      !fits_builtin(called, fn->data1, shape))
    fire(ErrorCode::script_bad_func_def, &spec);
  const std::vector<Cell>& descriptors = shape.descriptors;
  const int32_t refinements = shape.refinements;
  const int32_t locals = shape.locals;
  int32_t count = static_cast<int32_t>(descriptors.size());
  int32_t fixed = 0;
  Node node = companion_of(fn, &fixed);
  SeriesBuffer* s = memory::series(node);
  // The companion keeps exactly its fixed cells, then the descriptors.
  if (static_cast<int32_t>(s->length()) > fixed) s->tail = s->offset + fixed * sizeof(Cell);
  while (static_cast<int32_t>(memory::series(node)->length()) < fixed) set_unset(append_slot(node));
  for (int32_t i = 0; i < count; i++) *append_slot(node) = descriptors[static_cast<size_t>(i)];
  bool plain_head = true;
  uint32_t head = 0;
  for (const Cell& d : descriptors) {
    const uint32_t kind = d.data3 & 3;
    if (kind == static_cast<uint32_t>(ArgKind::refinement)) break;
    if (kind != static_cast<uint32_t>(ArgKind::normal)) plain_head = false;
    head++;
  }
  if (head >= (1u << (32 - kHeadShift))) plain_head = false;
  const bool plain = plain_head && refinements == 0;
  memory::series(node)->cells()[1] =
      Cell{static_cast<uint32_t>(TypeId::integer) | (plain ? kPlainCall : 0u) |
               (plain_head ? kPlainHead | (head << kHeadShift) : 0u),
           static_cast<uint32_t>(count), static_cast<uint32_t>(refinements),
           static_cast<uint32_t>(locals)};
  return {node, fixed - 1, count, refinements, locals, plain};
}

// The operators the interpreter computes in place when both operands allow
// it: the actions add ... xor~ and the comparison natives (indexes 25-31,
// equal? ... greater-or-equal?), wrapped in op! values made plain.
enum class FastOp : uint8_t {
  none,
  add,
  subtract,
  multiply,
  and_,
  or_,
  xor_,
  equal,
  not_equal,
  strict_equal,
  lesser,
  greater,
  lesser_or_equal,
  greater_or_equal
};
constexpr bool is_math(FastOp f) { return f <= FastOp::xor_; }

// The fast operator of an op! cell (FastOp::none unless it is plain and
// wraps one of the operators above).
// (Read from a table indexed by the wrapped routine's number, actions in
// the first half, natives in the second: one load instead of a switch.)
constexpr uint32_t kFastOpRoutines = 64;
static_assert(kActionCount < static_cast<int>(kFastOpRoutines));
constexpr auto kFastOps = [] {
  std::array<FastOp, 2 * kFastOpRoutines> t{};
  t[static_cast<uint32_t>(ActionId::add)] = FastOp::add;
  t[static_cast<uint32_t>(ActionId::subtract)] = FastOp::subtract;
  t[static_cast<uint32_t>(ActionId::multiply)] = FastOp::multiply;
  t[static_cast<uint32_t>(ActionId::and_)] = FastOp::and_;
  t[static_cast<uint32_t>(ActionId::or_)] = FastOp::or_;
  t[static_cast<uint32_t>(ActionId::xor_)] = FastOp::xor_;
  for (uint32_t i = 0; i < 7; i++)
    t[kFastOpRoutines + 25 + i] =
        static_cast<FastOp>(static_cast<uint32_t>(FastOp::equal) + i);
  return t;
}();
[[gnu::always_inline]] inline FastOp fast_op_of(const Cell* opv) {
  const uint32_t h = opv->header;
  const auto wt = static_cast<TypeId>((h >> 16) & 0xFF);
  const uint32_t k = opv->data1;
  if (!(h & op::kPlain) || k >= kFastOpRoutines) return FastOp::none;
  if (wt == TypeId::action) return kFastOps[k];
  if (wt == TypeId::native) return kFastOps[kFastOpRoutines + k];
  return FastOp::none;
}

inline MathOp math_op_of(FastOp f) {
  switch (f) {
    case FastOp::add:
      return MathOp::add;
    case FastOp::subtract:
      return MathOp::subtract;
    case FastOp::multiply:
      return MathOp::multiply;
    case FastOp::and_:
      return MathOp::and_;
    case FastOp::or_:
      return MathOp::or_;
    default:
      return MathOp::xor_;
  }
}
inline CompareOp compare_op_of(FastOp f) {
  static constexpr CompareOp kOps[] = {
      CompareOp::equal,   CompareOp::not_equal,       CompareOp::strict_equal,    CompareOp::lesser,
      CompareOp::greater, CompareOp::lesser_or_equal, CompareOp::greater_or_equal};
  return kOps[static_cast<uint32_t>(f) - static_cast<uint32_t>(FastOp::equal)];
}

// An integer + - * whose result does not fit: the float result, as the
// actions give it.
[[gnu::noinline, gnu::cold]] void overflow_result(FastOp f, int32_t a, int32_t b, Cell* out) {
  const double x = a, y = b;
  set_float(out, f == FastOp::add ? x + y : f == FastOp::subtract ? x - y : x * y);
}

// Integer operands: the result written into `out` (an overflow gives a
// float, as the actions do).
[[gnu::always_inline]] inline void integer_op(FastOp f, int32_t a, int32_t b, Cell* out) {
  // (The result is written as two 64-bit words: whole-cell temporaries
  // would each take a stack slot in the callers this is inlined into.)
  int32_t r;
  bool truth;
  switch (f) {
    case FastOp::add:
      if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::subtract:
      if (__builtin_sub_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::multiply:
      if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::and_:
      r = a & b;
      break;
    case FastOp::or_:
      r = a | b;
      break;
    case FastOp::xor_:
      r = a ^ b;
      break;
    case FastOp::equal:
    case FastOp::strict_equal:
      truth = a == b;
      goto logic;
    case FastOp::not_equal:
      truth = a != b;
      goto logic;
    case FastOp::lesser:
      truth = a < b;
      goto logic;
    case FastOp::greater:
      truth = a > b;
      goto logic;
    case FastOp::lesser_or_equal:
      truth = a <= b;
      goto logic;
    default:
      truth = a >= b;
      goto logic;
  }
  {
    const uint64_t w[2] = {static_cast<uint64_t>(TypeId::integer),
                           uint64_t{static_cast<uint32_t>(r)} << 32};
    std::memcpy(static_cast<void*>(out), w, sizeof w);
    return;
  }
logic:
  const uint64_t w[2] = {static_cast<uint64_t>(TypeId::logic) | (uint64_t{truth} << 32), 0};
  std::memcpy(static_cast<void*>(out), w, sizeof w);
}

// An operator call with both operands in place (start, start + 1; the stack
// top above them): the fast forms for other operand types, else the call of
// the wrapped native or action under a frame named by the operator word.
[[gnu::noinline]] void infix_call(Cell* start, FastOp f, const Cell& opv, const Cell& opword) {
  Cell* right = start + 1;
  if (f != FastOp::none) {
    if (is_math(f)) {
      if (actions::fast_math(math_op_of(f), start, right, start)) {
        stack::top = start + 1;
        return;
      }
    } else {
      bool truth;
      if (actions::fast_compare(compare_op_of(f), start, right, &truth)) {
        set_logic(start, truth);
        stack::top = start + 1;
        return;
      }
    }
  }
  // The generic call, with both operands in place.
  run_epoch++;
  Cell fn = op::unwrap(&opv);
  TypeId wt = fn.type();
  collector::Root keep(fn);
  stack::top = start;
  stack::mark_interp_native(&opword);
  stack::top = start + 2;
  CacheInfo ci = spec_cache(keep.get());
  if (ci.count >= 2) {
    typecheck(&opword, keep.get(), 1, descriptor(ci, 1), start);
    typecheck(&opword, keep.get(), 2, descriptor(ci, 2), right);
  }
  int32_t refs[1] = {-1};
  if (wt == TypeId::native) {
    natives::entry(static_cast<int32_t>(fn.data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fn.data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  if (exits::pending) return;
  stack::unwind();
}

// An infix operator whose wrapped function is not called in place: through
// eval_code, as an ordinary call whose first argument is the left operand.
[[gnu::noinline]] int32_t eval_infix_call(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                          Cell opv, Cell opword) {
  Cell fn = op::unwrap(&opv);
  if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, &opword);
  stack::top = start + 1;
  return passing::eval_code(&fn, code, pc + 1, end, nullptr, 0, &opword, nullptr, mode::normal,
                            true);
}

int32_t call_by_word(const Cell* val, const Cell& word, const Cell& code, int32_t pc,
                     int32_t end);

// The word that names the call of a native, action or global routine
// reached otherwise than through a word holding it (a path into a block or
// map, apply, do of the value, a C++ callback): the built-in's own word, so
// that its errors name it and its arguments; else `word` itself.
[[gnu::noinline]] Cell builtin_frame_word(const Cell& word, const Cell* fn) {
  const TypeId t = fn->type();
  if (t != TypeId::native && t != TypeId::action && t != TypeId::routine) return word;
  if (const Cell* v = peek_value(&word))
    if (v->header == fn->header && v->data1 == fn->data1 && v->data3 == fn->data3) return word;
  if (t == TypeId::routine) {
    const Cell* index = function::extra(fn, function::kEntry);
    const char* text = index->is(TypeId::integer) ? routine::entry_name(index->integer()) : nullptr;
    if (!text) return word;
    static std::vector<Cell> routine_words;
    const auto i = static_cast<size_t>(index->integer());
    if (routine_words.size() <= i) routine_words.resize(i + 1, Cell{});
    if (!routine_words[i].header) routine_words[i] = word::load(text);
    // (Only a name the user can see: the global word holding the routine;
    // a codec's routine keeps the name of the field it was called through.)
    const Cell* v = peek_value(&routine_words[i]);
    if (v && v->header == fn->header && v->data1 == fn->data1 && v->data3 == fn->data3)
      return routine_words[i];
    return word;
  }
  static Cell names[2][natives::kTableSize + kActionCount + 1];
  const uint32_t i = fn->data1;
  if (i > static_cast<uint32_t>(natives::kTableSize + kActionCount)) return word;
  Cell& name = names[t == TypeId::action][i];
  if (!name.header) {
    const char* text = natives::builtin_name(t, static_cast<int32_t>(i));
    name = text ? word::load(text) : word;
    if (!text) return word;
  }
  return name;
}

// An infix operator at pc (`opv` its value, `opword` its word); the left
// operand is the value at `start`, `lim` the code's current end;
// `right_value`, when given, is the value of the word at pc + 1, read since
// anything last ran. A plain
// native or action operator takes its right operand in place when it is a
// literal or a word with a plain value, evaluates it otherwise (a paren
// directly), and is computed in place when it is one of the fast operators.
inline int32_t eval_infix(const Cell& code, int32_t pc, int32_t end, int32_t lim, Cell* start,
                          const Cell* opv, const Cell* opword, const Cell* right_value = nullptr) {
  const uint32_t oh = opv->header;
  const auto wt = static_cast<TypeId>((oh >> 16) & 0xFF);
  if (tracing_q || !(oh & op::kPlain) || (wt != TypeId::native && wt != TypeId::action) ||
      pc + 1 >= lim) [[unlikely]]
    return eval_infix_call(code, pc, end, start, *opv, *opword);
  const FastOp f = fast_op_of(opv);
  const Cell* rc = buf(code)->cells() + pc + 1;
  const uint64_t rb = uint64_t{1} << static_cast<uint8_t>(rc->type());
  const Cell* operand = nullptr;
  const Cell* callee = nullptr;
  if (rb & kSelfTypes) {
    operand = rc;
  } else if (rb & bit(TypeId::word)) {
    const Cell* v = right_value ? right_value : peek_value(rc);
    if (v) {
      const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(v->type());
      if (!(vb & kWordSpecial))
        operand = v;
      else if (vb & kCallTypes)
        callee = v;
    }
  }
  int32_t npc = pc + 2;
  if (operand) {
    if (f != FastOp::none && start->is(TypeId::integer) && operand->is(TypeId::integer))
        [[likely]] {
      integer_op(f, start->integer(), operand->integer(), start);
      stack::top = start + 1;
      return npc;
    }
    // Both operands in place for the call (the op's cells may move once the
    // right operand is copied; keep the op's own cells first).
    Cell o = *opv, w = *opword;
    start[1] = *operand;
    stack::top = start + 2;
    infix_call(start, f, o, w);
    return npc;
  }
  Cell o = *opv, w = *opword;
  stack::top = start + 1;
  if (callee) {
    // A call by word (the value read above, before anything ran).
    const Cell word = *rc;
    npc = call_by_word(callee, word, code, pc + 2, end);
  } else if (rb & bit(TypeId::paren)) {
    Cell paren = *rc;
    passing::eval(&paren, Chain::no);
  } else {
    npc = passing::eval_expression(code, pc + 1, end, true, false);
  }
  if (exits::pending) return npc;
  if (f != FastOp::none && start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
    return npc;
  }
  infix_call(start, f, o, w);
  return npc;
}

}  // namespace

namespace passing {
int32_t eval_conditional(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc,
                         int32_t end, int32_t kind);
int32_t eval_if(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc, int32_t end,
                int32_t kind);
template <bool kRefinements>
int32_t call_plain_function(const Cell* val, const Cell& word, const Cell& code, int32_t pc,
                            int32_t end);
// The boot natives if, unless and either, known by their companion blocks.
extern Node conditional_companions[4];
}  // namespace passing

namespace {

// The boot natives if, unless and either (index 1, 2 or 3), or 0.
inline int32_t conditional_kind(const Cell* fn) {
  uint32_t i = fn->data1;
  if (i < 1 || i > 3 || !fn->is(TypeId::native)) return 0;
  if (!passing::conditional_companions[i]) return 0;
  return passing::conditional_companions[i] == fn->data3 ? static_cast<int32_t>(i) : 0;
}

// True when a function value's spec cache is built and says that every
// argument before the first refinement is an evaluated one (the summary is
// cell 1 of the companion block for every function type).
inline bool plain_call(const Cell* val) {
  const Cell* summary = memory::series(val->data3)->cells() + function::kCache;
  return (summary->header & (0xFFu | kPlainCall)) ==
         (static_cast<uint32_t>(TypeId::integer) | kPlainCall);
}
// The same for the arguments before the first refinement.
inline bool plain_head_call(const Cell* val) {
  const Cell* summary = memory::series(val->data3)->cells() + function::kCache;
  return (summary->header & (0xFFu | kPlainHead)) ==
         (static_cast<uint32_t>(TypeId::integer) | kPlainHead);
}

// The spec cache of a function value that plain_call accepted (`fixed`: the
// cell count of its companion's fixed part).
inline CacheInfo plain_cache(const Cell* fn, int32_t fixed) {
  const Node node = fn->data3;
  const Cell* summary = memory::series(node)->cells() + function::kCache;
  return {node,
          fixed - 1,
          static_cast<int32_t>(summary->data1),
          static_cast<int32_t>(summary->data2),
          static_cast<int32_t>(summary->data3),
          true,
          static_cast<int32_t>(summary->header >> kHeadShift)};
}

// --- pure expressions ----------------------------------------------------
//
// A pure expression runs nothing and cannot fail: a literal or a word with a
// plain value, followed by fast operators on integers whose right operands
// are integer literals, words with integer values, or parens holding one
// such expression (one level). Its value is computed in place, without the
// position cell, the nesting count or a set-word's frame, which only an
// error or a trace would see. The routines below answer that they do not
// apply before they have changed anything, and the general path then
// evaluates the code as always.

// True when the stacks and the nesting count have room for what evaluating
// a block with a paren inside would take (the general path raises the
// overflow errors otherwise).
[[gnu::always_inline]] inline bool pure_room() {
  return eval_top < eval_pure_limit && stack::limit - stack::top > 4;
}

bool pure_paren(const Cell& paren, Cell* out);

// One operand into `out`; a paren only when `nest`.
[[gnu::always_inline]] inline bool pure_operand(const Cell* c, Cell* out, bool nest) {
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
  if (tb & kSelfTypes) {
    *out = *c;
    return true;
  }
  if (tb & bit(TypeId::word)) {
    const Cell* v = peek_value(c);
    if (!v || ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial)) return false;
    *out = *v;
    return true;
  }
  if (nest && (tb & bit(TypeId::paren))) return pure_paren(*c, out);
  return false;
}

// The operators that follow a first operand (its value in `out`, pc after
// it): the position where the expression ends; when an operator is met that
// is not pure, ~pc of that operator (negative), `out` holding the value of
// the expression before it.
[[gnu::always_inline]] inline int32_t pure_chain(const Cell* cells, int32_t pc, int32_t lim,
                                                 Cell* out, bool nest) {
  while (pc < lim) {
    const Cell* next = cells + pc;
    if (!next->is(TypeId::word)) return pc;
    const Cell* val = peek_value(next);
    if (!val || !val->is(TypeId::op)) return pc;
    const FastOp f = fast_op_of(val);
    if (f == FastOp::none || !out->is(TypeId::integer) || pc + 1 >= lim) return ~pc;
    Cell right;
    if (!pure_operand(next + 1, &right, nest) || !right.is(TypeId::integer)) return ~pc;
    integer_op(f, out->integer(), right.integer(), out);
    pc += 2;
  }
  return pc;
}

// A paren whose whole content is one pure expression without parens.
[[gnu::noinline]] bool pure_paren(const Cell& paren, Cell* out) {
  SeriesBuffer* s = buf(paren);
  if (((s->flags & series_flag::library) != 0) != in_library) return false;
  const int32_t pc = paren.head() < 0 ? 0 : paren.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return false;
  const Cell* cells = s->cells();
  if (!pure_operand(cells + pc, out, false)) return false;
  return pure_chain(cells, pc + 1, lim, out, false) == lim;
}

// The pure expressions of a block from pc on (its cells, its end `lim`),
// each a set-word of a pure expression whose word a direct store reaches,
// or a pure expression after the first: computed and stored in place, the
// last value in `out`. Answers where the first expression that is not pure
// starts (lim when none is), everything before it done.
int32_t pure_block(const Cell* cells, int32_t pc, int32_t lim, Cell* out) {
  const int32_t first = pc;
  while (pc < lim) {
    const Cell* c = cells + pc;
    Cell v;
    if (c->is(TypeId::set_word)) {
      Cell* slot = direct_slot(c);
      if (!slot || pc + 1 >= lim || !pure_operand(c + 1, &v, true) || v.is(TypeId::unset))
        return pc;
      const int32_t e = pure_chain(cells, pc + 2, lim, &v, true);
      if (e < 0) return pc;
      *slot = v;
      pc = e;
    } else {
      if (pc == first || !pure_operand(c, &v, true)) return pc;
      const int32_t e = pure_chain(cells, pc + 1, lim, &v, true);
      if (e < 0) return pc;
      pc = e;
    }
    *out = v;
  }
  return pc;
}

// The start of a block's evaluation (its buffer s, from pc to end) when it
// is not marked impure: its leading pure expressions done by pure_block.
// The result is pushed and -1 answered when they were the whole block; else
// the block is marked and the position of the rest answered.
[[gnu::noinline]] int32_t eval_pure_block(SeriesBuffer* s, int32_t pc, int32_t end, Chain chain) {
  if (pc < end && pure_room() && stack::frame_top < stack::frame_limit) {
    Cell v;
    const int32_t e = pure_block(s->cells(), pc, end, &v);
    if (e >= end) {
      *stack::push_slot() = v;
      if (chain == Chain::yes) *stack::arguments = v;
      return -1;
    }
    pc = e;
  }
  s->flags |= series_flag::impure;
  return pc;
}

// The steps of a PureBody. An expression is worked in register 0 (a paren
// that is its first operand too), a paren that is an operator's right
// operand in register 1. An operator and its right operand are one step,
// one code per operator and register (the form's base + FastOp), so that
// each step is one jump. Each expression ends with one of the end steps,
// which makes its value.
enum PureCode : uint8_t {
  load_word,   // r0 = the integer value of `cell`
  load_word1,  // r1 = ...
  load_int,    // r0 = imm
  load_int1,   // r1 = imm
  end_int,     // the value is r0 as an integer!
  end_logic,   // ... as a logic!
  end_word,    // the value is the value cell `cell` (not an unset or callable one)
  end_lit,     // the value is the literal `cell`
  op_word = 16,        // r0 = r0 op the integer value of `cell`
  op_word1 = 32,       // r1 = r1 op ...
  op_int = 48,         // r0 = r0 op imm
  op_int1 = 64,        // r1 = r1 op imm
  op_reg = 80,         // r0 = r0 op r1
};

// Prepares a PureBody: the judgement of pure_block made once. Literals and
// words are kept as their cells' addresses (a word's value cell); the
// operators' value cells too, to make sure no set-word of the body (nor the
// loop's own word) writes one.
struct PurePrep {
  enum class Kind { fail, integer, logic, word, lit };
  PureBody* body;
  int32_t count = 0;
  const Cell* ops[PureBody::kMaxCode];
  int32_t op_count = 0;
  const Cell* copy = nullptr;  // the cell of a word or lit kind
  int32_t end = 0;             // where the last expression prepared ends

  bool emit(int32_t code, int32_t imm, const Cell* cell) {
    if (count >= PureBody::kMaxCode) return false;
    body->code[count++] = {static_cast<uint8_t>(code), imm, cell};
    return true;
  }
  // A word's value cell when it may be an operand (not unset or callable).
  static const Cell* operand_value(const Cell* c) {
    const Cell* v = peek_value(c);
    if (!v || ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial)) return nullptr;
    return v;
  }
  static bool op_follows(const Cell* cells, int32_t pc, int32_t lim) {
    if (pc >= lim || !cells[pc].is(TypeId::word)) return false;
    const Cell* val = peek_value(cells + pc);
    return val && val->is(TypeId::op);
  }
  // A paren's content (no parens inside) into register `reg`.
  Kind paren(const Cell* c, uint8_t reg, bool number) {
    SeriesBuffer* s = buf(*c);
    if (((s->flags & series_flag::library) != 0) != in_library) return Kind::fail;
    const int32_t pc = c->head() < 0 ? 0 : c->head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (pc >= lim) return Kind::fail;
    const Kind k = expression(s->cells(), pc, lim, false, reg, number);
    return end == lim ? k : Kind::fail;
  }
  // The expression at pc into register `reg` (`nest`: parens allowed);
  // `number`: its value is an operator's operand, loaded as an integer.
  Kind expression(const Cell* cells, int32_t pc, int32_t lim, bool nest, uint8_t reg,
                  bool number) {
    const Cell* c = cells + pc;
    const bool chained = op_follows(cells, pc + 1, lim);
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    Kind kind;
    if (tb & kSelfTypes) {
      if (c->is(TypeId::unset)) return Kind::fail;
      if (c->is(TypeId::integer)) {
        if (!emit(reg ? load_int1 : load_int, c->integer(), nullptr)) return Kind::fail;
        kind = Kind::integer;
      } else {
        if (number || chained) return Kind::fail;
        copy = c;
        kind = Kind::lit;
      }
    } else if (tb & bit(TypeId::word)) {
      const Cell* v = operand_value(c);
      if (!v) return Kind::fail;
      if (number || chained) {
        if (!emit(reg ? load_word1 : load_word, 0, v)) return Kind::fail;
        kind = Kind::integer;
      } else {
        copy = v;
        kind = Kind::word;
      }
    } else if (nest && (tb & bit(TypeId::paren))) {
      kind = paren(c, reg, number || chained);
      if (kind == Kind::fail) return kind;
    } else {
      return Kind::fail;
    }
    pc++;
    while (op_follows(cells, pc, lim)) {
      const Cell* opv = peek_value(cells + pc);
      const FastOp f = fast_op_of(opv);
      // (A comparison's logic! value is no operand of a fast operator.)
      if (f == FastOp::none || kind != Kind::integer || pc + 1 >= lim ||
          op_count >= PureBody::kMaxCode)
        return Kind::fail;
      ops[op_count++] = opv;
      const Cell* r = cells + pc + 1;
      const auto fo = static_cast<uint8_t>(f);
      if (r->is(TypeId::integer)) {
        if (!emit((reg ? op_int1 : op_int) + fo, r->integer(), nullptr)) return Kind::fail;
      } else if (r->is(TypeId::word)) {
        const Cell* v = operand_value(r);
        if (!v || !emit((reg ? op_word1 : op_word) + fo, 0, v)) return Kind::fail;
      } else if (nest && reg == 0 && r->is(TypeId::paren)) {
        if (paren(r, 1, true) != Kind::integer ||
            !emit(op_reg + fo, 0, nullptr))
          return Kind::fail;
      } else {
        return Kind::fail;
      }
      kind = is_math(f) ? Kind::integer : Kind::logic;
      pc += 2;
    }
    end = pc;
    return kind;
  }
  bool writes_op(const Cell* slot) const {
    for (int32_t i = 0; i < op_count; i++)
      if (ops[i] == slot) return true;
    return false;
  }
};

// Integer operator f on a and b into r: false when + - * overflow (the
// general path then gives the float).
[[gnu::always_inline]] inline bool pure_integer_op(uint32_t f, int32_t a, int32_t b, int32_t& r) {
  switch (static_cast<FastOp>(f)) {
    case FastOp::add: return !__builtin_add_overflow(a, b, &r);
    case FastOp::subtract: return !__builtin_sub_overflow(a, b, &r);
    case FastOp::multiply: return !__builtin_mul_overflow(a, b, &r);
    case FastOp::and_: r = a & b; return true;
    case FastOp::or_: r = a | b; return true;
    case FastOp::xor_: r = a ^ b; return true;
    case FastOp::equal:
    case FastOp::strict_equal: r = a == b; return true;
    case FastOp::not_equal: r = a != b; return true;
    case FastOp::lesser: r = a < b; return true;
    case FastOp::greater: r = a > b; return true;
    case FastOp::lesser_or_equal: r = a <= b; return true;
    default: r = a >= b; return true;
  }
}

// The companion block of the boot native `return` (set by
// note_boot_natives), or 0.
Node return_companion = 0;

// What pure_branch did.
enum class Branch : uint8_t { general, value, returned };

// A branch block of if, unless or either, when no trace runs and the block
// is no library block entered from user code or the reverse: one pure
// expression gives its value in `out` (Branch::value); `return` (the boot
// native) and a pure expression signal the return as the native would
// from its frame (Branch::returned). Anything else, or a return that would
// raise an error (no function to return from, a try/all frame on the way),
// is left to the general path (Branch::general, nothing changed).
[[gnu::always_inline]] inline Branch pure_branch(const Cell& block, Cell* out) {
  SeriesBuffer* s = buf(block);
  const int32_t pc = block.head() < 0 ? 0 : block.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return Branch::general;
  const Cell* cells = s->cells();
  const Cell* c = cells + pc;
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
  if (!(tb & (kSelfTypes | bit(TypeId::word))) || tracing_q || !pure_room() ||
      ((s->flags & series_flag::library) != 0) != in_library)
    return Branch::general;
  if (tb & kSelfTypes) {
    *out = *c;
  } else {
    const Cell* v = peek_value(c);
    if (!v) return Branch::general;
    if ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial) {
      if (!v->is(TypeId::native) || v->data3 != return_companion || !return_companion ||
          lim - pc < 2 || !pure_operand(c + 1, out, false) ||
          pure_chain(cells, pc + 2, lim, out, true) != lim)
        return Branch::general;
      stack::Frame* f = stack::return_frame();
      if (!f) return Branch::general;
      unwind::thrown_value = *out;
      exits::target = f;
      exits::pending = level::return_;
      return Branch::returned;
    }
    *out = *v;
  }
  return pure_chain(cells, pc + 1, lim, out, true) == lim ? Branch::value : Branch::general;
}

inline int32_t eval_arg(const Cell& code, int32_t pc, int32_t end, bool prefix,
                        int32_t lim = -1);
inline void call_entry(const Cell* fn, const int32_t* refs);
int32_t eval_set_word(const Cell& code, int32_t pc, int32_t end, Cell* start, const Cell& v);

// A native or action called by its word whose arguments before the first
// refinement are all evaluated ones (its refinements all off): as eval_code
// would call it, without the general argument machinery. Answers the
// position after the arguments.
[[gnu::noinline]] int32_t call_plain_native(const Cell* val, const Cell& word, const Cell& code,
                                           int32_t pc, int32_t end) {
  run_epoch++;
  Cell* fn_slot = stack::push(val);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  CacheInfo ci = plain_cache(fn_slot, 2);
  const int32_t head = ci.head;
  for (int32_t i = 1; i <= head; i++) {
    Descriptor d = descriptor(ci, i);
    const int32_t lim = limit_of(code, end);
    if (pc >= lim) no_arg(word, fn_slot, i);
    pc = eval_arg(code, pc, end, false, lim);
    if (exits::pending) return pc;
    typecheck(&word, fn_slot, i, d, stack::top - 1);
  }
  if (tracing_q) fire_event(Event::call, nullptr, -1, &word, fn_slot);
  int32_t refs[kMaxRefinements];
  const int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;
  call_entry(fn_slot, refs);
  if (exits::pending) return pc;
  pop_frame();
  if (tracing_q) fire_event(Event::return_, nullptr, -1, &word, base);
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return pc;
}

// The general call of a function value by its word. The value is copied
// first: `val` points into the word's context, which a trace callback run
// before the value reaches the stack may move.
[[gnu::noinline]] int32_t call_by_word_general(const Cell* val, const Cell& word, const Cell& code,
                                               int32_t pc, int32_t end) {
  const Cell fn = *val;
  return passing::eval_code(&fn, code, pc, end, nullptr, 0, &word, nullptr, mode::normal, false);
}

// A call through a word whose value `val` is a function value; `word` is a
// copy of the code's word cell that stays where it is for the call, pc is
// after the word. (The callees copy the value to the stack before anything
// runs.)
[[gnu::noinline]] int32_t call_by_word(const Cell* val, const Cell& word, const Cell& code,
                                       int32_t pc, int32_t end) {
  if (!tracing_q) {
    const TypeId t = val->type();
    if (t == TypeId::function) {
      if (plain_call(val)) return passing::call_plain_function<false>(val, word, code, pc, end);
      if (plain_head_call(val))
        return passing::call_plain_function<true>(val, word, code, pc, end);
    } else if (t == TypeId::native || t == TypeId::action) {
      if (int32_t kind = conditional_kind(val))
        return passing::eval_if(*val, word, code, pc, end, kind);
      if (plain_head_call(val)) return call_plain_native(val, word, code, pc, end);
    }
  }
  return call_by_word_general(val, word, code, pc, end);
}

// A fast operator whose left operand (at `start`) is an integer and whose
// right operand is the paren after the operator word `opword` (the op's
// value `opv`): the paren is evaluated, then the operator applied as
// eval_infix would. Answers the position after the paren.
[[gnu::noinline]] int32_t infix_paren(int32_t pc, Cell* start, FastOp f, const Cell* opv,
                                      const Cell* opword) {
  const Cell o = *opv, w = *opword, paren = opword[1];
  // A paren holding one pure expression is computed in place.
  if (!tracing_q && pure_room()) [[likely]] {
    Cell right;
    if (pure_paren(paren, &right) && right.is(TypeId::integer)) {
      integer_op(f, start->integer(), right.integer(), start);
      stack::top = start + 1;
      return pc + 2;
    }
  }
  stack::top = start + 1;
  passing::eval(&paren, Chain::no);
  if (exits::pending) return pc + 2;
  if (start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
  } else {
    infix_call(start, f, o, w);
  }
  return pc + 2;
}

// A fast operator whose left operand (at `start`) is an integer and whose
// right operand is a call through the word after the operator word
// `opword` (`callee`, that word's function value, read since anything last
// ran): the call is made, then the operator applied as eval_infix would.
// Answers the position after the call.
[[gnu::noinline]] int32_t infix_callee(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                       FastOp f, const Cell* opv, const Cell* opword,
                                       const Cell* callee) {
  const Cell o = *opv, w = *opword, word = opword[1];
  stack::top = start + 1;
  pc = call_by_word(callee, word, code, pc + 2, end);
  if (exits::pending) return pc;
  if (start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
  } else {
    infix_call(start, f, o, w);
  }
  return pc;
}

// The infix operators that follow a value pushed at `start` (pc is after
// it); `s` is the code's buffer, valid while nothing has been evaluated;
// `lim`, when not negative, the code's end as read since anything last ran
// (else it is read here).
[[gnu::always_inline]] inline int32_t infix_chain(const Cell& code, int32_t pc, int32_t end,
                                                  Cell* start, SeriesBuffer* s, int32_t lim = -1) {
  for (;;) {
    if (lim < 0) {
      lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      if (end < lim) lim = end;
    }
    if (pc >= lim) return pc;
    const Cell* next = s->cells() + pc;
    if (!next->is(TypeId::word)) return pc;
    Cell* val = peek_value(next);
    if (!val || !val->is(TypeId::op)) return pc;
    // A fast operator on integers whose right operand is an integer in the
    // code or a word's integer value: computed here (nothing is evaluated,
    // so the code's buffer stays valid).
    if (!tracing_q && start->is(TypeId::integer) && pc + 1 < lim) [[likely]] {
      const FastOp f = fast_op_of(val);
      if (f != FastOp::none) {
        const Cell* rc = next + 1;
        const Cell* rv = rc->is(TypeId::word) ? peek_value(rc) : nullptr;
        if (rv) rc = rv;
        if (rc->is(TypeId::integer)) {
          integer_op(f, start->integer(), rc->integer(), start);
          stack::top = start + 1;
          pc += 2;
          continue;
        }
        if (rc->is(TypeId::paren)) {
          pc = infix_paren(pc, start, f, val, next);
          if (exits::pending) return pc;
          s = buf(code);
          lim = -1;
          continue;
        }
        if (rv && ((uint64_t{1} << static_cast<uint8_t>(rv->type())) & kCallTypes)) {
          pc = infix_callee(code, pc, end, start, f, val, next, rv);
          if (exits::pending) return pc;
          s = buf(code);
          lim = -1;
          continue;
        }
        pc = eval_infix(code, pc, end, lim, start, val, next, rv);
        if (exits::pending) return pc;
        s = buf(code);
        lim = -1;
        continue;
      }
    }
    pc = eval_infix(code, pc, end, lim, start, val, next);
    if (exits::pending) return pc;
    s = buf(code);
    lim = -1;
  }
}

// eval_expression with its commonest case handled in place, for the hot
// callers (a block's expressions, arguments, set-word values, conditions):
// with no trace running, a literal or a word with a plain value is pushed
// and the operators that follow are evaluated here. `lim`, when not
// negative, is the code's end as read since anything last ran.
[[gnu::always_inline]] inline int32_t eval_arg(const Cell& code, int32_t pc, int32_t end,
                                               bool prefix, int32_t lim) {
  if (!tracing_q) [[likely]] {
    SeriesBuffer* s = buf(code);
    const Cell* c = s->cells() + pc;
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    Cell* start = stack::top;
    // A copy of the code's cell that stays put while it is evaluated (one
    // for all the cases, to keep the callers' frames small).
    Cell held;
    if (tb & bit(TypeId::word)) {
      if (const Cell* v = peek_value(c)) [[likely]] {
        const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(v->type());
        if (!(vb & kWordSpecial)) [[likely]] {
          stack::push(v);
          if (prefix) return pc + 1;
          return infix_chain(code, pc + 1, end, start, s, lim);
        }
        if (vb & kCallTypes) {
          held = *c;
          pc = call_by_word(v, held, code, pc + 1, end);
          if (exits::pending || prefix) return pc;
          return infix_chain(code, pc, end, start, buf(code));
        }
      }
    } else if (tb & kSelfTypes) {
      stack::push(c);
      if (prefix) return pc + 1;
      return infix_chain(code, pc + 1, end, start, s, lim);
    } else if (tb & bit(TypeId::paren)) {
      held = *c;
      passing::eval(&held, Chain::no);
      if (exits::pending || prefix) return pc + 1;
      return infix_chain(code, pc + 1, end, start, buf(code));
    } else if (tb & bit(TypeId::set_word)) {
      held = *c;
      pc = eval_set_word(code, pc, end, start, held);
      if (exits::pending || prefix) return pc;
      return infix_chain(code, pc, end, start, buf(code));
    }
  }
  return passing::eval_expression(code, pc, end, prefix, false);
}

// A set-word at pc (`v`, a copy of it) with the stack top at `start`: the
// next expression is evaluated and assigned under a frame named by the
// set-word; the value is left at `start`. Answers the position after it.
[[gnu::noinline]] int32_t eval_set_word(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                        const Cell& v) {
  // The value expression's first value, read once: a pure expression is
  // stored directly, without the frame (nothing can fail or be traced); a
  // word whose value is called is called with the value read here.
  run_epoch++;
  const Cell* callee = nullptr;
  int32_t stuck = -1;  // where the operators stopped being pure
  Cell value;
  if (!tracing_q) [[likely]] {
    const int32_t lim = limit_of(code, end);
    if (pc + 1 < lim) [[likely]] {
      const Cell* cells = buf(code)->cells();
      const Cell* c = cells + pc + 1;
      const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
      const Cell* first = nullptr;
      if (tb & kSelfTypes) {
        first = c;
      } else if (tb & bit(TypeId::word)) {
        if (const Cell* fv = peek_value(c)) {
          const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(fv->type());
          if (!(vb & kWordSpecial))
            first = fv;
          else if (vb & kCallTypes)
            callee = fv;
        }
      }
      if (first && !first->is(TypeId::unset) && pure_room() &&
          stack::frame_top < stack::frame_limit) {
        if (Cell* slot = direct_slot(&v)) {
          value = *first;
          const int32_t e = pure_chain(cells, pc + 2, lim, &value, true);
          if (e >= 0) {
            *slot = value;
            *start = value;
            stack::top = start + 1;
            return e;
          }
          stuck = ~e;
        }
      }
    }
  }
  push_frame(&v, stack::FrameKind::assign);
  *stack::push_slot() = v;
  if (stuck >= 0) {
    // The general path goes on from the operator the pure one stopped at,
    // with the value before it (what it read has not changed since).
    *stack::push_slot() = value;
    pc = infix_chain(code, stuck, end, start + 1, buf(code));
  } else if (callee) {
    // (Nothing has run since the value was read.)
    const Cell word = buf(code)->cells()[pc + 1];
    pc = call_by_word(callee, word, code, pc + 2, end);
    if (exits::pending) return pc;
    pc = infix_chain(code, pc, end, start + 1, buf(code));
  } else {
    if (tracing_q) [[unlikely]]
      fire_event(Event::push, &code, pc, nullptr, &v);
    const int32_t lim = limit_of(code, end);
    if (pc + 1 >= lim) fire(ErrorCode::script_need_value, &v);
    pc = eval_arg(code, pc + 1, end, false, lim);
  }
  if (exits::pending) return pc;
  if (tracing_q) [[unlikely]]
    fire_event(Event::set, &code, pc, &v, start + 1);
  if (start[1].is(TypeId::unset)) fire(ErrorCode::script_need_value, &v);
  if (Cell* slot = direct_slot(start)) [[likely]]
    *slot = start[1];
  else
    context::set(start, start + 1);
  *start = start[1];
  pop_frame();
  return pc;
}

// --- argument fetching ---------------------------------------------------

struct CallSite {
  const Cell* fn;          // the function value (stable: on the stack or rooted)
  const Cell* frame_word;  // the word naming the call
  uint32_t mode;
  bool infix;
};

// Pushes one argument of descriptor d (argument number i) taken from the
// code at pc; answers the position after it.
int32_t fetch(const CallSite& site, const Descriptor& d, int32_t i, const Cell& code, int32_t pc,
              int32_t end) {
  if (pc >= limit_of(code, end)) {
    if (d.kind == ArgKind::literal && (d.types & bit(TypeId::unset))) {
      set_unset(stack::push_slot());
      return pc;
    }
    if (site.mode & (mode::apply | mode::apply_all)) {
      set_none(stack::push_slot());
      return pc;
    }
    Cell fw = *site.frame_word;
    Cell w = arg_word(site.fn, i);
    fire(ErrorCode::script_no_arg, &fw, &w);
  }
  switch (d.kind) {
    case ArgKind::normal:
      if (site.mode & mode::safer) return passing::eval_expression(code, pc, pc + 1, true, false);
      return eval_arg(code, pc, end, site.infix);
    case ArgKind::quoted: {
      const Cell* v = at(code, pc);
      if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, v);
      stack::push(at(code, pc));
      return pc + 1;
    }
    default: {
      Cell v = *at(code, pc);
      if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, &v);
      if (v.is(TypeId::paren)) {
        passing::eval(&v, Chain::no);
      } else if (v.is(TypeId::get_word)) {
        stack::push(word_value(&v));
      } else if (v.is(TypeId::get_path)) {
        passing::eval_path(v, code, -1, 0, PathMode::get, false, nullptr);
      } else {
        stack::push(&v);
      }
      return pc + 1;
    }
  }
}

// Looks a refinement up among a function's descriptors: its index, or -1.
int32_t find_refinement(const Cell* fn, const CacheInfo& ci, const Cell* element) {
  Node words = words_of(fn);
  if (!words) return -1;
  // (A spec's words differ in more than their case, so the word spelled as
  // the element is the one: looked for first, then any spelling.)
  const SymbolId exact = element->symbol();
  SeriesBuffer* w = memory::series(words);
  const int32_t n = std::min<int32_t>(ci.count, static_cast<int32_t>(w->length()));
  for (int32_t j = 1; j <= n; j++)
    if (w->cells()[j - 1].symbol() == exact)
      return descriptor(ci, j).kind == ArgKind::refinement ? j : -1;
  SymbolId s = symbol::resolve(exact);
  for (int32_t j = 1; j <= n; j++) {
    if (symbol::resolve(w->cells()[j - 1].symbol()) != s) continue;
    return descriptor(ci, j).kind == ArgKind::refinement ? j : -1;
  }
  return -1;
}

// Fetches the arguments and refinements of a call through a path or by
// apply, then calls a native's or action's entry, or pushes a function's
// locals.
[[gnu::noinline]] int32_t eval_arguments_full(const CallSite& site, const Cell& code, int32_t pc,
                                              int32_t end, const Cell* path, int32_t path_pos) {
  const Cell* fn = site.fn;
  CacheInfo ci = spec_cache(fn);
  TypeId ft = fn->type();
  bool is_fn = ft == TypeId::function || ft == TypeId::routine;
  Cell* base = stack::arguments;
  int32_t refs[kMaxRefinements];
  int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;

  int32_t i = 1;
  if (site.infix) {
    stack::top = base + 1;
    if (ci.count >= 1) typecheck(site.frame_word, fn, 1, descriptor(ci, 1), base);
    i = 2;
  }
  bool active = true;
  for (; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      if (site.mode & mode::apply_all) {
        Descriptor truth{kDefaultTypes | bit(TypeId::unset), ArgKind::normal, 0};
        pc = fetch(site, truth, i, code, pc, end);
        if (exits::pending) return pc;
        Cell* v = stack::top - 1;
        if (v->is(TypeId::none)) set_logic(v, false);
        if (!v->is(TypeId::logic)) expect_arg(site.frame_word, fn, i, v);
        active = v->logic();
        if (!is_fn) {
          stack::pop(1);
          if (active && d.ordinal <= nrefs)
            refs[d.ordinal - 1] = static_cast<int32_t>(stack::top - base);
        }
      } else {
        // (A native's refinements and their arguments take no slots here:
        // those the path names are fetched below.)
        if (!is_fn) break;
        set_logic(stack::push_slot(), false);
        active = false;
      }
      continue;
    }
    if (active) {
      pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      typecheck(site.frame_word, fn, i, d, stack::top - 1);
    } else if (site.mode & mode::apply_all) {
      pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      if (is_fn)
        set_none(stack::top - 1);
      else
        stack::pop(1);
    } else if (is_fn) {
      set_none(stack::push_slot());
    }
  }

  // Refinements from the path, or (apply) from the code.
  uint64_t used = 0;
  auto use_refinement = [&](const Cell& element, bool on, const Cell* where) -> bool {
    int32_t j = find_refinement(fn, ci, &element);
    if (j < 0) {
      Cell fw = *site.frame_word;
      fire(ErrorCode::script_no_refine, &fw, &element);
    }
    Descriptor dr = descriptor(ci, j);
    uint64_t b = uint64_t{1} << ((dr.ordinal - 1) & 63);
    if (used & b) fire(ErrorCode::script_dup_refine, where);
    used |= b;
    if (is_fn)
      set_logic(base + (j - 1), on);
    else if (on && dr.ordinal <= nrefs)
      refs[dr.ordinal - 1] = static_cast<int32_t>(stack::top - base);
    for (int32_t a = j + 1; a <= ci.count; a++) {
      Descriptor da = descriptor(ci, a);
      if (da.kind == ArgKind::refinement) break;
      if ((site.mode & mode::safer) && !on) {
        if (pc < limit_of(code, end)) pc++;
        continue;
      }
      pc = fetch(site, da, a, code, pc, end);
      if (exits::pending) return false;
      if (on) {
        typecheck(site.frame_word, fn, a, da, stack::top - 1);
        if (is_fn) {
          base[a - 1] = stack::top[-1];
          stack::pop(1);
        }
      } else {
        stack::pop(1);
      }
    }
    return true;
  };

  if (path) {
    Cell p = *path;
    for (int32_t k = path_pos; k < tail_of(p); k++) {
      Cell e = *at(p, k);
      bool on;
      if (e.is(TypeId::word)) {
        on = true;
      } else if (e.is(TypeId::get_word)) {
        on = !is_falsy(word_value(&e));
      } else {
        fire(ErrorCode::script_bad_refine, &e);
      }
      if (!use_refinement(e, on, &p)) return pc;
    }
  } else if ((site.mode & mode::apply) && !(site.mode & mode::apply_all)) {
    while (pc < limit_of(code, end)) {
      Cell e = *at(code, pc);
      if (!e.is(TypeId::refinement)) fire(ErrorCode::script_bad_refine, &e);
      pc++;
      bool on = false;
      if (pc < limit_of(code, end)) {
        Cell* mark = stack::top;
        pc = passing::eval_expression(code, pc, end, false, false);
        if (exits::pending) return pc;
        on = !is_falsy(mark);
        stack::top = mark;
      }
      if (!use_refinement(e, on, &code)) return pc;
    }
  }

  if (tracing_q) fire_event(Event::call, nullptr, -1, site.frame_word, fn);
  if (is_fn) {
    function::init_locals(ci.locals);
    return pc;
  }
  if (ft == TypeId::native) {
    natives::entry(static_cast<int32_t>(fn->data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fn->data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  return pc;
}

// Calls a native's or action's entry with the refinement slots.
inline void call_entry(const Cell* fn, const int32_t* refs) {
  if (fn->is(TypeId::native)) {
    natives::entry(static_cast<int32_t>(fn->data1))(refs);
    return;
  }
  int32_t id = static_cast<int32_t>(fn->data1);
  actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
  if (!e) fire(ErrorCode::internal_not_done);
  e(refs);
}

// Fetches the arguments of a call whose frame is open, then calls a native's
// or action's entry, or pushes a function's locals. The common case (no
// refinements from a path, no apply) is handled here.
int32_t eval_arguments(const CallSite& site, const Cell& code, int32_t pc, int32_t end,
                       const Cell* path, int32_t path_pos) {
  if (path || site.mode != mode::normal) [[unlikely]]
    return eval_arguments_full(site, code, pc, end, path, path_pos);
  const Cell* fn = site.fn;
  if (site.infix) stack::top = stack::arguments + 1;
  CacheInfo ci = spec_cache(fn);
  const bool is_fn = fn->is(TypeId::function) || fn->is(TypeId::routine);
  int32_t i = 1;
  if (site.infix) {
    if (ci.count >= 1) typecheck(site.frame_word, fn, 1, descriptor(ci, 1), stack::arguments);
    i = 2;
  }
  bool active = true;
  for (; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      if (!is_fn) break;
      set_logic(stack::push_slot(), false);
      active = false;
    } else if (active) {
      const int32_t lim = limit_of(code, end);
      if (d.kind == ArgKind::normal && pc < lim) [[likely]]
        pc = eval_arg(code, pc, end, site.infix, lim);
      else
        pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      typecheck(site.frame_word, fn, i, d, stack::top - 1);
    } else {
      set_none(stack::push_slot());
    }
  }
  if (tracing_q) fire_event(Event::call, nullptr, -1, site.frame_word, fn);
  if (is_fn) {
    function::init_locals(ci.locals);
    return pc;
  }
  int32_t refs[kMaxRefinements];
  int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;
  call_entry(fn, refs);
  return pc;
}

// Runs a routine!'s C++ routine on the arguments of the current frame.
void call_native_code(Cell* fn) {
  int32_t index = function::extra(fn, function::kEntry)->integer();
  routine::Entry e = routine::entry(index);
  if (!e) fire(ErrorCode::internal_not_done);
  e();
}

}  // namespace

// --- the spec cache ----------------------------------------------------------

CacheInfo spec_cache(const Cell* fn) {
  int32_t fixed = 0;
  Node node = companion_of(fn, &fixed);
  const Cell* summary = memory::series(node)->cells() + 1;
  if (!summary->is(TypeId::integer)) [[unlikely]]
    return build_cache(fn);
  return {node,
          fixed - 1,
          static_cast<int32_t>(summary->data1),
          static_cast<int32_t>(summary->data2),
          static_cast<int32_t>(summary->data3),
          (summary->header & kPlainCall) != 0};
}

Node words_of(const Cell* fn) {
  TypeId t = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if (t == TypeId::function || t == TypeId::routine) return context::words_node(fn->data1);
  // The companion keeps a copy of the context cell: its word table's block.
  return static_cast<Node>(hashtable::record(native::companion(fn, native::kContext)->data1)->blk);
}

const Cell* body_word() { return &body_word_cell; }
const Cell* anon_word() { return &anon_word_cell; }

// --- evaluation --------------------------------------------------------------

namespace {

// A block's values from pc (`end`: its end as read before), each
// expression's value dropped by the next, the last one's pushed (and stored
// in the frame's slot 0 with Chain::yes); `first(pc, end)` evaluates the
// first expression as eval_arg does, the others go through eval_arg.
// (`library`: the block's library mark, equal to in_library.)
template <typename First>
[[gnu::always_inline]] inline void eval_values(const Cell& code, int32_t pc, int32_t end,
                                               Chain chain, bool library, First&& first) {
  EvalDepth depth;
  Cell* base = stack::top;
  if (tracing_q) {
    fire_event(Event::enter, &code, pc, nullptr, nullptr);
    // (The callback may have changed the block.)
    end = limit_of(code, end);
  }
  if (pc >= end) {
    set_unset(stack::push_slot());
  } else {
    PositionSave save;
    if (!library) set_position(code);
    if (!library) position.set_head(pc);
    pc = first(pc, end);
    // `end` is the code's end as read since anything last ran, at the top
    // of each turn (a collection at the safe point moves the buffer but
    // keeps its length).
    for (;;) {
      if (exits::pending) return;
      if (tracing_q) fire_event(Event::expr, &code, pc, nullptr, base);
      // Past the end read before: past the end now too (a block only
      // ends earlier by shrinking), so the end is read again only when
      // more may follow, or for the trace's exit event.
      if (pc >= end && !tracing_q) break;
      end = limit_of(code, end);
      if (pc >= end) break;
      stack::top = base;
      collector::safe_point();
      if (!library) position.set_head(pc);
      pc = eval_arg(code, pc, end, false, end);
    }
  }
  if (tracing_q) fire_event(Event::exit, &code, end, nullptr, base);
  stack::top = base + 1;
  if (chain == Chain::yes) *stack::arguments = *base;
}

}  // namespace

namespace passing {

void eval(const Cell* block, Chain chain) {
  // The block's values are evaluated one after the other at the stack top the
  // evaluation starts from; each new expression drops the previous result. No
  // call frame is needed: the block is not a call.
  run_epoch++;
  Cell code = *block;
  SeriesBuffer* s = buf(code);
  const bool library = (s->flags & series_flag::library) != 0;
  if (library != in_library) [[unlikely]] {
    eval_library_crossing(block, chain, library);
    return;
  }
  int32_t pc = code.head() < 0 ? 0 : code.head();
  int32_t end = static_cast<int32_t>((s->tail - s->offset) >> 4);
  // A block that starts with set-words of pure expressions stores them in
  // place, without the nesting count, the position cell or the set-words'
  // frames (only an error or a trace would see them); the general path goes
  // on from the first expression that is not pure, and the block is marked
  // so that later evaluations go there at once.
  if (!(s->flags & series_flag::impure) && !tracing_q) {
    pc = eval_pure_block(s, pc, end, chain);
    if (pc < 0) return;
  }
  eval_values(code, pc, end, chain, library,
              [&](int32_t at, int32_t stop) { return eval_arg(code, at, stop, false, stop); });
}

int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain) {
  run_epoch++;
  Cell code = *block;
  Cell* base = stack::top;
  {
    // The expression is an error's `near`, as in a block's evaluation (an
    // error inside reduce, all, any or do/next named the whole call).
    EvalDepth depth;
    PositionSave save;
    if (!(buf(code)->flags & series_flag::library)) {
      set_position(code);
      position.set_head(pc);
    }
    pc = eval_arg(code, pc, end, false);
  }
  if (exits::pending) return pc;
  if (tracing_q && chain == Chain::yes) fire_event(Event::expr, &code, pc, nullptr, base);
  stack::top = base + 1;
  if (chain == Chain::yes) *stack::arguments = *base;
  collector::safe_point();
  return pc;
}

int32_t do_next(const Cell* block) {
  Cell code = *block;
  int32_t pc = code.head() < 0 ? 0 : code.head();
  if (pc >= tail_of(code)) {
    set_unset(stack::push_slot());
    return pc;
  }
  return passing::eval_next(&code, pc, tail_of(code), Chain::no);
}


// if, unless and either called by their words, evaluated here without the
// generic argument machinery (their frame is still pushed, so errors name
// them). The three natives are the boot ones (recognised by their companion
// block); `kind` is their native index 1, 2 or 3. Answers the position after
// the call.
Node conditional_companions[4] = {0, 0, 0, 0};

int32_t eval_conditional(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc,
                         int32_t end, int32_t kind) {
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  const int32_t lim = limit_of(code, end);
  if (pc >= lim) no_arg(word, fn_slot, 1);
  pc = eval_arg(code, pc, end, false, lim);
  if (exits::pending) return pc;
  // The branch blocks: literal blocks in the code, or expressions giving
  // blocks.
  const int32_t branches = kind == 3 ? 2 : 1;
  for (int32_t i = 0; i < branches; i++) {
    SeriesBuffer* s = buf(code);
    int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (end < lim) lim = end;
    if (pc >= lim) no_arg(word, fn_slot, i + 2);
    const Cell* c = s->cells() + pc;
    if (c->is(TypeId::block)) {
      stack::push(c);
      pc++;
    } else {
      pc = passing::eval_expression(code, pc, end, false, false);
      if (exits::pending) return pc;
      if (!stack::top[-1].is(TypeId::block)) expect_arg(&word, fn_slot, i + 2, stack::top - 1);
    }
  }
  bool truth;
  if (kind == 3) {
    if (base->is(TypeId::unset)) fire(ErrorCode::script_no_return);
    truth = !is_falsy(base);
  } else {
    truth = !is_falsy(base);
    if (kind == 2) truth = !truth;
  }
  if (kind != 3 && !truth) {
    set_none(base);
  } else {
    Cell body = base[(kind == 3 && !truth) ? 2 : 1];
    Cell v;
    const Branch b = pure_branch(body, &v);
    if (b == Branch::value) {
      *base = v;
    } else if (b == Branch::returned) {
      return pc;
    } else {
      passing::eval(&body, Chain::yes);
      if (exits::pending) return pc;
    }
  }
  pop_frame();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return pc;
}


// The branch `body` of if, unless or either (the conditional `fnv` named
// by `word`) evaluated under the conditional's frame, its arguments on the
// stack as eval_conditional leaves them: the condition and the branch
// blocks at `blocks` (nothing may have run since they were read, and
// pure_room must have left room for them). The value ends at the stack top
// in the slot pushed for the conditional; on a pending exit the stacks stay
// as they are.
// (`run(code)` evaluates the block as passing::eval does, Chain::yes.)
template <typename Run>
[[gnu::always_inline]] inline void framed_branch(const Cell& fnv, const Cell& word,
                                                 const Cell& cond, const Cell* blocks,
                                                 bool either, const Cell& body, Run&& run) {
  const Cell code = body;
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  Cell* args = stack::top;
  stack::top += either ? 3 : 2;
  args[0] = cond;
  args[1] = blocks[0];
  if (either) args[2] = blocks[1];
  run(code);
  if (exits::pending) return;
  end_call(fn_slot, base);
}

// if, unless and either (`kind` 1, 2 or 3) called by their words. A pure
// condition followed by literal branch blocks is read in place; when the
// branch is not taken, or is pure too, or is `return` and a pure
// expression, nothing can fail and no frame is pushed. Anything else goes
// the general way.
int32_t eval_if(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc, int32_t end,
                int32_t kind) {
  const bool either = kind == 3;
  if (tracing_q || !pure_room() || stack::frame_top >= stack::frame_limit) [[unlikely]]
    return eval_conditional(fnv, word, code, pc, end, kind);
  const int32_t lim = limit_of(code, end);
  const Cell* cells = buf(code)->cells();
  Cell cond;
  if (pc >= lim || !pure_operand(cells + pc, &cond, false))
    return eval_conditional(fnv, word, code, pc, end, kind);
  const int32_t e = pure_chain(cells, pc + 1, lim, &cond, true);
  const int32_t after = either ? e + 2 : e + 1;
  if (e < 0 || after > lim || cond.is(TypeId::unset) || !cells[e].is(TypeId::block) ||
      !cells[after - 1].is(TypeId::block))
    return eval_conditional(fnv, word, code, pc, end, kind);
  bool truth = !is_falsy(&cond);
  if (kind == 2) truth = !truth;
  if (!truth && !either) {
    set_none(stack::push_slot());
    return after;
  }
  const Cell* taken = cells + (truth ? e : e + 1);
  Cell v;
  const Branch b = pure_branch(*taken, &v);
  if (b == Branch::value) {
    *stack::push_slot() = v;
    return after;
  }
  if (b == Branch::returned) return after;
  framed_branch(fnv, word, cond, cells + e, either, *taken,
                [](const Cell& code) { passing::eval(&code, Chain::yes); });
  return after;
}

}  // namespace passing

// --- compiled function bodies ---------------------------------------------
//
// A function body made only of pure expressions, `if`, `unless` and
// `either` with a pure condition and literal branch blocks, and `return` of
// a pure expression is compiled once into the steps below, which give its
// value at each call without the block evaluation: none of it can fail or
// run other code, so only its value is seen. Each call first checks that
// the body (and each block of it that a step reads) still holds the cells
// it was compiled from, and that the words of its operators and natives
// still hold those values; each step then reads and checks its operands'
// values as pure_chain does. When anything does not fit (a value of
// another type, an overflow's float before another operator), nothing has
// been done and the block is evaluated as always. A branch that is not
// pure, taken in the body's last expression, is evaluated under the
// native's frame as eval_if does.

namespace {

struct BodyOperand {
  enum Kind : uint8_t { integer, local, global, literal, paren };
  Kind kind;
  int32_t value;  // the integer, the word's index, or the literal's or paren's index
};
struct BodyOp {
  FastOp f;
  BodyOperand right;
};
struct BodyExpr {
  BodyOperand first;
  uint8_t op_begin, op_count;
  // A function's word, an operator and an integer (n - 1, n < 2): computed
  // at once when the word's value is an integer.
  bool local_op_integer;
};
struct BodyBranch {
  enum Kind : uint8_t { value, returns, general, calls };
  Kind kind;
  int8_t expr;  // the expression (value, returns), or the call expression (calls)
};
// A call of a function through a global word; its arguments are pure
// expressions.
struct BodyCall {
  static constexpr int kMaxArgs = 4;
  int8_t word;  // the word's cell in `cells`
  int8_t argc;
  int32_t after;  // the position after the call in its block
  int8_t args[kMaxArgs];
};
// An operand of a call expression: pure, a call, or a paren holding one
// call and nothing else.
struct BodyCallOperand {
  enum Kind : uint8_t { pure, call, paren_call };
  Kind kind;
  int8_t index;  // the call
  int8_t paren;  // the paren's cell in `cells`
  BodyOperand operand;  // the pure operand
};
// A fast operator and its right operand in a call expression.
struct BodyCallStep {
  FastOp f;
  int8_t op_word;      // the operator word's cell in `cells`
  int8_t op_value;     // its value in `words`
  BodyCallOperand right;
};
// The one expression of a branch block that calls functions: its first
// operand, then the operators.
struct BodyCallExpr {
  uint8_t step_begin, step_count;
  BodyCallOperand first;
};
struct BodyStatement {
  enum Kind : uint8_t { value, branches, returns };
  Kind kind;
  uint8_t conditional;  // 1 if, 2 unless, 3 either
  int8_t expr;          // the expression, or the condition
  int8_t word;          // the conditional's word: its cell in `cells`
  int8_t native;        // and its value in `words`
  int8_t block;         // the cell of its first branch block in `cells`
  BodyBranch taken, other;  // (the branch for true, and for false in either)
};
// A block whose cells a compiled body depends on.
struct BodyBlock {
  Node node;
  int32_t head;
  int32_t count;  // its cells from the head to the tail
  int32_t first;  // where they start in `cells`
  bool branch;    // a call branch's (compared when one is taken)
};
// A global word whose value a compiled body depends on.
struct BodyWord {
  int32_t index;
  Cell value;
};
struct CompiledBody {
  static constexpr int kMaxBlocks = 8, kMaxCells = 64, kMaxWords = 8, kMaxStatements = 8,
                       kMaxExprs = 16, kMaxOps = 24, kMaxLiterals = 8, kMaxCalls = 4,
                       kMaxSteps = 8, kMaxCallExprs = 2;
  Node node = 0;
  Node ctx = 0;
  bool ok = false;
  // Counts the compilations into this slot: a call that the steps made may
  // compile it again (the same body changed, or another one).
  uint32_t generation = 0;
  int32_t word_limit = 0;  // past the highest index of `words`
  // The run_epoch at which all the blocks (the branches' too) and words
  // were last found current: while it lasts, they need no comparing.
  mutable uint64_t all_epoch = 0;
  int32_t block_count = 0, cell_count = 0, word_count = 0, statement_count = 0, expr_count = 0,
          op_count = 0, literal_count = 0, call_count = 0, step_count = 0, call_expr_count = 0;
  BodyBlock blocks[kMaxBlocks];
  BodyWord words[kMaxWords];
  BodyStatement statements[kMaxStatements];
  BodyExpr exprs[kMaxExprs];
  BodyOp ops[kMaxOps];
  Cell literals[kMaxLiterals];
  BodyCall calls[kMaxCalls];
  BodyCallStep steps[kMaxSteps];
  BodyCallExpr call_exprs[kMaxCallExprs];
  Cell cells[kMaxCells];
};

// The compiled bodies by their block's node (a node used again by another
// block finds the old cells, which its own do not match).
constexpr uint32_t kCompiledSlots = 4096;
CompiledBody* compiled_slots[kCompiledSlots];

[[gnu::always_inline]] inline bool same_cells(const Cell* a, const Cell* b, int32_t n) {
#if defined(__SSE2__)
  __m128i diff = _mm_setzero_si128();
  for (int32_t i = 0; i < n; i++) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    diff = _mm_or_si128(diff, _mm_xor_si128(x, y));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
  uint64_t diff = 0;
  for (int32_t i = 0; i < n; i++) {
    uint64_t x[2], y[2];
    std::memcpy(x, a + i, sizeof x);
    std::memcpy(y, b + i, sizeof y);
    diff |= (x[0] ^ y[0]) | (x[1] ^ y[1]);
  }
  return diff == 0;
#endif
}

struct BodyCompiler {
  CompiledBody& cb;
  Node ctx;
  Cell* base;

  // The block's cells from its head, kept to be compared at each call: their
  // index in cb.cells, or -1.
  int32_t add_block(const Cell& block) {
    SeriesBuffer* s = buf(block);
    const int32_t head = block.head() < 0 ? 0 : block.head();
    const int32_t count = static_cast<int32_t>((s->tail - s->offset) >> 4) - head;
    if (count <= 0 || cb.block_count >= CompiledBody::kMaxBlocks ||
        cb.cell_count + count > CompiledBody::kMaxCells ||
        ((s->flags & series_flag::library) != 0) != in_library)
      return -1;
    const int32_t first = cb.cell_count;
    cb.blocks[cb.block_count++] = {block.node(), head, count, first, false};
    std::memcpy(static_cast<void*>(cb.cells + first), s->cells() + head, sizeof(Cell) * count);
    cb.cell_count += count;
    return first;
  }
  // A global word's value, kept among the values the body depends on: its
  // index there, or -1.
  int32_t guard(const Cell* w) {
    if (w->context() != context::global) return -1;
    for (int32_t i = 0; i < cb.word_count; i++)
      if (cb.words[i].index == w->word_index()) return i;
    if (cb.word_count >= CompiledBody::kMaxWords) return -1;
    const Cell* v = global_value(w->word_index());
    if (!v) return -1;
    cb.words[cb.word_count] = {w->word_index(), *v};
    cb.word_limit = std::max(cb.word_limit, w->word_index() + 1);
    return cb.word_count++;
  }
  // An operand that is no paren: false when it is none the steps read.
  bool operand(const Cell* c, BodyOperand* out) {
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    if (tb & kSelfTypes) {
      if (c->is(TypeId::unset)) return false;
      if (c->is(TypeId::integer)) {
        *out = {BodyOperand::integer, c->integer()};
        return true;
      }
      if (cb.literal_count >= CompiledBody::kMaxLiterals) return false;
      *out = {BodyOperand::literal, cb.literal_count};
      cb.literals[cb.literal_count++] = *c;
      return true;
    }
    if (!(tb & bit(TypeId::word))) return false;
    // (A function's word is read from this call's values, which the frame
    // holds from `base` on; its context may not point at them yet.)
    const int32_t i = c->word_index();
    const Cell* v;
    if (c->context() == context::global) {
      v = global_value(i);
      *out = {BodyOperand::global, i};
    } else if (c->context() == ctx && i >= 0 && base + i < stack::top) {
      v = base + i;
      *out = {BodyOperand::local, i};
    } else {
      return false;
    }
    return v && !((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial);
  }
  // A paren holding one expression without parens.
  bool paren(const Cell* c, BodyOperand* out) {
    if (add_block(*c) < 0) return false;
    SeriesBuffer* s = buf(*c);
    const int32_t head = c->head() < 0 ? 0 : c->head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (expression(s->cells(), head, lim, false) != lim) return false;
    *out = {BodyOperand::paren, cb.expr_count - 1};
    return true;
  }
  // The expression at pc (parens in it when `nest`): where it ends, or -1.
  // It is the last of cb.exprs.
  int32_t expression(const Cell* cells, int32_t pc, int32_t lim, bool nest) {
    BodyExpr e{};
    BodyOp ops[CompiledBody::kMaxOps];
    int32_t n = 0;
    if (pc >= lim) return -1;
    if (nest && cells[pc].is(TypeId::paren)) {
      if (!paren(cells + pc, &e.first)) return -1;
    } else if (!operand(cells + pc, &e.first)) {
      return -1;
    }
    pc++;
    while (pc < lim && cells[pc].is(TypeId::word)) {
      const Cell* opv = peek_value(cells + pc);
      if (!opv || !opv->is(TypeId::op)) break;
      const FastOp f = fast_op_of(opv);
      if (f == FastOp::none || pc + 1 >= lim || n >= CompiledBody::kMaxOps ||
          guard(cells + pc) < 0)
        return -1;
      BodyOp& op = ops[n++];
      op.f = f;
      const Cell* r = cells + pc + 1;
      if (nest && r->is(TypeId::paren)) {
        if (!paren(r, &op.right)) return -1;
      } else if (!operand(r, &op.right)) {
        return -1;
      }
      pc += 2;
    }
    if (cb.expr_count >= CompiledBody::kMaxExprs || cb.op_count + n > CompiledBody::kMaxOps)
      return -1;
    e.op_begin = static_cast<uint8_t>(cb.op_count);
    e.op_count = static_cast<uint8_t>(n);
    e.local_op_integer = n == 1 && e.first.kind == BodyOperand::local &&
                         ops[0].right.kind == BodyOperand::integer;
    for (int32_t i = 0; i < n; i++) cb.ops[cb.op_count++] = ops[i];
    cb.exprs[cb.expr_count++] = e;
    return pc;
  }
  bool is_return(const Cell* c) {
    if (!c->is(TypeId::word) || !return_companion) return false;
    const Cell* v = peek_value(c);
    return v && v->is(TypeId::native) && v->data3 == return_companion && guard(c) >= 0;
  }
  // A branch block: one pure expression, or `return` and one; else one
  // expression with calls (call_branch); else one left to the general
  // path, whose cells the steps do not read.
  BodyBranch branch(const Cell& block) {
    const Counts counts = save();
    const int32_t begin = cb.block_count;
    BodyBranch b{BodyBranch::general, -1};
    if (add_block(block) >= 0) {
      SeriesBuffer* s = buf(block);
      const int32_t head = block.head() < 0 ? 0 : block.head();
      const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      BodyBranch::Kind kind = BodyBranch::value;
      int32_t pc = head;
      if (is_return(s->cells() + head)) {
        kind = BodyBranch::returns;
        pc++;
      }
      if (expression(s->cells(), pc, lim, true) == lim)
        b = {kind, static_cast<int8_t>(cb.expr_count - 1)};
    }
    if (b.kind == BodyBranch::general) {
      restore(counts);
      if (const int32_t x = call_branch(block); x >= 0)
        b = {BodyBranch::calls, static_cast<int8_t>(x)};
      else
        restore(counts);
    }
    // (A pure branch's blocks are compared with the body's: only a call
    // branch's wait until it is taken.)
    if (b.kind == BodyBranch::calls)
      for (int32_t i = begin; i < cb.block_count; i++) cb.blocks[i].branch = true;
    return b;
  }
  struct Counts {
    int32_t blocks, cells, words, exprs, ops, literals, calls, steps, call_exprs;
  };
  Counts save() const {
    return {cb.block_count, cb.cell_count, cb.word_count,    cb.expr_count,     cb.op_count,
            cb.literal_count, cb.call_count, cb.step_count, cb.call_expr_count};
  }
  void restore(const Counts& c) {
    cb.block_count = c.blocks;
    cb.cell_count = c.cells;
    cb.word_count = c.words;
    cb.expr_count = c.exprs;
    cb.op_count = c.ops;
    cb.literal_count = c.literals;
    cb.call_count = c.calls;
    cb.step_count = c.steps;
    cb.call_expr_count = c.call_exprs;
  }
  // A call through the global word at pc of a block (its cells, its end
  // `lim`; its copy starts at `first` in cb.cells) whose function takes
  // only evaluated arguments, each a pure expression here: the position
  // after it, or -1. The call is the last of cb.calls.
  int32_t call(const Cell* cells, int32_t pc, int32_t lim, int32_t head, int32_t first) {
    const Cell* c = cells + pc;
    if (!c->is(TypeId::word) || c->context() != context::global ||
        cb.call_count >= CompiledBody::kMaxCalls)
      return -1;
    const Cell* v = peek_value(c);
    if (!v || !v->is(TypeId::function) || !plain_call(v)) return -1;
    const CacheInfo ci = plain_cache(v, function::kExtras);
    if (ci.count > BodyCall::kMaxArgs || guard(c) < 0) return -1;
    BodyCall call{};
    call.word = static_cast<int8_t>(first + pc - head);
    call.argc = static_cast<int8_t>(ci.count);
    pc++;
    for (int32_t i = 0; i < ci.count; i++) {
      pc = expression(cells, pc, lim, true);
      if (pc < 0) return -1;
      call.args[i] = static_cast<int8_t>(cb.expr_count - 1);
    }
    call.after = pc;
    cb.calls[cb.call_count++] = call;
    return pc;
  }
  // The operand at pc of a call expression's block: the position after
  // it, or -1.
  int32_t call_operand(const Cell* cells, int32_t pc, int32_t lim, int32_t head, int32_t first,
                       BodyCallOperand* out) {
    const Cell* c = cells + pc;
    *out = BodyCallOperand{};
    if (c->is(TypeId::paren)) {
      const Counts counts = save();
      if (paren(c, &out->operand)) {
        out->kind = BodyCallOperand::pure;
        return pc + 1;
      }
      restore(counts);
      const int32_t inner = add_block(*c);
      if (inner < 0) return -1;
      SeriesBuffer* s = buf(*c);
      const int32_t phead = c->head() < 0 ? 0 : c->head();
      const int32_t plim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      if (call(s->cells(), phead, plim, phead, inner) != plim) return -1;
      out->kind = BodyCallOperand::paren_call;
      out->index = static_cast<int8_t>(cb.call_count - 1);
      out->paren = static_cast<int8_t>(first + pc - head);
      return pc + 1;
    }
    if (c->is(TypeId::word)) {
      const Cell* v = peek_value(c);
      if (v && v->is(TypeId::function)) {
        const int32_t e = call(cells, pc, lim, head, first);
        out->kind = BodyCallOperand::call;
        out->index = static_cast<int8_t>(cb.call_count - 1);
        return e;
      }
    }
    if (!operand(c, &out->operand)) return -1;
    out->kind = BodyCallOperand::pure;
    return pc + 1;
  }
  // A branch block holding one expression of operands (pure ones, calls,
  // parens of one call) and fast operators, with at least one call: its
  // index in cb.call_exprs, or -1.
  int32_t call_branch(const Cell& block) {
    if (cb.call_expr_count >= CompiledBody::kMaxCallExprs) return -1;
    const int32_t first = add_block(block);
    if (first < 0) return -1;
    SeriesBuffer* s = buf(block);
    const Cell* cells = s->cells();
    const int32_t head = block.head() < 0 ? 0 : block.head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    BodyCallExpr x{};
    x.step_begin = static_cast<uint8_t>(cb.step_count);
    const int32_t calls = cb.call_count;
    int32_t pc = call_operand(cells, head, lim, head, first, &x.first);
    while (pc >= 0 && pc < lim) {
      const Cell* c = cells + pc;
      const Cell* opv = c->is(TypeId::word) ? peek_value(c) : nullptr;
      if (!opv || !opv->is(TypeId::op) || pc + 1 >= lim || cb.step_count >= CompiledBody::kMaxSteps)
        return -1;
      BodyCallStep step{};
      step.f = fast_op_of(opv);
      const int32_t g = guard(c);
      if (step.f == FastOp::none || g < 0) return -1;
      step.op_word = static_cast<int8_t>(first + pc - head);
      step.op_value = static_cast<int8_t>(g);
      pc = call_operand(cells, pc + 1, lim, head, first, &step.right);
      cb.steps[cb.step_count++] = step;
    }
    if (pc != lim || cb.call_count == calls) return -1;
    x.step_count = static_cast<uint8_t>(cb.step_count - x.step_begin);
    cb.call_exprs[cb.call_expr_count] = x;
    return cb.call_expr_count++;
  }
  bool compile(const Cell& body) {
    const int32_t top = add_block(body);
    if (top < 0) return false;
    const int32_t head = cb.blocks[0].head, lim = head + cb.blocks[0].count;
    // (Nothing moves a buffer while the body is compiled.)
    const Cell* cells = buf(body)->cells();
    for (int32_t pc = head; pc < lim;) {
      if (cb.statement_count >= CompiledBody::kMaxStatements) return false;
      BodyStatement& st = cb.statements[cb.statement_count++];
      st = BodyStatement{};
      const Cell* c = cells + pc;
      const Cell* v = c->is(TypeId::word) ? peek_value(c) : nullptr;
      const int32_t kind = v && v->is(TypeId::native) ? conditional_kind(v) : 0;
      if (kind) {
        st.kind = BodyStatement::branches;
        st.conditional = static_cast<uint8_t>(kind);
        st.word = static_cast<int8_t>(top + pc - head);
        st.native = static_cast<int8_t>(guard(c));
        const int32_t e = expression(cells, pc + 1, lim, true);
        const int32_t after = kind == 3 ? e + 2 : e + 1;
        if (st.native < 0 || e < 0 || after > lim || !cells[e].is(TypeId::block) ||
            !cells[after - 1].is(TypeId::block))
          return false;
        st.expr = static_cast<int8_t>(cb.expr_count - 1);
        st.block = static_cast<int8_t>(top + e - head);
        st.taken = branch(cells[e]);
        st.other = kind == 3 ? branch(cells[e + 1]) : BodyBranch{BodyBranch::general, -1};
        // (A branch left to the general path ends the body's steps.)
        const auto evaluated = [](const BodyBranch& b) {
          return b.kind == BodyBranch::general || b.kind == BodyBranch::calls;
        };
        if (after < lim && (evaluated(st.taken) || (kind == 3 && evaluated(st.other))))
          return false;
        pc = after;
      } else {
        if (is_return(c)) {
          st.kind = BodyStatement::returns;
          pc++;
        }
        const int32_t e = expression(cells, pc, lim, true);
        if (e < 0) return false;
        st.expr = static_cast<int8_t>(cb.expr_count - 1);
        pc = e;
      }
    }
    return true;
  }
};

// An expression's value into `out`: false when its operands' values do not
// allow it.
bool body_expression(const CompiledBody& cb, int32_t index, Cell* base, Cell* out);

[[gnu::noinline]] bool body_paren(const CompiledBody& cb, int32_t index, Cell* base, Cell* out) {
  return body_expression(cb, index, base, out);
}

[[gnu::always_inline]] inline bool body_operand(const CompiledBody& cb, const BodyOperand& o,
                                                Cell* base, Cell* out) {
  const Cell* v;
  switch (o.kind) {
    case BodyOperand::integer:
      set_integer(out, o.value);
      return true;
    case BodyOperand::local:
      v = base + o.value;
      if (v >= stack::top) return false;
      break;
    case BodyOperand::global:
      v = global_value(o.value);
      if (!v) return false;
      break;
    case BodyOperand::literal:
      *out = cb.literals[o.value];
      return true;
    default:
      return body_paren(cb, o.value, base, out);
  }
  if ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial) return false;
  *out = *v;
  return true;
}

[[gnu::always_inline]] inline bool body_expression(const CompiledBody& cb, int32_t index,
                                                   Cell* base, Cell* out) {
  const BodyExpr& e = cb.exprs[index];
  if (e.local_op_integer) {
    const Cell* v = base + e.first.value;
    const BodyOp& op = cb.ops[e.op_begin];
    if (v < stack::top && v->is(TypeId::integer)) [[likely]] {
      integer_op(op.f, v->integer(), op.right.value, out);
      return true;
    }
  }
  if (!body_operand(cb, e.first, base, out)) return false;
  for (const BodyOp *op = cb.ops + e.op_begin, *end = op + e.op_count; op < end; op++) {
    Cell right;
    if (!out->is(TypeId::integer) || !body_operand(cb, op->right, base, &right) ||
        !right.is(TypeId::integer))
      return false;
    integer_op(op->f, out->integer(), right.integer(), out);
  }
  return true;
}

// True when the body's blocks (`which`: those of its call branches, the
// others, or all) hold what it was compiled from (each block is held by one
// compared before it, so its node is in use).
enum class Blocks { body, branches, all };
[[gnu::always_inline]] inline bool blocks_current(const CompiledBody& cb, Blocks which) {
  for (const BodyBlock *b = cb.blocks, *end = b + cb.block_count; b < end; b++) {
    if (which != Blocks::all && b->branch != (which == Blocks::branches)) continue;
    SeriesBuffer* s = memory::series(b->node);
    if (static_cast<int32_t>((s->tail - s->offset) >> 4) - b->head != b->count ||
        !same_cells(s->cells() + b->head, cb.cells + b->first, b->count))
      return false;
  }
  return true;
}
[[gnu::always_inline]] inline bool words_current(const CompiledBody& cb) {
  // (The words are compared all at once: each is a global's value cell.)
  if (static_cast<uint32_t>(cb.word_limit) > context::global_count) return false;
  const Cell* globals = context::global_cells;
  uint64_t diff = 0;
  for (const BodyWord *w = cb.words, *end = w + cb.word_count; w < end; w++) {
    uint64_t x[2], y[2];
    std::memcpy(x, globals + w->index, sizeof x);
    std::memcpy(y, &w->value, sizeof y);
    diff |= (x[0] ^ y[0]) | (x[1] ^ y[1]);
  }
  return diff == 0;
}
// The body's blocks but those of its branches, and its words.
[[gnu::always_inline]] inline bool body_current(const CompiledBody& cb) {
  return blocks_current(cb, Blocks::body) && words_current(cb);
}

[[gnu::noinline]] CompiledBody* compile_body(const Cell& body, Node ctx, Cell* base) {
  CompiledBody*& slot = compiled_slots[body.node() & (kCompiledSlots - 1)];
  if (!slot) slot = new CompiledBody;
  CompiledBody& cb = *slot;
  cb.node = body.node();
  cb.ctx = ctx;
  cb.block_count = cb.cell_count = cb.word_count = cb.statement_count = 0;
  cb.expr_count = cb.op_count = cb.literal_count = 0;
  cb.call_count = cb.step_count = cb.call_expr_count = cb.word_limit = 0;
  cb.generation++;
  cb.all_epoch = 0;
  cb.ok = BodyCompiler{cb, ctx, base}.compile(body);
  return &cb;
}

// A branch that calls functions, taken in the body's last expression:
// evaluated under the conditional's frame as body_general_branch evaluates
// its branch, the expression by the compiled steps (call_expression).
[[gnu::noinline]] void run_call_branch(const CompiledBody& cb, const BodyStatement& st,
                                       const Cell& cond, bool truth, Cell* base);

// A branch that is not pure, taken in the body's last expression: evaluated
// as eval_if does; the value is the body's.
[[gnu::noinline]] void body_general_branch(const CompiledBody& cb, const BodyStatement& st,
                                           const Cell& cond, bool truth, Cell* base) {
  const bool either = st.conditional == 3;
  const Cell* blocks = cb.cells + st.block;
  passing::framed_branch(cb.words[st.native].value, cb.cells[st.word], cond, blocks, either,
                         blocks[either && !truth ? 1 : 0],
                         [](const Cell& code) { passing::eval(&code, Chain::yes); });
  if (!exits::pending) *base = stack::top[-1];
}

// A function body's run set-up, undone when the run ends or unwinds: the
// function's words read this call's values (from `base` on), its frame
// (`me`, when there is one) is the one `return` and `exit` stop at, and
// tracing_q goes back to `tracing`. (The context is found again at the
// end: a collection may have moved its buffer.)
struct BodyRun {
  Node ctx;
  uint32_t saved_values;
  stack::Frame* frame;
  bool tracing;
  BodyRun(Node context, Cell* base, stack::Frame* me, bool saved_tracing)
      : ctx(context), frame(me), tracing(saved_tracing) {
    Cell* cc = context::context_cell(ctx);
    saved_values = cc->data2;
    cc->data2 = stack::index_of(base) + 1;
    if (me) me->function_body = true;
  }
  ~BodyRun() {
    context::context_cell(ctx)->data2 = saved_values;
    if (frame) frame->function_body = false;
    tracing_q = tracing;
  }
};

// A branch that is not pure, found by a run before the function's body was
// set up to run (its words' values in the frame): the run once it is takes
// it at once.
struct DeferredBranch {
  Node node = 0;
  const CompiledBody* cb;
  const BodyStatement* st;
  Cell cond;
  bool truth;
};
DeferredBranch deferred;

// The steps of a compiled body `cb` found current (`checked`: its call
// branches' blocks too), as run_compiled_body runs them.
[[gnu::always_inline]] inline bool run_statements(CompiledBody* cb, const Cell& body, Node ctx,
                                                  Cell* base, bool running, bool checked);

// Runs a function's body by its compiled steps (see above) when it has
// them and they fit the values: true when the body was run, its result in
// slot 0 as the block's evaluation would leave it (a `return` as its frame
// would). False when nothing was done. The function's frame is the top one;
// `running`: the body is set up to run (run_function), else a branch that
// is not pure is left to that run.
[[gnu::noinline]] bool run_compiled_body(const Cell& body, Node ctx, Cell* base, bool running) {
  if (running && deferred.node) {
    const Node node = deferred.node;
    deferred.node = 0;
    if (node == body.node()) {
      body_general_branch(*deferred.cb, *deferred.st, deferred.cond, deferred.truth, base);
      return true;
    }
  }
  if (!pure_room() || stack::frame_top >= stack::frame_limit) [[unlikely]]
    return false;
  CompiledBody* cb = compiled_slots[body.node() & (kCompiledSlots - 1)];
  bool checked = false;
  if (!cb || cb->node != body.node()) [[unlikely]] {
    cb = compile_body(body, ctx, base);
  } else if (cb->all_epoch == run_epoch) {
    checked = true;
  } else if (cb->ok && !body_current(*cb)) [[unlikely]] {
    cb = compile_body(body, ctx, base);
  }
  if (!cb->ok || cb->ctx != ctx || ((buf(body)->flags & series_flag::library) != 0) != in_library)
    return false;
  return run_statements(cb, body, ctx, base, running, checked);
}

[[gnu::always_inline]] inline bool run_statements(CompiledBody* cb, const Cell& body, Node ctx,
                                                  Cell* base, bool running, bool checked) {
  Cell v;
  set_unset(&v);
  for (const BodyStatement *st = cb->statements, *end = st + cb->statement_count; st < end; st++) {
    if (st->kind != BodyStatement::branches) {
      if (!body_expression(*cb, st->expr, base, &v)) return false;
      if (st->kind == BodyStatement::returns) goto returned;
      continue;
    }
    {
      Cell cond;
      if (!body_expression(*cb, st->expr, base, &cond) || cond.is(TypeId::unset)) return false;
      bool truth = !is_falsy(&cond);
      if (st->conditional == 2) truth = !truth;
      if (!truth && st->conditional != 3) {
        set_none(&v);
        continue;
      }
      const BodyBranch& b = truth ? st->taken : st->other;
      // A call branch's blocks are compared once it is taken, those of the
      // other call branches too: then everything is current, and the calls
      // of this body that run nothing else need not compare again.
      if (b.kind == BodyBranch::calls) {
        if (!checked) {
          if (!blocks_current(*cb, Blocks::branches)) [[unlikely]] {
            compile_body(body, ctx, base);
            return false;
          }
          cb->all_epoch = run_epoch;
        }
        if (running) {
          run_call_branch(*cb, *st, cond, truth, base);
          return true;
        }
        // What run_function sets up for the body's run, which a call
        // branch needs of it. (Nothing the branch runs can return to this
        // frame: each callee has its own.)
        BodyRun setup(ctx, base, stack::frame_top - 1, tracing_q);
        run_call_branch(*cb, *st, cond, truth, base);
        return true;
      }
      if (b.kind == BodyBranch::general) {
        if (!running) {
          deferred.node = body.node();
          deferred.cb = cb;
          deferred.st = st;
          deferred.cond = cond;
          deferred.truth = truth;
          return false;
        }
        body_general_branch(*cb, *st, cond, truth, base);
        return true;
      }
      if (!body_expression(*cb, b.expr, base, &v)) return false;
      if (b.kind == BodyBranch::returns) goto returned;
    }
  }
  *stack::push_slot() = v;
  *base = v;
  return true;
returned:
  unwind::thrown_value = v;
  *base = v;
  stack::top = base + 1;
  return true;
}

}  // namespace

namespace {

// Runs a function!'s body whose arguments and locals are in the current
// frame (the top frame, pushed by the caller); the result goes to slot 0.
// `return` and `exit` aimed at this frame end it here, as a signal or as
// an exception.
// (`me`: that frame, or null when there is none.)
[[gnu::always_inline]] inline void run_function(Cell* fn, const Cell* call_word,
                                                CallbackKind kind, stack::Frame* me) {
  Node ctx = fn->data1;
  Cell* base = stack::arguments;
  bool callback = kind != CallbackKind::none && trace_q;
  bool saved_tracing = tracing_q;
  if (callback) {
    if (tracing_q) fire_call(call_word, fn);
    if (!(callback_bits & static_cast<uint32_t>(kind))) tracing_q = false;
  }
  uint32_t flags = fn->header;
  // (A library function's body is untraced through its blocks' library mark,
  // so that user blocks it evaluates stay traced.)
  if (flags & function_flag::no_trace)
    tracing_q = false;
  else if (flags & function_flag::trace)
    tracing_q = trace_q;

  BodyRun running(ctx, base, me, saved_tracing);

  Cell body = *function::extra(fn, function::kBody);
  if (tracing_q) fire_event(Event::prolog, &body, body.head(), call_word, fn);
  // (The stacks as they stand here are restored when a return or exit
  // ends the body: the frames above `me` go, the result is slot 0.)
  stack::Frame* const frames_above = stack::frame_top;
  bool returned = false;
  try {
    if (body.is(TypeId::block)) {
      if (tracing_q || !me || me != stack::frame_top - 1 ||
          !run_compiled_body(body, ctx, base, true))
        passing::eval(&body, Chain::yes);
    } else {
      set_unset(base);
    }
  } catch (const NonLocalExit& e) {
    if ((e.level != level::return_ && e.level != level::exit_) || exits::target != me) throw;
    returned = true;
  }
  if (exits::pending) {
    if ((exits::pending != level::return_ && exits::pending != level::exit_) || exits::target != me)
      return;
    exits::pending = 0;
    returned = true;
  }
  if (returned) {
    exits::Mark(frames_above, base, base + 1).restore();
    *base = unwind::thrown_value;
    stack::top = base + 1;
  }
  if (tracing_q) fire_event(Event::epilog, &body, -1, call_word, fn);
  if (callback && saved_tracing) {
    tracing_q = saved_tracing;
    fire_return(call_word);
  }
}

}  // namespace

namespace {

// The run with run_function's set-up, out of line: the callers keep their
// short frames for the compiled bodies.
[[gnu::noinline]] void run_body_set_up(Cell* fn_slot, Cell* base, const Cell& word) {
  // (push_frame pushed the top frame or raised the overflow error.)
  run_function(fn_slot, &word, CallbackKind::none, stack::frame_top - 1);
  if (exits::pending) return;
  end_call(fn_slot, base);
}

// The run of a function! called by `word` whose frame is the top one, its
// value at `fn_slot` and its arguments and locals from `base` on; the
// result replaces the function value.
[[gnu::always_inline]] inline void run_plain_function(Cell* fn_slot, Cell* base,
                                                      const Cell& word) {
  // A body whose compiled steps give its value needs nothing of
  // run_function's set-up (when no trace is installed, which would trace
  // it or the call).
  if (!trace_q) {
    const Cell* body = function::extra(fn_slot, function::kBody);
    if (body->is(TypeId::block) && run_compiled_body(*body, fn_slot->data1, base, false)) {
      if (!exits::pending) end_call(fn_slot, base);
      return;
    }
  }
  run_body_set_up(fn_slot, base, word);
}

}  // namespace

namespace passing {

// (kRefinements: the function has refinements, all off in a call by word:
// false for each, none for their arguments. A template, so that the
// commoner function without them keeps its short code.)
template <bool kRefinements>
int32_t call_plain_function(const Cell* val, const Cell& word, const Cell& code, int32_t pc,
                            int32_t end) {
  Cell* fn_slot = stack::push(val);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::context);
  CacheInfo ci = plain_cache(fn_slot, function::kExtras);
  const int32_t head = kRefinements ? ci.head : ci.count;
  for (int32_t i = 1; i <= head; i++) {
    Descriptor d = descriptor(ci, i);
    const int32_t lim = limit_of(code, end);
    if (pc >= lim) no_arg(word, fn_slot, i);
    pc = eval_arg(code, pc, end, false, lim);
    if (exits::pending) return pc;
    typecheck(&word, fn_slot, i, d, stack::top - 1);
  }
  if constexpr (kRefinements) {
    for (int32_t i = head + 1; i <= ci.count; i++) {
      if (descriptor(ci, i).kind == ArgKind::refinement)
        set_logic(stack::push_slot(), false);
      else
        set_none(stack::push_slot());
    }
  }
  if (ci.locals > 0) function::init_locals(ci.locals);
  run_plain_function(fn_slot, base, word);
  return pc;
}

}  // namespace passing

namespace {

// --- compiled calls -------------------------------------------------------
//
// A branch that calls functions, as `(fib n - 1) + fib n - 2`, is evaluated
// by the steps BodyCompiler made of it, each doing what the general path
// does at that point of the code: the same frames, stack slots, nesting
// count and position cell, so that a callee, an error or a collection sees
// the same. The steps take the shortcuts the code they stand for allows
// (a pure argument is computed before the call's frame is pushed, which
// nothing can see); where a value or the code no longer fits them (a
// non-integer operand, an operator, word or block changed by a callee),
// the general routine for that point takes over and finishes the
// expression.

// The call `index` through the word at pc of `code` (end: the code's end
// as its evaluation read it), as call_by_word. Answers the position after
// the call.
int32_t call_step(const CompiledBody& cb, int32_t index, const Cell& code, int32_t pc, int32_t end,
                  Cell* fbase) {
  const BodyCall& c = cb.calls[index];
  const Cell held = cb.cells[c.word];
  const Cell* v = global_value(held.word_index());
  const int32_t argc = c.argc, after = c.after;
  Cell args[BodyCall::kMaxArgs];
  if (!v || tracing_q || !v->is(TypeId::function) || !plain_call(v) || !pure_room()) [[unlikely]]
    return call_by_word(v, held, code, pc + 1, end);
  const CacheInfo ci = plain_cache(v, function::kExtras);
  if (ci.count != argc) [[unlikely]]
    return call_by_word(v, held, code, pc + 1, end);
  for (int32_t i = 0; i < argc; i++)
    if (!body_expression(cb, c.args[i], fbase, args + i)) [[unlikely]]
      return call_by_word(v, held, code, pc + 1, end);
  Cell* fn_slot = stack::push(v);
  Cell* base = stack::top;
  push_frame(&held, stack::FrameKind::context);
  for (int32_t i = 1; i <= argc; i++) {
    const Descriptor d = descriptor(ci, i);
    stack::push(args + i - 1);
    typecheck(&held, fn_slot, i, d, stack::top - 1);
  }
  if (ci.locals > 0) function::init_locals(ci.locals);
  // A call of the body being run (a recursion) with nothing else run since
  // its comparisons runs its steps here, as run_compiled_body would.
  if (!trace_q && cb.all_epoch == run_epoch && pure_room() &&
      stack::frame_top < stack::frame_limit) {
    const Cell* body = function::extra(fn_slot, function::kBody);
    if (body->node() == cb.node && body->is(TypeId::block) && fn_slot->data1 == cb.ctx &&
        run_statements(const_cast<CompiledBody*>(&cb), *body, cb.ctx, base, false, true)) {
      if (!exits::pending) end_call(fn_slot, base);
      return after;
    }
  }
  run_plain_function(fn_slot, base, held);
  return after;
}

// A block or paren of compiled call steps (`code`, a copy of its cell),
// evaluated as passing::eval(code, chain), its first expression by
// `first(pc, end)`. (A block crossing into or out of library code, or a
// trace, takes the general path.)
template <typename First>
[[gnu::always_inline]] inline void eval_compiled_block(const Cell& code, Chain chain,
                                                       First&& first) {
  SeriesBuffer* s = buf(code);
  const bool library = (s->flags & series_flag::library) != 0;
  if (library != in_library || tracing_q) [[unlikely]] {
    passing::eval(&code, chain);
    return;
  }
  // (What eval_pure_block leaves of a block that starts with a call.)
  s->flags |= series_flag::impure;
  const int32_t pc = code.head() < 0 ? 0 : code.head();
  const int32_t end = static_cast<int32_t>((s->tail - s->offset) >> 4);
  eval_values(code, pc, end, chain, library, first);
}

// A paren holding one call (its cell in the code, `paren`), evaluated as
// passing::eval(paren, Chain::no).
[[gnu::noinline]] void paren_call(const CompiledBody& cb, int32_t index, const Cell& paren,
                                  Cell* fbase) {
  const Cell code = paren;
  eval_compiled_block(code, Chain::no, [&](int32_t at, int32_t stop) {
    Cell* start = stack::top;
    at = call_step(cb, index, code, at, stop, fbase);
    // (Past the end read before, infix_chain reads nothing.)
    if (exits::pending || at >= stop) return at;
    return infix_chain(code, at, stop, start, buf(code));
  });
}

// An operand of a call expression at pc, pushed as eval_arg (prefix) would
// push it: the position after it, or -1 when a pure operand's value does
// not fit (nothing done).
[[gnu::always_inline]] inline int32_t call_operand(const CompiledBody& cb,
                                                   const BodyCallOperand& o, const Cell& code,
                                                   int32_t pc, int32_t end, Cell* fbase) {
  if (o.kind == BodyCallOperand::pure) {
    Cell v;
    if ((o.operand.kind == BodyOperand::paren && !pure_room()) ||
        !body_operand(cb, o.operand, fbase, &v))
      return -1;
    stack::push(&v);
    return pc + 1;
  }
  if (o.kind == BodyCallOperand::call) return call_step(cb, o.index, code, pc, end, fbase);
  paren_call(cb, o.index, cb.cells[o.paren], fbase);
  return pc + 1;
}

// The call expression `index` at pc of the branch block `code`, as
// eval_arg(code, pc, end, false, end) evaluates it.
[[gnu::always_inline]] inline int32_t call_expression(const CompiledBody& cb, int32_t index,
                                                      const Cell& code, int32_t pc, int32_t end,
                                                      Cell* fbase) {
  const uint32_t generation = cb.generation;
  const BodyCallExpr& x = cb.call_exprs[index];
  const int32_t steps = x.step_begin + x.step_count;
  Cell* start = stack::top;
  bool called = x.first.kind != BodyCallOperand::pure;
  const int32_t at = call_operand(cb, x.first, code, pc, end, fbase);
  if (at < 0) return eval_arg(code, pc, end, false, end);
  pc = at;
  if (exits::pending) return pc;
  for (int32_t k = x.step_begin; k < steps; k++) {
    // After a call, the code, the words and the compiled steps must still
    // be what they were (the callee may have changed any of them); the
    // general path goes on when they are not, as when the left operand is
    // no integer.
    if (called) {
      if (cb.generation != generation) break;
      if (cb.all_epoch != run_epoch) {
        if (!blocks_current(cb, Blocks::all) || !words_current(cb)) break;
        cb.all_epoch = run_epoch;
      }
      called = false;
    }
    if (!start->is(TypeId::integer)) break;
    const BodyCallStep& step = cb.steps[k];
    const FastOp f = step.f;
    if (step.right.kind == BodyCallOperand::pure) {
      Cell v;
      if ((step.right.operand.kind == BodyOperand::paren && !pure_room()) ||
          !body_operand(cb, step.right.operand, fbase, &v) || !v.is(TypeId::integer))
        break;
      integer_op(f, start->integer(), v.integer(), start);
      stack::top = start + 1;
      pc += 2;
      continue;
    }
    // As infix_callee and infix_paren: the operator is kept before the call.
    const Cell o = cb.words[step.op_value].value, w = cb.cells[step.op_word];
    stack::top = start + 1;
    pc = call_operand(cb, step.right, code, pc + 1, end, fbase);
    if (exits::pending) return pc;
    called = true;
    if (start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
      integer_op(f, start->integer(), start[1].integer(), start);
      stack::top = start + 1;
    } else {
      infix_call(start, f, o, w);
      if (exits::pending) return pc;
    }
    if (k + 1 == steps) return pc;
  }
  return infix_chain(code, pc, end, start, buf(code));
}

void run_call_branch(const CompiledBody& cb, const BodyStatement& st, const Cell& cond, bool truth,
                     Cell* base) {
  const bool either = st.conditional == 3;
  const Cell* blocks = cb.cells + st.block;
  const int32_t index = (either && !truth ? st.other : st.taken).expr;
  // (The branch block holds call expression `index`; `base`: the
  // function's values.)
  passing::framed_branch(cb.words[st.native].value, cb.cells[st.word], cond, blocks, either,
                         blocks[either && !truth ? 1 : 0], [&](const Cell& code) {
                           eval_compiled_block(code, Chain::yes, [&](int32_t at, int32_t stop) {
                             return call_expression(cb, index, code, at, stop, base);
                           });
                         });
  if (!exits::pending) *base = stack::top[-1];
}

}  // namespace

namespace passing {

// The value kinds met less often than words, literals, set-words and parens.
[[gnu::noinline]] int32_t eval_other(const Cell& code, int32_t pc, int32_t end, bool passive,
                                     Cell* start) {
  Cell v = *at(code, pc);
  switch (v.type()) {
    case TypeId::get_word:
      stack::push(word_value(&v));
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
      break;
    case TypeId::lit_word:
      stack::push(&v)->header = static_cast<uint32_t>(TypeId::word);
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
      break;
    case TypeId::path:
      pc = passing::eval_path(v, code, pc, end, PathMode::eval, false, nullptr);
      if (exits::pending) return pc;
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      break;
    case TypeId::get_path:
      pc = passing::eval_path(v, code, pc, end, PathMode::get, false, nullptr);
      if (exits::pending) return pc;
      break;
    case TypeId::set_path: {
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, &v);
      if (pc + 1 >= limit_of(code, end)) fire(ErrorCode::script_need_value, &v);
      // The set-path stays on the stack under the frame: the value's
      // expression may drop it from the code.
      stack::push(&v);
      push_frame(&set_path_word_cell, stack::FrameKind::assign);
      pc = passing::eval_expression(code, pc + 1, end, false, false);
      if (exits::pending) return pc;
      if (tracing_q) fire_event(Event::set, &code, pc, &v, start + 1);
      // A set-path refuses to store unset, as a set-word does.
      if (start[1].is(TypeId::unset)) fire(ErrorCode::script_need_value, &v);
      passing::eval_path(v, code, -1, 0, PathMode::set, false, nullptr);
      if (exits::pending) return pc;
      stack::top = start + 2;
      pop_frame();
      *start = start[1];
      stack::top = start + 1;
      break;
    }
    case TypeId::lit_path: {
      Cell* c = stack::push(&v);
      c->set_type(TypeId::path);
      c->data3 = 0;
      pc++;
      break;
    }
    case TypeId::op:
      fire(ErrorCode::internal_not_done);
    case TypeId::function:
    case TypeId::native:
    case TypeId::action:
    case TypeId::routine:
      if (passive) {
        stack::push(&v);
        pc++;
      } else {
        pc = passing::eval_code(&v, code, pc + 1, end, nullptr, 0, nullptr, nullptr, mode::normal,
                                false);
        if (exits::pending) return pc;
      }
      break;
    default: {  // issue!
      if (pc + 1 < limit_of(code, end) && at(code, pc + 1)->is(TypeId::block)) {
        SymbolId sym = symbol::resolve(v.symbol());
        if (sym == symbol::resolve(sym_system) || sym == symbol::resolve(sym_system_global))
          fire(ErrorCode::internal_qel_system);
      }
      stack::push(&v);
      pc++;
    }
  }
  return pc;
}

int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive) {
  run_epoch++;
  Cell* start = stack::top;
  // The code's buffer stays where it is until something is evaluated (or a
  // trace callback runs): only then is it read again through the node.
  SeriesBuffer* s = buf(code);
  Cell v = s->cells()[pc];
  bool moved = false;
  if (tracing_q) [[unlikely]] {
    fire_event(Event::fetch, &code, pc, nullptr, &v);
    moved = true;
  }
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(v.type());
  if (tb & bit(TypeId::word)) {
    Cell* val = word_value(&v);
    const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(val->type());
    if (!(vb & kWordSpecial)) [[likely]] {
      stack::push(val);
      if (tracing_q) [[unlikely]]
        fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
    } else if (vb & kCallTypes) {
      pc = call_by_word(val, v, code, pc + 1, end);
      if (exits::pending) return pc;
      moved = true;
    } else if (vb & bit(TypeId::op)) {
      fire(ErrorCode::script_no_op_arg, &v);
    } else {
      fire(ErrorCode::script_no_value, &v);
    }
  } else if (tb & kSelfTypes) {
    stack::push(&v);
    if (tracing_q) [[unlikely]]
      fire_event(Event::push, &code, pc, nullptr, start);
    pc++;
  } else if (tb & bit(TypeId::set_word)) {
    pc = eval_set_word(code, pc, end, start, v);
    if (exits::pending) return pc;
    moved = true;
  } else if (tb & bit(TypeId::paren)) {
    passing::eval(&v, Chain::no);
    if (exits::pending) return pc;
    pc++;
    moved = true;
  } else {
    pc = eval_other(code, pc, end, passive, start);
    if (exits::pending) return pc;
    moved = true;
  }
  if (prefix) return pc;
  // The infix operators that follow.
  if (moved) s = buf(code);
  return infix_chain(code, pc, end, start, s);
}

namespace {

// Calls the function value at `fn` (kept where the collector sees it) with
// its frame starting at `base`; the result ends at `base`.
int32_t invoke(Cell* fn, Cell* base, const Cell& frame_word, const Cell& code, int32_t pc,
               int32_t end, const Cell* path, int32_t path_pos, uint32_t mode, bool infix) {
  CallSite site{fn, &frame_word, mode, infix};
  run_epoch++;
  stack::top = base;
  if (fn->is(TypeId::function)) {
    push_frame(&frame_word, stack::FrameKind::context);
    pc = eval_arguments(site, code, pc, end, path, path_pos);
    if (exits::pending) return pc;
    passing::eval_function(fn, &frame_word, CallbackKind::none);
  } else {
    push_frame(&frame_word, stack::FrameKind::native);
    pc = eval_arguments(site, code, pc, end, path, path_pos);
    if (exits::pending) return pc;
    if (fn->is(TypeId::routine)) call_native_code(fn);
  }
  if (exits::pending) return pc;
  pop_frame();
  if (tracing_q) fire_event(Event::return_, nullptr, -1, &frame_word, base);
  return pc;
}

// An infix call: the left operand is the newest value; the function value
// is kept in a collector root for the call.
[[gnu::noinline]] int32_t invoke_infix(const Cell* fn_in, const Cell& frame_word, const Cell& code,
                                       int32_t pc, int32_t end) {
  collector::Root root(*fn_in);
  return invoke(root.get(), stack::top - 1, frame_word, code, pc, end, nullptr, 0, mode::normal,
                true);
}

}  // namespace

int32_t eval_code(const Cell* fn_in, const Cell& code, int32_t pc, int32_t end, const Cell* path,
                  int32_t path_pos, const Cell* call_word, const Cell* owner, uint32_t mode,
                  bool infix) {
  (void)owner;
  Cell frame_word = (call_word && call_word->is(TypeId::word)) ? *call_word : anon_word_cell;
  // (A call through a word holding the value, alone or first in a path, is
  // named by that word.)
  const bool by_word = call_word && mode == interpreter::mode::normal &&
                       (!path || path_pos == std::max(path->head(), 0) + 1);
  if (!infix && !by_word) frame_word = builtin_frame_word(frame_word, fn_in);
  if (tracing_q) {
    if (infix) stack::top++;
    fire_event(Event::open, &code, pc, nullptr, call_word ? call_word : fn_in);
    if (infix) stack::top--;
  }
  if (infix) return invoke_infix(fn_in, frame_word, code, pc, end);
  Cell* fn_slot = stack::push(fn_in);
  pc = invoke(fn_slot, fn_slot + 1, frame_word, code, pc, end, path, path_pos, mode, false);
  if (exits::pending) return pc;
  *fn_slot = fn_slot[1];
  stack::top = fn_slot + 1;
  return pc;
}

void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind) {
  if (fn->is(TypeId::routine)) {
    call_native_code(fn);
    return;
  }
  run_function(fn, call_word, kind, stack::get_ctop());
}

Cell* call_function(const Cell* fn_in, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind) {
  Cell fnv = fn_in->is(TypeId::op) ? op::unwrap(fn_in) : *fn_in;
  if (!is_function_type(fnv.type())) {
    Cell dt;
    set_datatype(&dt, fnv.type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  Cell frame_word = (name && is_any_word(name->type())) ? *name : anon_word_cell;
  frame_word.reset_header(TypeId::word);
  frame_word = builtin_frame_word(frame_word, &fnv);
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  bool is_fn = fnv.is(TypeId::function) || fnv.is(TypeId::routine);
  if (is_fn)
    stack::mark_call_word(&frame_word, 0);
  else
    stack::mark_native(&frame_word);
  CacheInfo ci = spec_cache(fn_slot);
  int32_t refs[kMaxRefinements];
  for (int32_t r = 0; r < kMaxRefinements; r++) refs[r] = -1;
  int32_t k = 0;
  bool active = true;
  for (int32_t i = 1; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      active = false;
      if (is_fn) set_logic(stack::push_slot(), false);
      continue;
    }
    if (!active) {
      if (is_fn) set_none(stack::push_slot());
      continue;
    }
    if (k >= count) {
      Cell w = arg_word(fn_slot, i);
      fire(ErrorCode::script_no_arg, &frame_word, &w);
    }
    Cell* v = stack::push(args[k++]);
    typecheck(&frame_word, fn_slot, i, descriptor(ci, i), v);
  }
  if (is_fn) {
    function::init_locals(ci.locals);
    passing::eval_function(fn_slot, &frame_word, kind);
  } else if (fnv.is(TypeId::native)) {
    natives::entry(static_cast<int32_t>(fnv.data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fnv.data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  if (exits::pending) return fn_slot;
  stack::unwind();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return fn_slot;
}

}  // namespace passing

bool start_type_word(const Cell& word) {
  return word.is(TypeId::word) &&
         start_type_words().count(symbol::resolve(word.symbol())) != 0;
}

void note_type_words() {
  auto& words = start_type_words();
  const auto n = static_cast<int32_t>(context::word_count(context::global));
  for (int32_t i = 0; i < n; i++) {
    const Cell* v = global_value(i);
    uint64_t m = 0;
    if (v && type_bits(*v, &m))
      words[symbol::resolve(context::word_cell(context::global, i)->symbol())] = m;
  }
}

bool prepare_pure_body(const Cell& block, const Cell* written, PureBody* body) {
  SeriesBuffer* s = buf(block);
  if (tracing_q || ((s->flags & series_flag::library) != 0) != in_library) return false;
  int32_t pc = block.head() < 0 ? 0 : block.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return false;
  PurePrep prep{body};
  body->expr_count = 0;
  const Cell* cells = s->cells();
  using Kind = PurePrep::Kind;
  while (pc < lim) {
    if (body->expr_count >= PureBody::kMaxExprs) return false;
    PureBody::Expr& e = body->exprs[body->expr_count++];
    e.pc = pc;
    e.target = nullptr;
    if (cells[pc].is(TypeId::set_word)) {
      e.target = direct_slot(cells + pc);
      if (!e.target || ++pc >= lim) return false;
    }
    const Kind k = prep.expression(cells, pc, lim, true, 0, false);
    const uint8_t end = k == Kind::integer ? end_int
                        : k == Kind::logic ? end_logic
                        : k == Kind::word  ? end_word
                                           : end_lit;
    if (k == Kind::fail || !prep.emit(end, 0, prep.copy)) return false;
    pc = prep.end;
  }
  // (Checked once every operator is known: one met after a set-word counts
  // too.)
  for (int32_t i = 0; i < body->expr_count; i++)
    if (body->exprs[i].target && prep.writes_op(body->exprs[i].target)) return false;
  body->written = nullptr;
  if (written) {
    body->written = direct_slot(written);
    if (!body->written || prep.writes_op(body->written)) return false;
  }
  return true;
}

#define QEL_PURE_OPS(X)                                                                  \
  X(add) X(subtract) X(multiply) X(and_) X(or_) X(xor_) X(equal) X(not_equal) X(strict_equal) \
      X(lesser) X(greater) X(lesser_or_equal) X(greater_or_equal)

int32_t run_pure_body(const PureBody& body, Cell* result) {
  const PureBody::Instr* ip = body.code;
  int32_t r0 = 0, r1 = 0;
  int32_t e = 0;
  Cell v;
  for (;; ip++) {
    switch (ip->code) {
      case load_word:
        if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;
        r0 = ip->cell->integer();
        continue;
      case load_word1:
        if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;
        r1 = ip->cell->integer();
        continue;
      case load_int:
        r0 = ip->imm;
        continue;
      case load_int1:
        r1 = ip->imm;
        continue;
#define QEL_PURE_CASE(name)                                                                     \
  case op_word + static_cast<uint8_t>(FastOp::name):                                            \
    if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;                                \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, ip->cell->integer(), r0))     \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_word1 + static_cast<uint8_t>(FastOp::name):                                           \
    if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;                                \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r1, ip->cell->integer(), r1))     \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_int + static_cast<uint8_t>(FastOp::name):                                             \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, ip->imm, r0))                 \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_int1 + static_cast<uint8_t>(FastOp::name):                                            \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r1, ip->imm, r1))                 \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_reg + static_cast<uint8_t>(FastOp::name):                                             \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, r1, r0))                      \
      return body.exprs[e].pc;                                                                  \
    continue;
      QEL_PURE_OPS(QEL_PURE_CASE)
#undef QEL_PURE_CASE
      case end_int:
        set_integer(&v, r0);
        break;
      case end_logic:
        set_logic(&v, r0 != 0);
        break;
      case end_word:
        if ((uint64_t{1} << static_cast<uint8_t>(ip->cell->type())) & kWordSpecial)
          return body.exprs[e].pc;
        v = *ip->cell;
        break;
      default:
        v = *ip->cell;
        break;
    }
    if (Cell* t = body.exprs[e].target) *t = v;
    if (++e == body.expr_count) {
      *result = v;
      return -1;
    }
  }
}
#undef QEL_PURE_OPS

void set_word(Cell* word, const Cell* value) {
  if (Cell* slot = direct_slot(word)) [[likely]]
    *slot = *value;
  else
    context::set(word, value);
}

// --- the throwing forms ------------------------------------------------------

void eval(const Cell* block, Chain chain) {
  passing::eval(block, chain);
  exits::check();
}
int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain) {
  int32_t r = passing::eval_next(block, pc, end, chain);
  exits::check();
  return r;
}
int32_t do_next(const Cell* block) {
  int32_t r = passing::do_next(block);
  exits::check();
  return r;
}
int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive) {
  int32_t r = passing::eval_expression(code, pc, end, prefix, passive);
  exits::check();
  return r;
}
void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind) {
  passing::eval_function(fn, call_word, kind);
  exits::check();
}
int32_t eval_path(const Cell& path, const Cell& code, int32_t pc, int32_t end, PathMode mode,
                  bool case_, PathResume* resume) {
  int32_t r = passing::eval_path(path, code, pc, end, mode, case_, resume);
  exits::check();
  return r;
}
Cell* call_function(const Cell* fn, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind) {
  Cell* r = passing::call_function(fn, args, count, name, kind);
  exits::check();
  return r;
}

void note_boot_natives() {
  for (int32_t i = 1; i <= 3; i++) {
    static constexpr const char* kNames[] = {nullptr, "if", "unless", "either"};
    Cell w = word::load(kNames[i]);
    Cell* v = peek_value(&w);
    passing::conditional_companions[i] = (v && v->is(TypeId::native)) ? v->data3 : 0;
  }
  Cell w = word::load("return");
  Cell* v = peek_value(&w);
  return_companion = (v && v->is(TypeId::native)) ? v->data3 : 0;
}

// --- start-up ----------------------------------------------------------------

namespace {

bool marks_registered = false;
void mark_position() {
  collector::mark_cell(&position);
  collector::mark_cell(&throw_near);
  collector::mark_cells(outer_positions + 1, eval_top + 1);
}

// sort/compare: the comparator is called with the two values; the answer is
// kept in a cell of its own and the stack left as it was.
Cell* compare_with_function(Cell* fn, Cell* first, Cell* second) {
  static Cell answer;
  Cell* saved = stack::top;
  const Cell* args[2] = {first, second};
  Cell* r = call_function(fn, args, 2, &compare_callback_word, CallbackKind::sort);
  answer = *r;
  stack::top = saved;
  return &answer;
}

}  // namespace

void init() {
  set_unset(&position);
  body_word_cell = word::load("<body>");
  anon_word_cell = word::load("<anon>");
  set_path_word_cell = word::load("set-path");
  compare_callback_word = word::load("<compare-callback>");
  sym_system = symbol::make("system");
  sym_system_global = symbol::make("system-global");
  sym_local = symbol::make("local");
  sym_return = symbol::make("return");
  exits::init();
  init_trace();
  block::call_compare_function = compare_with_function;
  if (!marks_registered) {
    collector::add_mark_callback(mark_position);
    marks_registered = true;
  }
}

}  // namespace qel::interpreter
