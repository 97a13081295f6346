// The QELBIN encoder's working state, shared by the codec's entry points
// (services/qelbin_encode.cpp) and the boot-data writer (services/
// qelbin_boot.cpp). Other modules use services/qelbin.h.
//
// The encoder writes records into a byte vector and keeps:
//   - the symbol list (each symbol written gets the next index; the names
//     area and, for the fixed variant, the offsets are built alongside);
//   - the position counter (the index of the next value inside the
//     container being written) and the path stack (the counters of the
//     enclosing containers);
//   - the table of written values: for each series, context, object and
//     function written in full, the path of its first occurrence (the path
//     stack and its own position), so that a later occurrence, or a cycle,
//     is written as a reference path.
// Boot mode tracks nothing (boot values share nothing) and writes a word
// bound to a root object with that object's root index.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "services/qelbin.h"
#include "core/cell.h"
#include "values/symbol.h"

namespace qel::qelbin::detail {

class Encoder {
 public:
  Encoder(Variant variant, Mode mode) : compact_(variant == Variant::compact), mode_(mode) {}

  // Writes one value and advances the position counter.
  void value(const Cell* v);
  // Boot data: a record that sets a global word to the next value.
  void set_word(const Cell* word, const Cell* value);
  // Boot data: words bound to this context are written with the root index.
  void note_root_object(Node ctx, uint32_t root) { roots_[ctx] = root; }
  // The whole buffer: header, symbol table, records.
  std::vector<uint8_t> finish(uint32_t record_count, uint8_t version) const;

 private:
  bool compact_;
  Mode mode_;
  std::vector<uint8_t> out_;
  uint32_t line_ = 0;  // fixed: the new-line bit for the next header word

  std::vector<SymbolId> symbols_;
  std::unordered_map<SymbolId, uint32_t> symbol_index_;
  std::string names_;
  std::vector<uint32_t> offsets_;

  uint32_t position_ = 0;
  std::vector<uint32_t> path_stack_;
  std::vector<uint32_t> paths_;  // count, indexes; count, indexes ...
  std::unordered_map<Node, uint32_t> written_;  // key -> offset in paths_
  std::vector<Node> open_errors_;
  std::unordered_map<Node, uint32_t> roots_;
  int32_t depth_ = 0;
  bool global_words_ = false;  // an error's call trace: names, not bindings
  std::unordered_map<Node, bool> writable_;  // owner context -> can be written

  // --- bytes
  void put8(uint8_t b) { out_.push_back(b); }
  void put32(uint32_t w);
  void uvar(uint32_t u);
  void unsigned_field(uint32_t u);
  void signed_field(int32_t i);
  void raw(const uint8_t* p, size_t n);
  void real(double d);
  void header(TypeId t, bool flag, uint32_t bits = 0);
  uint32_t symbol(SymbolId sym);

  // --- paths
  const uint32_t* find(Node key) const;
  void begin(Node key);
  void end();
  void path(const uint32_t* p);

  // --- records
  void record(const Cell* v);
  void number(const Cell* v);
  void word(const Cell* v);
  void global_word(const Cell* v);
  bool writable(Node ctx, const Cell* owner);
  void block(const Cell* v);
  void map(const Cell* v);
  void text(const Cell* v);
  void bitset(const Cell* v);
  void image(const Cell* v);
  void object(const Cell* v);
  void object_fields(const Cell* obj);
  void function(const Cell* v);
  void function_fields(const Cell* fn);
  void context_body(Node ctx, bool as_record);
  void builtin(const Cell* v);
  void op(const Cell* v);
  void error(const Cell* v);
  [[noreturn]] void no_codec(const Cell* v);
};

}  // namespace qel::qelbin::detail
