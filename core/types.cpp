// Names of the datatypes, indexed by type id.
#include "core/types.h"

namespace qel {

const char* type_name(TypeId type) {
  switch (type) {
#define QEL_X(name, id, text) \
  case TypeId::name:          \
    return text;
    QEL_TYPE_LIST(QEL_X)
#undef QEL_X
    default:
      return nullptr;
  }
}

}  // namespace qel
