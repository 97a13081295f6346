// Contexts and binding: the global context, binding blocks, self, get/set.
#include "tests/unit/values_support.h"
#include "memory/collector.h"
#include "values/context.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

Cell unbound(TypeId t, const char* name) {
  Cell w;
  set_word_cell(&w, t, 0, symbol::make(name), -1);
  return w;
}

Cell block_of(std::initializer_list<Cell> cells) {
  Node n = memory::alloc_cells(cells.size());
  for (const Cell& c : cells) *append_slot(n) = c;
  Cell b;
  set_series(&b, TypeId::block, n);
  return b;
}

Node object_context(std::initializer_list<const char*> names) {
  Node ctx = context::create(4, context::OnStack::no, context::SelfRef::yes, 0,
                             context::Kind::object);
  for (const char* n : names) {
    Cell w = unbound(TypeId::word, n);
    context::add_word(ctx, &w);
  }
  return ctx;
}

TEST(Context, BindWalksNestedSeriesOnceAndKeepsOtherBindings) {
  setup();
  Node ctx = object_context({"a", "b", "c", "d", "e", "f"});
  Cell paren = block_of({unbound(TypeId::word, "b")});
  paren.set_type(TypeId::paren);
  Cell nested = block_of({paren});
  Cell other = word::load("zz-not-in-ctx");
  Cell blk = block_of({unbound(TypeId::word, "A"), nested, unbound(TypeId::get_word, "c"),
                       unbound(TypeId::lit_word, "d"), unbound(TypeId::refinement, "e"),
                       unbound(TypeId::set_word, "f"), other});
  // The block contains itself: it is walked once.
  *append_slot(blk.node()) = blk;
  context::bind(&blk, ctx, context::SelfRef::no);

  const Cell* c = memory::series(blk.node())->cells();
  for (int i : {0, 2, 3, 4, 5}) {
    EXPECT_EQ(c[i].context(), ctx) << i;
    EXPECT_GE(c[i].word_index(), 0) << i;
  }
  EXPECT_EQ(c[0].word_index(), 0);  // "A" binds case-insensitively to a
  const Cell* inner = memory::series(memory::series(c[1].node())->cells()[0].node())->cells();
  EXPECT_EQ(inner[0].context(), ctx);
  EXPECT_EQ(inner[0].word_index(), 1);
  EXPECT_EQ(c[6].context(), context::global);  // not in ctx: binding kept
}

TEST(Context, SelfAnswersTheOwnerOnlyWhenBoundWithSelf) {
  setup();
  Node ctx = object_context({"self", "x"});
  Cell owner;
  set_integer(&owner, 99);
  *context::owner(ctx) = owner;

  Cell blk = block_of({unbound(TypeId::word, "self")});
  context::bind(&blk, ctx, context::SelfRef::yes);
  Cell w = memory::series(blk.node())->cells()[0];
  EXPECT_EQ(w.word_index(), -1);
  EXPECT_EQ(context::get(&w)->integer(), 99);

  Cell blk2 = block_of({unbound(TypeId::word, "self")});
  context::bind(&blk2, ctx, context::SelfRef::no);
  EXPECT_EQ(memory::series(blk2.node())->cells()[0].word_index(), 0);
}

TEST(Context, SetAddsAMissingWordAndGetFindsIt) {
  setup();
  Node ctx = object_context({"a"});
  Cell w{static_cast<uint32_t>(TypeId::word), ctx, symbol::make("fresh"),
         static_cast<uint32_t>(-1)};
  Cell v;
  set_integer(&v, 5);
  context::set(&w, &v);
  EXPECT_GE(w.word_index(), 1);
  EXPECT_EQ(context::get(&w)->integer(), 5);
  EXPECT_TRUE(context::word_cell(ctx, w.word_index())->has_flag(cell_flag::assigned));

  Cell again{static_cast<uint32_t>(TypeId::word), ctx, symbol::make("fresh"),
             static_cast<uint32_t>(-1)};
  context::bind_word(ctx, &again);
  EXPECT_EQ(context::get(&again)->integer(), 5);

  Cell nothing{static_cast<uint32_t>(TypeId::word), ctx, symbol::make("nothing"),
               static_cast<uint32_t>(-1)};
  EXPECT_EQ(raised([&] { context::get(&nothing); }), code(ErrorCode::script_no_value));
  Cell loose = unbound(TypeId::word, "loose");
  EXPECT_EQ(raised([&] { context::get(&loose); }), code(ErrorCode::script_not_defined));
}

TEST(Context, CaseVariantsShareOneGlobalValueAndKeepTheirSpelling) {
  setup();
  Cell lower = word::load("prnt-test");
  Cell upper = word::load("Prnt-Test");
  EXPECT_EQ(word::spelling(&upper), "Prnt-Test");
  EXPECT_EQ(upper.word_index(), lower.word_index());
  Cell v;
  set_integer(&v, 3);
  context::set(&upper, &v);
  EXPECT_EQ(context::get(&lower)->integer(), 3);

  // An exact add of the variant shares the slot too.
  Cell exact = context::add_global_symbol(symbol::make("PRNT-TEST"));
  EXPECT_EQ(exact.word_index(), lower.word_index());
  EXPECT_EQ(word::spelling(&exact), "PRNT-TEST");
}

TEST(Context, MakeFromSpecAndCollectSetWords) {
  setup();
  Cell spec = block_of({unbound(TypeId::word, "a"), unbound(TypeId::refinement, "opt"),
                        none_value, unbound(TypeId::lit_word, "A")});
  Node ctx = context::make(&spec, context::OnStack::no, context::SelfRef::no,
                           context::Kind::object);
  EXPECT_EQ(context::word_count(ctx), 2u);
  Cell body = block_of({unbound(TypeId::set_word, "b"), unbound(TypeId::word, "c"),
                        unbound(TypeId::set_word, "a")});
  EXPECT_TRUE(context::collect_set_words(ctx, &body));
  EXPECT_EQ(context::word_count(ctx), 3u);
  EXPECT_FALSE(context::collect_set_words(ctx, &body));
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {
using namespace testing_values;

// Symbols, the global context, words' values, object contexts held by the
// argument stack and function contexts named by frames all survive a
// collection (and a compaction that moves their buffers).
TEST(Context, EverythingReachableSurvivesACollection) {
  setup();
  Cell w = word::load("gc-probe-word");
  Cell kept;
  string::rs_make_at(&kept, 4);
  string::append_cstring(&kept, "kept");
  context::set(&w, &kept);
  for (int i = 0; i < 200; i++) memory::alloc_cells(8);  // garbage between live buffers

  Node obj = object_context({"field"});
  Cell field{static_cast<uint32_t>(TypeId::word), obj, symbol::make("field"), 0};
  Cell seven;
  set_integer(&seven, 7);
  context::set(&field, &seven);
  stack::push(&field);  // the word keeps its context alive

  Cell spec = block_of({unbound(TypeId::word, "local")});
  Node fctx = context::make(&spec, context::OnStack::yes, context::SelfRef::no,
                            context::Kind::function);
  Cell f = word::load("gc-probe-fn");
  stack::mark_call_word(&f, fctx);

  collector::collect();

  EXPECT_EQ(symbol::name(w.symbol()), "gc-probe-word");
  EXPECT_EQ(text(context::get(&w)), "kept");
  Cell again = word::load("GC-probe-word");
  EXPECT_EQ(again.word_index(), w.word_index());
  EXPECT_EQ(context::get(stack::bottom)->integer(), 7);
  EXPECT_EQ(context::find_word(fctx, symbol::make("local"), context::Case::sensitive), 0);
  stack::unwind_restore();
}

}  // namespace
}  // namespace qel
