// HTTP/3 per transfer: an https request goes to the origin's advertised QUIC
// alternative when the engine has one for it, and falls back to TCP by itself
// when that cannot be reached. Never through a proxy, never with QUIC off.
#include "ascii.h"
#include "core.h"
#include "curl_options.h"
#include "url.h"

namespace cronet_curl {

uint32_t test_quic_connect_timeout_ms();  // testctl.cpp

namespace {

// How long a QUIC connection may take before the request goes over TCP
// instead. A working alternative answers within a round trip or two.
constexpr long kQuicConnectTimeoutMs = 2000;

bool quic_allowed(const EngineConfig& cfg, const std::string& url, const std::string& proxy) {
  return cfg.quic && proxy.empty() && scheme_of(url) == "https";
}

}  // namespace

void RequestCore::choose_quic(EasyOptions& o) {
  net_.quic_origin.clear();
  if (!quic_allowed(engine_->config(), net_.target.url(), net_.proxy)) return;
  std::string origin = origin_of(net_.target.url());  // "https://host:port"
  int port = engine_->alt_svc().lookup(origin, AltSvcCache::Clock::now());
  if (port == 0) return;
  std::string host_port = origin.substr(sizeof("https://") - 1);
  std::string host = host_port.substr(0, host_port.rfind(':'));
  std::string line = host_port + ":" + host + ":" + std::to_string(port);
  net_.connect_to = curl_slist_append(nullptr, line.c_str());
  if (!net_.connect_to) return;
  o.need(CURLOPT_CONNECT_TO, net_.connect_to);
  net_.easy_carried_quic = true;
  // HTTP/3 only: libcurl's own fallback would go to the alternative's port over TCP.
  o.need(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_3ONLY));
  uint32_t test_timeout = test_quic_connect_timeout_ms();
  o.need(CURLOPT_CONNECTTIMEOUT_MS,
         test_timeout ? static_cast<long>(test_timeout) : kQuicConnectTimeoutMs);
  net_.quic_origin = std::move(origin);
}

void RequestCore::note_alt_svc() {
  AltSvcCache& cache = engine_->alt_svc();
  if (!net_.quic_origin.empty()) {
    // A response came over QUIC: from here on its failures are the request's.
    cache.mark_working(net_.quic_origin);
    net_.quic_origin.clear();
  }
  if (!quic_allowed(engine_->config(), net_.target.url(), net_.proxy)) return;
  std::string value;
  bool present = false;
  for (const auto& h : net_.head.headers()) {
    if (!equals_no_case(h.first, "Alt-Svc")) continue;
    if (present) value += ", ";
    value += h.second;
    present = true;
  }
  if (present) cache.update(origin_of(net_.target.url()), value, AltSvcCache::Clock::now());
}

bool RequestCore::quic_fallback(CURLcode result, bool connected) {
  if (net_.quic_origin.empty()) return false;
  std::string origin = std::move(net_.quic_origin);
  net_.quic_origin.clear();
  // Once a QUIC connection was up the request may have reached the server:
  // its failure is reported, not retried.
  if (result == CURLE_OK || (connected && result != CURLE_QUIC_CONNECT_ERROR)) return false;
  engine_->alt_svc().mark_broken(origin, AltSvcCache::Clock::now());
  restart_transfer();  // over TCP
  return true;
}

}  // namespace cronet_curl
