// The matching routines of the parse engine: one literal at the input
// position, the fast runs of repeated literals, the literal searches of
// `to` and `thru`, datatype tests by lexer scan for binary input, and the
// values taken out of the input (see internal.h).
//
// Text literals meet binary input as their UTF-8 bytes, and binary literals
// meet string input as the UTF-8 text they hold. Without /case,
// string input compares characters folded to upper case, binary input
// compares bytes with the ASCII letters folded.
#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/typeset.h"
#include "lexer/lexer.h"
#include "parse/internal.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

namespace qel::parse {

namespace {

inline CompareOp text_op(int32_t mode) {
  return mode == kModeSensitive ? CompareOp::strict_equal : CompareOp::equal;
}

// The comparison of a rule value with a block's value: lit-words and
// lit-paths match their word and path under the parse equalities.
inline CompareOp block_op(const Cell* rule, int32_t mode) {
  TypeId t = rule->type();
  if (t == TypeId::lit_word || t == TypeId::lit_path)
    return mode == kModeSensitive ? CompareOp::parse_strict_equal : CompareOp::parse_equal;
  return mode == kModeSensitive ? CompareOp::strict_equal : CompareOp::equal;
}

inline uint8_t fold_ascii(uint8_t b) { return (b >= 'a' && b <= 'z') ? b - 32 : b; }

// The bytes a literal stands for against binary input: a text value's
// UTF-8, a binary's bytes, a character's code when it fits a byte. False
// for other values (and a character above 0xFF, which matches no byte).
bool literal_bytes(const Cell* rule, std::string& out) {
  TypeId t = rule->type();
  if (t == TypeId::char_) {
    if (rule->data3 > 0xFF) return false;
    out.assign(1, static_cast<char>(rule->data3));
    return true;
  }
  if (t == TypeId::binary) {
    const SeriesBuffer* b = memory::series(rule->node());
    int32_t len = static_cast<int32_t>(b->tail - b->offset);
    int32_t head = std::clamp(rule->head(), 0, len);
    out.assign(reinterpret_cast<const char*>(b->data() + b->offset + head),
               static_cast<size_t>(len - head));
    return true;
  }
  if (is_any_string(t)) {
    out.clear();
    if (t == TypeId::tag) out.push_back('<');
    string::to_utf8(rule, out);
    if (t == TypeId::tag) out.push_back('>');
    return true;
  }
  return false;
}

bool bytes_equal(const uint8_t* a, const uint8_t* b, size_t n, int32_t mode) {
  if (mode == kModeSensitive) return std::memcmp(a, b, n) == 0;
  for (size_t i = 0; i < n; i++)
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
  return true;
}

inline const uint8_t* binary_base(const Cell* in) {
  SeriesBuffer* b = memory::series(in->node());
  return b->data() + b->offset;
}

int32_t match_binary(Cell* in, int32_t end, Cell* rule, int32_t mode) {
  const int32_t head = in->head();
  if (rule->is(TypeId::bitset)) {
    if (head >= end) return -1;
    return string::bitset_has(rule, binary_base(in)[head]) ? 1 : -1;
  }
  std::string bytes;
  if (!literal_bytes(rule, bytes)) {
    if (rule->is(TypeId::char_)) return -1;
    fire(ErrorCode::script_parse_rule, rule);
  }
  const int64_t n = static_cast<int64_t>(bytes.size());
  if (head + n > end) return -1;
  const uint8_t* p = binary_base(in) + head;
  return bytes_equal(p, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), mode)
             ? static_cast<int32_t>(n)
             : -1;
}

int32_t match_string(Cell* in, int32_t end, Cell* rule, int32_t mode) {
  const int32_t head = in->head();
  const TypeId t = rule->type();
  SeriesBuffer* b = string::buffer(in);
  if (t == TypeId::char_) {
    if (head >= end) return -1;
    uint32_t c = string::get_char(string::char_at(b, head), b->unit());
    uint32_t v = rule->data3;
    if (mode == kModeSensitive) return c == v ? 1 : -1;
    return string::fold(c) == string::fold(v) ? 1 : -1;
  }
  if (t == TypeId::bitset) {
    if (head >= end) return -1;
    return string::bitset_has(rule, string::get_char(string::char_at(b, head), b->unit())) ? 1
                                                                                           : -1;
  }
  if (is_any_string(t) || t == TypeId::binary) {
    Cell text = *rule;
    // A binary literal is read as the UTF-8 text it holds (nothing here
    // collects, so the decoded text needs no root).
    if (t == TypeId::binary) {
      std::string bytes;
      literal_bytes(rule, bytes);
      string::make_utf8(&text, bytes);
    }
    int32_t len = string::rest_length(&text);
    if (t == TypeId::tag) len += 2;
    if (len == 0) return 0;
    if (int64_t{head} + len > end) return -1;
    return string::match_head(in, &text, text_op(mode)) ? len : -1;
  }
  fire(ErrorCode::script_parse_rule, rule);
}

}  // namespace

int32_t input_length(const Cell* in) { return series::get_length(in); }

bool type_matches(TypeId t, const Cell* type) {
  if (type->is(TypeId::datatype)) return static_cast<TypeId>(type->data1) == t;
  return typeset::has(type, t);
}

int32_t match_literal(Cell* in, int32_t end, Cell* rule, int32_t mode) {
  switch (input_kind(in)) {
    case InputKind::block: {
      const int32_t head = in->head();
      if (head >= end) return -1;
      Cell value = *block::rs_abs_at(in, head);
      return actions::compare(&value, rule, block_op(rule, mode)) ? 1 : -1;
    }
    case InputKind::string:
      return match_string(in, end, rule, mode);
    case InputKind::binary:
      return match_binary(in, end, rule, mode);
  }
  return -1;
}

int32_t match_run(Cell* in, int32_t end, Cell* rule, bool is_skip, int32_t max, int32_t mode,
                  int32_t* units) {
  const int32_t head = in->head();
  int64_t room = std::max(end - head, 0);
  const int64_t limit = max < 0 ? room : std::min<int64_t>(max, room);
  if (is_skip) {
    *units = static_cast<int32_t>(limit);
    return static_cast<int32_t>(limit);
  }
  const TypeId t = rule->type();
  const InputKind kind = input_kind(in);
  int64_t count = 0;
  if (kind == InputKind::block) {
    switch (t) {
      case TypeId::word: case TypeId::set_word: case TypeId::get_word: case TypeId::integer:
      case TypeId::block: case TypeId::paren: case TypeId::path: case TypeId::set_path:
      case TypeId::get_path:
        return -1;
      default:
        break;
    }
    const bool by_type = t == TypeId::datatype || t == TypeId::typeset;
    const CompareOp op = block_op(rule, mode);
    Node node = in->node();
    while (count < limit) {
      // Comparing may allocate (nested blocks): read the cell afresh.
      Cell value = *(memory::series(node)->cells() + head + count);
      bool ok = by_type ? type_matches(value.type(), rule) : actions::compare(&value, rule, op);
      if (!ok) break;
      count++;
    }
    *units = static_cast<int32_t>(count);
    return static_cast<int32_t>(count);
  }
  if (t == TypeId::char_ || t == TypeId::bitset) {
    if (kind == InputKind::binary) {
      const uint8_t* p = binary_base(in) + head;
      if (t == TypeId::bitset) {
        while (count < limit && string::bitset_has(rule, p[count])) count++;
      } else if (rule->data3 <= 0xFF) {
        uint8_t v = static_cast<uint8_t>(rule->data3);
        if (mode == kModeSensitive) {
          while (count < limit && p[count] == v) count++;
        } else {
          v = fold_ascii(v);
          while (count < limit && fold_ascii(p[count]) == v) count++;
        }
      }
    } else {
      SeriesBuffer* b = string::buffer(in);
      const uint32_t unit = b->unit();
      const uint8_t* p = string::char_at(b, head);
      auto at = [&](int64_t i) { return string::get_char(p + (i << string::unit_shift(unit)), unit); };
      if (t == TypeId::bitset) {
        while (count < limit && string::bitset_has(rule, at(count))) count++;
      } else if (mode == kModeSensitive) {
        const uint32_t v = rule->data3;
        if (unit == 1) {
          while (count < limit && p[count] == v) count++;
        } else {
          while (count < limit && at(count) == v) count++;
        }
      } else {
        const uint32_t v = string::fold(rule->data3);
        if (unit == 1) {
          const uint32_t* fold = string::fold_table_1;
          while (count < limit && fold[p[count]] == v) count++;
        } else {
          while (count < limit && string::fold(at(count)) == v) count++;
        }
      }
    }
    *units = static_cast<int32_t>(count);
    return static_cast<int32_t>(count);
  }
  if (!(is_any_string(t) || t == TypeId::binary) || t == TypeId::tag) return -1;
  if (string::rest_length(rule) == 0) return -1;
  // A text or binary literal: one match after the other.
  Cell at = *in;
  int64_t consumed = 0;
  while (count < (max < 0 ? room : max)) {
    int32_t n = match_literal(&at, end, rule, mode);
    if (n <= 0) break;
    consumed += n;
    at.set_head(static_cast<int32_t>(head + consumed));
    count++;
  }
  *units = static_cast<int32_t>(consumed);
  return static_cast<int32_t>(count);
}

int32_t find_value(Cell* in, int32_t end, Cell* rule, int32_t mode, int32_t* length) {
  const int32_t head = in->head();
  const TypeId t = rule->type();
  switch (input_kind(in)) {
    case InputKind::block: {
      switch (t) {
        case TypeId::word: case TypeId::set_word: case TypeId::get_word: case TypeId::integer:
        case TypeId::block: case TypeId::paren: case TypeId::path: case TypeId::set_path:
        case TypeId::get_path: case TypeId::datatype: case TypeId::typeset:
          return -2;
        default:
          break;
      }
      const CompareOp op = block_op(rule, mode);
      Node node = in->node();
      for (int32_t i = head; i < end; i++) {
        Cell value = *(memory::series(node)->cells() + i);
        if (actions::compare(&value, rule, op)) {
          *length = 1;
          return i;
        }
      }
      return -1;
    }
    case InputKind::string: {
      if (t == TypeId::bitset) {
        SeriesBuffer* b = string::buffer(in);
        for (int32_t i = head; i < end; i++)
          if (string::bitset_has(rule, string::get_char(string::char_at(b, i), b->unit()))) {
            *length = 1;
            return i;
          }
        return -1;
      }
      if (t != TypeId::char_ && (!is_any_string(t) || t == TypeId::tag)) return -2;
      if (t != TypeId::char_ && string::rest_length(rule) == 0) {
        *length = 0;
        return head <= end ? head : -1;
      }
      if (head >= end) return -1;
      Cell part;
      set_integer(&part, end - head);
      FindArgs args;
      args.part = &part;
      args.case_ = mode == kModeSensitive;
      int32_t n = 0;
      int32_t at = string::find_index(in, rule, args, &n);
      if (at < 0 || int64_t{at} + n > end) return -1;
      *length = n;
      return at;
    }
    case InputKind::binary: {
      if (t == TypeId::bitset) {
        const uint8_t* p = binary_base(in);
        for (int32_t i = head; i < end; i++)
          if (string::bitset_has(rule, p[i])) {
            *length = 1;
            return i;
          }
        return -1;
      }
      std::string bytes;
      if (!literal_bytes(rule, bytes)) return t == TypeId::char_ ? -1 : -2;
      const int64_t n = static_cast<int64_t>(bytes.size());
      *length = static_cast<int32_t>(n);
      const uint8_t* p = binary_base(in);
      const uint8_t* needle = reinterpret_cast<const uint8_t*>(bytes.data());
      for (int64_t i = head; i + n <= end; i++)
        if (bytes_equal(p + i, needle, static_cast<size_t>(n), mode)) return static_cast<int32_t>(i);
      return -1;
    }
  }
  return -2;
}

bool scan_type(Cell* in, int32_t end, const Cell* type, int32_t* consumed) {
  const int32_t head = in->head();
  if (head >= end) return false;
  lexer::ScanOptions options;
  options.one = true;
  options.output = false;
  Cell* dst = stack::push_slot();
  set_none(dst);
  // Nothing is evaluated while the lexer scans without a callback, so the
  // bytes stay where they are.
  lexer::ScanResult r =
      lexer::scan(dst, binary_base(in) + head, static_cast<uint32_t>(end - head), options);
  stack::pop(1);
  if (r.type <= 0 || r.consumed == 0 || int64_t{head} + r.consumed > end) return false;
  if (!type_matches(static_cast<TypeId>(r.type), type)) return false;
  *consumed = static_cast<int32_t>(r.consumed);
  return true;
}

void copy_part(Cell* out, const Cell* in, int32_t from, int32_t to) {
  Cell src = *in;
  src.set_head(from);
  Cell part;
  set_integer(&part, to - from);
  Cell* r = actions::call_copy(&src, out, &part, false, nullptr);
  if (r != out) *out = *r;
}

void unit_value(Cell* out, const Cell* in, int32_t at) {
  switch (input_kind(in)) {
    case InputKind::block:
      *out = *block::rs_abs_at(in, at);
      out->clear_flag(cell_flag::new_line);
      return;
    case InputKind::string: {
      SeriesBuffer* b = string::buffer(in);
      set_char(out, string::get_char(string::char_at(b, at), b->unit()));
      return;
    }
    case InputKind::binary:
      set_integer(out, binary_base(in)[at]);
      return;
  }
}

}  // namespace qel::parse
