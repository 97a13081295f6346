// file!: the molded form, the local (POSIX) form of a path and the current
// directory. The file actions that reach the file system are in file_io.cpp.
#include "datatypes/file.h"

#include <algorithm>

#include "datatypes/url.h"
#include "core/stack.h"
#include "text/unicode.h"
#include "runtime/platform.h"
#include "services/files.h"
#include "core/errors.h"
#include "datatypes/string.h"

namespace qel::file {

Cell* push(const Cell* value) { return stack::push(value); }

Cell* get_current_dir(Cell* out) {
  std::string dir = platform::get_current_dir().value_or(std::string());
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  return files::os_text(out, dir);
}

void to_local_path(const Cell* file, Cell* target, bool full) {
  Cell f = *file;
  const int32_t n = string::rs_length_q(&f);
  const bool absolute = n > 0 && string::rs_abs_at(&f, f.head()) == '/';
  if (full && !absolute) {
    Cell dir;
    get_current_dir(&dir);
    string::concatenate(target, &dir, -1, 0, string::Keep::yes, string::Mode::append);
  }
  // A POSIX path is its own local form.
  if (n > 0) string::concatenate(target, &f, -1, 0, string::Keep::yes, string::Mode::append);
}

std::string to_os_path(const Cell* file) {
  // U+DC80..U+DCFF stand for the bytes of a system name that are not UTF-8
  // (files::os_text): os_bytes turns them back into those bytes.
  std::string path = files::os_bytes(file);
  // The system reads a name up to its first NUL, so %"a^@b" would name the
  // file a: a name holding NUL names no file at all (the empty name, which
  // every call refuses).
  if (path.find('\0') != std::string::npos) path.clear();
  return path;
}

namespace {

// Characters the lexer ends an unquoted file at although URLs keep them.
bool ends_unquoted(uint32_t c) { return c == '(' || c == ')' || c == ':' || c == '@'; }

// Within double quotes a file is read with caret escapes: the caret, the
// double quote and the control characters other than tab are written as
// escapes so that the text loads back as the same file, and so are a lone
// surrogate (a name's byte that is not UTF-8, files::os_text) and U+FFFE,
// whose UTF-8 the lexer does not take.
bool needs_escape(uint32_t c) {
  return c == '^' || c == '"' || (c < 32 && c != '\t') || unicode::molds_as_escape(c);
}

}  // namespace

int32_t mold(Cell* value, Cell* out, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  Cell f = *value;
  const int32_t rest = string::rs_length_q(&f);
  int32_t n = rest;
  if (part) n = limit < 0 ? 0 : std::min(limit, rest);
  string::append_char(string::buffer(out), '%');
  if (rest == 0) {
    string::append_cstring(out, "\"\"");
    return limit - 3;
  }
  bool quote = false, escape = false;
  for (int32_t i = 0; i < n; i++) {
    const uint32_t c = string::rs_abs_at(&f, f.head() + i);
    if (c < 127 && (!url::lenient_keeps(c) || ends_unquoted(c))) quote = true;
    if (needs_escape(c)) escape = quote = true;
  }
  if (quote) string::append_char(string::buffer(out), '"');
  int32_t written = n;
  if (!escape) {
    string::concatenate(out, &f, n, 0, string::Keep::yes, string::Mode::append);
  } else {
    for (int32_t i = 0; i < n; i++) {
      const uint32_t c = string::rs_abs_at(&f, f.head() + i);
      if (!needs_escape(c)) {
        string::append_char(string::buffer(out), c);
      } else if (c == '^') {
        string::append_cstring(out, "^^");
        written += 1;
      } else if (c == '\n') {
        string::append_cstring(out, "^/");
        written += 1;
      } else {
        string::append_cstring(out, "^(");
        if (unicode::molds_as_escape(c)) {
          const string::Hex2 high = string::byte_to_hex(static_cast<uint8_t>(c >> 8));
          string::append_cstring(out, std::string_view(high.chars, 2));
          written += 2;
        }
        const string::Hex2 h = string::byte_to_hex(static_cast<uint8_t>(c));
        string::append_cstring(out, std::string_view(h.chars, 2));
        string::append_char(string::buffer(out), ')');
        written += 4;
      }
    }
  }
  if (quote) string::append_char(string::buffer(out), '"');
  return limit - written - 1;
}

void register_() {
  static const ActionRow row{
      .mold = mold,
      .delete_ = delete_,
      .open = unsupported,
      .query = query,
      .read = read,
      .rename = rename,
      .write = write,
  };
  datatype::register_type(TypeId::file, TypeId::url, "file!", row);
}

}  // namespace qel::file
