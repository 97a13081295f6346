// Error raising. Placeholder `fire`: records the code and arguments in the
// thrown value and throws level::error. The error! object, the catalog in
// system/catalog/errors and the report replace it.
#include "values/errors.h"

#include "runtime/unwind.h"

namespace qel {

namespace {
struct CatalogRow {
  ErrorCode code;
  const char* id;
  const char* tmpl;
};
constexpr CatalogRow kCatalog[] = {
#define X(category, name, id, code, tmpl) {ErrorCode::name, id, tmpl},
#include "values/error_catalog.def"
#undef X
};
}  // namespace

const char* error_id_name(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.id;
  return nullptr;
}

const char* error_template(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.tmpl;
  return nullptr;
}

void fire(ErrorCode code, const Cell*, const Cell*, const Cell*) {
  set_integer(&unwind::thrown_value, static_cast<int32_t>(code));
  unwind::throw_level(level::error);
}

}  // namespace qel
