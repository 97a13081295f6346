// email!: a user part, "@" and a host part. It molds as its bare text and
// gives access to its two halves by path (email/user, email/host).
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::email {

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// An integer! element picks or sets a character; the words `user` and
// `host` read the parts as new strings or replace them in place; anything
// else raises script `invalid-path`.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
void register_();

}  // namespace qel::email
