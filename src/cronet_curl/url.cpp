// URL handling on the one URL parser: only http and https reach the network.
#include "url.h"

#include <algorithm>

#include "ascii.h"
#include "net_errors.h"
#include "url_parser.h"

namespace cronet_curl {

std::string scheme_of(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && (url[i] == ' ' || url[i] == '\t')) ++i;
  size_t start = i;
  if (i >= url.size() || !((url[i] >= 'a' && url[i] <= 'z') || (url[i] >= 'A' && url[i] <= 'Z')))
    return std::string();
  while (i < url.size()) {
    char c = url[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '-' || c == '.') {
      ++i;
      continue;
    }
    break;
  }
  if (i >= url.size() || url[i] != ':') return std::string();
  std::string s(url.substr(start, i - start));
  for (char& c : s) c = ascii_lower(c);
  return s;
}

namespace {

// Domain code points browsers allow but libcurl refuses in a host name; such
// a URL fails here, as a URL, rather than later in libcurl.
bool curl_takes_host(const std::string& host) {
  return host.front() == '[' || host.find_first_of("!$'\"{}`*=;,+&()") == std::string::npos;
}

// The last few inputs of a pure function of one string and what it gave.
// A session asks for the same few URLs again and again, and parsing one costs
// more than the rest of a request's start; each thread keeps its own (the
// engine works on its network thread), so no lock.
template <class Result>
class RecentResults {
 public:
  static constexpr size_t kEntries = 8;
  static constexpr size_t kMaxInput = 2048;  // longer ones are not kept

  const Result* find(const std::string& in) const {
    for (size_t i = 0; i < used_; ++i)
      if (entries_[i].in == in) return &entries_[i].result;
    return nullptr;
  }
  void keep(const std::string& in, const Result& result) {
    if (in.size() > kMaxInput) return;
    Entry& e = entries_[next_];
    e.in = in;
    e.result = result;
    next_ = (next_ + 1) % kEntries;
    if (used_ < kEntries) ++used_;
  }

 private:
  struct Entry {
    std::string in;
    Result result;
  };
  Entry entries_[kEntries];
  size_t next_ = 0;
  size_t used_ = 0;
};

struct Normalized {
  int32_t rc = 0;
  std::string url;
};

int32_t normalize_uncached(const std::string& raw, std::string* out) {
  ParsedUrl u;
  switch (parse_url(raw, nullptr, &u)) {
    case UrlParse::kOk: break;
    case UrlParse::kOtherScheme: return kErrUnknownUrlScheme;
    case UrlParse::kFailure: return kErrInvalidUrl;
  }
  if (!curl_takes_host(u.host)) return kErrInvalidUrl;
  *out = u.serialize();
  return 0;
}

}  // namespace

int32_t normalize_url(const std::string& raw, std::string* out) {
  thread_local RecentResults<Normalized> recent;
  if (const Normalized* hit = recent.find(raw)) {
    if (hit->rc == 0) *out = hit->url;
    return hit->rc;
  }
  Normalized r;
  r.rc = normalize_uncached(raw, &r.url);
  recent.keep(raw, r);
  if (r.rc == 0) *out = std::move(r.url);
  return r.rc;
}

int32_t resolve_redirect(const std::string& base_url, const std::string& location,
                         std::string* out) {
  ParsedUrl base, u;
  if (parse_url(base_url, nullptr, &base) != UrlParse::kOk) return kErrInvalidRedirect;
  switch (parse_url(location, &base, &u)) {
    case UrlParse::kOk: break;
    case UrlParse::kOtherScheme: return kErrUnsafeRedirect;
    case UrlParse::kFailure: return kErrInvalidRedirect;
  }
  if (!curl_takes_host(u.host)) return kErrInvalidRedirect;
  if (!u.fragment) u.fragment = base.fragment;
  *out = u.serialize();
  return 0;
}

void take_credentials(const std::string& canonical, std::string* url, std::string* credentials) {
  struct Split {
    std::string url, credentials;
  };
  thread_local RecentResults<Split> recent;
  if (const Split* hit = recent.find(canonical)) {
    *url = hit->url;
    *credentials = hit->credentials;
    return;
  }
  Split r;
  ParsedUrl u;
  if (parse_url(canonical, nullptr, &u) != UrlParse::kOk) {
    r.url = canonical;
  } else {
    if (u.has_credentials())
      r.credentials = percent_decode(u.username) + ":" + percent_decode(u.password);
    r.url = u.serialize(/*with_userinfo=*/false);
  }
  recent.keep(canonical, r);
  *url = std::move(r.url);
  *credentials = std::move(r.credentials);
}

std::string origin_of(const std::string& url) {
  ParsedUrl u;
  if (parse_url(url, nullptr, &u) != UrlParse::kOk) return std::string();
  return u.scheme + "://" + u.host + ":" + std::to_string(u.effective_port());
}

void drop_credential_headers(const std::string& from, const std::string& to, HeaderList* headers) {
  ParsedUrl a, b;
  bool parsed =
      parse_url(from, nullptr, &a) == UrlParse::kOk && parse_url(to, nullptr, &b) == UrlParse::kOk;
  bool other_host = !parsed || a.host != b.host;
  bool other_origin =
      other_host || a.scheme != b.scheme || a.effective_port() != b.effective_port();
  headers->erase(std::remove_if(headers->begin(), headers->end(),
                                [&](const std::pair<std::string, std::string>& h) {
                                  if (equals_no_case(h.first, "Authorization")) return other_origin;
                                  return other_host &&
                                         (equals_no_case(h.first, "Proxy-Authorization") ||
                                          equals_no_case(h.first, "Cookie"));
                                }),
                 headers->end());
}

bool offers_basic_auth(const HeaderList& response_headers) {
  for (const auto& h : response_headers) {
    if (!equals_no_case(h.first, "WWW-Authenticate")) continue;
    // A challenge starts with its scheme token; parameters hold an '='.
    std::string_view rest = h.second;
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
      std::string_view token = item.substr(0, item.find_first_of(" \t"));
      if (token.find('=') == std::string_view::npos && equals_no_case(token, "Basic")) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

std::string basic_authorization(const std::string& credentials) {
  static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out = "Basic ";
  const auto* d = reinterpret_cast<const unsigned char*>(credentials.data());
  size_t n = credentials.size();
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = d[i] << 16 | (i + 1 < n ? d[i + 1] << 8 : 0) | (i + 2 < n ? d[i + 2] : 0);
    out += kB64[v >> 18 & 63];
    out += kB64[v >> 12 & 63];
    out += i + 1 < n ? kB64[v >> 6 & 63] : '=';
    out += i + 2 < n ? kB64[v & 63] : '=';
  }
  return out;
}

}  // namespace cronet_curl
