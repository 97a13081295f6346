// Helpers shared by the object! sources (object.cpp, object_actions.cpp,
// object_events.cpp) and error!: not part of the object interface.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/symbol.h"

namespace qel::object::detail {

// The symbol of a fixed name, interned on first use into `slot`.
SymbolId cached_symbol(SymbolId& slot, std::string_view name);
// Case-insensitive identity of two symbols.
bool same_symbol(SymbolId a, SymbolId b);

// The types a deep object copy copies; the types `make` carries from a
// prototype as copies.
bool copied_deep(TypeId t);
bool carried_by_make(TypeId t);

// Replaces the function! value at the index of an object context by a copy
// whose body is bound to that context (script `bad-func-def` when the
// function has no body).
void rebind_function(Node ctx, int32_t index);
// Replaces every value of the types `which` accepts by a deep copy, binding
// copies of any-block values to the context when `rebind_blocks` is set;
// with `rebind_functions`, function! values are rebound as well.
enum class Functions : bool { keep, rebind };
void carry_series(Node ctx, bool (*which)(TypeId), bool rebind_blocks, Functions functions);

}  // namespace qel::object::detail
