// The HTTP client and the clipboard below the language: the forms of URLs,
// verbs and header lines, the limit on a silent server, and the file lists
// of the clipboard.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "services/clipboard.h"
#include "services/http.h"

namespace qel {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(IoHttp, UrlsAreEscapedForTheWire) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/a b", "http://h/a%20b"},
      {"http://h/%41?q=1&r=2#top", "http://h/%41?q=1&r=2#top"},  // "%" stays: it may be an escape
      {"http://[::1]:8080/x", "http://[::1]:8080/x"},
      {"http://h/\xC3\xA9", "http://h/%C3%A9"},
      {"http://h/a\"<>{}|\\^`", "http://h/a%22%3C%3E%7B%7D%7C%5C%5E%60"},
      {"http://h/\r\n", "http://h/%0D%0A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(http::wire_url(in), out) << in;
}

TEST(IoHttp, MethodWordsGiveVerbs) {
  EXPECT_EQ(http::verb_of("get"), "GET");
  EXPECT_EQ(http::verb_of("Put"), "PUT");
  EXPECT_EQ(http::verb_of("m-search"), "M-SEARCH");
  EXPECT_EQ(http::verb_of("a b"), "");
  EXPECT_EQ(http::verb_of("x\r\nHost:"), "");
  EXPECT_EQ(http::verb_of(""), "");
}

TEST(IoHttp, HeaderLinesParse) {
  EXPECT_EQ(http::parse_headers("A: 1\r\nB:2\r\nno colon\r\nC: x: y\r\n:bad\r\nD:\r\n"),
            (Pairs{{"A", "1"}, {"B", "2"}, {"C", "x: y"}, {"D", ""}}));
  EXPECT_EQ(http::parse_headers(""), Pairs{});
  EXPECT_EQ(http::parse_headers("E: last"), (Pairs{{"E", "last"}}));
  // Regression: a name that is no token became a word that is not one (its
  // mold did not load; bytes that are not UTF-8 went into the word's
  // spelling as they were).
  EXPECT_EQ(http::parse_headers("Bad Name: 1\r\nX\xFF: 2\r\n[: 3\r\n folded: 4\r\nok-1: 5\r\n"),
            (Pairs{{"ok-1", "5"}}));
}

// A server that accepts the connection and never answers: the request is
// given up once the transfer has been idle for the limit.
TEST(IoHttp, ASilentServerIsGivenUp) {
  int server = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(server, 4), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  http::set_limits(5000, 1);
  http::Request request;
  request.url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
  http::Response response;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http::perform(request, response), http::Outcome::failed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  http::set_limits(60000, 30);
  ::close(server);
}

TEST(IoClipboard, FileListsRoundTrip) {
  const std::vector<std::string> files = {"/tmp/a.txt", "/tmp/b c/d%e.txt", "/x/\xC3\xA9#?"};
  const std::string list = clipboard::to_uri_list(files);
  EXPECT_EQ(list.substr(0, 20), "file:///tmp/a.txt\r\nf");
  EXPECT_NE(list.find("file:///tmp/b%20c/d%25e.txt\r\n"), std::string::npos);
  EXPECT_EQ(clipboard::from_uri_list(list), files);
}

TEST(IoClipboard, FileListsSkipWhatNamesNoLocalFile) {
  EXPECT_EQ(clipboard::from_uri_list("# a comment\r\nfile://localhost/a\r\nfile://other/b\r\n"
                                     "http://h/c\r\nfile:/d\nfile:///e%00f\n"),
            (std::vector<std::string>{"/a", "/d"}));
}

}  // namespace
}  // namespace qel
