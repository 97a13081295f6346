// string!: making, converting, forming and molding. The same functions make,
// convert and write the other text types (the target type decides the type
// byte of the result; url!, file!, tag!, email! and ref! replace form and
// mold where their text differs).
//
// Molding chooses its delimiters with one counting pass over the range:
// braces for a text with a double quote, with three line feeds or more, or
// of 50 characters or more; double quotes otherwise. Characters that need no
// escape are copied in runs, not one by one.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "core/cycle_guard.h"
#include "datatypes/binary.h"
#include "core/stack.h"
#include "text/unicode.h"
#include "values/actions.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::string {

namespace {

// The character written after a caret for the code points below 0x20 (0x1E
// never uses it: it takes the "^(1E)" form).
constexpr char kControlEscapes[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";

// True when molding must write the code point as an escape: a lone
// surrogate (a string may hold one, from UTF-16 or an escape) and U+FFFE
// too, whose UTF-8 does not load back.
inline bool needs_escape(uint32_t cp, bool all) {
  if (cp < 0x20 || cp == '"' || cp == '^' || cp == 0x7F) return true;
  return cp >= 0x80 && (all || cp <= 0x9F || unicode::molds_as_escape(cp));
}

// Appends `count` characters read at `src` with unit `unit` to the buffer,
// converting units (the output widens to the source's unit when narrower).
void append_run(Cell* out, const uint8_t* src, uint32_t unit, int32_t count) {
  if (count <= 0) return;
  SeriesBuffer* d = reserve(buffer(out), unit, static_cast<uint64_t>(count));
  const uint32_t du = d->unit();
  uint8_t* dst = d->tail_ptr();
  if (du == unit) {
    std::memcpy(dst, src, static_cast<size_t>(count) << unit_shift(unit));
  } else {
    for (int32_t i = 0; i < count; i++)
      put_char(dst + (static_cast<uint32_t>(i) << unit_shift(du)), du,
               get_char(src + (static_cast<uint32_t>(i) << unit_shift(unit)), unit));
  }
  d->tail += static_cast<uint32_t>(count) << unit_shift(du);
}

// A size given to make: an integer!, or a float! truncated; out-of-range
// below 0 (and for a float outside the 32-bit range).
int32_t make_size(const Cell* spec) {
  int32_t n;
  if (spec->is(TypeId::integer)) {
    n = spec->integer();
  } else {
    double d = spec->real();
    if (integer::float_overflow(d)) fire(ErrorCode::script_out_of_range, spec);
    n = static_cast<int32_t>(d);
  }
  if (n < 0) fire(ErrorCode::script_out_of_range, spec);
  return n;
}

// The suffix minimum of the brace depth, so that "does the count started
// at this opening brace come back to 0 before the end" is one comparison
// per brace instead of a rescan (a deep nest of braces stays linear).
struct BraceBalance {
  std::vector<int32_t> depth_at;    // the depth after character i
  std::vector<int32_t> suffix_min;  // the least depth over [i, end)
  int32_t depth_before(int32_t i) const { return i == 0 ? 0 : depth_at[static_cast<size_t>(i - 1)]; }

  BraceBalance(const uint8_t* p, uint32_t unit, int32_t n) {
    depth_at.resize(static_cast<size_t>(n));
    suffix_min.resize(static_cast<size_t>(n));
    int32_t d = 0;
    for (int32_t i = 0; i < n; i++) {
      uint32_t c = get_char(p + (static_cast<uint32_t>(i) << unit_shift(unit)), unit);
      if (c == '{') d++;
      if (c == '}') d--;
      depth_at[static_cast<size_t>(i)] = d;
    }
    int32_t m = INT32_MAX;
    for (int32_t i = n; i-- > 0;) {
      m = std::min(m, depth_at[static_cast<size_t>(i)]);
      suffix_min[static_cast<size_t>(i)] = m;
    }
  }
  // The brace at i (an opening one) is closed before the end.
  bool balanced(int32_t i) const { return suffix_min[static_cast<size_t>(i)] <= depth_before(i); }
};

}  // namespace

// --- escapes and counts

void escape_char(Cell* out, uint32_t cp, bool all) {
  if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || unicode::molds_as_escape(cp) || (all && cp > 0x7F)) {
    char hex[8];
    std::string_view digits = int_to_hex(static_cast<int32_t>(cp), true, hex);
    char text[12] = {'^', '('};
    size_t k = 2;
    // int_to_hex gives "00" for 0, never used here (0 has its own escape).
    for (char c : digits) text[k++] = c;
    text[k++] = ')';
    append_bytes(out, text, k);
    return;
  }
  if (cp < 0x20) {
    const char text[2] = {'^', kControlEscapes[cp]};
    append_bytes(out, text, 2);
    return;
  }
  if (cp == '"' || cp == '^') {
    const char text[2] = {'^', static_cast<char>(cp)};
    append_bytes(out, text, 2);
    return;
  }
  if (cp == 0x7F) {
    append_bytes(out, "^~", 2);
    return;
  }
  append_char(buffer(out), cp);
}

void count_quotes_and_lines(const uint8_t* start, const uint8_t* end, uint32_t unit,
                            int32_t* quotes, int32_t* lines) {
  if (unit == 1) {
    for (const uint8_t* p = start; p < end; p++) {
      *quotes += *p == '"';
      *lines += *p == '\n';
    }
    return;
  }
  for (const uint8_t* p = start; p < end; p += unit) {
    uint32_t c = get_char(p, unit);
    *quotes += c == '"';
    *lines += c == '\n';
  }
}

bool braces_balanced(const uint8_t* start, const uint8_t* end, uint32_t unit) {
  int32_t count = 0;
  for (const uint8_t* p = start; p < end; p += unit) {
    uint32_t c = get_char(p, unit);
    if (c == '{') count++;
    if (c == '}') count--;
    if (count == 0) return true;
  }
  return false;
}

// --- form and mold

int32_t form(Cell* value, Cell* out, Cell* part, int32_t limit) {
  const int32_t part_n = part && part->is(TypeId::integer) ? part->integer() : -1;
  concatenate(out, value, part_n, 0, Keep::yes, Mode::append);
  return limit - rest_length(value);
}

int32_t mold(Cell* value, Cell* out, bool, bool all, bool, Cell* part, int32_t limit, int32_t) {
  Cell src = *value;
  SeriesBuffer* sb = buffer(&src);
  const int32_t len = buffer_length(sb);
  const int32_t head = std::clamp(src.head(), 0, len);
  const int32_t rest = len - head;
  int32_t n = rest;
  if (part) n = limit < 0 ? 0 : std::min(limit, rest);

  // The form is chosen from the whole text, so that a /part cut is the start
  // of the text's full mold (counting only the cut gave "..." for a cut
  // before the first double quote). A text of 50 characters or more takes
  // braces whatever it holds, so at most 49 characters are counted.
  int32_t quotes = 0, lines = 0;
  if (rest < 50) {
    const uint8_t* from = char_at(sb, head);
    count_quotes_and_lines(from, from + (static_cast<uint32_t>(rest) << unit_shift(sb->unit())),
                           sb->unit(), &quotes, &lines);
  }
  const bool braces = lines >= 3 || quotes > 0 || rest >= 50;

  // Molding a text into its own buffer: read from a copy.
  Cell copy;
  if (src.node() == out->node()) {
    make_at_unit(&copy, static_cast<uint32_t>(std::max(n, 1)), sb->unit());
    SeriesBuffer* cb = buffer(&copy);
    sb = buffer(&src);
    std::memcpy(cb->data(), char_at(sb, head), static_cast<size_t>(n) << unit_shift(sb->unit()));
    cb->tail = cb->offset + (static_cast<uint32_t>(n) << unit_shift(sb->unit()));
    src = copy;
  } else {
    src.set_head(head);
  }

  // Raw reads: nothing below evaluates Qel code or grows the source.
  sb = buffer(&src);
  const uint32_t unit = sb->unit();
  const uint8_t* base = char_at(sb, src.head());
  auto at = [&](int32_t i) { return base + (static_cast<uint32_t>(i) << unit_shift(unit)); };

  append_char(buffer(out), braces ? '{' : '"');
  int32_t run = 0;  // start of the pending run of plain characters
  if (!braces) {
    for (int32_t i = 0; i < n; i++) {
      uint32_t c = get_char(at(i), unit);
      if (!needs_escape(c, all)) continue;
      append_run(out, at(run), unit, i - run);
      escape_char(out, c, all);
      run = i + 1;
    }
  } else {
    bool balance = true;
    int32_t open = 0;
    std::optional<BraceBalance> bal;
    for (int32_t i = 0; i < n; i++) {
      uint32_t c = get_char(at(i), unit);
      if (c == '{') {
        if (balance) {
          if (!bal) bal.emplace(at(0), unit, n);
          balance = bal->balanced(i);
        }
        append_run(out, at(run), unit, i - run);
        run = i + 1;
        if (balance) {
          open++;
          append_char(buffer(out), '{');
        } else {
          append_bytes(out, "^{", 2);
        }
      } else if (c == '}') {
        append_run(out, at(run), unit, i - run);
        run = i + 1;
        if (open > 0) {
          open--;
          append_char(buffer(out), '}');
        } else {
          append_bytes(out, "^}", 2);
        }
      } else if (c != '"' && needs_escape(c, all)) {
        append_run(out, at(run), unit, i - run);
        run = i + 1;
        if (c == '^')
          append_bytes(out, "^^", 2);
        else
          escape_char(out, c, all);
      }
    }
  }
  append_run(out, at(run), unit, n - run);
  append_char(buffer(out), braces ? '}' : '"');
  return limit - n - 2;
}

// --- make and to

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  if (spec->is(TypeId::integer) || spec->is(TypeId::float_)) {
    const int32_t size = make_size(spec);
    Node n = memory::alloc_bytes(static_cast<uint64_t>(size));
    *proto = Cell{static_cast<uint32_t>(type), 0, n, 0};
    return proto;
  }
  if (type == TypeId::binary) {
    if (spec->is(TypeId::money)) {
      Cell dt;
      set_datatype(&dt, TypeId::binary);
      fire(ErrorCode::script_bad_make_arg, &dt, spec);
    }
    return binary::to(proto, spec, type);
  }
  return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, TypeId type) {
  Cell result;
  const TypeId st = spec->type();
  if (is_any_string(st)) {
    Cell s = *spec;
    series::copy(&s, &result, nullptr, false, nullptr);
  } else if (st == TypeId::binary) {
    Cell b = *spec;
    const int32_t n = series::get_rest_length(&b, series::Whole::no);
    const uint8_t* p = memory::series(b.node())->head_ptr() + b.head();
    result = *load_utf8_checked(p, static_cast<size_t>(n));
    stack::pop(1);
  } else if (st == TypeId::block || st == TypeId::paren || st == TypeId::hash) {
    rs_make_at(&result, 16);
    Cell blk = *spec;
    append(&result, &blk, -1, false, 1, true);
  } else if (st == TypeId::refinement) {
    rs_make_at(&result, 16);
    Cell r = *spec;
    if (type == TypeId::string)
      actions::call_form(&r, &result, nullptr, kNoLimit);
    else
      actions::call_mold(&r, &result, {.only = true, .all = true, .flat = true}, nullptr, kNoLimit, 0);
  } else if (st == TypeId::none) {
    Cell dt;
    set_datatype(&dt, TypeId::string);
    fire(ErrorCode::script_bad_to_arg, &dt, spec);
  } else {
    rs_make_at(&result, 16);
    Cell v = *spec;
    actions::call_form(&v, &result, nullptr, kNoLimit);
  }
  result.set_type(type);
  result.data3 = 0;
  *proto = result;
  return proto;
}

}  // namespace qel::string

namespace qel::cycle_guard {

bool detect(const Cell* value, Cell* buffer, int32_t& limit, Output out) {
  const std::string_view marker = repeated_marker(value, out);
  if (marker.empty()) return false;
  limit = string::emit(buffer, marker, limit);
  return true;
}

}  // namespace qel::cycle_guard
