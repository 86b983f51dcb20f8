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
bool is_blank_for_curl(const std::string& v) {
  for (char c : v)
    if (!(c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n')) return false;
  return true;
}

// An application Content-Length or Transfer-Encoding is left out: the library
// frames the body (Content-Length when the length is known, chunked when not,
// nothing without a body), and framing that disagreed with it would put the
// kept-alive connection out of step for the requests after this one.
std::vector<std::string> build_header_lines(
    const std::vector<std::pair<std::string, std::string>>& headers, const char* user_agent) {
  std::vector<std::string> lines;
  std::string pending;  // blank-valued lines waiting for an anchor
  for (const auto& h : headers) {
    if (equals_no_case(h.first, "Content-Length") || equals_no_case(h.first, "Transfer-Encoding"))
      continue;
    std::string line = h.first + ": " + h.second;
    if (!is_blank_for_curl(h.second)) {
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
bool RequestCore::prepare_easy() {
  remove_transfer_now();
  bool reused = false;  // an engine's spare handle is reset already
  if (!net_.easy) {
    reused = (net_.easy = engine_->take_easy()) != nullptr;
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
  reset_response();
  return true;
}

void RequestCore::reset_response() {
  net_.head.reset();
  net_.bodiless_response = false;
  net_.ended_at_headers = false;
  net_.discard_body = false;
  net_.redirect_pending = false;
  net_.chunked = false;
  net_.length_left = -1;
  net_.ended_by_length = false;
  net_.body.set_paused(false);
  net_.send_paused = false;
  net_.errbuf[0] = 0;
}

void RequestCore::start_transfer() {
  if (!prepare_easy()) {
    fail_with(kErrOutOfMemory);
    return;
  }
  EasyOptions o(net_.easy);  // every result checked, see curl_options.h
  set_connection_options(o);
  set_callback_options(o);
  bool headers_whole = set_header_options(o);
  set_method_options(o);
  if (!headers_whole) {
    fail_with(kErrOutOfMemory);
    return;
  }
  if (!o.refused().empty()) {
    // Going on without it would silently drop a safeguard.
    fail_with(kErrFailed, "libcurl refused " + o.refused());
    return;
  }
  // Before libcurl can pick a connection that the server wrote on while idle.
  engine_->drop_idle_with_unread_bytes();
  if (curl_multi_add_handle(engine_->multi(), net_.easy) != CURLM_OK) {
    fail_with(kErrFailed);
    return;
  }
  net_.in_multi = true;
  net_.detached = false;
  engine_->add_transfer(shared_from_this());
  // The provider's first Read runs while the connection and the request head
  // are made, not after libcurl first asks for body bytes.
  if (net_.target.send_body() && net_.upload.ready() && net_.upload.wants_read())
    request_provider_read();
}

// Where to and how: URL, protocols, HTTP version, TLS, proxy, HTTP/3.
void RequestCore::set_connection_options(EasyOptions& o) {
  const EngineConfig& cfg = engine_->config();
  o.need(CURLOPT_PRIVATE, this);
  o.need(CURLOPT_URL, net_.target.url().c_str());
  o.need(CURLOPT_PROTOCOLS_STR, "http,https");
  o.need(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  o.need(CURLOPT_FOLLOWLOCATION, 0L);
  o.need(CURLOPT_NOSIGNAL, 1L);
  o.tune(CURLOPT_SHARE, engine_->share());
  o.need(CURLOPT_ERRORBUFFER, net_.errbuf);
  o.tune(CURLOPT_TCP_NODELAY, 1L);
  o.tune(CURLOPT_TCP_KEEPALIVE, 1L);
  o.need(CURLOPT_HTTP09_ALLOWED, 0L);
  o.need(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  o.tune(CURLOPT_BUFFERSIZE, 512L << 10);  // fewer receive calls and rounds per MiB
  o.tune(CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(UploadPump::kBufferSize));
  o.need(CURLOPT_HTTP_VERSION, cfg.http2 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                                         : static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Wait for a connection that may multiplex only where HTTP/2 is possible (TLS).
  if (cfg.http2 && scheme_of(net_.target.url()) == "https") o.tune(CURLOPT_PIPEWAIT, 1L);
  static const long kWeights[] = {1, 32, 64, 128, 256};
  o.tune(CURLOPT_STREAM_WEIGHT, kWeights[std::clamp(priority_, 0, 4)]);
  // Bodies are decoded by the library itself (body_decode.cpp), whatever libcurl was built with.
  o.need(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  // TLS.
  o.need(CURLOPT_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  o.need(CURLOPT_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  o.need(CURLOPT_PROXY_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  o.need(CURLOPT_PROXY_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  if (!cfg.ca_bundle.empty()) {
    o.need(CURLOPT_CAINFO, cfg.ca_bundle.c_str());
    o.need(CURLOPT_PROXY_CAINFO, cfg.ca_bundle.c_str());
  }
  if (!cfg.ca_dir.empty()) {
    o.need(CURLOPT_CAPATH, cfg.ca_dir.c_str());
    o.need(CURLOPT_PROXY_CAPATH, cfg.ca_dir.c_str());
  }
  // Proxy: always explicit, so that proxy environment variables never apply.
  std::string scheme = scheme_of(net_.target.url());
  ProxyServer proxy = cfg.proxies.for_scheme(scheme);
  net_.proxy = proxy.to_curl();
  o.need(CURLOPT_PROXY, net_.proxy.c_str());
  o.need(CURLOPT_NOPROXY, "");
  choose_quic(o);
}

void RequestCore::set_callback_options(EasyOptions& o) {
  o.need(CURLOPT_HEADERFUNCTION, &RequestCore::header_cb);
  o.need(CURLOPT_HEADERDATA, this);
  o.need(CURLOPT_WRITEFUNCTION, &RequestCore::write_cb);
  o.need(CURLOPT_WRITEDATA, this);
  o.need(CURLOPT_OPENSOCKETFUNCTION, &EngineCore::open_socket_cb);
  o.need(CURLOPT_OPENSOCKETDATA, engine_.get());
  o.need(CURLOPT_CLOSESOCKETFUNCTION, &EngineCore::close_socket_cb);
  o.need(CURLOPT_CLOSESOCKETDATA, engine_.get());
  o.need(CURLOPT_PREREQFUNCTION, &EngineCore::prereq_cb);
  o.need(CURLOPT_PREREQDATA, this);
}

// The request headers: the application's, and suppress libcurl's own where
// the browser sends none. False when a line could not be added.
bool RequestCore::set_header_options(EasyOptions& o) {
  const std::string& accept_encoding = engine_->config().accept_encoding;
  bool has_accept = false, has_expect = false, has_ctype = false, has_ua = false, has_ae = false;
  for (const auto& h : net_.target.headers()) {
    if (equals_no_case(h.first, "Accept")) has_accept = true;
    if (equals_no_case(h.first, "Expect")) has_expect = true;
    if (equals_no_case(h.first, "Content-Type")) has_ctype = true;
    if (equals_no_case(h.first, "User-Agent")) has_ua = true;
    if (equals_no_case(h.first, "Accept-Encoding")) has_ae = true;
  }
  bool headers_whole = true;  // a header line the list could not take would be lost
  auto append = [&](const char* line) {
    curl_slist* n = curl_slist_append(net_.slist, line);
    if (n)
      net_.slist = n;
    else
      headers_whole = false;
  };
  const char* own_agent = has_ua ? nullptr : kUserAgent;
  for (const std::string& line : build_header_lines(net_.target.headers(), own_agent))
    append(line.c_str());
  if (!has_accept) append("Accept:");
  if (!has_expect) append("Expect:");
  if (!has_ctype) append("Content-Type:");
  // The codings the library decodes itself (body_decode.cpp).
  if (!has_ae) append(("Accept-Encoding: " + accept_encoding).c_str());
  if (!has_ua) o.need(CURLOPT_USERAGENT, kUserAgent);
  o.need(CURLOPT_HTTPHEADER, net_.slist);
  return headers_whole;
}

void RequestCore::set_method_options(EasyOptions& o) {
  const std::string& m = net_.target.method();
  if (net_.target.send_body()) {
    o.need(CURLOPT_POST, 1L);
    o.need(CURLOPT_READFUNCTION, &RequestCore::read_cb);
    o.need(CURLOPT_READDATA, this);
    o.need(CURLOPT_SEEKFUNCTION, &RequestCore::seek_cb);
    o.need(CURLOPT_SEEKDATA, this);
    o.need(CURLOPT_POSTFIELDSIZE_LARGE,
           static_cast<curl_off_t>(upload_length_ >= 0 ? upload_length_ : -1));
    if (m != "POST") o.need(CURLOPT_CUSTOMREQUEST, m.c_str());
    // libcurl would wait for a body that a HEAD response never has.
    net_.bodiless_response = m == "HEAD";
  } else if (m == "GET") {
    o.need(CURLOPT_HTTPGET, 1L);
  } else if (m == "HEAD") {
    o.need(CURLOPT_NOBODY, 1L);
  } else if (m == "POST" || m == "PUT") {
    // As the browser does: an empty body with Content-Length: 0.
    o.need(CURLOPT_POST, 1L);
    o.need(CURLOPT_POSTFIELDS, "");
    o.need(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    if (m != "POST") o.need(CURLOPT_CUSTOMREQUEST, m.c_str());
  } else {
    o.need(CURLOPT_HTTPGET, 1L);
    o.need(CURLOPT_CUSTOMREQUEST, m.c_str());
  }
}

}  // namespace cronet_curl
