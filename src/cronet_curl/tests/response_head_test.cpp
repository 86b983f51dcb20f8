// The response head parser: blocks, header lines, framing facts.
#include <gtest/gtest.h>

#include <string>

#include "net_errors.h"
#include "response_head.h"

using namespace cronet_curl;

namespace {

// Feeds `text` line by line as libcurl would (each line with its CRLF) and
// returns the last line's kind.
ResponseHead::Line feed_all(ResponseHead* head, std::string_view text) {
  ResponseHead::Line last = ResponseHead::Line::kHeader;
  while (!text.empty()) {
    size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    last = head->feed(text.substr(0, end));
    text.remove_prefix(end);
  }
  return last;
}

std::string joined(const HeaderList& headers) {
  std::string s;
  for (const auto& h : headers) s += h.first + "=" + h.second + ";";
  return s;
}

struct HeadCase {
  const char* name;
  const char* text;
  ResponseHead::Line last;
  int status;
  const char* headers;  // name=value; ...
};

class Heads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(Heads, Parse) {
  const HeadCase& c = GetParam();
  ResponseHead head;
  EXPECT_EQ(feed_all(&head, c.text), c.last);
  EXPECT_EQ(head.status(), c.status);
  EXPECT_EQ(joined(head.headers()), c.headers);
}

using L = ResponseHead::Line;
INSTANTIATE_TEST_SUITE_P(
    Cases, Heads,
    ::testing::Values(
        HeadCase{"plain", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", L::kComplete, 200, "A=1;"},
        HeadCase{"bare_lf", "HTTP/1.1 404 Not Found\nA: 1\n\n", L::kComplete, 404, "A=1;"},
        HeadCase{"h2_no_reason", "HTTP/2 204\r\n\r\n", L::kComplete, 204, ""},
        HeadCase{"no_code", "HTTP/1.1\r\n\r\n", L::kComplete, 0, ""},
        HeadCase{"short_code", "HTTP/1.1 2x\r\n\r\n", L::kComplete, 2, ""},
        HeadCase{"long_code", "HTTP/1.1 2000\r\n\r\n", L::kComplete, 200, ""},
        // Interim blocks are dropped, with their headers; the final one counts.
        HeadCase{"interim_then_final",
                 "HTTP/1.1 100 Continue\r\nX: 1\r\n\r\nHTTP/1.1 201 C\r\n\r\n", L::kComplete, 201,
                 ""},
        HeadCase{"interim_only", "HTTP/1.1 103 Early\r\nLink: a\r\n\r\n", L::kInterim, 103, ""},
        // Only the first line of a block is a status line.
        HeadCase{"later_http_line", "HTTP/1.1 200 OK\r\nHTTP/1.1 500 X\r\n\r\n", L::kComplete, 200,
                 ""},
        HeadCase{"names_and_values_trimmed",
                 "HTTP/1.1 200 OK\r\n Ignored: x\r\nA \t:  v w \r\n\r\n", L::kComplete, 200,
                 "A=v w;"},
        HeadCase{"obs_fold", "HTTP/1.1 200 OK\r\nA: x\r\n  y\r\n\t\r\nB:\r\n z\r\n\r\n",
                 L::kComplete, 200, "A=x y;B=z;"},
        HeadCase{"no_colon_or_name", "HTTP/1.1 200 OK\r\njunk\r\n: v\r\n\r\n", L::kComplete, 200,
                 ""},
        HeadCase{"trailer_ignored", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nT: 2\r\n", L::kTrailer, 200,
                 "A=1;"},
        HeadCase{"in_block", "HTTP/1.1 200 OK\r\nA: 1\r\n", L::kHeader, 200, "A=1;"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponseHead, TooBigCountsEveryLineOfTheBlock) {
  ResponseHead head;
  head.feed("HTTP/1.1 200 OK\r\n");
  std::string line = "X: " + std::string(1019, 'a') + "\r\n";  // 1 KiB
  for (int i = 0; i < 256; ++i) ASSERT_EQ(head.feed(line), L::kHeader) << i;
  EXPECT_EQ(head.feed("Y: 1\r\n"), L::kTooBig);
  // A new block starts counting afresh.
  head.reset();
  EXPECT_EQ(feed_all(&head, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n"), L::kComplete);
}

struct FactsCase {
  const char* name;
  const char* headers;  // lines after "HTTP/1.1 <status>"
  int status;
  const char* method;
  int32_t error;
  bool chunked;
  const char* location;  // nullptr: none
  int64_t own_length;    // -1: libcurl frames the body
  bool bad_length;
};

class Facts : public ::testing::TestWithParam<FactsCase> {};

TEST_P(Facts, Read) {
  const FactsCase& c = GetParam();
  ResponseHead head;
  std::string text = "HTTP/1.1 " + std::to_string(c.status) + " X\r\n" + c.headers + "\r\n";
  ASSERT_EQ(feed_all(&head, text), L::kComplete);
  HeadFacts f = read_head_facts(head);
  EXPECT_EQ(f.error, c.error);
  if (c.error) return;
  EXPECT_EQ(f.chunked, c.chunked);
  EXPECT_EQ(f.location ? *f.location : std::string("(none)"), c.location ? c.location : "(none)");
  bool bad = false;
  EXPECT_EQ(own_framed_length(head, f, c.method, c.status, &bad), c.own_length);
  EXPECT_EQ(bad, c.bad_length);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Facts,
    ::testing::Values(
        FactsCase{"nothing", "", 200, "GET", 0, false, nullptr, -1, false},
        FactsCase{"chunked_any_case", "Transfer-Encoding: gzip, CHUNKED\r\n", 200, "GET", 0, true,
                  nullptr, -1, false},
        FactsCase{"same_lengths", "Content-Length: 5\r\nContent-Length: 5, 5\r\n", 200, "GET", 0,
                  false, nullptr, -1, false},
        FactsCase{"differing_lengths", "Content-Length: 5\r\nContent-Length: 6\r\n", 200, "GET",
                  kErrResponseHeadersMultipleContentLength, false, nullptr, -1, false},
        FactsCase{"differing_list", "Content-Length: 5, 6\r\n", 200, "GET",
                  kErrResponseHeadersMultipleContentLength, false, nullptr, -1, false},
        FactsCase{"differing_lengths_chunked",
                  "Transfer-Encoding: chunked\r\nContent-Length: 5\r\nContent-Length: 6\r\n", 200,
                  "GET", 0, true, nullptr, -1, false},
        FactsCase{"differing_disposition", "Content-Disposition: a\r\nContent-Disposition: b\r\n",
                  200, "GET", kErrResponseHeadersMultipleContentDisposition, false, nullptr, -1,
                  false},
        FactsCase{"differing_location", "Location: /a\r\nLocation: /b\r\n", 302, "GET",
                  kErrResponseHeadersMultipleLocation, false, nullptr, -1, false},
        FactsCase{"empty_location_is_a_copy", "Location:\r\nlocation: /b\r\n", 302, "GET",
                  kErrResponseHeadersMultipleLocation, false, nullptr, -1, false},
        FactsCase{"first_location", "Location: /a\r\nLocation: /a\r\n", 301, "GET", 0, false, "/a",
                  -1, false},
        FactsCase{"spaced_te", "Transfer-Encoding : chunked\r\n", 200, "GET",
                  kErrInvalidHttpResponse, false, nullptr, -1, false},
        // A spaced Content-Length libcurl does not see is the library's to honour...
        FactsCase{"spaced_length", "Content-Length : 12\r\n", 200, "GET", 0, false, nullptr, 12,
                  false},
        FactsCase{"spaced_length_tab", "Content-Length\t: 0\r\n", 200, "POST", 0, false, nullptr, 0,
                  false},
        FactsCase{"spaced_length_bad", "Content-Length : 1x\r\n", 200, "GET", 0, false, nullptr, -1,
                  true},
        FactsCase{"spaced_length_too_long", "Content-Length : 1234567890123456789\r\n", 200, "GET",
                  0, false, nullptr, -1, true},
        // ...unless libcurl frames the body anyway, or there is none.
        FactsCase{"spaced_and_bare", "Content-Length : 3\r\nContent-Length: 3\r\n", 200, "GET", 0,
                  false, nullptr, -1, false},
        FactsCase{"spaced_chunked", "Content-Length : 3\r\nTransfer-Encoding: chunked\r\n", 200,
                  "GET", 0, true, nullptr, -1, false},
        FactsCase{"spaced_head", "Content-Length : 3\r\n", 200, "HEAD", 0, false, nullptr, -1,
                  false},
        FactsCase{"spaced_204", "Content-Length : 3\r\n", 204, "GET", 0, false, nullptr, -1, false},
        FactsCase{"spaced_304", "Content-Length : 3\r\n", 304, "GET", 0, false, nullptr, -1,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponseHead, ContentCodingsJoinsEveryCopy) {
  EXPECT_EQ(content_codings({{"A", "b"}}), "");
  EXPECT_EQ(content_codings({{"Content-Encoding", "gzip"}, {"content-encoding", "br, zstd"}}),
            "gzip,br, zstd");
}

TEST(ResponseHead, StatusLineResetsFramingOfAnInterimBlock) {
  ResponseHead head;
  feed_all(&head, "HTTP/1.1 100 Continue\r\nContent-Length : 4\r\n\r\n");
  EXPECT_TRUE(head.spaced_length());
  feed_all(&head, "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_FALSE(head.spaced_length());
}

}  // namespace
