// The QELBIN decoder: both variants, codec mode and boot mode (see
// services/qelbin.h and the layouts in services/qelbin_format.h).
//
// One Decoder walks the records with a bounded cursor: every read checks
// the bytes left first, so malformed data ends in `qb-invalid-record` at the
// position of the read that failed. Each record appends exactly one value
// to the block it is decoded into (a boot-data word-setting record appends
// none). Containers (blocks, maps, objects, functions, errors) are appended
// before their contents are decoded, so that a reference path inside them
// can lead back to them: that is how shared series and cycles come back.
// Pointers into a block are taken again after anything that may grow it.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/binary.h"
#include "datatypes/date.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "datatypes/native.h"
#include "core/stack.h"
#include "services/decompress.h"
#include "memory/hashtable.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "services/image_codec.h"
#include "services/qelbin.h"
#include "services/qelbin_format.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/object_events.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::qelbin {

bool codec_q = false;

namespace {

using namespace format;

// The header of one record, read before its fields.
struct Head {
  TypeId type = TypeId::none_id;
  bool new_line = false;
  bool reference = false;  // contents given as a reference path
  bool set_next = false;   // boot data: set this word to the next value
  bool flag = false;       // compact: bit 6 of the header byte
  uint32_t bits = 0;       // fixed: the header word
  const uint8_t* at = nullptr;
};

// Where an object or function being decoded puts its cell: appended to a
// block, or (the owner of a bound word) nowhere, the word at `word_index`
// of `block` taking its context as soon as it exists.
struct Place {
  Node block = 0;
  bool append = true;
  int32_t word_index = -1;   // the word's index in the owner's context
};

class Decoder {
 public:
  Decoder(const uint8_t* data, size_t length, size_t position_base, Mode mode, Node target)
      : base_(data), p_(data), end_(data + length), position_base_(position_base), mode_(mode),
        target_(target) {}

  void run(bool compact, bool symbols) {
    compact_ = compact;
    if (compact) {
      uvarint();  // the record count is not used
      const uint32_t size = uvarint();
      if (symbols) read_symbols_compact();
      records(size);
    } else {
      word32();  // the record count
      const uint32_t size = word32();
      if (symbols) read_symbols_fixed();
      records(size);
    }
  }

 private:
  const uint8_t* base_;
  const uint8_t* p_;
  const uint8_t* end_;
  size_t position_base_;
  Mode mode_;
  Node target_;
  bool compact_ = true;
  int32_t depth_ = 0;

  uint32_t symbol_count_ = 0;
  const uint8_t* offsets_ = nullptr;
  const uint8_t* names_ = nullptr;
  uint32_t names_size_ = 0;
  std::vector<SymbolId> symbol_ids_;  // 0 until interned
  std::vector<Cell> global_words_;    // header 0 until made
  std::vector<uint32_t> path_;

  // --- failures

  [[noreturn]] void fail_at(const uint8_t* at) const {
    Cell position;
    set_integer(&position, static_cast<int32_t>(position_base_ + static_cast<size_t>(at - base_) + 1));
    fire(ErrorCode::script_qb_invalid_record, &position);
  }
  [[noreturn]] void fail() const { fail_at(p_); }

  [[noreturn]] static void no_codec(TypeId t) {
    Cell dt;
    set_datatype(&dt, t);
    fire(ErrorCode::access_no_codec, &dt);
  }

  // --- reading

  size_t left() const { return static_cast<size_t>(end_ - p_); }
  void need(size_t n) const {
    if (left() < n) fail();
  }
  uint8_t byte() {
    need(1);
    return *p_++;
  }
  uint32_t raw32() {
    need(4);
    uint32_t v = uint32_t{p_[0]} | uint32_t{p_[1]} << 8 | uint32_t{p_[2]} << 16 | uint32_t{p_[3]} << 24;
    p_ += 4;
    return v;
  }
  uint32_t word32() { return raw32(); }
  uint32_t uvarint() {
    if (p_ < end_ && *p_ < 0x80) return *p_++;
    const uint8_t* start = p_;
    uint32_t v = 0;
    for (int i = 0; i < 5; i++) {
      if (p_ >= end_) fail();
      const uint8_t b = *p_++;
      if (i == 4 && b >= 0x10) fail_at(start);
      v |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return v;
    }
    fail_at(start);
  }
  // An unsigned field: a uvarint or a word.
  uint32_t unsigned_field() { return compact_ ? uvarint() : word32(); }
  // A signed field: an svarint or a word.
  int32_t signed_field() {
    return compact_ ? unzigzag(uvarint()) : static_cast<int32_t>(word32());
  }
  // A count of things that each take at least `each` bytes: refused when
  // the rest of the data cannot hold them.
  uint32_t count_field(size_t each) {
    const uint8_t* at = p_;
    const uint32_t n = unsigned_field();
    if (static_cast<uint64_t>(n) * each > left()) fail_at(at);
    return n;
  }
  // A head index (series position): at most the largest integer.
  int32_t head_field() {
    const uint8_t* at = p_;
    const uint32_t h = unsigned_field();
    if (h > 0x7FFFFFFFu) fail_at(at);
    return static_cast<int32_t>(h);
  }
  // n raw bytes; the fixed variant pads them to a multiple of 4.
  const uint8_t* bytes(size_t n) {
    const size_t padded = compact_ ? n : (n + 3) & ~size_t{3};
    need(padded);
    const uint8_t* b = p_;
    p_ += padded;
    return b;
  }
  // An IEEE double: compact low word first, fixed high word first.
  double real() {
    uint32_t a = raw32(), b = raw32();
    const uint64_t bits = compact_ ? (uint64_t{b} << 32 | a) : (uint64_t{a} << 32 | b);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // --- the symbol table

  void read_symbols_compact() {
    const uint8_t* at = p_;
    symbol_count_ = uvarint();
    names_size_ = uvarint();
    table_at(at);
  }
  void read_symbols_fixed() {
    const uint8_t* at = p_;
    symbol_count_ = word32();
    names_size_ = word32();
    table_at(at);
  }
  void table_at(const uint8_t* at) {
    if (static_cast<uint64_t>(symbol_count_) * 4 > left()) fail_at(at);
    offsets_ = p_;
    p_ += size_t{symbol_count_} * 4;
    if (names_size_ > left()) fail_at(at);
    names_ = p_;
    p_ += names_size_;
    if (names_size_ > 0 && names_[names_size_ - 1] != 0) fail_at(p_ - 1);
    symbol_ids_.assign(symbol_count_, 0);
  }

  // The symbol of a table index, interned on first use (exact case).
  SymbolId symbol_at(uint32_t index, const uint8_t* at) {
    if (index >= symbol_count_) fail_at(at);
    SymbolId& id = symbol_ids_[index];
    if (id) return id;
    const uint8_t* o = offsets_ + size_t{index} * 4;
    const uint32_t offset = uint32_t{o[0]} | uint32_t{o[1]} << 8 | uint32_t{o[2]} << 16 | uint32_t{o[3]} << 24;
    if (offset >= names_size_) fail_at(at);
    const char* name = reinterpret_cast<const char*>(names_ + offset);
    const size_t len = std::strlen(name);  // the area ends in NUL
    // A name is UTF-8 text: other bytes would make a word whose spelling
    // is not.
    if (len == 0 || unicode::utf8_valid_prefix(reinterpret_cast<const uint8_t*>(name), len) != len)
      fail_at(at);
    id = symbol::make(std::string_view(name, len));
    return id;
  }
  SymbolId symbol_field() {
    const uint8_t* at = p_;
    return symbol_at(unsigned_field(), at);
  }
  // The global word of a table index (made once per symbol).
  Cell global_word(uint32_t index, const uint8_t* at) {
    if (index < global_words_.size() && global_words_[index].header != 0) return global_words_[index];
    const SymbolId sym = symbol_at(index, at);
    if (global_words_.size() < symbol_count_) global_words_.assign(symbol_count_, Cell{0, 0, 0, 0});
    Cell& w = global_words_[index];
    word::make_at_symbol(sym, &w);
    return w;
  }

  // --- appending

  // A new unset! cell at the tail of a block series.
  static Cell* add(Node block) { return append_slot(block); }
  static int32_t length_of(Node block) {
    return static_cast<int32_t>(memory::series(block)->length());
  }
  static Cell* cell_in(Node block, int32_t i) { return memory::series(block)->cells() + i; }
  static void append(Node block, const Cell& c) {
    SeriesBuffer* s = memory::series(block);
    if (s->free_bytes() >= sizeof(Cell)) {
      std::memcpy(s->tail_ptr(), &c, sizeof(Cell));
      s->tail += sizeof(Cell);
    } else {
      *add(block) = c;
    }
  }

  // --- records

  void records(uint32_t size) {
    if (size > left()) fail();
    end_ = p_ + size;
    while (p_ < end_) {
      if (!compact_ && padding()) continue;
      record(target_, true);
    }
  }

  // Fixed variant: skips one zero (padding) word.
  bool padding() {
    if (left() >= 4 && p_[0] == 0 && p_[1] == 0 && p_[2] == 0 && p_[3] == 0) {
      p_ += 4;
      return true;
    }
    return false;
  }

  // Decodes `n` records into a block series.
  void records_into(Node block, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) record(block, false);
  }

  // Reads prefixes and the header. False for the compact one-byte values
  // (small integers, logic, earlier values), which it appends itself.
  bool head(Head& h, Node dest, bool top) {
    if (compact_) {
      uint8_t b;
      h.at = p_;
      for (;;) {
        b = byte();
        if (b == byte::new_line) {
          h.new_line = true;
        } else if (b == byte::reference) {
          h.reference = true;
        } else if (b == byte::set_next) {
          if (mode_ == Mode::codec || !top) fail_at(h.at);
          h.set_next = true;
        } else {
          break;
        }
      }
      if (b >= 0x80) {
        if (h.reference || h.set_next) fail_at(h.at);
        Cell c;
        if (b < 0xC0) {
          set_integer(&c, b & byte::type_mask);
        } else if (b == byte::logic_true || b == byte::logic_false) {
          set_logic(&c, b == byte::logic_true);
        } else if (b == byte::earlier_value) {
          c = resolve_path();
        } else {
          fail_at(h.at);
        }
        if (h.new_line) c.set_flag(cell_flag::new_line);
        append(dest, c);
        return false;
      }
      uint32_t t = b & byte::type_mask;
      if (t == byte::type_follows) t = uvarint();
      h.flag = (b & byte::flag) != 0;
      set_type(h, t);
    } else {
      while (padding()) {
      }
      h.at = p_;
      h.bits = word32();
      h.new_line = (h.bits & fixed::new_line) != 0;
      const uint32_t t = h.bits & 0xFF;
      if (t == fixed::earlier_value) {
        Cell c = resolve_path_body();
        if (h.new_line) c.set_flag(cell_flag::new_line);
        append(dest, c);
        return false;
      }
      set_type(h, t);
      h.reference = (h.bits & fixed::reference) != 0 && tracked(h.type);
      if (mode_ == Mode::boot && h.type >= TypeId::word && h.type <= TypeId::refinement &&
          (h.bits & fixed::global_word)) {
        if (!top) fail_at(h.at);
        h.set_next = true;
      }
    }
    if (h.set_next && !(h.type >= TypeId::word && h.type <= TypeId::refinement)) fail_at(h.at);
    return true;
  }

  // The types whose contents may be given as a reference path (the fixed
  // variant's bit 19 means something else in an op!'s header).
  static bool tracked(TypeId t) {
    return is_any_block(t) || t == TypeId::map || is_any_string(t) || t == TypeId::binary ||
           t == TypeId::vector || t == TypeId::bitset || t == TypeId::image ||
           t == TypeId::object || t == TypeId::function ||
           (t >= TypeId::word && t <= TypeId::refinement);
  }

  void set_type(Head& h, uint32_t t) {
    if (t == 0 || t > kLastType || t == uint32_t(TypeId::symbol) || t == uint32_t(TypeId::series))
      fail_at(h.at);
    h.type = static_cast<TypeId>(t);
    if (no_record(h.type)) no_codec(h.type);
  }

  // Decodes one record into `dest`.
  void record(Node dest, bool top) {
    // The most frequent records in short: unbound words and small integers
    // without prefixes.
    if (compact_ && p_ < end_) {
      const uint8_t b = *p_;
      if (b >= 0x80 && b < 0xC0) {
        p_++;
        Cell c;
        set_integer(&c, b & byte::type_mask);
        append(dest, c);
        return;
      }
      if (b >= static_cast<uint8_t>(TypeId::word) && b <= static_cast<uint8_t>(TypeId::refinement)) {
        const uint8_t* at = ++p_;
        Cell w = global_word(uvarint(), at);
        w.set_type(static_cast<TypeId>(b));
        append(dest, w);
        return;
      }
    }
    Depth depth(depth_);
    Head h;
    if (!head(h, dest, top)) return;
    if (h.set_next) {
      set_next(h, dest);
      return;
    }
    body(h, dest);
  }

  // Appends a finished scalar cell.
  static void put(Node dest, Cell c, const Head& h) {
    if (h.new_line) c.set_flag(cell_flag::new_line);
    append(dest, c);
  }

  // A reference prefix on a type that cannot take one.
  void no_reference(const Head& h) const {
    if (h.reference) fail_at(h.at);
  }

  void body(const Head& h, Node dest) {
    Cell c;
    switch (h.type) {
      case TypeId::datatype: {
        no_reference(h);
        const uint8_t* at = p_;
        const uint32_t t = unsigned_field();
        if (t == 0 || t > kLastType) fail_at(at);
        set_datatype(&c, static_cast<TypeId>(t));
        return put(dest, c, h);
      }
      case TypeId::unset:
      case TypeId::none:
        no_reference(h);
        c = Cell{static_cast<uint32_t>(h.type), 0, 0, 0};
        return put(dest, c, h);
      case TypeId::logic: {
        // The compact variant writes logic as one byte (0xC2, 0xC3).
        no_reference(h);
        if (compact_) fail_at(h.at);
        const uint8_t* at = p_;
        const uint32_t v = word32();
        if (v > 1) fail_at(at);
        set_logic(&c, v == 1);
        return put(dest, c, h);
      }
      case TypeId::char_: {
        no_reference(h);
        const uint8_t* at = p_;
        const uint32_t cp = unsigned_field();
        if (cp > 0x10FFFF) fail_at(at);
        set_char(&c, cp);
        return put(dest, c, h);
      }
      case TypeId::integer:
        no_reference(h);
        set_integer(&c, signed_field());
        return put(dest, c, h);
      case TypeId::float_:
      case TypeId::time:
        no_reference(h);
        set_float(&c, compact_ && h.flag ? static_cast<double>(signed_field()) : real(), h.type);
        return put(dest, c, h);
      case TypeId::percent:
        no_reference(h);
        set_float(&c, compact_ && h.flag ? static_cast<double>(signed_field()) / 100.0 : real(),
                  TypeId::percent);
        return put(dest, c, h);
      case TypeId::pair: {
        no_reference(h);
        const int32_t x = signed_field();
        const int32_t y = signed_field();
        pair::make_at(&c, x, y);
        return put(dest, c, h);
      }
      case TypeId::point2d:
      case TypeId::point3d: {
        no_reference(h);
        c = Cell{static_cast<uint32_t>(h.type), 0, 0, 0};
        c.data1 = raw32();
        c.data2 = raw32();
        if (h.type == TypeId::point3d) c.data3 = raw32();
        return put(dest, c, h);
      }
      case TypeId::date:
        no_reference(h);
        return date(h, dest);
      case TypeId::typeset: {
        no_reference(h);
        typeset::Bits b;
        if (compact_) {
          const uint8_t* at = p_;
          const uint8_t n = byte();
          if (n > 12) fail_at(at);
          std::memcpy(b.bytes, bytes(n), n);
        } else {
          std::memcpy(b.bytes, bytes(12), 12);
        }
        typeset::make_at(&c, b);
        return put(dest, c, h);
      }
      case TypeId::tuple: {
        no_reference(h);
        int32_t n = 3;
        uint8_t b[12] = {};
        if (compact_) {
          if (h.flag) {
            const uint8_t* at = p_;
            n = byte();
            if (n < 1 || n > 12) fail_at(at);
          }
          std::memcpy(b, bytes(static_cast<size_t>(n)), static_cast<size_t>(n));
        } else {
          n = static_cast<int32_t>((h.bits >> fixed::byte_shift) & 0xFF);
          if (n < 1 || n > 12) fail_at(h.at);
          std::memcpy(b, bytes(12), 12);
          std::memset(b + n, 0, static_cast<size_t>(12 - n));
        }
        tuple::make_at(&c, b, n);
        return put(dest, c, h);
      }
      case TypeId::money: {
        no_reference(h);
        const bool negative = compact_ ? h.flag : (h.bits & fixed::negative) != 0;
        const uint8_t* at = p_;
        const uint8_t* m = bytes(12);
        // Each nibble of the 11 digit bytes is a decimal digit.
        for (int i = 1; i < 12; i++)
          if ((m[i] >> 4) > 9 || (m[i] & 15) > 9) fail_at(at);
        money::make_from_bcd(&c, negative, m[0], m + 1);
        return put(dest, c, h);
      }
      case TypeId::issue: {
        no_reference(h);
        const uint8_t* at = p_;
        c = global_word(unsigned_field(), at);
        c.set_type(TypeId::issue);
        return put(dest, c, h);
      }
      case TypeId::word:
      case TypeId::set_word:
      case TypeId::lit_word:
      case TypeId::get_word:
      case TypeId::refinement:
        return word(h, dest);
      case TypeId::context: {
        no_reference(h);
        Place place{dest};
        context_record(h, place);
        return;
      }
      case TypeId::block:
      case TypeId::paren:
      case TypeId::path:
      case TypeId::lit_path:
      case TypeId::set_path:
      case TypeId::get_path:
      case TypeId::hash:
        return block(h, dest);
      case TypeId::map:
        return map(h, dest);
      case TypeId::string:
      case TypeId::file:
      case TypeId::url:
      case TypeId::tag:
      case TypeId::email:
      case TypeId::ref:
      case TypeId::binary:
      case TypeId::vector:
        return text(h, dest);
      case TypeId::bitset:
        return bitset(h, dest);
      case TypeId::image:
        return image(h, dest);
      case TypeId::object: {
        Place place{dest};
        object(h, place);
        return;
      }
      case TypeId::function: {
        Place place{dest};
        function(h, place);
        return;
      }
      case TypeId::native:
      case TypeId::action:
        no_reference(h);
        return builtin(h, dest);
      case TypeId::op:
        no_reference(h);
        return op(h, dest);
      case TypeId::error:
        no_reference(h);
        return error(h, dest);
      default:
        fail_at(h.at);
    }
  }

  // --- scalars with checks

  void date(const Head& h, Node dest) {
    const uint8_t* at = p_;
    const uint32_t w = raw32();
    const bool timed = date::has_time(w);
    double t = 0.0;
    if (compact_) {
      if (h.flag != timed) fail_at(at);
      if (timed) t = real();
    } else {
      t = real();
      if (!timed) t = 0.0;
    }
    const int32_t m = date::month(w), d = date::day(w);
    if (m < 1 || m > 12 || d < 1 || d > days_in_month(date::year(w), m)) fail_at(at);
    // A stored time is the local time of day less the zone's offset.
    const double local = t + date::zone_seconds(date::zone_code(w));
    if (timed && !(local >= 0.0 && local < date::kSecondsPerDay)) fail_at(at);
    Cell c;
    c.header = static_cast<uint32_t>(TypeId::date);
    date::set_cell(&c, w, t);
    put(dest, c, h);
  }

  static int32_t days_in_month(int32_t year, int32_t month) {
    static constexpr int32_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && !date::leap_year_q(year)) return 28;
    return kDays[month - 1];
  }

  // --- reference paths

  // Reads a path (after its introduction) into path_ and walks it.
  Cell resolve_path_body() {
    const uint8_t* at = p_;
    const uint32_t n = compact_ ? uvarint() : word32();
    if (n < 1 || n > kMaxPath || n > left()) fail_at(at);
    path_.resize(n);
    for (uint32_t i = 0; i < n; i++) path_[i] = unsigned_field();
    return walk(at);
  }
  // A path: compact count and indexes; fixed 255, count, indexes.
  Cell resolve_path() {
    if (!compact_) {
      const uint8_t* at = p_;
      if (word32() != fixed::earlier_value) fail_at(at);
    }
    return resolve_path_body();
  }

  // The cell a path designates, from the target block's buffer start.
  Cell walk(const uint8_t* at) {
    Cell cur;
    set_series(&cur, TypeId::block, target_, 0);
    for (size_t k = 0; k < path_.size(); k++) {
      const uint32_t i = path_[k];
      TypeId t = cur.type();
      if (t == TypeId::op) {
        cur = op::unwrap(&cur);
        t = cur.type();
      }
      if (is_any_word(t) && t != TypeId::issue) {
        const Node ctx = cur.context();
        if (!ctx) fail_at(at);
        const Cell* cc = context::context_cell(ctx);
        if (context::on_stack(cc)) {
          cur = *context::owner(ctx);
          if (!cur.is(TypeId::function)) fail_at(at);
          t = TypeId::function;
        } else {
          cur = value_at(memory::series(cc->data2), i, at);
          continue;
        }
      }
      switch (t) {
        case TypeId::block:
        case TypeId::paren:
        case TypeId::path:
        case TypeId::lit_path:
        case TypeId::set_path:
        case TypeId::get_path:
        case TypeId::hash:
        case TypeId::map:
          cur = value_at(memory::series(cur.node()), i, at);
          break;
        case TypeId::native:
        case TypeId::action:
          cur = value_at(memory::series(cur.data2), i, at);
          break;
        case TypeId::object:
          cur = value_at(memory::series(context::context_cell(cur.data1)->data2), i, at);
          break;
        case TypeId::error:
          if (i >= 7) fail_at(at);  // arg1 ... stack, files
          cur = value_at(memory::series(context::context_cell(cur.data1)->data2),
                         i + static_cast<uint32_t>(error::kArg1), at);
          break;
        case TypeId::function:
          if (i == 0) {
            set_series(&cur, TypeId::block, cur.data2, 0);
          } else if (i == 1) {
            cur = *function::extra(&cur, function::kBody);
            if (!cur.is(TypeId::block)) fail_at(at);
          } else {
            fail_at(at);
          }
          break;
        default:
          fail_at(at);
      }
    }
    cur.clear_flag(cell_flag::new_line);
    return cur;
  }

  Cell value_at(SeriesBuffer* s, uint32_t i, const uint8_t* at) const {
    if (s->unit() != sizeof(Cell) || i >= s->length()) fail_at(at);
    return s->cells()[i];
  }

  // The context a referenced cell carries (0: none).
  static Node carried_context(const Cell& c) {
    TypeId t = c.type();
    if (t == TypeId::op) t = op::wrapped(&c);
    if (object::is_object_like(t) || t == TypeId::function || t == TypeId::routine) return c.data1;
    if (is_any_word(t) && t != TypeId::issue) return c.context();
    return 0;
  }

  // --- series

  // A referenced series for a record of type `t` with head `head`: the
  // cell found must be of a kind whose buffer that type can take.
  Cell series_reference(const Head& h, int32_t head) {
    const uint8_t* at = p_;
    Cell found = resolve_path();
    TypeId f = found.type();
    if (f == TypeId::op) {
      found = op::unwrap(&found);
      f = found.type();
    }
    // A spec block reached through the built-in or function that owns it.
    if (f == TypeId::native || f == TypeId::action || f == TypeId::function ||
        f == TypeId::routine) {
      set_series(&found, TypeId::block, found.data2, 0);
      f = TypeId::block;
    }
    const TypeId t = h.type;
    bool fits;
    if (t == TypeId::hash || is_any_block(t)) fits = is_any_block(f);
    else if (is_any_string(t)) fits = is_any_string(f);
    else fits = f == t;
    if (!fits) fail_at(at);
    Cell c = found;
    c.header = static_cast<uint32_t>(t);
    if (t != TypeId::map && t != TypeId::bitset) c.set_head(head);
    if (is_any_block(t) && t != TypeId::hash) c.data3 = 0;
    if (t == TypeId::hash && f != TypeId::hash) hash::make_over(&c, found.node(), head, total_of(found));
    return c;
  }

  static int32_t total_of(const Cell& blk) {
    return static_cast<int32_t>(memory::series(blk.node())->length());
  }

  bool has_head(const Head& h) const { return compact_ ? h.flag : true; }

  void block(const Head& h, Node dest) {
    const int32_t head = has_head(h) ? head_field() : 0;
    Cell c;
    if (h.reference) {
      c = series_reference(h, head);
      return put(dest, c, h);
    }
    const uint32_t n = count_field(compact_ ? 1 : 4);
    const Node node = memory::alloc_cells(std::max<uint32_t>(n, 1));
    if (h.type == TypeId::hash)
      hash::make_over(&c, node, head, static_cast<int32_t>(n));
    else
      c = Cell{static_cast<uint32_t>(h.type), static_cast<uint32_t>(head), node, 0};
    put(dest, c, h);
    records_into(node, n);
  }

  void map(const Head& h, Node dest) {
    Cell c;
    if (h.reference) {
      c = series_reference(h, 0);
      return put(dest, c, h);
    }
    const uint8_t* at = p_;
    const uint32_t n = count_field(compact_ ? 1 : 4);
    if (n % 2) fail_at(at);
    map::make_at(&c, nullptr, static_cast<int32_t>(n / 2));
    const Node node = c.node();
    const Node table = c.data3;
    put(dest, c, h);
    for (uint32_t i = 0; i < n; i++) {
      const uint8_t* key_at = p_;
      record(node, false);
      if (i % 2 == 0 && !map::valid_key(cell_in(node, static_cast<int32_t>(i))->type()))
        fail_at(key_at);
    }
    hashtable::put_all(table, 0, 2);
  }

  // string types, binary! and vector!.
  void text(const Head& h, Node dest) {
    uint32_t unit = 1;
    if (!compact_) {
      unit = (h.bits >> fixed::byte_shift) & 0xFF;
      const bool ok = h.type == TypeId::vector
                          ? (unit == 1 || unit == 2 || unit == 4 || unit == 8)
                          : h.type == TypeId::binary ? unit == 1 : (unit == 1 || unit == 2 || unit == 4);
      if (!ok) fail_at(h.at);
    }
    const int32_t head = has_head(h) ? head_field() : 0;
    Cell c;
    if (h.reference) {
      c = series_reference(h, head);
      if (h.type == TypeId::vector || is_any_string(h.type)) {
        // The buffer must hold units of the kind the record announced.
        if (!compact_ && memory::series(c.node())->unit() != unit) fail_at(h.at);
      }
      return put(dest, c, h);
    }
    const uint8_t* at = p_;
    uint32_t count;
    TypeId element = TypeId::none_id;
    if (compact_) {
      if (h.type == TypeId::vector) {
        const uint8_t b = byte();
        element = static_cast<TypeId>(b >> 2);
        unit = 1u << (b & 3);
        count = uvarint();
      } else if (h.type == TypeId::binary) {
        count = uvarint();
      } else {
        const uint32_t v = uvarint();
        if ((v & 3) == 3) fail_at(at);
        unit = 1u << (v & 3);
        count = v >> 2;
      }
    } else {
      count = word32();
      if (h.type == TypeId::vector) {
        const uint32_t e = word32();
        if (e > 0xFF) fail_at(at);
        element = static_cast<TypeId>(e);
      }
    }
    if (h.type == TypeId::vector && !vector_fits(element, unit)) fail_at(at);
    const uint64_t n = uint64_t{count} * unit;
    if (n > left() || n > 0x7FFFFFF0u) fail_at(at);
    const uint8_t* src = bytes(static_cast<size_t>(n));
    // No text holds a character above U+10FFFF: a 4-byte unit of a string,
    // or a char! element of a vector, that holds one is refused.
    if (unit == 4 && (is_any_string(h.type) || element == TypeId::char_)) {
      for (uint32_t i = 0; i < count; i++) {
        uint32_t cp;
        std::memcpy(&cp, src + size_t{i} * 4, 4);
        if (cp > 0x10FFFF) fail_at(src + size_t{i} * 4);
      }
    }
    if (h.type == TypeId::vector) {
      vector::make_at(&c, count, element, unit);
    } else if (h.type == TypeId::binary) {
      binary::make_at(&c, count);
    } else {
      string::make_at_unit(&c, count, unit);
      c.set_type(h.type);
    }
    SeriesBuffer* s = memory::series(c.node());
    if (n) std::memcpy(s->head_ptr(), src, static_cast<size_t>(n));
    s->tail = s->offset + static_cast<uint32_t>(n);
    c.set_head(head);
    put(dest, c, h);
  }

  static bool vector_fits(TypeId element, uint32_t width) {
    switch (element) {
      case TypeId::integer:
      case TypeId::char_:
        return width == 1 || width == 2 || width == 4;
      case TypeId::float_:
      case TypeId::percent:
        return width == 4 || width == 8;
      default:
        return false;
    }
  }

  void bitset(const Head& h, Node dest) {
    Cell c;
    if (h.reference) {
      c = series_reference(h, 0);
      return put(dest, c, h);
    }
    const bool complemented = compact_ ? h.flag : (h.bits & fixed::complement) != 0;
    const uint32_t n = count_field(1);
    const uint8_t* src = bytes(n);
    bitset::make_at(&c, static_cast<int32_t>(n), 0, complemented);
    if (n) std::memcpy(bitset::bits(&c), src, n);
    put(dest, c, h);
  }

  void image(const Head& h, Node dest) {
    const int32_t head = has_head(h) ? head_field() : 0;
    Cell c;
    if (h.reference) {
      c = series_reference(h, head);
      return put(dest, c, h);
    }
    const uint8_t* at = p_;
    uint32_t w, ht;
    if (compact_) {
      w = uvarint();
      ht = uvarint();
    } else {
      const uint32_t size = word32();
      w = size & 0xFFFF;
      ht = size >> 16;
    }
    if (w > 65535 || ht > 65535) fail_at(at);
    const uint64_t n = uint64_t{w} * ht * 4;
    if (n > left()) fail_at(at);
    const uint8_t* pixels = bytes(static_cast<size_t>(n));
    if (!image_codec::size_allowed(w, ht)) fail_at(at);
    // The pixels in the image module's 4-byte form: B, G, R, alpha.
    image::make_at(&c, image_codec::from_memory(static_cast<int32_t>(w), static_cast<int32_t>(ht), 0,
                                                pixels));
    // An image without pixels (a side of 0) keeps its size.
    if (!c.node()) c.data3 = image_codec::size_word(w, ht);
    c.set_head(head);
    put(dest, c, h);
  }

  // --- words

  void word(const Head& h, Node dest) {
    const uint8_t* at = p_;
    const uint32_t index = unsigned_field();
    Cell w = global_word(index, at);
    w.set_type(h.type);
    if (mode_ == Mode::boot) return boot_word(h, dest, w);
    bool bound;
    int32_t word_index = -1;
    if (compact_) {
      bound = h.flag;
      if (bound) word_index = signed_field();
    } else {
      word_index = static_cast<int32_t>(word32());
      bound = !(h.bits & fixed::global_word);
    }
    if (!bound) {
      no_reference(h);
      return put(dest, w, h);
    }
    if (word_index < -1) fail_at(at);
    // The word goes in first, so that paths inside an inline owner can
    // pass through it; it takes the owner's context once that exists.
    put(dest, w, h);
    const int32_t slot = length_of(dest) - 1;
    if (h.reference) {
      const uint8_t* path_at = p_;
      const Cell found = resolve_path();
      const Node ctx = carried_context(found);
      if (!ctx) fail_at(path_at);
      bind_at(dest, slot, ctx, word_index, path_at);
      return;
    }
    Head owner;
    if (!head(owner, dest, false)) fail_at(owner.at);
    if (owner.reference || owner.new_line) fail_at(owner.at);
    Place place{dest, false, word_index};
    if (owner.type == TypeId::object)
      object(owner, place, slot);
    else if (owner.type == TypeId::function)
      function(owner, place, slot);
    else
      fail_at(owner.at);
  }
  // Binds the word at `slot` of `block` to a context.
  void bind_at(Node block, int32_t slot, Node ctx, int32_t word_index, const uint8_t* at) const {
    if (word_index >= static_cast<int32_t>(context::word_count(ctx))) fail_at(at);
    Cell* w = cell_in(block, slot);
    w->data1 = ctx;
    w->data3 = static_cast<uint32_t>(word_index);
  }

  // Boot data: the binding is a root index (the object! cell's position in
  // the target) and a word index (-1: look the symbol up).
  void boot_word(const Head& h, Node dest, Cell w) {
    no_reference(h);
    bool bound;
    int32_t root = -1, word_index = -1;
    const uint8_t* at = p_;
    if (compact_) {
      bound = h.flag;
      if (bound) {
        root = static_cast<int32_t>(uvarint());
        word_index = signed_field();
      }
    } else {
      root = static_cast<int32_t>(word32());
      word_index = static_cast<int32_t>(word32());
      bound = root != -1;
    }
    if (bound) {
      if (root < 0 || root >= length_of(target_)) fail_at(at);
      const Cell* obj = cell_in(target_, root);
      if (!obj->is(TypeId::object)) fail_at(at);
      const Node ctx = obj->data1;
      if (word_index == -1) word_index = context::find_word(ctx, w.symbol(), context::Case::insensitive);
      if (word_index < 0 || word_index >= static_cast<int32_t>(context::word_count(ctx))) fail_at(at);
      w.data1 = ctx;
      w.data3 = static_cast<uint32_t>(word_index);
    }
    put(dest, w, h);
  }

  // Boot data: the word just read is set to the value of the next record;
  // neither stays in the target.
  void set_next(Head& h, Node dest) {
    const int32_t before = length_of(dest);
    h.set_next = false;
    body(h, dest);
    if (length_of(dest) != before + 1) fail_at(h.at);
    const uint8_t* at = p_;
    record(dest, false);
    if (length_of(dest) != before + 2) fail_at(at);
    Cell w = *cell_in(dest, before);
    const Cell value = *cell_in(dest, before + 1);
    w.clear_flag(cell_flag::new_line);
    context::set(&w, &value);
    SeriesBuffer* s = memory::series(dest);
    s->tail = s->offset + static_cast<uint32_t>(before) * sizeof(Cell);
  }

  // --- contexts, objects and functions

  struct ContextBody {
    Node ctx = 0;
    uint32_t words = 0;
    bool values = false;
    bool on_stack = false;
    const uint8_t* at = nullptr;
  };

  // Reads a context body's header and words and makes the context.
  ContextBody context_body() {
    ContextBody b;
    b.at = p_;
    uint32_t kind;
    bool self;
    if (compact_) {
      if (byte() != static_cast<uint8_t>(TypeId::context)) fail_at(b.at);
      const uint8_t f = byte();
      if (f & ~(ctx::kind_mask | ctx::on_stack | ctx::self | ctx::values)) fail_at(b.at);
      kind = f & ctx::kind_mask;
      b.on_stack = f & ctx::on_stack;
      self = f & ctx::self;
      b.values = (f & ctx::values) && !b.on_stack;
    } else {
      while (padding()) {
      }
      b.at = p_;
      const uint32_t w = word32();
      if ((w & 0xFF) != static_cast<uint32_t>(TypeId::context)) fail_at(b.at);
      kind = (w >> fixed::ctx_kind_shift) & 3;
      b.on_stack = w & fixed::ctx_on_stack;
      self = w & fixed::ctx_self;
      b.values = (w & fixed::ctx_values) && !b.on_stack;
    }
    return context_words(b, kind, self);
  }

  ContextBody context_words(ContextBody& b, uint32_t kind, bool self) {
    if (kind > 2) fail_at(b.at);
    b.words = count_field(compact_ ? 1 : 4);
    b.ctx = context::create(b.words, b.on_stack ? context::OnStack::yes : context::OnStack::no,
                            self ? context::SelfRef::yes : context::SelfRef::no, 0,
                            static_cast<context::Kind>(kind));
    for (uint32_t i = 0; i < b.words; i++) {
      const SymbolId sym = symbol_field();
      int32_t added = -1;
      if (context::find_or_add_index(b.ctx, sym, context::Case::sensitive, &added) >= 0)
        fail_at(b.at);  // a word named twice
    }
    return b;
  }

  // The values of a context body (or unset! values when none follow).
  void context_values(const ContextBody& b) {
    if (b.on_stack || !b.values) return;
    const Node values = context::context_cell(b.ctx)->data2;
    SeriesBuffer* s = memory::series(values);
    s->tail = s->offset;
    const uint8_t* at = p_;
    if (b.words > left()) fail_at(at);
    records_into(values, b.words);
  }

  // A bare context body: an object! with no class and no events.
  void context_record(const Head& h, Place& place) {
    ContextBody b;
    b.at = h.at;
    uint32_t kind;
    bool self;
    if (compact_) {
      const uint8_t f = byte();
      if (f & ~(ctx::kind_mask | ctx::on_stack | ctx::self | ctx::values)) fail_at(b.at);
      kind = f & ctx::kind_mask;
      b.on_stack = f & ctx::on_stack;
      self = f & ctx::self;
      b.values = (f & ctx::values) && !b.on_stack;
    } else {
      kind = (h.bits >> fixed::ctx_kind_shift) & 3;
      b.on_stack = h.bits & fixed::ctx_on_stack;
      self = h.bits & fixed::ctx_self;
      b.values = (h.bits & fixed::ctx_values) && !b.on_stack;
    }
    if (b.on_stack) fail_at(h.at);
    context_words(b, kind, self);
    Cell obj{static_cast<uint32_t>(TypeId::object), b.ctx, static_cast<uint32_t>(object::kNoClass), 0};
    object::store_self(&obj);
    put(place.block, obj, h);
    context_values(b);
  }

  // An object! record (or a word's inline owner when `owner_slot` >= 0).
  Cell object(const Head& h, Place& place, int32_t owner_slot = -1) {
    Cell obj;
    if (h.reference) {
      const uint8_t* at = p_;
      const Cell found = resolve_path();
      const Node ctx = carried_context(found);
      if (!ctx || !context::owner(ctx)->is(TypeId::object)) fail_at(at);
      obj = *context::owner(ctx);
      obj.header = static_cast<uint32_t>(TypeId::object);
      if (place.append) put(place.block, obj, h);
      else bind_at(place.block, owner_slot, ctx, place.word_index, at);
      return obj;
    }
    const int32_t class_id = signed_field();
    const bool events = compact_ ? h.flag : (h.bits & fixed::event_info) != 0;
    if (events) {
      // The handlers' field indexes; the information is made again from
      // the fields themselves once they are in.
      signed_field();
      signed_field();
    }
    ContextBody b = context_body();
    if (b.on_stack) fail_at(b.at);
    obj = Cell{static_cast<uint32_t>(TypeId::object), b.ctx,
               static_cast<uint32_t>(mode_ == Mode::boot ? class_id : object::kNoClass), 0};
    object::store_self(&obj);
    int32_t slot = -1;
    if (place.append) {
      put(place.block, obj, h);
      slot = length_of(place.block) - 1;
    } else {
      bind_at(place.block, owner_slot, b.ctx, place.word_index, h.at);
    }
    context_values(b);
    if (events) {
      object::set_up_events(&obj);
      if (slot >= 0) {
        const uint32_t nl = cell_in(place.block, slot)->header & cell_flag::new_line;
        *cell_in(place.block, slot) = obj;
        cell_in(place.block, slot)->header |= nl;
      }
    }
    return obj;
  }

  // A function! record (or a word's inline owner when `owner_slot` >= 0).
  Cell function(const Head& h, Place& place, int32_t owner_slot = -1) {
    Cell fn;
    if (h.reference) {
      const uint8_t* at = p_;
      const Cell found = resolve_path();
      const Node ctx = carried_context(found);
      if (!ctx || !context::owner(ctx)->is(TypeId::function)) fail_at(at);
      fn = *context::owner(ctx);
      fn.clear_flag(cell_flag::new_line);
      if (place.append) put(place.block, fn, h);
      else bind_at(place.block, owner_slot, ctx, place.word_index, at);
      return fn;
    }
    const uint32_t spec_room = unsigned_field();
    const uint32_t body_room = unsigned_field();
    ContextBody b = context_body();
    const Cell* cc = context::context_cell(b.ctx);
    if (!b.on_stack || context::kind(cc) != context::Kind::function) fail_at(b.at);
    // Room as recorded, but never more than the data could fill.
    const uint64_t most = left() + 1;
    const Node spec = memory::alloc_cells(std::clamp<uint64_t>(spec_room, 1, most));
    const Node body = memory::alloc_cells(std::clamp<uint64_t>(body_room, 1, most));
    const Node extras = memory::alloc_unset_cells(function::kExtras);
    SeriesBuffer* xs = memory::series(extras);
    xs->tail = xs->offset + function::kExtras * sizeof(Cell);
    set_series(xs->cells() + function::kBody, TypeId::block, body, 0);
    fn = Cell{static_cast<uint32_t>(TypeId::function), b.ctx, spec, extras};
    *context::owner(b.ctx) = fn;
    int32_t slot = -1;
    if (place.append) {
      put(place.block, fn, h);
      slot = length_of(place.block) - 1;
    } else {
      bind_at(place.block, owner_slot, b.ctx, place.word_index, h.at);
    }
    const uint8_t* spec_at = p_;
    fn.data2 = block_field(spec);
    check_spec(fn, spec_at);
    Cell spec_cell;
    set_series(&spec_cell, TypeId::block, fn.data2, 0);
    fn.header |= function::validate_spec(&spec_cell);
    *context::owner(b.ctx) = fn;
    if (slot >= 0) store_at(place.block, slot, fn);
    const Node body_node = block_field(body);
    set_series(function::extra(&fn, function::kBody), TypeId::block, body_node, 0);
    return fn;
  }

  static void store_at(Node block, int32_t slot, const Cell& c) {
    Cell* at = cell_in(block, slot);
    const uint32_t nl = at->header & cell_flag::new_line;
    *at = c;
    at->header |= nl;
  }

  // The spec or body of a function: a block record decoded into `room`, or
  // a reference to a block (whose node it answers).
  Node block_field(Node room) {
    Head h;
    if (compact_) {
      for (;;) {
        h.at = p_;
        const uint8_t b = byte();
        if (b == byte::new_line) continue;
        if (b == byte::reference) {
          h.reference = true;
          continue;
        }
        if ((b & byte::type_mask) != static_cast<uint8_t>(TypeId::block) || b >= 0x80) fail_at(h.at);
        h.flag = (b & byte::flag) != 0;
        break;
      }
    } else {
      while (padding()) {
      }
      h.at = p_;
      h.bits = word32();
      if ((h.bits & 0xFF) != static_cast<uint32_t>(TypeId::block)) fail_at(h.at);
      h.reference = (h.bits & fixed::reference) != 0;
    }
    h.type = TypeId::block;
    if (has_head(h)) head_field();
    if (h.reference) {
      const Cell c = series_reference(h, 0);
      return c.node();
    }
    const uint32_t n = count_field(compact_ ? 1 : 4);
    records_into(room, n);
    return room;
  }

  // A function's context must begin with the words its spec names, in
  // order, so that a call's frame and the body's bindings agree.
  void check_spec(const Cell& fn, const uint8_t* at) const {
    SeriesBuffer* s = memory::series(fn.data2);
    const uint32_t n = s->length();
    const uint32_t words = context::word_count(fn.data1);
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; i++) {
      const Cell* c = memory::series(fn.data2)->cells() + i;
      const TypeId t = c->type();
      if (t != TypeId::word && t != TypeId::lit_word && t != TypeId::get_word &&
          t != TypeId::refinement)
        continue;
      // A word the spec names twice has one place in the context.
      bool seen = false;
      for (uint32_t j = 0; j < k && !seen; j++)
        seen = symbol::resolve(context::word_cell(fn.data1, static_cast<int32_t>(j))->symbol()) ==
               symbol::resolve(c->symbol());
      if (seen) continue;
      if (k >= words ||
          symbol::resolve(context::word_cell(fn.data1, static_cast<int32_t>(k))->symbol()) !=
              symbol::resolve(c->symbol()))
        fail_at(at);
      k++;
    }
  }

  // --- built-ins

  void builtin(const Head& h, Node dest) {
    const uint8_t* at = p_;
    const uint32_t index = unsigned_field();
    const uint32_t most = h.type == TypeId::native ? static_cast<uint32_t>(natives::kTableSize)
                                                   : static_cast<uint32_t>(kActionCount);
    if (index < 1 || index > most) fail_at(at);
    // The spec is decoded on the stack, then taken by the value.
    Cell* keep = stack::push_slot();
    block::make_at(keep, 1);
    const Node room = keep->node();
    const Node spec = block_field(room);
    set_series(keep, TypeId::block, spec, 0);
    Cell c;
    native::make_value(&c, h.type, keep, static_cast<int32_t>(index));
    stack::pop(1);
    put(dest, c, h);
  }

  static constexpr int32_t kActionCount = 62;

  void op(const Head& h, Node dest) {
    const int32_t before = length_of(dest);
    const uint8_t* at = p_;
    record(dest, false);
    if (length_of(dest) != before + 1) fail_at(at);
    Cell* c = cell_in(dest, before);
    const TypeId t = c->type();
    if (t != TypeId::native && t != TypeId::action && t != TypeId::function) fail_at(at);
    if (!compact_ && ((h.bits >> fixed::wrapped_shift) & 0xFF) != static_cast<uint32_t>(t))
      fail_at(h.at);
    Cell spec;
    set_series(&spec, TypeId::block, c->data2, 0);
    if (!op::fit_spec(&spec)) fail_at(at);
    c = cell_in(dest, before);
    const bool nl = h.new_line || c->has_flag(cell_flag::new_line);
    if (t == TypeId::function) *function::extra(c, function::kOp) = *c;
    c->header = (static_cast<uint32_t>(t) << 16) | static_cast<uint32_t>(TypeId::op) |
                (op::plain_spec(&spec) ? op::kPlain : 0u) | (nl ? cell_flag::new_line : 0u);
  }

  void error(const Head& h, Node dest) {
    const uint8_t* at = p_;
    const uint32_t code = unsigned_field();
    const uint32_t category = code / 100;
    const uint32_t id = code % 100 + 2;
    if (category >= static_cast<uint32_t>(error::kCategoryCount) ||
        id >= context::word_count(error::category_context(static_cast<int32_t>(category))))
      fail_at(at);
    Cell spec;
    set_integer(&spec, static_cast<int32_t>(code));
    Cell* base = stack::top;
    Cell err = *error::make(nullptr, &spec, TypeId::error);
    stack::top = base;
    put(dest, err, h);
    // The six fields from arg1 on are decoded in their places.
    const Node values = context::context_cell(err.data1)->data2;
    SeriesBuffer* s = memory::series(values);
    const Cell files = s->cells()[error::kFiles];
    s->tail = s->offset + error::kArg1 * sizeof(Cell);
    // Data written with the files field flag it; older data has six fields.
    const bool with_files = compact_ ? h.flag : (h.bits & fixed::error_files) != 0;
    records_into(values, with_files ? 7 : 6);
    if (!with_files) append(values, files);
  }
};

// Frees an unpacked buffer on every way out.
struct Unpacked {
  uint8_t* data = nullptr;
  ~Unpacked() { compress::free_buffer(data); }
};

// Refuses data that is no QELBIN: boot mode prints the message and ends
// the process (status 0), codec mode raises script `invalid-data`.
[[noreturn]] void refuse(Mode mode, std::string_view boot_message, const Cell* source) {
  if (mode == Mode::boot) {
    output::write_utf8(boot_message);
    output::write_utf8("\n");
    runtime::quit(0);
  }
  Cell arg;
  if (source) arg = *source;
  else set_none(&arg);
  fire(ErrorCode::script_invalid_data, &arg);
}

}  // namespace

void decode(const uint8_t* data, size_t length, Cell* target, Mode mode, const Cell* source) {
  if (length < 8 || std::memcmp(data, kMagic, sizeof kMagic) != 0)
    refuse(mode, "Error: Not a Qelbin file!", source);
  const uint8_t flags = data[7];
  const uint8_t* body = data + 8;
  size_t body_length = length - 8;
  Unpacked unpacked;
  if (flags & flag::packed) {
    uint32_t n = 0;
    unpacked.data = compress::decompress(body, body_length, &n);
    if (!unpacked.data) refuse(mode, "Error: Qelbin compressed data corrupted!", source);
    body = unpacked.data;
    body_length = n;
  }
  const bool compact = (flags & flag::compact) != 0;
  if (!compact && body_length < 8) refuse(mode, "Error: Not a Qelbin file!", source);
  Decoder decoder(body, body_length, 8, mode, target->node());
  decoder.run(compact, (flags & flag::symbols) != 0);
}

Cell* decode_payload(const Cell* payload, const Cell* source, Cell* out) {
  codec_q = true;
  const SeriesBuffer* b = memory::series(payload->node());
  const int64_t head = std::max(payload->head(), 0);
  const int64_t size = static_cast<int64_t>(b->length()) - head;
  if (size < static_cast<int64_t>(kMinCodecBytes)) fire(ErrorCode::script_invalid_data, source);
  Cell* base = stack::top;
  const Cell named = *source;
  Cell* keep = stack::push(payload);
  Cell* arg = stack::push(&named);
  Cell* values = stack::push_slot();
  block::make_at(values, 4);
  // Decoding makes series but never collects, so the bytes stay put.
  const uint8_t* bytes = memory::series(keep->node())->head_ptr() + head;
  decode(bytes, static_cast<size_t>(size), values, Mode::codec, arg);
  Cell result = *values;
  if (block::total_cells(values) == 1) {
    result = *block::first_cell(values);
    result.clear_flag(cell_flag::new_line);
  }
  stack::top = base;
  *out = result;
  return out;
}

}  // namespace qel::qelbin
