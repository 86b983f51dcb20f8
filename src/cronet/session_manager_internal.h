// SessionManager's internals: the registry map and the seams its tests use
// to register records directly and to make the executor thread fail to start.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "rwlock.h"
#include "session.h"
#include "session_manager.h"

namespace tarnwick {

struct SessionManager::Impl {
  PoisonRwLock lock;
  std::unordered_map<std::string, std::unique_ptr<Session>> sessions;
};

// The last step of creation: writes the "Created session" line and inserts the
// record under the exclusive lock. A record already under the same identifier
// is replaced and torn down before the lock is let go. Returns the identifier.
std::string register_session(SessionManager::Impl& registry, std::unique_ptr<Session> session);

// Starts a session's executor thread; replaceable so tests can make it fail.
using ExecutorThreadStarter = bool (*)(CommandChannel::Receiver, SharedCounter);
ExecutorThreadStarter set_executor_thread_starter(ExecutorThreadStarter starter) noexcept;

}  // namespace tarnwick
