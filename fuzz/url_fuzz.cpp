// The URL parser against itself and against libcurl: a canonical URL parses
// to itself, and libcurl, given what we hand it, connects to the host (and
// port) our parser found, asks for the same path and query, and has no
// userinfo of its own.
#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "url.h"
#include "url_parser.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "mismatch: %s\n  %s\n  %s\n", what, a.c_str(), b.c_str());
  std::abort();
}

void check(const std::string& canonical) {
  using namespace cronet_curl;
  std::string again;
  if (normalize_url(canonical, &again) != 0) fail("canonical form refused", canonical, "");
  if (again != canonical) fail("canonicalising twice changed it", canonical, again);
  ParsedUrl parsed;
  if (parse_url(canonical, nullptr, &parsed) != UrlParse::kOk) fail("reparse", canonical, "");
  std::string plain, credentials;
  take_credentials(canonical, &plain, &credentials);
  ParsedUrl bare;
  if (parse_url(plain, nullptr, &bare) != UrlParse::kOk || bare.has_credentials() ||
      bare.host != parsed.host)
    fail("userinfo left", plain, "");

  CURLU* u = curl_url();
  if (!u) return;
  // The flags libcurl uses for CURLOPT_URL.
  CURLUcode rc =
      curl_url_set(u, CURLUPART_URL, plain.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME);
  if (rc == CURLUE_OK) {
    char *host = nullptr, *port = nullptr, *user = nullptr, *path = nullptr, *query = nullptr;
    curl_url_get(u, CURLUPART_PATH, &path, 0);
    curl_url_get(u, CURLUPART_QUERY, &query, 0);
    // The request target libcurl sends: our path and query, unchanged.
    std::string target = std::string(path ? path : "") + (query ? "?" + std::string(query) : "");
    curl_free(path);
    curl_free(query);
    std::string ours = parsed.serialize(false, false);
    ours = ours.substr(ours.find('/', parsed.scheme.size() + 3));
    if (target != ours) fail("libcurl's request target differs", ours, target);
    curl_url_get(u, CURLUPART_HOST, &host, 0);
    curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
    curl_url_get(u, CURLUPART_USER, &user, 0);
    std::string h = host ? host : "", p = port ? port : "";
    bool has_user = user != nullptr;
    curl_free(host);
    curl_free(port);
    curl_free(user);
    curl_url_cleanup(u);
    if (h != parsed.host) fail("libcurl's host differs", plain, h);
    if (p != std::to_string(parsed.effective_port())) fail("libcurl's port differs", plain, p);
    if (has_user) fail("libcurl found userinfo", plain, "");
    return;
  }
  curl_url_cleanup(u);
  fail("libcurl refused a canonical URL", plain, curl_url_strerror(rc));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  std::string out;
  if (cronet_curl::normalize_url(in, &out) == 0) check(out);
  if (cronet_curl::resolve_redirect("https://u:p@h.example:8443/a/b?q#f", in, &out) == 0)
    check(out);
  return 0;
}
