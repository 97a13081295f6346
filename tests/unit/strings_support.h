// Helpers of the string unit tests: making text values from UTF-8, reading
// them back, and the report line of the last error.
#pragma once

#include <string>
#include <string_view>

#include "tests/unit/values_support.h"
#include "core/errors.h"
#include "datatypes/string.h"

namespace qel::strings_test {

using namespace testing_values;

inline Cell str(std::string_view utf8, TypeId type = TypeId::string) {
  Cell s;
  string::make_utf8(&s, utf8);
  s.set_type(type);
  return s;
}

inline uint32_t unit_of(const Cell& s) { return string::buffer(&s)->unit(); }

inline Cell chr(uint32_t cp) {
  Cell c;
  set_char(&c, cp);
  return c;
}

inline Cell integer(int32_t v) {
  Cell c;
  set_integer(&c, v);
  return c;
}

// The text from the head of a string value.
inline std::string at_head(const Cell& s) {
  Cell c = s;
  return text(&c);
}

}  // namespace qel::strings_test
