// The clipboard (see clipboard.h): choosing where it lives, the helper
// tools of the desktops, the in-process clipboard, and the conversions
// between values and what the clipboard holds.
#include "services/clipboard.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/image.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "text/unicode.h"
#include "services/files.h"
#include "services/process.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::clipboard {

namespace {

constexpr int32_t kToolTimeoutMs = 5000;
constexpr const char* kUriList = "text/uri-list";
constexpr const char* kPng = "image/png";

// The in-process clipboard.
Content memory_content;

bool set_in_environment(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// Runs a helper tool: `input` (or nothing) on its standard input, its
// output captured. The exit status, or -1 when it could not be run.
int64_t run_tool(const std::vector<std::string>& argv, const std::string* input, std::string* output,
                 int32_t timeout_ms = kToolTimeoutMs) {
  io::ProcessSpec spec;
  for (const std::string& a : argv) {
    if (!spec.command.empty()) spec.command.push_back(' ');
    spec.command += io::quote_word(a);
  }
  spec.wait = true;
  spec.timeout_ms = timeout_ms;
  spec.input.kind = input ? io::StreamKind::bytes : io::StreamKind::null;
  if (input) spec.input.bytes.assign(input->begin(), input->end());
  spec.output.kind = output ? io::StreamKind::bytes : io::StreamKind::null;
  spec.error.kind = io::StreamKind::null;
  io::ProcessResult r = io::run(spec);
  if (r.timed_out || r.too_long) return -1;
  if (output) output->assign(spec.output.bytes.begin(), spec.output.bytes.end());
  return r.status;
}

// The X tools hand the selection to a copy of themselves that runs on in
// the background and takes it a moment later: a write is done once the
// clipboard gives back what was written (within about a second).
bool settle(const std::vector<std::string>& reader, const std::string& expected) {
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string got;
    if (run_tool(reader, nullptr, &got, 1000) == 0 && got == expected) return true;
    struct timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

// Text from a tool: CR LF and lone CR made LF.
std::string lf_text(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); i++) {
    if (bytes[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') i++;
    } else {
      out.push_back(bytes[i]);
    }
  }
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool has(const std::vector<std::string>& types, std::string_view t) {
  for (const std::string& x : types)
    if (x == t) return true;
  return false;
}

bool is_text_type(const std::string& t) {
  return t == "UTF8_STRING" || t == "STRING" || t == "TEXT" || t == "text/plain" ||
         t.rfind("text/plain;", 0) == 0;
}

// --- the tools

bool read_wayland(Content& out) {
  std::string listing;
  const int64_t status = run_tool({"wl-paste", "--list-types"}, nullptr, &listing);
  if (status < 0) return false;
  out = Content{};
  if (status != 0) return true;  // nothing on the clipboard
  const std::vector<std::string> types = lines_of(listing);
  std::string bytes;
  if (std::any_of(types.begin(), types.end(), is_text_type)) {
    if (run_tool({"wl-paste", "--no-newline", "--type", "text"}, nullptr, &bytes) != 0) return false;
    out.kind = Content::Kind::text;
    out.text = lf_text(bytes);
  } else if (has(types, kUriList)) {
    if (run_tool({"wl-paste", "--no-newline", "--type", kUriList}, nullptr, &bytes) != 0) return false;
    out.kind = Content::Kind::files;
    out.files = from_uri_list(bytes);
  } else if (has(types, kPng)) {
    if (run_tool({"wl-paste", "--type", kPng}, nullptr, &out.text) != 0) return false;
    out.kind = Content::Kind::image;
  }
  return true;
}

bool write_wayland(const Content& c) {
  if (c.kind == Content::Kind::empty) return run_tool({"wl-copy", "--clear"}, nullptr, nullptr) == 0;
  if (c.kind == Content::Kind::files) {
    const std::string list = to_uri_list(c.files);
    return run_tool({"wl-copy", "--type", kUriList}, &list, nullptr) == 0;
  }
  if (c.kind == Content::Kind::image) return run_tool({"wl-copy", "--type", kPng}, &c.text, nullptr) == 0;
  return run_tool({"wl-copy", "--type", "text/plain;charset=utf-8"}, &c.text, nullptr) == 0;
}

bool read_xclip(Content& out) {
  std::string listing;
  const int64_t status =
      run_tool({"xclip", "-selection", "clipboard", "-o", "-t", "TARGETS"}, nullptr, &listing);
  if (status < 0) return false;
  out = Content{};
  if (status != 0) return true;  // no owner: nothing on the clipboard
  const std::vector<std::string> types = lines_of(listing);
  std::string bytes;
  if (std::any_of(types.begin(), types.end(), is_text_type)) {
    const char* type = has(types, "UTF8_STRING") ? "UTF8_STRING" : "STRING";
    if (run_tool({"xclip", "-selection", "clipboard", "-o", "-t", type}, nullptr, &bytes) != 0)
      return false;
    out.kind = Content::Kind::text;
    out.text = lf_text(bytes);
  } else if (has(types, kUriList)) {
    if (run_tool({"xclip", "-selection", "clipboard", "-o", "-t", kUriList}, nullptr, &bytes) != 0)
      return false;
    out.kind = Content::Kind::files;
    out.files = from_uri_list(bytes);
  } else if (has(types, kPng)) {
    if (run_tool({"xclip", "-selection", "clipboard", "-o", "-t", kPng}, nullptr, &out.text) != 0)
      return false;
    out.kind = Content::Kind::image;
  }
  return true;
}

bool write_xclip(const Content& c) {
  // xclip cannot empty the clipboard: it is given empty text instead.
  const bool files = c.kind == Content::Kind::files;
  const std::string data = files ? to_uri_list(c.files) : c.text;
  const char* type = files ? kUriList : c.kind == Content::Kind::image ? kPng : "UTF8_STRING";
  return run_tool({"xclip", "-selection", "clipboard", "-i", "-t", type}, &data, nullptr) == 0 &&
         settle({"xclip", "-selection", "clipboard", "-o", "-t", type}, data);
}

bool read_xsel(Content& out) {
  std::string bytes;
  const int64_t status = run_tool({"xsel", "--clipboard", "--output"}, nullptr, &bytes);
  if (status < 0) return false;
  out = Content{};
  if (status == 0 && !bytes.empty()) {
    out.kind = Content::Kind::text;
    out.text = lf_text(bytes);
  }
  return true;
}

bool write_xsel(const Content& c) {
  if (c.kind == Content::Kind::empty) return run_tool({"xsel", "--clipboard", "--clear"}, nullptr, nullptr) == 0;
  if (c.kind == Content::Kind::image) return false;  // xsel carries text only
  std::string text = c.text;
  if (c.kind == Content::Kind::files) {
    text.clear();
    for (const std::string& f : c.files) text += f + "\n";
  }
  return run_tool({"xsel", "--clipboard", "--input"}, &text, nullptr) == 0 &&
         settle({"xsel", "--clipboard", "--output"}, text);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Backend backend() {
  if (set_in_environment("WAYLAND_DISPLAY") && io::program_exists("wl-copy") &&
      io::program_exists("wl-paste"))
    return Backend::wayland;
  if (set_in_environment("DISPLAY")) {
    if (io::program_exists("xclip")) return Backend::xclip;
    if (io::program_exists("xsel")) return Backend::xsel;
  }
  return Backend::memory;
}

bool read_content(Content& out) {
  switch (backend()) {
    case Backend::wayland: return read_wayland(out);
    case Backend::xclip: return read_xclip(out);
    case Backend::xsel: return read_xsel(out);
    case Backend::memory: break;
  }
  out = memory_content;
  return true;
}

bool write_content(const Content& content) {
  switch (backend()) {
    case Backend::wayland: return write_wayland(content);
    case Backend::xclip: return write_xclip(content);
    case Backend::xsel: return write_xsel(content);
    case Backend::memory: break;
  }
  memory_content = content;
  return true;
}

std::string to_uri_list(const std::vector<std::string>& files) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const std::string& f : files) {
    out += "file://";
    for (unsigned char c : f) {
      const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                         std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                             std::string_view::npos;
      if (plain) {
        out.push_back(static_cast<char>(c));
      } else {
        out.push_back('%');
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
      }
    }
    out += "\r\n";
  }
  return out;
}

std::vector<std::string> from_uri_list(std::string_view text) {
  std::vector<std::string> files;
  for (const std::string& line : lines_of(std::string(text))) {
    if (line[0] == '#' || line.rfind("file:", 0) != 0) continue;
    std::string_view rest = std::string_view(line).substr(5);
    if (rest.substr(0, 2) == "//") {
      rest.remove_prefix(2);
      const size_t slash = rest.find('/');
      if (slash == std::string_view::npos) continue;
      const std::string_view host = rest.substr(0, slash);
      if (!host.empty() && host != "localhost") continue;  // another machine's file
      rest.remove_prefix(slash);
    }
    std::string name;
    for (size_t i = 0; i < rest.size(); i++) {
      int hi, lo;
      if (rest[i] == '%' && i + 2 < rest.size() && (hi = hex_digit(rest[i + 1])) >= 0 &&
          (lo = hex_digit(rest[i + 2])) >= 0) {
        name.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        name.push_back(rest[i]);
      }
    }
    if (!name.empty() && name.find('\0') == std::string::npos) files.push_back(std::move(name));
  }
  return files;
}

// --- the routines' side

Cell* read(Cell* out) {
  Content c;
  if (!read_content(c)) {
    set_logic(out, false);
    return out;
  }
  switch (c.kind) {
    case Content::Kind::empty:
      set_none(out);
      return out;
    case Content::Kind::text: {
      // Text that opens with U+FEFF keeps it: the decoder takes EF BB BF at
      // its start for a file's byte-order mark, so a second one goes first.
      if (c.text.rfind("\xEF\xBB\xBF", 0) == 0) c.text.insert(0, "\xEF\xBB\xBF");
      // Line ends as they are: the tools' text has had its CR LF made LF
      // already, and the in-process clipboard gives back what it was given.
      Cell* mark = stack::top;
      *out = *string::load_utf8_checked(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size());
      stack::top = mark;
      return out;
    }
    case Content::Kind::image: {
      Cell* mark = stack::top;
      Cell bytes;
      binary::make_from(&bytes, reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size());
      *out = *image::load_binary(&bytes);
      stack::top = mark;
      return out;
    }
    case Content::Kind::files:
      break;
  }
  // Each name becomes a file! through the library's to-qel-file; the block
  // and the name wait on the stack while it runs.
  Cell* list = stack::push_slot();
  block::make_at(list, static_cast<int32_t>(std::max<size_t>(c.files.size(), 1)));
  Cell convert_word = word::load("to-qel-file");
  for (const std::string& name : c.files) {
    Cell fn = *context::get(&convert_word);
    // Bytes of a name that are not UTF-8 are kept as U+DC80..U+DCFF, as in
    // folder listings, so the file! still names its file.
    Cell* arg = stack::push_slot();
    files::os_text(arg, name);
    const Cell* args[] = {arg};
    Cell* converted = interpreter::call_function(&fn, args, 1, &convert_word);
    block::rs_append(list, converted);
    stack::top = arg;
  }
  *out = *list;
  stack::top = list;
  return out;
}

bool write(const Cell* value) {
  Content c;
  if (value->is(TypeId::none)) {
    c.kind = Content::Kind::empty;
  } else if (value->is(TypeId::string)) {
    c.kind = Content::Kind::text;
    c.text = unicode::to_utf8_string(value);
  } else if (value->is(TypeId::block)) {
    c.kind = Content::Kind::files;
    Cell blk = *value;
    const int32_t n = std::max(block::rs_length_q(&blk), 0);
    for (int32_t i = 0; i < n; i++) {
      Cell item = *block::rs_abs_at(&blk, blk.head() + i);
      if (!is_any_string(item.type())) fire(ErrorCode::script_invalid_arg, &item);
      // Names are made absolute: whoever pastes them has another current
      // folder.
      Cell local;
      string::rs_make_at(&local, 64);
      file::to_local_path(&item, &local, true);
      std::string name = files::os_bytes(&local);
      if (name.find('\0') != std::string::npos) fire(ErrorCode::script_invalid_arg, &item);
      c.files.push_back(std::move(name));
    }
  } else if (value->is(TypeId::image)) {
    if (image::pixel_count(value) == 0) {
      c.kind = Content::Kind::empty;
    } else {
      Cell* mark = stack::top;
      Cell* png = image::encode(value, nullptr, static_cast<int32_t>(image_codec::Format::png));
      c.kind = Content::Kind::image;
      c.text.assign(reinterpret_cast<const char*>(binary::rs_head(png)),
                    static_cast<size_t>(binary::rs_length(png)));
      stack::top = mark;
    }
  } else {
    Cell v = *value;
    fire(ErrorCode::script_invalid_arg, &v);
  }
  return write_content(c);
}

}  // namespace qel::clipboard
