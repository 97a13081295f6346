// Base-N encoders and decoders (bases 2, 16, 58, 64) and the work of the
// `enbase` and `debase` natives.
#include "datatypes/base_n.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "memory/series.h"
#include "memory/unicode.h"
#include "values/errors.h"
#include "values/logic.h"
#include "values/string.h"

namespace qel::base_n {

namespace {

constexpr char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kInvalid = 0x80;

// 128-entry decoding tables: a digit value, kSkip (backspace, tab, line
// feed, form feed, carriage return, space, apostrophe) or kInvalid.
struct Tables {
  uint8_t b58[128], b64[128], b16[128];
  Tables() {
    std::memset(b58, kInvalid, sizeof b58);
    std::memset(b64, kInvalid, sizeof b64);
    std::memset(b16, 0xFF, sizeof b16);
    for (uint8_t c : {8, 9, 10, 12, 13, 32, 39}) b58[c] = b64[c] = kSkip;
    for (int i = 0; i < 58; i++) b58[static_cast<uint8_t>(kBase58[i])] = static_cast<uint8_t>(i);
    for (int i = 0; i < 64; i++) b64[static_cast<uint8_t>(kBase64[i])] = static_cast<uint8_t>(i);
    for (int i = 0; i < 10; i++) b16['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; i++) b16['A' + i] = b16['a' + i] = static_cast<uint8_t>(10 + i);
  }
};
const Tables tables;

// Reads the characters of a text, skipping ";" comments (to the next line
// feed, inclusive, or the end).
struct Reader {
  const uint8_t* text;
  int32_t count;
  uint32_t unit;
  int32_t i = 0;
  // The next character outside comments, or -1 at the end.
  int64_t next() {
    while (i < count) {
      uint32_t c = string::get_char(text + (static_cast<size_t>(i) << string::unit_shift(unit)), unit);
      i++;
      if (c != ';') return c;
      while (i < count) {
        uint32_t d = string::get_char(text + (static_cast<size_t>(i) << string::unit_shift(unit)), unit);
        i++;
        if (d == '\n') break;
      }
    }
    return -1;
  }
};

Node to_node(const std::vector<uint8_t>& bytes) {
  Cell b;
  binary::make_from(&b, bytes.data(), bytes.size());
  return b.node();
}

}  // namespace

int64_t encoded_size(int64_t n, int32_t base) {
  int64_t size;
  switch (base) {
    case 64: size = 4 * (n / 3) + (4 * (n % 3)) / 3 + 2 * (n / 32) + 5; break;
    case 58: size = 2 * n; break;
    case 16: size = 2 * n + n / 32 + 32; break;
    case 2: size = 8 * n + 2 * (n / 8) + 4; break;
    default: return 0;
  }
  return size > 0x7FFFFFFF ? -1 : size;
}

// --- encoders

uint8_t* encode_base2(uint8_t* out, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; i++)
    for (int bit = 7; bit >= 0; bit--) *out++ = ((bytes[i] >> bit) & 1) ? '1' : '0';
  return out;
}

uint8_t* encode_base16(uint8_t* out, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; i++) {
    *out++ = static_cast<uint8_t>(kHex[bytes[i] >> 4]);
    *out++ = static_cast<uint8_t>(kHex[bytes[i] & 15]);
  }
  return out;
}

// Base 58 works on the number in 32-bit limbs and 5 digits at a time (58^5
// fits 30 bits, so a limb step stays within 64 bits): the conversion is
// still quadratic in the length, as every change of base between these two
// is, but with about 20 times fewer steps than one byte and one digit at a
// time.
constexpr uint32_t kBase58Chunk = 656356768;  // 58^5

uint8_t* encode_base58(uint8_t* out, const uint8_t* bytes, size_t n) {
  size_t zeros = 0;
  while (zeros < n && bytes[zeros] == 0) zeros++;
  // The number after the leading zero bytes, most significant limb first
  // (the first limb takes the bytes that do not fill a whole one).
  const size_t m = n - zeros;
  std::vector<uint32_t> limbs((m + 3) / 4);
  size_t at = zeros;
  for (size_t i = 0; i < limbs.size(); i++) {
    const size_t take = i == 0 && m % 4 ? m % 4 : 4;
    uint32_t v = 0;
    for (size_t k = 0; k < take; k++) v = (v << 8) | bytes[at++];
    limbs[i] = v;
  }
  const size_t area = 2 * n + 8;
  std::vector<uint8_t> digits(area);
  size_t w = area;  // digits are written backwards from the end
  size_t first = 0;
  while (first < limbs.size()) {
    uint64_t rem = 0;
    for (size_t i = first; i < limbs.size(); i++) {
      const uint64_t acc = (rem << 32) | limbs[i];
      limbs[i] = static_cast<uint32_t>(acc / kBase58Chunk);
      rem = acc % kBase58Chunk;
    }
    for (int k = 0; k < 5; k++) {
      digits[--w] = static_cast<uint8_t>(kBase58[rem % 58]);
      rem /= 58;
    }
    while (first < limbs.size() && limbs[first] == 0) first++;
  }
  while (w < area && digits[w] == '1') w++;
  for (size_t i = 0; i < zeros; i++) *out++ = '1';
  if (w < area) std::memcpy(out, digits.data() + w, area - w);
  return out + (area - w);
}

uint8_t* encode_base64(uint8_t* out, const uint8_t* bytes, size_t n) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *out++ = static_cast<uint8_t>(kBase64[v >> 18]);
    *out++ = static_cast<uint8_t>(kBase64[(v >> 12) & 63]);
    *out++ = static_cast<uint8_t>(kBase64[(v >> 6) & 63]);
    *out++ = static_cast<uint8_t>(kBase64[v & 63]);
  }
  if (n - i == 1) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    *out++ = static_cast<uint8_t>(kBase64[v >> 18]);
    *out++ = static_cast<uint8_t>(kBase64[(v >> 12) & 63]);
    *out++ = '=';
    *out++ = '=';
  } else if (n - i == 2) {
    uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    *out++ = static_cast<uint8_t>(kBase64[v >> 18]);
    *out++ = static_cast<uint8_t>(kBase64[(v >> 12) & 63]);
    *out++ = static_cast<uint8_t>(kBase64[(v >> 6) & 63]);
    *out++ = '=';
  }
  return out;
}

// --- decoders

Node decode_base2(const uint8_t* text, int32_t count, uint32_t unit) {
  Reader r{text, count, unit};
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  for (int64_t c; (c = r.next()) >= 0;) {
    if (c <= 32) continue;
    if (c != '0' && c != '1') return 0;
    acc = (acc << 1) | static_cast<uint32_t>(c - '0');
    if (++bits == 8) {
      out.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      bits = 0;
    }
  }
  if (bits != 0) return 0;
  return to_node(out);
}

Node decode_base16(const uint8_t* text, int32_t count, uint32_t unit) {
  Reader r{text, count, unit};
  std::vector<uint8_t> out;
  int pending = -1;
  for (int64_t c; (c = r.next()) >= 0;) {
    if (c <= 32) continue;
    // Only ASCII digits: a code point above 127 is not cut down to one.
    if (c > 127 || tables.b16[c] > 15) return 0;
    const int d = tables.b16[c];
    if (pending < 0) {
      pending = d;
    } else {
      out.push_back(static_cast<uint8_t>((pending << 4) | d));
      pending = -1;
    }
  }
  return to_node(out);  // a final unpaired digit is dropped
}

Node decode_base58(const uint8_t* text, int32_t count, uint32_t unit) {
  Reader r{text, count, unit};
  std::vector<uint8_t> digits;
  for (int64_t c; (c = r.next()) >= 0;) {
    if (c > 127) break;  // ends the text
    const uint8_t v = tables.b58[c];
    if (v == kInvalid) return 0;
    if (v == kSkip) continue;
    digits.push_back(v);
  }
  size_t zeros = 0;
  while (zeros < digits.size() && digits[zeros] == 0) zeros++;
  // Base 58 to base 2^32, most significant first: each step multiplies what
  // is there by 58^k and adds the next k digits (k = 5, the first chunk
  // taking what does not fill a whole one).
  std::vector<uint32_t> limbs;  // little-endian while building
  for (size_t i = zeros; i < digits.size();) {
    const size_t left = digits.size() - i;
    const size_t k = i == zeros && left % 5 ? left % 5 : 5;
    uint64_t carry = 0, mul = 1;
    for (size_t j = 0; j < k; j++, i++) {
      carry = carry * 58 + digits[i];
      mul *= 58;
    }
    for (uint32_t& limb : limbs) {
      const uint64_t acc = uint64_t{limb} * mul + carry;
      limb = static_cast<uint32_t>(acc);
      carry = acc >> 32;
    }
    while (carry) {
      limbs.push_back(static_cast<uint32_t>(carry));
      carry >>= 32;
    }
  }
  std::vector<uint8_t> out(zeros, 0);
  bool started = false;  // the top limb's leading zero bytes are no bytes
  for (size_t i = limbs.size(); i-- > 0;) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      const uint8_t b = static_cast<uint8_t>(limbs[i] >> shift);
      if (!started && b == 0) continue;
      started = true;
      out.push_back(b);
    }
  }
  return to_node(out);
}

Node decode_base64(const uint8_t* text, int32_t count, uint32_t unit) {
  Reader r{text, count, unit};
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int have = 0;  // characters of the current group
  for (int64_t c; (c = r.next()) >= 0;) {
    if (c == '=') {
      if (have == 3) {
        out.push_back(static_cast<uint8_t>(acc >> 10));
        out.push_back(static_cast<uint8_t>(acc >> 2));
      } else if (have == 2) {
        out.push_back(static_cast<uint8_t>(acc >> 4));
      } else {
        return 0;
      }
      return to_node(out);
    }
    if (c > 127) return 0;  // never an index past the table
    const uint8_t v = tables.b64[c];
    if (v == kSkip) continue;
    if (v == kInvalid) return 0;
    acc = (acc << 6) | v;
    if (++have == 4) {
      out.push_back(static_cast<uint8_t>(acc >> 16));
      out.push_back(static_cast<uint8_t>(acc >> 8));
      out.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      have = 0;
    }
  }
  return to_node(out);  // an unfinished group without "=" is dropped
}

// --- the natives' work

namespace {

int32_t base_of(const Cell* base) {
  if (!base) return 64;
  int32_t b = base->is(TypeId::integer) ? base->integer() : 0;
  if (b != 2 && b != 16 && b != 58 && b != 64) fire(ErrorCode::script_invalid_arg, base);
  return b;
}

}  // namespace

Cell* enbase(const Cell* value, const Cell* base_cell, Cell* out) {
  const int32_t base = base_of(base_cell);
  std::vector<uint8_t> utf8;
  const uint8_t* bytes;
  size_t n;
  if (value->is(TypeId::binary)) {
    bytes = binary::rs_head(value);
    n = static_cast<size_t>(binary::rs_length(value));
  } else {
    std::string s = unicode::to_utf8_string(value);
    utf8.assign(s.begin(), s.end());
    bytes = utf8.data();
    n = utf8.size();
  }
  const int64_t size = encoded_size(static_cast<int64_t>(n), base);
  if (size < 0) fire(ErrorCode::script_too_long);
  // The input may lie in a series buffer: keep it while allocating.
  std::vector<uint8_t> input(bytes, bytes + n);
  string::rs_make_at(out, static_cast<uint32_t>(size));
  SeriesBuffer* b = string::buffer(out);
  uint8_t* start = b->data() + b->offset;
  uint8_t* end;
  switch (base) {
    case 2: end = encode_base2(start, input.data(), n); break;
    case 16: end = encode_base16(start, input.data(), n); break;
    case 58: end = encode_base58(start, input.data(), n); break;
    default: end = encode_base64(start, input.data(), n); break;
  }
  b->tail = b->offset + static_cast<uint32_t>(end - start);
  return out;
}

Cell* debase(const Cell* value, const Cell* base_cell, Cell* out) {
  const int32_t base = base_of(base_cell);
  Cell v = *value;
  const int32_t count = string::rs_length_q(&v);
  const uint32_t unit = string::buffer(&v)->unit();
  const uint8_t* text = string::rs_head(&v);
  Node node;
  switch (base) {
    case 2: node = decode_base2(text, count, unit); break;
    case 16: node = decode_base16(text, count, unit); break;
    case 58: node = decode_base58(text, count, unit); break;
    default: node = decode_base64(text, count, unit); break;
  }
  if (!node)
    set_none(out);
  else
    set_series(out, TypeId::binary, node);
  return out;
}

}  // namespace qel::base_n
