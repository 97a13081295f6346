// The HTTP client (see http.h): the request over libcurl, the header text,
// and the conversions between Qel values and the request and response.
#include "services/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_map>

#include "datatypes/binary.h"
#include "datatypes/map.h"
#include "datatypes/url.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "services/files.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::http {

namespace {

int32_t connect_limit_ms = 60000;
int32_t idle_limit_seconds = 30;

// The headers a request given no header block sends.
constexpr std::pair<const char*, const char*> kDefaultHeaders[] = {
    {"Content-Type", "application/x-www-form-urlencoded"},
    {"Accept-Charset", "UTF-8"},
    {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"},
};

bool curl_ready() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

// The characters of an HTTP token (method names and header names).
bool token_char(unsigned char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return token_char(c); });
}

// Bytes a header value may not hold: the line end and NUL would end the
// header (or start a new one) on the wire.
bool safe_value(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

// What the transfer collects.
struct Collect {
  Response* response;
  bool too_long = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<Collect*>(user);
  const size_t n = size * count;
  std::vector<uint8_t>& body = c->response->body;
  if (body.size() + n > memory::kMaxSeriesBytes) {
    c->too_long = true;
    return 0;  // ends the transfer
  }
  body.insert(body.end(), data, data + n);
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* c = static_cast<Collect*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  // A status line starts the headers of a response: those of a redirect,
  // or of an interim response, are dropped when the next one comes.
  if (line.substr(0, 5) == "HTTP/") {
    c->response->headers.clear();
    return n;
  }
  if (line == "\r\n" || line == "\n") return n;
  if (c->response->headers.size() + n > memory::kMaxSeriesBytes) {
    c->too_long = true;
    return 0;
  }
  c->response->headers.append(line);
  return n;
}

class Easy {
 public:
  Easy() : handle_(curl_ready() ? curl_easy_init() : nullptr) {}
  ~Easy() {
    if (list_) curl_slist_free_all(list_);
    if (handle_) curl_easy_cleanup(handle_);
  }
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;
  CURL* get() const { return handle_; }
  // Adds a header line; false when the system refuses.
  bool add(const std::string& line) {
    curl_slist* next = curl_slist_append(list_, line.c_str());
    if (!next) return false;
    list_ = next;
    return true;
  }
  curl_slist* list() const { return list_; }

 private:
  CURL* handle_;
  curl_slist* list_ = nullptr;
};

bool has_header(const Request& r, std::string_view name) {
  for (const auto& [n, v] : r.headers) {
    if (n.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < n.size() && same; i++)
      same = std::tolower(static_cast<unsigned char>(n[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    if (same) return true;
  }
  return false;
}

}  // namespace

void set_limits(int32_t connect_ms, int32_t idle_seconds) {
  connect_limit_ms = connect_ms;
  idle_limit_seconds = idle_seconds;
}

std::string verb_of(std::string_view name) {
  std::string verb;
  for (char c : name) verb.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return is_token(verb) ? verb : std::string();
}

std::string wire_url(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '%' || c == '[' || c == ']' || url::lenient_keeps(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parse_headers(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t colon = line.find(':');
    // A name must be a token: anything else (blanks, brackets, bytes that
    // are not ASCII) would become a word that is not one, and is no header.
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    out.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return out;
}

Outcome perform(const Request& request, Response& response) {
  response = Response{};
  Easy easy;
  CURL* h = easy.get();
  if (!h) return Outcome::failed;
  Collect collect{&response};

  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_limit_ms));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(idle_limit_seconds));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &collect);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &collect);

  // The method, and the body for those that carry one.
  const bool bodiless = request.method == "GET" || request.method == "HEAD";
  if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.has_body || request.method == "POST") {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS,
                       request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    }
  }

  // The headers, in order. Those the library would add of itself, and
  // which the request did not ask for, are left out.
  bool ok = true;
  if (request.defaults) {
    for (const auto& [n, v] : kDefaultHeaders) ok = ok && easy.add(std::string(n) + ": " + v);
  } else {
    for (const auto& [n, v] : request.headers)
      ok = ok && easy.add(v.empty() ? n + ";" : n + ": " + v);
    if (!bodiless && !has_header(request, "Content-Type")) ok = ok && easy.add("Content-Type:");
  }
  ok = ok && easy.add("Expect:");
  if (!ok) return Outcome::failed;
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.list());

  const CURLcode code = curl_easy_perform(h);
  if (collect.too_long) return Outcome::too_long;
  if (code != CURLE_OK) return Outcome::failed;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  response.status = static_cast<int32_t>(status);
  return Outcome::ok;
}

// --- the value-level side

namespace {

// The text of a header name or value: a word's spelling, a string as it is,
// anything else formed.
std::string header_text(const Cell* v, bool name) {
  if (name && is_any_word(v->type()) && !v->is(TypeId::refinement) && !v->is(TypeId::issue))
    return std::string(word::spelling(v));
  if (v->is(TypeId::string)) return unicode::to_utf8_string(v);
  Cell buffer;
  string::rs_make_at(&buffer, 32);
  Cell value = *v;
  actions::call_form(&value, &buffer, nullptr, string::kNoLimit);
  return unicode::to_utf8_string(&buffer);
}

void body_bytes(const Cell* data, std::vector<uint8_t>& out) {
  if (data->is(TypeId::binary)) {
    const uint8_t* p = binary::rs_head(data);
    out.assign(p, p + binary::rs_length(data));
    return;
  }
  std::string text = data->is(TypeId::string) ? unicode::to_utf8_string(data) : header_text(data, false);
  out.assign(text.begin(), text.end());
}

// The body as the caller asked for it, in `out`.
Cell* body_value(const std::vector<uint8_t>& body, bool binary, bool lines, Cell* out) {
  if (binary) return binary::make_from(out, body.data(), body.size());
  if (lines) return files::lines_to_block(body.data(), body.size(), out);
  return files::bytes_to_string(body.data(), body.size(), out);
}

// A header value as a string!: UTF-8 when its bytes are, else ISO-8859-1,
// the older charset of HTTP headers (each byte one character).
void header_value(Cell* out, std::string_view bytes) {
  if (unicode::utf8_valid_prefix(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ==
      bytes.size()) {
    string::make_utf8(out, bytes);
    return;
  }
  string::rs_make_at(out, static_cast<uint32_t>(bytes.size()));
  string::append_bytes(out, bytes.data(), bytes.size());
}

// The response headers as a map!: keys are words of the names as received;
// a name seen more than once (in any letter case) maps to a block of its
// values in order.
Cell* headers_map(std::string_view text, Cell* out) {
  auto fields = parse_headers(text);
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;
  // The group of each name in lower case: a response of thousands of
  // headers is grouped in one pass.
  std::unordered_map<std::string, size_t> group_of;
  for (auto& [name, value] : fields) {
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto [at, added] = group_of.emplace(std::move(key), groups.size());
    if (added)
      groups.push_back({name, {value}});
    else
      groups[at->second].second.push_back(value);
  }
  Cell pairs;
  block::make_at(&pairs, static_cast<int32_t>(std::max<size_t>(groups.size() * 2, 20)));
  for (const auto& [name, values] : groups) {
    Cell key = word::load(name);
    block::rs_append(&pairs, &key);
    Cell value;
    if (values.size() == 1) {
      header_value(&value, values[0]);
    } else {
      block::make_at(&value, static_cast<int32_t>(std::max<size_t>(values.size(), 4)));
      for (const std::string& v : values) {
        Cell s;
        header_value(&s, v);
        block::rs_append(&value, &s);
      }
    }
    block::rs_append(&pairs, &value);
  }
  return map::make_at(out, &pairs, 20);
}

}  // namespace

Cell* request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data,
              bool binary, bool lines, bool info, Cell* out) {
  Request req;
  req.method = verb_of(word::spelling(method));
  if (req.method.empty()) fire(ErrorCode::script_invalid_arg, method);
  req.url = wire_url(unicode::to_utf8_string(url));
  if (headers) {
    req.defaults = false;
    Cell blk = *headers;
    const int32_t n = std::max(block::rs_length_q(&blk), 0);
    for (int32_t i = 0; i + 1 < n; i += 2) {
      const Cell name = *block::rs_abs_at(&blk, blk.head() + i);
      const Cell value = *block::rs_abs_at(&blk, blk.head() + i + 1);
      std::string name_text = header_text(&name, true);
      std::string value_text = header_text(&value, false);
      // A name that is no token, or a value holding a line end, would
      // change the request's own lines.
      if (!is_token(name_text)) fire(ErrorCode::script_invalid_arg, &name);
      if (!safe_value(value_text)) fire(ErrorCode::script_invalid_arg, &value);
      req.headers.emplace_back(std::move(name_text), std::move(value_text));
    }
  }
  if (data && !data->is(TypeId::none) && req.method != "GET" && req.method != "HEAD") {
    req.has_body = true;
    body_bytes(data, req.body);
  }

  Response response;
  const Outcome outcome = perform(req, response);
  if (outcome == Outcome::too_long) fire(ErrorCode::script_too_long);
  if (outcome != Outcome::ok) {
    set_none(out);
    return out;
  }
  if (!info) return body_value(response.body, binary, lines, out);
  Cell result;
  block::make_at(&result, 3);
  Cell status;
  set_integer(&status, response.status);
  block::rs_append(&result, &status);
  Cell headers_value;
  headers_map(response.headers, &headers_value);
  block::rs_append(&result, &headers_value);
  Cell body;
  body_value(response.body, binary, lines, &body);
  block::rs_append(&result, &body);
  *out = result;
  return out;
}

}  // namespace qel::http
