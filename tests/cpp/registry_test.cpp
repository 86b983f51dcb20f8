// Registration into the registry map, without engines: replacement of a clashing
// identifier and the poisoned lock.
#include <gtest/gtest.h>

#include "diag.h"
#include "session_manager_internal.h"
#include "stderr_capture.h"

namespace tarnwick {
namespace {

using testing::DebugSwitch;
using testing::StderrCapture;
using testing::with_prefix;

// A record with everything but an engine; the returned receiver shows whether
// the record still holds its sender.
std::unique_ptr<Session> make_record(const std::string& id, CommandChannel::Receiver& rx) {
  auto s = std::make_unique<Session>();
  s->session_id = id;
  s->active_requests = std::make_shared<Counter>(0);
  s->in_flight_executors = std::make_shared<Counter>(0);
  auto channel = CommandChannel::make();
  s->command_sender = std::move(channel.first);
  rx = std::move(channel.second);
  return s;
}

bool sender_gone(CommandChannel::Receiver& rx) {
  std::optional<ExecutorCommand> out;
  return rx.recv_until(std::chrono::steady_clock::now(), out) ==
         CommandChannel::Receiver::Wait::kDisconnected;
}

TEST(Registration, WritesTheCreatedLineAndInserts) {
  SessionManager::Impl registry;
  DebugSwitch on(true);
  CommandChannel::Receiver rx;
  StderrCapture err;
  EXPECT_EQ(register_session(registry, make_record("id-1", rx)), "id-1");
  EXPECT_EQ(err.lines(),
            std::vector<std::string>{"[DEBUG] Created session: id-1 (max concurrent: 10)"});
  ASSERT_EQ(registry.sessions.count("id-1"), 1u);
  EXPECT_EQ(registry.sessions["id-1"]->session_id, "id-1");
  EXPECT_FALSE(sender_gone(rx));
}

TEST(Registration, ClashingIdentifierReplacesAndTearsDownTheOldRecord) {
  SessionManager::Impl registry;
  DebugSwitch on(true);
  CommandChannel::Receiver old_rx, new_rx, other_rx;
  register_session(registry, make_record("same", old_rx));
  register_session(registry, make_record("other", other_rx));
  Session* old_record = registry.sessions["same"].get();

  StderrCapture err;
  register_session(registry, make_record("same", new_rx));
  const auto lines = err.lines();

  EXPECT_EQ(registry.sessions.size(), 2u);
  EXPECT_NE(registry.sessions["same"].get(), old_record);
  // The old record was torn down by the time registration returned; the others stay.
  EXPECT_TRUE(sender_gone(old_rx));
  EXPECT_FALSE(sender_gone(new_rx));
  EXPECT_FALSE(sender_gone(other_rx));
  EXPECT_EQ(with_prefix(lines, "[DEBUG] Session::drop - Starting for session same").size(), 1u);
  EXPECT_EQ(with_prefix(lines, "[DEBUG] Session::drop - Finished for session same").size(), 1u);
}

TEST(Registration, PoisonedLockFaultsAndStillTearsTheRecordDown) {
  SessionManager::Impl registry;
  {
    StderrCapture quiet;
    try {
      PoisonRwLock::Exclusive g(registry.lock);
      raise_fault("interrupted while holding the registry");
    } catch (const Fault&) {
    }
  }
  CommandChannel::Receiver rx;
  StderrCapture err;
  try {
    register_session(registry, make_record("id", rx));
    ADD_FAILURE() << "registered under a poisoned lock";
  } catch (const Fault& f) {
    EXPECT_EQ(f.text().rfind(kUnwrapErr, 0), 0u);
  }
  EXPECT_TRUE(registry.sessions.empty());
  // Nothing leaks: the record that could not be inserted let its sender go.
  EXPECT_TRUE(sender_gone(rx));
}

}  // namespace
}  // namespace tarnwick
