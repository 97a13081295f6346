// The console's terminal: raw mode, input bytes, VT output and the screen
// size behind a small interface, the key reader over it, and the driver
// that edits one line on it.
//
// `PosixTerminal` is the real one over standard input and output: termios
// raw mode (no echo, no line buffering, no signals from Ctrl-C or Ctrl-Z,
// no CR-to-LF translation; output processing stays on), TIOCGWINSZ for the
// size and a SIGWINCH handler that notes a change. While raw mode is on the
// saved modes are registered with runtime::set_exit_restore, so that every
// way out of the process (quit, an uncaught error, a fatal signal) puts the
// terminal back as it was; leaving raw mode after each line does the same.
//
// `KeyReader` turns the bytes into keys with console/keys.h, keeping keys
// that arrive ahead of time (a paste, typing while code runs) for the
// following lines, and asks the terminal where its cursor stands. Raw mode
// also turns on the terminal's bracketed-paste mode: the reader marks the
// keys between the paste marks as pasted, and a CR LF in a paste as one
// line end. A paste whose end mark is lost ends once the input has been
// idle for kPasteWaitMs, so that Tab and Ctrl-C work again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "console/keys.h"
#include "console/line_editor.h"

namespace qel::console {

class Terminal {
 public:
  virtual ~Terminal() = default;

  // Raw mode on; false when the terminal refuses.
  virtual bool enter_raw() = 0;
  // The modes as they were before enter_raw.
  virtual void leave_raw() = 0;

  enum class ReadStatus : uint8_t {
    data,         // `got` bytes were read
    timeout,      // nothing came within the time given
    interrupted,  // a signal came first (the size may have changed)
    closed,       // end of input or a read error
  };
  // Reads at most `capacity` bytes, waiting at most `timeout_ms`
  // milliseconds (-1: as long as it takes).
  virtual ReadStatus read(uint8_t* buffer, size_t capacity, size_t& got, int32_t timeout_ms) = 0;

  // Writes bytes and sends them at once.
  virtual void write(std::string_view bytes) = 0;

  // The size in cells, or nothing when the terminal does not tell.
  virtual std::optional<ScreenSize> size() = 0;
  // True once after each change of the size.
  virtual bool take_resized() = 0;
};

// The terminal on standard input and output.
class PosixTerminal final : public Terminal {
 public:
  // Whether standard input and standard output are both terminals: only
  // then does the console edit lines in place.
  static bool available();

  // Installs the SIGWINCH handler (once).
  PosixTerminal();

  bool enter_raw() override;
  void leave_raw() override;
  ReadStatus read(uint8_t* buffer, size_t capacity, size_t& got, int32_t timeout_ms) override;
  void write(std::string_view bytes) override;
  std::optional<ScreenSize> size() override;
  bool take_resized() override;
};

// Puts the terminal's saved modes back if raw mode is on; async-signal-safe
// (the function runtime::set_exit_restore calls).
void restore_terminal();

class KeyReader {
 public:
  explicit KeyReader(Terminal& terminal) : terminal_(terminal) {}

  struct Next {
    enum class Kind : uint8_t { key, resized, closed };
    Kind kind = Kind::key;
    int32_t key = 0;
    bool pasted = false;
  };
  // The next key; `resized` when the size changed first; `closed` when the
  // input ended or failed.
  Next next();

  // Asks the terminal for its cursor position; the 1-based column, or
  // nothing when no answer came in time (a terminal that never answers is
  // not asked again). Keys read meanwhile are kept.
  std::optional<int32_t> query_column();

  // How long a lone ESC waits for the rest of a key sequence.
  static constexpr int32_t kEscapeWaitMs = 50;
  // How long the first cursor query waits for the answer.
  static constexpr int32_t kQueryWaitMs = 500;
  // How long a paste may leave the input idle before it counts as ended.
  static constexpr int32_t kPasteWaitMs = 300;

 private:
  // Reads and decodes more input.
  enum class Fill : uint8_t { events, timeout, interrupted, closed };
  Fill fill(int32_t timeout_ms);
  void decode(uint8_t byte);
  void queue(InputEvent e);

  Terminal& terminal_;
  KeyDecoder decoder_;
  std::deque<InputEvent> events_;
  bool query_works_ = true;
  // Inside a paste: whether its last key was CR, and for how long the input
  // has been idle.
  bool pasting_ = false;
  bool paste_after_cr_ = false;
  int32_t paste_idle_ms_ = 0;
};

// Edits one line on the terminal: raw mode on, the prompt drawn where the
// cursor stands, keys handled until the line ends, raw mode off. The line
// is the editor's `line()`. Nothing when the input closed.
std::optional<EditEnd> edit_line(Terminal& terminal, KeyReader& keys, LineEditor& editor,
                                 Text prompt, bool hidden, History* history);

}  // namespace qel::console
