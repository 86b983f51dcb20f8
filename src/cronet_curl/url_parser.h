// The URL parser for http and https, with the rules browsers use: a URL that
// reaches the network is read the same way when it is checked, connected to
// and resolved against. No libcurl here: libcurl only ever sees the
// serialisation this produces.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cronet_curl {

struct ParsedUrl {
  std::string scheme;    // "http" or "https"
  std::string username;  // percent-encoded, as serialised
  std::string password;
  std::string host;               // domain (ASCII, lower case), dotted IPv4, or "[v6]"
  int port = -1;                  // -1: the scheme's default
  std::vector<std::string> path;  // segments, percent-encoded
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  int effective_port() const { return port >= 0 ? port : (scheme == "https" ? 443 : 80); }
  bool has_credentials() const { return !username.empty() || !password.empty(); }
  std::string serialize(bool with_userinfo = true, bool with_fragment = true) const;
};

enum class UrlParse {
  kOk,
  kFailure,      // not a URL
  kOtherScheme,  // a URL of a scheme other than http and https
};

// Parses `input` (absolute, or relative to `base` when given) as browsers do.
UrlParse parse_url(std::string_view input, const ParsedUrl* base, ParsedUrl* out);

// The host parser alone (for http and https): "" when the host is refused.
std::string parse_host(std::string_view input);

// Percent-decodes (a '%' not followed by two hex digits stays as it is).
std::string percent_decode(std::string_view in);

}  // namespace cronet_curl
