// A session record and its teardown, shared by the session and request code.
// Not part of the binding's interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "channel.h"
#include "cronet_c.h"
#include "platform.h"
#include "types.h"

namespace tarnwick {

using Counter = std::atomic<std::size_t>;
using SharedCounter = std::shared_ptr<Counter>;

// The one message of a session's command channel: run this runnable.
struct ExecutorCommand {
  Cronet_RunnablePtr runnable = nullptr;
};
using CommandChannel = Channel<ExecutorCommand>;

struct Session {
  std::string session_id;
  SessionConfig config;
  SharedCounter active_requests;
  SharedCounter in_flight_executors;
  CommandChannel::Sender command_sender;
  Cronet_EnginePtr engine = nullptr;
  std::size_t max_concurrent = kMaxConcurrentRequests;
  // The process whose engine and executor thread these are. In a child made by
  // fork() neither exists: the record is an orphan there.
  std::uint64_t owner_pid = platform::process_id();

  Session() = default;
  bool orphaned() const noexcept { return owner_pid != platform::process_id(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();  // teardown: drains, shuts the engine down, destroys it
};

// Teardown: how long it waits for what is still running, and its pauses.
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

}  // namespace tarnwick
