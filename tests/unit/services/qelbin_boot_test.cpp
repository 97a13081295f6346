// Boot data, which Qel code cannot reach: the buffer the build writes gives
// back exactly the boot values of the boot texts, and the boot-only records
// (word-setting records, words bound by root index) decode as they should
// in both variants. The test program links no boot data, so start-up here
// took the boot texts: the values to compare with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/stack.h"
#include "core/unwind.h"
#include "library/embedded.h"
#include "memory/series.h"
#include "tests/unit/qel_fixture.h"
#include "services/qelbin.h"
#include "services/qelbin_boot.h"
#include "services/qelbin_encoder.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/logic.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {
namespace {

using testing_qel::load;

class QelbinBoot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<QelbinBoot>(); }
  void SetUp() override { testing_qel::clear_stacks(); }

  static std::string molded(Cell v) {
    Cell buf;
    string::rs_make_at(&buf, 64);
    actions::call_mold(&v, &buf, {.all = true, .flat = true}, nullptr, string::kNoLimit, 0);
    std::string out;
    string::to_utf8(&buf, out);
    return out;
  }

  // A value's text and, for a built-in, its table index: what must match.
  static std::string described(const Cell& v) {
    std::string d = molded(v);
    if (v.is(TypeId::native) || v.is(TypeId::action) || v.is(TypeId::op))
      d += " #" + std::to_string(v.data1);
    return d;
  }

  static Cell* fresh_block() {
    Cell* b = stack::push_slot();
    block::make_at(b, 8);
    return b;
  }
};

TEST_F(QelbinBoot, BootDataGivesBackTheValuesOfTheBootTexts) {
  // The global words the boot texts set, as they are now.
  const Node g = context::global;
  std::vector<std::pair<Cell, std::string>> words;
  for (uint32_t i = 0; i < context::word_count(g); i++) {
    const Cell* w = context::word_cell(g, static_cast<int32_t>(i));
    const Cell v = context::values(g)[i];
    if (w->word_index() != static_cast<int32_t>(i) || v.is(TypeId::unset) || v.is(TypeId::routine))
      continue;
    Cell word = *w;
    word.header = static_cast<uint32_t>(TypeId::word);
    words.emplace_back(word, described(v));
  }
  ASSERT_GT(words.size(), 200u);

  const std::vector<uint8_t> data = qelbin::boot::build();
  // Cleared, so that only the decoder can give them back.
  for (auto& [w, text] : words) context::set(&w, &none_value);
  Cell* roots = fresh_block();
  qelbin::decode(data.data(), data.size(), roots, qelbin::Mode::boot, nullptr);

  for (auto& [w, text] : words)
    EXPECT_EQ(described(*context::get(&w)), text) << word::spelling(&w);

  // The roots: the catalog, the prototype, the library's sources.
  ASSERT_EQ(block::total_cells(roots), qelbin::boot::kRootCount);
  const Cell* r = block::first_cell(roots);
  EXPECT_EQ(molded(r[qelbin::boot::kCatalog]), molded(*error::catalog()));
  EXPECT_EQ(object::class_id(&r[qelbin::boot::kCatalog]), object::kCatalogClass);
  EXPECT_EQ(molded(r[qelbin::boot::kPrototype]), molded(*error::prototype()));
  const Cell sources = block::first_cell(roots)[qelbin::boot::kSources];
  const auto embedded = library::embedded_sources();
  ASSERT_EQ(static_cast<size_t>(block::total_cells(&sources)), embedded.size() * 2);
  for (size_t i = 0; i < embedded.size(); i++) {
    const Cell name = block::first_cell(&sources)[2 * i];
    std::string text;
    string::to_utf8(&name, text);
    EXPECT_EQ(text, embedded[i].name);
    const Cell code = block::first_cell(&sources)[2 * i + 1];
    EXPECT_EQ(molded(code), molded(load(embedded[i].text))) << embedded[i].name;
  }
}

// The boot-only records, written by the encoder in boot mode: a word set
// from the record after it (neither stays), and a word bound by the root
// index of its object.
TEST_F(QelbinBoot, WordSettingRecordsAndRootBindingsInBothVariants) {
  for (qelbin::Variant variant : {qelbin::Variant::compact, qelbin::Variant::fixed}) {
    SCOPED_TRACE(variant == qelbin::Variant::compact ? "compact" : "fixed");
    stack::top = stack::bottom;
    const Cell spec = load("k: 7");
    const Cell obj = *object::make_from_block(&spec);
    stack::push(&obj);
    Cell bound = load("k");
    context::bind(&bound, obj.data1, context::SelfRef::no);
    stack::push(&bound);
    Cell setter = word::load("qelbin-boot-test");
    Cell value;
    set_integer(&value, 42);

    qelbin::detail::Encoder e(variant, qelbin::Mode::boot);
    e.set_word(&setter, &value);
    e.note_root_object(obj.data1, 0);
    e.value(&obj);
    e.value(&bound);
    const std::vector<uint8_t> data = e.finish(3, 1);

    context::set(&setter, &none_value);
    Cell* roots = fresh_block();
    qelbin::decode(data.data(), data.size(), roots, qelbin::Mode::boot, nullptr);
    EXPECT_EQ(context::get(&setter)->integer(), 42);
    ASSERT_EQ(block::total_cells(roots), 2);
    const Cell decoded = block::first_cell(roots)[0];
    const Cell words = block::first_cell(roots)[1];
    const Cell k = *block::first_cell(&words);
    EXPECT_EQ(k.context(), decoded.data1);
    EXPECT_EQ(context::get(&k)->integer(), 7);
  }
}

// Codec data never sets words: the prefix is refused there.
TEST_F(QelbinBoot, CodecModeRefusesWordSettingRecords) {
  Cell setter = word::load("qelbin-boot-test");
  Cell value;
  set_integer(&value, 1);
  qelbin::detail::Encoder e(qelbin::Variant::compact, qelbin::Mode::boot);
  e.set_word(&setter, &value);
  const std::vector<uint8_t> data = e.finish(1, 1);
  Cell* target = fresh_block();
  try {
    qelbin::decode(data.data(), data.size(), target, qelbin::Mode::codec, nullptr);
    FAIL() << "decoded";
  } catch (const NonLocalExit& x) {
    ASSERT_EQ(x.level, level::error);
    Cell err = unwind::thrown_value;
    EXPECT_EQ(error::code_of(&err), static_cast<int32_t>(ErrorCode::script_qb_invalid_record));
  }
}

}  // namespace
}  // namespace qel
