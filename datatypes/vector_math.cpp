// vector!: element-wise arithmetic (with a scalar in place, with another
// vector into a new buffer) and the element order used by sort.
//
// Integer elements are computed as 32-bit integers whose sums, differences
// and products wrap around (the unsigned arithmetic of the machine, never a
// signed overflow in C++), then cut to the element width; division and
// remainder are integer!'s, truncating toward zero. Float elements use
// float!'s operations on doubles and are stored back in their own format.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/vector.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/sort.h"
#include "core/errors.h"
#include "datatypes/integer.h"

namespace qel::vector {

namespace {

inline bool integer_class(TypeId t) { return t == TypeId::integer || t == TypeId::char_; }

// An integer element: sign-extended, or for char! the code point
// (unsigned).
int32_t read_int(const uint8_t* p, uint32_t w, TypeId type) {
  const bool code = type == TypeId::char_;
  switch (w) {
    case 1: {
      uint8_t x = *p;
      return code ? x : static_cast<int8_t>(x);
    }
    case 2: {
      uint16_t x;
      std::memcpy(&x, p, 2);
      return code ? x : static_cast<int16_t>(x);
    }
    default: {
      int32_t x;
      std::memcpy(&x, p, 4);
      return x;
    }
  }
}

double read_float(const uint8_t* p, uint32_t w) {
  if (w == 4) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

// Stores an integer result cut to the width; a 32-bit character element
// must stay a code point (math `overflow` otherwise, as for char!).
void write_int(uint8_t* p, uint32_t w, int32_t v, TypeId type) {
  const uint32_t u = static_cast<uint32_t>(v);
  if (type == TypeId::char_ && w == 4 && u > static_cast<uint32_t>(char_::kMaxCodePoint))
    fire(ErrorCode::math_overflow);
  switch (w) {
    case 1: *p = static_cast<uint8_t>(u); break;
    case 2: {
      const uint16_t x = static_cast<uint16_t>(u);
      std::memcpy(p, &x, 2);
      break;
    }
    default: std::memcpy(p, &u, 4); break;
  }
}

void write_float(uint8_t* p, uint32_t w, double d) {
  if (w == 4) {
    const float f = static_cast<float>(d);
    std::memcpy(p, &f, 4);
  } else {
    std::memcpy(p, &d, 8);
  }
}

// x OP y on 32-bit integers, wrapping sums, differences and products.
int32_t int_op(int32_t x, int32_t y, MathOp op) {
  const uint32_t a = static_cast<uint32_t>(x), b = static_cast<uint32_t>(y);
  switch (op) {
    case MathOp::add: return static_cast<int32_t>(a + b);
    case MathOp::subtract: return static_cast<int32_t>(a - b);
    case MathOp::multiply: return static_cast<int32_t>(a * b);
    default: return integer::math_op(x, y, op, nullptr);
  }
}

SeriesBuffer* buf(const Cell* v) { return memory::series(v->node()); }

// element OP y over n elements of C++ type T, each computed as a `Via`
// (uint32_t for integers, double for floats) and stored back in T.
template <class T, class Via, class F>
void each(uint8_t* p, int32_t n, F f) {
  for (int32_t i = 0; i < n; ++i, p += sizeof(T)) {
    T x;
    std::memcpy(&x, p, sizeof(T));
    const T r = static_cast<T>(f(static_cast<Via>(x)));
    std::memcpy(p, &r, sizeof(T));
  }
}

// The integer operations whose result cut to the width is the same
// operation in that width (sums, differences, products and the bitwise
// ones): the common case, without a test per element.
template <class T>
bool ring_op(uint8_t* p, int32_t n, uint32_t y, MathOp op) {
  switch (op) {
    case MathOp::add: each<T, uint32_t>(p, n, [y](uint32_t x) { return x + y; }); return true;
    case MathOp::subtract: each<T, uint32_t>(p, n, [y](uint32_t x) { return x - y; }); return true;
    case MathOp::multiply: each<T, uint32_t>(p, n, [y](uint32_t x) { return x * y; }); return true;
    case MathOp::and_: each<T, uint32_t>(p, n, [y](uint32_t x) { return x & y; }); return true;
    case MathOp::or_: each<T, uint32_t>(p, n, [y](uint32_t x) { return x | y; }); return true;
    case MathOp::xor_: each<T, uint32_t>(p, n, [y](uint32_t x) { return x ^ y; }); return true;
    default: return false;
  }
}

// The four plain IEEE operations on floats (computed in double precision).
template <class T>
bool float_op(uint8_t* p, int32_t n, double y, MathOp op) {
  switch (op) {
    case MathOp::add: each<T, double>(p, n, [y](double x) { return x + y; }); return true;
    case MathOp::subtract: each<T, double>(p, n, [y](double x) { return x - y; }); return true;
    case MathOp::multiply: each<T, double>(p, n, [y](double x) { return x * y; }); return true;
    case MathOp::divide: each<T, double>(p, n, [y](double x) { return x / y; }); return true;
    default: return false;
  }
}

}  // namespace

void do_math_scalar(MathOp op, Cell* vec, const Cell* scalar, ScalarSide side) {
  const TypeId st = scalar->type();
  // Elements are numbers and characters: a time, money or any other
  // scalar has no meaning beside them.
  if (st != TypeId::integer && st != TypeId::char_ && st != TypeId::float_ && st != TypeId::percent) {
    Cell dt;
    set_datatype(&dt, st);
    fire(ErrorCode::script_invalid_type, &dt);
  }
  const TypeId type = element_type(vec);
  SeriesBuffer* b = buf(vec);
  const uint32_t w = b->unit();
  const int32_t n = rs_length_q(vec);
  uint8_t* p = b->head_ptr() + static_cast<size_t>(std::max(vec->head(), 0)) * w;
  const bool left = side == ScalarSide::left;
  if (integer_class(type)) {
    // A float that has no 32-bit integer (NaN, or beyond the range) is
    // refused: it would have counted as the smallest integer.
    const int32_t y = st == TypeId::integer || st == TypeId::char_ ? scalar->integer()
                                                                   : integer::from_double_checked(scalar->real());
    // Identities leave the elements untouched.
    if (!left && (((op == MathOp::add || op == MathOp::subtract) && y == 0) ||
                  ((op == MathOp::multiply || op == MathOp::divide) && y == 1)))
      return;
    if (!left && (op == MathOp::divide || op == MathOp::remainder) && y == 0)
      fire(ErrorCode::math_zero_divide);
    // 32-bit characters take the checked path below.
    if (!left && !(type == TypeId::char_ && w == 4)) {
      const uint32_t u = static_cast<uint32_t>(y);
      if (w == 1 && ring_op<uint8_t>(p, n, u, op)) return;
      if (w == 2 && ring_op<uint16_t>(p, n, u, op)) return;
      if (w == 4 && ring_op<uint32_t>(p, n, u, op)) return;
    }
    for (int32_t i = 0; i < n; ++i, p += w) {
      const int32_t x = read_int(p, w, type);
      write_int(p, w, left ? int_op(y, x, op) : int_op(x, y, op), type);
    }
    return;
  }
  const double y = st == TypeId::integer || st == TypeId::char_ ? static_cast<double>(scalar->integer())
                                                                : scalar->real();
  if (!left && (((op == MathOp::add || op == MathOp::subtract) && y == 0.0) ||
                ((op == MathOp::multiply || op == MathOp::divide) && y == 1.0)))
    return;
  if (op != MathOp::add && op != MathOp::subtract && op != MathOp::multiply && op != MathOp::divide &&
      op != MathOp::remainder)
    float_::do_op(0.0, 1.0, op);  // raises cannot-use
  if (!left && w == 8 && float_op<double>(p, n, y, op)) return;
  if (!left && w == 4 && float_op<float>(p, n, y, op)) return;
  for (int32_t i = 0; i < n; ++i, p += w) {
    const double x = read_float(p, w);
    write_float(p, w, left ? float_::do_op(y, x, op) : float_::do_op(x, y, op));
  }
}

void do_math(MathOp op) {
  Cell* a = stack::arguments;
  Cell* b = stack::arguments + 1;
  if (!b->is(TypeId::vector)) {
    do_math_scalar(op, a, b, ScalarSide::right);
    return;
  }
  const TypeId type = element_type(a);
  if (element_type(b) != type) fire(ErrorCode::script_not_same_type);
  const int32_t n = std::min(rs_length_q(a), rs_length_q(b));
  const uint32_t wa = width(a), wb = width(b), w = std::max(wa, wb);
  Cell result;
  make_at(&result, n, type, w);
  uint8_t* out = memory::reserve_tail(result.node(), static_cast<uint64_t>(n) * w);
  const uint8_t* pa = buf(a)->head_ptr() + static_cast<size_t>(std::max(a->head(), 0)) * wa;
  const uint8_t* pb = buf(b)->head_ptr() + static_cast<size_t>(std::max(b->head(), 0)) * wb;
  for (int32_t i = 0; i < n; ++i, pa += wa, pb += wb, out += w) {
    if (integer_class(type))
      write_int(out, w, int_op(read_int(pa, wa, type), read_int(pb, wb, type), op), type);
    else
      write_float(out, w, float_::do_op(read_float(pa, wa), read_float(pb, wb), op));
  }
  *a = result;
}

// --- sort

namespace {

struct ItemOrder {
  uint32_t flags;
  uint32_t width;
  TypeId type;
};

int32_t compare_one(const uint8_t* a, const uint8_t* b, const ItemOrder& o) {
  if (integer_class(o.type)) {
    const int32_t x = read_int(a, o.width, o.type), y = read_int(b, o.width, o.type);
    if (o.type == TypeId::char_) {
      const uint32_t ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
      return (ux > uy) - (ux < uy);
    }
    return (x > y) - (x < y);
  }
  const double x = read_float(a, o.width), y = read_float(b, o.width);
  // A NaN sorts after every number, as float! values do.
  if (std::isnan(x) || std::isnan(y)) return int32_t{std::isnan(x)} - int32_t{std::isnan(y)};
  return (x > y) - (x < y);
}

int32_t item_compare(const void* x, const void* y, const void* context) {
  const auto* o = static_cast<const ItemOrder*>(context);
  const uint8_t* a = static_cast<const uint8_t*>(x);
  const uint8_t* b = static_cast<const uint8_t*>(y);
  uint32_t count = 1;
  if (o->flags & 2) {
    count = o->flags >> 2;
  } else {
    a += static_cast<size_t>(o->flags >> 2) * o->width;
    b += static_cast<size_t>(o->flags >> 2) * o->width;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t r = compare_one(a + static_cast<size_t>(i) * o->width, b + static_cast<size_t>(i) * o->width, *o);
    if (r != 0) return (o->flags & 1) ? -r : r;
  }
  return 0;
}

}  // namespace

void sort_items(const Cell* v, uint8_t* base, size_t records, size_t record_bytes, uint32_t flags,
                bool stable) {
  const ItemOrder order{flags, width(v), element_type(v)};
  if (stable)
    sort::mergesort(base, records, record_bytes, &order, item_compare);
  else
    sort::qsort(base, records, record_bytes, &order, item_compare);
}

}  // namespace qel::vector
