// Base-N encoders and decoders (bases 2, 16, 58, 64) and the work of the
// `enbase` and `debase` natives.
#include "datatypes/base_n.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"

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

// Base 58 changes the base of the whole number: the bytes, as 32-bit limbs,
// become limbs of 58^5 (5 digits each), and back, digits as limbs of 58^5
// become limbs of 2^28. A change of base one limb at a time is quadratic (a
// megabyte took minutes), so the limbs are split in two, each half changed
// alone, and the high half multiplied by the source base to the power of
// the low half's length; with Karatsuba's multiplication that costs about
// n^1.6.
constexpr uint32_t kBase58Chunk = 656356768;  // 58^5

namespace {

// Numbers in radix R, limbs least significant first. The schoolbook
// product adds kRows rows of limb products in 64 bits before it carries
// (carrying is a chain of divisions, slower than the products): 42 rows for
// 58^5, 255 for 2^28.
template <uint32_t R>
struct Radix {
  static_assert(R <= (1u << 30));
  using Limbs = std::vector<uint32_t>;
  static constexpr uint64_t kRows = (~uint64_t{0} - (uint64_t{1} << 40)) / (uint64_t{R - 1} * (R - 1));
  static constexpr size_t kSmall = 40;  // schoolbook up to this many limbs

  static void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
  }

  // r += a << (at limbs); r grows as needed.
  static void add_at(Limbs& r, const uint32_t* a, size_t n, size_t at) {
    if (r.size() < at + n) r.resize(at + n, 0);
    uint32_t carry = 0;
    size_t i = 0;
    for (; i < n; i++) {
      const uint32_t t = r[at + i] + a[i] + carry;
      carry = t >= R;
      r[at + i] = t - (R & (0u - carry));  // no branch: carries come at random
    }
    for (size_t k = at + i; carry; k++) {
      if (k == r.size()) r.push_back(0);
      const uint32_t t = r[k] + carry;
      carry = t >= R;
      r[k] = t - (R & (0u - carry));
    }
  }

  // r -= a, where r >= a.
  static void subtract(Limbs& r, const Limbs& a) {
    uint32_t borrow = 0;
    for (size_t i = 0; i < r.size() && (i < a.size() || borrow); i++) {
      const uint32_t s = (i < a.size() ? a[i] : 0) + borrow;
      borrow = r[i] < s;
      r[i] = r[i] - s + (R & (0u - borrow));
    }
  }

  static Limbs schoolbook(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
    std::vector<uint64_t> acc(na + nb + 1, 0);
    auto normalise = [&] {
      uint64_t carry = 0;
      for (uint64_t& v : acc) {
        v += carry;
        carry = v / R;
        v %= R;
      }
    };
    for (size_t i = 0; i < na; i++) {
      const uint64_t ai = a[i];
      for (size_t j = 0; j < nb; j++) acc[i + j] += ai * b[j];
      if (i % kRows == kRows - 1) normalise();
    }
    normalise();
    Limbs r(acc.begin(), acc.end());
    trim(r);
    return r;
  }

  static Limbs mul(const uint32_t* a, size_t na, const uint32_t* b, size_t nb) {
    while (na && !a[na - 1]) na--;
    while (nb && !b[nb - 1]) nb--;
    if (na < nb) {
      std::swap(a, b);
      std::swap(na, nb);
    }
    if (nb == 0) return {};
    if (nb <= kSmall) return schoolbook(a, na, b, nb);
    const size_t m = (na + 1) / 2;
    if (nb <= m) {
      // Lopsided: a in pieces of b's length.
      Limbs r;
      for (size_t at = 0; at < na; at += nb) {
        const Limbs part = mul(a + at, std::min(nb, na - at), b, nb);
        add_at(r, part.data(), part.size(), at);
      }
      trim(r);
      return r;
    }
    // Karatsuba: (a1 x + a0)(b1 x + b0) with x = R^m.
    Limbs z0 = mul(a, m, b, m);
    Limbs z2 = mul(a + m, na - m, b + m, nb - m);
    Limbs sa(a, a + m), sb(b, b + m);
    add_at(sa, a + m, na - m, 0);
    add_at(sb, b + m, nb - m, 0);
    Limbs z1 = mul(sa.data(), sa.size(), sb.data(), sb.size());
    subtract(z1, z0);
    subtract(z1, z2);
    trim(z1);
    Limbs r = std::move(z0);
    add_at(r, z1.data(), z1.size(), m);
    add_at(r, z2.data(), z2.size(), 2 * m);
    trim(r);
    return r;
  }

  // The number whose limbs in radix `from` (at most 2^32) are src[0, n), in
  // radix R. powers[j] caches from^(2^j).
  static Limbs convert(const uint32_t* src, size_t n, uint64_t from, std::vector<Limbs>& powers) {
    if (n <= kSmall) {
      Limbs r;
      for (size_t i = n; i-- > 0;) {
        uint64_t carry = src[i];
        for (uint32_t& limb : r) {
          const uint64_t t = limb * from + carry;
          limb = static_cast<uint32_t>(t % R);
          carry = t / R;
        }
        for (; carry; carry /= R) r.push_back(static_cast<uint32_t>(carry % R));
      }
      return r;
    }
    size_t j = 0;
    while ((size_t{2} << j) < n) j++;  // 2^j < n <= 2^(j+1)
    while (powers.size() <= j) {
      if (powers.empty()) {
        Limbs p;
        for (uint64_t v = from; v; v /= R) p.push_back(static_cast<uint32_t>(v % R));
        powers.push_back(std::move(p));
      } else {
        const Limbs& q = powers.back();
        powers.push_back(mul(q.data(), q.size(), q.data(), q.size()));
      }
    }
    const size_t k = size_t{1} << j;
    const Limbs low = convert(src, k, from, powers);
    const Limbs high = convert(src + k, n - k, from, powers);
    Limbs r = mul(high.data(), high.size(), powers[j].data(), powers[j].size());
    add_at(r, low.data(), low.size(), 0);
    trim(r);
    return r;
  }
};

}  // namespace

uint8_t* encode_base58(uint8_t* out, const uint8_t* bytes, size_t n) {
  size_t zeros = 0;
  while (zeros < n && bytes[zeros] == 0) zeros++;
  for (size_t i = 0; i < zeros; i++) *out++ = '1';
  // The number after the leading zero bytes as 32-bit limbs, least
  // significant first.
  std::vector<uint32_t> limbs((n - zeros + 3) / 4, 0);
  for (size_t i = 0; i < n - zeros; i++)
    limbs[i / 4] |= uint32_t{bytes[n - 1 - i]} << (8 * (i % 4));
  std::vector<std::vector<uint32_t>> powers;
  const std::vector<uint32_t> chunks =
      Radix<kBase58Chunk>::convert(limbs.data(), limbs.size(), uint64_t{1} << 32, powers);
  // Five digits a chunk, the top one without its leading zero digits.
  for (size_t i = chunks.size(); i-- > 0;) {
    uint8_t five[5];
    uint32_t v = chunks[i];
    for (int k = 4; k >= 0; k--, v /= 58) five[k] = static_cast<uint8_t>(kBase58[v % 58]);
    int k = 0;
    if (i == chunks.size() - 1)
      while (k < 4 && five[k] == '1') k++;
    for (; k < 5; k++) *out++ = five[k];
  }
  return out;
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
  // The digits after the leading zeros as limbs of 58^5, least significant
  // first, then as limbs of 2^28.
  std::vector<uint32_t> chunks;
  for (size_t end = digits.size(); end > zeros;) {
    const size_t start = end - zeros >= 5 ? end - 5 : zeros;
    uint32_t v = 0;
    for (size_t i = start; i < end; i++) v = v * 58 + digits[i];
    chunks.push_back(v);
    end = start;
  }
  std::vector<std::vector<uint32_t>> powers;
  const std::vector<uint32_t> limbs =
      Radix<(1u << 28)>::convert(chunks.data(), chunks.size(), kBase58Chunk, powers);
  // The bytes, least significant first, then turned around.
  std::vector<uint8_t> out;
  uint64_t acc = 0;
  int bits = 0;
  for (uint32_t limb : limbs) {
    acc |= uint64_t{limb} << bits;
    for (bits += 28; bits >= 8; bits -= 8, acc >>= 8) out.push_back(static_cast<uint8_t>(acc));
  }
  if (acc) out.push_back(static_cast<uint8_t>(acc));
  while (!out.empty() && out.back() == 0) out.pop_back();
  out.resize(out.size() + zeros, 0);
  std::reverse(out.begin(), out.end());
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
