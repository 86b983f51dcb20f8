// URL handling for requests and redirects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cronet_curl {

// The scheme of an absolute URL ("" when the text has none), lower-cased.
std::string SchemeOf(std::string_view url);

// Parses an absolute http(s) URL into libcurl's normal form. Returns 0 or a
// net error (invalid URL, unknown scheme).
int32_t NormalizeUrl(const std::string& in, std::string* out);

// Resolves a Location against the current URL. Returns 0 or a net error
// (invalid or unsafe redirect).
int32_t ResolveRedirect(const std::string& base, const std::string& location, std::string* out);

// scheme://host:port of a URL, for same-origin tests.
std::string OriginOf(const std::string& url);

}  // namespace cronet_curl
