// Unicode codecs and string widening: see unicode.h.
//
// The hot loops (ASCII runs when loading UTF-8 and when encoding strings)
// move 16 bytes at a time with SSE2 and fall back to one character at a time
// at the first byte that needs more care.
#include "text/unicode.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.h"

namespace qel::unicode {

namespace {

// The UTF-8 automaton: 256 bytes map each byte to a class 0-11, then 108
// bytes of transitions indexed by state + class (states are multiples of 12;
// 0 accepts, 12 rejects).
constexpr uint8_t kAccept = 0;
constexpr uint8_t kReject = 12;
constexpr uint8_t kUtf8Dfa[256 + 108] = {
    // classes of 0x00-0x7F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x80-0x8F, 0x90-0x9F
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    // 0xA0-0xBF
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    // 0xC0-0xDF
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    // 0xE0-0xEF, 0xF0-0xFF
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    // transitions
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12, 12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
};

// Raises `invalid-utf8` with a binary! of the next bytes (at most 4, never
// more than `avail`).
[[noreturn]] void fire_invalid_utf8(const uint8_t* p, uint32_t avail) {
  uint32_t k = std::min<uint32_t>(avail, 4);
  Node node = memory::alloc_bytes(k);
  SeriesBuffer* b = memory::series(node);
  std::memcpy(b->data(), p, k);
  b->tail = b->offset + k;
  Cell arg;
  set_series(&arg, TypeId::binary, node);
  fire(ErrorCode::access_invalid_utf8, &arg);
}

[[noreturn]] void fire_invalid_char(uint32_t cp) {
  Cell arg;
  set_integer(&arg, static_cast<int32_t>(cp));
  fire(ErrorCode::script_invalid_char, &arg);
}

// The characters of a string cell from its head: buffer, first unit, count.
struct StringView {
  SeriesBuffer* buf;
  const uint8_t* units;
  uint32_t count;
  uint32_t unit;
};

StringView view_of(const Cell* str, int32_t limit) {
  SeriesBuffer* s = memory::series(str->node());
  uint32_t unit = s->unit();
  uint32_t len = s->length();
  uint32_t head = str->head() < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(str->head()), len);
  uint32_t count = len - head;
  if (limit >= 0 && static_cast<uint32_t>(limit) < count) count = static_cast<uint32_t>(limit);
  return {s, s->head_ptr() + uint64_t{head} * unit, count, unit};
}

// The string's conversion buffer with room for `bytes` bytes, made or
// expanded as needed. The cell keeps its node in its third payload word.
SeriesBuffer* conversion_buffer(Cell* str, uint64_t bytes) {
  Node n = str->extra_node();
  if (n == kNoNode) {
    n = memory::alloc_bytes(bytes);
    str->data3 = n;
  }
  SeriesBuffer* b = memory::series(n);
  if (uint64_t{b->offset} + bytes > b->size) {
    b = memory::expand_series_buffer(b, bytes);
  }
  b->tail = b->offset;
  return b;
}

#if defined(__SSE2__)
// Bit i set when byte i of v is 0x80 or more, or (with `cr`) equals `cr`.
inline unsigned special_bytes(__m128i v, bool check, uint8_t c) {
  unsigned m = static_cast<unsigned>(_mm_movemask_epi8(v));
  if (check) m |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c)))));
  return m;
}
#endif

}  // namespace

// --- decoding ------------------------------------------------------------

const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp) {
  uint32_t b = *p;
  if (b < 0x80) {
    *cp = static_cast<int32_t>(b);
    return p + 1;
  }
  uint32_t type = kUtf8Dfa[b];
  uint32_t code = (0xFFu >> type) & b;
  uint32_t state = kUtf8Dfa[256 + type];
  const uint8_t* q = p + 1;
  while (state != kAccept) {
    if (state == kReject) {
      *cp = -1;
      return q == p + 1 ? q : q - 1;
    }
    if (q == end) {
      *cp = -1;
      return end;
    }
    b = *q++;
    type = kUtf8Dfa[b];
    code = (b & 0x3Fu) | (code << 6);
    state = kUtf8Dfa[256 + state + type];
  }
  *cp = static_cast<int32_t>(code);
  return q;
}

uint32_t count_utf8_chars(const uint8_t* start, const uint8_t* end) {
  uint32_t n = 0;
  int32_t cp;
  while (start < end) {
    if (*start < 0x80) {
      start++;
    } else {
      start = fast_decode_utf8_char(start, end, &cp);
    }
    n++;
  }
  return n;
}

const uint8_t* skip_utf8_chars(const uint8_t* start, const uint8_t* end, uint32_t n) {
  int32_t cp;
  while (n > 0 && start < end) {
    start = fast_decode_utf8_char(start, end, &cp);
    n--;
  }
  return start;
}

int32_t decode_utf8_sequence(const uint8_t* p, uint32_t avail, uint32_t* len) {
  const uint32_t b = p[0];
  *len = 1;
  if (b < 0x80) return static_cast<int32_t>(b);
  // C0 and C1 lead only overlong forms, F5 and up only values above 0x10FFFF.
  if (b < 0xC2 || b > 0xF4) return kUtf8Malformed;
  const uint32_t need = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  // The second byte settles the rest: after E0 and F0 its low values make
  // overlong forms, after F4 its high ones values above 0x10FFFF, and after
  // ED the values B0-B3 make U+DC00-U+DCFF.
  uint32_t low = 0x80, high = 0xBF;
  if (b == 0xE0) low = 0xA0;
  else if (b == 0xF0) low = 0x90;
  else if (b == 0xF4) high = 0x8F;
  for (uint32_t k = 1; k < need && k < avail; k++) {
    const uint32_t c = p[k];
    const bool fits = k == 1 ? c >= low && c <= high && !(b == 0xED && c >= 0xB0 && c <= 0xB3)
                             : (c & 0xC0) == 0x80;
    if (!fits) return kUtf8Malformed;
  }
  if (avail < need) {
    *len = 0;
    return kUtf8CutOff;
  }
  uint32_t cp;
  if (need == 2) {
    cp = (b & 0x1Fu) << 6 | (p[1] & 0x3Fu);
  } else if (need == 3) {
    cp = (b & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    if (cp == 0xFFFE) return kUtf8Malformed;
  } else {
    cp = (b & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
  }
  *len = need;
  return static_cast<int32_t>(cp);
}

int32_t decode_utf8_char_checked(const uint8_t* p, uint32_t* count) {
  const uint32_t avail = *count;
  if (avail == 0) return -1;
  uint32_t len;
  const int32_t cp = decode_utf8_sequence(p, avail, &len);
  if (cp == kUtf8Malformed) fire_invalid_utf8(p, avail);
  *count = len;
  return cp < 0 ? -1 : cp;
}

size_t utf8_valid_prefix(const uint8_t* p, size_t n) {
  const uint8_t* s = p;
  const uint8_t* end = p + n;
  int32_t cp;
  while (s < end) {
#if defined(__SSE2__)
    while (end - s >= 16 && _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))) == 0) s += 16;
    if (s == end) break;
#endif
    if (*s < 0x80) {
      s++;
      continue;
    }
    const uint8_t* next = fast_decode_utf8_char(s, end, &cp);
    if (cp < 0) break;
    s = next;
  }
  return static_cast<size_t>(s - p);
}

// --- encoding UTF-8 ------------------------------------------------------

int utf8_char_length(uint32_t cp) {
  if (cp <= 0x7F) return 1;
  if (cp <= 0x7FF) return 2;
  if (cp <= 0xFFFF) return 3;
  if (cp <= kMaxCodePoint) return 4;
  fire_invalid_char(cp);
}

uint64_t utf8_size(const uint8_t* start, const uint8_t* end, uint32_t unit) {
  uint64_t n = 0;
  for (const uint8_t* p = start; p + unit <= end; p += unit) n += static_cast<uint64_t>(utf8_char_length(read_unit(p, unit)));
  return n;
}

int encode_utf8_char(uint32_t cp, uint8_t* dst) {
  if (cp <= 0x7F) {
    dst[0] = static_cast<uint8_t>(cp);
    return 1;
  }
  if (cp <= 0x7FF) {
    dst[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
    dst[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp <= 0xFFFF) {
    dst[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    dst[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 3;
  }
  if (cp <= kMaxCodePoint) {
    dst[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    dst[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    dst[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
  }
  fire_invalid_char(cp);
}

int encode_utf8_char_bounded(uint32_t cp, uint8_t* dst, uint32_t room) {
  uint8_t tmp[4];
  int n = encode_utf8_char(cp, tmp);
  int k = std::min<int>(n, static_cast<int>(std::min<uint32_t>(room, 4)));
  std::memcpy(dst, tmp, static_cast<size_t>(k));
  return k;
}

namespace {

// Encodes units of one size; the ASCII runs go 16 units at a time.
template <uint32_t U>
size_t encode_units(const uint8_t* src, size_t count, uint8_t* dst, bool crlf) {
  uint8_t* out = dst;
  size_t i = 0;
  while (i < count) {
#if defined(__SSE2__)
    if constexpr (U == 1) {
      while (count - i >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        if (special_bytes(v, crlf, kLF) != 0) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        i += 16;
        out += 16;
      }
    } else if constexpr (U == 2) {
      while (count - i >= 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 2));
        // Any bit above the low 7 of a unit makes it non-ASCII.
        __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
        __m128i packed = _mm_packus_epi16(v, v);
        if (crlf && (_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_set1_epi8(kLF))) & 0xFF) != 0) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
        i += 8;
        out += 8;
      }
    } else {
      while (count - i >= 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4 + 16));
        __m128i high = _mm_or_si128(a, b);
        __m128i bits = _mm_and_si128(high, _mm_set1_epi32(~0x7F));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(bits, _mm_setzero_si128())) != 0xFFFF) break;
        __m128i w = _mm_packs_epi32(a, b);
        __m128i packed = _mm_packus_epi16(w, w);
        if (crlf && (_mm_movemask_epi8(_mm_cmpeq_epi8(packed, _mm_set1_epi8(kLF))) & 0xFF) != 0) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
        i += 8;
        out += 8;
      }
    }
    if (i == count) break;
#endif
    uint32_t cp = read_unit(src + i * U, U);
    i++;
    if (cp < 0x80) {
      if (cp == kLF && crlf) *out++ = kCR;
      *out++ = static_cast<uint8_t>(cp);
    } else {
      out += encode_utf8_char(cp, out);
    }
  }
  return static_cast<size_t>(out - dst);
}

}  // namespace

size_t encode_units_utf8(const uint8_t* units, size_t count, uint32_t unit, uint8_t* dst, LineBreaks lb) {
  bool crlf = lb == LineBreaks::convert;
  if (unit == 1) return encode_units<1>(units, count, dst, crlf);
  if (unit == 2) return encode_units<2>(units, count, dst, crlf);
  return encode_units<4>(units, count, dst, crlf);
}

void append_utf8(std::string& out, const uint8_t* units, size_t count, uint32_t unit, LineBreaks lb) {
  size_t old = out.size();
  out.resize(old + max_utf8_bytes(count, unit, lb));
  size_t n = encode_units_utf8(units, count, unit, reinterpret_cast<uint8_t*>(out.data()) + old, lb);
  out.resize(old + n);
}

std::string to_utf8_string(const Cell* str, int32_t limit, LineBreaks lb) {
  StringView v = view_of(str, limit);
  std::string out;
  append_utf8(out, v.units, v.count, v.unit, lb);
  return out;
}

const char* to_utf8_part(Cell* str, int32_t* length, LineBreaks lb) {
  StringView v = view_of(str, *length);
  // The conversion buffer is a different series: making or growing it does
  // not move the string's own buffer.
  SeriesBuffer* b = conversion_buffer(str, max_utf8_bytes(uint64_t{v.count} + 1, v.unit, lb));
  uint8_t* dst = b->head_ptr();
  size_t n = encode_units_utf8(v.units, v.count, v.unit, dst, lb);
  dst[n] = 0;
  b->tail = b->offset + static_cast<uint32_t>(n);
  *length = static_cast<int32_t>(n);
  return reinterpret_cast<const char*>(dst);
}

const char* to_utf8(Cell* str, int32_t* length) { return to_utf8_part(str, length, LineBreaks::keep); }

uint32_t encode_utf8_into(const Cell* str, uint8_t* dst, int32_t limit, Terminate nul) {
  StringView v = view_of(str, limit);
  size_t n = encode_units_utf8(v.units, v.count, v.unit, dst, LineBreaks::keep);
  if (nul == Terminate::nul) dst[n] = 0;
  return static_cast<uint32_t>(n);
}

uint32_t encode_utf8_bounded(const Cell* str, uint8_t* dst, uint32_t room, int32_t limit, Terminate nul) {
  StringView v = view_of(str, limit <= 0 ? -1 : limit);
  uint32_t n = 0;
  if (nul == Terminate::nul) {
    if (room == 0) return 0;
    room--;
  }
  for (uint32_t i = 0; i < v.count && n < room; i++) {
    uint32_t cp = read_unit(v.units + uint64_t{i} * v.unit, v.unit);
    if (cp < 0x80) {
      dst[n++] = static_cast<uint8_t>(cp);
    } else {
      n += static_cast<uint32_t>(encode_utf8_char_bounded(cp, dst + n, room - n));
    }
  }
  if (nul == Terminate::nul) dst[n] = 0;
  return n;
}

// --- UTF-16LE ------------------------------------------------------------

int encode_utf16_char(uint32_t cp, uint8_t* dst) {
  if (cp < 0x10000) {
    dst[0] = static_cast<uint8_t>(cp);
    dst[1] = static_cast<uint8_t>(cp >> 8);
    return 1;
  }
  if (cp > kMaxCodePoint) return 0;
  uint32_t hi = 0xD800 | ((cp - 0x10000) >> 10);
  uint32_t lo = 0xDC00 | (cp & 0x3FF);
  dst[0] = static_cast<uint8_t>(hi);
  dst[1] = static_cast<uint8_t>(hi >> 8);
  dst[2] = static_cast<uint8_t>(lo);
  dst[3] = static_cast<uint8_t>(lo >> 8);
  return 2;
}

const uint8_t* to_utf16_part(Cell* str, int32_t* length, LineBreaks lb) {
  StringView v = view_of(str, *length);
  bool crlf = lb == LineBreaks::convert;
  // Room for the worst case: every character two units, plus the NUL.
  uint64_t per = (v.unit == 1 && !crlf) ? 2 : 4;
  SeriesBuffer* b = conversion_buffer(str, per * v.count + 2);
  uint8_t* dst = b->head_ptr();
  uint8_t* out = dst;
  if (v.unit == 2 && !crlf) {
    std::memcpy(out, v.units, uint64_t{v.count} * 2);
    out += uint64_t{v.count} * 2;
  } else {
    for (uint32_t i = 0; i < v.count; i++) {
      uint32_t cp = read_unit(v.units + uint64_t{i} * v.unit, v.unit);
      if (cp == kLF && crlf) {
        out[0] = kCR;
        out[1] = 0;
        out += 2;
      }
      int k = encode_utf16_char(cp, out);
      if (k == 0) return nullptr;
      out += 2 * k;
    }
  }
  out[0] = 0;
  out[1] = 0;
  uint32_t units = static_cast<uint32_t>(out - dst) / 2;
  b->tail = b->offset + units * 2;
  *length = static_cast<int32_t>(units);
  return dst;
}

const uint8_t* to_utf16(Cell* str, int32_t* units) {
  int32_t len = -1;
  const uint8_t* r = to_utf16_part(str, &len, LineBreaks::convert);
  if (units) *units = len;
  return r;
}

// --- widening ------------------------------------------------------------

namespace {

// Converts n units from `from` bytes to `to` bytes, last first, so that it
// may run in place when the destination does not start above the source.
void convert_units_down(const uint8_t* src, uint32_t from, uint8_t* dst, uint32_t to, uint32_t n) {
  for (uint32_t i = n; i-- > 0;) write_unit(dst + uint64_t{i} * to, to, read_unit(src + uint64_t{i} * from, from));
}

}  // namespace

SeriesBuffer* widen(SeriesBuffer* s, uint32_t to, uint64_t room_units) {
  uint32_t from = s->unit();
  if (to <= from) return s;
  uint32_t u = (s->tail - s->offset) / from;
  uint64_t want = std::max<uint64_t>(uint64_t{u} + 1, room_units) * to;
  // Keep the head aligned to the new unit: the data area is 8-aligned, so an
  // offset that is a multiple of the unit aligns every unit. Rounding the
  // head up keeps the in-place conversion (last unit first) safe: unit i is
  // never written below where unit i is read.
  uint32_t new_offset = (s->offset + to - 1) & ~(to - 1);
  if (uint64_t{new_offset} + want > s->size) {
    const uint8_t* src = s->head_ptr();
    SeriesBuffer* n = memory::expand_series_buffer(s, want);
    convert_units_down(src, from, n->head_ptr(), to, u);
    n->flags = (n->flags & ~series_flag::unit_mask) | to;
    n->tail = n->offset + u * to;
    return n;
  }
  convert_units_down(s->head_ptr(), from, s->data() + new_offset, to, u);
  s->offset = new_offset;
  s->tail = new_offset + u * to;
  s->flags = (s->flags & ~series_flag::unit_mask) | to;
  return s;
}

// --- loading UTF-8 -------------------------------------------------------

namespace {

enum class Stop : uint8_t { done, cut_off, widen };

struct LoadState {
  const uint8_t* src;
  uint32_t n;
  uint32_t i;          // next source byte
  uint8_t* out;        // first unit of the target
  uint32_t w;          // characters written
  bool crlf;
  uint32_t pending;    // code point that needs a wider unit
  bool written;        // Accept::written
};

// The code point of a surrogate or U+FFFE in the 3-byte form the encoder
// gives it, else -1 (the one rule takes the other surrogates too).
int32_t decode_written_form(const uint8_t* p, uint32_t avail) {
  if (avail < 3 || (p[2] & 0xC0) != 0x80) return -1;
  if ((p[0] == 0xED && p[1] >= 0xA0 && p[1] <= 0xBF) || (p[0] == 0xEF && p[1] == 0xBF && p[2] == 0xBE))
    return static_cast<int32_t>((p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu));
  return -1;
}

// Decodes into units of U until the end, a cut-off sequence or a code point
// that U cannot hold. Capacity: the target holds at least n units of U, and
// a load never writes more characters than it consumed bytes.
template <uint32_t U>
Stop load_loop(LoadState& st) {
  const uint8_t* src = st.src;
  const uint32_t n = st.n;
  uint32_t i = st.i;
  uint32_t w = st.w;
  uint8_t* out = st.out;
  Stop result = Stop::done;
  while (i < n) {
#if defined(__SSE2__)
    while (n - i >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      if (special_bytes(v, st.crlf, kCR) != 0) break;
      if constexpr (U == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w), v);
      } else if constexpr (U == 2) {
        __m128i z = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w * 2), _mm_unpacklo_epi8(v, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w * 2 + 16), _mm_unpackhi_epi8(v, z));
      } else {
        __m128i z = _mm_setzero_si128();
        __m128i lo = _mm_unpacklo_epi8(v, z);
        __m128i hi = _mm_unpackhi_epi8(v, z);
        uint8_t* o = out + w * 4;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(lo, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi16(lo, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 32), _mm_unpacklo_epi16(hi, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 48), _mm_unpackhi_epi16(hi, z));
      }
      i += 16;
      w += 16;
    }
    if (i == n) break;
#endif
    uint32_t cp = src[i];
    if (cp < 0x80) {
      i++;
      if (cp == kCR && st.crlf) {
        if (i < n && src[i] == kLF) continue;  // CR LF: the LF follows
        cp = kLF;
      }
    } else if (cp >= 0xC2 && cp <= 0xDF && i + 1 < n && (src[i + 1] & 0xC0) == 0x80) {
      // Two-byte sequences (accented Latin letters and the like) inline.
      cp = (cp & 0x1F) << 6 | (src[i + 1] & 0x3Fu);
      i += 2;
      if (unit_for(cp) > U) {
        st.pending = cp;
        result = Stop::widen;
        break;
      }
    } else {
      uint32_t count = n - i;
      int32_t c = st.written ? decode_written_form(src + i, count) : -1;
      if (c >= 0)
        count = 3;
      else
        c = decode_utf8_char_checked(src + i, &count);
      if (c < 0) {
        result = Stop::cut_off;
        break;
      }
      i += count;
      cp = static_cast<uint32_t>(c);
      if (unit_for(cp) > U) {
        st.pending = cp;
        result = Stop::widen;
        break;
      }
    }
    write_unit(out + uint64_t{w} * U, U, cp);
    w++;
  }
  st.i = i;
  st.w = w;
  return result;
}

}  // namespace

Node load_utf8(const uint8_t* src, uint32_t n, Node target, uint32_t* unconsumed, LineBreaks lb,
               Accept accept) {
  if (unconsumed) *unconsumed = 0;
  uint64_t room = std::max<uint32_t>(n, 1);
  SeriesBuffer* s;
  if (target != kNoNode) {
    s = memory::series(target);
    if (uint64_t{s->offset} + room * s->unit() > s->size) s = memory::expand_series_buffer(s, room * s->unit());
  } else {
    target = memory::alloc_series(room, 1);
    s = memory::series(target);
  }
  s->tail = s->offset;
  if (n == 0) return target;

  LoadState st{src, n, 0, nullptr, 0, lb == LineBreaks::convert, 0, accept == Accept::written};
  if (n >= 3 && src[0] == 0xEF && src[1] == 0xBB && src[2] == 0xBF) st.i = 3;
  for (;;) {
    uint32_t unit = s->unit();
    st.out = s->head_ptr();
    Stop stop = unit == 1 ? load_loop<1>(st) : unit == 2 ? load_loop<2>(st) : load_loop<4>(st);
    s->tail = s->offset + st.w * unit;
    if (stop == Stop::done) break;
    if (stop == Stop::cut_off) {
      if (unconsumed) *unconsumed = n - st.i;
      break;
    }
    // A wider code point: widen what is there, with room for the rest.
    s = widen(s, unit_for(st.pending), room);
    write_unit(s->head_ptr() + uint64_t{st.w} * s->unit(), s->unit(), st.pending);
    st.w++;
    s->tail += s->unit();
  }
  return target;
}

Node load_utf8_into(const uint8_t* src, uint32_t n, Cell* str, uint32_t* unconsumed) {
  return load_utf8(src, n, str->node(), unconsumed, LineBreaks::keep);
}

Node load_utf8_string(const uint8_t* src, uint32_t n) { return load_utf8(src, n, kNoNode, nullptr, LineBreaks::keep); }

// --- loading UTF-16LE ----------------------------------------------------

Node load_utf16le(const uint8_t* src, uint32_t n, Cell* str, LineBreaks lb) {
  if (src == nullptr) {
    if (str == nullptr || str->extra_node() == kNoNode) {
      n = 0;
    } else {
      SeriesBuffer* conv = memory::series(str->extra_node());
      src = conv->head_ptr();
      n = std::min<uint32_t>(n, (conv->size - conv->offset) / 2);
    }
  }
  auto unit_at = [src](uint32_t k) { return static_cast<uint32_t>(src[2 * k]) | static_cast<uint32_t>(src[2 * k + 1]) << 8; };
  uint32_t unit = 1;
  for (uint32_t k = 0; k < n; k++) {
    uint32_t hi = src[2 * k + 1];
    if (hi >= 0xD8 && hi <= 0xDF) {
      unit = 4;
      break;
    }
    if (hi != 0) unit = 2;
  }
  uint64_t room = std::max<uint32_t>(n, 1);
  SeriesBuffer* s;
  Node node;
  if (str != nullptr) {
    node = str->node();
    s = memory::series(node);
    if (uint64_t{s->offset} + room * unit > s->size) s = memory::expand_series_buffer(s, room * unit);
    // The content is replaced, so the unit may change either way; keep the
    // head aligned to it.
    s->offset &= ~(unit - 1);
    s->flags = (s->flags & ~series_flag::unit_mask) | unit;
  } else {
    node = memory::alloc_series(room, unit);
    s = memory::series(node);
  }
  s->flags |= series_flag::utf16;
  uint8_t* out = s->head_ptr();
  bool crlf = lb == LineBreaks::convert;
  uint32_t w = 0;
  for (uint32_t k = 0; k < n; k++) {
    uint32_t cp = unit_at(k);
    if (cp == kCR && crlf) {
      if (k + 1 < n && unit_at(k + 1) == kLF) continue;
      cp = kLF;
    } else if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < n) {
      uint32_t lo = unit_at(k + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = (((cp & 0x3FF) << 10) | (lo & 0x3FF)) + 0x10000;
        k++;
      }
    }
    // A lone surrogate stays as its own code point.
    write_unit(out + uint64_t{w} * unit, unit, cp);
    w++;
  }
  s->tail = s->offset + w * unit;
  return node;
}

}  // namespace qel::unicode
