// The file service: reading and writing whole files (or parts of them) as
// text, bytes or lines, listing folders, file dates, deleting, renaming and
// making folders, over POSIX calls.
//
// Two layers. The lower operations are thin wrappers of one system call each
// (paths are UTF-8, descriptors are plain ints, -1 is failure) that loop on
// interrupted calls and on short reads and writes. The value-level
// operations take and give Qel values and raise Qel errors; the file!
// actions (datatypes/file_io.cpp) and the system natives call them.
//
// Sizes are 64-bit throughout. What a series cannot hold (more than
// memory::kMaxSeriesBytes bytes to read) is refused with script `too-long`
// before anything is allocated. Files whose size the system does not report
// (pipes, FIFOs, character devices, /proc files) are read to their end into
// a growing buffer, once.
//
// Text is UTF-8 both ways. Reading as text turns CR LF and a lone CR into LF
// and raises access `invalid-utf8` with the bytes from the first sequence
// the checked decoder refuses (stopping there quietly would lose the rest;
// read/binary gives the bytes as they are), except that the 3-byte forms
// write gives a lone surrogate and U+FFFE are taken back; /lines splits at
// LF only and drops only the text's own byte-order mark. Writing writes LF
// as it is; any value other than string! and binary! is written molded, and
// all the bytes are made before the file is opened, so a value whose mold
// fails leaves the file as it was.
//
// A file of known size is read with one allocation and one read loop,
// straight into the binary! for /binary; a seek a file cannot do is done by
// reading, at most as far as a series could hold. A seek at or past the end
// reads nothing; /seek and /part take floats past 2 GiB as 64-bit offsets.
// A whole-file write (`write` without /append or /seek, `write/binary`,
// `write/lines`, `save`, the console settings) writes a new file in the
// target's folder (`.qel-XXXXXXXX.tmp`) and renames it over the target once
// every byte is in and it is closed: a write that fails part-way leaves the
// old file as it was and removes the new one. The new file gets the
// target's permission bits (owner and group where the system allows); a
// symbolic link is followed to the file it names. A target that is no
// regular file (a device, a FIFO, a /proc descriptor link) is written in
// place, as is a file whose folder takes no new file (EACCES, EPERM, EROFS);
// /append and /seek write in place. Every failure to open, seek, write,
// close or rename a file being written is access `cannot-write` with the
// system's reason ("no space left on device"); a negative /seek or /part
// for `write` is `invalid-refine-arg`, and a /seek on a stream (pipe,
// socket, terminal) is not applied. `rename` never replaces: a taken target name answers false
// and changes nothing (another spelling of the same name renames). `delete`
// of a folder named with a final "." (`%d/.`) removes that folder when it
// is empty. `size?` of a file above 2 GiB is a float!; `query` dates are UTC
// with millisecond precision; folder listings keep the system's order.
// Names from the system whose bytes are not UTF-8 keep each bad byte as the
// code point U+DC00 + the byte (`os_text`), and on the way out (`os_bytes`:
// file names, `set-env`) U+DC80..U+DCFF turn back into those bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/cell.h"

namespace qel::files {

// --- lower operations ----------------------------------------------------

// Open mode bits: read, or write (optionally appending, or writing at a
// given offset without truncating).
namespace open_mode {
inline constexpr uint32_t read = 1;
inline constexpr uint32_t write = 2;
inline constexpr uint32_t append = 4;
inline constexpr uint32_t seek = 8;
}  // namespace open_mode

// Opens a file; -1 on failure. Writing creates the file (mode 0666 less the
// umask) and truncates it unless the append or seek bit is set.
int open_file(const std::string& path, uint32_t mode);
// The size of a regular file; 0 for anything whose size the system does not
// report (pipes, devices, /proc files); -1 on failure or for a folder.
int64_t file_size(int fd);
// True for a stream, which has no position: a pipe, a socket or a
// character device (a terminal, /dev/null).
bool stream_q(int fd);
// Moves to `offset` from the start; false on failure (a pipe, a bad offset).
bool seek(int fd, int64_t offset);
// Reads until `count` bytes are in or the file ends; returns the bytes read
// (less than count only at the end of the file), or -1 on failure.
int64_t read_data(int fd, uint8_t* buffer, uint64_t count);
// Writes all `count` bytes; false when the system refuses or stops short.
bool write_bytes(int fd, const uint8_t* bytes, uint64_t count);
// Closes a descriptor; false when the system reports a failure (a deferred
// write error).
bool close_file(int fd);
// Creates one folder (no parents); false on failure.
bool make_dir(const std::string& path);
// True when a file or folder of that name exists.
bool file_exists_q(const std::string& path);
// True when the path names an existing folder.
bool dir_exists_q(const std::string& path);

// --- reading plans -------------------------------------------------------

// The bytes a read of a file of `size` bytes takes: from `seek` (negative:
// from the start) at most `part` bytes (negative: to the end). A seek at or
// past the end takes nothing. More than a series can hold raises script
// `too-long`. Separate from the reading so that sizes beyond 2 GiB can be
// tested without such files.
uint64_t planned_read_size(int64_t size, int64_t seek, int64_t part);

// Where the bytes of a read go: a region that may grow while it keeps what
// it holds.
class ReadTarget {
 public:
  virtual ~ReadTarget() = default;
  // Returns the start of a region of at least `capacity` bytes holding the
  // first `used` bytes written so far; raises internal `no-memory` when it
  // cannot.
  virtual uint8_t* reserve(uint64_t capacity, uint64_t used) = 0;
};

// What read_into gave.
enum class ReadStatus { ok, cannot_open };

// Reads a file into `target` following the plan above: a file of known size
// with one allocation of what the plan takes and one read loop; a file that
// reports size 0 to its end into a growing region (the seek skipping bytes,
// by reading them when the file cannot seek, then at most as many as a
// series holds: more is script `too-long`). `*count` gets the bytes read.
ReadStatus read_into(const std::string& path, int64_t part, int64_t seek, ReadTarget& target,
                     uint64_t* count);
// The same from an open descriptor (the caller closes it).
ReadStatus read_fd(int fd, int64_t part, int64_t seek, ReadTarget& target, uint64_t* count);

// --- value-level operations ---------------------------------------------

// Whether a file value names a folder, judged by its last characters: "/"
// at the end, or a last component "." or "..".
bool dir_path_q(const Cell* file);

// Decodes UTF-8 bytes into a new string! in `out`, turning CR LF and a lone
// CR into LF; bytes that are not UTF-8 raise access invalid-utf8.
Cell* bytes_to_string(const uint8_t* bytes, uint64_t n, Cell* out);
// Splits bytes into a new block! of line strings in `out`: a line ends at LF
// (less one CR just before it); text after the last LF is a last line,
// taken whole. A byte-order mark opening the bytes is dropped, a U+FEFF
// opening a later line kept. Bytes that are not UTF-8 raise access
// invalid-utf8.
Cell* lines_to_block(const uint8_t* bytes, uint64_t n, Cell* out);

// A name (or other text) from the system as a new string! in `out`: its
// UTF-8, each byte that is not part of valid UTF-8 kept as the code point
// U+DC00 + the byte (a lone low surrogate, which no decoded text holds).
// file::to_os_path turns those back into the bytes, so such a name still
// names its file (decoded as text it would have become another name).
Cell* os_text(Cell* out, std::string_view name);
// The bytes that text stands for at the system: its UTF-8, each code point
// U+DC80..U+DCFF (as os_text makes them) turned back into its byte.
std::string os_bytes(const Cell* text);

// Reads a file or lists a folder into `out`: a folder path (dir_path_q)
// gives its listing; otherwise the file's text, bytes (binary) or lines.
// `part` and `seek` are negative when absent. Failure raises access
// `cannot-open` with the file.
Cell* read(const Cell* file, int64_t part, int64_t seek, bool binary, bool lines, Cell* out);
// A block! of file! values, one per entry of the folder (without "." and
// ".."), in the order the system gives them; folders end in "/". "/" lists
// the root folder. Failure raises access `cannot-open` with the path.
Cell* read_dir(const Cell* dir, Cell* out);

// Writes a value to a file, or to the standard output when `file` is null:
// a string! as UTF-8, a binary! as its bytes, anything else molded. With
// `lines` a block! writes each value followed by LF, another value is
// followed by one LF. `part` limits the characters (bytes for a binary!)
// and must be an integer! (script `invalid-refine-arg` otherwise); a
// negative part writes nothing. `seek` (negative: absent) writes at that
// offset without truncating; `append` writes at the end. A failed open,
// seek, write or close raises access `cannot-open` with the file.
void write(const Cell* file, const Cell* data, const Cell* part, int64_t seek, bool binary,
           bool append, bool lines);

// The last modification time of a file in UTC, or nothing (a missing file,
// or a path ending in "/" that is not a folder).
struct FileTime {
  int32_t year, month, day, hour, minute, second;
  int32_t nanoseconds;  // whole milliseconds, in nanoseconds
};
bool query(const Cell* file, FileTime* time);
// Deletes a file, or an empty folder when the path names one; true on
// success.
bool delete_(const Cell* file);
// Renames a file or folder; true on success. A new name that is taken
// fails (nothing is replaced).
bool rename(const Cell* from, const Cell* to);
// The size of a file in bytes, or -1 when it cannot be opened or sized or
// the path names a folder.
int64_t size_of(const Cell* file);

}  // namespace qel::files
