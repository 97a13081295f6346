// function! and routine!: spec validation, local-word collection, making,
// reflection, form, mold and compare, and the table of C++ routines.
#include "datatypes/function.h"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel {

namespace {

// A new block series of n unset! cells (tail after the last).
Node new_cells(int32_t n) {
  Node node = memory::alloc_cells(static_cast<uint64_t>(n));
  SeriesBuffer* s = memory::series(node);
  for (int32_t i = 0; i < n; i++) set_unset(s->cells() + i);
  s->tail = s->offset + static_cast<uint32_t>(n) * sizeof(Cell);
  return node;
}

// The cells of a block from its head (clamped) to its tail.
struct Items {
  Cell* first;
  int32_t count;
};
Items items_of(const Cell* blk) {
  SeriesBuffer* s = memory::series(blk->node());
  int32_t total = static_cast<int32_t>(s->length());
  int32_t head = blk->head();
  if (head > total) head = total;
  if (head < 0) head = 0;
  return {s->cells() + head, total - head};
}

inline bool is_arg_word(TypeId t) {
  return t == TypeId::word || t == TypeId::lit_word || t == TypeId::get_word;
}

inline SymbolId canon(const Cell* w) { return symbol::resolve(w->symbol()); }

SymbolId sym_return = 0, sym_local = 0, sym_extern = 0, sym_trace = 0, sym_no_trace = 0,
         sym_spec = 0, sym_body = 0, sym_words = 0, sym_foreach = 0, sym_remove_each = 0,
         sym_repeat = 0;

void init_symbols() {
  if (sym_return) return;
  sym_return = symbol::make("return");
  sym_local = symbol::make("local");
  sym_extern = symbol::make("extern");
  sym_trace = symbol::make("trace");
  sym_no_trace = symbol::make("no-trace");
  sym_spec = symbol::make("spec");
  sym_body = symbol::make("body");
  sym_words = symbol::make("words");
  sym_foreach = symbol::make("foreach");
  sym_remove_each = symbol::make("remove-each");
  sym_repeat = symbol::make("repeat");
}

inline bool is_sym(const Cell* w, SymbolId s) { return canon(w) == symbol::resolve(s); }

[[noreturn]] void bad_spec(const Cell* spec) { fire(ErrorCode::script_bad_func_def, spec); }

// The value a word of a type block stands for (unset when it has none).
Cell type_word_value(const Cell* w) {
  Node ctx = w->context();
  if (!ctx || w->word_index() < 0) return unset_value;
  Cell* values = context::values(ctx);
  if (!values) return unset_value;
  return values[w->word_index()];
}

void check_type_block(const Cell* blk) {
  Items it = items_of(blk);
  for (int32_t i = 0; i < it.count; i++) {
    Cell item = it.first[i];
    Cell v = item.is(TypeId::word) ? type_word_value(&item) : item;
    TypeId t = v.type();
    // (A type word a script has set to another value still names its type.)
    if (t != TypeId::datatype && t != TypeId::typeset && t != TypeId::word &&
        !interpreter::start_type_word(item))
      fire(ErrorCode::script_invalid_type_spec, &item);
    it = items_of(blk);
  }
}

void make_plain_word(Cell* w) { w->reset_header(TypeId::word); }

// Collects the words a body sets into `result` (a block node), skipping those
// in `ignore` (which grows). A set, so that a body setting many words is
// collected in linear time.
void collect_body(Node body_node, int32_t head, std::unordered_set<SymbolId>& ignore,
                  Cell* result, int32_t depth) {
  if (depth > 1000) fire(ErrorCode::internal_too_deep);
  auto collect = [&](const Cell* w) {
    if (!ignore.insert(canon(w)).second) return;
    Cell c = *w;
    make_plain_word(&c);
    block::rs_append(result, &c);
  };
  SeriesBuffer* s = memory::series(body_node);
  int32_t n = static_cast<int32_t>(s->length());
  for (int32_t i = head; i < n; i++) {
    Cell v = memory::series(body_node)->cells()[i];
    TypeId t = v.type();
    if (t == TypeId::set_word) {
      collect(&v);
    } else if (t == TypeId::block || t == TypeId::paren) {
      collect_body(v.node(), v.head() < 0 ? 0 : v.head(), ignore, result, depth + 1);
    } else if (t == TypeId::word && i + 1 < n) {
      bool fe = is_sym(&v, sym_foreach) || is_sym(&v, sym_remove_each);
      bool rp = is_sym(&v, sym_repeat);
      if (!fe && !rp) continue;
      Cell next = memory::series(body_node)->cells()[i + 1];
      if (fe && next.is(TypeId::block)) {
        Items it = items_of(&next);
        std::vector<Cell> words(it.first, it.first + it.count);
        for (const Cell& w : words)
          if (is_arg_word(w.type())) collect(&w);
      } else if (next.is(TypeId::word) || next.is(TypeId::set_word)) {
        collect(&next);
      }
    }
  }
}

std::vector<routine::Entry>& routine_table() {
  static std::vector<routine::Entry> table;
  return table;
}
// The routines' names, beside the table (null for a routine without one).
std::vector<const char*>& routine_names() {
  static std::vector<const char*> names;
  return names;
}

}  // namespace

namespace function {

uint32_t validate_spec(const Cell* spec) {
  init_symbols();
  uint32_t flags = 0;
  Items it = items_of(spec);
  // Copy the items: type checks may look words up, nothing here allocates,
  // but the copy keeps the walk simple.
  std::vector<Cell> v(it.first, it.first + it.count);
  int32_t n = static_cast<int32_t>(v.size());
  int32_t i = 0;
  if (n > 0 && v[0].is(TypeId::block)) {
    Items attrs = items_of(&v[0]);
    for (int32_t k = 0; k < attrs.count; k++) {
      const Cell& a = attrs.first[k];
      if (!a.is(TypeId::word)) bad_spec(spec);
      if (is_sym(&a, sym_no_trace)) flags |= function_flag::no_trace;
      if (is_sym(&a, sym_trace)) flags |= function_flag::trace;
    }
    i = 1;
  }
  bool return_met = false;
  bool local_met = false;
  while (i < n) {
    const Cell& item = v[i];
    TypeId t = item.type();
    if (is_arg_word(t)) {
      if (t != TypeId::word && local_met) bad_spec(spec);
      if (return_met && !local_met) bad_spec(spec);
      if (i + 2 < n && v[i + 1].is(TypeId::string) && v[i + 2].is(TypeId::block)) bad_spec(spec);
      if (i + 1 < n && v[i + 1].is(TypeId::block)) {
        check_type_block(&v[i + 1]);
        i += 2;
      } else {
        i += 1;
      }
    } else if (t == TypeId::string) {
      i += 1;
    } else if (t == TypeId::set_word) {
      if (!is_sym(&item, sym_return) || return_met || local_met) bad_spec(spec);
      return_met = true;
      if (i + 1 >= n || !v[i + 1].is(TypeId::block)) bad_spec(spec);
      check_type_block(&v[i + 1]);
      if (i + 2 < n) {
        TypeId after = v[i + 2].type();
        if (after != TypeId::refinement && after != TypeId::string) bad_spec(spec);
      }
      i += 2;
    } else if (t == TypeId::refinement) {
      if (is_sym(&item, sym_local))
        local_met = true;
      else if (local_met || return_met)
        bad_spec(spec);
      if (i + 1 < n) {
        TypeId after = v[i + 1].type();
        if (!is_arg_word(after) && after != TypeId::refinement && after != TypeId::set_word &&
            after != TypeId::string)
          bad_spec(spec);
      }
      i += 1;
    } else {
      bad_spec(spec);
    }
  }
  // The same word twice (case-insensitive): the second occurrence of the
  // word that comes first is named. Sorted by symbol, then by position, so
  // that a spec of many words is checked in n log n steps.
  std::vector<std::pair<SymbolId, int32_t>> names;
  for (int32_t a = 0; a < n; a++) {
    TypeId ta = v[a].type();
    if (is_arg_word(ta) || ta == TypeId::refinement) names.emplace_back(canon(&v[a]), a);
  }
  std::sort(names.begin(), names.end());
  int32_t first = n, second = n;
  for (size_t k = 1; k < names.size(); k++) {
    if (names[k].first == names[k - 1].first && (k < 2 || names[k - 2].first != names[k].first) &&
        names[k - 1].second < first) {
      first = names[k - 1].second;
      second = names[k].second;
    }
  }
  if (second < n) fire(ErrorCode::script_dup_vars, &v[second]);
  return flags;
}

Cell* collect_words(Cell* spec, const Cell* body) {
  init_symbols();
  Cell* result = block::push_only(8);
  std::unordered_set<SymbolId> ignore;
  // The ignore list: the spec's own words.
  Items it = items_of(spec);
  int32_t extern_at = -1;
  for (int32_t i = 0; i < it.count; i++) {
    const Cell& c = it.first[i];
    if (c.is(TypeId::refinement) && is_sym(&c, sym_extern) && extern_at < 0) extern_at = i;
  }
  if (extern_at >= 0) {
    for (int32_t i = 0; i < it.count; i++) {
      const Cell& c = it.first[i];
      TypeId t = c.type();
      if (!(is_any_word(t) && t != TypeId::issue) && t != TypeId::block && t != TypeId::string)
        fire(ErrorCode::script_bad_func_extern, &c);
    }
  }
  for (int32_t i = 0; i < it.count; i++) {
    const Cell& c = it.first[i];
    TypeId t = c.type();
    if (is_arg_word(t) || t == TypeId::set_word || t == TypeId::refinement)
      ignore.insert(canon(&c));
  }
  if (extern_at >= 0) {
    // Words after /extern are excluded (they are on the ignore list);
    // locals that follow them move to the result. The /extern part is cut.
    int32_t j = extern_at + 1;
    while (j < it.count && it.first[j].is(TypeId::word)) j++;
    if (j < it.count && it.first[j].is(TypeId::refinement) && is_sym(&it.first[j], sym_local)) {
      j++;
      std::vector<Cell> locals;
      while (j < it.count && it.first[j].is(TypeId::word)) locals.push_back(it.first[j++]);
      for (const Cell& w : locals) block::rs_append(result, &w);
      it = items_of(spec);
    }
    block::rs_clear_from(spec, spec->head() + extern_at);
  }
  if (body) collect_body(body->node(), body->head() < 0 ? 0 : body->head(), ignore, result, 0);
  Items got = items_of(result);
  if (got.count == 0) return result;
  // Append /local (unless the spec has it) and the collected words, leaving
  // out the word `local` itself.
  bool has_local = false;
  Items sp = items_of(spec);
  for (int32_t i = 0; i < sp.count; i++)
    if (sp.first[i].is(TypeId::refinement) && is_sym(&sp.first[i], sym_local)) has_local = true;
  if (!has_local) {
    Cell r;
    set_word_cell(&r, TypeId::refinement, 0, sym_local, -1);
    block::rs_append(spec, &r);
  }
  std::vector<Cell> words;
  got = items_of(result);
  for (int32_t i = 0; i < got.count; i++)
    if (!is_sym(&got.first[i], sym_local)) words.push_back(got.first[i]);
  for (const Cell& w : words) block::rs_append(spec, &w);
  return result;
}

int32_t count_locals(const Cell* spec, int32_t start, bool require) {
  init_symbols();
  Items it = items_of(spec);
  for (int32_t i = start; i < it.count; i++) {
    if (it.first[i].is(TypeId::refinement) && is_sym(&it.first[i], sym_local)) {
      int32_t n = 1;
      for (int32_t k = i + 1; k < it.count; k++)
        if (it.first[k].is(TypeId::word)) n++;
      return n;
    }
  }
  return require ? -1 : 0;
}

void init_locals(int32_t n) {
  if (n <= 0) return;
  set_logic(stack::push_slot(), false);
  for (int32_t i = 1; i < n; i++) set_none(stack::push_slot());
}

Cell* push(const Cell* spec_in, const Cell* body, Node ctx, Node object, uint32_t flags) {
  Cell spec = *spec_in;
  if (spec.head() > 0) {
    Cell copy;
    block::clone_into(&spec, &copy, block::Deep::no, block::AnyBlock::no);
    spec = copy;
  }
  if (spec.head() < 0) spec.set_head(0);
  Cell* slot = stack::push_slot();
  set_unset(slot);
  // Keep the spec reachable while the rest is made.
  Cell* keep = stack::push(&spec);
  bool made_here = false;
  if (!ctx) {
    ctx =
        context::make(&spec, context::OnStack::yes, context::SelfRef::no, context::Kind::function);
    made_here = true;
  }
  Node extras = new_cells(kExtras);
  *slot = Cell{static_cast<uint32_t>(TypeId::function) | flags, ctx, spec.node(), extras};
  *context::owner(ctx) = *slot;
  if (body) {
    Cell copy;
    block::clone_into(body, &copy, block::Deep::yes, block::AnyBlock::yes);
    copy.set_type(TypeId::block);
    *extra(slot, kBody) = copy;
    if (made_here) context::bind(extra(slot, kBody), ctx, context::SelfRef::no);
    // A function the library makes as it runs (`keep` inside `collect`)
    // from a body of its own code is library code too; one made from a
    // user's block is not.
    if (is_any_block(body->type()) && body->node() &&
        (memory::series(body->node())->flags & series_flag::library)) {
      slot->set_flag(function_flag::library);
      mark_library_code(copy.node());
    }
  } else {
    set_none(extra(slot, kBody));
  }
  if (object) set_integer(extra(slot, kObject), static_cast<int32_t>(object));
  (void)keep;
  stack::top = slot + 1;
  return slot;
}

void mark_library(Cell* fn, std::vector<Node>* contexts) {
  fn->set_flag(function_flag::library);
  Cell body = *extra(fn, kBody);
  if (is_any_block(body.type())) mark_library_code(body.node(), contexts);
}

void mark_library_code(Node code, std::vector<Node>* contexts) {
  // Every block and paren inside, each series once. (The work list is kept
  // from one call to the next: start-up marks every library function.)
  static std::vector<Node> work;
  work.clear();
  work.push_back(code);
  while (!work.empty()) {
    Node n = work.back();
    work.pop_back();
    SeriesBuffer* s = memory::series(n);
    if (s->flags & series_flag::library) continue;
    s->flags |= series_flag::library;
    uint32_t count = (s->tail - s->offset) / sizeof(Cell);
    for (uint32_t i = 0; i < count; i++) {
      const Cell& c = memory::series(n)->cells()[i];
      if (c.is(TypeId::block) || c.is(TypeId::paren)) {
        work.push_back(c.node());
      } else if (contexts && is_any_word(c.type())) {
        const Node ctx = c.context();
        if (ctx && ctx != context::global &&
            context::kind(context::context_cell(ctx)) == context::Kind::object &&
            (contexts->empty() || contexts->back() != ctx))
          contexts->push_back(ctx);
      }
    }
  }
}

Cell* make(Cell*, Cell* spec, TypeId) {
  if (!spec->is(TypeId::block)) bad_spec(spec);
  Items it = items_of(spec);
  if (it.count < 2 || !it.first[0].is(TypeId::block) || !it.first[1].is(TypeId::block))
    bad_spec(spec);
  Cell fspec = it.first[0];
  Cell body = it.first[1];
  uint32_t flags = validate_spec(&fspec);
  return push(&fspec, &body, 0, 0, flags);
}

Cell* reflect(Cell* value, uint32_t field) {
  init_symbols();
  SymbolId f = symbol::resolve(field);
  Cell* out = stack::push_slot();
  if (f == symbol::resolve(sym_spec)) {
    set_series(out, TypeId::block, value->data2, 0);
  } else if (f == symbol::resolve(sym_body)) {
    *out = *extra(value, kBody);
  } else if (f == symbol::resolve(sym_words)) {
    Node ctx = value->data1;
    uint32_t n = context::word_count(ctx);
    block::make_at(out, static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; i++) {
      Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
      w.data1 = ctx;
      w.data3 = i;
      block::rs_append(out, &w);
    }
  } else {
    fire(ErrorCode::internal_not_done);
  }
  return out;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "?function?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = string::emit(buffer, "func ", limit);
  Cell spec;
  set_series(&spec, TypeId::block, value->data2, 0);
  limit = actions::call_mold(&spec, buffer, {.all = all, .flat = flat}, part, limit, indent);
  Cell body = *extra(value, kBody);
  if (body.is(TypeId::block))
    limit = actions::call_mold(&body, buffer, {.all = all, .flat = flat}, part, limit, indent);
  else
    limit = string::emit(buffer, " none", limit);
  return limit;
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (value2->type() != value1->type()) return kNotComparable;
  return compare_by_identity(static_cast<int32_t>(value1->data3), static_cast<int32_t>(value2->data3),
                             op);
}

void register_() {
  constexpr ActionRow row{
      .make = function::make,
      .reflect = function::reflect,
      .form = function::form,
      .mold = function::mold,
      .compare = function::compare,
  };
  datatype::register_type(TypeId::function, TypeId::context, "function!", row);
}

}  // namespace function

namespace routine {

int32_t add_entry(Entry fn, const char* name) {
  routine_table().push_back(fn);
  routine_names().push_back(name);
  return static_cast<int32_t>(routine_table().size());
}

const char* entry_name(int32_t index) {
  auto& t = routine_names();
  if (index < 1 || index > static_cast<int32_t>(t.size())) return nullptr;
  return t[static_cast<size_t>(index - 1)];
}

Entry entry(int32_t index) {
  auto& t = routine_table();
  if (index < 1 || index > static_cast<int32_t>(t.size())) return nullptr;
  return t[static_cast<size_t>(index - 1)];
}

Cell* push(const Cell* spec, const Cell* body, int32_t entry_index, int32_t return_type) {
  Cell* fn = function::push(spec, body, 0, 0, 0);
  uint32_t words = 0;
  Cell s;
  set_series(&s, TypeId::block, fn->data2, 0);
  Items it = items_of(&s);
  for (int32_t i = 0; i < it.count; i++)
    if (it.first[i].is(TypeId::word)) words++;
  if (words > 31) words = 31;
  fn->header = static_cast<uint32_t>(TypeId::routine) | (words << 25);
  *context::owner(fn->data1) = *fn;
  set_integer(function::extra(fn, function::kEntry), entry_index);
  set_integer(function::extra(fn, function::kObject), return_type);
  return fn;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "?routine?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = string::emit(buffer, "routine ", limit);
  Cell spec;
  set_series(&spec, TypeId::block, value->data2, 0);
  limit = actions::call_mold(&spec, buffer, {.only = only, .all = all, .flat = flat},
                             part, limit, indent);
  Cell body = *function::extra(value, function::kBody);
  if (body.is(TypeId::block)) {
    limit = actions::call_mold(&body, buffer, {.only = only, .all = all, .flat = flat},
                               part, limit, indent);
  } else {
    limit = string::emit(buffer, " ", limit);
    limit = actions::call_mold(&body, buffer, {.only = only, .all = all, .flat = flat},
                               part, limit, indent);
  }
  return limit;
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  return function::compare(value1, value2, op);
}

void register_() {
  constexpr ActionRow row{
      .make = unsupported,
      .form = routine::form,
      .mold = routine::mold,
      .compare = routine::compare,
  };
  datatype::register_type(TypeId::routine, TypeId::function, "routine!", row);
}

}  // namespace routine
}  // namespace qel
