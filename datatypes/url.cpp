// url!: percent-encoding, construction from a block, the molded form and
// path steps.
#include "datatypes/url.h"

#include <algorithm>
#include <string>

#include "datatypes/port.h"
#include "core/stack.h"
#include "text/unicode.h"
#include "services/http.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::url {

namespace {

// The characters each escaping mode keeps, for the ASCII range.
struct KeepTables {
  bool strict[128] = {};
  bool lenient[128] = {};
  KeepTables() {
    for (int c = 0; c < 128; c++) {
      const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
      strict[c] = alnum;
      lenient[c] = alnum;
    }
    for (char c : std::string_view("-._~")) strict[static_cast<uint8_t>(c)] = true;
    for (char c : std::string_view("!#$&'()*+,-./:=?@_~")) lenient[static_cast<uint8_t>(c)] = true;
  }
};
const KeepTables keep;

inline int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of a "%XX" group at p (end e), or -1.
inline int escape_at(const uint8_t* p, const uint8_t* e) {
  if (e - p < 3 || p[0] != '%') return -1;
  int hi = hex_value(p[1]), lo = hex_value(p[2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

[[noreturn]] void not_done() { fire(ErrorCode::internal_not_done); }

}  // namespace

bool lenient_keeps(uint32_t c) { return c < 128 && keep.lenient[c]; }

void dehex(const Cell* source, Cell* target) {
  const std::string text = unicode::to_utf8_string(source);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* e = p + text.size();
  while (p < e) {
    const int b = escape_at(p, e);
    if (b >= 0) {
      const int n = unicode::utf8_lead_length(static_cast<uint8_t>(b));
      if (n == 0) {
        string::append_char(string::buffer(target), static_cast<uint32_t>(b));
        p += 3;
        continue;
      }
      uint8_t bytes[4] = {static_cast<uint8_t>(b)};
      bool complete = true;
      for (int i = 1; i < n; i++) {
        const int next = escape_at(p + 3 * i, e);
        if (next < 0) {
          complete = false;
          break;
        }
        bytes[i] = static_cast<uint8_t>(next);
      }
      if (complete) {
        uint32_t count = static_cast<uint32_t>(n);
        const int32_t cp = unicode::decode_utf8_char_checked(bytes, &count);
        if (cp >= 0) {
          string::append_char(string::buffer(target), static_cast<uint32_t>(cp));
          p += 3 * n;
          continue;
        }
      }
      // Not an escape: the "%" is an ordinary character.
      string::append_char(string::buffer(target), '%');
      p++;
      continue;
    }
    int32_t cp;
    const uint8_t* next = unicode::fast_decode_utf8_char(p, e, &cp);
    string::append_char(string::buffer(target), cp < 0 ? *p : static_cast<uint32_t>(cp));
    p = cp < 0 ? p + 1 : next;
  }
}

void enhex(const Cell* source, Cell* target, Escape mode) {
  const std::string text = unicode::to_utf8_string(source);
  const bool* kept = mode == Escape::strict ? keep.strict : keep.lenient;
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 128 && kept[c]) {
      out.push_back(static_cast<char>(c));
    } else {
      const string::Hex2 h = string::byte_to_hex(c);
      out.push_back('%');
      out.append(h.chars, 2);
    }
  }
  string::append_cstring(target, out);
}

// --- make and to

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  if (type == TypeId::url && (spec->is(TypeId::block) || spec->is(TypeId::paren) || spec->is(TypeId::hash)))
    return to(proto, spec, type);
  return string::make(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, TypeId type) {
  if (type != TypeId::url || !(spec->is(TypeId::block) || spec->is(TypeId::paren) || spec->is(TypeId::hash)))
    return string::to(proto, spec, type);
  const int32_t n = std::max(block::rs_length_q(spec), 0);
  if (n == 0) {
    Cell dt;
    set_datatype(&dt, TypeId::url);
    fire(ErrorCode::script_bad_to_arg, &dt, spec);
  }
  Cell blk = *spec;
  Cell out;
  string::rs_make_at(&out, 16);
  auto item = [&](int32_t i) { return *block::rs_abs_at(&blk, blk.head() + i); };
  auto form_item = [&](Cell v) { actions::call_form(&v, &out, nullptr, string::kNoLimit); };
  form_item(item(0));
  string::append_cstring(&out, "://");
  int32_t i = 1;
  if (n > 1) form_item(item(i++));
  if (n > 2 && item(2).is(TypeId::integer)) {
    string::append_char(string::buffer(&out), ':');
    form_item(item(i++));
  }
  if (i < n) {
    string::append_char(string::buffer(&out), '/');
    for (; i < n; i++) {
      Cell v = item(i);
      form_item(v);
      if (i + 1 < n) string::append_char(string::buffer(&out), item(i + 1).is(TypeId::issue) ? '#' : '/');
    }
  }
  out.set_type(TypeId::url);
  *proto = out;
  return proto;
}

// --- mold

namespace {

// "(" and ")" end a url in source text: mold escapes them, beside what the
// lenient table escapes, so that the molded url loads back whole (the
// loader turns %28 and %29 back).
inline bool mold_keeps(unsigned char c) {
  return c < 128 && keep.lenient[c] && c != '(' && c != ')';
}

// Characters the text before a url's first ":" may hold as a word does,
// which mold_keeps would escape: there the loader reads no escapes, so they
// are written as they are (^http://x and <<>>:: load back).
inline bool scheme_word_char(unsigned char c) {
  return c >= 0x80 || c == '^' || c == '<' || c == '>' || c == '`' || c == '|';
}

}  // namespace

int32_t mold(Cell* value, Cell* out, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  const std::string text = unicode::to_utf8_string(value);
  const uint8_t* const bytes = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = bytes + text.size();
  // The characters before the first ":" go out as they are when a word may
  // hold them all.
  size_t raw = text.find(':');
  if (raw == std::string::npos ||
      !std::all_of(bytes, bytes + raw, [](uint8_t c) { return mold_keeps(c) || scheme_word_char(c); }))
    raw = 0;
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char c = bytes[i];
    // An escape in the text is the url's own and stays as it is (a "%40" in
    // the user part is no "@"); any other "%" is written %25.
    if (i < raw || mold_keeps(c) || (c == '%' && escape_at(bytes + i, end) >= 0)) {
      escaped.push_back(static_cast<char>(c));
    } else {
      const string::Hex2 h = string::byte_to_hex(c);
      escaped.push_back('%');
      escaped.append(h.chars, 2);
    }
  }
  // With /part, writing stops when the characters written reach the limit.
  // (The text is UTF-8: only the characters before the ":" may be wide.)
  const uint8_t* const from = reinterpret_cast<const uint8_t*>(escaped.data());
  const uint8_t* stop = from + escaped.size();
  if (part) stop = limit <= 0 ? from : unicode::skip_utf8_chars(from, stop, static_cast<uint32_t>(limit));
  const std::string_view written(escaped.data(), static_cast<size_t>(stop - from));
  string::append_utf8(out, written);
  return limit - static_cast<int32_t>(unicode::count_utf8_chars(from, stop));
}

// --- paths

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (value) {
    Cell path = step.path ? *step.path : none_value;
    fire(ErrorCode::script_bad_path_set, &path, element);
  }
  Cell el = *element;
  if (el.is(TypeId::get_word)) el = *word::get(&el);
  Cell formed;
  string::rs_make_at(&formed, 16);
  actions::call_form(&el, &formed, nullptr, string::kNoLimit);
  Cell base = *parent;
  const int32_t base_len = string::rs_length_q(&base);
  Cell* result = stack::push_slot();
  string::make_at_unit(result, static_cast<uint32_t>(base_len + string::rest_length(&formed) + 16),
                       string::buffer(&base)->unit());
  string::concatenate(result, &base, -1, 0, string::Keep::yes, string::Mode::append);
  const bool base_slash = base_len > 0 && string::rs_abs_at(&base, base.head() + base_len - 1) == '/';
  const bool elem_slash = string::rest_length(&formed) > 0 && string::rs_abs_at(&formed, 0) == '/';
  if (base_slash && elem_slash)
    formed.set_head(1);
  else if (!base_slash && !elem_slash && base_len > 0)  // an empty name joins no folder
    string::append_char(string::buffer(result), '/');
  string::concatenate(result, &formed, -1, 0, string::Keep::yes, string::Mode::append);
  result->set_type(parent->type());
  return result;
}

// --- input and output: HTTP through the HTTP client; other schemes, and
// open, through a port made from the URL (datatypes/port.h).

namespace {

// A URL whose text begins with "http" (which covers "https"), in any case:
// schemes are not case-sensitive (HTTP://host is an HTTP URL).
bool http_q(const Cell* url) {
  if (string::rest_length(url) < 4) return false;
  for (int32_t i = 0; i < 4; i++) {
    const uint32_t c = string::rs_abs_at(url, url->head() + i);
    if ((c | 0x20) != static_cast<uint32_t>("http"[i])) return false;
  }
  return true;
}

[[noreturn]] void no_connect(const Cell* url) {
  Cell u = *url;
  fire(ErrorCode::access_no_connect, &u);
}

}  // namespace

Cell* open(Cell* spec, const OpenArgs& args) {
  return actions::call_open(port::from_url(spec), args);
}

Cell* read(Cell* source, const ReadArgs& args) {
  if (!http_q(source)) return actions::call_read(port::from_url(source), args);
  if (args.part || args.seek || args.as) not_done();
  Cell* out = stack::push_slot();
  set_none(out);
  Cell method = word::load("get");
  http::request(&method, source, nullptr, nullptr, args.binary, args.lines, args.info, out);
  if (out->is(TypeId::none)) no_connect(source);
  return out;
}

Cell* write(Cell* destination, Cell* data, const WriteArgs& args) {
  if (!http_q(destination))
    return actions::call_write(port::from_url(destination), data, args);
  if (args.seek || args.allow || args.as) not_done();
  // A block describes the request: [method headers body], each part
  // optional; anything else is the body of a POST.
  Cell method = word::load("post");
  Cell headers, body;
  bool has_headers = false;
  set_none(&body);
  if (data->is(TypeId::block)) {
    Cell blk = *data;
    const int32_t n = std::max(block::rs_length_q(&blk), 0);
    method = word::load("get");
    if (n > 0) {
      method = *block::rs_abs_at(&blk, blk.head());
      if (!method.is(TypeId::word)) fire(ErrorCode::script_invalid_arg, &method);
    }
    if (n > 1) {
      headers = *block::rs_abs_at(&blk, blk.head() + 1);
      if (!headers.is(TypeId::block)) fire(ErrorCode::script_invalid_arg, &headers);
      has_headers = true;
    }
    if (n > 2) body = *block::rs_abs_at(&blk, blk.head() + 2);
  } else {
    body = *data;
  }
  const TypeId t = body.type();
  if (t != TypeId::none && t != TypeId::block && t != TypeId::string && t != TypeId::binary)
    fire(ErrorCode::script_invalid_arg, &body);
  Cell* out = stack::push_slot();
  set_none(out);
  http::request(&method, destination, has_headers ? &headers : nullptr, &body, args.binary,
                args.lines, args.info, out);
  if (out->is(TypeId::none)) no_connect(destination);
  return out;
}

void register_() {
  static const ActionRow row{
      .make = make,
      .random = unsupported,
      .reflect = unsupported,
      .to = to,
      .mold = mold,
      .eval_path = eval_path,
      .sort = unsupported,
      .trim = unsupported,
      .open = open,
      .read = read,
      .write = write,
  };
  datatype::register_type(TypeId::url, TypeId::string, "url!", row);
}

}  // namespace qel::url
