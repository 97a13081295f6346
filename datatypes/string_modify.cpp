// string!: the actions that change text in place (append, insert, change,
// swap, take, trim), shared by the other text types.
//
// Values inserted fall into three classes: a char! (one character), a text
// value (its characters from its head; a tag! adds its angle brackets) and
// every other value, which is inserted as its form (a block item by item,
// with nothing between the items). The buffer grows once to its final size
// (/dup copies included) and widens at most once; /dup copies by doubling.
// The owner of the series hears of each change before and after it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/stack.h"
#include "text/case_map.h"
#include "text/unicode.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

namespace qel::string {

namespace {

[[noreturn]] void no_memory() { fire(ErrorCode::internal_no_memory); }

inline bool is_block_like(TypeId t) { return t == TypeId::block || t == TypeId::paren || t == TypeId::hash; }

// The characters to insert: a run of `count` units of `unit` bytes at `p`,
// either inside a value's buffer or in `own` (a private copy).
struct Source {
  const uint8_t* p = nullptr;
  uint32_t unit = 1;
  int32_t count = 0;
  std::vector<uint8_t> own;
  uint32_t one = 0;  // storage of a single character
};

// Stores code points into `src.own` with the smallest unit that holds them.
void own_code_points(Source& src, const std::vector<uint32_t>& cps) {
  uint32_t unit = 1;
  for (uint32_t c : cps) unit = std::max(unit, unit_for_append(c));
  src.own.assign(cps.size() << unit_shift(unit), 0);
  for (size_t i = 0; i < cps.size(); i++) put_char(src.own.data() + (i << unit_shift(unit)), unit, cps[i]);
  src.p = src.own.data();
  src.unit = unit;
  src.count = static_cast<int32_t>(cps.size());
}

// The characters of a char! or text value, at most `part` of them when
// part >= 0 (a tag's brackets count). A value over the series' own buffer is
// copied first.
void text_source(const Cell* series, const Cell* value, int32_t part, Source& src) {
  if (value->is(TypeId::char_)) {
    src.one = value->data3;
    src.unit = unit_for_append(src.one);
    src.own.assign(4, 0);
    put_char(src.own.data(), src.unit, src.one);
    src.p = src.own.data();
    src.count = 1;
    return;
  }
  SeriesBuffer* b = buffer(value);
  const int32_t len = buffer_length(b);
  const int32_t head = std::clamp(value->head(), 0, len);
  int32_t n = len - head;
  if (value->is(TypeId::tag)) {
    std::vector<uint32_t> cps;
    cps.reserve(static_cast<size_t>(n) + 2);
    cps.push_back('<');
    for (int32_t i = head; i < len; i++) cps.push_back(get_char(char_at(b, i), b->unit()));
    cps.push_back('>');
    if (part >= 0 && static_cast<size_t>(part) < cps.size()) cps.resize(static_cast<size_t>(part));
    own_code_points(src, cps);
    return;
  }
  if (part >= 0 && part < n) n = part;
  src.unit = b->unit();
  src.count = n;
  const uint8_t* p = char_at(b, head);
  if (value->node() == series->node()) {
    src.own.assign(p, p + (static_cast<size_t>(n) << unit_shift(src.unit)));
    src.p = src.own.data();
  } else {
    src.p = p;
  }
}

// Forms the value into `out` (a new string): a block item by item. Without
// /only, `part` counts the items; with /only it limits the characters.
void form_into(Cell* out, Cell* value, int32_t part, bool only) {
  const int32_t limit = part < 0 ? kNoLimit : part;
  // An output that runs over the limit is cut back by the excess.
  auto cut_excess = [&](int32_t left) {
    if (left < 0) truncate_buffer(buffer(out), buffer_length(buffer(out)) + left);
  };
  if (is_block_like(value->type())) {
    const int32_t n = std::max(block::rs_length_q(value), 0);
    int32_t left = limit;
    for (int32_t i = 0; i < n; i++) {
      if (!only && i >= limit) break;
      Cell item = *block::rs_abs_at(value, value->head() + i);
      if (only) {
        if (left <= 0) break;
        left = actions::call_form(&item, out, nullptr, left);
        cut_excess(left);
      } else {
        actions::call_form(&item, out, nullptr, kNoLimit);
      }
    }
    return;
  }
  Cell v = *value;
  const int32_t left = actions::call_form(&v, out, nullptr, only ? limit : kNoLimit);
  if (only) cut_excess(left);
}

// The characters of any value: text and char! values directly, the others
// formed into a new string.
void gather(const Cell* series, Cell* value, int32_t part, bool only, Source& src, Cell* formed) {
  if (value->is(TypeId::char_) || is_any_string(value->type())) {
    text_source(series, value, part, src);
    return;
  }
  rs_make_at(formed, 16);
  form_into(formed, value, part, only);
  SeriesBuffer* b = buffer(formed);
  src.p = char_at(b, 0);
  src.unit = b->unit();
  src.count = buffer_length(b);
}

// Repeats the n units just written at `at` until they stand `dup` times.
void repeat_copy(uint8_t* at, size_t run_bytes, int64_t dup) {
  const size_t total = run_bytes * static_cast<size_t>(dup);
  size_t done = run_bytes;
  while (done < total) {
    const size_t chunk = std::min(done, total - done);
    std::memcpy(at + done, at, chunk);
    done += chunk;
  }
}

// Replaces `removed` characters at index `at` by the source repeated `dup`
// times: grows once, widens once. Returns the characters written.
int64_t splice(Cell* series, int32_t at, int32_t removed, const Source& src, int32_t dup) {
  const int64_t inserted = int64_t{src.count} * dup;
  if (inserted > 0x7FFFFFF0) no_memory();
  SeriesBuffer* b = buffer(series);
  const int32_t len = buffer_length(b);
  const int64_t grow = std::max<int64_t>(inserted - removed, 0);
  b = reserve(b, src.unit, static_cast<uint64_t>(grow));
  const uint32_t unit = b->unit();
  const uint32_t sh = unit_shift(unit);
  uint8_t* p = char_at(b, at);
  const size_t after = static_cast<size_t>(len - at - removed) << sh;
  if (inserted != removed) std::memmove(p + (static_cast<size_t>(inserted) << sh), p + (static_cast<size_t>(removed) << sh), after);
  if (src.count > 0) {
    if (src.unit == unit) {
      std::memcpy(p, src.p, static_cast<size_t>(src.count) << sh);
    } else {
      for (int32_t i = 0; i < src.count; i++)
        put_char(p + (static_cast<size_t>(i) << sh), unit, get_char(src.p + (static_cast<size_t>(i) << unit_shift(src.unit)), src.unit));
    }
    if (dup > 1) repeat_copy(p, static_cast<size_t>(src.count) << sh, dup);
  }
  b->tail = static_cast<uint32_t>(b->tail + ((inserted - removed) * (int64_t{1} << sh)));
  return inserted;
}

bool is_line_space(uint32_t c) {
  return c == ' ' || c == '\t' || (c >= 0x85 && is_white(c));
}

}  // namespace

bool is_white(uint32_t c) {
  if (c >= 1 && c <= 32) return true;
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// --- append and insert

namespace {

Cell* append_at_tail(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool notify) {
  int32_t len0 = buffer_length(buffer(series));
  bool owned = false;
  if (notify) owned = ownership::check(series, OwnerEvent::append, value, len0, part);
  // The owner's handler may have changed the string: what is appended (and
  // repeated by /dup) starts at its tail as it is now.
  if (owned) len0 = buffer_length(buffer(series));
  if (dup < 1) dup = 1;
  const TypeId vt = value->type();
  int32_t n;
  if (vt == TypeId::char_) {
    const uint32_t cp = value->data3;
    if (dup > 1) reserve(buffer(series), unit_for_append(cp), static_cast<uint64_t>(dup));
    append_char(buffer(series), cp);
    n = 1;
  } else if (is_any_string(vt)) {
    Cell v = *value;
    const int32_t vlen = rest_length(&v);
    int32_t total = vlen + (vt == TypeId::tag ? 2 : 0);
    if (part >= 0 && part < total) total = part;
    if (total == 0) return series;
    const uint64_t need = (uint64_t{static_cast<uint32_t>(total)} * dup);
    if (need > 0x7FFFFFF0) no_memory();
    reserve(buffer(series), buffer(&v)->unit(), need);
    int32_t left = total;
    if (vt == TypeId::tag) {
      append_char(buffer(series), '<');
      left--;
    }
    const int32_t body = std::min(left, vlen);
    if (body > 0) concatenate(series, &v, body, 0, Keep::no, Mode::append);
    left -= body;
    if (vt == TypeId::tag && left > 0) append_char(buffer(series), '>');
    n = total;
  } else {
    // The value is formed straight onto the tail. When forming fails part
    // way (a block nested too deep), the text written so far comes off
    // again, so that the series is left as it was.
    const int32_t before = buffer_length(buffer(series));
    try {
      form_into(series, value, part, only);
    } catch (...) {
      SeriesBuffer* b = buffer(series);
      if (buffer_length(b) > before)
        b->tail = b->offset + (static_cast<uint32_t>(before) << unit_shift(b->unit()));
      throw;
    }
    n = buffer_length(buffer(series)) - len0;
  }
  if (n <= 0) return series;
  if (dup > 1) {
    const int64_t total = int64_t{n} * dup;
    SeriesBuffer* b = buffer(series);
    if ((static_cast<uint64_t>(len0 + total) << unit_shift(b->unit())) > memory::kMaxSeriesBytes) {
      // A formed value is already at the tail: take it off again, so that a
      // repetition too large for a series leaves the series as it was.
      b->tail = b->offset + (static_cast<uint32_t>(len0) << unit_shift(b->unit()));
      no_memory();
    }
    b = reserve(b, 1, static_cast<uint64_t>(total - n));
    const uint32_t sh = unit_shift(b->unit());
    repeat_copy(char_at(b, len0), static_cast<size_t>(n) << sh, dup);
    b->tail += static_cast<uint32_t>((total - n) << sh);
  }
  if (owned) ownership::check(series, OwnerEvent::appended, value, len0, part < 0 ? 1 : part);
  series->set_head(0);
  return series;
}

}  // namespace

Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail) {
  if (at_tail) return append_at_tail(series, value, part, only, dup, true);
  rs_length_q(series);
  int32_t head = std::max(series->head(), 0);
  const bool owned = ownership::check(series, OwnerEvent::insert, value, head, part);
  if (owned) {
    rs_length_q(series);
    head = series->head();
  }
  if (dup < 1) dup = 1;
  if (head >= buffer_length(buffer(series))) {
    append_at_tail(series, value, part, only, dup, false);
    if (owned) ownership::check(series, OwnerEvent::inserted, value, head, part < 0 ? 1 : part);
    series->set_head(buffer_length(buffer(series)));
    return series;
  }
  // Inserted forms take /part as a character limit, block items included.
  Source src;
  Cell formed;
  gather(series, value, part, true, src, &formed);
  int64_t written = 0;
  if (src.count > 0) written = splice(series, head, 0, src, dup);
  if (owned) ownership::check(series, OwnerEvent::inserted, value, head, part < 0 ? 1 : part);
  const int64_t h = std::min<int64_t>(int64_t{head} + written, buffer_length(buffer(series)));
  series->set_head(static_cast<int32_t>(h));
  return series;
}

// --- change

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  rs_length_q(series);
  if (series->head() < 0) series->set_head(0);
  int32_t head = series->head();
  int32_t rest = buffer_length(buffer(series)) - head;
  if (part > rest) part = rest;
  if (dup < 1) dup = 1;
  int64_t count;
  if (part >= 0) {
    count = part;
  } else if (is_block_like(value->type()) || is_any_path(value->type())) {
    count = int64_t{dup} * std::max(block::rs_length_q(value), 0);
  } else {
    count = dup;
  }
  count = std::min<int64_t>(count, rest);
  const bool owned = ownership::check(series, OwnerEvent::change, &none_value, head, static_cast<int32_t>(count));
  if (owned) {
    rs_length_q(series);
    head = series->head();
    rest = buffer_length(buffer(series)) - head;
    if (part > rest) part = rest;
  }
  if (rest <= 0) {
    const int32_t before = buffer_length(buffer(series));
    append_at_tail(series, value, -1, only, dup, false);
    const int32_t added = buffer_length(buffer(series)) - before;
    if (owned) ownership::check(series, OwnerEvent::changed, &none_value, head, added);
    series->set_head(buffer_length(buffer(series)));
    return series;
  }
  // The value's characters as they are before the change (a value over the
  // same buffer is copied first).
  Source src;
  Cell formed;
  gather(series, value, -1, only, src, &formed);
  const int64_t inserted = int64_t{src.count} * dup;
  const int64_t removed = std::min<int64_t>(part >= 0 ? part : inserted, rest);
  if (int64_t{buffer_length(buffer(series))} + inserted - removed > 0x7FFFFFF0) no_memory();
  const int64_t written = splice(series, head, static_cast<int32_t>(removed), src, dup);
  if (owned) ownership::check(series, OwnerEvent::changed, &none_value, head, static_cast<int32_t>(written));
  const int64_t h = std::min<int64_t>(int64_t{head} + written, buffer_length(buffer(series)));
  series->set_head(static_cast<int32_t>(h));
  return series;
}

// --- swap and take

Cell* swap(Cell* series1, Cell* series2) {
  const TypeId t2 = series2->type();
  if (!is_any_string(t2) && t2 != TypeId::binary) fire(ErrorCode::script_invalid_arg, series2);
  if (rs_tail_q(series1) || rs_tail_q(series2)) return series1;
  const bool owned1 = ownership::check(series1, OwnerEvent::swap, &none_value, series1->head(), 1);
  const bool owned2 = ownership::check(series2, OwnerEvent::swap, &none_value, series2->head(), 1);
  if ((owned1 || owned2) && (rs_tail_q(series1) || rs_tail_q(series2))) return series1;
  const uint32_t c1 = rs_abs_at(series1, series1->head());
  const uint32_t c2 = rs_abs_at(series2, series2->head());
  // A binary holds bytes: a wider character keeps its low byte.
  if (series1->is(TypeId::binary))
    *char_at(buffer(series1), series1->head()) = static_cast<uint8_t>(c2);
  else
    write_char(buffer(series1), series1->head(), c2);
  if (series2->is(TypeId::binary))
    *char_at(buffer(series2), series2->head()) = static_cast<uint8_t>(c1);
  else
    write_char(buffer(series2), series2->head(), c1);
  if (owned1) ownership::check(series1, OwnerEvent::swaped, &none_value, series1->head(), 1);
  if (owned2) ownership::check(series2, OwnerEvent::swaped, &none_value, series2->head(), 1);
  return series1;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  Cell* result = series::take(series, part, deep, last);
  if (result->is(TypeId::none) || part) return result;
  if (series::get_length(result) != 1) return result;
  SeriesBuffer* b = buffer(result);
  const uint8_t* p = b->head_ptr();
  if (result->is(TypeId::binary)) {
    set_integer(result, *p);
  } else if (result->is(TypeId::vector)) {
    Cell v;
    if (series::vector_hooks.get) {
      series::vector_hooks.get(result, p, &v);
      *result = v;
    }
  } else {
    set_char(result, get_char(p, b->unit()));
  }
  return result;
}

// --- trim

void trim_with(Cell* series, const Cell* with) {
  std::vector<uint32_t> set;
  if (!with) {
    set = {'\t', '\n', '\r', ' '};
  } else if (with->is(TypeId::char_)) {
    set = {with->data3};
  } else if (with->is(TypeId::integer)) {
    set = {static_cast<uint32_t>(with->integer())};
  } else if (is_any_string(with->type()) || with->is(TypeId::binary)) {
    SeriesBuffer* wb = buffer(with);
    const int32_t wl = buffer_length(wb);
    for (int32_t i = std::max(with->head(), 0); i < wl; i++) set.push_back(get_char(char_at(wb, i), wb->unit()));
    if (set.empty()) return;
  } else {
    fire(ErrorCode::script_invalid_arg, with);
  }
  bool small[256] = {};
  const bool use_small = std::all_of(set.begin(), set.end(), [](uint32_t c) { return c < 256; });
  if (use_small)
    for (uint32_t c : set) small[c] = true;
  else
    std::sort(set.begin(), set.end());
  auto in_set = [&](uint32_t c) {
    if (use_small) return c < 256 && small[c];
    return std::binary_search(set.begin(), set.end(), c);
  };
  SeriesBuffer* b = buffer(series);
  const int32_t len = buffer_length(b);
  const int32_t head = std::clamp(series->head(), 0, len);
  const uint32_t unit = b->unit();
  int32_t w = head;
  for (int32_t r = head; r < len; r++) {
    const uint32_t c = get_char(char_at(b, r), unit);
    if (in_set(c)) continue;
    if (w != r) put_char(char_at(b, w), unit, c);
    w++;
  }
  b->tail = b->offset + (static_cast<uint32_t>(w) << unit_shift(unit));
}

void trim_lines(Cell* series) {
  SeriesBuffer* b = buffer(series);
  const int32_t len = buffer_length(b);
  const int32_t head = std::clamp(series->head(), 0, len);
  const uint32_t unit = b->unit();
  int32_t w = head;
  bool pending_space = false;
  for (int32_t r = head; r < len; r++) {
    const uint32_t c = get_char(char_at(b, r), unit);
    if (is_white(c)) {
      pending_space = w > head;
      continue;
    }
    if (pending_space) {
      put_char(char_at(b, w++), unit, ' ');
      pending_space = false;
    }
    put_char(char_at(b, w++), unit, c);
  }
  b->tail = b->offset + (static_cast<uint32_t>(w) << unit_shift(unit));
}

void trim_spaces(Cell* series, Ends ends) {
  SeriesBuffer* b = buffer(series);
  const int32_t len = buffer_length(b);
  const int32_t head = std::clamp(series->head(), 0, len);
  const uint32_t unit = b->unit();
  auto at = [&](int32_t i) { return get_char(char_at(b, i), unit); };
  int32_t start = head, end = len;
  if (ends != Ends::tail)
    while (start < end && is_white(at(start))) start++;
  bool cut_line_feed = false;
  if (ends != Ends::head) {
    while (end > start && is_white(at(end - 1))) {
      if (at(end - 1) == '\n') cut_line_feed = true;
      end--;
    }
  }
  int32_t w = head;
  if (ends != Ends::both) {
    if (start != head)
      std::memmove(char_at(b, head), char_at(b, start), static_cast<size_t>(end - start) << unit_shift(unit));
    w = head + (end - start);
  } else {
    bool after_line_feed = false;
    for (int32_t r = start; r < end; r++) {
      const uint32_t c = at(r);
      if (after_line_feed && is_line_space(c)) continue;
      after_line_feed = false;
      if (is_line_space(c)) {
        // A run of line spaces is dropped when a line feed follows it.
        int32_t k = r;
        while (k < end && is_line_space(at(k))) k++;
        if (!(k < end && at(k) == '\n'))
          for (int32_t j = r; j < k; j++) put_char(char_at(b, w++), unit, at(j));
        r = k - 1;
        continue;
      }
      if (c == '\n') after_line_feed = true;
      put_char(char_at(b, w++), unit, c);
    }
    if (cut_line_feed) put_char(char_at(b, w++), unit, '\n');
  }
  b->tail = b->offset + (static_cast<uint32_t>(w) << unit_shift(unit));
}

Cell* trim(Cell* series, const TrimArgs& args) {
  const bool owned = ownership::check(series, OwnerEvent::trim, &none_value, series->head(), 0);
  rs_length_q(series);
  if (args.all || args.with) {
    trim_with(series, args.with);
  } else if (args.auto_) {
    fire(ErrorCode::internal_not_done);
  } else if (args.lines) {
    trim_lines(series);
  } else {
    const Ends ends = args.head ? (args.tail ? Ends::head_and_tail : Ends::head) : args.tail ? Ends::tail : Ends::both;
    trim_spaces(series, ends);
  }
  if (owned) ownership::check(series, OwnerEvent::trimmed, &none_value, series->head(), 0);
  return series;
}

int32_t change_case(Cell* target, const Cell* part, unicode::Case c) {
  if (target->is(TypeId::char_)) {
    target->data3 = unicode::case_lookup(target->data3, c);
    return 0;
  }
  if (!is_any_string(target->type())) return 0;
  SeriesBuffer* s = memory::series(target->node());
  int64_t len = s->length();
  int64_t head = std::clamp<int64_t>(target->head(), 0, len);
  target->set_head(static_cast<int32_t>(head));
  int64_t count = len - head;
  if (part != nullptr && part->is(TypeId::integer)) {
    count = std::min<int64_t>(count, part->integer());
  } else if (part != nullptr && !part->is(TypeId::none)) {
    if (part->type() != target->type() || part->node() != target->node()) {
      series::fire_invalid_refine("part", part);
    }
    count = std::min<int64_t>(count, int64_t{part->head()} - head);
  }
  if (count <= 0) return 0;
  unicode::change_case_units(s, static_cast<uint32_t>(head), static_cast<uint32_t>(count), c);
  return static_cast<int32_t>(count);
}

}  // namespace qel::string
