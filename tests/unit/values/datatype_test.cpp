// The datatype registry: inheritance resolved at registration, the count
// check, and the datatype! actions.
#include <unistd.h>

#include "tests/unit/values_support.h"
#include "values/datatype.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

int32_t parent_form(Cell*, Cell*, Cell*, int32_t limit) { return limit - 100; }
int32_t child_mold(Cell*, Cell*, bool, bool, bool, Cell*, int32_t limit, int32_t) { return limit; }
int32_t parent_compare(Cell*, Cell*, CompareOp) { return 0; }

// Two spare type ids stand for a parent and a child type.
constexpr TypeId kParent = static_cast<TypeId>(55);
constexpr TypeId kChild = static_cast<TypeId>(56);

struct SpareTypes : ::testing::Test {
  void SetUp() override { setup(); }
  void TearDown() override {
    for (TypeId t : {kParent, kChild}) {
      datatype::rows[static_cast<int>(t)] = ResolvedRow{};
      datatype::records[static_cast<int>(t)] = datatype::Record{};
    }
  }
};

// A child's row names only what it changes: omitted slots take the parent's
// resolved function, `unsupported` refuses what the parent supports.
TEST_F(SpareTypes, ChildInheritsResolvedSlotsAndUnsupportedStaysEmpty) {
  constexpr ActionRow parent{.form = parent_form, .compare = parent_compare, .length_q = unsupported};
  constexpr ActionRow child{.mold = child_mold, .compare = unsupported};
  datatype::register_type(kParent, TypeId::none_id, "parent!", parent);
  datatype::register_type(kChild, kParent, "child!", child);

  EXPECT_EQ(datatype::row(kChild).form, parent_form);
  EXPECT_EQ(datatype::row(kChild).mold, child_mold);
  EXPECT_EQ(datatype::row(kParent).mold, nullptr);
  EXPECT_EQ(datatype::row(kChild).length_q, nullptr);
  EXPECT_EQ(datatype::row(kParent).compare, parent_compare);
  EXPECT_EQ(datatype::row(kChild).compare, nullptr);
  EXPECT_EQ(datatype::record(kChild).name_length, 5);
  EXPECT_EQ(datatype::highest_type, 56);
  // Registered after start-up, the type gets its word at once.
  EXPECT_TRUE(datatype::record(kChild).word.is(TypeId::word));

  Cell v{static_cast<uint32_t>(kChild), 0, 0, 0};
  EXPECT_EQ(raised([&] { actions::call_length_q(&v); }), code(ErrorCode::script_expect_arg));
  // The error names the child's type, not the parent's.
  const Cell& err = unwind::thrown_value;
  if (err.is(TypeId::error)) {
    const Cell* dt = error::field(&err, error::kArg2);
    EXPECT_TRUE(dt->is(TypeId::datatype));
    EXPECT_EQ(datatype::named(dt), kChild);
  }
}

TEST(DatatypeRegistry, WrongSlotCountEndsTheProcessWithStatusZero) {
  setup();
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        datatype::register_counted(64, kParent, TypeId::none_id, "parent!", ActionRow{});
      },
      ::testing::ExitedWithCode(0),
      "\\*\\*\\* Datatype Error: invalid actions count for type: 55\n"
      "\\*\\*\\* Found: 61\n\\*\\*\\* Expected: 62\n");
}

TEST(DatatypeRegistry, StartUpRegisteredTheCoreTypesWithTheirWords) {
  setup();
  for (TypeId t : {TypeId::datatype, TypeId::unset, TypeId::none, TypeId::logic, TypeId::symbol,
                   TypeId::context, TypeId::word, TypeId::set_word, TypeId::refinement}) {
    ASSERT_TRUE(datatype::is_registered(t)) << type_name(t);
    EXPECT_EQ(word::spelling(&datatype::record(t).word), type_name(t));
  }
  // The word subtypes inherit word!'s functions.
  EXPECT_EQ(datatype::row(TypeId::set_word).form, datatype::row(TypeId::word).form);
  EXPECT_EQ(datatype::row(TypeId::get_word).index_q, datatype::row(TypeId::word).index_q);
  EXPECT_EQ(datatype::row(TypeId::refinement).index_q, nullptr);
}

TEST(Datatype, FormMoldCompare) {
  setup();
  Cell logic_dt, word_dt, none_dt, dt_dt, one;
  set_datatype(&logic_dt, TypeId::logic);
  set_datatype(&word_dt, TypeId::word);
  set_datatype(&none_dt, TypeId::none);
  set_datatype(&dt_dt, TypeId::datatype);
  set_integer(&one, 1);

  EXPECT_EQ(formed(logic_dt), "logic");
  EXPECT_EQ(formed(dt_dt), "datatype");
  EXPECT_EQ(molded(logic_dt), "logic!");
  EXPECT_EQ(molded(none_dt, true), "#(none!)");

  EXPECT_TRUE(actions::compare(&logic_dt, &logic_dt, CompareOp::equal));
  EXPECT_FALSE(actions::compare(&logic_dt, &word_dt, CompareOp::equal));
  EXPECT_FALSE(actions::compare(&logic_dt, &one, CompareOp::equal));
  EXPECT_TRUE(actions::compare(&logic_dt, &one, CompareOp::not_equal));
  EXPECT_EQ(raised([&] { actions::compare(&logic_dt, &word_dt, CompareOp::lesser); }),
            code(ErrorCode::script_invalid_compare));
}

// A mold budget counts the "#(" and ")" of /all.
TEST(Datatype, MoldAllSpendsTheBudgetOfItsDecorations) {
  setup();
  Cell none_dt, buf;
  set_datatype(&none_dt, TypeId::none);
  string::rs_make_at(&buf, 16);
  EXPECT_EQ(datatype::mold(&none_dt, &buf, false, true, false, nullptr, 100, 0), 100 - 8);
}

}  // namespace
}  // namespace qel
