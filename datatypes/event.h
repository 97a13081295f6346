// event!: one user-interface event (a mouse button, a key, focus, window and
// timer events): its type, the face and window it concerns, a position, a
// key, a picked index and the modifier and button flags. The GUI back end
// makes events while it hands terminal input to the library's handlers;
// scripts make them with `make event!`. The type registers late, from the
// library's top-level code once the global context exists, so its word is
// made at registration; with it come the routines `event?`,
// `send-event-os` and `find-flag?`.
//
// Cell: header bit 0x1000 set for an event made by `make event!`, which
// carries its own data (clear for the back end's events); data1 = the event
// type code (1-38, the table in event.cpp; 0 when none was given); data2 =
// for a made event the node of a 4-cell block [face window offset picked],
// or 0 when none of these was given (the collector marks it); data3 = the
// key code point in bits 0-20 (any code point up to 10FFFF) and the flag
// bits in bits 22-31.
//
// A back-end event reads its face, window, offset, key, picked and
// orientation from the GUI back end (event::backend_field_reader, set by
// gui/terminal/events.cpp); until there is one they read as for a made
// event without data. Events are held in the cell, so a path set of `type`
// is stored back like a pair's; `bad-path-set` names the path and the
// element.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::event {

inline constexpr uint32_t kMade = 0x1000;
// The bits of data3 that hold the key's code point.
inline constexpr uint32_t kKeyMask = 0x1FFFFF;

// Flag bits of data3.
namespace flag {
inline constexpr uint32_t control = 0x10000000;
inline constexpr uint32_t shift = 0x20000000;
inline constexpr uint32_t alt = 0x40000000;
inline constexpr uint32_t command = 0x80000000;
inline constexpr uint32_t away = 0x04000000;
inline constexpr uint32_t down = 0x02000000;
inline constexpr uint32_t mid_down = 0x01000000;
inline constexpr uint32_t alt_down = 0x00800000;
inline constexpr uint32_t aux_down = 0x00400000;
}  // namespace flag

// The type code of a type word (case-insensitive), or 0.
int32_t type_code(const Cell* word);

// Pushes a copy of an event on the argument stack.
Cell* push(const Cell* event);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* a, Cell* b, CompareOp op);
Cell* pick(Cell* value, int32_t index, Cell* index_cell);

// `find-flag?`: true when the facet is a word of the flag's symbol (case
// ignored), or a block holding such a word or lit-word.
bool find_flag_q(const Cell* facet, const Cell* flag_word);

// The GUI back end's reader of its own events' fields (all but `type`):
// pushes the value of the named field. Null until the back end sets it.
using BackendFieldReader = Cell* (*)(const Cell* event, const char* field);
extern BackendFieldReader backend_field_reader;

// Registers event! (type 54, no parent) and binds `event?`, `send-event-os`
// and `find-flag?` to their global words. Called once, by the library's
// top-level code, with word recording on.
void register_();

}  // namespace qel::event
