// object!, error! and ownership internals that Qel code cannot reach: the
// catalog against its table, the registry's flag test and its sweep, the
// C++ constructors, and the report's Stack line.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "core/unwind.h"
#include "tests/unit/values_support.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/object.h"
#include "values/ownership.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {
namespace {

using testing_values::code;
using testing_values::raised;

struct Row {
  int32_t code;
  std::string_view id;
  std::string_view tmpl;
};
constexpr Row kRows[] = {
#define X(category, name, id, code, tmpl) {code, id, tmpl},
#include "core/error_catalog.def"
#undef X
};

class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_values::setup();
    lexer::init();
    interpreter::init();
    ownership::init();
    error::init();
    // Errors stop at this frame instead of ending the process.
    Cell name = word::load("try");
    stack::mark_try(&name);
  }
  void TearDown() override {
    stack::frame_top = stack::frame_bottom;
    stack::top = stack::arguments = stack::bottom;
  }

  static Cell load(std::string_view text) {
    Cell* slot = stack::push_slot();
    set_none(slot);
    lexer::ScanOptions options;
    lexer::scan(slot, reinterpret_cast<const uint8_t*>(text.data()),
                static_cast<uint32_t>(text.size()), options);
    return *slot;
  }
  static Cell text(std::string_view utf8) {
    Cell s;
    string::make_utf8(&s, utf8);
    return s;
  }
};

// Every code of the table is addressed by position: category = code / 100,
// id index = code % 100 + 2, and the id word there is the table's id.
TEST_F(Objects, CatalogMatchesItsTable) {
  for (const Row& r : kRows) {
    const int32_t category = r.code / 100;
    Cell id = error::id_word(category, r.code % 100 + 2);
    EXPECT_EQ(word::spelling(&id), r.id) << r.code;
    Cell* err = error::create(static_cast<ErrorCode>(r.code));
    EXPECT_EQ(error::code_of(err), r.code);
    Cell type = error::category_word(category);
    EXPECT_EQ(error::get_type(err), type.symbol());
  }
  // Category objects: code, type, then the ids; reserved ones have no ids.
  for (int32_t c = 0; c < error::kCategoryCount; c++) {
    const Node ctx = error::category_context(c);
    EXPECT_EQ(context::values(ctx)[0].integer(), c * 100);
    EXPECT_TRUE(context::values(ctx)[1].is(TypeId::string));
  }
  EXPECT_EQ(context::word_count(error::category_context(6)), 2u);
}

TEST_F(Objects, TemplatesKeepTheirKind) {
  const Node script = error::category_context(3);
  const Node user = error::category_context(8);
  const Node math = error::category_context(4);
  EXPECT_TRUE(context::values(script)[2].is(TypeId::block));  // no-value
  EXPECT_TRUE(context::values(math)[2].is(TypeId::string));   // zero-divide
  EXPECT_TRUE(context::values(user)[2].is(TypeId::word));     // message: arg1
  const std::string text = error::catalog_text();
  EXPECT_NE(text.find("    no-value: [:arg1 \"has no value\"]\n"), std::string::npos);
  EXPECT_NE(text.find("    message: arg1\n"), std::string::npos);
}

TEST_F(Objects, FireMakesAnErrorAndLeavesTheStack) {
  Cell* top = stack::top;
  Cell arg = word::load("zz");
  EXPECT_EQ(raised([&] { fire(ErrorCode::script_no_value, &arg); }),
            code(ErrorCode::script_no_value));
  EXPECT_EQ(stack::top, top);
  Cell err = unwind::thrown_value;
  ASSERT_TRUE(err.is(TypeId::error));
  EXPECT_EQ(error::form_report(&err).substr(0, 33), "*** Script Error: zz has no value");
}

// Unowned series pay one flag test: no entry is made or looked up, and
// nothing is told.
TEST_F(Objects, UnownedSeriesAreNotLookedUp) {
  Cell s = text("abc");
  const int32_t before = ownership::entry_count();
  EXPECT_FALSE(ownership::check(&s, OwnerEvent::clear, nullptr, 0, 3));
  EXPECT_EQ(ownership::entry_count(), before);
  EXPECT_EQ(string::buffer(&s)->flags & series_flag::owned, 0u);
}

// The registry is weak on its series: a collection drops the entries of
// dead series. A live owned series keeps its owner alive.
TEST_F(Objects, SweepDropsDeadEntries) {
  const int32_t before = ownership::entry_count();
  Cell spec = load("a: \"x\" b: [\"y\" [\"z\"]]");
  collector::Root owner(*object::construct(&spec, nullptr, false));
  collector::Root kept(*object::field(owner.get(), "a"));
  ownership::set_owner(owner.get(), owner.get(), nullptr);
  EXPECT_EQ(ownership::entry_count(), before + 5);
  EXPECT_TRUE(context::context_cell(owner->data1)->has_flag(cell_flag::owned));
  // Drop the block field: its three series die with it.
  set_none(object::field(owner.get(), "b"));
  stack::top = stack::arguments = stack::bottom;
  Cell name = word::load("try");
  stack::mark_try(&name);
  collector::collect();
  EXPECT_EQ(ownership::entry_count(), before + 1);
  // Drop the owner: the string still held keeps it, and stays owned.
  set_none(owner.get());
  collector::collect();
  EXPECT_EQ(ownership::entry_count(), before + 1);
  EXPECT_NE(string::buffer(kept.get())->flags & series_flag::owned, 0u);
  // Drop the string too: its entry goes with it.
  set_none(kept.get());
  collector::collect();
  EXPECT_EQ(ownership::entry_count(), before);
}

TEST_F(Objects, ConstructAndFieldsFromCpp) {
  Cell spec = load("a: b: on c: none d:");
  Cell* o = object::construct(&spec, nullptr, false);
  EXPECT_GT(object::class_id(o), object::kFirstClassId);
  EXPECT_EQ(object::word_count(o), 4u);
  EXPECT_TRUE(object::field(o, "A")->is(TypeId::logic));
  EXPECT_TRUE(object::field(o, "c")->is(TypeId::none));
  EXPECT_TRUE(object::field(o, "d")->is(TypeId::none));
  EXPECT_EQ(object::field(o, "zz"), nullptr);
  // The self slot holds the object.
  EXPECT_EQ(context::owner(o->data1)->data1, o->data1);
  EXPECT_EQ(object::fixed_class_id("error"), object::kErrorClass);
  EXPECT_EQ(object::fixed_class_id("nothing"), 0);
}

// The report's Stack line appears when system/state/stack-trace is a
// positive integer; the library makes `system`, here a stand-in does.
TEST_F(Objects, StackLineFollowsTheTraceDepth) {
  Cell spec = load("state: none");
  Cell sys = *object::construct(&spec, nullptr, false);
  Cell state_spec = load("stack-trace: 1 source-files: []");
  *object::field(&sys, "state") = *object::construct(&state_spec, nullptr, false);
  Cell system_word = word::load("system");
  Cell* saved = context::get(&system_word);
  Cell previous = *saved;
  *saved = sys;
  Cell* err = error::create(ErrorCode::math_zero_divide);
  error::store_stack_position(err, 0);
  EXPECT_NE(error::form_report(err).find("\n*** Stack: "), std::string::npos);
  set_integer(object::field(object::field(&sys, "state"), "stack-trace"), 0);
  EXPECT_EQ(error::form_report(err).find("*** Stack"), std::string::npos);
  *context::get(&system_word) = previous;
}

}  // namespace
}  // namespace qel
