// Ownership tracking: the hook through which every series modifier tells the
// object that owns a series about a change, before and after it.
//
// A modifier calls `check` with the present-tense event before it changes
// anything; when that reports an owner was told, it calls `check` again after
// the change with the past-tense event. An owner's handler may run Qel code,
// so a modifier re-reads lengths and buffers after a `check` that returned
// true.
//
// An object that has an `on-deep-change*` handler owns the series in its
// fields (and, recursively, the series and objects inside them): a change to
// such a series through any reference reaches the handler. Owned series
// buffers carry series_flag::owned, so `check` on an unowned series is one
// flag test. The registry is weak: entries go when their series or their
// owner dies.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "memory/series.h"

namespace qel {

// The fixed change events, in before/after pairs. The Qel word of each is
// the text in the list (note the spellings "put-ed" and "swaped").
#define QEL_OWNER_EVENT_LIST(X) \
  X(append, "append")           \
  X(appended, "appended")       \
  X(insert, "insert")           \
  X(inserted, "inserted")       \
  X(change, "change")           \
  X(changed, "changed")         \
  X(clear, "clear")             \
  X(cleared, "cleared")         \
  X(poke, "poke")               \
  X(poked, "poked")             \
  X(remove, "remove")           \
  X(removed, "removed")         \
  X(reverse, "reverse")         \
  X(reversed, "reversed")       \
  X(take, "take")               \
  X(taken, "taken")             \
  X(move, "move")               \
  X(moved, "moved")             \
  X(random, "random")           \
  X(randomized, "randomized")   \
  X(sort, "sort")               \
  X(sorted, "sorted")           \
  X(put, "put")                 \
  X(put_ed, "put-ed")           \
  X(swap, "swap")               \
  X(swaped, "swaped")           \
  X(trim, "trim")               \
  X(trimmed, "trimmed")         \
  X(uppercase, "uppercase")     \
  X(lowercase, "lowercase")

enum class OwnerEvent : uint8_t {
#define QEL_X(name, text) name,
  QEL_OWNER_EVENT_LIST(QEL_X)
#undef QEL_X
};

// The Qel word text of an event ("put-ed").
const char* owner_event_name(OwnerEvent e);

namespace ownership {

// Tells the owner of `value` (a series, bitset or object) about a change:
// the event, its argument value (null: none), the index it applies at and
// the count of items. Answers true when an owner was told.
// (An unowned series, the common case, is one flag test made in line; the
// rest is check_owner's.)
bool check_owner(const Cell* value, OwnerEvent event, const Cell* argument, int32_t index,
                 int32_t part);
inline bool check(const Cell* value, OwnerEvent event, const Cell* argument, int32_t index,
                  int32_t part) {
  const TypeId t = value->type();
  if (is_any_block(t) || is_any_string(t) || t == TypeId::binary || t == TypeId::vector ||
      t == TypeId::image || t == TypeId::bitset) {
    const Node key = value->data2;
    if (!key || !(memory::series(key)->flags & series_flag::owned)) [[likely]]
      return false;
  }
  return check_owner(value, event, argument, index, part);
}

// The owner object cell of the series or object keyed by `key`, or null.
const Cell* find_owner(Node key);

// Records `owner` (an object) as the owner of `value` and of everything
// inside it, through `field` (a word; null: none). For an object value each
// of its fields is recorded under its own word (an object that owns series
// itself is not entered); then the owner's context cell gets
// cell_flag::owned. A block held twice, or holding itself, is recorded once.
void set_owner(const Cell* value, const Cell* owner, const Cell* field);

// Removes the ownership of `value` and of everything inside it.
void unbind(const Cell* value);

// Start-up: the registry and its sweep callback.
void init();

// The number of live registry entries (for tests).
int32_t entry_count();

}  // namespace ownership
}  // namespace qel
