// Parser of the browser's proxy-rules syntax, a pure function (no I/O, no
// global state) so that it can be fuzzed on its own.
//
// Accepted forms (whitespace around items is ignored):
//   ""                          no proxy
//   "direct://"                 no proxy
//   "[scheme://]host[:port]"    one proxy for every URL scheme
//   "p1,p2,direct://"           a list: the first entry is used
//   "http=p1;https=p2"          per URL scheme; keys http, https, ftp (accepted,
//                               never used: only http and https are fetched) and
//                               socks (for schemes without their own rule)
// Proxy schemes: http (default; port 80), https (443), socks4, socks (= socks4)
// and socks5 (1080), direct. For the "socks=" key the default scheme is socks4.
// Hosts: a DNS name or IPv4 address of letters, digits, '-', '.', '_', or an
// IPv6 address in brackets. Everything else (unknown scheme or key, empty host,
// bad port, user info, paths, a rule list mixing both forms, duplicate keys)
// makes the rules unparseable.
#pragma once

#include <string>
#include <string_view>

namespace cronet_curl {

struct ProxyServer {
  enum class Type { kDirect, kHttp, kHttps, kSocks4, kSocks5 };
  Type type = Type::kDirect;
  std::string host;  // IPv6 addresses keep their brackets
  int port = 0;
  bool operator==(const ProxyServer& o) const {
    return type == o.type && host == o.host && port == o.port;
  }
  // The proxy as libcurl takes it in CURLOPT_PROXY: "" for direct, else
  // "http://h:p", "https://h:p", "socks4://h:p" or "socks5h://h:p" (SOCKS5
  // resolves names at the proxy, as the browser does).
  std::string to_curl() const;
};

struct ProxyConfig {
  // For http:// and https:// URLs (direct when no rule applies).
  ProxyServer http;
  ProxyServer https;
  ProxyServer for_scheme(std::string_view url_scheme) const {
    return url_scheme == "https" ? https : http;
  }
};

// Returns false when the rules are unparseable; *out is then unspecified.
bool parse_proxy_rules(std::string_view rules, ProxyConfig* out);

}  // namespace cronet_curl
