// UTF-8 and UTF-16LE codecs, string loading and in-place widening.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "memory/series.h"
#include "text/unicode.h"
#include "core/unwind.h"

namespace qel {
namespace {

using Bytes = std::vector<uint8_t>;
using CodePoints = std::vector<uint32_t>;
using unicode::LineBreaks;

class TextUnicode : public ::testing::Test {
 protected:
  void SetUp() override { memory::init(); }
};

// The characters of a string buffer from its offset.
CodePoints chars_of(Node node) {
  SeriesBuffer* s = memory::series(node);
  CodePoints out;
  for (uint32_t i = 0; i < s->length(); i++) out.push_back(unicode::read_unit(s->head_ptr() + i * s->unit(), s->unit()));
  return out;
}

// A string cell holding code points in the given unit.
Cell make_string(const CodePoints& cps, uint32_t unit, uint32_t offset = 0) {
  Node node = memory::alloc_series(cps.size() + offset + 1, unit);
  SeriesBuffer* s = memory::series(node);
  s->offset = s->tail = offset;
  for (uint32_t cp : cps) {
    unicode::write_unit(s->tail_ptr(), unit, cp);
    s->tail += unit;
  }
  Cell c;
  set_series(&c, TypeId::string, node);
  return c;
}

bool raises(const std::function<void()>& f) {
  try {
    f();
  } catch (const NonLocalExit& e) {
    return e.level == level::error;
  }
  return false;
}

// Reference UTF-8 encoder (surrogates encoded as three bytes).
Bytes utf8_of(const CodePoints& cps) {
  Bytes out;
  for (uint32_t cp : cps) {
    uint8_t b[4];
    int n = unicode::encode_utf8_char(cp, b);
    out.insert(out.end(), b, b + n);
  }
  return out;
}

TEST_F(TextUnicode, LoadUtf8PicksTheNarrowestUnit) {
  struct Case {
    Bytes in;
    uint32_t unit;
    CodePoints want;
  } cases[] = {
      {{0xC3, 0xA9}, 1, {0xE9}},
      {{0xE2, 0x82, 0xAC}, 2, {0x20AC}},
      {{0xF0, 0x9F, 0x98, 0x80}, 4, {0x1F600}},
      {{0xEF, 0xBB, 0xBF}, 1, {}},                     // a lone byte-order mark
      {{0xEF, 0xBB, 0xBF, 0x41}, 1, {0x41}},
      {{0xED, 0xA0, 0x80}, 2, {0xD800}},               // a surrogate outside DC00-DCFF is taken
      {{0x61, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}, 4, {0x61, 0xE9, 0x1F600}},  // 1 to 4 keeps earlier characters
      {{0x61, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x62}, 4, {0x61, 0x20AC, 0x1F600, 0x62}},
      {{}, 1, {}},
  };
  for (const Case& c : cases) {
    uint32_t rest = 99;
    Node n = unicode::load_utf8(c.in.data(), static_cast<uint32_t>(c.in.size()), kNoNode, &rest, LineBreaks::keep);
    EXPECT_EQ(memory::series(n)->unit(), c.unit);
    EXPECT_EQ(chars_of(n), c.want);
    EXPECT_EQ(rest, 0u);
  }
}

TEST_F(TextUnicode, LoadUtf8RejectsMalformedInput) {
  const Bytes bad[] = {
      {0xEF, 0xBF, 0xBE},        // U+FFFE
      {0xED, 0xB0, 0x80}, {0xED, 0xB3, 0xBF},  // U+DC00-U+DCFF
      {0xC0, 0x80}, {0xC0, 0xAF}, {0xC1, 0xBF},  // overlong forms: "/" as C0 AF
      {0xE0, 0x80, 0xAF}, {0xF0, 0x80, 0x80, 0xAF},
      {0xF0, 0x8D, 0xA0, 0x80},  // U+D800 in an overlong form
      {0xC0}, {0xE0, 0x9F},      // cut off, but no continuation could make them valid
      {0xF4, 0x90, 0x80, 0x80},  // above 0x10FFFF
      {0x80}, {0xF8, 0x80}, {0xFF},
      {0xC3, 0x41}, {0xE2, 0x41},  // a non-continuation byte, even when the sequence is cut
  };
  for (const Bytes& b : bad) {
    // Exact-size heap copies: the error argument (the next bytes, at most
    // four) must not read past the input (ASan).
    auto* p = new uint8_t[b.size()];
    std::copy(b.begin(), b.end(), p);
    EXPECT_TRUE(raises([&] { unicode::load_utf8_string(p, static_cast<uint32_t>(b.size())); })) << std::hex << int(b[0]);
    delete[] p;
  }
}

TEST_F(TextUnicode, LoadUtf8StopsAtACutOffSequence) {
  Bytes in = {0x61, 0x62, 0xE2, 0x82};
  uint32_t rest = 0;
  Node n = unicode::load_utf8(in.data(), 4, kNoNode, &rest, LineBreaks::keep);
  EXPECT_EQ(chars_of(n), (CodePoints{0x61, 0x62}));
  EXPECT_EQ(rest, 2u);
}

TEST_F(TextUnicode, LoadUtf8ConvertsLineBreaks) {
  std::string in = "a\r\nb\rc\r\r\nd\n\r";
  auto load = [&](LineBreaks lb) {
    return chars_of(unicode::load_utf8(reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()),
                                       kNoNode, nullptr, lb));
  };
  EXPECT_EQ(load(LineBreaks::convert), (CodePoints{'a', '\n', 'b', '\n', 'c', '\n', '\n', 'd', '\n', '\n'}));
  EXPECT_EQ(load(LineBreaks::keep).size(), in.size());
}

TEST_F(TextUnicode, LoadUtf8ReplacesTheTargetsContentAndKeepsItsUnit) {
  Cell s = make_string({0x100, 0x101, 0x102, 0x103}, 2);
  Bytes in = {'x', 'y'};
  Node n = unicode::load_utf8_into(in.data(), 2, &s, nullptr);
  EXPECT_EQ(n, s.node());
  EXPECT_EQ(memory::series(n)->unit(), 2u);
  EXPECT_EQ(chars_of(n), (CodePoints{'x', 'y'}));
  unicode::load_utf8_into(in.data(), 0, &s, nullptr);
  EXPECT_EQ(chars_of(n), CodePoints{});
}

// Random texts that mix long ASCII runs (the 16-byte paths) with wider
// characters, CRs and LFs, decoded and encoded against a plain reference.
TEST_F(TextUnicode, RandomTextsRoundTrip) {
  std::mt19937 rng(7);
  const uint32_t pool[] = {'a', 'Z', '\r', '\n', 0x7F, 0xE9, 0xFF, 0x100, 0x20AC, 0xFFFD, 0x10000, 0x1F600, 0x10FFFF};
  for (int round = 0; round < 400; round++) {
    CodePoints cps;
    int len = static_cast<int>(rng() % 120);
    int wide_odds = static_cast<int>(rng() % 4);  // 0: pure ASCII
    for (int i = 0; i < len; i++) {
      uint32_t cp = 'a' + rng() % 26;
      if (wide_odds && rng() % (8 * wide_odds) == 0) cp = pool[rng() % std::size(pool)];
      cps.push_back(cp);
    }
    Bytes utf8 = utf8_of(cps);
    for (LineBreaks lb : {LineBreaks::keep, LineBreaks::convert}) {
      CodePoints want;
      for (size_t i = 0; i < cps.size(); i++) {
        if (lb == LineBreaks::convert && cps[i] == '\r') {
          if (i + 1 < cps.size() && cps[i + 1] == '\n') continue;
          want.push_back('\n');
        } else {
          want.push_back(cps[i]);
        }
      }
      Node n = unicode::load_utf8(utf8.data(), static_cast<uint32_t>(utf8.size()), kNoNode, nullptr, lb);
      ASSERT_EQ(chars_of(n), want);
      uint32_t max = 0;
      for (uint32_t cp : want) max = std::max(max, cp);
      ASSERT_EQ(memory::series(n)->unit(), unicode::unit_for(max));
    }
    // Encoding from every unit that holds the text, with and without CR LF.
    uint32_t max = 0;
    for (uint32_t cp : cps) max = std::max(max, cp);
    for (uint32_t unit : {1u, 2u, 4u}) {
      if (unit < unicode::unit_for(max)) continue;
      Cell s = make_string(cps, unit, unit == 1 ? 3 : 0);
      ASSERT_EQ(unicode::to_utf8_string(&s), std::string(utf8.begin(), utf8.end()));
      CodePoints crlf;
      for (uint32_t cp : cps) {
        if (cp == '\n') crlf.push_back('\r');
        crlf.push_back(cp);
      }
      Bytes want = utf8_of(crlf);
      int32_t length = -1;
      const char* p = unicode::to_utf8_part(&s, &length, LineBreaks::convert);
      ASSERT_EQ(std::string(p, p + length), std::string(want.begin(), want.end()));
      ASSERT_EQ(p[length], 0);
      ASSERT_EQ(unicode::utf8_size(memory::series(s.node())->head_ptr(), memory::series(s.node())->tail_ptr(), unit),
                utf8.size());
    }
  }
}

TEST_F(TextUnicode, EncodesPartsAndBounds) {
  Cell s = make_string({'a', 0xE9, 0x20AC, 'b'}, 2);
  int32_t length = 2;
  const char* p = unicode::to_utf8_part(&s, &length, LineBreaks::keep);
  EXPECT_EQ(std::string(p, p + length), "a\xC3\xA9");
  EXPECT_NE(s.extra_node(), kNoNode);  // the conversion buffer stays with the cell

  s.set_head(1);
  uint8_t buf[16];
  std::memset(buf, 0xAA, sizeof buf);
  EXPECT_EQ(unicode::encode_utf8_into(&s, buf, -1, unicode::Terminate::nul), 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), std::string("\xC3\xA9\xE2\x82\xAC" "b\0", 7));
  std::memset(buf, 0xAA, sizeof buf);
  // Room 4 with the NUL: three bytes of sequences, the euro sign cut.
  EXPECT_EQ(unicode::encode_utf8_bounded(&s, buf, 4, 0, unicode::Terminate::nul), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), std::string("\xC3\xA9\xE2\0\xAA", 5));

  s.set_head(99);  // a head past the tail converts nothing
  length = -1;
  EXPECT_STREQ(unicode::to_utf8(&s, &length), "");
  EXPECT_EQ(length, 0);
}

TEST_F(TextUnicode, CodePointsAboveTheRangeRaise) {
  uint8_t buf[8];
  EXPECT_TRUE(raises([&] { unicode::encode_utf8_char(0x110000, buf); }));
  EXPECT_TRUE(raises([&] { unicode::utf8_char_length(0xFFFFFFFF); }));
  Cell s = make_string({'a', 0x110000}, 4);
  EXPECT_TRUE(raises([&] { unicode::to_utf8_string(&s); }));
  EXPECT_EQ(unicode::encode_utf16_char(0x110000, buf), 0);
  EXPECT_EQ(unicode::to_utf16(&s), nullptr);
}

TEST_F(TextUnicode, ToUtf16) {
  Cell s = make_string({0x61, 0x0A, 0x62}, 1);
  int32_t units = 0;
  const uint8_t* p = unicode::to_utf16(&s, &units);
  EXPECT_EQ(units, 4);
  EXPECT_EQ(Bytes(p, p + 10), (Bytes{0x61, 0, 0x0D, 0, 0x0A, 0, 0x62, 0, 0, 0}));

  Cell w = make_string({0x20AC, 0x1F600, 0x0A}, 4);
  int32_t length = -1;
  p = unicode::to_utf16_part(&w, &length, LineBreaks::keep);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Bytes(p, p + 10), (Bytes{0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0x0A, 0, 0, 0}));
}

TEST_F(TextUnicode, LoadUtf16le) {
  auto le = [](const CodePoints& units) {
    Bytes b;
    for (uint32_t u : units) {
      b.push_back(static_cast<uint8_t>(u));
      b.push_back(static_cast<uint8_t>(u >> 8));
    }
    return b;
  };
  struct Case {
    CodePoints units;
    LineBreaks lb;
    uint32_t unit;
    CodePoints want;
  } cases[] = {
      {{'a', 0xE9}, LineBreaks::keep, 1, {'a', 0xE9}},
      {{'a', 0x20AC}, LineBreaks::keep, 2, {'a', 0x20AC}},
      {{0xD83D, 0xDE00, 'b'}, LineBreaks::keep, 4, {0x1F600, 'b'}},
      // A lone surrogate, high or low, is kept as it is and the load goes on.
      {{'a', 0xD83D}, LineBreaks::keep, 4, {'a', 0xD83D}},
      {{0xD83D, 'a', 0xDC00}, LineBreaks::keep, 4, {0xD83D, 'a', 0xDC00}},
      // CR LF and a lone CR become LF in every unit.
      {{'a', '\r', '\n', 'b', '\r', 'c'}, LineBreaks::convert, 1, {'a', '\n', 'b', '\n', 'c'}},
      {{0x20AC, '\r', '\r', '\n'}, LineBreaks::convert, 2, {0x20AC, '\n', '\n'}},
      {{0xD83D, 0xDE00, '\r'}, LineBreaks::convert, 4, {0x1F600, '\n'}},
      {{}, LineBreaks::keep, 1, {}},
  };
  for (const Case& c : cases) {
    Bytes b = le(c.units);
    Node n = unicode::load_utf16le(b.data(), static_cast<uint32_t>(c.units.size()), nullptr, c.lb);
    EXPECT_EQ(memory::series(n)->unit(), c.unit);
    EXPECT_EQ(chars_of(n), c.want);
    EXPECT_TRUE(memory::series(n)->flags & series_flag::utf16);
  }
  // Into an existing string: its content is replaced, whatever its unit was.
  Cell s = make_string({0x1F600, 0x1F601, 0x1F602}, 4, 4);
  Bytes b = le({'h', 'i'});
  EXPECT_EQ(unicode::load_utf16le(b.data(), 2, &s, LineBreaks::keep), s.node());
  EXPECT_EQ(chars_of(s.node()), (CodePoints{'h', 'i'}));
  EXPECT_EQ(memory::series(s.node())->unit(), 1u);
}

TEST_F(TextUnicode, WidenKeepsTheCharacters) {
  const CodePoints text = {'q', 0xE9, 0, 0xFF, 'z'};
  for (uint32_t offset : {0u, 1u, 3u, 6u}) {
    for (auto [from, to] : {std::pair{1u, 2u}, {1u, 4u}, {2u, 4u}}) {
      for (bool tight : {false, true}) {
        Node node = memory::alloc_series(tight ? 1 : 64, from);
        SeriesBuffer* s = memory::series(node);
        if (tight) s = memory::expand_series_buffer(s, (offset + text.size()) * from);
        s->offset = s->tail = offset * from;
        for (uint32_t cp : text) {
          unicode::write_unit(s->tail_ptr(), from, cp);
          s->tail += from;
        }
        SeriesBuffer* w = unicode::widen(s, to);
        EXPECT_EQ(memory::series(node), w);
        EXPECT_EQ(w->unit(), to);
        EXPECT_EQ(w->offset % to, 0u);
        EXPECT_GE(w->size - w->offset, (text.size() + 1) * to);
        EXPECT_EQ(chars_of(node), text) << from << "->" << to << " offset " << offset << " tight " << tight;
      }
    }
  }
}

// Strict UTF-8 as the automaton must accept it.
int32_t strict_decode(const uint8_t* p, size_t n, size_t* used) {
  *used = 0;
  if (n == 0) return -1;
  uint32_t b = p[0];
  if (b < 0x80) return *used = 1, static_cast<int32_t>(b);
  int len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (len == 0 || n < static_cast<size_t>(len)) return -1;
  uint32_t cp = b & (0x7F >> len);
  for (int k = 1; k < len; k++) {
    if ((p[k] & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (p[k] & 0x3F);
  }
  static const uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *used = static_cast<size_t>(len);
  return static_cast<int32_t>(cp);
}

TEST_F(TextUnicode, AutomatonMatchesStrictUtf8) {
  // Every sequence of up to three bytes, then random four-byte ones.
  auto check = [](const uint8_t* p, size_t n) {
    size_t used;
    int32_t want = strict_decode(p, n, &used);
    int32_t cp;
    const uint8_t* next = unicode::fast_decode_utf8_char(p, p + n, &cp);
    if (want >= 0) {
      ASSERT_EQ(cp, want);
      ASSERT_EQ(static_cast<size_t>(next - p), used);
    } else {
      ASSERT_EQ(cp, -1);
      ASSERT_GE(next, p + 1);
      ASSERT_LE(next, p + n);
    }
  };
  uint8_t b[4] = {0, 0, 0, 0};
  for (uint32_t x = 0; x < (1u << 24); x++) {
    b[0] = static_cast<uint8_t>(x >> 16);
    b[1] = static_cast<uint8_t>(x >> 8);
    b[2] = static_cast<uint8_t>(x);
    if (b[0] < 0xC0 && x & 0xFFFF) continue;  // single bytes need one pass only
    check(b, 3);
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 2000000; i++) {
    uint32_t r = rng();
    b[0] = static_cast<uint8_t>(0xF0 | (r & 7));
    for (int k = 1; k < 4; k++) b[k] = static_cast<uint8_t>((r >> (8 * k)) & 0x3F) | ((r >> (k + 2)) & 1 ? 0x80 : 0x00);
    check(b, 4);
  }
  // A cut sequence at the end of the buffer is rejected without reading on.
  int32_t cp;
  const uint8_t euro[] = {0xE2, 0x82};
  EXPECT_EQ(unicode::fast_decode_utf8_char(euro, euro + 2, &cp), euro + 2);
  EXPECT_EQ(cp, -1);
  // A rejected continuation is not consumed.
  const uint8_t bad[] = {0xE2, 0x41};
  EXPECT_EQ(unicode::fast_decode_utf8_char(bad, bad + 2, &cp), bad + 1);
}

TEST_F(TextUnicode, CountSkipAndValidPrefix) {
  std::string t = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  auto p = reinterpret_cast<const uint8_t*>(t.data());
  EXPECT_EQ(unicode::count_utf8_chars(p, p + t.size()), 5u);
  EXPECT_EQ(unicode::skip_utf8_chars(p, p + t.size(), 3), p + 6);
  EXPECT_EQ(unicode::skip_utf8_chars(p, p + t.size(), 99), p + t.size());
  EXPECT_EQ(unicode::utf8_valid_prefix(p, t.size()), t.size());
  std::string long_bad = std::string(40, 'x') + "\xED\xA0\x80" + "y";
  EXPECT_EQ(unicode::utf8_valid_prefix(reinterpret_cast<const uint8_t*>(long_bad.data()), long_bad.size()), 40u);
  EXPECT_EQ(unicode::utf8_lead_length(0xF5), 4);
  EXPECT_EQ(unicode::utf8_lead_length(0xE0), 3);
  EXPECT_EQ(unicode::utf8_lead_length(0xC1), 2);
  EXPECT_EQ(unicode::utf8_lead_length(0xBF), 0);
}

}  // namespace
}  // namespace qel
