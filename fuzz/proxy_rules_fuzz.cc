// Proxy-rules parser: never crashes, and whatever it accepts is a proxy that
// libcurl can take literally (no user info, path, spaces or control bytes)
// and that parses back to itself from its canonical rule text.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "proxy_rules.h"

namespace {

using cronet_curl::ParseProxyRules;
using cronet_curl::ProxyConfig;
using cronet_curl::ProxyServer;

[[noreturn]] void Fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s; input (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool HostCharOk(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_';
}

bool Ipv6CharOk(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') ||
         c == ':' || c == '.';
}

const char* RuleScheme(ProxyServer::Type t) {
  switch (t) {
    case ProxyServer::Type::kHttp: return "http";
    case ProxyServer::Type::kHttps: return "https";
    case ProxyServer::Type::kSocks4: return "socks4";
    case ProxyServer::Type::kSocks5: return "socks5";
    case ProxyServer::Type::kDirect: return "direct";
  }
  return "?";
}

void CheckServer(const ProxyServer& s, std::string_view input) {
  const std::string curl = s.ToCurl();
  if (s.type == ProxyServer::Type::kDirect) {
    if (!curl.empty()) Fail("direct proxy with a libcurl proxy string", input);
    return;
  }
  if (s.host.empty()) Fail("empty host", input);
  if (s.port < 1 || s.port > 65535) Fail("port out of range", input);
  if (s.host.front() == '[') {
    if (s.host.size() < 4 || s.host.back() != ']') Fail("bad bracketed host", input);
    for (char c : std::string_view(s.host).substr(1, s.host.size() - 2))
      if (!Ipv6CharOk(c)) Fail("bad character in IPv6 host", input);
  } else {
    for (char c : s.host)
      if (!HostCharOk(c)) Fail("bad character in host", input);
  }
  const size_t sep = curl.find("://");
  if (sep == std::string::npos) Fail("libcurl proxy string without scheme", input);
  for (char c : std::string_view(curl).substr(sep + 3))
    if (c == '@' || c == '/' || c == '?' || c == '#' || c == ' ' || c == '\t' ||
        static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      Fail("libcurl proxy string carries more than host and port", input);
  if (curl.rfind(':') == std::string::npos ||
      curl.substr(curl.rfind(':') + 1) != std::to_string(s.port))
    Fail("libcurl proxy string port differs", input);

  // The canonical rule for this server parses back to the same server.
  const std::string rule =
      std::string(RuleScheme(s.type)) + "://" + s.host + ":" + std::to_string(s.port);
  ProxyConfig again;
  if (!ParseProxyRules(rule, &again)) Fail("canonical rule does not parse", input);
  if (!(again.http == s) || !(again.https == s)) Fail("canonical rule parses differently", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ProxyConfig first;
  const bool ok = ParseProxyRules(input, &first);
  ProxyConfig second;
  if (ParseProxyRules(input, &second) != ok) Fail("parse is not deterministic", input);
  if (!ok) return 0;
  if (!(first.http == second.http) || !(first.https == second.https))
    Fail("parse is not deterministic", input);
  if (input.find('\0') != std::string_view::npos) Fail("rules with a NUL accepted", input);
  CheckServer(first.http, input);
  CheckServer(first.https, input);
  if (!(first.ForScheme("https") == first.https) || !(first.ForScheme("http") == first.http))
    Fail("ForScheme picks the wrong rule", input);
  return 0;
}
