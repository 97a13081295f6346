// Typed print and the print hooks.
//
// The runtime's own messages (reports, diagnostics) are printed as a list of
// typed items: logic, integer, byte, 32- and 64-bit float, C string, and
// anything else as 8 hexadecimal digits. The `print` and `prin` natives go
// through the print hooks: list 1 holds callbacks that print a value (the
// one member, registered at start-up, prints string! values); list 2 holds
// callbacks told about every C-string and formatted-number write (nothing
// registers there yet). Every print is bracketed by the GUI back end's
// `gui::before_print` and `gui::after_print`, so that a full-screen view can
// step aside while something prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>


namespace qel {

struct Cell;

// The kind of a typed item; the numbers are the type codes of the runtime.
enum class TypedKind : uint32_t {
  logic = 1,
  integer = 2,
  byte = 3,
  float32 = 4,
  float64 = 5,
  cstring = 6,
  hex = 7,  // any other code: a 32-bit value in hexadecimal
};

// One item of a typed print.
struct TypedArg {
  TypedKind kind;
  union {
    uint32_t u;
    int32_t i;
    float f;
    double d;
    const char* s;
  };
};

// Makers for typed items: print_line({arg::cstring("size: "), arg::integer(n)}).
namespace arg {
inline TypedArg logic(bool v) {
  TypedArg a{TypedKind::logic, {}};
  a.u = v;
  return a;
}
inline TypedArg integer(int32_t v) {
  TypedArg a{TypedKind::integer, {}};
  a.i = v;
  return a;
}
inline TypedArg byte(char v) {
  TypedArg a{TypedKind::byte, {}};
  a.u = static_cast<uint8_t>(v);
  return a;
}
inline TypedArg float32(float v) {
  TypedArg a{TypedKind::float32, {}};
  a.f = v;
  return a;
}
inline TypedArg float64(double v) {
  TypedArg a{TypedKind::float64, {}};
  a.d = v;
  return a;
}
inline TypedArg cstring(const char* v) {
  TypedArg a{TypedKind::cstring, {}};
  a.s = v;
  return a;
}
inline TypedArg hex(uint32_t v) {
  TypedArg a{TypedKind::hex, {}};
  a.u = v;
  return a;
}
}  // namespace arg

namespace runtime {
// Prints the items one after the other, nothing between them, then flushes.
void print_typed(const TypedArg* items, size_t count);
inline void print(std::initializer_list<TypedArg> items) { print_typed(items.begin(), items.size()); }
// Prints one byte as a one-character string.
void print_char(char c);
}  // namespace runtime

// As runtime::print, followed by a line end.
void print_line(std::initializer_list<TypedArg> items);

namespace platform {
// The single writers behind typed print. Each runs print-hook list 2.
void print_cstring(const char* text);
void print_integer(int32_t value);     // "%i"
void print_hex(uint32_t value);        // "%08X"
void print_hex_byte(uint32_t value);   // "%02X"
void print_float64(double value);      // "%.16g"
void print_float32(float value);       // "%.7g"
}  // namespace platform

namespace print_hook {
// (Hooks of list 1 receive value cells, core/cell.h; this layer only passes
// them on.)
// List 1: prints a value; `newline` asks for a line end after it.
using ValueHook = void (*)(const Cell* value, bool newline);
// List 2: told about each C-string and formatted-number write.
using TextHook = void (*)(const char* text, size_t length, int reserved);

// Start-up: empties both lists (start-up then adds the string printer,
// natives::print_string, to list 1).
void init();
// Appends each non-null callback to its list.
void add(ValueHook value_hook, TextHook text_hook);
// Called by the `print` and `prin` natives.
void run_list1(const Cell* value, bool newline);
void run_list2(const char* text, size_t length);
}  // namespace print_hook

}  // namespace qel
