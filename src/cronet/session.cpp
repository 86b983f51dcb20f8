#include <string>

#include "diag.h"
#include "platform.h"
#include "session.h"

namespace tarnwick {

std::optional<std::size_t> wait_for_zero(const Counter& counter, std::uint64_t limit_ms,
                                         std::uint64_t poll_ms) noexcept {
  const std::uint64_t start = platform::monotonic_ns();
  const std::uint64_t limit_ns = limit_ms * 1000000ull;
  for (;;) {
    const std::size_t count = counter.load(std::memory_order_acquire);
    if (count == 0) return std::nullopt;
    // Exactly the limit is not yet over.
    if (platform::monotonic_ns() - start > limit_ns) return count;
    platform::sleep_ms(poll_ms);
  }
}

namespace {

std::size_t read(const SharedCounter& counter) {
  return counter ? counter->load(std::memory_order_acquire) : 0;
}

// Inherited through fork(): the counters belong to threads of the parent that
// do not run here, the engine's sockets are still the parent's, and the
// channel's lock may have been held when the process was copied. So nothing is
// waited for, shut down or locked; what cannot be freed safely is left behind.
void abandon_orphan(Session& s) noexcept {
  TW_DEBUG("Session::drop - Session ", s.session_id, " was inherited from process ", s.owner_pid,
           "; leaving its engine to that process");
  s.engine = nullptr;
  s.command_sender.abandon();
  std::string().swap(s.session_id);
  s.config = SessionConfig{};
  s.active_requests.reset();
  s.in_flight_executors.reset();
}

}  // namespace

void teardown_session(Session& s, const TeardownTimings& t) noexcept {
  // A record that never got an engine and a sender has nothing to drain or stop,
  // and one already torn down must not shut its engine down twice.
  if (s.engine == nullptr && !s.command_sender) return;
  if (s.orphaned()) {
    abandon_orphan(s);
    return;
  }

  TW_DEBUG("Session::drop - Starting for session ", s.session_id);

  const std::size_t active = read(s.active_requests);
  TW_DEBUG("Session::drop - active_requests=", active);
  if (active > 0) {
    TW_DEBUG("Session::drop - Waiting for ", active, " active requests to complete");
    if (auto left = wait_for_zero(*s.active_requests, t.request_drain_ms, t.poll_ms))
      TW_WARN("Session::drop - Timeout waiting for ", *left, " active requests");
  }

  const std::size_t in_flight = read(s.in_flight_executors);
  TW_DEBUG("Session::drop - in_flight_executors=", in_flight);
  if (in_flight > 0) {
    TW_DEBUG("Session::drop - Waiting for ", in_flight, " in-flight executors");
    if (auto left = wait_for_zero(*s.in_flight_executors, t.executor_drain_ms, t.poll_ms))
      TW_WARN("Session::drop - Timeout waiting for ", *left, " in-flight executors");
  }

  platform::sleep_ms(t.pause_before_shutdown_ms);
  TW_DEBUG("Session::drop - Calling Cronet_Engine_Shutdown");
  if (s.engine != nullptr) Cronet_Engine_Shutdown(s.engine);
  platform::sleep_ms(t.pause_before_destroy_ms);
  TW_DEBUG("Session::drop - Calling Cronet_Engine_Destroy");
  if (s.engine != nullptr) Cronet_Engine_Destroy(s.engine);
  s.engine = nullptr;
  TW_DEBUG("Session::drop - Engine destroyed");
  TW_DEBUG("Session::drop - Finished for session ", s.session_id);

  // Released in this order; the sender goes last, which lets the executor
  // thread finish what is queued and end once no request holds a clone.
  std::string().swap(s.session_id);
  s.config = SessionConfig{};
  s.active_requests.reset();
  s.in_flight_executors.reset();
  s.command_sender.reset();
}

Session::~Session() { teardown_session(*this, kTeardownTimings); }

}  // namespace tarnwick
