// Object change notification: the `on-change*` and `on-deep-change*`
// handlers an object may define in its own context.
//
// `on-change*` [word old new] is called after one of the object's fields was
// set (through a path, `set`, a bound set-word, `put`); `on-deep-change*`
// [owner word target action new index part] after a series the object owns
// was changed by any series action (values/ownership.h reports those).
//
// Event information: a 2-cell series named by the object cell's data3 (0
// when the object has neither handler). Cell 0 describes `on-change*`, cell
// 1 `on-deep-change*`; each is a pair!-typed cell whose data1 holds the
// handler's field index (-1 when there is no such handler), whose data2
// holds that index << 16 or-ed with its local-slot count (the form QELBIN
// writes; the index does not fit there past 65,535 fields, so data1 is the
// one read) and whose data3 is the spec node the count was taken from
// (recounted when the field holds a function with another spec). The information is built by the
// constructors only (make, copy, construct with a prototype, init_events);
// replacing a handler function by assignment needs no rebuild.
//
// Handlers run Qel code: every caller re-reads what it holds after a notice
// (the object's values may have moved, the series may have changed). Nested
// notices are bounded: a handler chain deeper than kMaxHandlerDepth (200)
// raises internal `limit-hit` naming the handler instead of recursing on.
// Handlers run through interpreter::call_function in frames named
// `on-change*` / `on-deep-change*`.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::object {

inline constexpr int32_t kMaxHandlerDepth = 200;

// A new event-information series for the two handlers (index -1: none).
Node make_event_info(Node change_spec, int32_t change_index, int32_t change_locals,
                     Node deep_spec, int32_t deep_index, int32_t deep_locals);
// Scans a context for the handler words: the new event information, or 0
// when neither is present. A handler field whose value is neither a
// function! nor a routine! raises script `bad-field-set`.
Node event_info_from(Node ctx);
// The handler field index recorded in event-information cell 0 (change) or
// 1 (deep), or -1.
int32_t handler_index(Node events, int32_t which);
// True when the object has event information with an `on-deep-change*`
// handler.
bool has_deep_handler(const Cell* obj);
// Builds the event information of a freshly made object, takes ownership of
// its series when it has a deep handler, and stores its self copy.
void set_up_events(Cell* obj);

// Calls `on-change*` of the object when it has one. The word is passed
// bound to the object's context.
void fire_on_set(const Cell* obj, const Cell* word, const Cell* old_value,
                 const Cell* new_value);
// Calls `on-deep-change*` of the owner when it has one; `value` null is
// taken as none!. An owner without event information raises script
// `invalid-obj-evt`; a handler field that holds no function is ignored.
void fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target,
                         const Cell* action, const Cell* value, int32_t index, int32_t part);

// The `set` native with an object target: spreads a block or object over the
// fields (unless `only`), or sets every field to the value. `some` leaves a
// field alone for a none! source value; without `any` an unset! source value
// raises script `need-value` before anything is assigned. Each assignment
// marks the field assigned and notifies `on-change*` (not for the handler
// fields themselves).
void set_words(Cell* target, const Cell* value, bool only, bool some, bool any);

// True when the symbol is `on-change*` or `on-deep-change*`
// (case-insensitive).
bool is_handler_symbol(uint32_t symbol);

// Installs the hooks through which contexts notify objects (called when
// object! registers).
void install_context_hooks();

}  // namespace qel::object
