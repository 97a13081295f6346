// The cycle guard's stack and its repeated-value markers.
#include "core/cycle_guard.h"

#include "runtime/startup_slots.h"
#include "core/errors.h"

namespace qel::cycle_guard {

namespace {
constexpr uint32_t kNoPartner = 0;  // no node or context is 0
uint32_t entries[kCapacity];
uint32_t partners[kCapacity];  // the second identity of a compared pair
uint32_t top = 0;              // next free entry
bool refusing = false;         // a Refuse scope is open
}  // namespace

void push(uint32_t id) { push_pair(id, kNoPartner); }

void push_pair(uint32_t id1, uint32_t id2) {
  partners[top] = id2;
  entries[top++] = id1;
  if (top == kCapacity) {
    top = 0;
    fire(ErrorCode::internal_too_deep);
  }
}

void pop() {
  if (top > 0) top--;
}

void drop(uint32_t n) { top = n < top ? top - n : 0; }

void init() { top = 0; }

void reset() { top = 0; }

bool find(uint32_t id) {
  for (uint32_t i = 0; i < top; i++)
    if (entries[i] == id) return true;
  return false;
}

bool find_pair(uint32_t id1, uint32_t id2) {
  for (uint32_t i = 0; i < top; i++)
    if (entries[i] == id1 && partners[i] == id2) return true;
  return false;
}

uint32_t depth() { return top; }

std::string_view repeated_marker(const Cell* value, Output out) {
  if (!find(identity(value))) return {};
  if (refusing) fire(ErrorCode::internal_no_cycle);
  std::string_view marker = "...";
  if (out == Output::mold) {
    switch (value->type()) {
      case TypeId::block:
      case TypeId::hash:
        marker = "[...]";
        break;
      case TypeId::paren:
        marker = "(...)";
        break;
      case TypeId::map:
        marker = "#[...]";
        break;
      case TypeId::object:
        marker = "make object! [...]";
        break;
      case TypeId::error:
        marker = "make error! [...]";
        break;
      default:
        break;
    }
  }
  return marker;
}

Refuse::Refuse() : was_(refusing) { refusing = true; }
Refuse::~Refuse() { refusing = was_; }

}  // namespace qel::cycle_guard
