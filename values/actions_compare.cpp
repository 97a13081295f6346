// Comparison (`actions::compare` and its kin) and the interpreter's fast
// paths for integer, float and block operands.
#include <algorithm>

#include "memory/series.h"
#include "values/actions.h"
#include "core/errors.h"
#include "datatypes/logic.h"

namespace qel::actions {

namespace {
inline bool equality_code(CompareOp op) {
  switch (op) {
    case CompareOp::equal:
    case CompareOp::not_equal:
    case CompareOp::strict_equal:
    case CompareOp::same:
    case CompareOp::parse_strict_equal:
    case CompareOp::parse_equal:
    case CompareOp::find:
      return true;
    default:
      return false;
  }
}

// The truth of a raw compare answer under a code.
inline bool truth(int32_t r, CompareOp op) {
  switch (op) {
    case CompareOp::equal:
    case CompareOp::strict_equal:
    case CompareOp::same:
    case CompareOp::parse_strict_equal:
    case CompareOp::parse_equal:
    case CompareOp::find:
      return r == 0;
    case CompareOp::not_equal:
      return r != 0;
    case CompareOp::lesser:
      return r < 0;
    case CompareOp::lesser_or_equal:
      return r <= 0;
    case CompareOp::greater:
      return r > 0;
    case CompareOp::greater_or_equal:
      return r >= 0;
    default:
      bad_code();
  }
}
}  // namespace

bool compare(Cell* a, Cell* b, CompareOp op) {
  if (op == CompareOp::sort || op == CompareOp::case_sort) bad_code();
  int32_t r = lookup_value<ActionId::compare>(a)(a, b, op);
  if (r == kNotComparable) {
    if (!equality_code(op)) fire(ErrorCode::script_invalid_compare, a, b);
    return op == CompareOp::not_equal;
  }
  return truth(r, op);
}

Cell* compare_to_logic(CompareOp op) {
  bool v = compare(stack::arguments, stack::arguments + 1, op);
  return logic::box(v);
}

int32_t compare_values(Cell* a, Cell* b, CompareOp op) {
  // Identity shortcuts apply to a pair of the same type; a mixed pair goes to
  // the type's compare function, which answers "not comparable".
  if (a->type() == b->type()) {
    switch (a->type()) {
      case TypeId::logic:
        return static_cast<int32_t>(a->data1) - static_cast<int32_t>(b->data1);
      case TypeId::native:
      case TypeId::action:
      case TypeId::op: {
        int32_t x = static_cast<int32_t>(a->data1), y = static_cast<int32_t>(b->data1);
        return (x > y) - (x < y);
      }
      case TypeId::function:
      case TypeId::routine: {
        int32_t x = static_cast<int32_t>(a->data3), y = static_cast<int32_t>(b->data3);
        return (x > y) - (x < y);
      }
      default:
        break;
    }
  }
  return lookup_value<ActionId::compare>(a)(a, b, op);
}

// --- fast paths

bool fast_math(MathOp op, const Cell* left, const Cell* right, Cell* out) {
  if (left->is(TypeId::integer) && right->is(TypeId::integer)) {
    const int32_t a = left->integer(), b = right->integer();
    int32_t r;
    switch (op) {
      case MathOp::add:
        if (__builtin_add_overflow(a, b, &r))
          set_float(out, double(a) + double(b));
        else
          set_integer(out, r);
        return true;
      case MathOp::subtract:
        if (__builtin_sub_overflow(a, b, &r))
          set_float(out, double(a) - double(b));
        else
          set_integer(out, r);
        return true;
      case MathOp::multiply:
        if (__builtin_mul_overflow(a, b, &r))
          set_float(out, double(a) * double(b));
        else
          set_integer(out, r);
        return true;
      case MathOp::or_:
        set_integer(out, a | b);
        return true;
      case MathOp::and_:
        set_integer(out, a & b);
        return true;
      case MathOp::xor_:
        set_integer(out, a ^ b);
        return true;
      default:
        return false;
    }
  }
  if (left->is(TypeId::float_) && right->is(TypeId::float_)) {
    const double a = left->real(), b = right->real();
    switch (op) {
      case MathOp::add:
        set_float(out, a + b);
        return true;
      case MathOp::subtract:
        set_float(out, a - b);
        return true;
      case MathOp::multiply:
        set_float(out, a * b);
        return true;
      default:
        return false;
    }
  }
  return false;
}

bool fast_compare(CompareOp op, const Cell* left, const Cell* right, bool* out) {
  if (!left->is(TypeId::integer) || !right->is(TypeId::integer)) return false;
  const int32_t a = left->integer(), b = right->integer();
  switch (op) {
    case CompareOp::equal:
    case CompareOp::strict_equal:
      *out = a == b;
      return true;
    case CompareOp::not_equal:
      *out = a != b;
      return true;
    case CompareOp::lesser:
      *out = a < b;
      return true;
    case CompareOp::lesser_or_equal:
      *out = a <= b;
      return true;
    case CompareOp::greater:
      *out = a > b;
      return true;
    case CompareOp::greater_or_equal:
      *out = a >= b;
      return true;
    default:
      return false;
  }
}

namespace {

// Opens a native frame named by the word (anonymous when null).
void open_native(const Cell* word) {
  if (word)
    stack::mark_native(word);
  else
    stack::mark_symbol(stack::anon_symbol, stack::FrameKind::native);
}

EntryFn math_entry(MathOp op) {
  switch (op) {
    case MathOp::add:
      return add;
    case MathOp::subtract:
      return subtract;
    case MathOp::multiply:
      return multiply;
    case MathOp::or_:
      return or_;
    case MathOp::and_:
      return and_;
    case MathOp::xor_:
      return xor_;
    default:
      bad_code();
  }
}

// Runs the generic action on copies of both operands; the answer is left
// as the newest value of the caller's frame.
Cell* generic_math(MathOp op, const Cell* word, Cell left, Cell right) {
  EntryFn entry = math_entry(op);
  open_native(word);
  stack::push(&left);
  stack::push(&right);
  entry(nullptr);
  stack::unwind();
  return stack::get_top();
}

// The truth of the comparison through the generic path (a native frame).
bool generic_compare(CompareOp op, const Cell* word, Cell left, Cell right) {
  open_native(word);
  stack::push(&left);
  stack::push(&right);
  compare_to_logic(op);
  const bool v = stack::arguments->data1 != 0;
  stack::unwind();
  stack::pop(1);
  return v;
}

bool comparison(CompareOp op, const Cell* word, const Cell* left, const Cell* right) {
  if (left->is(TypeId::integer) && right->is(TypeId::integer)) {
    bool v;
    if (!fast_compare(op, left, right, &v)) bad_code();
    return v;
  }
  return generic_compare(op, word, *left, *right);
}

inline void check_math_code(MathOp op) {
  switch (op) {
    case MathOp::add:
    case MathOp::subtract:
    case MathOp::multiply:
    case MathOp::or_:
    case MathOp::and_:
    case MathOp::xor_:
      return;
    default:
      bad_code();
  }
}

}  // namespace

Cell* math_op(MathOp op, const Cell* word, const Cell* left, const Cell* right) {
  check_math_code(op);
  Cell out;
  if (fast_math(op, left, right, &out)) return stack::push(&out);
  return generic_math(op, word, *left, *right);
}

Cell* math_op_int(MathOp op, const Cell* word, const Cell* left, int32_t right) {
  check_math_code(op);
  Cell r;
  set_integer(&r, right);
  Cell out;
  if (left->is(TypeId::integer) && fast_math(op, left, &r, &out)) return stack::push(&out);
  return generic_math(op, word, *left, r);
}

Cell* math_op_top(MathOp op, const Cell* word, const Cell* right) {
  check_math_code(op);
  Cell* top = stack::get_top();
  Cell out;
  if (fast_math(op, top, right, &out)) return copy_cell(&out, top);
  Cell left = *top, r = *right;
  stack::pop(1);
  return generic_math(op, word, left, r);
}

Cell* math_op_top_int(MathOp op, const Cell* word, int32_t right) {
  check_math_code(op);
  Cell r;
  set_integer(&r, right);
  Cell* top = stack::get_top();
  Cell out;
  if (top->is(TypeId::integer) && fast_math(op, top, &r, &out)) return copy_cell(&out, top);
  Cell left = *top;
  stack::pop(1);
  return generic_math(op, word, left, r);
}

Cell* compare_op(CompareOp op, const Cell* word, const Cell* left, const Cell* right) {
  return logic::push(comparison(op, word, left, right));
}

Cell* compare_op_int(CompareOp op, const Cell* word, const Cell* left, int32_t right) {
  Cell r;
  set_integer(&r, right);
  return logic::push(comparison(op, word, left, &r));
}

Cell* compare_op_top(CompareOp op, const Cell* word, const Cell* right) {
  Cell left = *stack::get_top();
  bool v = comparison(op, word, &left, right);
  Cell* top = stack::get_top();
  set_logic(top, v);
  return top;
}

Cell* compare_op_top_int(CompareOp op, const Cell* word, int32_t right) {
  Cell r;
  set_integer(&r, right);
  return compare_op_top(op, word, &r);
}

bool compare_op_test(CompareOp op, const Cell* word, const Cell* left, const Cell* right,
                     bool expected) {
  return comparison(op, word, left, right) != expected;
}

bool compare_op_int_test(CompareOp op, const Cell* word, const Cell* left, int32_t right,
                         bool expected) {
  Cell r;
  set_integer(&r, right);
  return comparison(op, word, left, &r) != expected;
}

bool compare_op_result(CompareOp op, const Cell* word, const Cell* left, const Cell* right) {
  bool v = comparison(op, word, left, right);
  set_logic(stack::arguments, v);
  return v;
}

namespace {
// Cells from a block's head to its tail (negative when the head lies past it).
inline int32_t block_rest(const Cell* blk) {
  const SeriesBuffer* s = memory::series(blk->node());
  return static_cast<int32_t>((s->tail - s->offset) >> 4) - blk->head();
}
}  // namespace

Cell* pick_fast(const Cell* series, int32_t index, const Cell* word) {
  if (series->is(TypeId::block)) {
    const int32_t n = block_rest(series);
    if (index >= 1 && index <= n) {
      Cell v = memory::series(series->node())->cells()[series->head() + index - 1];
      return stack::push(&v);
    }
    return stack::push(&none_value);
  }
  Cell s = *series;
  open_native(word);
  Cell* parent = stack::push(&s);
  Cell* element = stack::push_slot();
  set_integer(element, index);
  PathStep step;
  Cell* r = call_eval_path(parent, element, nullptr, step);
  copy_cell(r, stack::arguments);
  stack::unwind();
  return stack::get_top();
}

Cell* series_query_fast(const Cell* series, SeriesQuery query, const Cell* word) {
  if (series->is(TypeId::block)) {
    const int32_t n = block_rest(series);
    const int32_t h = series->head();
    Cell out = *series;
    switch (query) {
      case SeriesQuery::length_q:
        set_integer(&out, std::max(n, 0));
        break;
      case SeriesQuery::index_q:
        set_integer(&out, h + 1);
        break;
      case SeriesQuery::head_q:
        set_logic(&out, h == 0);
        break;
      case SeriesQuery::tail_q:
        set_logic(&out, n <= 0);
        break;
      case SeriesQuery::next:
        if (n > 0) out.set_head(h + 1);
        break;
      case SeriesQuery::back:
        if (h > 0) out.set_head(h - 1);
        break;
      case SeriesQuery::head:
        out.set_head(0);
        break;
      case SeriesQuery::tail:
        out.set_head(h + n);
        break;
      default:
        bad_code();
    }
    return stack::push(&out);
  }
  EntryFn entry;
  switch (query) {
    case SeriesQuery::length_q: entry = length_q; break;
    case SeriesQuery::index_q: entry = index_q; break;
    case SeriesQuery::head_q: entry = head_q; break;
    case SeriesQuery::tail_q: entry = tail_q; break;
    case SeriesQuery::next: entry = next; break;
    case SeriesQuery::back: entry = back; break;
    case SeriesQuery::head: entry = head; break;
    case SeriesQuery::tail: entry = tail; break;
    default: bad_code();
  }
  Cell s = *series;
  open_native(word);
  stack::push(&s);
  entry(nullptr);
  stack::unwind();
  return stack::get_top();
}

}  // namespace qel::actions
