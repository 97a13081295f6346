// The HTTP client: one synchronous HTTP or HTTPS request over libcurl, and
// its response turned into Qel values. url! `read` asks for a GET through
// it, url! `write` for a POST or the method, headers and body a block gives.
//
// Two layers. `perform` sends a request described in plain C++ and collects
// the final response (after redirects) as bytes: the status, the header
// lines and the body. `request` is the value-level side: it makes the
// description from Qel values and gives the body as a string! (UTF-8, CR LF
// and lone CR made LF), a binary! or a block! of lines, or with /info a
// block of the status, the headers as a map! and the body.
//
// Limits: a connection must be made within 60 seconds, and a transfer that
// moves no byte for 30 seconds is abandoned; both count as a failed request
// (none), as does any failure to reach the server. Only http and https are
// spoken, redirects included (at most 10). A body larger than a series can
// hold raises script `too-long`.
//
// Headers the request did not ask for (curl's Content-Type, Expect) are
// suppressed, so an empty header block sends only Host and Accept. A header
// name or a method that is no HTTP token, or a value holding CR, LF or NUL,
// is script `invalid-arg`. The URL is sent with the bytes a URL may not hold
// escaped ("%" kept). A response header line whose name is no token is left
// out; /info groups the headers by name; a header value that is not UTF-8
// is read as ISO-8859-1. A block given as a body is sent formed. url!
// `read` and `write` raise access `no-connect` for a failed request; other
// schemes, and `open`, go through ports (datatypes/port.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cell.h"

namespace qel::http {

struct Request {
  std::string method = "GET";  // the verb, upper case
  std::string url;             // UTF-8, escaped for the wire (see wire_url)
  // Headers in order. When `defaults` is set the three default headers are
  // sent instead (a request given no header block).
  std::vector<std::pair<std::string, std::string>> headers;
  bool defaults = true;
  bool has_body = false;
  std::vector<uint8_t> body;
};

struct Response {
  int32_t status = 0;
  // Header lines of the final response as received, without the status
  // line, each "Name: value" ending in CR LF.
  std::string headers;
  std::vector<uint8_t> body;
};

enum class Outcome : uint8_t { ok, failed, too_long };

// Sends the request and waits for the response within the limits above.
Outcome perform(const Request& request, Response& response);

// The limits, in milliseconds and seconds (tests shorten them).
void set_limits(int32_t connect_ms, int32_t idle_seconds);

// The verb of a method name: get, head and post by their names, any other
// word its name in upper case. Empty when the name cannot be a verb (only
// the characters of an HTTP token are allowed).
std::string verb_of(std::string_view name);

// A URL's text as sent: UTF-8 with every byte that may not appear in a URL
// written as "%" and two hex digits; "%" itself and the brackets of an
// address are kept.
std::string wire_url(std::string_view text);

// Parses header lines ("Name: value" CR LF ...) into (name, value) pairs in
// order; lines without ":", or whose name is no HTTP token, are skipped; the
// blanks after ":" and the line end are not part of the value.
std::vector<std::pair<std::string, std::string>> parse_headers(std::string_view text);

// Performs the request described by Qel values: `method` a word, `url` the
// url!, `headers` a block of name and value pairs or null, `data` the body
// or null. The result goes to `out`: the body (binary!, block of lines, or
// string!), or with `info` a block of the status integer!, the headers map!
// and the body; none when the request failed. Bad header names or values,
// and a method word that is no HTTP verb, raise script `invalid-arg` with
// the value.
Cell* request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data,
              bool binary, bool lines, bool info, Cell* out);

}  // namespace qel::http
