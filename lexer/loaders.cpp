// The lexer's token loaders for words and text: words of every kind, issues,
// refinements, strings in their three forms (quoted, braced, raw), escapes,
// characters, files, urls, emails, tags, refs, binaries in bases 2, 16 and 64,
// construction syntax, and the slots for the literals whose datatypes register
// later (tuple, date, pair, point, time, money). Numbers are in
// numbers.cpp.
//
// A loader gets a token's byte range and flag word and either only checks it
// (Check::only) or appends its value to the cell stack (Check::load). Each
// sets `input` to where scanning resumes. Failures go through `throw_error`
// with the datatype the syntax error names.
#include <cstring>
#include <string_view>

#include "lexer/engine.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "values/datatype.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::lexer {

namespace {

[[noreturn]] void fail(LexerState& s, uint32_t start, uint32_t end, TypeId kind) {
  throw_error(s, start, end, kind);
}

TypeId scanned_or(const LexerState& s, TypeId fallback) {
  return s.scanned > 0 ? static_cast<TypeId>(s.scanned) : fallback;
}

int hex_value(uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  return -1;
}

uint8_t lower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b + 32) : b; }

bool equal_nocase(const uint8_t* a, uint32_t len, const char* name) {
  uint32_t n = static_cast<uint32_t>(std::strlen(name));
  if (n != len) return false;
  for (uint32_t i = 0; i < n; i++)
    if (lower(a[i]) != lower(static_cast<uint8_t>(name[i]))) return false;
  return true;
}

// --- escapes

struct EscapeName {
  const char* name;
  uint32_t value;
};
constexpr EscapeName kEscapeNames[] = {{"null", 0},  {"back", 8}, {"tab", 9},  {"line", 10},
                                       {"page", 12}, {"esc", 27}, {"del", 127}};

// `lexer/decode-escape`: the text after a "^" at `p`. Returns the code point,
// or -1 for an invalid escape; `*next` receives the position after it.
int32_t decode_escape(const uint8_t* t, uint32_t p, uint32_t end, uint32_t* next) {
  if (p >= end) return -1;
  uint8_t b = t[p];
  if (b == '(') {
    uint32_t q = p + 1;
    while (q < end && t[q] != ')' && q - p <= 7) q++;
    if (q >= end || t[q] != ')') return -1;
    uint32_t len = q - (p + 1);
    const uint8_t* c = t + p + 1;
    *next = q + 1;
    if (len == 0) return -1;
    bool all_hex = true;
    for (uint32_t i = 0; i < len; i++) all_hex = all_hex && hex_value(c[i]) >= 0;
    if (all_hex && len <= 2) return hex_value(c[0]) * (len == 2 ? 16 : 1) + (len == 2 ? hex_value(c[1]) : 0);
    for (const EscapeName& e : kEscapeNames)
      if (equal_nocase(c, len, e.name)) return static_cast<int32_t>(e.value);
    if (all_hex && len <= 6) {
      uint32_t v = 0;
      for (uint32_t i = 0; i < len; i++) v = v * 16 + static_cast<uint32_t>(hex_value(c[i]));
      // Above U+10FFFF a code point has no UTF-8 form: invalid.
      return v > 0x10FFFF ? -1 : static_cast<int32_t>(v);
    }
    return -1;
  }
  *next = p + 1;
  switch (b) {
    case '"': return '"';
    case '-': return '\t';
    case '/': return '\n';
    case '^': return '^';
    case '{': return '{';
    case '}': return '}';
    case '~': return 127;
    case '@': return 0;
    default: break;
  }
  if (b >= 'a' && b <= 'z') return b - 'a' + 1;
  if (b >= 'A' && b <= '_') return b - 64;
  uint32_t len = 1;
  int32_t cp = decode_utf8(t, p, end, &len);
  *next = p + len;
  return cp;
}

// Reads one character of text at `p` (decoding escapes when asked); returns
// the code point or -1, and the position after it.
inline int32_t next_char(const uint8_t* t, uint32_t p, uint32_t end, bool escapes, uint32_t* next) {
  uint8_t b = t[p];
  if (b < 0x80) {
    if (escapes && b == '^') return decode_escape(t, p + 1, end, next);
    *next = p + 1;
    return b;
  }
  uint32_t len = 1;
  int32_t cp = decode_utf8(t, p, end, &len);
  *next = p + len;
  return cp;
}

// Builds a string-like value from text [a, b). False when the text holds
// invalid UTF-8 or an invalid escape.
bool make_string(Cell* dst, TypeId type, const uint8_t* t, uint32_t a, uint32_t b, bool escapes) {
  if (!escapes) return make_text_value(dst, type, t + a, b - a, false);
  uint32_t count = 0, max_cp = 0;
  for (uint32_t p = a; p < b;) {
    int32_t cp = next_char(t, p, b, true, &p);
    if (cp < 0) return false;
    count++;
    if (static_cast<uint32_t>(cp) > max_cp) max_cp = static_cast<uint32_t>(cp);
  }
  uint32_t unit = max_cp < 0x100 ? 1 : max_cp < 0x10000 ? 2 : 4;
  Node node = memory::alloc_units(count, unit);
  SeriesBuffer* buf = memory::series(node);
  uint8_t* out = buf->head_ptr();
  for (uint32_t p = a, i = 0; p < b; i++) {
    uint32_t cp = static_cast<uint32_t>(next_char(t, p, b, true, &p));
    if (unit == 1) out[i] = static_cast<uint8_t>(cp);
    else if (unit == 2) {
      uint16_t v = static_cast<uint16_t>(cp);
      std::memcpy(out + 2 * i, &v, 2);
    } else {
      std::memcpy(out + 4 * i, &cp, 4);
    }
  }
  buf->tail = buf->offset + count * unit;
  set_series(dst, type, node);
  return true;
}

// In a url, the escapes that keep their meaning only as escapes: those of
// the reserved characters a url may also hold as they are (a "%40" in the
// user part is no "@" that ends it, a "%3F" in the path no "?" that starts
// the query), and a "%25" ahead of two hex digits (decoded, it would make an
// escape of its own). The url's text keeps them as written.
bool url_keeps_escape(uint8_t v, bool before_hex_pair) {
  static constexpr std::string_view kReserved = ":/?#@!$&'*+,=";
  return kReserved.find(static_cast<char>(v)) != std::string_view::npos ||
         (v == '%' && before_hex_pair);
}

// %XX decoding of a file or url text: an escape whose byte leads a UTF-8
// sequence takes the following escapes as the rest of that character; an
// escape of a byte below 0xC0 is that character (in a url, except those
// url_keeps_escape keeps); a "%" that starts no complete escape stays as it
// is. Returns false for a malformed sequence.
bool dehex_text(const uint8_t* t, uint32_t a, uint32_t b, uint8_t* out, uint32_t* out_len,
                bool url) {
  auto escape_at = [&](uint32_t q) {
    return q + 2 < b && t[q] == '%' && hex_value(t[q + 1]) >= 0 && hex_value(t[q + 2]) >= 0;
  };
  auto escaped = [&](uint32_t q) {
    return static_cast<uint8_t>(hex_value(t[q + 1]) * 16 + hex_value(t[q + 2]));
  };
  uint32_t o = 0;
  for (uint32_t p = a; p < b;) {
    if (!escape_at(p)) {
      out[o++] = t[p++];
      continue;
    }
    uint8_t v = escaped(p);
    if (url && url_keeps_escape(v, p + 4 < b && hex_value(t[p + 3]) >= 0 &&
                                       hex_value(t[p + 4]) >= 0)) {
      std::memcpy(out + o, t + p, 3);
      o += 3;
      p += 3;
      continue;
    }
    if (v < 0xC0) {
      // One character of that code, in its UTF-8 form.
      if (v < 0x80) {
        out[o++] = v;
      } else {
        out[o++] = static_cast<uint8_t>(0xC0 | (v >> 6));
        out[o++] = static_cast<uint8_t>(0x80 | (v & 0x3F));
      }
      p += 3;
      continue;
    }
    uint32_t n = v < 0xE0 ? 2 : v < 0xF0 ? 3 : v < 0xF8 ? 4 : 0;
    bool complete = n >= 2;
    for (uint32_t k = 1; complete && k < n; k++) complete = escape_at(p + 3 * k);
    if (!complete) {
      out[o++] = t[p++];
      continue;
    }
    uint8_t seq[4];
    for (uint32_t k = 0; k < n; k++) seq[k] = escaped(p + 3 * k);
    uint32_t len = 1;
    if (decode_utf8(seq, 0, n, &len) < 0 || len != n) return false;
    std::memcpy(out + o, seq, n);
    o += n;
    p += 3 * n;
  }
  *out_len = o;
  return true;
}

// Builds a file or url value with %XX decoding. The decoded text is never
// longer than the token, so a small stack buffer serves common tokens.
bool make_dehexed(Cell* dst, TypeId type, const uint8_t* t, uint32_t a, uint32_t b) {
  uint32_t n = b - a;
  uint8_t small[256];
  uint8_t* out = n <= sizeof small ? small : new uint8_t[n];
  uint32_t len = 0;
  bool ok = dehex_text(t, a, b, out, &len, type == TypeId::url) &&
            make_text_value(dst, type, out, len, false);
  if (out != small) delete[] out;
  return ok;
}

// Appends the value built by `make` (when loading) and sets the resume position.
template <typename Make>
void emit(LexerState& s, Check mode, uint32_t start, uint32_t end, TypeId kind, Make make) {
  if (mode == Check::load) {
    Cell v;
    if (!make(&v)) fail(s, start, end, kind);
    Cell* c = alloc_slot(s);
    uint32_t nl = c->header & cell_flag::new_line;
    *c = v;
    c->header |= nl;
  }
}

// Checks text [a, b) for valid UTF-8 (and escapes) without building.
bool check_text(const uint8_t* t, uint32_t a, uint32_t b, bool escapes) {
  for (uint32_t p = a; p < b;) {
    if (t[p] < 0x80 && !(escapes && t[p] == '^')) {
      p++;
      continue;
    }
    if (next_char(t, p, b, escapes, &p) < 0) return false;
  }
  return true;
}

// Loads or checks a text token of `type` from [a, b).
void text_token(LexerState& s, Check mode, uint32_t start, uint32_t end, uint32_t a, uint32_t b,
                TypeId type, bool escapes) {
  s.type = static_cast<int32_t>(type);
  if (mode == Check::only) {
    if (!check_text(s.text, a, b, escapes)) fail(s, start, end, type);
    return;
  }
  emit(s, mode, start, end, type,
       [&](Cell* v) { return make_string(v, type, s.text, a, b, escapes); });
}

// --- words

// Source text repeats its words: a small direct-mapped cache of the word
// cells made lately saves interning the name and looking it up in the global
// context again. Entries of an older generation are stale (a new run starts
// a new generation); a word's symbol and global index never change.
struct WordCacheEntry {
  uint32_t generation;
  uint32_t hash;
  Cell word;
};
constexpr uint32_t kWordCacheSize = 1024;
WordCacheEntry word_cache[kWordCacheSize];

uint32_t name_hash(const uint8_t* name, uint32_t len) {
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < len; i++) h = (h ^ name[i]) * 16777619u;
  return h;
}

// The word cell for a name, bound to the global context.
bool make_word(Cell* dst, TypeId type, const uint8_t* name, uint32_t len) {
  uint32_t h = name_hash(name, len);
  WordCacheEntry& e = word_cache[h & (kWordCacheSize - 1)];
  if (e.generation == word_cache_generation && e.hash == h &&
      symbol::name(e.word.symbol()) ==
          std::string_view(reinterpret_cast<const char*>(name), len)) {
    *dst = e.word;
  } else {
    SymbolId sym = symbol::make_len(reinterpret_cast<const char*>(name), len);
    word::make_at_symbol(sym, dst);
    e.generation = word_cache_generation;
    e.hash = h;
    e.word = *dst;
  }
  dst->set_type(type);
  return true;
}

void load_string_token(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  // A braced string arrives as the range of its outer braces.
  bool braced = s.text[start] == '{';
  TypeId type = scanned_or(s, TypeId::string);
  if (braced && (flags & flag::multiline)) s.nlines = 1;
  else if (braced) s.nlines = 0;
  text_token(s, mode, start, end, start + 1, end, type, (flags & flag::caret) != 0);
  s.input = end + 1;
}

void load_refinement(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::refinement);
  if (s.text[start] != '/' || end - start < 2) fail(s, start, end, TypeId::refinement);
  if (!check_text(s.text, start + 1, end, false)) fail(s, start, end, TypeId::refinement);
  emit(s, mode, start, end, TypeId::refinement, [&](Cell* v) {
    return make_word(v, TypeId::refinement, s.text + start + 1, end - start - 1);
  });
}

void load_issue(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::issue);
  s.scanned = static_cast<int32_t>(TypeId::issue);
  // A "#" alone reaches here only at the end of the input (followed by
  // anything else it is an error token): it is the empty issue, as
  // `to issue! ""` molds.
  if (s.text[start] != '#') fail(s, start, end, TypeId::issue);
  if (!check_text(s.text, start + 1, end, false)) fail(s, start, end, TypeId::issue);
  emit(s, mode, start, end, TypeId::issue, [&](Cell* v) {
    return make_word(v, TypeId::issue, s.text + start + 1, end - start - 1);
  });
}

// --- characters

void load_char(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  s.input = end + 1;
  s.type = static_cast<int32_t>(TypeId::char_);
  const uint8_t* t = s.text;
  if (end - start < 3 || t[start] != '#' || t[start + 1] != '"' || t[end] != '"')
    fail(s, start, end, TypeId::char_);
  uint32_t p = start + 2, next = p;
  int32_t cp = next_char(t, p, end, (flags & flag::caret) != 0, &next);
  if (cp < 0 || cp > 0x10FFFF || next != end) fail(s, start, end, TypeId::char_);
  emit(s, mode, start, end, TypeId::char_, [&](Cell* v) {
    set_char(v, static_cast<uint32_t>(cp));
    return true;
  });
}

// --- files, urls, emails, tags, refs

void load_file(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  const uint8_t* t = s.text;
  s.scanned = static_cast<int32_t>(TypeId::file);
  if (end > start + 1 && t[start + 1] == '"') {
    s.input = end + 1;
    if (end >= s.input_end || t[end] != '"') fail(s, start, end, TypeId::file);
    text_token(s, mode, start, end, start + 2, end, TypeId::file, (flags & flag::caret) != 0);
    s.input = end + 1;
    return;
  }
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::file);
  if (mode == Check::only) {
    if (!check_text(t, start + 1, end, false)) fail(s, start, end, TypeId::file);
    return;
  }
  emit(s, mode, start, end, TypeId::file,
       [&](Cell* v) { return make_dehexed(v, TypeId::file, t, start + 1, end); });
}

void load_url(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  const uint8_t* t = s.text;
  s.input = end;
  if (t[start] == ':') fail(s, start, end, TypeId::get_word);
  if (t[start] == '\'') fail(s, start, end, TypeId::lit_word);
  s.scanned = static_cast<int32_t>(TypeId::url);
  s.type = static_cast<int32_t>(TypeId::url);
  if (mode == Check::only || !(flags & flag::percent)) {
    text_token(s, mode, start, end, start, end, TypeId::url, false);
    s.input = end;
    return;
  }
  emit(s, mode, start, end, TypeId::url,
       [&](Cell* v) { return make_dehexed(v, TypeId::url, t, start, end); });
}

void load_email(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.scanned = static_cast<int32_t>(TypeId::email);
  text_token(s, mode, start, end, start, end, TypeId::email, false);
  s.input = end;
}

void load_ref(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.scanned = static_cast<int32_t>(TypeId::ref);
  if (s.text[start] != '@') fail(s, start, end, TypeId::ref);
  text_token(s, mode, start, end, start + 1, end, TypeId::ref, false);
  s.input = end;
}

void load_tag(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.scanned = static_cast<int32_t>(TypeId::tag);
  s.input = end + 1;
  if (s.text[start] != '<' || end >= s.input_end || s.text[end] != '>')
    fail(s, start, end, TypeId::tag);
  text_token(s, mode, start, end, start + 1, end, TypeId::tag, false);
  s.input = end + 1;
}

// --- raw strings

uint32_t count_run(const uint8_t* t, uint32_t p, uint32_t end, uint8_t b) {
  uint32_t n = 0;
  while (p + n < end && t[p + n] == b) n++;
  return n;
}

// Bytes that may follow the closing "%" run of a raw string.
bool ends_rawstring(uint8_t b) {
  switch (kClassTable[b] & 0xFF) {
    case c_blank: case c_line: case c_block_open: case c_block_close: case c_paren_open:
    case c_paren_close: case c_brace_open: case c_dquote: case c_less: case c_semicolon:
    case c_control: case c_end:
      return true;
    default:
      return false;
  }
}

void load_rawstring(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  const uint8_t* t = s.text;
  uint32_t n = count_run(t, start, end, '%');
  uint32_t body = start + n + 1;
  // The closing "}" sits just before the closing run of n "%".
  uint32_t close = end - n - 1;
  s.type = static_cast<int32_t>(TypeId::string);
  s.input = end;
  if (mode == Check::only) {
    if (s.callback) {
      fire_event(s, Event::open, s.type, nullptr, start, body);
      fire_event(s, Event::close, s.type, nullptr, close, end);
    }
    if (!check_text(t, body, close, false)) fail(s, start, end, TypeId::string);
    return;
  }
  emit(s, mode, start, end, TypeId::string,
       [&](Cell* v) { return make_string(v, TypeId::string, t, body, close, false); });
  s.input = end;
}

// --- binaries

bool binary_blank(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

// Skips blanks and ";" comments; returns the next position.
uint32_t skip_binary_blanks(const uint8_t* t, uint32_t p, uint32_t end) {
  while (p < end) {
    if (binary_blank(t[p])) p++;
    else if (t[p] == ';') {
      while (p < end && t[p] != '\n') p++;
    } else {
      break;
    }
  }
  return p;
}

// Each decoder writes at most the size the caller reserved and returns the
// byte count, or -1 for malformed text.
int64_t decode_base16(const uint8_t* t, uint32_t a, uint32_t b, uint8_t* out) {
  int64_t n = 0;
  int pending = -1;
  for (uint32_t p = skip_binary_blanks(t, a, b); p < b; p = skip_binary_blanks(t, p, b)) {
    int v = hex_value(t[p++]);
    if (v < 0) return -1;
    if (pending < 0) pending = v;
    else {
      out[n++] = static_cast<uint8_t>(pending * 16 + v);
      pending = -1;
    }
  }
  return pending < 0 ? n : -1;
}

int64_t decode_base2(const uint8_t* t, uint32_t a, uint32_t b, uint8_t* out) {
  int64_t n = 0;
  int bits = 0;
  uint32_t acc = 0;
  for (uint32_t p = skip_binary_blanks(t, a, b); p < b; p = skip_binary_blanks(t, p, b)) {
    uint8_t c = t[p++];
    if (c != '0' && c != '1') return -1;
    acc = acc * 2 + (c - '0');
    if (++bits == 8) {
      out[n++] = static_cast<uint8_t>(acc);
      bits = 0;
      acc = 0;
    }
  }
  return bits == 0 ? n : -1;
}

int base64_value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int64_t decode_base64(const uint8_t* t, uint32_t a, uint32_t b, uint8_t* out) {
  int64_t n = 0;
  int have = 0;
  uint32_t acc = 0;
  uint32_t p = skip_binary_blanks(t, a, b);
  for (; p < b; p = skip_binary_blanks(t, p, b)) {
    uint8_t c = t[p];
    if (c == '=') break;
    int v = base64_value(c);
    if (v < 0) return -1;
    p++;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      out[n++] = static_cast<uint8_t>(acc >> 16);
      out[n++] = static_cast<uint8_t>(acc >> 8);
      out[n++] = static_cast<uint8_t>(acc);
      have = 0;
      acc = 0;
    }
  }
  if (p < b) {
    // Padding completes a group of 2 or 3 characters; only blanks may follow.
    int pads = 0;
    while (p < b && t[p] == '=') {
      pads++;
      p = skip_binary_blanks(t, p + 1, b);
    }
    if (p < b) return -1;
    if (have == 2 && pads == 2) out[n++] = static_cast<uint8_t>(acc >> 4);
    else if (have == 3 && pads == 1) {
      out[n++] = static_cast<uint8_t>(acc >> 10);
      out[n++] = static_cast<uint8_t>(acc >> 2);
    } else {
      return -1;
    }
    return n;
  }
  return have == 0 ? n : -1;
}

void load_binary(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  const uint8_t* t = s.text;
  s.input = end + 1;
  s.type = static_cast<int32_t>(TypeId::binary);
  uint32_t sharp = start;
  while (sharp < end && t[sharp] != '#') sharp++;
  uint32_t base = 16;
  if (sharp > start) {
    if (sharp - start > 2) fail(s, start, end, TypeId::binary);
    base = 0;
    for (uint32_t p = start; p < sharp; p++) {
      if (t[p] < '0' || t[p] > '9') fail(s, start, end, TypeId::binary);
      base = base * 10 + (t[p] - '0');
    }
  }
  if (base != 2 && base != 16 && base != 64) fail(s, start, end, TypeId::binary);
  if (sharp + 1 >= end || t[sharp + 1] != '{' || t[end] != '}') fail(s, start, end, TypeId::binary);
  uint32_t a = sharp + 2, b = end;
  uint32_t text_len = b - a;
  uint64_t size = base == 16 ? text_len / 2 + 1 : base == 64 ? uint64_t{text_len} * 3 / 4 + 3 : text_len / 8 + 1;
  Node node = memory::alloc_bytes(size);
  uint8_t* out = memory::series(node)->head_ptr();
  int64_t n = base == 16 ? decode_base16(t, a, b, out) : base == 2 ? decode_base2(t, a, b, out)
                                                               : decode_base64(t, a, b, out);
  if (n < 0) fail(s, start, end, TypeId::binary);
  if (mode == Check::only) return;
  SeriesBuffer* buf = memory::series(node);
  buf->tail = buf->offset + static_cast<uint32_t>(n);
  emit(s, mode, start, end, TypeId::binary, [&](Cell* v) {
    set_series(v, TypeId::binary, node);
    return true;
  });
}

// --- literals of datatypes that register later

LateLoader late_loaders[kTokenClassCount] = {};

template <int Cls>
void load_late(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  TypeId type = static_cast<TypeId>(kTypeTable[kTerminalBase + Cls]);
  s.type = static_cast<int32_t>(type);
  uint32_t a = start, b = end;
  s.input = end;
  if (Cls == t_point) {
    // The literal with its parens; the engine resumes after ")".
    a = start > 0 ? start - 1 : start;
    b = end + 1;
    s.input = end + 1;
    s.entry = 0;
    s.nlines = s.point_nlines;
  }
  LateLoader loader = late_loaders[Cls];
  if (!loader) fail(s, a, b, type);
  Cell v;
  set_none(&v);
  LateToken token{s.text + a, b - a, flags, s.nlines};
  if (!loader(token, mode == Check::load, &v)) fail(s, a, b, type);
  if (mode == Check::load) {
    s.type = static_cast<int32_t>(v.type());
    Cell* c = alloc_slot(s);
    uint32_t nl = c->header & cell_flag::new_line;
    *c = v;
    c->header |= nl;
  }
}

}  // namespace

// --- shared with the engine

int32_t decode_utf8(const uint8_t* t, uint32_t p, uint32_t end, uint32_t* len) {
  const int32_t cp = unicode::decode_utf8_sequence(t + p, end - p, len);
  if (cp >= 0) return cp;
  *len = 1;
  return -1;
}

bool make_text_value(Cell* dst, TypeId type, const uint8_t* t, uint32_t len, bool lenient) {
  uint32_t count = 0, max_cp = 0;
  bool ascii = true;
  for (uint32_t p = 0; p < len; p++) ascii = ascii && t[p] < 0x80;
  if (ascii) {
    Node node = memory::alloc_units(len, 1);
    SeriesBuffer* buf = memory::series(node);
    if (len) std::memcpy(buf->head_ptr(), t, len);
    buf->tail = buf->offset + len;
    set_series(dst, type, node);
    return true;
  }
  for (uint32_t p = 0; p < len;) {
    uint32_t n = 1;
    int32_t cp = decode_utf8(t, p, len, &n);
    if (cp < 0) {
      if (!lenient) return false;
      cp = 0xFFFD;
    }
    p += n;
    count++;
    if (static_cast<uint32_t>(cp) > max_cp) max_cp = static_cast<uint32_t>(cp);
  }
  uint32_t unit = max_cp < 0x100 ? 1 : max_cp < 0x10000 ? 2 : 4;
  Node node = memory::alloc_units(count, unit);
  SeriesBuffer* buf = memory::series(node);
  uint8_t* out = buf->head_ptr();
  uint32_t i = 0;
  for (uint32_t p = 0; p < len; i++) {
    uint32_t n = 1;
    int32_t v = decode_utf8(t, p, len, &n);
    uint32_t cp = v < 0 ? 0xFFFD : static_cast<uint32_t>(v);
    p += n;
    if (unit == 1) out[i] = static_cast<uint8_t>(cp);
    else if (unit == 2) {
      uint16_t w = static_cast<uint16_t>(cp);
      std::memcpy(out + 2 * i, &w, 2);
    } else {
      std::memcpy(out + 4 * i, &cp, 4);
    }
  }
  buf->tail = buf->offset + count * unit;
  set_series(dst, type, node);
  return true;
}

void make_cell_series(Cell* dst, TypeId type, const Cell* cells, uint32_t n) {
  Node node = memory::alloc_cells(n ? n : 1);
  SeriesBuffer* buf = memory::series(node);
  if (n) std::memcpy(static_cast<void*>(buf->head_ptr()), cells, uint64_t{n} * sizeof(Cell));
  buf->tail = buf->offset + n * static_cast<uint32_t>(sizeof(Cell));
  set_series(dst, type, node);
}

namespace {

bool is_unicode_space(uint32_t cp) {
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000: case 0x180E: case 0x200B: case 0x200C:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

}  // namespace

uint32_t skip_unicode_spaces(LexerState& s, uint32_t start, uint32_t end, TypeId kind) {
  uint32_t p = start;
  while (p < end && s.text[p] >= 0x80) {
    uint32_t n = 1;
    int32_t cp = decode_utf8(s.text, p, end, &n);
    if (cp < 0) throw_error(s, p, end, kind);
    if (!is_unicode_space(static_cast<uint32_t>(cp))) break;
    p += n;
  }
  return p;
}

uint32_t find_unicode_space(LexerState& s, uint32_t start, uint32_t end, TypeId kind) {
  for (uint32_t p = start; p < end;) {
    if (s.text[p] < 0x80) {
      p++;
      continue;
    }
    uint32_t n = 1;
    int32_t cp = decode_utf8(s.text, p, end, &n);
    if (cp < 0) throw_error(s, p, end, kind);
    if (is_unicode_space(static_cast<uint32_t>(cp))) return p;
    p += n;
  }
  return end;
}

void load_word(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  const uint8_t* t = s.text;
  if (flags & (flag::wide | flag::wider)) {
    uint32_t cut = find_unicode_space(s, start, end, TypeId::word);
    if (cut < end) end = s.token_end = cut;
  }
  s.input = end;
  TypeId type = scanned_or(s, TypeId::word);
  uint32_t a = start, b = end;
  if (flags & flag::colon) {
    bool lead = t[a] == ':';
    bool trail = b - a > 1 && t[b - 1] == ':';
    if (lead && trail) fail(s, start, end, TypeId::word);
    if (lead) {
      type = TypeId::get_word;
      a++;
    } else if (trail) {
      type = TypeId::set_word;
      b--;
    } else if (s.entry != 59) {
      // A ":" right after the word belongs to a set-path only.
      fail(s, start, end, TypeId::word);
    }
  }
  if ((flags & flag::quote) && t[a] == '\'') {
    if (type == TypeId::set_word) fail(s, start, end, TypeId::lit_word);
    type = TypeId::lit_word;
    a++;
  }
  if (a >= b) fail(s, start, end, type);
  // Every byte is checked, not only after a lead byte: a stray continuation
  // byte (80h-BFh) is no character either.
  if (!check_text(t, a, b, false)) fail(s, start, end, type);
  s.type = static_cast<int32_t>(type);
  emit(s, mode, start, end, type, [&](Cell* v) { return make_word(v, type, t + a, b - a); });
}

uint32_t rawstring_end(LexerState& s, uint32_t start) {
  const uint8_t* t = s.text;
  uint32_t n = count_run(t, start, s.input_end, '%');
  uint32_t p = start + n;
  if (p >= s.input_end || t[p] != '{') throw_error(s, start, s.input_end, TypeId::string);
  for (p++; p < s.input_end; p++) {
    uint8_t b = t[p];
    if ((kClassTable[b] & 0xFF) == c_invalid || b == 0) break;
    if (b != '}') continue;
    uint32_t m = count_run(t, p + 1, s.input_end, '%');
    if (m < n) continue;
    if (m > n) break;
    uint32_t after = p + 1 + m;
    if (after < s.input_end && !ends_rawstring(t[after])) break;
    return after;
  }
  throw_error(s, start, s.input_end, TypeId::string);
}

void scan_construct(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  const uint8_t* t = s.text;
  s.input = end + 1;
  uint32_t a = start + 2, len = end > a ? end - a : 0;
  Cell v;
  set_none(&v);
  bool found = false;
  if (len > 0) {
    const uint8_t* c = t + a;
    if (equal_nocase(c, len, "true")) set_logic(&v, true), found = true;
    else if (equal_nocase(c, len, "false")) set_logic(&v, false), found = true;
    else if (equal_nocase(c, len, "none")) set_none(&v), found = true;
    else if (equal_nocase(c, len, "unset")) set_unset(&v), found = true;
    // The registry's names in id order; the first that begins with the text.
    for (int id = 1; !found && id <= datatype::highest_type; id++) {
      const char* name = datatype::record(static_cast<TypeId>(id)).name;
      if (!name || std::strlen(name) < len) continue;
      bool prefix = true;
      for (uint32_t i = 0; prefix && i < len; i++)
        prefix = lower(c[i]) == lower(static_cast<uint8_t>(name[i]));
      if (prefix) {
        set_datatype(&v, static_cast<TypeId>(id));
        found = true;
      }
    }
  }
  if (!found) throw_error(s, start, end + 1, -2);
  s.type = static_cast<int32_t>(v.type());
  if (s.load) {
    Cell* c = alloc_slot(s);
    uint32_t nl = c->header & cell_flag::new_line;
    *c = v;
    c->header |= nl;
  }
}

uint32_t word_cache_generation = 1;

void install_builtin_handlers() {
  class_rows[t_string].loader = load_string_token;
  class_rows[t_word].loader = load_word;
  class_rows[t_issue].loader = load_issue;
  class_rows[t_integer].loader = load_integer;
  class_rows[t_refinement].loader = load_refinement;
  class_rows[t_char].loader = load_char;
  class_rows[t_file].loader = load_file;
  class_rows[t_binary].loader = load_binary;
  class_rows[t_percent].loader = load_percent;
  class_rows[t_float].loader = load_float;
  class_rows[t_float_special].loader = load_float_special;
  class_rows[t_tuple].loader = load_late<t_tuple>;
  class_rows[t_date].loader = load_late<t_date>;
  class_rows[t_pair].loader = load_late<t_pair>;
  class_rows[t_point].loader = load_late<t_point>;
  class_rows[t_time].loader = load_late<t_time>;
  class_rows[t_money].loader = load_late<t_money>;
  class_rows[t_tag].loader = load_tag;
  class_rows[t_url].loader = load_url;
  class_rows[t_email].loader = load_email;
  class_rows[t_hex].loader = load_hex;
  class_rows[t_rawstring].loader = load_rawstring;
  class_rows[t_ref].loader = load_ref;
}

void register_loader(LateClass cls, LateLoader loader) {
  late_loaders[static_cast<int>(cls)] = loader;
}

}  // namespace qel::lexer
