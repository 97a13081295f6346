// triple!: an internal value of three signed 32-bit integers. The parse
// engine (parse/parse.h) keeps its bookkeeping on its rules stack in
// triples (repetition bounds, saved positions); the type exists so that
// such cells can sit in blocks and be printed. Qel offers no way to make
// one: the type has no make or to, and every action but form, mold and
// compare is unsupported (compare lets blocks that hold triples be searched
// and compared, as the rules stack given to a trace callback does).
//
// Cell: type 31; data1, data2, data3 = the three integers, in order.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "core/types.h"

namespace qel::triple {

inline int32_t first(const Cell* c) { return static_cast<int32_t>(c->data1); }
inline int32_t second(const Cell* c) { return static_cast<int32_t>(c->data2); }
inline int32_t third(const Cell* c) { return static_cast<int32_t>(c->data3); }
// Writes a triple into a cell (whole cell).
inline Cell* make_at(Cell* c, int32_t a, int32_t b, int32_t d) {
  *c = Cell{static_cast<uint32_t>(TypeId::triple), static_cast<uint32_t>(a),
            static_cast<uint32_t>(b), static_cast<uint32_t>(d)};
  return c;
}

// form and mold (one worker): "make triple! [a b c]".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);

// Equal when the three integers are; ordered by the first integer, then the
// second, then the third. -2 for a value of another type.
int32_t compare(Cell* a, Cell* b, CompareOp op);

// Registers triple! (no parent type).
void register_();

}  // namespace qel::triple
