// Cronet_UrlRequest on libcurl: the transfer's state machine on the network
// thread: start, response head, redirects and the credentials retry, cancel,
// and the end of a transfer. The easy handle's setup is in transfer_setup.cpp,
// the body in body.cpp and body_decode.cpp, the upload in upload.cpp.
#include "core.h"
#include "net_errors.h"
#include "response_head.h"

namespace cronet_curl {

void RequestCore::net_start() {
  if (finished_) return;  // canceled before its start was handled
  engine_->register_request(shared_from_this());
  bool destroyed, canceled;
  {
    std::lock_guard<std::mutex> l(mu_);
    destroyed = handle_destroyed_;
    canceled = cancel_requested_;
  }
  if (destroyed) {
    finish(Outcome{Outcome::kAbandoned, nullptr});
    return;
  }
  if (canceled) {
    finish(Outcome{Outcome::kCanceled, nullptr});
    return;
  }
  int32_t rc = net_.target.prepare(url_, method_, std::move(headers_), provider_ != nullptr);
  if (rc != 0) {
    fail_with(rc);
    return;
  }
  if (provider_) net_.upload.open(upload_length_);
  start_transfer();
}

// Removes the current transfer from the multi handle (aborting it when it is
// still running). Never called from inside a curl callback.
void RequestCore::remove_transfer_now() {
  if (net_.in_multi) {
    // The connection libcurl kept for reuse, if any (known only before the removal).
    curl_socket_t kept = CURL_SOCKET_BAD;
    long version = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_ACTIVESOCKET, &kept);
    curl_easy_getinfo(net_.easy, CURLINFO_HTTP_VERSION, &version);
    // Fails only for a handle that is not in this multi handle; in_multi says it is.
    (void)curl_multi_remove_handle(engine_->multi(), net_.easy);
    engine_->socket_released(this, kept,
                             version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1);
    net_.in_multi = false;
    engine_->remove_transfer(this);
  }
}

// The request no longer wants its transfer: callbacks discard from now on and
// the handle is cleaned up outside curl callbacks.
void RequestCore::detach_transfer() {
  net_.detached = true;
  if (net_.easy || net_.in_multi) engine_->schedule_cleanup(shared_from_this());
}

void RequestCore::net_cleanup_transfer() {
  if (!net_.detached) return;
  remove_transfer_now();
  net_.body.return_spare(engine_->blocks());
  if (net_.dec.block) engine_->blocks()->give(std::move(net_.dec.block));
  if (net_.easy) {
    engine_->give_back_easy(net_.easy, net_.easy_carried_quic);
    net_.easy = nullptr;
  }
  if (net_.slist) {
    curl_slist_free_all(net_.slist);
    net_.slist = nullptr;
  }
  curl_slist_free_all(net_.connect_to);
  net_.connect_to = nullptr;
  // The upload buffer stays until the core goes: a provider read may still hold it.
}

// ---- response headers ----

size_t RequestCore::header_cb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.detached) return 0;  // ended: stop the transfer at once
  self->on_header_line(data, len);
  if (self->net_.detached || self->net_.auth_retry_pending) return 0;
  if ((self->net_.bodiless_response || self->net_.length_left == 0) && self->net_.head.complete()) {
    self->net_.ended_at_headers = true;  // the response is whole: end it here
    return 0;
  }
  return len;
}

void RequestCore::on_header_line(const char* data, size_t n) {
  switch (net_.head.feed(std::string_view(data, n))) {
    case ResponseHead::Line::kTooBig: fail_with(kErrResponseHeadersTooBig); break;
    case ResponseHead::Line::kComplete: on_headers_complete(); break;
    default: break;
  }
}

// The status of the final block; libcurl's when the block had no status line.
int RequestCore::final_status() {
  if (net_.head.status() != 0) return net_.head.status();
  long code = 0;
  curl_easy_getinfo(net_.easy, CURLINFO_RESPONSE_CODE, &code);
  return static_cast<int>(code);
}

void RequestCore::on_headers_complete() {
  int status = final_status();
  HeadFacts facts = read_head_facts(net_.head);
  net_.chunked = facts.chunked;
  if (facts.error) {
    fail_with(facts.error);
    return;
  }
  note_alt_svc();
  if (net_.target.wants_credentials(status, net_.head.headers())) {
    net_.discard_body = true;
    net_.auth_retry_pending = true;  // header_cb ends this transfer; net_transfer_done retries
    return;
  }
  // A length libcurl does not see: the transfer ends after exactly that many
  // bytes on the wire (before the library decodes them), as the browser does.
  bool bad_length = false;
  net_.length_left = own_framed_length(net_.head, facts, net_.target.method(), status, &bad_length);
  if (bad_length) {
    fail_with(kErrInvalidHttpResponse);
    return;
  }
  if (RequestTarget::is_redirect(status, facts.location)) {
    report_redirect(status, *facts.location);
    return;
  }
  start_response(status);
}

// OnRedirectReceived; follow_redirect brings net_follow.
void RequestCore::report_redirect(int status, const std::string& location) {
  std::string target;
  int32_t rc = net_.target.resolve(location, &target);
  if (rc != 0) {
    fail_with(rc);
    return;
  }
  net_.discard_body = true;
  net_.redirect_pending = true;
  net_.redirect_status = status;
  net_.redirect_url = target;
  auto info = make_info(status);
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    waiting_redirect_ = true;
  }
  Cronet_UrlRequest* req = handle_;
  post_to_callback([req, info, target](Cronet_UrlRequestCallback* cb) {
    if (cb->on_redirect_received) cb->on_redirect_received(cb, req, info.get(), target.c_str());
  });
}

// OnResponseStarted; the body follows through the application's reads.
void RequestCore::start_response(int status) {
  if (!set_up_decoding()) return;
  net_.response_started = true;
  net_.info = make_info(status);
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    waiting_read_ = true;
  }
  auto info = net_.info;
  Cronet_UrlRequest* req = handle_;
  post_to_callback([req, info](Cronet_UrlRequestCallback* cb) {
    if (cb->on_response_started) cb->on_response_started(cb, req, info.get());
  });
  // The provider is no longer needed once the response started and the
  // upload is over.
  if (provider_ && (!net_.target.send_body() || net_.upload.drained()))
    request_close();  // posted once no provider call is outstanding
}

// ---- redirects, cancel, end of transfer ----

void RequestCore::net_follow() {
  if (finished_ || !net_.redirect_pending) return;
  net_.redirect_pending = false;
  int32_t rc = net_.target.follow(net_.redirect_status, net_.redirect_url);
  if (rc != 0) {
    fail_with(rc);
    return;
  }
  remove_transfer_now();
  restart_transfer();
}

// The answer to a Basic challenge: the same request once more, with the
// URL's credentials (not reported as a redirect).
void RequestCore::retry_with_credentials() {
  net_.auth_retry_pending = false;
  net_.target.add_credentials();
  restart_transfer();
}

void RequestCore::net_cancel() { finish(Outcome{Outcome::kCanceled, nullptr}); }

void RequestCore::net_abandon() { finish(Outcome{Outcome::kAbandoned, nullptr}); }

void RequestCore::net_shutdown_abort() { fail_with(kErrAborted); }

// What libcurl knows about how a transfer ended, for map_curl_failure.
CurlFailure RequestCore::describe_end(CURLcode result) {
  CurlFailure f;
  f.code = result;
  if (result != CURLE_OK && net_.easy) {
    curl_easy_getinfo(net_.easy, CURLINFO_OS_ERRNO, &f.os_errno);
    curl_easy_getinfo(net_.easy, CURLINFO_SSL_VERIFYRESULT, &f.ssl_verify_result);
    curl_easy_getinfo(net_.easy, CURLINFO_PROXY_ERROR, &f.proxy_error);
    curl_easy_getinfo(net_.easy, CURLINFO_HTTP_CONNECTCODE, &f.connect_code);
    curl_off_t connect_time = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_CONNECT_TIME_T, &connect_time);
    f.connected = connect_time > 0;
  }
  f.via_proxy = !net_.proxy.empty();
  f.proxy_is_socks = net_.proxy.compare(0, 5, "socks") == 0;
  f.message = net_.errbuf;
  f.in_headers = net_.head.status() != 0 && !net_.head.complete();
  f.chunked = net_.chunked;
  f.got_headers = net_.head.complete();
  return f;
}

void RequestCore::net_transfer_done(CURLcode result) {
  // Ended on purpose, see header_cb and on_framed_body.
  if (net_.ended_at_headers || net_.ended_by_length) result = CURLE_OK;
  CurlFailure f = describe_end(result);
  remove_transfer_now();
  if (finished_ || net_.detached) return;
  if (net_.redirect_pending) return;  // the redirect is reported; its body does not matter
  if (transfer_again(result, f.connected)) return;
  if (result != CURLE_OK) {
    if (net_.response_started) {
      // As with the browser's pull model, a failure in the body reaches the
      // application through its reads: data received before it first.
      int32_t error = map_curl_failure(f);
      // A TLS close without close_notify before a spaced Content-Length was
      // reached is, as a plain close is, a body cut short.
      if (net_.length_left > 0 && error == kErrConnectionClosed) error = kErrContentLengthMismatch;
      end_body(error);
      return;
    }
    fail_with(map_curl_failure(f));
    return;
  }
  if (!net_.response_started) {
    fail_with(net_.head.complete() ? kErrInvalidHttpResponse : kErrEmptyResponse);
    return;
  }
  // Closed before the length a spaced Content-Length announced?
  end_body(net_.length_left > 0 ? kErrContentLengthMismatch : 0);
}

// A transfer that ended without being the request's last: the credentials
// retry, a resend libcurl asked for, the fallback from HTTP/3 to TCP.
bool RequestCore::transfer_again(CURLcode result, bool connected) {
  if (net_.auth_retry_pending) {
    retry_with_credentials();
    return true;
  }
  if (result == CURLE_SEND_FAIL_REWIND && !net_.response_started &&
      net_.upload.rewind_retries < UploadPump::kMaxRewindRetries) {
    // libcurl wants to send the body again (a retry on a fresh connection).
    ++net_.upload.rewind_retries;
    request_provider_rewind();
    return true;
  }
  return quic_fallback(result, connected);
}

}  // namespace cronet_curl
