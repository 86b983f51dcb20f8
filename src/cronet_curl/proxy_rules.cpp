#include "proxy_rules.h"

#include <vector>

#include "ascii.h"

namespace cronet_curl {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

bool is_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool is_ipv6_char(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

int default_port(ProxyServer::Type t) {
  switch (t) {
    case ProxyServer::Type::kHttp: return 80;
    case ProxyServer::Type::kHttps: return 443;
    case ProxyServer::Type::kSocks4:
    case ProxyServer::Type::kSocks5: return 1080;
    default: return 0;
  }
}

// One proxy URI: [scheme://]host[:port][/]
bool parse_proxy_uri(std::string_view uri, ProxyServer::Type default_type, ProxyServer* out) {
  uri = trim(uri);
  if (uri.empty()) return false;
  ProxyServer::Type type = default_type;
  size_t sep = uri.find("://");
  if (sep != std::string_view::npos) {
    std::string_view scheme = uri.substr(0, sep);
    uri.remove_prefix(sep + 3);
    if (equals_no_case(scheme, "http"))
      type = ProxyServer::Type::kHttp;
    else if (equals_no_case(scheme, "https"))
      type = ProxyServer::Type::kHttps;
    else if (equals_no_case(scheme, "socks4") || equals_no_case(scheme, "socks"))
      type = ProxyServer::Type::kSocks4;
    else if (equals_no_case(scheme, "socks5"))
      type = ProxyServer::Type::kSocks5;
    else if (equals_no_case(scheme, "direct")) {
      if (!uri.empty()) return false;
      *out = ProxyServer();
      return true;
    } else {
      return false;
    }
  }
  if (!uri.empty() && uri.back() == '/') uri.remove_suffix(1);
  if (uri.empty()) return false;
  std::string_view host, port;
  if (uri.front() == '[') {
    size_t close = uri.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    host = uri.substr(0, close + 1);
    for (char c : host.substr(1, host.size() - 2))
      if (!is_ipv6_char(c)) return false;
    std::string_view rest = uri.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      if (port.empty()) return false;
    }
  } else {
    size_t colon = uri.find(':');
    host = uri.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = uri.substr(colon + 1);
      if (port.empty()) return false;
    }
    if (host.empty()) return false;
    for (char c : host)
      if (!is_host_char(c)) return false;
    if (host.front() == '.' || host.front() == '-') return false;
  }
  int port_num = default_port(type);
  if (!port.empty()) {
    if (port.size() > 5) return false;
    port_num = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      port_num = port_num * 10 + (c - '0');
    }
    if (port_num < 1 || port_num > 65535) return false;
  }
  out->type = type;
  out->host = std::string(host);
  out->port = port_num;
  return true;
}

// A comma-separated list; the first entry is the one used, every entry must
// parse.
bool parse_proxy_list(std::string_view list, ProxyServer::Type default_type, ProxyServer* out) {
  bool first = true;
  for (std::string_view item : split(list, ',')) {
    ProxyServer server;
    if (!parse_proxy_uri(item, default_type, &server)) return false;
    if (first) *out = server;
    first = false;
  }
  return !first;
}

}  // namespace

std::string ProxyServer::to_curl() const {
  const char* scheme = "";
  switch (type) {
    case Type::kDirect: return std::string();
    case Type::kHttp: scheme = "http://"; break;
    case Type::kHttps: scheme = "https://"; break;
    case Type::kSocks4: scheme = "socks4://"; break;
    case Type::kSocks5: scheme = "socks5h://"; break;
  }
  return std::string(scheme) + host + ":" + std::to_string(port);
}

bool parse_proxy_rules(std::string_view rules, ProxyConfig* out) {
  *out = ProxyConfig();
  rules = trim(rules);
  if (rules.empty()) return true;
  if (rules.find('\0') != std::string_view::npos) return false;
  std::vector<std::string_view> entries;
  for (std::string_view e : split(rules, ';')) {
    e = trim(e);
    if (!e.empty()) entries.push_back(e);
  }
  if (entries.empty()) return false;  // only separators
  if (entries.front().find('=') == std::string_view::npos) {
    // One proxy (list) for every scheme.
    if (entries.size() != 1) return false;
    ProxyServer server;
    if (!parse_proxy_list(entries.front(), ProxyServer::Type::kHttp, &server)) return false;
    out->http = server;
    out->https = server;
    return true;
  }
  bool have_http = false, have_https = false, have_ftp = false, have_socks = false;
  ProxyServer http, https, socks;
  for (std::string_view e : entries) {
    size_t eq = e.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = trim(e.substr(0, eq));
    std::string_view value = e.substr(eq + 1);
    if (equals_no_case(key, "http")) {
      if (have_http || !parse_proxy_list(value, ProxyServer::Type::kHttp, &http)) return false;
      have_http = true;
    } else if (equals_no_case(key, "https")) {
      if (have_https || !parse_proxy_list(value, ProxyServer::Type::kHttp, &https)) return false;
      have_https = true;
    } else if (equals_no_case(key, "ftp")) {
      ProxyServer ignored;
      if (have_ftp || !parse_proxy_list(value, ProxyServer::Type::kHttp, &ignored)) return false;
      have_ftp = true;
    } else if (equals_no_case(key, "socks")) {
      if (have_socks || !parse_proxy_list(value, ProxyServer::Type::kSocks4, &socks)) return false;
      have_socks = true;
    } else {
      return false;
    }
  }
  out->http = have_http ? http : (have_socks ? socks : ProxyServer());
  out->https = have_https ? https : (have_socks ? socks : ProxyServer());
  return true;
}

}  // namespace cronet_curl
