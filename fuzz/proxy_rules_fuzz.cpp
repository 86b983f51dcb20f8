// Proxy-rules parser: never crashes, and whatever it accepts is a proxy that
// libcurl can take literally (no user info, path, spaces or control bytes)
// and that parses back to itself from its canonical rule text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy_rules.h"

namespace {

using cronet_curl::parse_proxy_rules;
using cronet_curl::ProxyConfig;
using cronet_curl::ProxyServer;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s; input (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool host_char_ok(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool ipv6_char_ok(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

const char* rule_scheme(ProxyServer::Type t) {
  switch (t) {
    case ProxyServer::Type::kHttp: return "http";
    case ProxyServer::Type::kHttps: return "https";
    case ProxyServer::Type::kSocks4: return "socks4";
    case ProxyServer::Type::kSocks5: return "socks5";
    case ProxyServer::Type::kDirect: return "direct";
  }
  return "?";
}

void check_server(const ProxyServer& s, std::string_view input) {
  const std::string curl = s.to_curl();
  if (s.type == ProxyServer::Type::kDirect) {
    if (!curl.empty()) fail("direct proxy with a libcurl proxy string", input);
    return;
  }
  if (s.host.empty()) fail("empty host", input);
  if (s.port < 1 || s.port > 65535) fail("port out of range", input);
  if (s.host.front() == '[') {
    if (s.host.size() < 4 || s.host.back() != ']') fail("bad bracketed host", input);
    for (char c : std::string_view(s.host).substr(1, s.host.size() - 2))
      if (!ipv6_char_ok(c)) fail("bad character in IPv6 host", input);
  } else {
    for (char c : s.host)
      if (!host_char_ok(c)) fail("bad character in host", input);
  }
  const size_t sep = curl.find("://");
  if (sep == std::string::npos) fail("libcurl proxy string without scheme", input);
  for (char c : std::string_view(curl).substr(sep + 3))
    if (c == '@' || c == '/' || c == '?' || c == '#' || c == ' ' || c == '\t' ||
        static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      fail("libcurl proxy string carries more than host and port", input);
  if (curl.rfind(':') == std::string::npos ||
      curl.substr(curl.rfind(':') + 1) != std::to_string(s.port))
    fail("libcurl proxy string port differs", input);

  // The canonical rule for this server parses back to the same server.
  const std::string rule =
      std::string(rule_scheme(s.type)) + "://" + s.host + ":" + std::to_string(s.port);
  ProxyConfig again;
  if (!parse_proxy_rules(rule, &again)) fail("canonical rule does not parse", input);
  if (!(again.http == s) || !(again.https == s)) fail("canonical rule parses differently", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ProxyConfig first;
  const bool ok = parse_proxy_rules(input, &first);
  ProxyConfig second;
  if (parse_proxy_rules(input, &second) != ok) fail("parse is not deterministic", input);
  if (!ok) return 0;
  if (!(first.http == second.http) || !(first.https == second.https))
    fail("parse is not deterministic", input);
  if (input.find('\0') != std::string_view::npos) fail("rules with a NUL accepted", input);
  check_server(first.http, input);
  check_server(first.https, input);
  if (!(first.for_scheme("https") == first.https) || !(first.for_scheme("http") == first.http))
    fail("ForScheme picks the wrong rule", input);
  return 0;
}
