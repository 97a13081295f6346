// The lexer at the byte level: values loaded from text (types, values,
// nesting, new-line markers), syntax errors with their message arguments,
// the scan modes and refinements of transcode, event callbacks (vetoes,
// absorbed errors, nested runs, exits through a callback), and the number
// scanners used by conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lexer/lexer.h"
#include "lexer/engine.h"
#include "memory/series.h"
#include "core/unwind.h"
#include "values/symbol.h"
#include "datatypes/init.h"

namespace qel {
namespace {

// --- helpers

std::string utf8_of(const Cell* c) {
  SeriesBuffer* b = memory::series(c->node());
  std::string out;
  uint32_t unit = b->unit();
  for (uint32_t i = static_cast<uint32_t>(c->head()); i < b->length(); i++) {
    uint32_t cp = 0;
    std::memcpy(&cp, b->head_ptr() + i * unit, unit);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

uint32_t length_of(const Cell* c) { return memory::series(c->node())->length(); }
const Cell* at(const Cell* block, uint32_t i) { return memory::series(block->node())->cells() + i; }
std::string name_of(const Cell* word) { return std::string(symbol::name(word->symbol())); }

struct Lexer : ::testing::Test {
  void SetUp() override {
    values::init();
    lexer::init();
  }

  Cell load(const std::string& text, lexer::ScanOptions o = {}) {
    Cell out;
    lexer::scan(&out, reinterpret_cast<const uint8_t*>(text.data()),
                static_cast<uint32_t>(text.size()), o);
    return out;
  }

  // The only value of a text.
  Cell one(const std::string& text) {
    Cell b = load(text);
    EXPECT_EQ(length_of(&b), 1u) << text;
    return length_of(&b) ? *at(&b, 0) : Cell{};
  }
};

// The syntax error a text raises, as its message text.
struct Recorded {
  ErrorCode code;
  std::string message;
};
Recorded recorded;

std::string form_arg(const Cell* c) {
  if (!c) return "";
  if (c->is(TypeId::datatype)) return type_name(static_cast<TypeId>(c->data1));
  if (c->is(TypeId::char_)) return std::string(1, static_cast<char>(c->data3));
  return utf8_of(c);
}

[[noreturn]] void record(ErrorCode code, const Cell* a, const Cell* b, const Cell* c) {
  recorded.code = code;
  std::string m;
  switch (code) {
    case ErrorCode::syntax_invalid:
      m = form_arg(a) + " invalid " + form_arg(b) + " at " + form_arg(c);
      break;
    case ErrorCode::syntax_missing:
      m = form_arg(a) + " missing " + form_arg(b) + " at " + form_arg(c);
      break;
    case ErrorCode::syntax_malconstruct:
      m = form_arg(a) + " invalid construction spec at " + form_arg(b);
      break;
    case ErrorCode::syntax_bad_char:
      m = form_arg(a) + " invalid character at " + form_arg(b);
      break;
    default:
      m = "?";
  }
  recorded.message = m;
  unwind::throw_level(level::error);
}

struct LexerErrors : Lexer {
  void SetUp() override {
    Lexer::SetUp();
    lexer::raise_syntax = record;
  }
  void TearDown() override { lexer::raise_syntax = nullptr; }

  std::string error_of(const std::string& text) {
    recorded = {};
    try {
      load(text);
    } catch (const NonLocalExit& e) {
      EXPECT_EQ(e.level, level::error);
      return recorded.message;
    }
    return "no error";
  }
};

// --- values

TEST_F(Lexer, Numbers) {
  struct Case {
    const char* text;
    TypeId type;
    double value;
  };
  const Case cases[] = {
      {"0", TypeId::integer, 0},
      {"-17", TypeId::integer, -17},
      {"+5", TypeId::integer, 5},
      {"1'000", TypeId::integer, 1000},
      {"2147483647", TypeId::integer, 2147483647.0},
      {"-2147483648", TypeId::integer, -2147483648.0},
      {"2147483648", TypeId::float_, 2147483648.0},
      {"-2147483649", TypeId::float_, -2147483649.0},
      {"00000000000000000001", TypeId::integer, 1},
      {"FFh", TypeId::integer, 255},
      {"0Ah", TypeId::integer, 10},
      {"FFFFFFFFh", TypeId::integer, -1},
      {"7FFFFFFFh", TypeId::integer, 2147483647.0},
      {"1.5", TypeId::float_, 1.5},
      {".5", TypeId::float_, 0.5},
      {"-.5", TypeId::float_, -0.5},
      {"1.", TypeId::float_, 1.0},
      {"1e3", TypeId::float_, 1000},
      {"1.5E-2", TypeId::float_, 0.015},
      {"1'000.5", TypeId::float_, 1000.5},
      {"0.1", TypeId::float_, 0.1},
      {"5%", TypeId::percent, 0.05},
      {"12.5%", TypeId::percent, 0.125},
      {"1.#INF", TypeId::float_, HUGE_VAL},
      {"-1.#inf", TypeId::float_, -HUGE_VAL},
  };
  for (const Case& c : cases) {
    Cell v = one(c.text);
    ASSERT_EQ(v.type(), c.type) << c.text;
    if (c.type == TypeId::integer) EXPECT_EQ(v.integer(), static_cast<int32_t>(c.value)) << c.text;
    else EXPECT_EQ(v.real(), c.value) << c.text;
  }
  EXPECT_TRUE(std::isnan(one("1.#NaN").real()));
}

TEST_F(Lexer, Words) {
  struct Case {
    const char* text;
    TypeId type;
    const char* name;
  };
  const Case cases[] = {
      {"abc", TypeId::word, "abc"},       {"a-b?", TypeId::word, "a-b?"},
      {"Abc", TypeId::word, "Abc"},       {"set:", TypeId::set_word, "set"},
      {":get", TypeId::get_word, "get"},  {"'lit", TypeId::lit_word, "lit"},
      {"/ref", TypeId::refinement, "ref"}, {"#iss", TypeId::issue, "iss"},
      {"/", TypeId::word, "/"},           {"//", TypeId::word, "//"},
      {"+", TypeId::word, "+"},           {"<=", TypeId::word, "<="},
      {"%", TypeId::word, "%"},           {"<", TypeId::word, "<"},
      {"Fh1", TypeId::word, "Fh1"},       {"\xC3\xA9t\xC3\xA9", TypeId::word, "\xC3\xA9t\xC3\xA9"},
      {"'/", TypeId::lit_word, "/"},      {"e", TypeId::word, "e"},
      {"#", TypeId::issue, ""},  // a "#" alone at the end of the text
  };
  for (const Case& c : cases) {
    Cell v = one(c.text);
    EXPECT_EQ(v.type(), c.type) << c.text;
    if (is_any_word(v.type())) {
      EXPECT_EQ(name_of(&v), c.name) << c.text;
    }
  }
}

TEST_F(Lexer, TextValues) {
  struct Case {
    const char* text;
    TypeId type;
    const char* content;
    uint32_t unit;
  };
  const Case cases[] = {
      {"\"abc\"", TypeId::string, "abc", 1},
      {"\"\"", TypeId::string, "", 1},
      {"\"a^/b^-c^^^\"\"", TypeId::string, "a\nb\tc^\"", 1},
      {"\"^(41)^(tab)^(TAB)^(1F600)\"", TypeId::string, "A\t\t\xF0\x9F\x98\x80", 4},
      {"\"^(20AC)\"", TypeId::string, "\xE2\x82\xAC", 2},
      {"\"^(e9)\"", TypeId::string, "\xC3\xA9", 1},
      {"\"^A^[^@x\"", TypeId::string, "\x01\x1B", 1},  // "^@" is NUL: checked below
      {"{a{b}c}", TypeId::string, "a{b}c", 1},
      {"{a^}b}", TypeId::string, "a}b", 1},
      {"{line\none}", TypeId::string, "line\none", 1},
      {"%{raw ^/}%", TypeId::string, "raw ^/", 1},
      {"%%{a}%b}%%", TypeId::string, "a}%b", 1},
      {"%file.txt", TypeId::file, "file.txt", 1},
      {"%a%20b", TypeId::file, "a b", 1},
      {"%\"with space^(41)\"", TypeId::file, "with spaceA", 1},
      {"http://x.y/%41%C3%A9", TypeId::url, "http://x.y/A\xC3\xA9", 1},
      {"a@b.c", TypeId::email, "a@b.c", 1},
      {"<tag x=\"1>\">", TypeId::tag, "tag x=\"1>\"", 1},
      {"@ref", TypeId::ref, "ref", 1},
      {"\"\xE2\x82\xAC\"", TypeId::string, "\xE2\x82\xAC", 2},
  };
  for (const Case& c : cases) {
    Cell v = one(c.text);
    ASSERT_EQ(v.type(), c.type) << c.text;
    std::string got = utf8_of(&v);
    if (std::string(c.text) == "\"^A^[^@x\"") {
      EXPECT_EQ(got, std::string("\x01\x1B\x00x", 4));
      continue;
    }
    EXPECT_EQ(got, c.content) << c.text;
    EXPECT_EQ(memory::series(v.node())->unit(), c.unit) << c.text;
  }
}

TEST_F(Lexer, CharsBinariesConstructions) {
  EXPECT_EQ(one("#\"a\"").data3, uint32_t{'a'});
  EXPECT_EQ(one("#\"^(1F600)\"").data3, 0x1F600u);
  EXPECT_EQ(one("#\"\xE2\x82\xAC\"").data3, 0x20ACu);
  EXPECT_EQ(one("#\"^\"\"").data3, uint32_t{'"'});

  struct Bin {
    const char* text;
    std::vector<uint8_t> bytes;
  };
  const Bin bins[] = {
      {"#{}", {}},
      {"#{0102 ; comment }\n ff}", {1, 2, 0xFF}},
      {"16#{AbCd}", {0xAB, 0xCD}},
      {"2#{00000001 11111111}", {1, 255}},
      {"64#{AQ==}", {1}},
      {"64#{AQI=}", {1, 2}},
      {"64#{SGVsbG8h}", {'H', 'e', 'l', 'l', 'o', '!'}},
  };
  for (const Bin& b : bins) {
    Cell v = one(b.text);
    ASSERT_EQ(v.type(), TypeId::binary) << b.text;
    SeriesBuffer* s = memory::series(v.node());
    EXPECT_EQ(std::vector<uint8_t>(s->head_ptr(), s->head_ptr() + s->length()), b.bytes) << b.text;
  }

  EXPECT_TRUE(one("#(true)").logic());
  EXPECT_FALSE(one("#(FALSE)").logic());
  EXPECT_EQ(one("#(none)").type(), TypeId::none);
  EXPECT_EQ(one("#(unset)").type(), TypeId::unset);
  // Datatype names come from the registry: the first, in id order, that
  // begins with the text.
  Cell d = one("#(block!)");
  ASSERT_EQ(d.type(), TypeId::datatype);
  EXPECT_EQ(d.data1, static_cast<uint32_t>(TypeId::block));
  EXPECT_EQ(one("#(BLO)").data1, static_cast<uint32_t>(TypeId::block));
}

TEST_F(Lexer, Nesting) {
  Cell b = load("[1 (2 x)] a/b/c: 'p/(q)/3 :g/h x/\"s\"");
  ASSERT_EQ(length_of(&b), 5u);
  const Cell* blk = at(&b, 0);
  ASSERT_EQ(blk->type(), TypeId::block);
  ASSERT_EQ(length_of(blk), 2u);
  EXPECT_EQ(at(blk, 1)->type(), TypeId::paren);
  EXPECT_EQ(length_of(at(blk, 1)), 2u);

  const Cell* sp = at(&b, 1);
  ASSERT_EQ(sp->type(), TypeId::set_path);
  ASSERT_EQ(length_of(sp), 3u);
  EXPECT_EQ(name_of(at(sp, 2)), "c");
  EXPECT_EQ(at(sp, 2)->type(), TypeId::word);

  const Cell* lp = at(&b, 2);
  ASSERT_EQ(lp->type(), TypeId::lit_path);
  ASSERT_EQ(length_of(lp), 3u);
  EXPECT_EQ(at(lp, 1)->type(), TypeId::paren);
  EXPECT_EQ(at(lp, 2)->integer(), 3);
  EXPECT_EQ(at(&b, 3)->type(), TypeId::get_path);
  EXPECT_EQ(at(at(&b, 4), 1)->type(), TypeId::string);

  // Deep nesting is iterative: no recursion in the lexer.
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  Cell d = load(deep);
  EXPECT_EQ(length_of(&d), 1u);
}

TEST_F(Lexer, NewLineMarkersAndComments) {
  Cell b = load("a ; note\n b\n\n[c\n d]");
  ASSERT_EQ(length_of(&b), 3u);
  EXPECT_FALSE(at(&b, 0)->has_flag(cell_flag::new_line));
  EXPECT_TRUE(at(&b, 1)->has_flag(cell_flag::new_line));
  EXPECT_TRUE(at(&b, 2)->has_flag(cell_flag::new_line));
  EXPECT_TRUE(at(at(&b, 2), 1)->has_flag(cell_flag::new_line));
  // A braced string whose "{" follows a line feed keeps the marker.
  Cell s = load("x\n{a\nb}");
  EXPECT_TRUE(at(&s, 1)->has_flag(cell_flag::new_line));
}

TEST_F(Lexer, WhiteSpaceAndUnicodeSpaces) {
  // Control characters are white space; a word of U+00A0 alone yields nothing.
  Cell b = load("\x01" "a\x1F" "b \xC2\xA0 c\xE2\x80\x83");
  ASSERT_EQ(length_of(&b), 3u);
  EXPECT_EQ(name_of(at(&b, 2)), "c");
  Cell spaces = load("\xC2\xA0");
  EXPECT_EQ(length_of(&spaces), 0u);
  // A NUL byte ends the input when only NULs and white space follow it.
  Cell nul = load(std::string("a\0\0 \n\0", 6));
  EXPECT_EQ(length_of(&nul), 1u);
}

// --- errors

TEST_F(LexerErrors, Messages) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"1''000", "(line 1) invalid integer! at 1''000"},
      {"#]", "(line 1) invalid issue! at #]"},
      {"# a", "(line 1) invalid issue! at # a"},
      {"]", "(line 1) missing [ at ]"},
      {")", "(line 1) missing ( at )"},
      {"[1 (2]", "(line 1) missing ) at ]"},
      {"[1 2", "(line 1) missing ] at [1 2"},
      {"a\n(b", "(line 2) missing ) at (b"},
      {"#(foo)", "(line 1) invalid construction spec at #(foo)"},
      {"#()", "(line 1) invalid construction spec at #()"},
      {"}", "(line 1) invalid character at }"},
      {"\xC0", "(line 1) invalid character at \xEF\xBF\xBD"},
      {"\"abc", "(line 1) invalid string! at \"abc"},
      {"{abc", "(line 1) invalid string! at {abc"},
      {"{a{b}", "(line 1) invalid string! at {a{b}"},
      {"\"a^(110000)\"", "(line 1) invalid string! at \"a^(110000)\""},
      {"\"a^(xyz)\"", "(line 1) invalid string! at \"a^(xyz)\""},
      {"\"\xFF\"", "(line 1) invalid string! at \"\xEF\xBF\xBD\""},
      {"\"\x80\"", "(line 1) invalid string! at \"\xEF\xBF\xBD\""},
      {"\"\xED\xB0\x80\"", "(line 1) invalid string! at \"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\"\xC0\xAF\"", "(line 1) invalid string! at \"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"#\"ab\"", "(line 1) invalid char! at #\"ab\""},
      {"1h", "(line 1) invalid integer! at 1h"},
      {"Fh", "(line 1) invalid word! at Fh"},
      {"123456789h", "(line 1) invalid integer! at 123456789h"},
      {"3#{00}", "(line 1) invalid binary! at 3#{00}"},
      {"#{0}", "(line 1) invalid binary! at #{0}"},
      {"2#{0101}", "(line 1) invalid binary! at 2#{0101}"},
      {"64#{A===}", "(line 1) invalid binary! at 64#{A===}"},
      {"'a:", "(line 1) invalid lit-word! at 'a:"},
      {"a/b:/c", "(line 1) invalid path! at a/b:/c"},
      {"a/", "(line 1) invalid path! at a/"},
      {"%{abc", "(line 1) invalid string! at %{abc"},
      {"%%{a}%%%", "(line 1) invalid string! at %%{a}%%%"},
      {"1.5x2", "(line 1) invalid pair! at 1.5x2"},
      {"a , b", "(line 1) invalid point2D! at , b"},
      {"a, b", "(line 1) invalid word! at a, b"},
      {"1.5.", "(line 1) invalid tuple! at 1.5."},
      {"1''23456789012345678901234567890123456", "(line 1) invalid integer! at "
                                                 "1''234567890123456789012345678"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST_F(LexerErrors, NulBeforeMoreTextIsAnInvalidCharacter) {
  // A NUL byte with more than padding after it would drop the rest of the
  // text without a word; it is reported where it stands.
  for (const std::string& text : {std::string("a\0b", 3), std::string("1 \0 2", 5),
                                  std::string("; c\0x\ny", 8), std::string("[a\0]", 5)})
    EXPECT_EQ(error_of(text).substr(0, 30), "(line 1) invalid character at ") << text;
}

TEST_F(LexerErrors, EveryInvalidByteIsAnErrorNotACrash) {
  for (int b : {0xC0, 0xC1, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}) {
    for (const char* ctx : {"%s", "a%s", "\"%s\"", "{%s}", "[%s]", "#%s", "%%{%s}%%", "a/%s"}) {
      std::string text;
      for (const char* p = ctx; *p; p++) {
        if (p[0] == '%' && p[1] == 's') {
          text += static_cast<char>(b);
          p++;
        } else {
          text += *p;
        }
      }
      EXPECT_NE(error_of(text), "no error") << ctx << " " << b;
    }
  }
}

// --- scan modes and transcode

struct Recorder : lexer::EventSink {
  uint32_t mask = lexer::kAllEvents;
  bool answer = true;
  std::vector<std::string> log;
  uint32_t events() const override { return mask; }
  bool on_event(lexer::EventInfo& e) override {
    static const char* names[] = {"", "prescan", "scan", "", "load", "", "", "", "open"};
    std::string n = e.event == lexer::Event::close   ? "close"
                    : e.event == lexer::Event::error ? "error"
                                                     : names[static_cast<int>(e.event)];
    log.push_back(n + " " + std::to_string(e.type) + " " + std::to_string(e.token_start) + "-" +
                  std::to_string(e.token_end));
    return e.event == lexer::Event::error ? answer : true;
  }
};

Cell make_text(const std::string& utf8) {
  Cell c;
  lexer::make_text_value(&c, TypeId::string, reinterpret_cast<const uint8_t*>(utf8.data()),
                         static_cast<uint32_t>(utf8.size()), false);
  return c;
}

Cell make_binary(const std::vector<uint8_t>& bytes) {
  Node n = memory::alloc_bytes(bytes.size());
  SeriesBuffer* s = memory::series(n);
  if (!bytes.empty()) std::memcpy(s->head_ptr(), bytes.data(), bytes.size());
  s->tail = s->offset + static_cast<uint32_t>(bytes.size());
  Cell c;
  set_series(&c, TypeId::binary, n);
  return c;
}

TEST_F(Lexer, TranscodeRefinements) {
  Cell out;
  Cell bom = make_binary({0xEF, 0xBB, 0xBF, '3', '1'});
  lexer::transcode(&out, &bom, {});
  ASSERT_EQ(length_of(&out), 1u);
  EXPECT_EQ(at(&out, 0)->integer(), 31);

  // /next: [value rest]
  Cell src = make_text("1 [2 3] x");
  lexer::TranscodeOptions next;
  next.next = true;
  lexer::transcode(&out, &src, next);
  ASSERT_EQ(length_of(&out), 2u);
  EXPECT_EQ(at(&out, 0)->integer(), 1);
  EXPECT_EQ(at(&out, 1)->head(), 1);
  Cell rest = *at(&out, 1);
  lexer::transcode(&out, &rest, next);
  EXPECT_EQ(at(&out, 0)->type(), TypeId::block);
  EXPECT_EQ(at(&out, 1)->head(), 7);

  // /one gives the value itself; /part is clamped to what is left.
  lexer::TranscodeOptions one;
  one.one = true;
  lexer::transcode(&out, &rest, one);
  EXPECT_EQ(out.type(), TypeId::block);
  Cell part;
  set_integer(&part, 1000);
  lexer::TranscodeOptions clamp;
  clamp.part = &part;
  lexer::transcode(&out, &rest, clamp);
  EXPECT_EQ(length_of(&out), 2u);
  set_integer(&part, 2);
  lexer::transcode(&out, &src, clamp);
  EXPECT_EQ(length_of(&out), 1u);

  // /scan and /prescan answer the type of the first value.
  lexer::TranscodeOptions scan;
  scan.scan = true;
  Cell t = make_text("  1.5 x");
  lexer::transcode(&out, &t, scan);
  EXPECT_EQ(out.data1, static_cast<uint32_t>(TypeId::float_));
  Cell bad = make_text("1''0 x");
  lexer::transcode(&out, &bad, scan);
  EXPECT_EQ(out.data1, static_cast<uint32_t>(TypeId::error));
  lexer::TranscodeOptions prescan;
  prescan.prescan = true;
  Cell blk = make_text("[a b] c");
  lexer::transcode(&out, &blk, prescan);
  EXPECT_EQ(out.data1, static_cast<uint32_t>(TypeId::block));
  Cell empty = make_text("");
  lexer::transcode(&out, &empty, scan);
  EXPECT_EQ(out.type(), TypeId::none);

  // /into appends to the given block.
  Cell into = load("a");
  lexer::TranscodeOptions in;
  in.into = &into;
  Cell more = make_text("b c");
  lexer::transcode(&out, &more, in);
  EXPECT_EQ(length_of(&into), 3u);
}

TEST_F(Lexer, WideStringInput) {
  // Unit-2 and unit-4 strings are encoded to UTF-8 before scanning; positions
  // reported back count characters.
  Cell s = make_text("\xE2\x82\xAC x \xF0\x9F\x98\x80y 2");
  ASSERT_EQ(memory::series(s.node())->unit(), 4u);
  Cell out;
  lexer::ScanOptions o;
  o.one = true;
  lexer::ScanResult r = lexer::load_string(&out, &s, -1, o);
  EXPECT_EQ(out.type(), TypeId::word);
  EXPECT_EQ(r.consumed, 1u);
  lexer::load_string(&out, &s, -1, {});
  EXPECT_EQ(length_of(&out), 4u);
  EXPECT_EQ(name_of(at(&out, 2)), "\xF0\x9F\x98\x80y");
}

TEST_F(Lexer, Events) {
  Recorder rec;
  Cell out = load("[a 1] {s}", {false, true, true, false, &rec, nullptr, nullptr});
  const std::vector<std::string> expected = {
      "prescan -3 0-0", "open 5 0-1",    "prescan 15 1-2", "scan 15 1-2",   "load 15 1-2",
      "prescan 11 3-4", "scan 11 3-4",   "load 11 3-4",    "prescan -4 4-4", "close 5 0-5",
      "prescan -7 6-6", "open 7 6-7",    "close 7 6-9",    "scan 7 6-9",    "load 7 6-9",
  };
  EXPECT_EQ(rec.log, expected);

  // Only error events, answered false: the bad token is dropped, the scan goes on.
  Recorder errors;
  errors.mask = static_cast<uint32_t>(lexer::Event::error);
  errors.answer = false;
  out = load("a 1''0 b ] c", {false, true, true, false, &errors, nullptr, nullptr});
  ASSERT_EQ(length_of(&out), 3u);
  EXPECT_EQ(name_of(at(&out, 2)), "c");
  EXPECT_EQ(errors.log.size(), 2u);

  // An unclosed block absorbed by the callback makes the output none.
  errors.log.clear();
  lexer::ScanResult r;
  lexer::ScanOptions o;
  o.callback = &errors;
  r = lexer::scan(&out, reinterpret_cast<const uint8_t*>("[a"), 2, o);
  EXPECT_TRUE(r.absorbed);
  EXPECT_EQ(out.type(), TypeId::none);
}

// A callback that starts a nested run, and one that leaves by an exit: both
// leave the lexer idle with its buffers given back.
struct Nester : lexer::EventSink {
  int depth = 0;
  bool throw_on_load = false;
  uint32_t events() const override { return static_cast<uint32_t>(lexer::Event::load); }
  bool on_event(lexer::EventInfo&) override {
    if (throw_on_load) unwind::throw_level(level::throw_);
    if (depth++ < 3) {
      Cell inner;
      lexer::ScanOptions o;
      o.callback = this;
      lexer::scan(&inner, reinterpret_cast<const uint8_t*>("[x [y]]"), 7, o);
      EXPECT_EQ(length_of(&inner), 1u);
    }
    return true;
  }
};

TEST_F(Lexer, NestedRunsAndExitsFromCallbacks) {
  Nester n;
  Cell out = load("p q r", {false, true, true, false, &n, nullptr, nullptr});
  EXPECT_EQ(length_of(&out), 3u);
  EXPECT_TRUE(lexer::idle());

  Nester thrower;
  thrower.throw_on_load = true;
  EXPECT_THROW(load("a b", {false, true, true, false, &thrower, nullptr, nullptr}), NonLocalExit);
  EXPECT_TRUE(lexer::idle());
  Cell again = load("a b");
  EXPECT_EQ(length_of(&again), 2u);
}

// --- number scanning for conversions

TEST(LexerConversions, ScanInteger) {
  struct Case {
    const char* text;
    int32_t value;
    int32_t error;
  };
  const Case cases[] = {
      {"-2147483648", -2147483647 - 1, 0}, {"2147483647", 2147483647, 0},
      {"2147483648", 0, -2},               {"-2147483649", 0, -2},
      {"-21474836480", 0, -2},             {"-2147483648x", -2147483647 - 1, -1},
      {"1'000'000", 1000000, 0},           {"12abc", 12, -1},
      {"+7", 7, 0},                        {"", 0, -1},
      {"-", 0, -1},
  };
  for (const Case& c : cases) {
    int32_t err = 99;
    int32_t v = lexer::scan_integer(c.text, static_cast<int32_t>(std::strlen(c.text)), 1, &err);
    EXPECT_EQ(err, c.error) << c.text;
    if (c.error != -2) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  const uint32_t wide[] = {'-', '4', '2'};
  int32_t err;
  EXPECT_EQ(lexer::scan_integer(wide, 3, 4, &err), -42);
}

TEST(LexerConversions, ScanFloat) {
  int32_t err;
  EXPECT_EQ(lexer::scan_float_text("1,5", 3, 1, &err), 1.5);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lexer::scan_float_text("1'000.25", 8, 1, &err), 1000.25);
  EXPECT_EQ(lexer::scan_float_text("-1e-3", 5, 1, &err), -0.001);
  EXPECT_TRUE(std::isnan(lexer::scan_float_text("1.2.3", 5, 1, &err)));
  EXPECT_EQ(err, -1);
  std::string digits = "0." + std::string(311, '1');
  EXPECT_TRUE(std::isnan(lexer::scan_float_text(digits.data(), 313, 1, &err)));
  EXPECT_EQ(err, -1);
  EXPECT_FALSE(std::isnan(lexer::scan_float_text(digits.data(), 312, 1, &err)));
  EXPECT_EQ(err, 0);
  // Overflow is an infinity with the text's sign, not a failure.
  EXPECT_EQ(lexer::scan_float_text("1e999", 5, 1, &err), HUGE_VAL);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lexer::scan_float_text("-1.8e308", 8, 1, &err), -HUGE_VAL);
}

}  // namespace
}  // namespace qel
