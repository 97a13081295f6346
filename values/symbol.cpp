// The symbol table: interning, aliases, string forms and symbol!.
//
// The index from names to ids is kept beside the symbol block: one map for
// exact spellings and one from the ASCII-lowered spelling to the canonical
// (first-interned) id. Both live for the whole run, like the symbols.
#include "values/symbol.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "memory/series.h"
#include "values/datatype.h"
#include "values/root.h"
#include "values/string.h"

namespace qel::symbol {

Node block_node = 0;

namespace {

std::unordered_map<std::string, SymbolId>* exact_index = nullptr;
std::unordered_map<std::string, SymbolId>* folded_index = nullptr;

std::string ascii_lower(std::string_view name) {
  std::string s(name);
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch | 0x20);
  return s;
}

SymbolId add(std::string_view name, int32_t alias_id) {
  Node name_node = memory::alloc_bytes(name.size() + 1);
  SeriesBuffer* nb = memory::series(name_node);
  std::memcpy(nb->data(), name.data(), name.size());
  nb->data()[name.size()] = 0;
  nb->tail = nb->offset + static_cast<uint32_t>(name.size());

  Cell* c = append_slot(block_node);
  *c = Cell{static_cast<uint32_t>(TypeId::symbol), static_cast<uint32_t>(alias_id), 0, name_node};
  SymbolId id = count();
  exact_index->emplace(std::string(name), id);
  if (alias_id < 0) folded_index->emplace(ascii_lower(name), id);
  return id;
}

}  // namespace

void init() {
  if (block_node) return;
  block_node = memory::alloc_cells(4000);
  Cell blk;
  set_series(&blk, TypeId::block, block_node);
  root::append(blk);
  exact_index = new std::unordered_map<std::string, SymbolId>();
  folded_index = new std::unordered_map<std::string, SymbolId>();
  exact_index->reserve(8000);
  folded_index->reserve(8000);
}

bool ready() { return block_node != 0; }

uint32_t count() { return memory::series(block_node)->length(); }

SymbolId make(std::string_view name) {
  if (auto it = exact_index->find(std::string(name)); it != exact_index->end()) return it->second;
  auto folded = folded_index->find(ascii_lower(name));
  return add(name, folded == folded_index->end() ? -1 : static_cast<int32_t>(folded->second));
}

SymbolId find_nocase(std::string_view name) {
  auto folded = folded_index->find(ascii_lower(name));
  if (folded != folded_index->end()) return folded->second;
  return add(name, -1);
}

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
