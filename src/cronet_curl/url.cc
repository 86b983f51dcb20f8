// URL handling on libcurl's URL API: only http and https, absolute forms.
#include "url.h"

#include <curl/curl.h>

#include "ascii.h"
#include "net_errors.h"

namespace cronet_curl {

std::string SchemeOf(std::string_view url) {
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
  for (char& c : s) c = AsciiLower(c);
  return s;
}

constexpr unsigned kUrlFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE | CURLU_ALLOW_SPACE;

namespace {

// Where the path begins in an absolute URL or a reference: after the
// authority when there is one.
size_t PathStart(std::string_view u) {
  size_t i = 0;
  if (!SchemeOf(u).empty()) i = u.find(':') + 1;
  if (u.substr(i, 2) == "//") {
    size_t end = u.find_first_of("/?#", i + 2);
    return end == std::string_view::npos ? u.size() : end;
  }
  return i;
}

// As browsers prepare a URL text: surrounding spaces and controls go, tabs
// and line breaks inside go, and in the path, query and fragment the
// characters a request line cannot carry are percent-encoded. libcurl would
// otherwise send a space in the query as '+', which the server reads as a
// plus sign.
std::string PrepareUrlText(std::string_view in) {
  while (!in.empty() && static_cast<unsigned char>(in.front()) <= 0x20) in.remove_prefix(1);
  while (!in.empty() && static_cast<unsigned char>(in.back()) <= 0x20) in.remove_suffix(1);
  std::string text;
  text.reserve(in.size());
  for (char c : in)
    if (c != '\t' && c != '\r' && c != '\n') text += c;
  static const char kHex[] = "0123456789ABCDEF";
  size_t path = PathStart(text);
  std::string out = text.substr(0, path);
  for (size_t i = path; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' ||
        c == '}') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

int32_t NormalizeUrl(const std::string& raw, std::string* out) {
  std::string in = PrepareUrlText(raw);
  std::string scheme = SchemeOf(in);
  if (scheme.empty()) return ERR_INVALID_URL;
  if (scheme != "http" && scheme != "https") return ERR_UNKNOWN_URL_SCHEME;
  CURLU* u = curl_url();
  if (!u) return ERR_OUT_OF_MEMORY;
  int32_t rc = 0;
  char* full = nullptr;
  if (curl_url_set(u, CURLUPART_URL, in.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_URL, &full, 0) != CURLUE_OK) {
    rc = ERR_INVALID_URL;
  } else {
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) != CURLUE_OK || !host || !*host)
      rc = ERR_INVALID_URL;
    curl_free(host);
    if (rc == 0) *out = full;
  }
  curl_free(full);
  curl_url_cleanup(u);
  return rc;
}

int32_t ResolveRedirect(const std::string& base_url, const std::string& raw_location,
                        std::string* out) {
  std::string location = PrepareUrlText(raw_location);
  std::string scheme = SchemeOf(location);
  if (!scheme.empty() && scheme != "http" && scheme != "https") return ERR_UNSAFE_REDIRECT;
  // The current URL's fragment takes no part in resolving (libcurl would put
  // a query-only reference after it); a target without a fragment of its own
  // inherits it, as in browsers.
  size_t hash = base_url.find('#');
  std::string base = base_url.substr(0, hash);
  std::string fragment = hash == std::string::npos ? std::string() : base_url.substr(hash);
  if (!location.empty() && location.front() == '#') {
    *out = base + location;
    return 0;
  }
  CURLU* u = curl_url();
  if (!u) return ERR_OUT_OF_MEMORY;
  int32_t rc = 0;
  char* full = nullptr;
  if (curl_url_set(u, CURLUPART_URL, base.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_set(u, CURLUPART_URL, location.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_URL, &full, 0) != CURLUE_OK) {
    rc = ERR_INVALID_REDIRECT;
  } else {
    char* s = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &s, 0) != CURLUE_OK || !s) {
      rc = ERR_INVALID_REDIRECT;
    } else {
      std::string sc(s);
      for (char& c : sc) c = AsciiLower(c);
      if (sc != "http" && sc != "https") rc = ERR_UNSAFE_REDIRECT;
    }
    curl_free(s);
    if (rc == 0) {
      *out = full;
      if (out->find('#') == std::string::npos) *out += fragment;
    }
  }
  curl_free(full);
  curl_url_cleanup(u);
  return rc;
}

std::string OriginOf(const std::string& url) {
  CURLU* u = curl_url();
  if (!u) return std::string();
  std::string origin;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), kUrlFlags) == CURLUE_OK) {
    char *s = nullptr, *h = nullptr, *p = nullptr;
    curl_url_get(u, CURLUPART_SCHEME, &s, 0);
    curl_url_get(u, CURLUPART_HOST, &h, 0);
    curl_url_get(u, CURLUPART_PORT, &p, CURLU_DEFAULT_PORT);
    origin = std::string(s ? s : "") + "://" + (h ? h : "") + ":" + (p ? p : "");
    curl_free(s);
    curl_free(h);
    curl_free(p);
  }
  curl_url_cleanup(u);
  return origin;
}

}  // namespace cronet_curl
