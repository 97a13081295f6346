// The lexer's read-only tables: the 256-entry character class table, the
// 65 x 40 transition table, the skip and type tables indexed by state, and the
// per-class line increments. All are built at compile time from the row
// descriptions below (a default target plus exceptions per state), so the
// engine's inner loop is two indexed loads per byte.
//
// A state value above kTerminalBase ends the token; the token class is the
// value minus kTerminalBase (66 is class 1 ... 101 is class 36).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "core/types.h"
#include "lexer/lexer.h"

namespace qel::lexer {

// Character classes (low byte of a class table entry).
enum CharClass : uint8_t {
  c_blank, c_line, c_digit, c_zero, c_block_open, c_block_close, c_paren_open, c_paren_close,
  c_brace_open, c_brace_close, c_dquote, c_sharp, c_quote, c_colon, c_letter_x, c_letter_T,
  c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper, c_slash, c_backslash, c_less,
  c_greater, c_equal, c_percent, c_comma, c_semicolon, c_at, c_dot, c_dollar, c_plus, c_minus,
  c_caret, c_control, c_utf8_tail, c_word_char, c_invalid, c_end,
};
inline constexpr int kClassCount = 40;
inline constexpr int kStateCount = 65;
inline constexpr int kTerminalBase = 65;

// Token classes (terminal state minus kTerminalBase).
enum TokenClass : uint8_t {
  t_none = 0, t_eof = 1, t_error, t_block_open, t_block_close, t_paren_open, t_paren_close,
  t_mstring_open, t_mstring_close, t_map_open, t_path, t_construct, t_comment, t_comma,
  t_string, t_word, t_issue, t_integer, t_refinement, t_char, t_file, t_binary, t_percent,
  t_float, t_float_special, t_tuple, t_date, t_pair, t_point, t_time, t_money, t_tag, t_url,
  t_email, t_hex, t_rawstring, t_ref,
};
inline constexpr int kTokenClassCount = 37;  // 0 unused, 1..36

namespace tables_detail {

constexpr uint8_t S(int n) { return static_cast<uint8_t>(n); }
constexpr uint8_t T(int n) { return static_cast<uint8_t>(kTerminalBase + n); }

constexpr std::array<uint32_t, 256> make_class_table() {
  std::array<uint32_t, 256> t{};
  for (int b = 0; b < 256; b++) {
    uint32_t c = c_word_char;
    if (b == 0) c = c_end | flag::end;
    else if (b == 9 || b == 13 || b == 32) c = c_blank;
    else if (b == 10) c = c_line;
    else if (b < 32) c = c_control;
    else if (b >= '1' && b <= '9') c = c_digit;
    else if (b == '0') c = c_zero;
    else if (b >= 0x7F && b <= 0xBF) c = c_utf8_tail;
    else if (b == 0xC0 || b == 0xC1 || b >= 0xF8) c = c_invalid;
    else if (b >= 0xC2 && b <= 0xEF) c = c_word_char | flag::wide;
    else if (b >= 0xF0 && b <= 0xF7) c = c_word_char | flag::wider;
    else {
      switch (b) {
        case '[': c = c_block_open; break;
        case ']': c = c_block_close; break;
        case '(': c = c_paren_open; break;
        case ')': c = c_paren_close; break;
        case '{': c = c_brace_open; break;
        case '}': c = c_brace_close; break;
        case '"': c = c_dquote; break;
        case '#': c = c_sharp | flag::sharp; break;
        case '\'': c = c_quote | flag::quote; break;
        case ':': c = c_colon | flag::colon; break;
        case 'x': case 'X': c = c_letter_x; break;
        case 'T': c = c_letter_T; break;
        case 'h': c = c_letter_h; break;
        case 'e': c = c_letter_e | flag::exponent; break;
        case 'E': c = c_letter_E | flag::exponent; break;
        case 'a': case 'b': case 'c': case 'd': case 'f': c = c_hex_lower; break;
        case 'A': case 'B': case 'C': case 'D': case 'F': c = c_hex_upper; break;
        case '/': c = c_slash; break;
        case '\\': c = c_backslash; break;
        case '<': c = c_less | flag::less; break;
        case '>': c = c_greater | flag::greater; break;
        case '=': c = c_equal; break;
        case '%': c = c_percent | flag::percent; break;
        case ',': c = c_comma | flag::comma; break;
        case ';': c = c_semicolon; break;
        case '@': c = c_at; break;
        case '.': c = c_dot | flag::dot; break;
        case '$': c = c_dollar; break;
        case '+': c = c_plus | flag::sign; break;
        case '-': c = c_minus | flag::sign; break;
        case '^': c = c_caret | flag::caret; break;
        default: c = c_word_char; break;
      }
    }
    t[b] = c;
  }
  return t;
}

using Transitions = std::array<uint8_t, kStateCount * kClassCount>;

struct Rule {
  std::initializer_list<CharClass> classes;
  uint8_t target;
};

constexpr void row(Transitions& t, int state, uint8_t def, std::initializer_list<Rule> rules) {
  for (int c = 0; c < kClassCount; c++) t[state * kClassCount + c] = def;
  for (const Rule& r : rules)
    for (CharClass c : r.classes) t[state * kClassCount + c] = r.target;
}

constexpr Transitions make_transitions() {
  Transitions t{};
  row(t, 0, S(52),
      {{{c_blank, c_line, c_control}, S(0)}, {{c_digit, c_zero}, S(23)}, {{c_block_open}, T(3)},
       {{c_block_close}, T(4)}, {{c_paren_open}, T(5)}, {{c_paren_close}, T(6)},
       {{c_brace_open}, T(7)}, {{c_brace_close, c_backslash, c_utf8_tail, c_invalid}, T(2)},
       {{c_dquote}, S(2)}, {{c_sharp}, S(16)}, {{c_quote, c_colon}, S(51)},
       {{c_letter_E, c_hex_upper}, S(40)}, {{c_slash}, S(13)}, {{c_less}, S(43)},
       {{c_equal}, S(58)}, {{c_percent}, S(6)}, {{c_comma}, T(13)}, {{c_semicolon}, S(1)},
       {{c_at}, S(57)}, {{c_dot}, S(49)}, {{c_dollar}, S(36)}, {{c_plus, c_minus}, S(47)},
       {{c_end}, T(1)}});
  row(t, 1, S(1), {{{c_line, c_end}, T(12)}, {{c_invalid}, T(2)}});
  row(t, 2, S(2), {{{c_line, c_invalid, c_end}, T(2)}, {{c_dquote}, T(14)}, {{c_caret}, S(3)}});
  row(t, 3, S(2), {{{c_invalid, c_end}, T(2)}});
  row(t, 4, S(4),
      {{{c_brace_open}, T(7)}, {{c_brace_close}, T(8)}, {{c_caret}, S(5)},
       {{c_invalid, c_end}, T(2)}});
  row(t, 5, S(4), {{{c_invalid, c_end}, T(2)}});
  row(t, 6, S(7),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_close,
         c_semicolon, c_at, c_control, c_end},
        T(15)},
       {{c_brace_open}, S(10)}, {{c_dquote}, S(8)}, {{c_colon}, S(54)}, {{c_percent}, S(9)},
       {{c_invalid}, T(2)}});
  row(t, 7, S(7),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_colon, c_semicolon, c_at, c_end},
        T(20)},
       {{c_dquote, c_invalid}, T(2)}});
  row(t, 8, S(8), {{{c_line, c_invalid, c_end}, T(2)}, {{c_dquote}, T(20)}});
  row(t, 9, S(7),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_close,
         c_dquote, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_brace_open}, S(10)}, {{c_percent}, S(9)}, {{c_invalid}, T(2)}});
  row(t, 10, S(10), {{{c_brace_close}, S(11)}, {{c_invalid, c_end}, T(2)}});
  row(t, 11, S(10), {{{c_brace_close}, S(11)}, {{c_percent}, S(12)}, {{c_invalid, c_end}, T(2)}});
  row(t, 12, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_dquote, c_less, c_semicolon, c_control, c_end},
        T(35)},
       {{c_percent}, S(12)}});
  row(t, 13, S(14),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_semicolon, c_at, c_control, c_end},
        T(15)},
       {{c_colon}, S(53)}, {{c_slash}, S(15)}, {{c_comma, c_invalid}, T(2)}});
  row(t, 14, S(14),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_slash, c_semicolon, c_at, c_control, c_end},
        T(18)},
       {{c_colon, c_comma, c_invalid}, T(2)}});
  row(t, 15, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_semicolon, c_at, c_control, c_end},
        T(15)},
       {{c_slash}, S(15)}, {{c_percent, c_comma, c_dollar, c_invalid}, T(2)}});
  row(t, 16, S(22),
      {{{c_blank, c_line, c_block_close, c_paren_close, c_brace_close, c_colon, c_less, c_greater,
         c_comma, c_invalid},
        T(2)},
       {{c_block_open}, T(9)}, {{c_paren_open}, S(21)}, {{c_brace_open}, S(17)},
       {{c_dquote}, S(19)}, {{c_semicolon, c_at, c_control, c_end}, T(16)}});
  row(t, 17, T(2),
      {{{c_blank, c_line, c_digit, c_zero, c_letter_x, c_letter_T, c_letter_h, c_letter_e,
         c_letter_E, c_hex_lower, c_hex_upper, c_slash, c_equal, c_plus, c_word_char},
        S(17)},
       {{c_brace_close}, T(21)}, {{c_semicolon}, S(18)}});
  row(t, 18, S(18), {{{c_line}, S(17)}, {{c_invalid, c_end}, T(2)}});
  row(t, 19, S(19), {{{c_dquote}, T(19)}, {{c_caret}, S(20)}, {{c_invalid, c_end}, T(2)}});
  row(t, 20, S(19), {{{c_invalid, c_end}, T(2)}});
  row(t, 21, S(21), {{{c_paren_close}, T(11)}, {{c_invalid, c_end}, T(2)}});
  row(t, 22, S(22),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_semicolon, c_at, c_control, c_end},
        T(16)},
       {{c_colon, c_slash, c_invalid}, T(2)}});
  row(t, 23, T(17),
      {{{c_digit, c_zero, c_quote}, S(23)}, {{c_sharp}, S(16)}, {{c_colon}, S(31)},
       {{c_letter_x}, S(33)}, {{c_letter_T, c_slash, c_minus}, S(30)}, {{c_letter_h}, S(42)},
       {{c_letter_e}, S(26)}, {{c_letter_E}, S(27)},
       {{c_hex_lower, c_backslash, c_greater, c_equal, c_dollar, c_plus, c_caret, c_utf8_tail,
         c_word_char, c_invalid},
        T(2)},
       {{c_hex_upper}, S(39)}, {{c_percent}, T(22)}, {{c_at}, S(56)}, {{c_dot}, S(24)}});
  row(t, 24, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_slash, c_less, c_comma, c_semicolon, c_control, c_end},
        T(23)},
       {{c_digit, c_zero, c_quote}, S(25)}, {{c_sharp}, S(28)}, {{c_letter_x}, S(33)},
       {{c_letter_e, c_letter_E}, S(26)}, {{c_percent}, T(22)}});
  row(t, 25, T(23),
      {{{c_digit, c_zero, c_quote}, S(25)},
       {{c_sharp, c_letter_T, c_letter_h, c_hex_lower, c_hex_upper, c_backslash, c_greater,
         c_equal, c_dollar, c_plus, c_minus, c_caret, c_utf8_tail, c_word_char, c_invalid},
        T(2)},
       {{c_letter_x}, S(33)}, {{c_letter_e, c_letter_E}, S(26)}, {{c_percent}, T(22)},
       {{c_at}, S(56)}, {{c_dot}, S(29)}});
  row(t, 26, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_less, c_comma, c_semicolon, c_control,
         c_end},
        T(23)},
       {{c_digit, c_zero, c_plus, c_minus}, S(26)}, {{c_percent}, T(22)}, {{c_at}, S(56)}});
  row(t, 27, T(23),
      {{{c_digit, c_zero}, S(27)},
       {{c_sharp, c_quote, c_letter_x, c_letter_T, c_letter_e, c_hex_lower, c_backslash,
         c_greater, c_equal, c_semicolon, c_dollar, c_caret, c_utf8_tail, c_word_char, c_invalid},
        T(2)},
       {{c_letter_h}, S(42)}, {{c_letter_E, c_hex_upper}, S(40)}, {{c_percent}, T(22)},
       {{c_at}, S(56)}, {{c_dot}, S(29)}, {{c_plus, c_minus}, S(26)}});
  row(t, 28, T(24),
      {{{c_digit}, T(23)},
       {{c_sharp, c_quote, c_colon, c_at, c_dollar, c_caret, c_invalid}, T(2)},
       {{c_percent}, T(22)},
       {{c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper,
         c_greater, c_equal, c_dot, c_plus, c_minus, c_utf8_tail, c_word_char},
        S(28)}});
  row(t, 29, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end},
        T(25)},
       {{c_digit, c_zero, c_dot}, S(29)}});
  row(t, 30, S(30),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_less, c_semicolon, c_dollar, c_control, c_end},
        T(26)},
       {{c_percent, c_comma, c_at, c_caret, c_utf8_tail, c_invalid}, T(2)}});
  row(t, 31, T(2), {{{c_digit, c_zero}, S(32)}});
  row(t, 32, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_slash, c_less, c_semicolon, c_control, c_end},
        T(29)},
       {{c_digit, c_zero, c_colon, c_dot}, S(32)}});
  row(t, 33, T(2), {{{c_digit, c_zero, c_plus, c_minus}, S(34)}, {{c_at}, S(56)}});
  row(t, 34, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end},
        T(27)},
       {{c_digit, c_zero, c_letter_e, c_letter_E, c_dot}, S(34)}, {{c_at}, S(56)}});
  row(t, 35, T(2),
      {{{c_blank, c_digit, c_zero, c_block_close, c_sharp, c_letter_e, c_letter_E, c_hex_lower,
         c_hex_upper, c_comma, c_dot, c_plus, c_minus, c_word_char},
        S(35)},
       {{c_paren_close}, T(28)}});
  row(t, 36, T(2), {{{c_digit, c_zero}, S(37)}});
  row(t, 37, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_colon, c_slash, c_less, c_semicolon, c_control,
         c_end},
        T(30)},
       {{c_digit, c_zero, c_quote}, S(37)}, {{c_dot}, S(38)}});
  row(t, 38, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_colon, c_slash, c_less, c_semicolon, c_control,
         c_end},
        T(30)},
       {{c_digit, c_zero, c_quote}, S(38)}});
  row(t, 39, T(2),
      {{{c_digit, c_zero, c_letter_E, c_hex_upper}, S(39)}, {{c_letter_h}, S(41)},
       {{c_at}, S(56)}});
  row(t, 40, T(15),
      {{{c_digit, c_zero, c_letter_E, c_hex_upper}, S(40)},
       {{c_quote, c_letter_x, c_letter_T, c_letter_e, c_hex_lower, c_less, c_greater, c_equal,
         c_dot, c_plus, c_minus, c_caret, c_utf8_tail, c_word_char},
        S(52)},
       {{c_colon}, S(53)}, {{c_letter_h}, S(41)}, {{c_slash}, T(10)},
       {{c_percent, c_comma, c_invalid}, T(2)}, {{c_at}, S(56)}, {{c_dollar}, S(37)}});
  row(t, 41, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_backslash, c_semicolon, c_control, c_end},
        T(34)},
       {{c_sharp, c_percent, c_comma, c_invalid}, T(2)}, {{c_colon}, S(53)}, {{c_slash}, T(10)},
       {{c_at}, S(56)}, {{c_dollar}, S(37)}});
  row(t, 42, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_backslash, c_less, c_semicolon, c_control, c_end},
        T(34)},
       {{c_slash}, T(10)}, {{c_at}, S(56)}, {{c_dollar}, S(37)}});
  row(t, 43, S(44),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_semicolon, c_control, c_end},
        T(15)},
       {{c_quote}, S(46)}, {{c_colon}, S(53)}, {{c_less}, S(43)},
       {{c_greater, c_equal, c_minus}, S(52)}, {{c_invalid}, T(2)}});
  row(t, 44, S(44),
      {{{c_dquote}, S(45)}, {{c_quote}, S(46)}, {{c_greater}, T(31)}, {{c_invalid, c_end}, T(2)}});
  row(t, 45, S(45), {{{c_dquote}, S(44)}, {{c_invalid, c_end}, T(2)}});
  row(t, 46, S(46), {{{c_quote}, S(44)}, {{c_invalid, c_end}, T(2)}});
  row(t, 47, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_digit, c_zero}, S(23)}, {{c_quote, c_percent, c_caret, c_invalid}, T(2)},
       {{c_slash}, T(10)}, {{c_dot}, S(49)}, {{c_dollar}, S(37)}});
  row(t, 48, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_quote, c_percent, c_dollar, c_caret, c_invalid}, T(2)}, {{c_slash}, T(10)}});
  row(t, 49, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_digit, c_zero, c_plus, c_minus}, S(50)}, {{c_colon}, S(53)}, {{c_slash}, T(10)},
       {{c_percent, c_comma, c_dollar, c_invalid}, T(2)}, {{c_at}, S(56)}});
  row(t, 50, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_less, c_control, c_end},
        T(23)},
       {{c_digit, c_zero, c_letter_e, c_letter_E, c_plus, c_minus}, S(50)}, {{c_letter_x}, S(33)},
       {{c_percent}, T(22)}, {{c_at}, S(56)}});
  row(t, 51, T(2),
      {{{c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper,
         c_greater, c_dot, c_caret, c_utf8_tail, c_word_char},
        S(52)},
       {{c_slash}, S(13)}, {{c_less}, S(43)}, {{c_equal}, S(58)}, {{c_percent}, S(54)},
       {{c_plus, c_minus}, S(48)}});
  row(t, 52, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_sharp, c_backslash, c_less, c_semicolon, c_control, c_end},
        T(15)},
       {{c_colon}, S(53)}, {{c_slash}, T(10)}, {{c_percent, c_comma, c_invalid}, T(2)},
       {{c_at}, S(56)}, {{c_dollar}, S(36)}});
  row(t, 53, S(55),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_less, c_invalid}, T(2)}});
  row(t, 54, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_percent}, S(54)}});
  row(t, 55, S(55),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_backslash, c_less, c_semicolon, c_control, c_end},
        T(32)},
       {{c_greater, c_caret, c_invalid}, T(2)}});
  row(t, 56, T(33),
      {{{c_digit, c_zero, c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower,
         c_hex_upper, c_percent, c_dot, c_plus, c_minus, c_utf8_tail, c_word_char},
        S(56)},
       {{c_sharp, c_quote, c_colon, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret,
         c_invalid},
        T(2)}});
  row(t, 57, S(57),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_less, c_semicolon, c_control, c_end},
        T(36)},
       {{c_sharp, c_quote, c_backslash, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret,
         c_invalid},
        T(2)}});
  row(t, 58, S(52),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_sharp, c_percent, c_comma, c_at, c_dollar, c_invalid}, T(2)}, {{c_slash}, T(10)}});
  row(t, 59, T(2),
      {{{c_digit, c_zero}, S(60)}, {{c_paren_open}, T(5)}, {{c_paren_close}, T(6)},
       {{c_dquote}, S(2)}, {{c_sharp}, S(63)}, {{c_quote, c_colon}, S(61)},
       {{c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper,
         c_greater, c_equal, c_dot, c_utf8_tail, c_word_char},
        S(62)},
       {{c_less}, S(43)}, {{c_at}, S(57)}, {{c_dollar}, S(36)}, {{c_plus, c_minus}, S(64)}});
  row(t, 60, T(2),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end},
        T(17)},
       {{c_digit, c_zero, c_quote}, S(60)}, {{c_letter_x}, S(33)},
       {{c_letter_e, c_letter_E}, S(26)}, {{c_percent}, T(22)}, {{c_at}, S(56)}, {{c_dot}, S(24)}});
  row(t, 61, T(2),
      {{{c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper,
         c_less, c_greater, c_equal, c_dot, c_plus, c_minus, c_utf8_tail, c_word_char},
        S(62)}});
  row(t, 62, S(62),
      {{{c_blank, c_line, c_block_open, c_block_close, c_paren_open, c_paren_close, c_brace_open,
         c_brace_close, c_dquote, c_colon, c_slash, c_backslash, c_semicolon, c_control, c_end},
        T(15)},
       {{c_sharp, c_percent, c_comma, c_invalid}, T(2)}, {{c_at}, S(56)}, {{c_dollar}, S(36)}});
  row(t, 63, S(22),
      {{{c_blank, c_line, c_block_close, c_paren_open, c_paren_close, c_brace_open, c_brace_close,
         c_colon, c_slash, c_less, c_greater, c_equal, c_comma, c_semicolon, c_at, c_control,
         c_invalid, c_end},
        T(2)},
       {{c_block_open}, S(21)}, {{c_dquote}, S(19)}});
  row(t, 64, T(15),
      {{{c_digit, c_zero}, S(60)},
       {{c_sharp, c_quote, c_less, c_percent, c_comma, c_caret, c_invalid}, T(2)},
       {{c_letter_x, c_letter_T, c_letter_h, c_letter_e, c_letter_E, c_hex_lower, c_hex_upper,
         c_greater, c_equal, c_dot, c_utf8_tail, c_word_char},
        S(62)},
       {{c_at}, S(56)}, {{c_dollar}, S(36)}, {{c_plus, c_minus}, S(64)}});
  return t;
}

// The datatype of a token that ends in a state: for scanning states the type
// an error token ending there is reported as; for terminal states the type of
// the token class (0 when the class has none).
constexpr std::array<uint8_t, 104> make_type_table() {
  std::array<uint8_t, 104> t{};
  auto id = [](TypeId x) { return static_cast<uint8_t>(x); };
  const TypeId scanning[kStateCount] = {
      TypeId::none_id, TypeId::none_id, TypeId::string, TypeId::string, TypeId::string,   // 0-4
      TypeId::string, TypeId::file, TypeId::file, TypeId::file, TypeId::string,           // 5-9
      TypeId::string, TypeId::string, TypeId::string, TypeId::refinement,                 // 10-13
      TypeId::refinement, TypeId::word, TypeId::issue, TypeId::binary, TypeId::binary,    // 14-18
      TypeId::char_, TypeId::char_, TypeId::datatype, TypeId::issue, TypeId::integer,     // 19-23
      TypeId::float_, TypeId::float_, TypeId::float_, TypeId::float_, TypeId::float_,     // 24-28
      TypeId::tuple, TypeId::date, TypeId::time, TypeId::time, TypeId::pair,              // 29-33
      TypeId::pair, TypeId::point2d, TypeId::money, TypeId::money, TypeId::money,         // 34-38
      TypeId::integer, TypeId::word, TypeId::integer, TypeId::integer, TypeId::tag,       // 39-43
      TypeId::tag, TypeId::tag, TypeId::tag, TypeId::word, TypeId::word,                  // 44-48
      TypeId::word, TypeId::float_, TypeId::word, TypeId::word, TypeId::url,              // 49-53
      TypeId::word, TypeId::url, TypeId::email, TypeId::ref, TypeId::word,                // 54-58
      TypeId::path, TypeId::integer, TypeId::word, TypeId::word, TypeId::issue,           // 59-63
      TypeId::word,                                                                       // 64
  };
  for (int s = 0; s < kStateCount; s++) t[s] = id(scanning[s]);
  const TypeId terminal[kTokenClassCount] = {
      TypeId::none_id, TypeId::none_id, TypeId::error, TypeId::none_id, TypeId::none_id,
      TypeId::none_id, TypeId::none_id, TypeId::none_id, TypeId::string, TypeId::none_id,
      TypeId::none_id, TypeId::none_id, TypeId::none_id, TypeId::none_id, TypeId::string,
      TypeId::word, TypeId::issue, TypeId::integer, TypeId::refinement, TypeId::char_,
      TypeId::file, TypeId::binary, TypeId::percent, TypeId::float_, TypeId::float_,
      TypeId::tuple, TypeId::date, TypeId::pair, TypeId::point2d, TypeId::time, TypeId::money,
      TypeId::tag, TypeId::url, TypeId::email, TypeId::integer, TypeId::string, TypeId::ref,
  };
  for (int c = 1; c < kTokenClassCount; c++) t[kTerminalBase + c] = id(terminal[c]);
  return t;
}

}  // namespace tables_detail

inline constexpr std::array<uint32_t, 256> kClassTable = tables_detail::make_class_table();
inline constexpr tables_detail::Transitions kTransitions = tables_detail::make_transitions();
inline constexpr std::array<uint8_t, 104> kTypeTable = tables_detail::make_type_table();

// Leading white space: every byte that leads back to state 0 moves the token start.
inline constexpr bool skips(int state) { return state == 0; }
// Line feeds counted per class.
inline constexpr int line_increment(int cls) { return cls == c_line ? 1 : 0; }

inline constexpr int next_state(int state, int cls) {
  return kTransitions[state * kClassCount + cls];
}

static_assert(next_state(0, c_end) == kTerminalBase + t_eof);
static_assert(next_state(23, c_percent) == kTerminalBase + t_percent);
static_assert(next_state(28, c_percent) == kTerminalBase + t_percent);  // 1.#INF%
static_assert(next_state(64, c_plus) == 64);

}  // namespace qel::lexer
