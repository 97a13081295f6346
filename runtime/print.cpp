// Typed print, the number writers and the print hooks.
#include "runtime/print.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/output.h"
#include "runtime/startup_slots.h"

namespace qel {

namespace platform {

namespace {
// Writes formatted text and tells list 2 about it.
void write_text(const char* text, size_t length) {
  output::write_utf8(text, length);
  print_hook::run_list2(text, length);
}

template <class T>
void print_formatted(const char* format, T value) {
  char number[64];
  int n = std::snprintf(number, sizeof number, format, value);
  if (n <= 0) return;
  size_t length = static_cast<size_t>(n);
  write_text(number, length < sizeof number ? length : sizeof number - 1);
}
}  // namespace

void print_cstring(const char* text) { write_text(text, std::strlen(text)); }
void print_integer(int32_t value) { print_formatted("%i", value); }
void print_hex(uint32_t value) { print_formatted("%08X", value); }
void print_hex_byte(uint32_t value) { print_formatted("%02X", value); }
void print_float64(double value) { print_formatted("%.16g", value); }
void print_float32(float value) { print_formatted("%.7g", static_cast<double>(value)); }

}  // namespace platform

namespace runtime {

namespace {
void print_item(const TypedArg& a) {
  switch (a.kind) {
    case TypedKind::logic:
      platform::print_cstring(a.u ? "true" : "false");
      break;
    case TypedKind::integer:
      platform::print_integer(a.i);
      break;
    case TypedKind::byte: {
      char s[2] = {static_cast<char>(a.u), 0};
      platform::print_cstring(s);
      break;
    }
    case TypedKind::float32:
      platform::print_float32(a.f);
      break;
    case TypedKind::float64:
      platform::print_float64(a.d);
      break;
    case TypedKind::cstring:
      platform::print_cstring(a.s);
      break;
    default:
      platform::print_hex(a.u);
      break;
  }
}
}  // namespace

void print_typed(const TypedArg* items, size_t count) {
  gui::before_print();
  for (size_t i = 0; i < count; ++i) print_item(items[i]);
  std::fflush(nullptr);
  output::flush();
  gui::after_print();
}

void print_char(char c) { print({arg::byte(c)}); }

}  // namespace runtime

void print_line(std::initializer_list<TypedArg> items) {
  gui::before_print();
  for (const TypedArg& a : items) runtime::print_item(a);
  output::write_line_end();
  std::fflush(nullptr);
  output::flush();
  gui::after_print();
}

namespace print_hook {

namespace {
std::vector<ValueHook> list1;
std::vector<TextHook> list2;
}  // namespace

void init() {
  list1.clear();
  list2.clear();
  list1.reserve(5);
  list2.reserve(5);
}

void add(ValueHook value_hook, TextHook text_hook) {
  if (value_hook) list1.push_back(value_hook);
  if (text_hook) list2.push_back(text_hook);
}

void run_list1(const Cell* value, bool newline) {
  for (ValueHook h : list1) h(value, newline);
}

void run_list2(const char* text, size_t length) {
  for (TextHook h : list2) h(text, length, 0);
}

}  // namespace print_hook

}  // namespace qel
