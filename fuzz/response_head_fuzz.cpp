// The response head parser on arbitrary header lines: never crashes, and what
// it reports holds together (trimmed, colon-free names; a complete head stays
// complete; framing facts agree with the head).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "response_head.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

bool is_ws(char c) { return c == ' ' || c == '\t'; }

void check_headers(const cronet_curl::ResponseHead& head) {
  for (const auto& h : head.headers()) {
    const std::string& n = h.first;
    if (n.empty() || is_ws(n.front()) || is_ws(n.back())) fail("untrimmed name");
    if (n.find(':') != std::string::npos) fail("colon in name");
    const std::string& v = h.second;
    if (!v.empty() && (is_ws(v.front()) || is_ws(v.back()))) fail("untrimmed value");
  }
}

void check_facts(const cronet_curl::ResponseHead& head, std::string_view method) {
  cronet_curl::HeadFacts f = cronet_curl::read_head_facts(head);
  if (f.location) {
    bool inside = false;
    for (const auto& h : head.headers()) inside = inside || &h.second == f.location;
    if (!inside || f.location->empty()) fail("location not a header value");
  }
  if (f.error) return;
  bool bad = false;
  int64_t n = cronet_curl::own_framed_length(head, f, method, head.status(), &bad);
  if ((n >= 0 || bad) && (!head.spaced_length() || head.bare_length() || f.chunked))
    fail("own length where libcurl frames");
  if (bad && n >= 0) fail("bad length with a value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: the request method; the rest: lines as libcurl hands them over.
  const std::string_view method = (data[0] & 1) ? "HEAD" : "GET";
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  cronet_curl::ResponseHead head;
  bool complete = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    end = end == std::string_view::npos ? text.size() : end + 1;
    using L = cronet_curl::ResponseHead::Line;
    L kind = head.feed(text.substr(0, end));
    text.remove_prefix(end);
    if (complete && kind != L::kTrailer) fail("a line after the final block");
    if (kind == L::kTooBig) return 0;
    if (head.status() < 0 || head.status() > 999) fail("status out of range");
    if ((kind == L::kComplete) != (head.complete() && !complete)) fail("complete disagrees");
    if (kind == L::kInterim && !head.headers().empty()) fail("interim headers kept");
    complete = head.complete();
  }
  check_headers(head);
  if (complete) check_facts(head, method);
  return 0;
}
