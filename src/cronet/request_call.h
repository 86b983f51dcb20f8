// One blocking request call: admission, the forwarding thread, the deadline
// wait, and the release of the request, in that order.
#pragma once

#include <cstdint>
#include <string>

#include "session_manager.h"
#include "types.h"

namespace tarnwick {

struct CallOutcome {
  enum class Kind {
    kResponse,       // `response` is filled
    kFailed,         // "Request failed: {failure}"
    kRefused,        // "Failed to send request (session not found or concurrent limit reached)"
    kChannelClosed,  // "Channel closed unexpectedly"
    kTimeout,        // "Request timeout after {timeout_ms}ms"
    kHandoverDisconnected,  // "Timeout channel disconnected"
  };
  Kind kind = Kind::kRefused;
  ResponseData response;
  std::string failure;
  std::uint64_t timeout_ms = 0;
};

// Runs the whole call on the calling thread; returns only after the request was
// released. Internal faults propagate as tarnwick::Fault.
CallOutcome perform_request(SessionManager& manager, const std::string& session_id,
                            RequestSpec spec);

}  // namespace tarnwick
