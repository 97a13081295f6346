// The symbol table: interning, aliases, string forms and symbol!.
//
// The index from names to ids is a hash table of the symbol kind over the
// symbol block (memory/hashtable.h): names hash ASCII-lowered, so every case
// variant of a name shares one probe sequence.
#include "values/symbol.h"

#include <cstring>
#include <string>

#include "memory/collector.h"
#include "memory/hashtable.h"
#include "memory/series.h"
#include "values/datatype.h"
#include "memory/root.h"
#include "datatypes/string.h"

namespace qel::symbol {

Node block_node = 0;

namespace {

Node index = 0;  // the hash table over the symbol block

void mark_index() {
  if (index) hashtable::mark(index);
}

uint32_t resolve_for_tables(uint32_t id) { return resolve(id); }

SymbolId intern(std::string_view name, hashtable::Case c) {
  return static_cast<SymbolId>(hashtable::find_or_add_symbol(
      index, reinterpret_cast<const uint8_t*>(name.data()), static_cast<int32_t>(name.size()), c));
}

}  // namespace

void init() {
  if (block_node) return;
  block_node = memory::alloc_cells(4000);
  Cell blk;
  set_series(&blk, TypeId::block, block_node);
  root::append(blk);
  index = hashtable::init(4000, &blk, hashtable::Kind::symbol, 1);
  collector::add_mark_callback(mark_index);
  hashtable::resolve_symbol = resolve_for_tables;
}

bool ready() { return block_node != 0; }

uint32_t count() { return memory::series(block_node)->length(); }

SymbolId make(std::string_view name) { return intern(name, hashtable::Case::sensitive); }

SymbolId find_nocase(std::string_view name) { return intern(name, hashtable::Case::insensitive); }

SymbolId make_from_string(const Cell* str) {
  std::string utf8;
  string::to_utf8(str, utf8);
  return make(utf8);
}

Cell* cell(SymbolId id) { return memory::series(block_node)->cells() + (id - 1); }

void ensure_cache(Cell* sym) {
  if (sym->data2) return;
  const SeriesBuffer* nb = memory::series(sym->data3);
  std::string_view text(reinterpret_cast<const char*>(nb->data() + nb->offset), nb->used_bytes());
  Cell s;
  string::load_at(text.data(), text.size(), &s, 0);
  sym->data2 = s.node();  // the symbol block does not move while loading
}

Cell* get(SymbolId id) {
  Cell* c = cell(id);
  if (!c->data2) {
    ensure_cache(c);
    c = cell(id);
  }
  return c;
}

Node string_node(SymbolId id) { return get(id)->data2; }

int32_t alias(SymbolId id) { return static_cast<int32_t>(cell(id)->data1); }

std::string_view name(SymbolId id) {
  const SeriesBuffer* nb = memory::series(cell(id)->data3);
  return {reinterpret_cast<const char*>(nb->data() + nb->offset), nb->used_bytes()};
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::symbol)) return kNotComparable;
  // Compare the names through their string forms.
  Cell a, b;
  ensure_cache(value1);
  ensure_cache(value2);
  set_series(&a, TypeId::string, value1->data2);
  set_series(&b, TypeId::string, value2->data2);
  return string::compare_values(&a, &b, op);
}

void register_() {
  static constexpr ActionRow symbol_row{.compare = compare};
  datatype::register_type(TypeId::symbol, TypeId::none_id, "symbol!", symbol_row);
}

}  // namespace qel::symbol
