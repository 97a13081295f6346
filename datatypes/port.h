// port!: an object that stands for an external resource handled by a
// scheme. The type itself does no input or output: the series actions and
// the I/O actions applied to a port are handed to the port's actor.
//
// A port cell has the object! layout (datatypes/object.h) with type port! and
// class id object::kPortClass. Its fields follow system/standard/port:
// `spec` (the spec object), `scheme` (the scheme's name), `actor`, `awake`,
// `state`, `data`, `extra`.
//
// The actor is either an object written in Qel, whose functions are named
// after the actions, or a handle! to a native actor table (a ResolvedRow of
// C++ functions, made with `push_native_actor`). For a handle actor the
// generic dispatch (values/actions.h, `actions::port_actor_table`) sends
// the actions from `append` on straight to the table; for an object actor
// the port! row below forwards each action to the actor's function of the
// same name, called with the port, the action's arguments and, per
// refinement, a logic! telling whether it was given followed by its
// argument (or none).
//
// Schemes are objects (system/standard/scheme) registered in the flat block
// system/schemes by the library's `register-scheme`.
//
// An actor function declaring fewer slots gets the first ones, one
// declaring more gets none (false for a refinement); the values are checked
// against its spec's types as a call from code is, raising `expect-arg`
// with the action's name. `read` is open, copy, close; `write` is
// open/write, insert, copy, close. An actor that is no object and no native
// table is refused with access `invalid-port`. url! `open`, and `read` and
// `write` of schemes other than http(s), make a port of the object
// `url-parser/parse-url` answers (script `invalid-arg` when it answers
// none); `parse-url` parses a url! as it molds but a string! as its own
// text. Ports compare as objects; an actor's `length?` answer that is no
// integer counts as none.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::port {

// --- native actors

// Pushes a handle! that stands for a native actor table: the actions from
// `append` on read their functions from it (a null slot raises access
// `no-port-action`). The table must outlive the process's use of it
// (static storage); registering the same table again gives a handle to
// the same table.
Cell* push_native_actor(const ResolvedRow* table);

// The native actor table of a port whose actor field holds a handle made by
// push_native_actor, or null (an object actor, or anything else).
const ResolvedRow* native_table(const Cell* port);

// --- calling the actor

// The port's actor object; any other actor raises access `invalid-port`.
Cell actor_of(const Cell* port);

// Calls the actor's function named by `action` (a word!) with `count`
// values for its frame, the port first. A function with fewer arguments
// than given gets the first ones; one with more gets none (false for a
// refinement) for the rest. Pushes the result and returns it. An actor
// without such a function raises access `no-port-action`.
Cell* call_actor(const Cell* actor, const Cell* action, const Cell* values, int32_t count);

// --- ports from URLs (url! open, read and write of schemes other than http)

// Splits the URL with the library's `url-parser/parse-url` and makes a port
// of the object it answers (not opened). A URL the parser refuses raises
// script `invalid-arg` with the URL. Pushes the port.
Cell* from_url(const Cell* url);

// --- actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* read(Cell* source, const ReadArgs& args);
Cell* write(Cell* destination, Cell* data, const WriteArgs& args);
Cell* open(Cell* spec, const OpenArgs& args);

// Registers port! (parent object!) and installs the dispatch hook for
// native actor tables.
void register_();

}  // namespace qel::port
