// block! actions: making, converting, forming, molding, comparing, path
// steps, copying, take, swap and trim, and the block! action row.
//
// Molding writes a blank between values, or, before a value that carries the
// new-line marker, a line break and four blanks per nesting level; when the
// first value carries the marker the closing bracket gets a line of its own.
// Every recursive walk (form, mold, compare, deep copy) records the blocks it
// is inside on the cycle guard: a repeated block is written as its marker,
// compared as a cycle, and refused by deep copy with no-cycle.
#include <cstring>

#include "core/cycle_guard.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::block {

void (*vector_to_block)(const Cell* vector, Cell* result) = nullptr;
void (*typeset_to_block)(const Cell* typeset, Cell* result) = nullptr;

CompareCallFn call_compare_function = nullptr;

Cell* push(const Cell* blk) { return stack::push(blk); }

Cell* push_only(int32_t n) { return make_at(stack::push_slot(), n == 0 ? 1 : n); }

namespace {

[[noreturn]] void cannot_make(TypeId type, const Cell* spec) {
  Cell dt;
  set_datatype(&dt, type);
  fire(ErrorCode::script_bad_make_arg, &dt, spec);
}

// The 32-bit integer of an integer! or a number with a fraction (truncated);
// a float outside the 32-bit range, or NaN, raises out-of-range.
int32_t get_integer(const Cell* v) {
  if (v->is(TypeId::integer)) return v->integer();
  double d = v->real();
  if (integer::float_overflow(d)) fire(ErrorCode::script_out_of_range, v);
  return static_cast<int32_t>(d);
}

// Converts what make and to share; false when the spec is none of these.
bool from_container(Cell* spec, Cell* result) {
  switch (spec->type()) {
    case TypeId::object:
    case TypeId::map: {
      Cell* body = actions::call_reflect(spec, symbol::make("body"));
      *result = *body;
      return true;
    }
    case TypeId::vector:
      if (!vector_to_block) return false;
      vector_to_block(spec, result);
      return true;
    default:
      return false;
  }
}

inline Cell* cell_at(Node node, int32_t i) { return memory::series(node)->cells() + i; }

}  // namespace

Cell* make(Cell*, Cell* spec, TypeId type) {
  Cell* result = stack::push_slot();
  set_unset(result);
  TypeId st = spec->type();
  if (is_any_block(st)) {
    clone_into(spec, result, Deep::no, AnyBlock::no);
  } else if (st == TypeId::integer || st == TypeId::float_ || st == TypeId::percent) {
    make_at(result, get_integer(spec));
  } else if (!from_container(spec, result)) {
    cannot_make(type, spec);
  }
  result->set_type(type);
  return result;
}

Cell* to(Cell*, Cell* spec, TypeId type) {
  Cell* result = stack::push_slot();
  set_unset(result);
  TypeId st = spec->type();
  if (from_container(spec, result)) {
  } else if (st == TypeId::string) {
    // Only string! text is source to load; a file, url, tag, email or ref
    // is a value of its own and goes into the block whole.
    lexer::load_string(result, spec, -1, lexer::ScanOptions{});
  } else if (st == TypeId::typeset && typeset_to_block) {
    typeset_to_block(spec, result);
  } else if (is_any_block(st)) {
    clone_into(spec, result, Deep::no, AnyBlock::no);
  } else {
    Cell v = *spec;
    make_at(result, 1);
    rs_append(result, &v);
  }
  result->set_type(type);
  return result;
}

// --- form and mold ---------------------------------------------------------

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::form)) return limit;
  Node node = value->node();
  cycle_guard::Scope guard(node);
  Cell blk = *value;
  int32_t head = blk.head() < 0 ? 0 : blk.head();
  for (int32_t i = head;; i++) {
    int32_t total = total_cells(&blk);
    if (i >= total) break;
    if (part && limit < 1) break;
    Cell item = *cell_at(node, i);
    limit = actions::call_form(&item, buffer, part, limit);
    if (i + 1 < total_cells(&blk)) {
      SeriesBuffer* out = string::buffer(buffer);
      int32_t len = string::buffer_length(out);
      uint32_t last = len > 0 ? string::rs_abs_at(buffer, len - 1) : 0;
      if (len == 0 || (last != '\t' && last != '\n' && last != '\r')) limit = string::emit_char(buffer, ' ', limit);
    }
  }
  return limit;
}

int32_t mold_each(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                  int32_t limit, int32_t indent) {
  Node node = value->node();
  cycle_guard::Scope guard(node);
  Cell blk = *value;
  int32_t head = blk.head() < 0 ? 0 : blk.head();
  bool owe_break = false;
  for (int32_t i = head;; i++) {
    if (i >= total_cells(&blk)) break;
    if (part && limit < 1) return limit;
    Cell item = *cell_at(node, i);
    bool first = i == head;
    if (!flat && item.has_flag(cell_flag::new_line)) {
      if (first && !only) {
        indent++;
        owe_break = true;
      }
      if (!(first && only)) {
        limit = string::emit_char(buffer, '\n', limit);
        limit = string::indent(buffer, indent, limit);
      }
    } else if (!first) {
      limit = string::emit_char(buffer, ' ', limit);
    }
    limit = actions::call_mold(&item, buffer, {.all = all, .flat = flat}, part, limit, indent);
  }
  if (owe_break) {
    indent--;
    limit = string::emit_char(buffer, '\n', limit);
    limit = string::indent(buffer, indent, limit);
  }
  return limit;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  if (!only) limit = string::emit_char(buffer, '[', limit);
  limit = mold_each(value, buffer, only, all, flat, part, limit, indent);
  if (!only) limit = string::emit_char(buffer, ']', limit);
  return limit;
}

// --- compare -----------------------------------------------------------------

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  TypeId t1 = value1->type(), t2 = value2->type();
  if (t1 != t2) {
    bool paths = (t1 == TypeId::path && t2 == TypeId::lit_path) || (t1 == TypeId::lit_path && t2 == TypeId::path);
    bool parse_op = op == CompareOp::parse_strict_equal || op == CompareOp::parse_equal;
    if (!(paths && parse_op)) return kNotComparable;
  }
  return compare_each(value1, value2, op);
}

namespace {

bool word_kind(TypeId t) { return (t >= TypeId::word && t <= TypeId::refinement) || t == TypeId::issue; }
bool number_kind(TypeId t) { return t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent; }

}  // namespace

int32_t compare_each(Cell* block1, Cell* block2, CompareOp op) {
  Cell c1 = *block1, c2 = *block2;
  if (c1.head() < 0) c1.set_head(0);
  if (c2.head() < 0) c2.set_head(0);
  Cell* b1 = &c1;
  Cell* b2 = &c2;
  bool same = b1->node() == b2->node() && b1->head() == b2->head();
  if (op == CompareOp::same) return same ? 0 : -1;
  if (same) return 0;
  if (cycle_guard::find_pair(b1->node(), b2->node())) return 0;
  int32_t n1 = rs_length_q(b1), n2 = rs_length_q(b2);
  if (n1 < 0) n1 = 0;
  if (n2 < 0) n2 = 0;
  if (n1 != n2) {
    switch (op) {
      case CompareOp::equal:
      case CompareOp::not_equal:
      case CompareOp::strict_equal:
      case CompareOp::parse_strict_equal:
      case CompareOp::parse_equal:
      case CompareOp::find:
        return 1;
      default:
        break;
    }
  }
  if (n1 == 0) return n2 == 0 ? 0 : -1;
  Node node1 = b1->node(), node2 = b2->node();
  int32_t h1 = b1->head(), h2 = b2->head();
  cycle_guard::PairScope guard(node1, node2);
  int32_t n = n1 < n2 ? n1 : n2;
  for (int32_t i = 0; i < n; i++) {
    // Comparing may walk nested values: read both cells afresh each time.
    if (h1 + i >= static_cast<int32_t>(memory::series(node1)->length()) ||
        h2 + i >= static_cast<int32_t>(memory::series(node2)->length()))
      break;
    Cell a = *cell_at(node1, h1 + i);
    Cell b = *cell_at(node2, h2 + i);
    TypeId ta = a.type(), tb = b.type();
    bool comparable = ta == tb || (word_kind(ta) && word_kind(tb)) || (number_kind(ta) && number_kind(tb));
    if (!comparable) return ta < tb ? -1 : 1;
    int32_t r = actions::compare_values(&a, &b, op);
    if (r != 0) return r;
  }
  return n1 < n2 ? -1 : n1 > n2 ? 1 : 0;
}

// --- path steps --------------------------------------------------------------

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (element->is(TypeId::integer)) {
    if (!value) return series::pick(parent, element->integer(), element);
    series::poke(parent, element->integer(), value, element);
    return value;
  }
  if (!value) {
    if (element->is(TypeId::word) && !parent->is(TypeId::hash))
      return const_cast<Cell*>(select_word(parent, element, step.case_ ? Case::sensitive : Case::insensitive));
    FindArgs args;
    args.only = true;
    args.case_ = step.case_;
    return select(parent, element, args);
  }
  // The key is one value, as when reading: a block or path key is not
  // searched as a sequence of its items.
  FindArgs args;
  args.only = true;
  args.case_ = step.case_;
  Cell* top = stack::top;
  int32_t at = find_index(parent, element, args);
  stack::top = top;
  if (at < 0) {
    Cell path = step.path ? *step.path : none_value;
    fire(ErrorCode::script_bad_path_set, &path, element);
  }
  Cell found = *parent;
  found.set_head(at);
  Cell* pos = stack::push(&found);
  actions::call_poke(pos, 2, value, nullptr);
  return value;
}

// --- copy, take, swap, trim --------------------------------------------------

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  Node source = value->node();
  TypeId st = value->type();
  series::copy(value, result, part, deep, types);
  if (!deep && !types) return result;
  if (st == TypeId::hash) result->set_type(TypeId::block);
  if (deep) {
    if (cycle_guard::find(source)) {
      cycle_guard::reset();
      fire(ErrorCode::internal_no_cycle);
    }
    cycle_guard::push(source);
  }
  Node node = result->node();
  int32_t n = static_cast<int32_t>(memory::series(node)->length());
  if (!types) {
    for (int32_t i = 0; i < n; i++) {
      Cell* c = cell_at(node, i);
      if (!is_series_type(c->type())) continue;
      Cell item = *c;
      Cell copied;
      actions::call_copy(&item, &copied, nullptr, true, nullptr);
      *cell_at(node, i) = copied;
    }
  } else {
    deep_copy_cells(node, 0, n, 1, deep ? Deep::yes : Deep::no, types);
  }
  if (deep) cycle_guard::pop();
  return result;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  // /deep copies the values it takes. A value that cannot be copied (a
  // block that holds itself raises no-cycle) must fail the take before the
  // series loses it, so the values are copied once before anything changes.
  if (deep) {
    int32_t from = 0, count = 0;
    if (series::take_span(series, part, last, &from, &count)) {
      Node source = series->node();
      for (int32_t i = from; i < from + count; i++) {
        if (i >= static_cast<int32_t>(memory::series(source)->length())) break;
        Cell item = *cell_at(source, i);
        if (!is_series_type(item.type())) continue;
        Cell copied;
        actions::call_copy(&item, &copied, nullptr, true, nullptr);
      }
    }
  }
  Cell* taken = series::take(series, part, deep, last);
  if (taken->is(TypeId::none)) return taken;
  Node node = taken->node();
  int32_t n = static_cast<int32_t>(memory::series(node)->length());
  if (deep) {
    for (int32_t i = 0; i < n; i++) {
      Cell* c = cell_at(node, i);
      if (!is_series_type(c->type())) continue;
      Cell item = *c;
      Cell copied;
      actions::call_copy(&item, &copied, nullptr, true, nullptr);
      *cell_at(node, i) = copied;
    }
  }
  if (!part && n == 1) *taken = *cell_at(node, 0);
  return taken;
}

Cell* swap(Cell* series1, Cell* series2) {
  if (!is_any_block(series2->type())) fire(ErrorCode::script_invalid_arg, series2);
  if (rs_length_q(series1) <= 0 || rs_length_q(series2) <= 0) return series1;
  bool owned1 = ownership::check(series1, OwnerEvent::swap, series2, series1->head(), 1);
  bool owned2 = ownership::check(series2, OwnerEvent::swap, series1, series2->head(), 1);
  // A handler may have shortened either side.
  if (rs_length_q(series1) > 0 && rs_length_q(series2) > 0) {
    Cell* a = rs_head(series1);
    Cell* b = rs_head(series2);
    Cell t = *a;
    *a = *b;
    *b = t;
    if (series1->is(TypeId::hash)) hash_changed(series1);
    if (series2->is(TypeId::hash)) hash_changed(series2);
  }
  if (owned1) ownership::check(series1, OwnerEvent::swaped, series2, series1->head(), 1);
  if (owned2) ownership::check(series2, OwnerEvent::swaped, series1, series2->head(), 1);
  return series1;
}

Cell* trim(Cell* series, const TrimArgs&) {
  bool owned = ownership::check(series, OwnerEvent::trim, &none_value, series->head(), 0);
  if (rs_length_q(series) > 0) {
    Cell* p = rs_head(series);
    Cell* end = rs_tail(series);
    Cell* out = p;
    for (; p < end; ++p) {
      if (!p->is(TypeId::none)) *out++ = *p;
    }
    buffer(series)->tail -= static_cast<uint32_t>(end - out) << 4;
    if (series->is(TypeId::hash)) hash_changed(series);
  }
  if (owned) ownership::check(series, OwnerEvent::trimmed, &none_value, series->head(), 0);
  return series;
}

// --- registration -------------------------------------------------------------

void register_() {
  static const ActionRow row{
      .make = make,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .append = append,
      .change = change,
      .copy = copy,
      .find = find,
      .insert = append,
      .put = put,
      .select = select,
      .sort = sort,
      .swap = swap,
      .take = take,
      .trim = trim,
  };
  datatype::register_type(TypeId::block, TypeId::series, "block!", row);
}

}  // namespace qel::block
