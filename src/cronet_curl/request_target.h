// Where a request goes and what it sends there, as redirects and an
// authentication retry change it: the URL libcurl is given (canonical, no
// userinfo), the credentials the URL carried, the method, whether a body goes
// along, and the request headers. Pure (no libcurl): the rules for what
// follows a redirect are table-tested.
#pragma once

#include <cstdint>
#include <string>

#include "url.h"  // HeaderList

namespace cronet_curl {

class RequestTarget {
 public:
  static constexpr int kMaxRedirects = 20;  // the browser's limit

  // The application's request: 0, or the net error of a URL that is refused.
  int32_t prepare(const std::string& url, std::string method, HeaderList headers, bool has_body);

  const std::string& url() const { return url_; }
  const std::string& method() const { return method_; }
  const HeaderList& headers() const { return headers_; }
  bool send_body() const { return send_body_; }
  bool auth_from_url() const { return auth_from_url_; }

  // A 401 that is answered with the URL's credentials: it offers Basic, the
  // URL has credentials that were not tried yet, and the application set no
  // Authorization of its own.
  bool wants_credentials(int status, const HeaderList& response_headers) const;
  // Sends the URL's credentials from now on (not a redirect).
  void add_credentials();

  // Whether a response is a redirect to follow (a code that redirects and a
  // non-empty Location).
  static bool is_redirect(int status, const std::string* location);
  // A Location resolved against the current URL: 0 or a net error.
  int32_t resolve(const std::string& location, std::string* target) const;
  // Goes on to `target` after a redirect with `status`: rewrites the method
  // as browsers do (the body and the headers describing it go with a switch
  // to GET) and drops credentials that must not follow. 0, or
  // ERR_TOO_MANY_REDIRECTS past kMaxRedirects (nothing is changed then).
  int32_t follow(int status, const std::string& target);

 private:
  std::string url_;          // canonical, without userinfo: what libcurl is given
  std::string credentials_;  // "user:password" from the URL's userinfo, "" when none
  std::string method_;
  HeaderList headers_;
  bool send_body_ = false;
  bool auth_from_url_ = false;  // the Authorization header is ours, from credentials_
  int redirects_followed_ = 0;
};

}  // namespace cronet_curl
