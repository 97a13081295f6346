// Ownership tracking. No value is owned yet: `check` tells nobody and every
// lookup finds nothing, so modifiers take their unowned path.
#include "values/ownership.h"

namespace qel {

const char* owner_event_name(OwnerEvent e) {
  static constexpr const char* kNames[] = {
#define QEL_X(name, text) text,
      QEL_OWNER_EVENT_LIST(QEL_X)
#undef QEL_X
  };
  return kNames[static_cast<int>(e)];
}

namespace ownership {

bool check(const Cell*, OwnerEvent, const Cell*, int32_t, int32_t) { return false; }

const Cell* find_owner(Node) { return nullptr; }

void set_owner(const Cell*, const Cell*, const Cell*) {}

void unbind(const Cell*) {}

}  // namespace ownership
}  // namespace qel
