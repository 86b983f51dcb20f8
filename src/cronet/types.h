// Value types shared by the registry, the request path and the Python binding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "byte_buffer.h"

namespace tarnwick {

inline constexpr std::size_t kMaxConcurrentRequests = 10;
inline constexpr std::uint64_t kDefaultTimeoutMs = 30000;

struct HeaderPair {
  std::string name;
  std::string value;
};

struct SessionConfig {
  std::optional<std::string> proxy_rules;
  std::uint64_t timeout_ms = kDefaultTimeoutMs;
  bool skip_cert_verify = false;
};

// Bytes the caller lends to a request instead of handing them over. They stay
// alive and unchanged until the call returns. A request abandoned while Cronet
// may still read them calls `keep(owner)` once, on the calling thread, which
// must then keep them alive for good.
struct LentBytes {
  std::span<const std::uint8_t> bytes;
  void (*keep)(void* owner) = nullptr;
  void* owner = nullptr;
};

struct RequestSpec {
  std::string method;
  std::string url;
  std::vector<HeaderPair> headers;
  ByteBuffer body;
  LentBytes lent_body;  // sent instead of `body` when not empty
};

struct ResponseData {
  std::int32_t status_code = 0;
  std::vector<HeaderPair> headers;
  ByteBuffer body;
};

// Exactly one outcome per request: a response, or a failure text.
using RequestResult = std::variant<ResponseData, std::string>;

}  // namespace tarnwick
