// libFuzzer target: the proxy-rules parser never crashes, and what it accepts
// yields proxies libcurl can take (no spaces, control bytes or separators).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "proxy_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rules(reinterpret_cast<const char*>(data), size);
  cronet_curl::ProxyConfig config;
  if (!cronet_curl::ParseProxyRules(rules, &config)) return 0;
  for (const auto* p : {&config.http, &config.https}) {
    std::string s = p->ToCurl();
    for (char c : s)
      if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == ';' || c == '@' || c == 0x7f)
        abort();
    if (p->type != cronet_curl::ProxyServer::Type::kDirect && (p->port < 1 || p->port > 65535))
      abort();
  }
  return 0;
}
