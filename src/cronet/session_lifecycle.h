// Session teardown pieces and the seams tests use to drive creation and teardown
// with short waits and a failing thread start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "session.h"

namespace tarnwick {

inline constexpr std::uint64_t kRequestDrainLimitMs = 30000;
inline constexpr std::uint64_t kExecutorDrainLimitMs = 10000;
inline constexpr std::uint64_t kDrainPollMs = 50;
inline constexpr std::uint64_t kPauseBeforeShutdownMs = 100;
inline constexpr std::uint64_t kPauseBeforeDestroyMs = 200;

struct TeardownTimings {
  std::uint64_t request_drain_ms;
  std::uint64_t executor_drain_ms;
  std::uint64_t poll_ms;
  std::uint64_t pause_before_shutdown_ms;
  std::uint64_t pause_before_destroy_ms;
};
inline constexpr TeardownTimings kTeardownTimings{kRequestDrainLimitMs, kExecutorDrainLimitMs,
                                                  kDrainPollMs, kPauseBeforeShutdownMs,
                                                  kPauseBeforeDestroyMs};

// Polls the counter every poll_ms until it reads 0 or strictly more than limit_ms
// have passed. nullopt when it drained; otherwise the count read when time ran out.
std::optional<std::size_t> wait_for_zero(const Counter& counter, std::uint64_t limit_ms,
                                         std::uint64_t poll_ms) noexcept;

// The whole teardown: drains, pauses, engine shutdown and destroy, then releases
// the record's members. A record already torn down is left alone.
void teardown_session(Session& session, const TeardownTimings& timings) noexcept;

// The last step of creation: writes the "Created session" line and inserts the
// record under the exclusive lock. A record already under the same identifier
// is replaced and torn down before the lock is let go. Returns the identifier.
std::string register_session(SessionManager::Impl& registry, std::unique_ptr<Session> session);

// Starts a session's executor thread; replaceable so tests can make it fail.
using ExecutorThreadStarter = bool (*)(CommandChannel::Receiver, SharedCounter);
ExecutorThreadStarter set_executor_thread_starter(ExecutorThreadStarter starter) noexcept;

}  // namespace tarnwick
