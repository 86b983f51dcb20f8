// Cronet_UrlRequest on libcurl: setting up the easy handle for one transfer
// (connection, TLS, proxy, callbacks, request headers, method and body).
#include <algorithm>

#include "ascii.h"
#include "core.h"
#include "curl_options.h"
#include "net_errors.h"
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

// A fresh or reset easy handle and per-response state for the next transfer.
bool RequestCore::PrepareEasy() {
  RemoveTransferNow();
  bool reused = false;  // an engine's spare handle is reset already
  if (!net_.easy) {
    reused = (net_.easy = engine_->TakeEasy()) != nullptr;
    net_.easy_carried_quic = false;
  }
  if (!net_.easy) {
    net_.easy = curl_easy_init();
    if (!net_.easy) return false;
  } else if (!reused) {
    curl_easy_reset(net_.easy);
  }
  if (net_.slist) {
    curl_slist_free_all(net_.slist);
    net_.slist = nullptr;
  }
  curl_slist_free_all(net_.connect_to);
  net_.connect_to = nullptr;
  ResetResponse();
  return true;
}

void RequestCore::ResetResponse() {
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
}

void RequestCore::StartTransfer() {
  if (!PrepareEasy()) {
    FailWith(ERR_OUT_OF_MEMORY);
    return;
  }
  EasyOptions o(net_.easy);  // every result checked, see curl_options.h
  SetConnectionOptions(o);
  SetCallbackOptions(o);
  bool headers_whole = SetHeaderOptions(o);
  SetMethodOptions(o);
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
  if (curl_multi_add_handle(engine_->multi(), net_.easy) != CURLM_OK) {
    FailWith(ERR_FAILED);
    return;
  }
  net_.in_multi = true;
  net_.detached = false;
  engine_->AddTransfer(shared_from_this());
}

// Where to and how: URL, protocols, HTTP version, TLS, proxy, HTTP/3.
void RequestCore::SetConnectionOptions(EasyOptions& o) {
  const EngineConfig& cfg = engine_->config();
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
  o.Tune(CURLOPT_BUFFERSIZE, 512L << 10);  // fewer receive calls and rounds per MiB
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
}

void RequestCore::SetCallbackOptions(EasyOptions& o) {
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
}

// The request headers: the application's, and suppress libcurl's own where
// the browser sends none. False when a line could not be added.
bool RequestCore::SetHeaderOptions(EasyOptions& o) {
  const std::string& accept_encoding = engine_->config().accept_encoding;
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
  const char* own_agent = has_ua ? nullptr : kUserAgent;
  for (const std::string& line : BuildHeaderLines(net_.target.headers(), own_agent))
    append(line.c_str());
  if (!has_accept) append("Accept:");
  if (!has_expect) append("Expect:");
  if (!has_ctype) append("Content-Type:");
  // The codings the library decodes itself (body_decode.cc).
  if (!has_ae) append(("Accept-Encoding: " + accept_encoding).c_str());
  if (!has_ua) o.Need(CURLOPT_USERAGENT, kUserAgent);
  o.Need(CURLOPT_HTTPHEADER, net_.slist);
  return headers_whole;
}

void RequestCore::SetMethodOptions(EasyOptions& o) {
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
}

}  // namespace cronet_curl
