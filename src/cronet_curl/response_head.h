// The response head as libcurl hands it over, one header line at a time:
// status line, headers, interim (1xx) blocks, and the framing facts the
// transfer acts on. Pure (no libcurl), so it is table-tested and fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "url.h"  // HeaderList

namespace cronet_curl {

class ResponseHead {
 public:
  // Response headers above this many bytes are refused (the browser's limit).
  static constexpr size_t kMaxHeaderBytes = 256 << 10;

  enum class Line {
    kStatus,    // a status line opened a block
    kHeader,    // a header line (or one that is ignored)
    kInterim,   // the end of a 1xx block: another block follows
    kComplete,  // the end of the final block: headers() is the response's
    kTrailer,   // after the final block (trailers): ignored
    kTooBig,    // the block passed kMaxHeaderBytes
  };

  // Takes one line with or without its CRLF.
  Line feed(std::string_view raw);
  // Back to the state before the first line of a response.
  void reset();

  // The status code of the current block's status line, 0 when it had none.
  int status() const { return status_; }
  bool complete() const { return complete_; }
  const HeaderList& headers() const { return headers_; }
  // Content-Length as libcurl sees it ("Content-Length:") and with a space
  // before the colon ("Content-Length :"), which libcurl does not recognise;
  // the same for Transfer-Encoding.
  bool bare_length() const { return bare_length_; }
  bool spaced_length() const { return spaced_length_; }
  bool spaced_te() const { return spaced_te_; }

 private:
  void add_header(std::string_view line);

  HeaderList headers_;
  int status_ = 0;
  size_t header_bytes_ = 0;
  bool at_status_line_ = true;  // the next line opens a block
  bool complete_ = false;
  bool bare_length_ = false;
  bool spaced_length_ = false;
  bool spaced_te_ = false;
};

// What a complete head says about framing and redirects.
struct HeadFacts {
  int32_t error = 0;  // a net error the head alone fails the request with
  bool chunked = false;
  const std::string* location = nullptr;  // the first non-empty Location, in head.headers()
};
HeadFacts read_head_facts(const ResponseHead& head);

// The body length the library frames by itself: a spaced Content-Length that
// libcurl does not see, on a response that has a body. -1 when there is none
// to honour; *bad set when there is one but it is not a plain number.
int64_t own_framed_length(const ResponseHead& head, const HeadFacts& facts, std::string_view method,
                          int status, bool* bad);

// The Content-Encoding values joined into one list ("" when none).
std::string content_codings(const HeaderList& headers);

}  // namespace cronet_curl
