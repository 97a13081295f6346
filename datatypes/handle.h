// handle!: an operating-system object (a file descriptor, a monitor, a
// window, a font, a rich-text layout) wrapped as an opaque value. Only the
// runtime's platform code makes handles; Qel code can compare them and print
// them, nothing more (no make, no to, no arithmetic).
//
// Cell layout: data1 = the handle class, data2 = -1 (unused), data3 = the
// handle's 32-bit value (where integer! keeps its value; the hash table
// hashes it there). A cell holds no machine address: a handle of a class
// above 0 carries the index of its record in the external-resource table
// (runtime/ext_resource.h), where the object itself lives. The collector
// marks that record while the handle is reachable, and the table's sweep
// releases the objects of unreachable ones. A class 0 (null) handle names no
// record.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::handle {

// port_actor: a native actor table of a scheme (datatypes/port.h).
enum class Class : int32_t {
  null = 0, fd = 1, monitor = 2, window = 3, font = 4, rich_text = 5, port_actor = 6
};

inline Class class_of(const Cell* h) { return static_cast<Class>(static_cast<int32_t>(h->data1)); }
inline int32_t value_of(const Cell* h) { return static_cast<int32_t>(h->data3); }

// Writes a handle into a cell and returns it.
Cell* make_at(Cell* cell, int32_t value, Class cls);
// Writes a handle into slot 0 of the current frame (the result slot).
Cell* box(int32_t value, Class cls);
// Pushes a handle on the argument stack.
Cell* push(int32_t value, Class cls);
// Pushes the null handle (class null, value 0).
Cell* push_null();

// --- actions
// form: the value as eight upper-case hexadecimal digits and "h".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// mold: "handle!"; with /all "#[handle! 0000ABCDh window]" (no name for the
// null class).
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Handles compare by value (signed), whatever their classes; any other type
// is unequal (1), never incomparable.
int32_t compare(Cell* value1, Cell* value2, CompareOp op);

// Registers handle! (parent integer!, nothing inherited), its collector
// marker and the external-resource table's sweep.
void register_();

}  // namespace qel::handle
