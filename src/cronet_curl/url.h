// URL handling for requests and redirects, on the one URL parser
// (url_parser.h): what is checked is what libcurl connects to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cronet_curl {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The scheme of an absolute URL ("" when the text has none), lower-cased.
std::string scheme_of(std::string_view url);

// Parses an absolute http(s) URL into its canonical form (userinfo kept).
// Returns 0 or a net error (invalid URL, unknown scheme).
int32_t normalize_url(const std::string& in, std::string* out);

// Resolves a Location against the current (canonical) URL; a target without
// a fragment inherits the current one. Returns 0 or a net error (invalid or
// unsafe redirect).
int32_t resolve_redirect(const std::string& base, const std::string& location, std::string* out);

// Splits a canonical URL into what libcurl is given (no userinfo) and the
// credentials it carried, percent-decoded, as "user:password" ("" when none).
void take_credentials(const std::string& canonical, std::string* url, std::string* credentials);

// scheme://host:port of a URL, for same-origin tests ("" when it does not parse).
std::string origin_of(const std::string& url);

// Removes the request headers that must not follow a redirect from `from` to
// `to`: Authorization, Proxy-Authorization and Cookie to another host, and
// Authorization to another scheme or port too.
void drop_credential_headers(const std::string& from, const std::string& to, HeaderList* headers);

// Whether a 401 response offers Basic authentication.
bool offers_basic_auth(const HeaderList& response_headers);

// "Basic <base64 of credentials>".
std::string basic_authorization(const std::string& credentials);

}  // namespace cronet_curl
