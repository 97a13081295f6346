// issue!: construction from text, characters and words; "#" molding; word
// comparison between issues only.
#include "datatypes/issue.h"

#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "values/context.h"
#include "memory/root.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::issue {

namespace {
Cell* make_for_symbol(Cell* c, SymbolId sym) {
  return set_word_cell(c, TypeId::issue, context::global, sym, -1);
}
}  // namespace

Cell* make_at(Cell* c, std::string_view name) { return make_for_symbol(c, symbol::make(name)); }

Cell* make_in(Node block, std::string_view name) {
  const SymbolId sym = symbol::make(name);  // may grow the symbol block: intern first
  return make_for_symbol(append_slot(block), sym);
}

Cell* push(std::string_view name) {
  const SymbolId sym = symbol::make(name);
  if (word::recording_q()) {
    // Start-up keeps the issues it makes alive in the root block.
    Cell issue;
    make_for_symbol(&issue, sym);
    return root::cell_at(root::append(issue));
  }
  return make_for_symbol(stack::push_slot(), sym);
}

Cell* push_word(const Cell* word) {
  Cell* c = stack::push(word);
  c->set_type(TypeId::issue);
  return c;
}

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  switch (spec->type()) {
    case TypeId::string: return make_for_symbol(proto, symbol::make_from_string(spec));
    case TypeId::char_: {
      uint8_t utf8[4];
      const int n = unicode::encode_utf8_char(static_cast<uint32_t>(spec->integer()), utf8);
      return make_at(proto, std::string_view(reinterpret_cast<const char*>(utf8), n));
    }
    case TypeId::word:
    case TypeId::set_word:
    case TypeId::lit_word:
    case TypeId::get_word:
    case TypeId::refinement:
    case TypeId::issue:
      *proto = *spec;
      proto->set_type(type);
      return proto;
    default: {
      Cell* result = word::make(proto, spec, type);
      result->set_type(type);
      return result;
    }
  }
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  limit = string::emit(buffer, "#", limit);
  return word::form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (!b->is(TypeId::issue)) return kNotComparable;
  return word::compare(a, b, op);
}

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .to = make,
      .form = inherit,
      .mold = mold,
      .compare = compare,
  };
  datatype::register_type(TypeId::issue, TypeId::word, "issue!", row);
}

}  // namespace qel::issue
