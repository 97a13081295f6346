// The collector: roots (RAII roots, a fake argument stack marked by a
// callback, the root block), marking by type, weak sweeps, compaction and
// freeing, the recycle switches, deep data, and a randomized build-and-drop
// run checked byte for byte against a model.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "memory/collector.h"
#include "memory/hashtable.h"
#include "memory/series.h"

namespace qel {
namespace {

Node make_bytes(const std::string& text) {
  Node n = memory::alloc_bytes(text.size());
  SeriesBuffer* s = memory::series(n);
  std::memcpy(s->data(), text.data(), text.size());
  s->tail = static_cast<uint32_t>(text.size());
  return n;
}

std::string bytes_of(Node n) {
  SeriesBuffer* s = memory::series(n);
  return std::string(reinterpret_cast<const char*>(s->head_ptr()), s->used_bytes());
}

Cell series_cell(TypeId t, Node n) {
  Cell c;
  set_series(&c, t, n);
  return c;
}

// A stand-in for the argument stack: a heap-backed cell series whose cells
// below `top` a mark callback marks, as the stack module does.
struct FakeStack {
  Node node = memory::alloc_series_heap(4096, sizeof(Cell));
  uint32_t top = 0;
  Cell* at(uint32_t i) { return reinterpret_cast<Cell*>(memory::series(node)->data()) + i; }
  void push(const Cell& c) { *at(top++) = c; }
};
FakeStack* fake_stack = nullptr;

void mark_fake_stack() {
  if (fake_stack) collector::mark_cells(fake_stack->at(0), fake_stack->at(fake_stack->top));
}

class Collector : public ::testing::Test {
 protected:
  void SetUp() override {
    memory::init();
    static bool registered = false;
    if (!registered) collector::add_mark_callback(mark_fake_stack);
    registered = true;
    fake_stack = &stack_;
    saved_active_ = collector::active;
  }
  void TearDown() override {
    fake_stack = nullptr;
    collector::active = saved_active_;
    collector::requested = false;
    collector::collect();
    EXPECT_EQ(memory::verify_heap(), nullptr);
  }
  FakeStack stack_;
  bool saved_active_ = false;
};

TEST_F(Collector, RootedAndStackedSeriesSurviveWithTheirContent) {
  collector::Root rooted(series_cell(TypeId::string, make_bytes("held by a root")));
  stack_.push(series_cell(TypeId::binary, make_bytes("held by the stack")));
  Node dropped = make_bytes("held by nothing");
  for (int i = 0; i < 5; i++) {
    for (int j = 0; j < 1000; j++) make_bytes(std::string(static_cast<size_t>(j % 97), 'x'));
    collector::collect();
    ASSERT_EQ(bytes_of(rooted->node()), "held by a root");
    ASSERT_EQ(bytes_of(stack_.at(0)->node()), "held by the stack");
    ASSERT_EQ(memory::verify_heap(), nullptr);
  }
  EXPECT_FALSE(memory::is_live_node(dropped));
  stack_.top = 0;
  Node was_stacked = stack_.at(0)->node();
  collector::collect();
  EXPECT_FALSE(memory::is_live_node(was_stacked));
}

TEST_F(Collector, RootBlockCellsAreRoots) {
  Node n = make_bytes("global");
  *append_slot(memory::root_block) = series_cell(TypeId::string, n);
  collector::collect();
  EXPECT_EQ(bytes_of(n), "global");
  set_none(memory::series(memory::root_block)->cell_tail() - 1);
}

TEST_F(Collector, CompactionSlidesLiveBuffersDown) {
  std::vector<Node> kept;
  std::vector<uintptr_t> before;
  for (int i = 0; i < 200; i++) {
    make_bytes(std::string(100, 'g'));
    Node n = make_bytes("keep " + std::to_string(i));
    stack_.push(series_cell(TypeId::string, n));
    kept.push_back(n);
    before.push_back(reinterpret_cast<uintptr_t>(memory::series(n)));
  }
  collector::collect();
  int moved = 0;
  for (size_t i = 0; i < kept.size(); i++) {
    ASSERT_EQ(bytes_of(kept[i]), "keep " + std::to_string(i));
    moved += reinterpret_cast<uintptr_t>(memory::series(kept[i])) != before[i];
  }
  EXPECT_GT(moved, 0);
}

TEST_F(Collector, DeadFramesAndBigBuffersAreReturned) {
  collector::collect();
  uint64_t base = memory::stats().frame_bytes;
  for (int i = 0; i < 300'000; i++) make_bytes(std::string(64, 'z'));
  for (int i = 0; i < 4; i++) memory::alloc_bytes(3 * 1024 * 1024);
  uint64_t peak = memory::stats().frame_bytes;
  EXPECT_GT(peak, base + 30 * 1024 * 1024);
  collector::collect();
  // What stays is the live data and the empty frames kept for the next
  // allocations (8 MB, rounded up to a whole frame).
  EXPECT_LE(memory::stats().frame_bytes, base + 10 * 1024 * 1024);
  EXPECT_LT(memory::stats().frame_bytes, peak - 20 * 1024 * 1024);
}

TEST_F(Collector, ExpansionLeftoversAreReclaimedWithoutTouchingNodes) {
  Node n = make_bytes("a");
  stack_.push(series_cell(TypeId::string, n));
  for (int i = 0; i < 2000; i++) *memory::reserve_tail(n, 1) = 'b';
  uint64_t before = memory::stats().used_bytes;
  collector::collect();
  EXPECT_LT(memory::stats().used_bytes, before);
  EXPECT_EQ(bytes_of(n), "a" + std::string(2000, 'b'));
}

TEST_F(Collector, RecycleSwitches) {
  collector::active = false;
  collector::requested = true;
  uint64_t cycles = collector::cycles;
  collector::safe_point();
  EXPECT_EQ(collector::cycles, cycles) << "recycle/off stops automatic collections";
  collector::collect();
  EXPECT_EQ(collector::cycles, cycles + 1) << "recycle still collects";
  collector::active = true;
  collector::requested = true;
  collector::safe_point();
  EXPECT_EQ(collector::cycles, cycles + 2);
  EXPECT_FALSE(collector::requested);
  {
    collector::Hold hold;
    EXPECT_FALSE(collector::active);
  }
  EXPECT_TRUE(collector::active);
}

TEST_F(Collector, AllocationPastTheBudgetRequestsACollection) {
  collector::collect();
  collector::requested = false;
  uint64_t cycles = collector::cycles;
  for (int i = 0; i < 200'000 && !collector::requested; i++) make_bytes(std::string(100, 'r'));
  EXPECT_TRUE(collector::requested);
  EXPECT_EQ(collector::cycles, cycles) << "allocation never collects";
}

TEST_F(Collector, MemoryHeldOutsideTheFramesCountsTowardsTheBudget) {
  constexpr uint64_t kMB = 1 << 20;
  collector::collect();
  collector::requested = false;
  // Bytes held outside the frames bring the next collection as allocated
  // series bytes would (images made in a loop never collected).
  for (int i = 0; i < 64 && !collector::requested; i++) memory::outside_allocated(kMB);
  EXPECT_TRUE(collector::requested);
  EXPECT_GE(memory::stats().outside_bytes, 8 * kMB);
  const uint64_t held = memory::stats().outside_bytes;
  // Once they are held across a collection, they raise the budget like live
  // data: 64 MB held means 64 MB more before the next request, so a program
  // keeping much outside memory does not collect every few megabytes.
  memory::outside_allocated(64 * kMB - held);
  collector::collect();
  collector::requested = false;
  memory::outside_allocated(32 * kMB);
  EXPECT_FALSE(collector::requested);
  memory::outside_allocated(100 * kMB);
  EXPECT_TRUE(collector::requested);
  // Freed bytes are taken back, never below nothing.
  memory::outside_freed(196 * kMB);
  EXPECT_EQ(memory::stats().outside_bytes, 0u);
  memory::outside_freed(kMB);
  EXPECT_EQ(memory::stats().outside_bytes, 0u);
}

TEST_F(Collector, DeeplyNestedBlocksDoNotOverflowTheMachineStack) {
  constexpr int kDepth = 300'000;
  Node outer = memory::alloc_cells(1);
  collector::Root root(series_cell(TypeId::block, outer));
  Node b = outer;
  for (int i = 0; i < kDepth; i++) {
    Node inner = memory::alloc_cells(1);
    *append_slot(b) = series_cell(TypeId::block, inner);
    b = inner;
  }
  *append_slot(b) = series_cell(TypeId::string, make_bytes("bottom"));
  collector::collect();
  b = outer;
  for (int i = 0; i < kDepth; i++) b = memory::series(b)->cells()->node();
  EXPECT_EQ(bytes_of(memory::series(b)->cells()->node()), "bottom");
}

// Each built-in marker keeps exactly the series its type refers to.
TEST_F(Collector, TypeMarkersFollowTheCellLayout) {
  struct Case {
    Cell cell;
    std::vector<Node> live;
    std::vector<Node> dead;
  };
  auto block = [] { return memory::alloc_cells(2); };
  auto bytes = [] { return make_bytes("b"); };
  // An image record stand-in of the real record's size (six 32-bit fields,
  // all bits set: its resource index -1 names no entry), so that the image!
  // marker, when the image module has registered it, reads only within it.
  auto image_record = [] { return make_bytes(std::string(24, '\xFF')); };
  auto t = [](TypeId id) { return static_cast<uint32_t>(id); };
  auto table = [](hashtable::Kind k) { return hashtable::init(4, nullptr, k, 0); };
  // Each builder makes fresh series right before its collection.
  const std::vector<std::pair<const char*, std::function<Case()>>> builders = {
      {"word", [&] { Node c = block(); return Case{{t(TypeId::word), c, 7, 0}, {c}, {}}; }},
      {"block", [&] { Node b = block(); return Case{{t(TypeId::block), 0, b, 0}, {b}, {}}; }},
      {"string", [&] { Node s = bytes(), x = bytes(); return Case{{t(TypeId::string), 0, s, x}, {s, x}, {}}; }},
      {"binary", [&] { Node s = bytes(), stray = bytes(); return Case{{t(TypeId::binary), stray, s, 0}, {s}, {stray}}; }},
      {"symbol", [&] { Node f = bytes(), n = bytes(); return Case{{t(TypeId::symbol), 5, f, n}, {f, n}, {}}; }},
      {"object", [&] { Node c = block(), i = bytes(); return Case{{t(TypeId::object), c, 3, i}, {c, i}, {}}; }},
      {"context",
       [&] {
         Node w = table(hashtable::Kind::symbol), v = block();
         return Case{{t(TypeId::context), w, v, 0}, {w, v}, {}};
       }},
      {"context on stack",
       [&] {
         Node w = table(hashtable::Kind::symbol), v = block();
         return Case{{t(TypeId::context) | cell_flag::on_stack, w, v, 0}, {w}, {v}};
       }},
      {"hash",
       [&] {
         Node b = block(), h = table(hashtable::Kind::hash);
         Node keys = static_cast<Node>(hashtable::record(h)->keys);
         return Case{{t(TypeId::hash), 0, b, h}, {b, h, keys}, {}};
       }},
      {"function",
       [&] {
         Node c = block(), s = block(), b = block();
         return Case{{t(TypeId::function), c, s, b}, {c, s, b}, {}};
       }},
      {"native",
       [&] {
         Node e = block(), s = block(), a = block();
         return Case{{t(TypeId::native), e, s, a}, {s, a}, {e}};
       }},
      {"op of function",
       [&] {
         Node c = block(), s = block(), a = block();
         return Case{{t(TypeId::op) | (t(TypeId::function) << 16), c, s, a}, {c, s, a}, {}};
       }},
      {"event with block", [&] { Node b = block(); return Case{{t(TypeId::event) | 0x1000, 0, b, 0}, {b}, {}}; }},
      {"event without", [&] { Node b = block(); return Case{{t(TypeId::event), 0, b, 0}, {}, {b}}; }},
      {"image", [&] { Node r = image_record(); return Case{{t(TypeId::image), 0, r, 0}, {r}, {}}; }},
      {"integer", [&] { Node n = bytes(); return Case{{t(TypeId::integer), 0, n, n}, {}, {n}}; }},
  };
  for (const auto& [what, build] : builders) {
    Case c = build();
    collector::Root root(c.cell);
    collector::collect();
    for (Node n : c.live) EXPECT_TRUE(memory::is_live_node(n)) << what << " keeps " << n;
    for (Node n : c.dead) EXPECT_FALSE(memory::is_live_node(n)) << what << " must not keep " << n;
  }
}

TEST_F(Collector, ModulesCanReplaceATypeMarker) {
  static Node extra;
  extra = make_bytes("resource record");
  collector::TypeMarker saved = collector::type_marker(TypeId::handle);
  collector::set_type_marker(TypeId::handle, [](const Cell*) { collector::mark_series(extra); });
  {
    collector::Root root(Cell{static_cast<uint32_t>(TypeId::handle), 0, 0, 0});
    collector::collect();
    EXPECT_EQ(bytes_of(extra), "resource record");
  }
  collector::set_type_marker(TypeId::handle, saved);
}

// A weak table sees, after marking, which of its series died.
Node weak_live, weak_dead;
bool saw_live_marked, saw_dead_marked;
void weak_sweep() {
  if (!weak_live) return;
  saw_live_marked = collector::is_marked(weak_live);
  saw_dead_marked = collector::is_marked(weak_dead);
}

TEST_F(Collector, SweepCallbacksSeeWhatDied) {
  static bool registered = false;
  if (!registered) collector::add_sweep_callback(weak_sweep);
  registered = true;
  weak_live = make_bytes("live");
  weak_dead = make_bytes("dead");
  stack_.push(series_cell(TypeId::string, weak_live));
  collector::collect();
  EXPECT_TRUE(saw_live_marked);
  EXPECT_FALSE(saw_dead_marked);
  weak_live = 0;
}

// Builds and drops blocks and strings at random across many collections and
// checks every survivor byte for byte against a model; unreachable series
// must have lost their nodes.
TEST_F(Collector, RandomizedBuildAndDrop) {
  struct Expect {
    bool block;
    std::string bytes;       // strings
    std::vector<Node> kids;  // blocks: the node of each cell, 0 for none
  };
  std::unordered_map<Node, Expect> model;
  std::vector<Node> stacked;  // shadow of the fake stack
  std::mt19937 rng(12345);
  auto rnd = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

  auto cell_for = [&](Node n) {
    return series_cell(model.at(n).block ? TypeId::block : TypeId::string, n);
  };
  auto new_string = [&] {
    uint32_t len = rnd(10) == 0 ? 1000 + rnd(5000) : rnd(120);
    std::string s(len, '\0');
    for (char& ch : s) ch = static_cast<char>(rng());
    Node n = make_bytes(s);
    model[n] = Expect{false, s, {}};
    return n;
  };
  // A random value reachable from the stack, by a short random walk.
  auto pick = [&]() -> Node {
    if (stacked.empty()) return 0;
    Node n = stacked[rnd(static_cast<uint32_t>(stacked.size()))];
    for (int depth = rnd(4); depth > 0; depth--) {
      const Expect& e = model.at(n);
      if (!e.block || e.kids.empty()) break;
      Node k = e.kids[rnd(static_cast<uint32_t>(e.kids.size()))];
      if (!k) break;
      n = k;
    }
    return n;
  };
  auto reachable = [&] {
    std::unordered_set<Node> seen;
    std::vector<Node> todo(stacked.begin(), stacked.end());
    while (!todo.empty()) {
      Node n = todo.back();
      todo.pop_back();
      if (!seen.insert(n).second) continue;
      for (Node k : model.at(n).kids)
        if (k) todo.push_back(k);
    }
    return seen;
  };
  auto verify = [&](const std::unordered_set<Node>& live) {
    for (Node n : live) {
      const Expect& e = model.at(n);
      SeriesBuffer* s = memory::series(n);
      ASSERT_EQ(s->node, n);
      if (!e.block) {
        ASSERT_EQ(bytes_of(n), e.bytes) << "string " << n;
        continue;
      }
      ASSERT_EQ(s->length(), e.kids.size()) << "block " << n;
      for (size_t i = 0; i < e.kids.size(); i++) {
        const Cell* c = s->cell_at(static_cast<uint32_t>(i));
        if (!e.kids[i]) {
          ASSERT_TRUE(c->is(TypeId::none));
        } else {
          ASSERT_EQ(c->node(), e.kids[i]);
          ASSERT_EQ(c->is(TypeId::block), model.at(e.kids[i]).block);
        }
      }
    }
  };

  for (int round = 0; round < 60; round++) {
    for (int op = 0; op < 400; op++) {
      switch (rnd(8)) {
        case 0:
        case 1: {  // a new string, stacked or put in a block
          Node n = new_string();
          Node into = pick();
          if (into && model.at(into).block && rnd(2)) {
            *append_slot(into) = cell_for(n);
            model.at(into).kids.push_back(n);
          } else if (stack_.top < 4000) {
            stack_.push(cell_for(n));
            stacked.push_back(n);
          }
          break;
        }
        case 2: {  // a new block of reachable values (cycles allowed)
          Node b = memory::alloc_cells(rnd(4));
          model[b] = Expect{true, "", {}};
          for (uint32_t k = rnd(6); k > 0; k--) {
            Node kid = pick();
            if (!kid) break;
            *append_slot(b) = cell_for(kid);
            model.at(b).kids.push_back(kid);
          }
          if (stack_.top < 4000) {
            stack_.push(cell_for(b));
            stacked.push_back(b);
          }
          if (Node other = pick(); other && model.at(other).block && rnd(3) == 0) {
            *append_slot(other) = cell_for(b);
            model.at(other).kids.push_back(b);
          }
          break;
        }
        case 3:  // drop the top of the stack
          if (!stacked.empty()) {
            stack_.top--;
            stacked.pop_back();
          }
          break;
        case 4: {  // forget one cell of a block
          Node b = pick();
          if (b && model.at(b).block && !model.at(b).kids.empty()) {
            size_t i = rnd(static_cast<uint32_t>(model.at(b).kids.size()));
            set_none(memory::series(b)->cell_at(static_cast<uint32_t>(i)));
            model.at(b).kids[i] = 0;
          }
          break;
        }
        case 5: {  // grow a string (its buffer moves)
          Node s = pick();
          if (s && !model.at(s).block) {
            uint32_t add = rnd(300);
            uint8_t* p = memory::reserve_tail(s, add);
            for (uint32_t k = 0; k < add; k++) p[k] = static_cast<uint8_t>(k * 7);
            for (uint32_t k = 0; k < add; k++) model.at(s).bytes.push_back(static_cast<char>(k * 7));
          }
          break;
        }
        case 6:  // garbage
          for (int k = rnd(50); k > 0; k--) memory::alloc_bytes(rnd(200));
          break;
        case 7:  // a big buffer now and then
          if (rnd(20) == 0) {
            Node n = memory::alloc_bytes(2 * 1024 * 1024 + rnd(4096));
            SeriesBuffer* s = memory::series(n);
            std::memset(s->data(), 'B', 3000);
            s->tail = 3000;
            model[n] = Expect{false, std::string(3000, 'B'), {}};
            if (stack_.top < 4000 && rnd(2)) {
              stack_.push(cell_for(n));
              stacked.push_back(n);
            }
          }
          break;
      }
    }
    std::unordered_set<Node> live = reachable();
    collector::collect();
    ASSERT_EQ(memory::verify_heap(), nullptr);
    verify(live);
    for (auto it = model.begin(); it != model.end();) {
      if (live.count(it->first)) {
        ++it;
        continue;
      }
      ASSERT_FALSE(memory::is_live_node(it->first)) << "an unreachable series kept its node";
      it = model.erase(it);
    }
  }
}

}  // namespace
}  // namespace qel
