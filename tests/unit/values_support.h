// Shared helpers of the value-model unit tests: start-up once, catching
// raised errors, and forming or molding a value to a std::string.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/stack.h"
#include "memory/series.h"
#include "core/unwind.h"
#include "values/actions.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "datatypes/init.h"

namespace qel::testing_values {

// Brings the value model up (once per process) and empties the stacks.
inline void setup() {
  values::init();
  stack::top = stack::arguments = stack::bottom;
  stack::frame_top = stack::frame_bottom;
}

// The error code carried by the value an error exit threw.
inline int thrown_code() {
  const Cell& v = unwind::thrown_value;
  if (v.is(TypeId::integer)) return v.integer();
  if (v.is(TypeId::error)) return error::code_of(&v);
  return -1;
}

// The error code a call raises, or -1 when it raises nothing.
template <class F>
int raised(F&& f) {
  try {
    f();
  } catch (const NonLocalExit& e) {
    EXPECT_EQ(e.level, level::error);
    return thrown_code();
  }
  return -1;
}
inline int code(ErrorCode c) { return static_cast<int>(c); }

// The characters of a string value as UTF-8.
inline std::string text(const Cell* s) {
  std::string out;
  string::to_utf8(s, out);
  return out;
}

// form or mold of a value through the type's own function, without /part.
inline std::string formed(Cell v) {
  Cell buf;
  string::rs_make_at(&buf, 16);
  actions::call_form(&v, &buf, nullptr, string::kNoLimit);
  return text(&buf);
}
inline std::string molded(Cell v, bool all = false) {
  Cell buf;
  string::rs_make_at(&buf, 16);
  actions::call_mold(&v, &buf, false, all, false, nullptr, string::kNoLimit, 0);
  return text(&buf);
}

}  // namespace qel::testing_values
