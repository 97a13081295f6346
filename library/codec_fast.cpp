// The fast paths of the JSON and CSV codecs (see library/codec_fast.h).
//
// The readers walk the text's characters in its own unit (1, 2 or 4 bytes)
// and build the values bottom-up: the members of an open container wait in
// a C++ vector of cells and become a block when it closes (no collection
// runs here, so plain cells are safe). Where the Qel code would fail, raise
// or give a value these routines do not make, they answer none and the Qel
// code runs instead.
#include "library/codec_fast.h"

#include <cmath>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/stack.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "lexer/lexer.h"
#include "memory/series.h"
#include "values/actions.h"
#include "values/context.h"

namespace qel::library::codec_fast {

namespace {

// The characters of a string from its head, in its own unit.
template <class T>
struct Chars {
  const T* p;
  int32_t n;
};

// A new block! holding the cells.
void make_block(Cell* out, const Cell* cells, size_t count) {
  Node node = memory::alloc_cells(count == 0 ? 1 : count);
  SeriesBuffer* s = memory::series(node);
  std::copy(cells, cells + count, s->cells());
  s->tail = s->offset + static_cast<uint32_t>(count * sizeof(Cell));
  *out = Cell{static_cast<uint32_t>(TypeId::block), 0, node, 0};
}

// A new string! holding the code points (the unit the widest one needs).
void make_string(Cell* out, const std::u32string& cps) {
  const uint32_t n = static_cast<uint32_t>(cps.size());
  const char32_t* c = cps.data();
  char32_t widest = 0;
  for (uint32_t i = 0; i < n; i++) widest = c[i] > widest ? c[i] : widest;
  const uint32_t unit = string::unit_for_append(widest);
  string::make_at_unit(out, n, unit);
  SeriesBuffer* b = string::buffer(out);
  uint8_t* p = string::char_at(b, 0);
  // Stored little-endian, as string::put_char does.
  switch (unit) {
    case 1:
      for (uint32_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(c[i]);
      break;
    case 2:
      for (uint32_t i = 0; i < n; i++) {
        p[2 * i] = static_cast<uint8_t>(c[i]);
        p[2 * i + 1] = static_cast<uint8_t>(c[i] >> 8);
      }
      break;
    default:
      for (uint32_t i = 0; i < n; i++) string::put_char(p + 4 * i, 4, c[i]);
  }
  b->tail = b->offset + (n << string::unit_shift(unit));
}

// A new string! holding a copy of the characters, in their own unit.
template <class T>
void make_string_of(Cell* out, const T* chars, int32_t n) {
  constexpr uint32_t unit = sizeof(T);
  string::make_at_unit(out, static_cast<uint32_t>(n), unit);
  SeriesBuffer* b = string::buffer(out);
  if (n > 0) std::memcpy(string::char_at(b, 0), chars, static_cast<size_t>(n) * unit);
  b->tail = b->offset + (static_cast<uint32_t>(n) << string::unit_shift(unit));
}

// Runs `f` on the string's characters from its head in their unit.
template <class F>
auto with_chars(const Cell* text, F f) {
  SeriesBuffer* b = string::buffer(text);
  const int32_t len = string::buffer_length(b);
  const int32_t head = text->head() < 0 ? 0 : (text->head() > len ? len : text->head());
  const uint8_t* p = string::char_at(b, head);
  const int32_t n = len - head;
  switch (b->unit()) {
    case 1: return f(Chars<uint8_t>{p, n});
    case 2: return f(Chars<uint16_t>{reinterpret_cast<const uint16_t*>(p), n});
    default: return f(Chars<uint32_t>{reinterpret_cast<const uint32_t*>(p), n});
  }
}

int32_t hex_digit(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int32_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int32_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int32_t>(c - 'a' + 10);
  return -1;
}

// --- JSON reader

// The grammar's deepest nesting is below 1000 containers; beyond this depth
// the Qel code runs (and reports the limit where it has one).
constexpr int32_t kMaxJsonDepth = 500;

// Thrown inside the reader to decline.
struct Decline {};

template <class T>
class JsonReader {
 public:
  explicit JsonReader(Chars<T> text) : s_(text.p), n_(text.n) {}

  // The value of the whole text, or false.
  bool read(Cell* out) {
    try {
      skip_ws();
      value(out, 0);
      skip_ws();
      return i_ == n_;
    } catch (const Decline&) {
      return false;
    }
  }

 private:
  const T* s_;
  int32_t n_;
  int32_t i_ = 0;
  std::vector<Cell> members_;
  std::u32string text_;
  // The key of each key text met: a word, or none for a string key.
  std::unordered_map<std::u32string, Cell> keys_;

  uint32_t at(int32_t i) const { return i < n_ ? static_cast<uint32_t>(s_[i]) : 0xFFFFFFFFu; }

  void skip_ws() {
    while (i_ < n_) {
      uint32_t c = s_[i_];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      i_++;
    }
  }

  void expect(uint32_t c) {
    if (at(i_) != c) throw Decline{};
    i_++;
  }

  bool literal(const char* word) {
    int32_t k = 0;
    for (; word[k]; k++)
      if (at(i_ + k) != static_cast<unsigned char>(word[k])) return false;
    i_ += k;
    return true;
  }

  void value(Cell* out, int32_t depth) {
    const uint32_t c = at(i_);
    switch (c) {
      case 't':
        if (!literal("true")) throw Decline{};
        set_logic(out, true);
        return;
      case 'f':
        if (!literal("false")) throw Decline{};
        set_logic(out, false);
        return;
      case 'n':
        if (!literal("null")) throw Decline{};
        set_none(out);
        return;
      case '"': {
        // Most strings hold no escape: copied as they are.
        int32_t k = i_ + 1;
        while (k < n_) {
          const uint32_t ch = s_[k];
          if (ch == '"' || ch == '\\' || ch < 0x20) break;
          k++;
        }
        if (k < n_ && s_[k] == '"') {
          make_string_of(out, s_ + i_ + 1, k - i_ - 1);
          i_ = k + 1;
          return;
        }
        string_text();
        make_string(out, text_);
        return;
      }
      case '{':
        object(out, depth + 1);
        return;
      case '[':
        array(out, depth + 1);
        return;
      default:
        number(out);
    }
  }

  // Reads a string literal into text_, its escapes decoded.
  void string_text() {
    expect('"');
    text_.clear();
    for (;;) {
      // A run of plain characters at once.
      int32_t k = i_;
      while (k < n_) {
        const uint32_t ch = s_[k];
        if (ch == '"' || ch == '\\' || ch < 0x20) break;
        k++;
      }
      const size_t have = text_.size();
      text_.resize(have + static_cast<size_t>(k - i_));
      for (int32_t j = i_; j < k; j++) text_[have + static_cast<size_t>(j - i_)] = s_[j];
      i_ = k;
      if (i_ >= n_) throw Decline{};
      uint32_t c = s_[i_++];
      if (c == '"') return;
      if (c < 0x20) throw Decline{};
      uint32_t e = at(i_++);
      switch (e) {
        case '"': case '\\': case '/': text_.push_back(e); break;
        case 'b': text_.push_back(8); break;
        case 'f': text_.push_back(12); break;
        case 'n': text_.push_back(10); break;
        case 'r': text_.push_back(13); break;
        case 't': text_.push_back(9); break;
        case 'u': {
          int32_t u = unit();
          if (u >= 0xD800 && u <= 0xDBFF) {
            // A high surrogate: a low one must follow at once.
            if (at(i_) != '\\' || at(i_ + 1) != 'u') throw Decline{};
            i_ += 2;
            int32_t low = unit();
            if (low < 0xDC00 || low > 0xDFFF) throw Decline{};
            u = 0x10000 + (u - 0xD800) * 1024 + (low - 0xDC00);
          } else if (u >= 0xDC00 && u <= 0xDFFF) {
            throw Decline{};
          }
          text_.push_back(static_cast<char32_t>(u));
          break;
        }
        default:
          throw Decline{};
      }
    }
  }

  // Four hexadecimal digits as a code unit.
  int32_t unit() {
    int32_t v = 0;
    for (int32_t k = 0; k < 4; k++) {
      int32_t d = hex_digit(at(i_ + k));
      if (d < 0) throw Decline{};
      v = v * 16 + d;
    }
    i_ += 4;
    return v;
  }

  static bool digit(uint32_t c) { return c >= '0' && c <= '9'; }

  // opt "-", 0 or a digit 1-9 and digits, opt a fraction, opt an exponent;
  // the value is what the lexer makes of the text.
  void number(Cell* out) {
    const int32_t start = i_;
    if (at(i_) == '-') i_++;
    if (!digit(at(i_))) throw Decline{};
    if (at(i_) == '0') {
      i_++;
    } else {
      while (digit(at(i_))) i_++;
    }
    const int32_t int_end = i_;
    bool plain = true;
    if (at(i_) == '.' && digit(at(i_ + 1))) {
      i_ += 2;
      while (digit(at(i_))) i_++;
      plain = false;
    }
    if (at(i_) == 'e' || at(i_) == 'E') {
      int32_t k = i_ + 1;
      if (at(k) == '+' || at(k) == '-') k++;
      if (digit(at(k))) {
        while (digit(at(k))) k++;
        i_ = k;
        plain = false;
      }
    }
    const int32_t len = i_ - start;
    const int32_t digits = int_end - start - (at(start) == '-' ? 1 : 0);
    if (plain && digits <= 9) {
      int32_t v = 0;
      for (int32_t k = int_end - digits; k < int_end; k++) v = v * 10 + static_cast<int32_t>(s_[k] - '0');
      set_integer(out, at(start) == '-' ? -v : v);
      return;
    }
    if (len > 40) throw Decline{};
    char bytes[40];
    for (int32_t k = 0; k < len; k++) bytes[k] = static_cast<char>(s_[start + k]);
    if (!plain) {
      // A float in range reads as the lexer reads it (the shortest-digits
      // conversion); one beyond the range of doubles goes to the lexer.
      // As the lexer does, the sign is applied as 0 - v (-0.0 reads as 0.0).
      const bool negative = bytes[0] == '-';
      double d;
      auto [end, ec] = std::from_chars(bytes + (negative ? 1 : 0), bytes + len, d);
      if (ec == std::errc() && end == bytes + len) {
        set_float(out, negative ? 0.0 - d : d);
        return;
      }
    }
    Cell* slot = stack::push_slot();
    set_none(slot);
    lexer::ScanOptions options;
    options.one = true;
    lexer::scan(slot, reinterpret_cast<const uint8_t*>(bytes), static_cast<uint32_t>(len), options);
    *out = *slot;
    stack::pop(1);
    if (!out->is(TypeId::integer) && !out->is(TypeId::float_)) throw Decline{};
  }

  // Whether a key text reads as a word: not a digit or "'" first, none of
  // the characters that end a word, and the lexer reads it as one word.
  // Declines on text where turning it into a word would need more care
  // (control characters, a character outside ASCII first).
  bool key_word(const std::u32string& key, Cell* word) {
    if (key.empty()) return false;
    const char32_t first = key[0];
    if (first >= 0x80) throw Decline{};
    if ((first >= '0' && first <= '9') || first == '\'') return false;
    std::string utf8;
    for (char32_t c : key) {
      switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')':
        case '{': case '}': case '"': case '#': case '%': case '$': case '@': case ':':
        case ';': case '\n': case 0xA0: case ' ': case '\t': case '\r': case '<': case '>':
          return false;
        default:
          break;
      }
      if (c < 0x20) throw Decline{};
      if (c < 0x80) {
        utf8.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        utf8.push_back(static_cast<char>(0xE0 | (c >> 12)));
        utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        utf8.push_back(static_cast<char>(0xF0 | (c >> 18)));
        utf8.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    const TypeId t = word::scan_hook(utf8);
    if (t == TypeId::word) {
      *word = word::load(utf8);
      word->reset_header(TypeId::word);
      return true;
    }
    // Another word kind would be made with its decoration taken off.
    if (is_any_word(t)) throw Decline{};
    return false;
  }

  // The last key met at each of a few slots (by length and first and last
  // characters): objects repeat their keys, and a hit spares the hashing.
  struct RecentKey {
    std::u32string text;
    Cell key;
  };
  RecentKey recent_[64];

  // A key without escapes found among the recent ones, read at once.
  bool recent_key(Cell* out) {
    if (at(i_) != '"') return false;
    int32_t k = i_ + 1;
    while (k < n_) {
      const uint32_t ch = s_[k];
      if (ch == '"' || ch == '\\' || ch < 0x20) break;
      k++;
    }
    if (k >= n_ || s_[k] != '"' || k == i_ + 1) return false;
    const size_t len = static_cast<size_t>(k - i_ - 1);
    const T* p = s_ + i_ + 1;
    RecentKey& r = recent_[slot_of(len, p[0], p[len / 2], p[len - 1])];
    if (r.text.size() != len || r.key.is(TypeId::none)) return false;
    for (size_t j = 0; j < len; j++)
      if (r.text[j] != p[j]) return false;
    *out = r.key;
    i_ = k + 1;
    return true;
  }

  static size_t slot_of(size_t len, uint32_t first, uint32_t middle, uint32_t last) {
    return (len * 31 + first * 7 + middle * 3 + last) & 63;
  }

  void key(Cell* out) {
    const size_t slot =
        text_.empty() ? 0
                      : slot_of(text_.size(), text_.front(), text_[text_.size() / 2], text_.back());
    RecentKey& r = recent_[slot];
    if (!r.text.empty() && r.text == text_) {
      if (r.key.is(TypeId::none)) {
        make_string(out, text_);
      } else {
        *out = r.key;
      }
      return;
    }
    auto found = keys_.find(text_);
    if (found == keys_.end()) {
      Cell w;
      set_none(&w);
      if (!key_word(text_, &w)) set_none(&w);
      found = keys_.emplace(text_, w).first;
    }
    r.text = text_;
    r.key = found->second;
    if (found->second.is(TypeId::none)) {
      make_string(out, text_);
    } else {
      *out = found->second;
    }
  }

  // The members from `base` on become the block (or map) in `out`.
  void close(Cell* out, size_t base, bool map) {
    Cell blk;
    make_block(&blk, members_.data() + base, members_.size() - base);
    const int32_t count = static_cast<int32_t>(members_.size() - base);
    members_.resize(base);
    if (!map) {
      *out = blk;
      return;
    }
    Cell* slot = stack::push_slot();
    map::make_at(slot, &blk, count < 2 ? 2 : count);
    *out = *slot;
    stack::pop(1);
  }

  // An object's members or an array's items between `first` and `last`,
  // separated by commas: `item` reads one and pushes what it read onto
  // members_, from which `close` then makes the map or block.
  template <class Item>
  void sequence(Cell* out, int32_t depth, char first, char last, bool map, Item item) {
    if (depth > kMaxJsonDepth) throw Decline{};
    expect(first);
    skip_ws();
    const size_t base = members_.size();
    if (at(i_) != static_cast<uint32_t>(last)) {
      for (;;) {
        item();
        skip_ws();
        if (at(i_) != ',') break;
        i_++;
        skip_ws();
      }
    }
    expect(last);
    close(out, base, map);
  }

  void object(Cell* out, int32_t depth) {
    sequence(out, depth, '{', '}', true, [&] {
      Cell k;
      if (!recent_key(&k)) {
        string_text();
        key(&k);
      }
      members_.push_back(k);
      skip_ws();
      expect(':');
      skip_ws();
      Cell v;
      value(&v, depth);
      members_.push_back(v);
    });
  }

  void array(Cell* out, int32_t depth) {
    sequence(out, depth, '[', ']', false, [&] {
      Cell v;
      value(&v, depth);
      members_.push_back(v);
    });
  }
};

}  // namespace

void json_decode(const Cell* text, Cell* out) {
  Cell v;
  set_none(&v);
  const bool ok = with_chars(text, [&](auto chars) {
    JsonReader<std::remove_const_t<std::remove_pointer_t<decltype(chars.p)>>> reader(chars);
    return reader.read(&v);
  });
  if (!ok) {
    set_none(out);
    return;
  }
  make_block(out, &v, 1);
}

namespace {

// --- JSON writer

class JsonWriter {
 public:
  JsonWriter(const Cell* indent, bool ascii) : ascii_(ascii) {
    if (indent && indent->is(TypeId::string)) {
      pretty_ = true;
      with_chars(indent, [&](auto chars) {
        for (int32_t k = 0; k < chars.n; k++) indent_.push_back(chars.p[k]);
        return true;
      });
    }
    string::rs_make_at(&scratch_, 32);
  }

  // The text of the value, or false.
  bool write(const Cell* value, Cell* out) {
    try {
      this->value(value);
    } catch (const Decline&) {
      return false;
    }
    make_string(out, out_);
    return true;
  }

 private:
  bool ascii_;
  bool pretty_ = false;
  std::u32string indent_;
  int32_t level_ = 0;
  std::u32string out_;
  Cell scratch_;
  // The containers being written, outermost first (their nodes).
  std::vector<Node> nesting_;

  void text(const char* t) {
    while (*t) out_.push_back(static_cast<unsigned char>(*t++));
  }

  // Appends what form (or mold) writes of the value.
  void formed(const Cell* value, bool mold) {
    string::rs_reset(&scratch_);
    Cell v = *value;
    if (mold) {
      actions::call_mold(&v, &scratch_, {}, nullptr, INT32_MAX, 0);
    } else {
      actions::call_form(&v, &scratch_, nullptr, INT32_MAX);
    }
    const int32_t n = string::rest_length(&scratch_);
    for (int32_t k = 0; k < n; k++) out_.push_back(string::rs_abs_at(&scratch_, k));
  }

  void newline_indent(int32_t change) {
    level_ += change;
    out_.push_back('\n');
    for (int32_t k = 0; k < level_; k++) out_ += indent_;
  }

  void hex4(uint32_t u) {
    static const char digits[] = "0123456789ABCDEF";
    text("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) out_.push_back(static_cast<unsigned char>(digits[(u >> shift) & 15]));
  }

  void string_value(const Cell* str) {
    with_chars(str, [&](auto chars) {
      escaped(chars.p, chars.n);
      return true;
    });
  }

  // The characters as a JSON string: plain ones as they are, the others as
  // their escape or as \u code units.
  template <class T>
  void escaped(const T* p, int32_t n) {
    out_.push_back('"');
    {
      for (int32_t k = 0; k < n; k++) {
        const uint32_t c = p[k];
        const bool normal = c >= 0x20 && c != '"' && c != '\\' && (!ascii_ || c <= 0x7F);
        if (normal) {
          out_.push_back(c);
          continue;
        }
        switch (c) {
          case '"': text("\\\""); break;
          case '\\': text("\\\\"); break;
          case 8: text("\\b"); break;
          case 12: text("\\f"); break;
          case 10: text("\\n"); break;
          case 13: text("\\r"); break;
          case 9: text("\\t"); break;
          default:
            if (c < 0x10000) {
              hex4(c);
            } else {
              hex4(0xD800 + ((c - 0x10000) >> 10));
              hex4(0xDC00 + ((c - 0x10000) & 1023));
            }
        }
      }
    }
    out_.push_back('"');
  }

  // Other values as the JSON string of their form (text types) or mold.
  void as_text(const Cell* v, bool mold) {
    const size_t start = out_.size();
    formed(v, mold);
    const std::u32string text = out_.substr(start);
    out_.resize(start);
    escaped(text.data(), static_cast<int32_t>(text.size()));
  }

  void enter(Node node) {
    for (Node n : nesting_)
      if (n == node) throw Decline{};  // the Qel code reports the cycle
    if (nesting_.size() >= static_cast<size_t>(kMaxJsonDepth)) throw Decline{};
    nesting_.push_back(node);
  }

  void open(uint32_t c, bool empty) {
    out_.push_back(c);
    if (!empty && pretty_) newline_indent(1);
  }
  void separator() {
    out_.push_back(',');
    if (pretty_) newline_indent(0);
  }
  void close(uint32_t c, bool empty) {
    if (!empty && pretty_) newline_indent(-1);
    out_.push_back(c);
  }

  void block(const Cell* blk) {
    enter(blk->node());
    const int32_t count = block::rs_length_q(blk);
    const Cell* cells = block::first_cell(blk) + blk->head();
    open('[', count <= 0);
    for (int32_t k = 0; k < count; k++) {
      if (k > 0) separator();
      value(cells + k);
    }
    close(']', count <= 0);
    nesting_.pop_back();
  }

  // A word as a key: the JSON string of its spelling.
  void word_key(Cell* key) {
    key->reset_header(TypeId::word);
    out_.push_back('"');
    const size_t start = out_.size();
    formed(key, false);
    for (size_t j = start; j < out_.size(); j++) {
      const char32_t c = out_[j];
      if (c < 0x20 || c == '"' || c == '\\' || (ascii_ && c > 0x7F)) {
        const std::u32string spelling = out_.substr(start);
        out_.resize(start - 1);
        escaped(spelling.data(), static_cast<int32_t>(spelling.size()));
        return;
      }
    }
    out_.push_back('"');
  }

  // An object by its words, as `words-of` and `select` give them.
  void object_value(const Cell* obj) {
    const Node ctx = obj->data1;
    enter(ctx);
    const int32_t count = static_cast<int32_t>(context::word_count(ctx));
    open('{', count == 0);
    for (int32_t k = 0; k < count; k++) {
      if (k > 0) separator();
      Cell key = *context::word_cell(ctx, k);
      word_key(&key);
      text(pretty_ ? ": " : ":");
      const Cell* v = object::find_value(obj, &key);
      if (v->type() == TypeId::none_id) throw Decline{};  // unset: the Qel code molds it
      value(v);
    }
    close('}', count == 0);
    nesting_.pop_back();
  }

  void map_value(const Cell* m) {
    enter(m->node());
    Cell pairs{static_cast<uint32_t>(TypeId::block), 0, m->node(), 0};
    const int32_t count = block::rs_length_q(&pairs);
    const Cell* cells = block::first_cell(&pairs);
    const bool empty = map::size(m) == 0;
    open('{', empty);
    bool first = true;
    for (int32_t k = 0; k + 1 < count; k += 2) {
      if (cells[k + 1].header == 0) continue;  // a removed entry
      if (!first) separator();
      first = false;
      Cell key = cells[k];
      if (is_any_word(key.type())) {
        word_key(&key);
      } else if (key.is(TypeId::string)) {
        string_value(&key);
      } else {
        throw Decline{};
      }
      text(pretty_ ? ": " : ":");
      value(&cells[k + 1]);
    }
    close('}', empty);
    nesting_.pop_back();
  }

  void value(const Cell* v) {
    switch (v->type()) {
      case TypeId::none: text("null"); break;
      case TypeId::logic: text(v->logic() ? "true" : "false"); break;
      case TypeId::integer: text(std::to_string(v->integer()).c_str()); break;
      case TypeId::float_:
      case TypeId::percent: {
        const double d = v->real();
        if (d != d || d == HUGE_VAL || d == -HUGE_VAL) {
          text("null");
        } else {
          Cell f;
          set_float(&f, d);
          formed(&f, true);
        }
        break;
      }
      case TypeId::file: case TypeId::url: case TypeId::tag: case TypeId::email:
        as_text(v, false);
        break;
      case TypeId::char_: case TypeId::word: case TypeId::set_word: case TypeId::lit_word:
      case TypeId::get_word: case TypeId::refinement: case TypeId::issue: case TypeId::pair:
      case TypeId::tuple: case TypeId::date: case TypeId::time: case TypeId::money:
        as_text(v, true);
        break;
      case TypeId::string: string_value(v); break;
      case TypeId::block: block(v); break;
      case TypeId::map: map_value(v); break;
      case TypeId::object: object_value(v); break;
      default: throw Decline{};
    }
  }
};

// --- CSV reader

template <class T>
class CsvReader {
 public:
  CsvReader(Chars<T> text, uint32_t delimiter, uint32_t quote)
      : s_(text.p), n_(text.n), delimiter_(delimiter), quote_(quote) {}

  // The lines, or false.
  bool read(Cell* out) {
    std::vector<Cell> lines;
    std::vector<Cell> fields;
    size_t longest = 0;
    bool first = true;
    int32_t i = 0;
    while (i < n_) {
      fields.clear();
      for (;;) {
        text_.clear();
        Cell field;
        if (i < n_ && s_[i] == quote_) {
          int32_t j = i + 1;
          // Most quoted fields hold no doubled quote: copied as they are.
          while (j < n_ && s_[j] != quote_) j++;
          if (j < n_ && (j + 1 >= n_ || s_[j + 1] != quote_)) {
            make_string_of(&field, s_ + i + 1, j - i - 1);
            i = j + 1;
          } else {
            j = i + 1;
            for (;;) {
              if (j >= n_) return false;  // not closed: the Qel code reads it
              const uint32_t c = s_[j];
              if (c != quote_) {
                text_.push_back(c);
                j++;
              } else if (j + 1 < n_ && s_[j + 1] == quote_) {
                text_.push_back(c);
                j += 2;
              } else {
                j++;
                break;
              }
            }
            i = j;
            make_string(&field, text_);
          }
          if (i < n_ && s_[i] != delimiter_ && s_[i] != '\n' && s_[i] != '\r') return false;
        } else {
          const int32_t start = i;
          while (i < n_) {
            const uint32_t c = s_[i];
            if (c == delimiter_ || c == '\n' || c == '\r') break;
            i++;
          }
          make_string_of(&field, s_ + start, i - start);
        }
        fields.push_back(field);
        if (i < n_ && s_[i] == delimiter_) {
          i++;
          continue;
        }
        break;
      }
      if (i < n_) {
        i += (s_[i] == '\r' && i + 1 < n_ && s_[i + 1] == '\n') ? 2 : 1;
      }
      if (first) {
        longest = fields.size();
        first = false;
      } else if (fields.size() != longest) {
        return false;  // the Qel code makes the error
      }
      Cell line;
      make_block(&line, fields.data(), fields.size());
      lines.push_back(line);
    }
    make_block(out, lines.data(), lines.size());
    return true;
  }

 private:
  const T* s_;
  int32_t n_;
  uint32_t delimiter_;
  uint32_t quote_;
  std::u32string text_;
};

// --- CSV writer

// Whether form (or, for floats and percents, mold/all) of the type evaluates
// no Qel code and the writer takes it.
bool csv_field_type(TypeId t) {
  switch (t) {
    case TypeId::none: case TypeId::logic: case TypeId::integer: case TypeId::float_:
    case TypeId::percent: case TypeId::char_: case TypeId::string: case TypeId::file:
    case TypeId::url: case TypeId::tag: case TypeId::email: case TypeId::word:
    case TypeId::set_word: case TypeId::lit_word: case TypeId::get_word:
    case TypeId::refinement: case TypeId::issue: case TypeId::pair: case TypeId::tuple:
    case TypeId::date: case TypeId::time: case TypeId::money:
      return true;
    default:
      return false;
  }
}

class CsvWriter {
 public:
  CsvWriter(uint32_t delimiter, uint32_t quote) : delimiter_(delimiter), quote_(quote) {
    string::rs_make_at(&scratch_, 64);
  }

  void line(const Cell* fields, int32_t count) {
    for (int32_t k = 0; k < count; k++) {
      if (k > 0) out_.push_back(delimiter_);
      field(fields + k);
    }
    out_.push_back('\n');
  }

  std::u32string out_;

 private:
  uint32_t delimiter_;
  uint32_t quote_;
  Cell scratch_;
  std::u32string text_;

  void field(const Cell* value) {
    text_.clear();
    if (value->is(TypeId::string)) {
      with_chars(value, [&](auto chars) {
        text_.resize(static_cast<size_t>(chars.n));
        for (int32_t k = 0; k < chars.n; k++) text_[static_cast<size_t>(k)] = chars.p[k];
        return true;
      });
    } else {
      string::rs_reset(&scratch_);
      Cell v = *value;
      if (v.is(TypeId::float_) || v.is(TypeId::percent)) {
        actions::call_mold(&v, &scratch_, {.all = true}, nullptr, INT32_MAX, 0);
      } else {
        actions::call_form(&v, &scratch_, nullptr, INT32_MAX);
      }
      const int32_t n = string::rest_length(&scratch_);
      for (int32_t k = 0; k < n; k++) text_.push_back(string::rs_abs_at(&scratch_, k));
    }
    bool quoted = false;
    for (char32_t c : text_) {
      if (c == quote_ || c == delimiter_ || c == ' ' || c == '\n' || c == '\r') {
        quoted = true;
        break;
      }
    }
    if (!quoted) {
      out_ += text_;
      return;
    }
    out_.push_back(quote_);
    for (char32_t c : text_) {
      out_.push_back(c);
      if (c == quote_) out_.push_back(c);
    }
    out_.push_back(quote_);
  }
};

}  // namespace

void json_encode(const Cell* value, const Cell* indent, bool ascii, Cell* out) {
  JsonWriter writer(indent, ascii);
  if (!writer.write(value, out)) set_none(out);
}

void csv_decode(const Cell* text, uint32_t delimiter, uint32_t quote, Cell* out) {
  if (delimiter == quote || delimiter == '\n' || delimiter == '\r') {
    set_none(out);
    return;
  }
  const bool ok = with_chars(text, [&](auto chars) {
    CsvReader<std::remove_const_t<std::remove_pointer_t<decltype(chars.p)>>> reader(
        chars, delimiter, quote);
    return reader.read(out);
  });
  if (!ok) set_none(out);
}

void csv_encode(const Cell* lines, uint32_t delimiter, uint32_t quote, Cell* out) {
  set_none(out);
  const int32_t count = block::rs_length_q(lines);
  if (count <= 0) return;
  const Cell* cells = block::first_cell(lines) + lines->head();
  // Every line a block of one length, every field of a type taken.
  int32_t length = -1;
  for (int32_t k = 0; k < count; k++) {
    const Cell* line = cells + k;
    int32_t n = 1;
    const Cell* fields = line;
    if (line->is(TypeId::block)) {
      n = block::rs_length_q(line);
      if (n < 0) n = 0;
      fields = block::first_cell(line) + line->head();
    }
    if (length < 0) length = n;
    if (n != length) return;
    for (int32_t f = 0; f < n; f++)
      if (!csv_field_type(fields[f].type())) return;
  }
  CsvWriter writer(delimiter, quote);
  for (int32_t k = 0; k < count; k++) {
    const Cell* line = cells + k;
    if (line->is(TypeId::block)) {
      const int32_t n = block::rs_length_q(line);
      writer.line(block::first_cell(line) + line->head(), n < 0 ? 0 : n);
    } else {
      writer.line(line, 1);
    }
  }
  make_string(out, writer.out_);
}

}  // namespace qel::library::codec_fast
