// Session teardown: the bounded drain waits, the exact lines, and what the
// record lets go of. Short fake limits stand in for the real 30 s / 10 s.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "diag.h"
#include "executor.h"
#include "session.h"
#include "stderr_capture.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::DebugSwitch;
using testing::StderrCapture;
using testing::with_prefix;

TEST(TeardownConstants, AreTheFixedLimitsAndPauses) {
  EXPECT_EQ(kRequestDrainLimitMs, 30000u);
  EXPECT_EQ(kExecutorDrainLimitMs, 10000u);
  EXPECT_EQ(kDrainPollMs, 50u);
  EXPECT_EQ(kPauseBeforeShutdownMs, 100u);
  EXPECT_EQ(kPauseBeforeDestroyMs, 200u);
  // The destructor uses exactly these.
  EXPECT_EQ(kTeardownTimings.request_drain_ms, kRequestDrainLimitMs);
  EXPECT_EQ(kTeardownTimings.executor_drain_ms, kExecutorDrainLimitMs);
  EXPECT_EQ(kTeardownTimings.poll_ms, kDrainPollMs);
  EXPECT_EQ(kTeardownTimings.pause_before_shutdown_ms, kPauseBeforeShutdownMs);
  EXPECT_EQ(kTeardownTimings.pause_before_destroy_ms, kPauseBeforeDestroyMs);
}

// ---- the drain wait -------------------------------------------------------

TEST(DrainWait, ZeroCounterNeedsNoWait) {
  Counter c{0};
  EXPECT_EQ(wait_for_zero(c, 0, 50), std::nullopt);
  EXPECT_EQ(wait_for_zero(c, 30000, 50), std::nullopt);
}

struct TimeoutCase {
  std::uint64_t limit_ms;
  std::uint64_t poll_ms;
};

class DrainTimeout : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(DrainTimeout, GivesUpPastTheLimitWithTheCount) {
  Counter c{3};
  const auto start = Clock::now();
  EXPECT_EQ(wait_for_zero(c, GetParam().limit_ms, GetParam().poll_ms),
            std::optional<std::size_t>(3));
  EXPECT_GT(Clock::now() - start, milliseconds(GetParam().limit_ms));
}

INSTANTIATE_TEST_SUITE_P(Limits, DrainTimeout,
                         ::testing::Values(TimeoutCase{60, 10}, TimeoutCase{100, 50},
                                           TimeoutCase{50, 200}),
                         [](const auto& info) {
                           return "limit_" + std::to_string(info.param.limit_ms) + "ms_poll_" +
                                  std::to_string(info.param.poll_ms) + "ms";
                         });

TEST(DrainWait, ReportsTheCountReadWhenTimeRunsOut) {
  Counter c{5};
  std::thread t([&] {
    std::this_thread::sleep_for(milliseconds(30));
    c.store(2);
  });
  EXPECT_EQ(wait_for_zero(c, 200, 10), std::optional<std::size_t>(2));
  t.join();
}

TEST(DrainWait, EndsWithinOnePollOfTheCounterReachingZero) {
  // A long poll makes "within one poll" distinguishable from "at the limit".
  constexpr int kPollMs = 400;
  Counter c{1};
  Clock::time_point dropped;
  std::thread t([&] {
    std::this_thread::sleep_for(milliseconds(kPollMs + kPollMs / 2));
    dropped = Clock::now();
    c.store(0);
  });
  EXPECT_EQ(wait_for_zero(c, 60000, kPollMs), std::nullopt);
  const auto returned = Clock::now();
  t.join();
  EXPECT_LT(returned - dropped, milliseconds(kPollMs + 300));
}

// ---- the whole teardown ---------------------------------------------------

constexpr TeardownTimings kShort{80, 40, 5, 1, 1};

struct Stuck {
  std::size_t active;
  std::size_t in_flight;
  bool debug;
};

class TeardownLines : public ::testing::TestWithParam<Stuck> {};

TEST_P(TeardownLines, WritesTheExactSequence) {
  const Stuck s = GetParam();
  DebugSwitch sw(s.debug);
  Session session;
  session.session_id = "0b5e3c1a-7d2f-4a9e-8c41-5f6a7b8c9d0e";
  session.active_requests = std::make_shared<Counter>(s.active);
  session.in_flight_executors = std::make_shared<Counter>(s.in_flight);
  auto channel = CommandChannel::make();
  session.command_sender = channel.first;

  StderrCapture err;
  teardown_session(session, kShort);
  const auto lines = err.lines();

  const std::string id = "0b5e3c1a-7d2f-4a9e-8c41-5f6a7b8c9d0e";
  std::vector<std::string> expected;
  auto debug = [&](std::string l) {
    if (s.debug) expected.push_back("[DEBUG] Session::drop - " + l);
  };
  debug("Starting for session " + id);
  debug("active_requests=" + std::to_string(s.active));
  if (s.active > 0) {
    debug("Waiting for " + std::to_string(s.active) + " active requests to complete");
    expected.push_back("[WARN] Session::drop - Timeout waiting for " + std::to_string(s.active) +
                       " active requests");
  }
  debug("in_flight_executors=" + std::to_string(s.in_flight));
  if (s.in_flight > 0) {
    debug("Waiting for " + std::to_string(s.in_flight) + " in-flight executors");
    expected.push_back("[WARN] Session::drop - Timeout waiting for " + std::to_string(s.in_flight) +
                       " in-flight executors");
  }
  debug("Calling Cronet_Engine_Shutdown");
  debug("Calling Cronet_Engine_Destroy");
  debug("Engine destroyed");
  debug("Finished for session " + id);
  EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, TeardownLines,
                         ::testing::Values(Stuck{0, 0, true}, Stuck{0, 0, false}, Stuck{1, 0, true},
                                           Stuck{1, 0, false}, Stuck{0, 2, true}, Stuck{4, 7, true},
                                           Stuck{4, 7, false}),
                         [](const auto& info) {
                           return "active_" + std::to_string(info.param.active) + "_in_flight_" +
                                  std::to_string(info.param.in_flight) +
                                  (info.param.debug ? "_debug" : "");
                         });

TEST(Teardown, CountersDrainedMeanwhileEndTheWaitsWithoutWarnings) {
  Session session;
  session.session_id = "s";
  session.active_requests = std::make_shared<Counter>(2);
  session.in_flight_executors = std::make_shared<Counter>(1);
  session.command_sender = CommandChannel::make().first;
  std::thread drainer([a = session.active_requests, f = session.in_flight_executors] {
    std::this_thread::sleep_for(milliseconds(40));
    a->store(0);
    f->store(0);
  });
  StderrCapture err;
  teardown_session(session, TeardownTimings{20000, 20000, 5, 1, 1});
  drainer.join();
  EXPECT_TRUE(with_prefix(err.lines(), "[WARN]").empty());
}

TEST(Teardown, ReleasesTheRecordSoTheExecutorThreadEnds) {
  auto in_flight = std::make_shared<Counter>(0);
  std::weak_ptr<Counter> watch = in_flight;
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), in_flight));

  Session session;
  session.session_id = "s";
  session.active_requests = std::make_shared<Counter>(0);
  session.in_flight_executors = std::move(in_flight);
  session.command_sender = std::move(tx);
  teardown_session(session, kShort);

  EXPECT_TRUE(session.session_id.empty());
  EXPECT_EQ(session.active_requests, nullptr);
  EXPECT_EQ(session.in_flight_executors, nullptr);
  EXPECT_FALSE(session.command_sender);
  EXPECT_EQ(session.engine, nullptr);
  // The session held the only sender, so the thread finishes and drops its reference.
  EXPECT_TRUE(testing::eventually([&] { return watch.expired(); }));

  // Tearing down again (the destructor will) writes nothing and stops nothing.
  DebugSwitch on(true);
  StderrCapture err;
  teardown_session(session, kShort);
  EXPECT_EQ(err.finish(), "");
}

}  // namespace
}  // namespace tarnwick
