// A session record and the registry's internals, shared by the session and
// request code. Not part of the binding's interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "channel.h"
#include "cronet_c.h"
#include "platform.h"
#include "rwlock.h"
#include "session_manager.h"
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

struct SessionManager::Impl {
  PoisonRwLock lock;
  std::unordered_map<std::string, std::unique_ptr<Session>> sessions;
};

}  // namespace tarnwick
