// Helpers shared by the block unit tests: building blocks from C++ values,
// molding a value to text, and catching the error an action raises.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <variant>

#include "core/cycle_guard.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "datatypes/init.h"
#include "datatypes/word.h"

namespace qel::blocks_test {

// One item of a block built by `make`: an integer, a word (by name), or a
// ready cell.
using Item = std::variant<int, const char*, Cell>;

inline Cell make(std::initializer_list<Item> items) {
  Cell blk;
  block::make_at(&blk, static_cast<int32_t>(items.size()));
  for (const Item& it : items) {
    Cell c;
    if (const int* i = std::get_if<int>(&it))
      set_integer(&c, *i);
    else if (const char* const* w = std::get_if<const char*>(&it))
      c = word::load(*w);
    else
      c = std::get<Cell>(it);
    block::rs_append(&blk, &c);
  }
  return blk;
}

inline std::string text_of(const Cell* str) {
  std::string out;
  string::to_utf8(str, out);
  return out;
}

inline std::string mold(Cell v, bool only = false, bool flat = false) {
  Cell buf;
  string::rs_make_at(&buf, 16);
  actions::call_mold(&v, &buf, only, false, flat, nullptr, string::kNoLimit, 0);
  return text_of(&buf);
}

inline std::string form(Cell v) {
  Cell buf;
  string::rs_make_at(&buf, 16);
  actions::call_form(&v, &buf, nullptr, string::kNoLimit);
  return text_of(&buf);
}

inline Cell at(Cell blk, int32_t index) {
  blk.set_head(index - 1);
  return blk;
}

inline Cell integer(int32_t v) {
  Cell c;
  set_integer(&c, v);
  return c;
}

// The error code a call raises, or -1 when it raises nothing.
template <class F>
int raised(F&& f) {
  try {
    f();
  } catch (const NonLocalExit& e) {
    EXPECT_EQ(e.level, level::error);
    const Cell& v = unwind::thrown_value;
    if (v.is(TypeId::error)) return error::code_of(&v);
    return v.integer();
  }
  return -1;
}
inline int code(ErrorCode c) { return static_cast<int>(c); }

// Brings the value model up once and opens a fresh frame per test.
class BlocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    values::init();
    stack::reset();
    cycle_guard::reset();
  }
};

}  // namespace qel::blocks_test
