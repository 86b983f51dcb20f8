// Cronet_UrlRequest on libcurl: the network-thread side of a request (the curl
// transfer, its header, body and upload callbacks, redirects and the end of it).
#include <algorithm>
#include <cstring>

#include "ascii.h"
#include "core.h"
#include "curl_options.h"
#include "header_validation.h"
#include "net_errors.h"
#include "response_head.h"
#include "url.h"

namespace cronet_curl {
namespace {

constexpr const char* kUserAgent = "Cronet/144.0.7506.0 (cronet_curl)";

// libcurl drops a custom header whose value is blank (only characters
// isspace() accepts), which the browser would send. Such a header is joined
// to the previous entry with CRLF (libcurl copies an entry verbatim), so it
// goes out in its place and whole. Values never hold CR or LF (InitWithParams
// refuses them). With no previous entry, the User-Agent line is the anchor
// (when the library sends its own) or else the next entry.
bool IsBlankForCurl(const std::string& v) {
  for (char c : v)
    if (!(c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n')) return false;
  return true;
}

// An application Content-Length or Transfer-Encoding is left out: the library
// frames the body (Content-Length when the length is known, chunked when not,
// nothing without a body), and framing that disagreed with it would put the
// kept-alive connection out of step for the requests after this one.
std::vector<std::string> BuildHeaderLines(
    const std::vector<std::pair<std::string, std::string>>& headers, const char* user_agent) {
  std::vector<std::string> lines;
  std::string pending;  // blank-valued lines waiting for an anchor
  for (const auto& h : headers) {
    if (EqualsNoCase(h.first, "Content-Length") || EqualsNoCase(h.first, "Transfer-Encoding"))
      continue;
    std::string line = h.first + ": " + h.second;
    if (!IsBlankForCurl(h.second)) {
      if (!pending.empty()) {
        line = pending + line;  // anchored on this one (rare: no entry before)
        pending.clear();
      }
      lines.push_back(std::move(line));
    } else if (!lines.empty()) {
      lines.back() += "\r\n" + line;
    } else if (user_agent) {
      lines.push_back(std::string("User-Agent: ") + user_agent + "\r\n" + line);
    } else {
      pending += line + "\r\n";
    }
  }
  if (!pending.empty()) {
    // Only blank values and an application User-Agent that is blank too: send
    // them with libcurl's "Name;" form (an empty value) as a last resort.
    size_t start = 0;
    while (start < pending.size()) {
      size_t end = pending.find("\r\n", start);
      std::string l = pending.substr(start, end - start);
      lines.push_back(l.substr(0, l.find(':')) + ";");
      start = end + 2;
    }
  }
  return lines;
}

}  // namespace

// ---------------------------------------------------------------------------
// Network thread: transfers

void RequestCore::NetStart() {
  if (finished_) return;  // canceled before its start was handled
  engine_->Register(shared_from_this());
  bool destroyed, canceled;
  {
    std::lock_guard<std::mutex> l(mu_);
    destroyed = handle_destroyed_;
    canceled = cancel_requested_;
  }
  if (destroyed) {
    Finish(Outcome{Outcome::kAbandoned, nullptr});
    return;
  }
  if (canceled) {
    Finish(Outcome{Outcome::kCanceled, nullptr});
    return;
  }
  int32_t rc = net_.target.Prepare(url_, method_, std::move(headers_), provider_ != nullptr);
  if (rc != 0) {
    FailWith(rc);
    return;
  }
  if (provider_) net_.upload.Open(upload_length_);
  StartTransfer();
}

void RequestCore::StartTransfer() {
  const EngineConfig& cfg = engine_->config();
  RemoveTransferNow();
  bool reused = false;  // an engine's spare handle is reset already
  if (!net_.easy) {
    reused = (net_.easy = engine_->TakeEasy()) != nullptr;
    net_.easy_carried_quic = false;
  }
  if (!net_.easy) {
    net_.easy = curl_easy_init();
    if (!net_.easy) {
      FailWith(ERR_OUT_OF_MEMORY);
      return;
    }
  } else if (!reused) {
    curl_easy_reset(net_.easy);
  }
  if (net_.slist) {
    curl_slist_free_all(net_.slist);
    net_.slist = nullptr;
  }
  curl_slist_free_all(net_.connect_to);
  net_.connect_to = nullptr;
  // Per-response state.
  net_.head.Reset();
  net_.bodiless_response = false;
  net_.ended_at_headers = false;
  net_.discard_body = false;
  net_.redirect_pending = false;
  net_.chunked = false;
  net_.length_left = -1;
  net_.ended_by_length = false;
  net_.body.SetPaused(false);
  net_.send_paused = false;
  net_.errbuf[0] = 0;

  CURL* e = net_.easy;
  EasyOptions o(e);  // every result checked, see curl_options.h
  o.Need(CURLOPT_PRIVATE, this);
  o.Need(CURLOPT_URL, net_.target.url().c_str());
  o.Need(CURLOPT_PROTOCOLS_STR, "http,https");
  o.Need(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  o.Need(CURLOPT_FOLLOWLOCATION, 0L);
  o.Need(CURLOPT_NOSIGNAL, 1L);
  o.Tune(CURLOPT_SHARE, engine_->share());
  o.Need(CURLOPT_ERRORBUFFER, net_.errbuf);
  o.Tune(CURLOPT_TCP_NODELAY, 1L);
  o.Tune(CURLOPT_TCP_KEEPALIVE, 1L);
  o.Need(CURLOPT_HTTP09_ALLOWED, 0L);
  o.Need(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  o.Tune(CURLOPT_BUFFERSIZE, 64L << 10);
  o.Tune(CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(UploadPump::kBufferSize));
  o.Need(CURLOPT_HTTP_VERSION, cfg.http2 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                                         : static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Wait for a connection that may multiplex only where HTTP/2 is possible (TLS).
  if (cfg.http2 && SchemeOf(net_.target.url()) == "https") o.Tune(CURLOPT_PIPEWAIT, 1L);
  static const long kWeights[] = {1, 32, 64, 128, 256};
  o.Tune(CURLOPT_STREAM_WEIGHT, kWeights[std::clamp(priority_, 0, 4)]);
  // Bodies are decoded by the library itself (body_decode.cc), whatever libcurl was built with.
  o.Need(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  // TLS.
  o.Need(CURLOPT_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  o.Need(CURLOPT_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  o.Need(CURLOPT_PROXY_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  o.Need(CURLOPT_PROXY_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  if (!cfg.ca_bundle.empty()) {
    o.Need(CURLOPT_CAINFO, cfg.ca_bundle.c_str());
    o.Need(CURLOPT_PROXY_CAINFO, cfg.ca_bundle.c_str());
  }
  if (!cfg.ca_dir.empty()) {
    o.Need(CURLOPT_CAPATH, cfg.ca_dir.c_str());
    o.Need(CURLOPT_PROXY_CAPATH, cfg.ca_dir.c_str());
  }
  // Proxy: always explicit, so that proxy environment variables never apply.
  std::string scheme = SchemeOf(net_.target.url());
  ProxyServer proxy = cfg.proxies.ForScheme(scheme);
  net_.proxy = proxy.ToCurl();
  o.Need(CURLOPT_PROXY, net_.proxy.c_str());
  o.Need(CURLOPT_NOPROXY, "");
  ChooseQuic(o);
  // Callbacks.
  o.Need(CURLOPT_HEADERFUNCTION, &RequestCore::HeaderCb);
  o.Need(CURLOPT_HEADERDATA, this);
  o.Need(CURLOPT_WRITEFUNCTION, &RequestCore::WriteCb);
  o.Need(CURLOPT_WRITEDATA, this);
  o.Need(CURLOPT_OPENSOCKETFUNCTION, &EngineCore::OpenSocketCb);
  o.Need(CURLOPT_OPENSOCKETDATA, engine_.get());
  o.Need(CURLOPT_CLOSESOCKETFUNCTION, &EngineCore::CloseSocketCb);
  o.Need(CURLOPT_CLOSESOCKETDATA, engine_.get());
  o.Need(CURLOPT_PREREQFUNCTION, &EngineCore::PrereqCb);
  o.Need(CURLOPT_PREREQDATA, this);

  // Headers: the application's, and suppress libcurl's own where the browser
  // sends none.
  bool has_accept = false, has_expect = false, has_ctype = false, has_ua = false, has_ae = false;
  for (const auto& h : net_.target.headers()) {
    if (EqualsNoCase(h.first, "Accept")) has_accept = true;
    if (EqualsNoCase(h.first, "Expect")) has_expect = true;
    if (EqualsNoCase(h.first, "Content-Type")) has_ctype = true;
    if (EqualsNoCase(h.first, "User-Agent")) has_ua = true;
    if (EqualsNoCase(h.first, "Accept-Encoding")) has_ae = true;
  }
  bool headers_whole = true;  // a header line the list could not take would be lost
  auto append = [&](const char* line) {
    curl_slist* n = curl_slist_append(net_.slist, line);
    if (n) net_.slist = n;
    else headers_whole = false;
  };
  for (const std::string& line : BuildHeaderLines(net_.target.headers(), has_ua ? nullptr : kUserAgent))
    append(line.c_str());
  if (!has_accept) append("Accept:");
  if (!has_expect) append("Expect:");
  if (!has_ctype) append("Content-Type:");
  // The codings the library decodes itself (body_decode.cc).
  if (!has_ae) append(("Accept-Encoding: " + cfg.accept_encoding).c_str());
  if (!has_ua) o.Need(CURLOPT_USERAGENT, kUserAgent);
  o.Need(CURLOPT_HTTPHEADER, net_.slist);

  // Method and body.
  const std::string& m = net_.target.method();
  if (net_.target.send_body()) {
    o.Need(CURLOPT_POST, 1L);
    o.Need(CURLOPT_READFUNCTION, &RequestCore::ReadCb);
    o.Need(CURLOPT_READDATA, this);
    o.Need(CURLOPT_SEEKFUNCTION, &RequestCore::SeekCb);
    o.Need(CURLOPT_SEEKDATA, this);
    o.Need(CURLOPT_POSTFIELDSIZE_LARGE,
           static_cast<curl_off_t>(upload_length_ >= 0 ? upload_length_ : -1));
    if (m != "POST") o.Need(CURLOPT_CUSTOMREQUEST, m.c_str());
    // libcurl would wait for a body that a HEAD response never has.
    net_.bodiless_response = m == "HEAD";
  } else if (m == "GET") {
    o.Need(CURLOPT_HTTPGET, 1L);
  } else if (m == "HEAD") {
    o.Need(CURLOPT_NOBODY, 1L);
  } else if (m == "POST" || m == "PUT") {
    // As the browser does: an empty body with Content-Length: 0.
    o.Need(CURLOPT_POST, 1L);
    o.Need(CURLOPT_POSTFIELDS, "");
    o.Need(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    if (m != "POST") o.Need(CURLOPT_CUSTOMREQUEST, m.c_str());
  } else {
    o.Need(CURLOPT_HTTPGET, 1L);
    o.Need(CURLOPT_CUSTOMREQUEST, m.c_str());
  }

  if (!headers_whole) {
    FailWith(ERR_OUT_OF_MEMORY);
    return;
  }
  if (!o.refused().empty()) {
    // Going on without it would silently drop a safeguard.
    FailWith(ERR_FAILED, "libcurl refused " + o.refused());
    return;
  }
  // Before libcurl can pick a connection that the server wrote on while idle.
  engine_->DropIdleWithUnreadBytes();
  if (curl_multi_add_handle(engine_->multi(), e) != CURLM_OK) {
    FailWith(ERR_FAILED);
    return;
  }
  net_.in_multi = true;
  net_.detached = false;
  engine_->AddTransfer(shared_from_this());
}

// Removes the current transfer from the multi handle (aborting it when it is
// still running). Never called from inside a curl callback.
void RequestCore::RemoveTransferNow() {
  if (net_.in_multi) {
    // The connection libcurl kept for reuse, if any (known only before the removal).
    curl_socket_t kept = CURL_SOCKET_BAD;
    long version = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_ACTIVESOCKET, &kept);
    curl_easy_getinfo(net_.easy, CURLINFO_HTTP_VERSION, &version);
    // Fails only for a handle that is not in this multi handle; in_multi says it is.
    (void)curl_multi_remove_handle(engine_->multi(), net_.easy);
    engine_->SocketReleased(this, kept,
                            version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1);
    net_.in_multi = false;
    engine_->RemoveTransfer(this);
  }
}

// The request no longer wants its transfer: callbacks discard from now on and
// the handle is cleaned up outside curl callbacks.
void RequestCore::DetachTransfer() {
  net_.detached = true;
  if (net_.easy || net_.in_multi) engine_->ScheduleCleanup(shared_from_this());
}

void RequestCore::NetCleanupTransfer() {
  if (!net_.detached) return;
  RemoveTransferNow();
  net_.body.ReturnSpare(engine_->blocks());
  if (net_.dec_block) engine_->blocks()->Give(std::move(net_.dec_block));
  if (net_.easy) {
    engine_->GiveBackEasy(net_.easy, net_.easy_carried_quic);
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

size_t RequestCore::HeaderCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.detached) return 0;  // ended: stop the transfer at once
  self->OnHeaderLine(data, len);
  if (self->net_.detached || self->net_.auth_retry_pending) return 0;
  if ((self->net_.bodiless_response || self->net_.length_left == 0) && self->net_.head.complete()) {
    self->net_.ended_at_headers = true;  // the response is whole: end it here
    return 0;
  }
  return len;
}

void RequestCore::OnHeaderLine(const char* data, size_t n) {
  switch (net_.head.Feed(std::string_view(data, n))) {
    case ResponseHead::Line::kTooBig:
      FailWith(ERR_RESPONSE_HEADERS_TOO_BIG);
      break;
    case ResponseHead::Line::kComplete:
      OnHeadersComplete();
      break;
    default:
      break;
  }
}

void RequestCore::OnHeadersComplete() {
  int status = net_.head.status();
  if (status == 0) {
    long code = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_RESPONSE_CODE, &code);
    status = static_cast<int>(code);
  }
  HeadFacts facts = ReadHeadFacts(net_.head);
  net_.chunked = facts.chunked;
  if (facts.error) {
    FailWith(facts.error);
    return;
  }
  const std::string* location = facts.location;
  NoteAltSvc();
  if (net_.target.WantsCredentials(status, net_.head.headers())) {
    net_.discard_body = true;
    net_.auth_retry_pending = true;  // HeaderCb ends this transfer; NetTransferDone retries
    return;
  }
  // A length libcurl does not see: the transfer ends after exactly that many
  // bytes on the wire (before the library decodes them), as the browser does.
  bool bad_length = false;
  net_.length_left = OwnFramedLength(net_.head, facts, net_.target.method(), status, &bad_length);
  if (bad_length) {
    FailWith(ERR_INVALID_HTTP_RESPONSE);
    return;
  }
  if (RequestTarget::IsRedirect(status, location)) {
    std::string target;
    int32_t rc = net_.target.Resolve(*location, &target);
    if (rc != 0) {
      FailWith(rc);
      return;
    }
    net_.discard_body = true;
    net_.redirect_pending = true;
    net_.redirect_status = status;
    net_.redirect_url = target;
    auto info = MakeInfo(status);
    {
      std::lock_guard<std::mutex> l(mu_);
      if (finished_) return;
      waiting_redirect_ = true;
    }
    Cronet_UrlRequest* req = handle_;
    PostToCallback([req, info, target](Cronet_UrlRequestCallback* cb) {
      if (cb->on_redirect_received) cb->on_redirect_received(cb, req, info.get(), target.c_str());
    });
    return;
  }
  if (!SetUpDecoding()) return;
  net_.response_started = true;
  net_.info = MakeInfo(status);
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    waiting_read_ = true;
  }
  auto info = net_.info;
  Cronet_UrlRequest* req = handle_;
  PostToCallback([req, info](Cronet_UrlRequestCallback* cb) {
    if (cb->on_response_started) cb->on_response_started(cb, req, info.get());
  });
  // The provider is no longer needed once the response started and the
  // upload is over.
  if (provider_ && (!net_.target.send_body() || net_.upload.drained()))
    RequestClose();  // posted once no provider call is outstanding
}

// ---- redirects, cancel, end of transfer ----

void RequestCore::NetFollow() {
  if (finished_ || !net_.redirect_pending) return;
  net_.redirect_pending = false;
  int32_t rc = net_.target.Follow(net_.redirect_status, net_.redirect_url);
  if (rc != 0) {
    FailWith(rc);
    return;
  }
  RemoveTransferNow();
  RestartTransfer();
}

// The answer to a Basic challenge: the same request once more, with the
// URL's credentials (not reported as a redirect).
void RequestCore::RetryWithCredentials() {
  net_.auth_retry_pending = false;
  net_.target.AddCredentials();
  RestartTransfer();
}

void RequestCore::NetCancel() { Finish(Outcome{Outcome::kCanceled, nullptr}); }

void RequestCore::NetAbandon() { Finish(Outcome{Outcome::kAbandoned, nullptr}); }

void RequestCore::NetShutdownAbort() { FailWith(ERR_ABORTED); }

void RequestCore::NetTransferDone(CURLcode result) {
  // Ended on purpose, see HeaderCb and OnFramedBody.
  if (net_.ended_at_headers || net_.ended_by_length) result = CURLE_OK;
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
  RemoveTransferNow();
  if (finished_ || net_.detached) return;
  if (net_.redirect_pending) return;  // the redirect is reported; its body does not matter
  if (net_.auth_retry_pending) {
    RetryWithCredentials();
    return;
  }
  if (result == CURLE_SEND_FAIL_REWIND && !net_.response_started &&
      net_.upload.rewind_retries < UploadPump::kMaxRewindRetries) {
    // libcurl wants to send the body again (a retry on a fresh connection).
    ++net_.upload.rewind_retries;
    RequestProviderRewind();
    return;
  }
  if (QuicFallback(result, f.connected)) return;
  if (result != CURLE_OK) {
    if (net_.response_started) {
      // As with the browser's pull model, a failure in the body reaches the
      // application through its reads: data received before it first.
      int32_t error = MapCurlFailure(f);
      // A TLS close without close_notify before a spaced Content-Length was
      // reached is, as a plain close is, a body cut short.
      if (net_.length_left > 0 && error == ERR_CONNECTION_CLOSED) error = ERR_CONTENT_LENGTH_MISMATCH;
      EndBody(error);
      return;
    }
    FailWith(MapCurlFailure(f));
    return;
  }
  if (!net_.response_started) {
    FailWith(net_.head.complete() ? ERR_INVALID_HTTP_RESPONSE : ERR_EMPTY_RESPONSE);
    return;
  }
  if (net_.length_left > 0) {
    // Closed before the length a spaced Content-Length announced.
    EndBody(ERR_CONTENT_LENGTH_MISMATCH);
    return;
  }
  EndBody(0);
}

}  // namespace cronet_curl
