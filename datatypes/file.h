// file!: a string naming a file with "/" between folders (a child of url!).
// The file forms are POSIX paths: the local form of a file is its text
// itself (no drive letters, no backslashes), and a relative path made full
// is prefixed by the current directory. Text to and from the system is
// UTF-8. A backslash is an ordinary character of a file name: only "/" ends
// a folder's name, and `read %/` lists the root folder.
#pragma once

#include <cstdint>
#include <string>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::file {

// Pushes a copy of a value.
Cell* push(const Cell* value);
// Appends the local (POSIX) form of the path to `target`; with `full` a
// relative path is prefixed by the current directory (ending in "/").
void to_local_path(const Cell* file, Cell* target, bool full);
// The local form as UTF-8 for a system call; empty (a name every call
// refuses) when the name holds NUL, which the system would cut it at.
std::string to_os_path(const Cell* file);
// A new string! holding the current directory, ending in "/".
Cell* get_current_dir(Cell* out);

// --- actions
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// The file actions that reach the file system (file_io.cpp, over
// services/files.h); read/as, write/allow and write/as raise internal
// `not-done`.
Cell* delete_(Cell* port);
Cell* query(Cell* port);
Cell* read(Cell* source, const ReadArgs& args);
Cell* rename(Cell* from, Cell* to);
Cell* write(Cell* destination, Cell* data, const WriteArgs& args);

void register_();

}  // namespace qel::file
