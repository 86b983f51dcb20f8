// The response head, line by line (response_head.h).
#include "response_head.h"

#include "ascii.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

std::string_view trim_ws(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// The three digits after the first space of a status line (fewer when they end).
int status_code(std::string_view line) {
  size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return 0;
  int code = 0, digits = 0;
  for (size_t i = sp + 1; i < line.size() && digits < 3; ++i, ++digits) {
    if (line[i] < '0' || line[i] > '9') break;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// Whether the values of a header differ between its copies; with split_commas
// each copy may itself be a comma-separated list.
bool differs_across_copies(const HeaderList& headers, std::string_view name, bool split_commas) {
  bool seen = false;
  std::string_view first;
  for (const auto& h : headers) {
    if (!equals_no_case(h.first, name)) continue;
    std::string_view rest = h.second;
    while (true) {
      size_t comma = split_commas ? rest.find(',') : std::string_view::npos;
      std::string_view item = trim_ws(rest.substr(0, comma));
      if (!seen) {
        first = item;
        seen = true;
      } else if (item != first) {
        return true;
      }
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

// The value of a "Content-Length :" header (copies agree, see
// differs_across_copies); -1 when it is not a plain decimal number.
int64_t first_content_length(const HeaderList& headers) {
  for (const auto& h : headers) {
    if (!equals_no_case(h.first, "Content-Length")) continue;
    std::string_view v = trim_ws(h.second);
    v = v.substr(0, v.find(','));
    v = trim_ws(v);
    if (v.empty() || v.size() > 18) return -1;
    int64_t n = 0;
    for (char c : v) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    return n;
  }
  return -1;
}

}  // namespace

void ResponseHead::reset() {
  headers_.clear();
  status_ = 0;
  header_bytes_ = 0;
  at_status_line_ = true;
  complete_ = false;
  bare_length_ = spaced_length_ = spaced_te_ = false;
}

ResponseHead::Line ResponseHead::feed(std::string_view raw) {
  std::string_view line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Only the first line of a block is a status line, as libcurl reads it; one
  // further down is an ordinary (odd) header line.
  bool first_line = at_status_line_;
  at_status_line_ = false;
  if (first_line && line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim 1xx ones are dropped).
    header_bytes_ = 0;
    headers_.clear();
    complete_ = false;
    bare_length_ = spaced_length_ = spaced_te_ = false;
    status_ = status_code(line);
    return Line::kStatus;
  }
  if (complete_) return Line::kTrailer;
  header_bytes_ += raw.size();
  if (header_bytes_ > kMaxHeaderBytes) return Line::kTooBig;
  if (!line.empty()) {
    add_header(line);
    return Line::kHeader;
  }
  if (status_ >= 100 && status_ < 200) {
    headers_.clear();
    at_status_line_ = true;
    return Line::kInterim;
  }
  complete_ = true;
  return Line::kComplete;
}

void ResponseHead::add_header(std::string_view line) {
  if (line.front() == ' ' || line.front() == '\t') {
    // obs-fold continuation
    if (headers_.empty()) return;
    std::string_view cont = trim_ws(line);
    if (cont.empty()) return;
    std::string& v = headers_.back().second;
    if (!v.empty()) v += ' ';
    v.append(cont.data(), cont.size());
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view raw_name = line.substr(0, colon);
  std::string_view name = trim_ws(raw_name);
  if (name.empty()) return;
  bool spaced = raw_name.back() == ' ' || raw_name.back() == '\t';
  if (equals_no_case(name, "Content-Length")) (spaced ? spaced_length_ : bare_length_) = true;
  if (spaced && equals_no_case(name, "Transfer-Encoding")) spaced_te_ = true;
  headers_.emplace_back(std::string(name), std::string(trim_ws(line.substr(colon + 1))));
}

HeadFacts read_head_facts(const ResponseHead& head) {
  HeadFacts f;
  // libcurl would not decode a chunked body it cannot see announced.
  if (head.spaced_te()) {
    f.error = kErrInvalidHttpResponse;
    return f;
  }
  for (const auto& h : head.headers()) {
    // Empty Location values do not make a redirect.
    if (!f.location && equals_no_case(h.first, "Location") && !h.second.empty())
      f.location = &h.second;
    if (equals_no_case(h.first, "Transfer-Encoding")) {
      std::string v = h.second;
      for (char& c : v) c = ascii_lower(c);
      if (v.find("chunked") != std::string::npos) f.chunked = true;
    }
  }
  // Differing copies of these are how responses get smuggled: refuse them.
  if (!f.chunked && differs_across_copies(head.headers(), "Content-Length", true))
    f.error = kErrResponseHeadersMultipleContentLength;
  else if (differs_across_copies(head.headers(), "Content-Disposition", false))
    f.error = kErrResponseHeadersMultipleContentDisposition;
  else if (differs_across_copies(head.headers(), "Location", false))
    f.error = kErrResponseHeadersMultipleLocation;
  return f;
}

int64_t own_framed_length(const ResponseHead& head, const HeadFacts& facts, std::string_view method,
                          int status, bool* bad) {
  *bad = false;
  // libcurl frames by exact header names only and would wait for a close
  // that a kept-alive connection never brings.
  if (!head.spaced_length() || head.bare_length() || facts.chunked || method == "HEAD" ||
      status < 200 || status == 204 || status == 304)
    return -1;
  int64_t n = first_content_length(head.headers());
  *bad = n < 0;
  return n;
}

std::string content_codings(const HeaderList& headers) {
  std::string codings;
  for (const auto& h : headers) {
    if (!equals_no_case(h.first, "Content-Encoding")) continue;
    if (!codings.empty()) codings += ',';
    codings += h.second;
  }
  return codings;
}

}  // namespace cronet_curl
