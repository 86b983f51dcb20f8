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

int32_t NormalizeUrl(const std::string& in, std::string* out) {
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

int32_t ResolveRedirect(const std::string& base, const std::string& location, std::string* out) {
  std::string scheme = SchemeOf(location);
  if (!scheme.empty() && scheme != "http" && scheme != "https") return ERR_UNSAFE_REDIRECT;
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
    if (rc == 0) *out = full;
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
