// Where a request goes and what it sends there (request_target.h).
#include "request_target.h"

#include <algorithm>

#include "ascii.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

void EraseHeaders(HeaderList* headers, bool (*match)(const std::string& name)) {
  headers->erase(std::remove_if(headers->begin(), headers->end(),
                                [match](const auto& h) { return match(h.first); }),
                 headers->end());
}

}  // namespace

int32_t RequestTarget::Prepare(const std::string& url, std::string method, HeaderList headers,
                               bool has_body) {
  std::string canonical;
  int32_t rc = NormalizeUrl(url, &canonical);
  if (rc != 0) return rc;
  // Credentials in the URL go out only when the server asks for them.
  TakeCredentials(canonical, &url_, &credentials_);
  method_ = std::move(method);
  headers_ = std::move(headers);
  send_body_ = has_body;
  return 0;
}

bool RequestTarget::WantsCredentials(int status, const HeaderList& response_headers) const {
  return status == 401 && !credentials_.empty() && !auth_from_url_ &&
         OffersBasicAuth(response_headers) &&
         std::none_of(headers_.begin(), headers_.end(),
                      [](const auto& h) { return EqualsNoCase(h.first, "Authorization"); });
}

void RequestTarget::AddCredentials() {
  auth_from_url_ = true;
  headers_.emplace_back("Authorization", BasicAuthorization(credentials_));
}

bool RequestTarget::IsRedirect(int status, const std::string* location) {
  bool redirect_code =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  return redirect_code && location;
}

int32_t RequestTarget::Resolve(const std::string& location, std::string* target) const {
  return ResolveRedirect(url_, location, target);
}

int32_t RequestTarget::Follow(int status, const std::string& target) {
  if (redirects_followed_ >= kMaxRedirects) return ERR_TOO_MANY_REDIRECTS;
  ++redirects_followed_;
  bool to_get = ((status == 301 || status == 302) && method_ == "POST") ||
                (status == 303 && method_ != "HEAD");
  if (to_get && method_ != "GET") {
    method_ = "GET";
    send_body_ = false;
    // The body goes, and with it the headers that describe it.
    EraseHeaders(&headers_, [](const std::string& n) {
      return EqualsNoCase(n, "Content-Type") || EqualsNoCase(n, "Content-Encoding") ||
             EqualsNoCase(n, "Content-Language") || EqualsNoCase(n, "Content-Location") ||
             EqualsNoCase(n, "Content-Length");
    });
  }
  if (auth_from_url_) {
    // Credentials from a URL belong to that URL only.
    EraseHeaders(&headers_, [](const std::string& n) { return EqualsNoCase(n, "Authorization"); });
    auth_from_url_ = false;
  }
  DropCredentialHeaders(url_, target, &headers_);
  TakeCredentials(target, &url_, &credentials_);
  return 0;
}

}  // namespace cronet_curl
