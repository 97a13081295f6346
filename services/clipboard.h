// The clipboard: text and lists of files, both ways, for the routines
// `read-clipboard` and `write-clipboard`.
//
// Where the clipboard lives is decided at each access: with a Wayland
// display (WAYLAND_DISPLAY) and `wl-copy`/`wl-paste` installed, the
// desktop's clipboard through them; else with an X display (DISPLAY) and
// `xclip`, or failing that `xsel`, installed, the X clipboard through that
// tool; else an in-process clipboard that lasts as long as the program.
// Text crosses as UTF-8 with LF line ends (read text has CR LF and lone CR
// made LF); a list of files crosses as a "text/uri-list" of file: URIs
// (xsel, which knows no types, gets the names as lines of text). A helper
// tool that does not answer within 5 seconds is stopped and the access
// fails.
//
// An image crosses as PNG data ("image/png"; xsel, which knows no types,
// carries none); reading takes text first, then files, then an image.
// The in-process clipboard gives text back as it was written (CR kept), and
// a leading U+FEFF is kept either way; file names are made absolute and keep bytes
// that are not UTF-8 as U+DC80..U+DCFF both ways. After an X write the
// clipboard is read back until it holds what was written (the tools take
// the selection from a background copy of themselves).
#pragma once

#include <string>
#include <vector>

#include "core/cell.h"

namespace qel::clipboard {

// What the clipboard holds, below the language.
struct Content {
  enum class Kind : uint8_t { empty, text, files, image };
  Kind kind = Kind::empty;
  std::string text;                // UTF-8, LF line ends; for an image its PNG data
  std::vector<std::string> files;  // absolute POSIX names, UTF-8
};

enum class Backend : uint8_t { memory, wayland, xclip, xsel };
// The clipboard the environment gives now (see above).
Backend backend();

// Reads the clipboard; false when it cannot be read.
bool read_content(Content& out);
// Replaces what the clipboard holds (Kind::empty empties it); false when it
// cannot be written.
bool write_content(const Content& content);

// The text/uri-list form of file names, and back (file: URIs with an empty
// or "localhost" host; other lines and comments are skipped).
std::string to_uri_list(const std::vector<std::string>& files);
std::vector<std::string> from_uri_list(std::string_view text);

// --- the routines' side

// What the clipboard holds as a value in `out`: a string!, a block! of
// file! values (made by the library's `to-qel-file`), an image!, none when
// it is empty, false when it cannot be read. Image data that does not
// decode raises access `bad-media`.
Cell* read(Cell* out);
// Puts a string!, a block of files (any-string! values, taken as local
// names and made absolute against the current folder), an image! (an image
// without pixels empties it, as none does) or none (empties it) on the
// clipboard; true on success. Any other value, or a block
// holding anything but names, raises script `invalid-arg` with it.
bool write(const Cell* value);

}  // namespace qel::clipboard
