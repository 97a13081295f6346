// Native actor tables behind port! values: the dispatch of the actions from
// `append` on to the table, the empty-slot error, the actions below
// `append` staying with the port! row, and handles that are no table.
#include <gtest/gtest.h>

#include <string_view>

#include "datatypes/handle.h"
#include "datatypes/port.h"
#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "runtime/ext_resource.h"
#include "tests/unit/values_support.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "values/ownership.h"
#include "datatypes/word.h"

namespace qel {
namespace {

using testing_values::code;
using testing_values::raised;

int cleared = 0;
Cell* native_clear(Cell* port) {
  cleared++;
  return port;
}
int32_t native_length(Cell*) { return 7; }
// A frame-form action: the answer replaces slot 0.
void native_head_q() { set_logic(stack::arguments, true); }

const ResolvedRow& table() {
  static const ResolvedRow row = [] {
    ResolvedRow r{};
    r.clear = native_clear;
    r.length_q = native_length;
    r.head_q = native_head_q;
    return r;
  }();
  return row;
}

class PortsNative : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_values::setup();
    if (ext_resource::capacity() == 0) ext_resource::init();
    lexer::init();
    interpreter::init();
    ownership::init();
    error::init();
    Cell name = word::load("try");
    stack::mark_try(&name);
  }
  void TearDown() override {
    stack::frame_top = stack::frame_bottom;
    stack::top = stack::arguments = stack::bottom;
  }

  // A port with the seven fields whose actor is `actor`.
  static Cell make_port(const Cell& actor) {
    Cell* slot = stack::push_slot();
    set_none(slot);
    constexpr std::string_view text =
        "spec: scheme: actor: awake: state: data: extra: none";
    lexer::ScanOptions options;
    lexer::scan(slot, reinterpret_cast<const uint8_t*>(text.data()),
                static_cast<uint32_t>(text.size()), options);
    Cell spec = *slot;
    Cell port = *object::construct(&spec, nullptr, false, object::kPortClass);
    *object::field(&port, "actor") = actor;
    port.set_type(TypeId::port);
    object::store_self(&port);
    return port;
  }
};

TEST_F(PortsNative, ActionsFromAppendOnGoToTheTable) {
  Cell handle = *port::push_native_actor(&table());
  EXPECT_EQ(handle::class_of(&handle), handle::Class::port_actor);
  Cell p = make_port(handle);
  EXPECT_EQ(port::native_table(&p), &table());

  cleared = 0;
  EXPECT_EQ(actions::call_clear(&p)->data1, p.data1);
  EXPECT_EQ(cleared, 1);
  EXPECT_EQ(actions::call_length_q(&p), 7);
  stack::push(&p);
  Cell* saved_args = stack::arguments;
  stack::arguments = stack::top - 1;
  actions::lookup_top<ActionId::head_q>()();
  EXPECT_TRUE(stack::arguments->is(TypeId::logic));
  stack::arguments = saved_args;

  // An empty slot: "port action not supported".
  Cell v;
  set_integer(&v, 1);
  EXPECT_EQ(raised([&] { actions::call_append(&p, &v, -1, false, 1); }),
            code(ErrorCode::access_no_port_action));
  EXPECT_EQ(raised([&] { actions::call_close(&p); }), code(ErrorCode::access_no_port_action));
  // open? is past append too: the table answers for it.
  EXPECT_EQ(raised([&] { actions::call_open_q(&p); }), code(ErrorCode::access_no_port_action));

  // Below append the port! row serves.
  EXPECT_EQ(testing_values::formed(p).rfind("make port! [", 0), 0u);

  // The same table again: a second handle to it.
  Cell again = *port::push_native_actor(&table());
  Cell q = make_port(again);
  EXPECT_EQ(port::native_table(&q), &table());
}

// A handle that is no native actor table leaves the port to its row, whose
// forwarding refuses an actor that is no object.
TEST_F(PortsNative, OtherHandlesAreNoTables) {
  Cell null_handle;
  handle::make_at(&null_handle, 0, handle::Class::null);
  Cell forged;
  handle::make_at(&forged, 12345, handle::Class::port_actor);
  Cell fd;
  handle::make_at(&fd, 3, handle::Class::fd);
  for (const Cell& h : {null_handle, forged, fd}) {
    Cell p = make_port(h);
    EXPECT_EQ(port::native_table(&p), nullptr);
    EXPECT_EQ(raised([&] { actions::call_clear(&p); }), code(ErrorCode::access_invalid_port));
  }
}

}  // namespace
}  // namespace qel
