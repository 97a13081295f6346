// The per-type hashing and key comparison of the hash tables
// (memory/hashtable.h): which words of a cell a key hashes, how strings fold
// case, and when a stored key equals a looked-up one. Keys that compare
// equal must hash alike, so this sits beside the comparison of values.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "memory/hashtable.h"
#include "memory/series.h"

namespace qel::hashtable {

namespace {

// The code points of a string-like cell from its head (at most `limit`).
struct Text {
  const uint8_t* p = nullptr;
  uint32_t unit = 1;
  uint32_t count = 0;
  uint32_t at(uint32_t i) const {
    switch (unit) {
      case 1: return p[i];
      case 2: { uint16_t v; std::memcpy(&v, p + 2 * i, 2); return v; }
      default: { uint32_t v; std::memcpy(&v, p + 4 * i, 4); return v; }
    }
  }
};

bool text_of(const Cell* c, Text* t) {
  if (!memory::is_live_node(c->node())) return false;
  SeriesBuffer* s = memory::series(c->node());
  uint32_t u = s->unit();
  if (u != 1 && u != 2 && u != 4) return false;
  uint64_t from = s->offset + uint64_t{static_cast<uint32_t>(c->head())} * u;
  t->unit = u;
  t->p = s->data() + std::min<uint64_t>(from, s->tail);
  t->count = from >= s->tail ? 0 : static_cast<uint32_t>((s->tail - from) / u);
  if ((c->header & 0xFF) == kLimitedKey && static_cast<int32_t>(c->data3) >= 0)
    t->count = std::min(t->count, c->data3);
  return true;
}

// Upper case through the case tables, with ASCII inline.
inline uint32_t fold(uint32_t cp) {
  if (cp < 0x80) return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
  return fold_case(cp);
}

template <typename Unit>
uint32_t hash_units(const uint8_t* p, uint32_t count, bool case_sensitive) {
  uint32_t h = seed;
  for (uint32_t i = 0; i < count; i++) {
    Unit u;
    std::memcpy(&u, p + i * sizeof(Unit), sizeof(Unit));
    uint32_t cp = u;
    h = mix_block(h, case_sensitive ? cp : fold(cp));
  }
  h ^= count * 4;
  return mix_int(h);
}

uint32_t hash_string(const Cell* c, bool case_sensitive) {
  Text t;
  if (!text_of(c, &t)) return 0;
  switch (t.unit) {
    case 1: return hash_units<uint8_t>(t.p, t.count, case_sensitive);
    case 2: return hash_units<uint16_t>(t.p, t.count, case_sensitive);
    default: return hash_units<uint32_t>(t.p, t.count, case_sensitive);
  }
}

uint32_t hash_symbol(const Cell* c) {
  const uint8_t* bytes;
  uint32_t len;
  if (!symbol_name(c, &bytes, &len)) return 0;
  return murmur3_bytes(bytes, len, true);
}

uint32_t hash_words(const Cell* c, int first, int count) {
  const uint32_t* w = &c->data1 + first;
  return murmur3(w, 4 * static_cast<size_t>(count));
}

}  // namespace

uint32_t hash_value(const Cell* key, bool case_sensitive) {
  uint32_t id = key->header & 0xFF;
  if (id == kLimitedKey) return hash_string(key, case_sensitive);
  switch (static_cast<TypeId>(id)) {
    case TypeId::unset: return static_cast<uint32_t>(-2);
    case TypeId::none: return static_cast<uint32_t>(-1);
    case TypeId::datatype: case TypeId::logic: case TypeId::object: case TypeId::error:
    case TypeId::port:
      return mix_int(key->data1);
    case TypeId::integer: {
      // Runs of consecutive integers are common keys (counters, ids). The
      // eight integers that differ only in their three low bits go to the
      // eight buckets of one aligned group, side by side in memory, so that
      // looking up a run touches one line of buckets per eight keys; the
      // rest of the integer is mixed, so integers further apart (runs,
      // strides, random keys alike) land independently of each other.
      uint32_t k = key->data3;
      return mix_int(k >> 3) ^ (k & 7);
    }
    case TypeId::char_: case TypeId::handle:
      return mix_int(key->data3);
    case TypeId::map: case TypeId::event:
      return mix_int(key->data2);
    case TypeId::native: case TypeId::action:
      return mix_int(key->data3);
    case TypeId::word: case TypeId::set_word: case TypeId::lit_word: case TypeId::get_word:
    case TypeId::refinement: case TypeId::issue:
      return mix_int(resolve_symbol(key->symbol()));
    case TypeId::symbol:
      return hash_symbol(key);
    case TypeId::string: case TypeId::file: case TypeId::url: case TypeId::tag:
    case TypeId::email: case TypeId::ref:
      return hash_string(key, case_sensitive);
    case TypeId::block: case TypeId::paren: case TypeId::path: case TypeId::lit_path:
    case TypeId::set_path: case TypeId::get_path: case TypeId::hash: case TypeId::image:
      return hash_words(key, 0, 2);
    case TypeId::pair:
      return hash_words(key, 1, 2);
    // Keys that compare equal must hash alike, or a map! keeps two of them
    // and misses one looking for the other: a negative zero hashes as zero
    // (-0.0 == 0.0), and a tuple as if without its trailing zeros (1.2.3 ==
    // 1.2.3.0).
    case TypeId::float_: case TypeId::percent: case TypeId::time: {
      Cell c = *key;
      if (c.real() == 0.0) c.set_real(0.0);
      return hash_words(&c, 1, 2);
    }
    case TypeId::point2d: case TypeId::point3d: {
      Cell c = *key;
      for (uint32_t* w : {&c.data1, &c.data2, &c.data3})
        if (*w == 0x80000000u) *w = 0;
      return hash_words(&c, 0, key->is(TypeId::point2d) ? 2 : 3);
    }
    case TypeId::op: case TypeId::function: case TypeId::triple: case TypeId::typeset:
      return hash_words(key, 0, 3);
    case TypeId::tuple: {
      uint32_t n = std::min<uint32_t>((key->header >> 19) & 0xF, 12);
      const auto* bytes = reinterpret_cast<const uint8_t*>(&key->data1);
      while (n > 0 && bytes[n - 1] == 0) n--;
      return murmur3(bytes, n);
    }
    case TypeId::binary: {
      if (!memory::is_live_node(key->node())) return 0;
      SeriesBuffer* s = memory::series(key->node());
      uint64_t from = s->offset + uint64_t{static_cast<uint32_t>(key->head())};
      if (from >= s->tail) return murmur3(s->data(), 0);
      return murmur3(s->data() + from, s->tail - from);
    }
    case TypeId::money: {
      // The sign flag (bit 14) is part of the value; other header flags are not.
      Cell c = *key;
      c.header &= 0xFF | 0x4000;
      return murmur3(&c, sizeof c);
    }
    default:
      return hash_other ? hash_other(key, case_sensitive) : 0;
  }
}

bool default_compare(const Cell* stored, const Cell* key, CompareOp op) {
  TypeId t = stored->type();
  bool limited = (key->header & 0xFF) == kLimitedKey;
  if (t != key->type() && !limited) return false;
  bool exact = op == CompareOp::strict_equal || op == CompareOp::same ||
               op == CompareOp::case_sort || op == CompareOp::parse_strict_equal;
  if (is_any_string(t) || limited) {
    if (op == CompareOp::same) return stored->node() == key->node() && stored->head() == key->head();
    Text a, b;
    if (!text_of(stored, &a) || !text_of(key, &b) || a.count != b.count) return false;
    if (a.unit == b.unit && std::memcmp(a.p, b.p, size_t{a.count} * a.unit) == 0) return true;
    if (exact && a.unit == b.unit) return false;
    for (uint32_t i = 0; i < a.count; i++) {
      uint32_t x = a.at(i), y = b.at(i);
      if (x != y && (exact || fold(x) != fold(y))) return false;
    }
    return true;
  }
  if (t == TypeId::binary && op != CompareOp::same) {
    Text a, b;
    if (!text_of(stored, &a) || !text_of(key, &b) || a.count != b.count || a.unit != 1) return false;
    return std::memcmp(a.p, b.p, a.count) == 0;
  }
  if (is_any_word(t) && op != CompareOp::same) {
    if (exact) return stored->symbol() == key->symbol();
    return resolve_symbol(stored->symbol()) == resolve_symbol(key->symbol());
  }
  return stored->data1 == key->data1 && stored->data2 == key->data2 && stored->data3 == key->data3;
}

}  // namespace qel::hashtable
