// Cronet_UrlRequest on libcurl: the network-thread side of a request (the curl
// transfer, its header, body and upload callbacks, redirects and the end of it).
#include <algorithm>
#include <cstring>

#include "ascii.h"
#include "core.h"
#include "curl_options.h"
#include "header_validation.h"
#include "net_errors.h"
#include "url.h"

namespace cronet_curl {
namespace {

constexpr uint64_t kUploadBufferSize = 512 << 10;  // fewer provider round trips per body
constexpr int kMaxRedirects = 20;
constexpr size_t kMaxHeaderBytes = 256 << 10;
constexpr int kMaxRewindRetries = 3;
constexpr const char* kUserAgent = "Cronet/144.0.7506.0 (cronet_curl)";

std::string_view TrimWs(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Whether the values of a header differ between its copies; with split_commas
// each copy may itself be a comma-separated list.
bool DiffersAcrossCopies(const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view name, bool split_commas) {
  bool seen = false;
  std::string_view first;
  for (const auto& h : headers) {
    if (!EqualsNoCase(h.first, name)) continue;
    std::string_view rest = h.second;
    while (true) {
      size_t comma = split_commas ? rest.find(',') : std::string_view::npos;
      std::string_view item = TrimWs(rest.substr(0, comma));
      if (!seen) {
        first = item;
        seen = true;
      } else if (item != first) {
        return true;
      }
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

// The value of a "Content-Length :" header (copies agree, see
// DiffersAcrossCopies); -1 when it is not a plain decimal number.
int64_t SpacedContentLength(const std::vector<std::pair<std::string, std::string>>& headers) {
  for (const auto& h : headers) {
    if (!EqualsNoCase(h.first, "Content-Length")) continue;
    std::string_view v = TrimWs(h.second);
    v = v.substr(0, v.find(','));
    v = TrimWs(v);
    if (v.empty() || v.size() > 18) return -1;
    int64_t n = 0;
    for (char c : v) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    return n;
  }
  return -1;
}

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
  std::string url;
  int32_t rc = NormalizeUrl(url_, &url);
  if (rc != 0) {
    FailWith(rc);
    return;
  }
  // Credentials in the URL go out only when the server asks for them.
  TakeCredentials(url, &net_.url, &net_.credentials);
  net_.method = method_;
  net_.send_body = provider_ != nullptr;
  if (provider_) {
    net_.upload_buf = new Cronet_Buffer;
    net_.upload_buf->data = std::malloc(kUploadBufferSize);
    net_.upload_buf->size = net_.upload_buf->data ? kUploadBufferSize : 0;
    if (upload_length_ == 0) net_.upload_eof = true;
  }
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
  net_.headers.clear();
  net_.status = 0;
  net_.at_status_line = true;
  net_.headers_done = false;
  net_.bodiless_response = false;
  net_.ended_at_headers = false;
  net_.discard_body = false;
  net_.redirect_pending = false;
  net_.chunked = false;
  net_.bare_length = net_.spaced_length = net_.spaced_te = false;
  net_.length_left = -1;
  net_.ended_by_length = false;
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    net_.recv_paused = false;
  }
  net_.send_paused = false;
  net_.errbuf[0] = 0;

  CURL* e = net_.easy;
  EasyOptions o(e);  // every result checked, see curl_options.h
  o.Need(CURLOPT_PRIVATE, this);
  o.Need(CURLOPT_URL, net_.url.c_str());
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
  o.Tune(CURLOPT_BUFFERSIZE, 512L << 10);  // fewer receive calls and rounds per MiB
  o.Tune(CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kUploadBufferSize));
  o.Need(CURLOPT_HTTP_VERSION, cfg.http2 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                                         : static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Wait for a connection that may multiplex only where HTTP/2 is possible (TLS).
  if (cfg.http2 && SchemeOf(net_.url) == "https") o.Tune(CURLOPT_PIPEWAIT, 1L);
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
  std::string scheme = SchemeOf(net_.url);
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
  for (const auto& h : headers_) {
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
  for (const std::string& line : BuildHeaderLines(headers_, has_ua ? nullptr : kUserAgent))
    append(line.c_str());
  if (!has_accept) append("Accept:");
  if (!has_expect) append("Expect:");
  if (!has_ctype) append("Content-Type:");
  // The codings the library decodes itself (body_decode.cc).
  if (!has_ae) append(("Accept-Encoding: " + cfg.accept_encoding).c_str());
  if (!has_ua) o.Need(CURLOPT_USERAGENT, kUserAgent);
  o.Need(CURLOPT_HTTPHEADER, net_.slist);

  // Method and body.
  const std::string& m = net_.method;
  if (net_.send_body) {
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
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    net_.body.ReturnSpare(engine_->blocks());
  }
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
  // net_.upload_buf stays until the core goes: a provider read may still hold it.
}

void RequestCore::UpdatePause() {
  if (!net_.easy || !net_.in_multi) return;
  int mask = (net_.recv_paused ? CURLPAUSE_RECV : 0) | (net_.send_paused ? CURLPAUSE_SEND : 0);
  // Not checked on purpose: a write callback that fails during the resume
  // (also on purpose, see OnFramedBody) makes this return its error, and the
  // transfer then ends with that result, which is where it is handled.
  (void)curl_easy_pause(net_.easy, mask);
}

// ---- response headers ----

size_t RequestCore::HeaderCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.detached) return 0;  // ended: stop the transfer at once
  self->OnHeaderLine(data, len);
  if (self->net_.detached || self->net_.auth_retry_pending) return 0;
  if ((self->net_.bodiless_response || self->net_.length_left == 0) && self->net_.headers_done) {
    self->net_.ended_at_headers = true;  // the response is whole: end it here
    return 0;
  }
  return len;
}

void RequestCore::OnHeaderLine(const char* data, size_t n) {
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Only the first line of a block is a status line, as libcurl reads it; one
  // further down is an ordinary (odd) header line.
  bool first_line = net_.at_status_line;
  net_.at_status_line = false;
  if (first_line && line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim 1xx ones are dropped).
    net_.header_bytes = 0;
    net_.headers.clear();
    net_.headers_done = false;
    net_.status = 0;
    net_.bare_length = net_.spaced_length = net_.spaced_te = false;
    size_t sp = line.find(' ');
    if (sp != std::string_view::npos) {
      int code = 0, digits = 0;
      for (size_t i = sp + 1; i < line.size() && digits < 3; ++i, ++digits) {
        if (line[i] < '0' || line[i] > '9') break;
        code = code * 10 + (line[i] - '0');
      }
      net_.status = code;
    }
    return;
  }
  if (net_.headers_done) return;  // trailers
  net_.header_bytes += n;
  if (net_.header_bytes > kMaxHeaderBytes) {  // the browser's limit
    FailWith(ERR_RESPONSE_HEADERS_TOO_BIG);
    return;
  }
  if (line.empty()) {
    if (net_.status >= 100 && net_.status < 200) {
      net_.headers.clear();  // interim response
      net_.at_status_line = true;
      return;
    }
    net_.headers_done = true;
    OnHeadersComplete();
    return;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    // obs-fold continuation
    if (!net_.headers.empty()) {
      std::string_view cont = TrimWs(line);
      if (!cont.empty()) {
        std::string& v = net_.headers.back().second;
        if (!v.empty()) v += ' ';
        v.append(cont.data(), cont.size());
      }
    }
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view raw_name = line.substr(0, colon);
  std::string_view name = TrimWs(raw_name);
  if (name.empty()) return;
  bool spaced = raw_name.back() == ' ' || raw_name.back() == '\t';
  if (EqualsNoCase(name, "Content-Length")) (spaced ? net_.spaced_length : net_.bare_length) = true;
  if (spaced && EqualsNoCase(name, "Transfer-Encoding")) net_.spaced_te = true;
  std::string_view value = TrimWs(line.substr(colon + 1));
  net_.headers.emplace_back(std::string(name), std::string(value));
}

void RequestCore::OnHeadersComplete() {
  int status = net_.status;
  if (status == 0) {
    long code = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_RESPONSE_CODE, &code);
    status = static_cast<int>(code);
  }
  // libcurl would not decode a chunked body it cannot see announced.
  if (net_.spaced_te) {
    FailWith(ERR_INVALID_HTTP_RESPONSE);
    return;
  }
  const std::string* location = nullptr;
  for (const auto& h : net_.headers) {
    // Empty Location values do not make a redirect.
    if (!location && EqualsNoCase(h.first, "Location") && !h.second.empty()) location = &h.second;
    if (EqualsNoCase(h.first, "Transfer-Encoding")) {
      std::string v = h.second;
      for (char& c : v) c = AsciiLower(c);
      if (v.find("chunked") != std::string::npos) net_.chunked = true;
    }
  }
  // Differing copies of these are how responses get smuggled: refuse them.
  if (!net_.chunked && DiffersAcrossCopies(net_.headers, "Content-Length", true)) {
    FailWith(ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH);
    return;
  }
  if (DiffersAcrossCopies(net_.headers, "Content-Disposition", false)) {
    FailWith(ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION);
    return;
  }
  if (DiffersAcrossCopies(net_.headers, "Location", false)) {
    FailWith(ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION);
    return;
  }
  NoteAltSvc();
  if (status == 401 && !net_.credentials.empty() && !net_.auth_from_url &&
      OffersBasicAuth(net_.headers) &&
      std::none_of(headers_.begin(), headers_.end(),
                   [](const auto& h) { return EqualsNoCase(h.first, "Authorization"); })) {
    net_.discard_body = true;
    net_.auth_retry_pending = true;  // HeaderCb ends this transfer; NetTransferDone retries
    return;
  }
  if (net_.spaced_length && !net_.bare_length && !net_.chunked && net_.method != "HEAD" &&
      status >= 200 && status != 204 && status != 304) {
    // libcurl frames by exact header names only and would wait for a close
    // that a kept-alive connection never brings. Honour the length as the
    // browser does; the transfer then ends after exactly that many bytes.
    // The length counts the bytes on the wire, before the library decodes them.
    int64_t n = SpacedContentLength(net_.headers);
    if (n < 0) {
      FailWith(ERR_INVALID_HTTP_RESPONSE);
      return;
    }
    net_.length_left = n;
  }
  bool redirect_code =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  if (redirect_code && location) {
    std::string target;
    int32_t rc = ResolveRedirect(net_.url, *location, &target);
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
  if (provider_ && (!net_.send_body || (net_.upload_eof && net_.upload_avail == 0)))
    RequestClose();  // posted once no provider call is outstanding
}

// ---- response body ----

size_t RequestCore::WriteCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.length_left >= 0 && !self->net_.detached) return self->OnFramedBody(data, len);
  return OnBody(self, data, len);
}

// A body framed by a Content-Length libcurl did not see: take exactly that
// many bytes, then end the transfer (returning short makes libcurl stop and
// close the connection, whose remaining bytes are not ours to read).
size_t RequestCore::OnFramedBody(char* data, size_t len) {
  size_t take = static_cast<size_t>(std::min<uint64_t>(len, net_.length_left));
  if (take > 0) {
    size_t r = OnBody(this, data, take);
    if (r != take) return r;  // paused: libcurl hands the whole chunk over again
    net_.length_left -= static_cast<int64_t>(take);
  }
  if (net_.length_left > 0) return len;
  net_.ended_by_length = true;
  return 0;
}

size_t RequestCore::OnBody(RequestCore* self, char* data, size_t len) {
  Net& net = self->net_;
  if (net.detached || net.discard_body || !net.response_started) return len;
  if (net.decoder) return self->OnEncodedBody(data, len);
  std::unique_lock<std::mutex> q(self->queue_mu_);
  if (net.read_buf && net.buffered == 0) {
    q.unlock();
    // A read is waiting: straight into the application's buffer.
    Cronet_Buffer* buf = net.read_buf;
    net.read_buf = nullptr;
    size_t k = static_cast<size_t>(std::min<uint64_t>(len, buf->size));
    std::memcpy(buf->data, data, k);
    if (k < len) self->AppendToQueue(data + k, len - k);
    self->PostReadCompleted(buf, k);
    return len;
  }
  if (net.buffered >= kHighWater) {
    net.recv_paused = true;  // libcurl keeps this chunk and hands it over again later
    return CURL_WRITEFUNC_PAUSE;
  }
  net.body.Append(data, len, self->engine_->blocks());
  net.buffered += len;
  AddBufferedBytes(static_cast<int64_t>(len));
  return len;
}

void RequestCore::AppendToQueue(const char* data, size_t n) {
  std::lock_guard<std::mutex> q(queue_mu_);
  net_.body.Append(data, n, engine_->blocks());
  net_.buffered += n;
  AddBufferedBytes(static_cast<int64_t>(n));
}

void RequestCore::ClearQueue() {
  std::lock_guard<std::mutex> q(queue_mu_);
  if (net_.buffered) AddBufferedBytes(-static_cast<int64_t>(net_.buffered));
  net_.body.Clear();
  net_.buffered = 0;
}

size_t RequestCore::CopyFromQueue(Cronet_Buffer* buf) {
  size_t copied =
      net_.body.CopyOut(static_cast<char*>(buf->data), static_cast<size_t>(buf->size));
  net_.buffered -= copied;
  AddBufferedBytes(-static_cast<int64_t>(copied));
  return copied;
}

// A read is answered: the application may read again once its callback runs.
void RequestCore::PostReadCompleted(Cronet_Buffer* buf, size_t n) {
  {
    std::lock_guard<std::mutex> l(mu_);
    waiting_read_ = true;
  }
  auto info = net_.info;
  Cronet_UrlRequest* req = handle_;
  PostToCallback(
      [req, info, buf, n](Cronet_UrlRequestCallback* cb) {
        if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buf, n);
      },
      buf);
}

void RequestCore::TryServeRead() {
  if (!net_.read_buf) return;
  size_t k = 0;
  bool resume = false;
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    if (net_.buffered > 0) {
      k = CopyFromQueue(net_.read_buf);
      resume = net_.recv_paused && net_.buffered <= kLowWater;
    }
  }
  if (k > 0) {
    Cronet_Buffer* buf = net_.read_buf;
    net_.read_buf = nullptr;
    PostReadCompleted(buf, k);
    if (resume) MaybeResume();
    return;
  }
  if (!net_.body_complete) return;
  if (net_.body_error != 0) {
    FailWith(net_.body_error);
  } else {
    Finish(Outcome{Outcome::kSucceeded, nullptr});
  }
}

void RequestCore::MaybeResume() {
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    if (!net_.recv_paused || net_.buffered > kLowWater) return;
  }
  if (net_.decoder && !ResumeDecoding()) return;  // held input first
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    net_.recv_paused = false;
  }
  UpdatePause();  // may hand over data at once (WriteCb)
}

void RequestCore::NetRead() {
  Cronet_Buffer* buf;
  {
    std::lock_guard<std::mutex> l(mu_);
    buf = pending_read_;
    pending_read_ = nullptr;
  }
  if (!buf) {
    bool ended;
    {
      std::lock_guard<std::mutex> l(mu_);
      ended = finished_;
    }
    if (!ended) {
      MaybeResume();
    } else if (net_.body_complete && !net_.detached) {
      // Read ended the request on its own thread: the network side of Finish.
      ClearQueue();
      DetachTransfer();
      engine_->Unregister(this);
    }
    return;
  }
  if (finished_) {
    delete buf;
    return;
  }
  delete net_.read_buf;  // cannot happen: one read at a time
  net_.read_buf = buf;
  TryServeRead();
}

// ---- redirects, cancel, end of transfer ----

void RequestCore::NetFollow() {
  if (finished_ || !net_.redirect_pending) return;
  net_.redirect_pending = false;
  if (net_.redirects_followed >= kMaxRedirects) {
    FailWith(ERR_TOO_MANY_REDIRECTS);
    return;
  }
  ++net_.redirects_followed;
  int status = net_.redirect_status;
  std::string& m = net_.method;
  bool to_get = ((status == 301 || status == 302) && m == "POST") ||
                (status == 303 && m != "HEAD");
  if (to_get && m != "GET") {
    m = "GET";
    net_.send_body = false;
    {
      // The body goes, and with it the headers that describe it.
      headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                    [](const std::pair<std::string, std::string>& h) {
                                      return EqualsNoCase(h.first, "Content-Type") ||
                                             EqualsNoCase(h.first, "Content-Encoding") ||
                                             EqualsNoCase(h.first, "Content-Language") ||
                                             EqualsNoCase(h.first, "Content-Location") ||
                                             EqualsNoCase(h.first, "Content-Length");
                                    }),
                     headers_.end());
    }
  }
  if (net_.auth_from_url) {
    // Credentials from a URL belong to that URL only.
    headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                  [](const std::pair<std::string, std::string>& h) {
                                    return EqualsNoCase(h.first, "Authorization");
                                  }),
                   headers_.end());
    net_.auth_from_url = false;
  }
  DropCredentialHeaders(net_.url, net_.redirect_url, &headers_);
  TakeCredentials(net_.redirect_url, &net_.url, &net_.credentials);
  RemoveTransferNow();
  if (net_.send_body && net_.upload_touched) {
    RequestProviderRewind();  // the new transfer starts once the rewind is done
    return;
  }
  StartTransfer();
}

// The answer to a Basic challenge: the same request once more, with the
// URL's credentials (not reported as a redirect).
void RequestCore::RetryWithCredentials() {
  net_.auth_retry_pending = false;
  net_.auth_from_url = true;
  headers_.emplace_back("Authorization", BasicAuthorization(net_.credentials));
  if (net_.send_body && net_.upload_touched) {
    RequestProviderRewind();  // the new transfer starts once the rewind is done
    return;
  }
  StartTransfer();
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
  f.in_headers = net_.status != 0 && !net_.headers_done;
  f.chunked = net_.chunked;
  f.got_headers = net_.headers_done;
  RemoveTransferNow();
  if (finished_ || net_.detached) return;
  if (net_.redirect_pending) return;  // the redirect is reported; its body does not matter
  if (net_.auth_retry_pending) {
    RetryWithCredentials();
    return;
  }
  if (result == CURLE_SEND_FAIL_REWIND && !net_.response_started &&
      net_.rewind_retries < kMaxRewindRetries) {
    // libcurl wants to send the body again (a retry on a fresh connection).
    ++net_.rewind_retries;
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
    FailWith(net_.headers_done ? ERR_INVALID_HTTP_RESPONSE : ERR_EMPTY_RESPONSE);
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
