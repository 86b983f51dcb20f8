// Where a request goes and what it sends there (request_target.h).
#include "request_target.h"

#include <algorithm>

#include "ascii.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

void erase_headers(HeaderList* headers, bool (*match)(const std::string& name)) {
  headers->erase(std::remove_if(headers->begin(), headers->end(),
                                [match](const auto& h) { return match(h.first); }),
                 headers->end());
}

}  // namespace

int32_t RequestTarget::prepare(const std::string& url, std::string method, HeaderList headers,
                               bool has_body) {
  std::string canonical;
  int32_t rc = normalize_url(url, &canonical);
  if (rc != 0) return rc;
  // Credentials in the URL go out only when the server asks for them.
  take_credentials(canonical, &url_, &credentials_);
  method_ = std::move(method);
  headers_ = std::move(headers);
  send_body_ = has_body;
  return 0;
}

bool RequestTarget::wants_credentials(int status, const HeaderList& response_headers) const {
  return status == 401 && !credentials_.empty() && !auth_from_url_ &&
         offers_basic_auth(response_headers) &&
         std::none_of(headers_.begin(), headers_.end(),
                      [](const auto& h) { return equals_no_case(h.first, "Authorization"); });
}

void RequestTarget::add_credentials() {
  auth_from_url_ = true;
  headers_.emplace_back("Authorization", basic_authorization(credentials_));
}

bool RequestTarget::is_redirect(int status, const std::string* location) {
  bool redirect_code =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  return redirect_code && location;
}

int32_t RequestTarget::resolve(const std::string& location, std::string* target) const {
  return resolve_redirect(url_, location, target);
}

int32_t RequestTarget::follow(int status, const std::string& target) {
  if (redirects_followed_ >= kMaxRedirects) return kErrTooManyRedirects;
  ++redirects_followed_;
  bool to_get = ((status == 301 || status == 302) && method_ == "POST") ||
                (status == 303 && method_ != "HEAD");
  if (to_get && method_ != "GET") {
    method_ = "GET";
    send_body_ = false;
    // The body goes, and with it the headers that describe it.
    erase_headers(&headers_, [](const std::string& n) {
      return equals_no_case(n, "Content-Type") || equals_no_case(n, "Content-Encoding") ||
             equals_no_case(n, "Content-Language") || equals_no_case(n, "Content-Location") ||
             equals_no_case(n, "Content-Length");
    });
  }
  if (auth_from_url_) {
    // Credentials from a URL belong to that URL only.
    erase_headers(&headers_,
                  [](const std::string& n) { return equals_no_case(n, "Authorization"); });
    auth_from_url_ = false;
  }
  drop_credential_headers(url_, target, &headers_);
  take_credentials(target, &url_, &credentials_);
  return 0;
}

}  // namespace cronet_curl
