// Keys of the line editor and the decoder that turns terminal input bytes
// into them.
//
// A key is an int32_t: the code point of a key that produces a character
// (control keys give their control codes: Ctrl-A 1 ... Ctrl-Z 26, Esc 27,
// Backspace 8 or 127, Tab 9, Enter 13), or a negative code for a key
// without a character (the arrows, Home, End, Insert, Delete, Page Up and
// Page Down), 0 for any other such key. An Alt+key (ESC and then a key in
// the same burst) is one key: the key's code plus `key::alt`.
//
// The terminal sends UTF-8 for characters and VT sequences for the other
// keys ("ESC [ A", "ESC O H", "ESC [ 3 ~", with or without modifier
// parameters). Invalid UTF-8 becomes U+FFFD, one per bad sequence. A lone
// ESC is the Esc key only once no byte follows it for a moment: the reader
// tells the decoder so with `flush_pending`. The decoder also recognises the
// terminal's answer to the cursor position query ("ESC [ row ; col R") and
// the marks a terminal in bracketed-paste mode puts around pasted text
// ("ESC [ 200 ~" before, "ESC [ 201 ~" after).
#pragma once

#include <cstdint>
#include <optional>

namespace qel::console {

namespace key {
inline constexpr int32_t none = 0;
inline constexpr int32_t ctrl_a = 1;
inline constexpr int32_t ctrl_b = 2;
inline constexpr int32_t ctrl_c = 3;
inline constexpr int32_t ctrl_d = 4;
inline constexpr int32_t ctrl_e = 5;
inline constexpr int32_t ctrl_f = 6;
inline constexpr int32_t backspace = 8;
inline constexpr int32_t tab = 9;
inline constexpr int32_t line_feed = 10;
inline constexpr int32_t ctrl_k = 11;
inline constexpr int32_t enter = 13;
inline constexpr int32_t ctrl_n = 14;
inline constexpr int32_t ctrl_p = 16;
inline constexpr int32_t escape = 27;
inline constexpr int32_t delete_char = 127;
inline constexpr int32_t up = -20;
inline constexpr int32_t down = -21;
inline constexpr int32_t right = -22;
inline constexpr int32_t left = -23;
inline constexpr int32_t end = -24;
inline constexpr int32_t home = -25;
inline constexpr int32_t insert = -26;
inline constexpr int32_t delete_ = -27;
inline constexpr int32_t page_up = -28;
inline constexpr int32_t page_down = -29;
// Added to a key's code for Alt+key; above every code point.
inline constexpr int32_t alt = 0x1000000;
}  // namespace key

// One thing decoded from the input: a key, the answer to a cursor position
// query (1-based row and column, as the terminal sends them), or the start
// or end mark of a paste.
struct InputEvent {
  enum class Kind : uint8_t { key, cursor_report, paste_start, paste_end };
  Kind kind = Kind::key;
  int32_t key = 0;
  int32_t row = 0;
  int32_t column = 0;
  // Set by the key reader: the key came inside a paste.
  bool pasted = false;
};

// The byte-by-byte state machine. Feed it every byte read; each call gives
// at most one event. A byte may also finish a pending sequence and start a
// new one (an invalid UTF-8 sequence cut short by a new lead byte, a lone
// ESC followed by a character): the decoder then answers the first event and
// keeps the byte, which `take_held` returns for feeding again.
class KeyDecoder {
 public:
  // Decodes one byte; an event when the byte completes one.
  std::optional<InputEvent> feed(uint8_t byte);

  // A byte the last `feed` kept for the next event (see above).
  std::optional<uint8_t> take_held();

  // True while a sequence is incomplete (ESC seen, or a UTF-8 lead byte
  // waiting for its continuation bytes).
  bool pending() const { return state_ != State::ground; }
  // True when the only pending byte is a lone ESC, which is the Esc key if
  // nothing follows it soon.
  bool escape_pending() const { return state_ == State::escape; }

  // The input paused with a sequence incomplete: a lone ESC is the Esc key;
  // a cut UTF-8 sequence is U+FFFD (Alt+U+FFFD after an ESC); a cut control
  // sequence is dropped.
  std::optional<InputEvent> flush_pending();

 private:
  enum class State : uint8_t { ground, escape, csi, ss3, utf8 };

  std::optional<InputEvent> step(uint8_t byte);
  std::optional<InputEvent> finish_csi(uint8_t final_byte);
  std::optional<InputEvent> hold(uint8_t byte, InputEvent event);

  State state_ = State::ground;
  // CSI parameters: up to two numbers ("3", "1;5", "24;80").
  int32_t params_[2] = {0, 0};
  int32_t param_count_ = 0;
  bool private_marker_ = false;
  // UTF-8: the code point so far, the continuation bytes still expected,
  // and the smallest code point the sequence's length allows.
  uint32_t code_point_ = 0;
  int32_t remaining_ = 0;
  uint32_t minimum_ = 0;
  std::optional<uint8_t> held_;
  // An ESC came before the key being decoded: it is an Alt+key.
  bool alt_ = false;
};

}  // namespace qel::console
