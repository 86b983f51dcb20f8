// The registry with real engines from the bundled Cronet library: create, list,
// close, the refusals and faults of creation, and teardown on destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <set>

#include "cronet_curl_testctl.h"
#include "diag.h"
#include "executor.h"
#include "fault.h"
#include "session_manager.h"
#include "session_manager_internal.h"
#include "stderr_capture.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using testing::DebugSwitch;
using testing::StderrCapture;
using testing::with_prefix;

// Records the Cronet calls made while it lives.
class Journal {
 public:
  Journal() {
    CronetTest_JournalClear();
    CronetTest_JournalEnable(true);
  }
  ~Journal() {
    CronetTest_JournalEnable(false);
    CronetTest_JournalClear();
  }
  std::vector<std::string> lines() const {
    const std::size_t n = CronetTest_JournalRead(nullptr, 0);
    std::string text(n + 1, '\0');
    CronetTest_JournalRead(text.data(), text.size());
    text.resize(n);
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      out.push_back(text.substr(start, nl - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
  }
};

std::int64_t live(CronetTest_ObjectKind kind) { return CronetTest_LiveObjects(kind); }

std::string fault_text(const std::function<void()>& body) {
  StderrCapture quiet;
  try {
    body();
  } catch (const Fault& f) {
    return f.text();
  }
  return "(no fault)";
}

TEST(SessionManager, CreateListCloseRoundTrip) {
  SessionManager manager;
  EXPECT_TRUE(manager.list_sessions().empty());

  const std::string id = manager.create_session(SessionConfig{});
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(manager.list_sessions(), std::vector<std::string>{id});

  std::string upper = id;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_NE(upper, id);
  EXPECT_FALSE(manager.close_session(upper));
  EXPECT_EQ(manager.list_sessions(), std::vector<std::string>{id});

  EXPECT_TRUE(manager.close_session(id));
  EXPECT_TRUE(manager.list_sessions().empty());
  EXPECT_FALSE(manager.close_session(id));
  EXPECT_FALSE(manager.close_session(""));
}

TEST(SessionManager, SessionsGetDistinctIdentifiersAndAllAreListed) {
  SessionManager manager;
  std::set<std::string> made;
  for (int i = 0; i < 3; ++i) made.insert(manager.create_session(SessionConfig{}));
  ASSERT_EQ(made.size(), 3u);
  const auto listed = manager.list_sessions();
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), made);
  EXPECT_EQ(listed.size(), 3u);
}

TEST(SessionManager, CloseWritesItsDebugLinesAroundTheTeardown) {
  SessionManager manager;
  const std::string id = manager.create_session(SessionConfig{});
  DebugSwitch on(true);
  StderrCapture err;
  EXPECT_FALSE(manager.close_session("nope"));
  EXPECT_TRUE(manager.close_session(id));
  const auto lines = err.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "[DEBUG] Session not found: nope");
  EXPECT_EQ(lines[1], "[DEBUG] Session::drop - Starting for session " + id);
  EXPECT_EQ(lines[lines.size() - 2], "[DEBUG] Session::drop - Finished for session " + id);
  EXPECT_EQ(lines.back(), "[DEBUG] Closed session: " + id);
  // An idle session has nothing to wait for.
  EXPECT_TRUE(with_prefix(lines, "[WARN]").empty());
  EXPECT_TRUE(with_prefix(lines, "[DEBUG] Session::drop - Waiting").empty());
}

TEST(SessionManager, CreatedLineCarriesTheLimit) {
  SessionManager manager;
  DebugSwitch on(true);
  StderrCapture err;
  const std::string id = manager.create_session(SessionConfig{});
  EXPECT_EQ(with_prefix(err.lines(), "[DEBUG] Created session: "),
            std::vector<std::string>{"[DEBUG] Created session: " + id + " (max concurrent: 10)"});
}

TEST(SessionManager, DestructionTearsEverySessionDownOneAfterAnother) {
  std::vector<std::string> ids;
  std::vector<std::string> lines;
  {
    auto manager = std::make_unique<SessionManager>();
    for (int i = 0; i < 3; ++i) ids.push_back(manager->create_session(SessionConfig{}));
    DebugSwitch on(true);
    StderrCapture err;
    manager.reset();
    lines = err.lines();
  }
  std::vector<std::string> bounds;
  for (const auto& l : lines) {
    if (l.find("Starting for session") != std::string::npos ||
        l.find("Finished for session") != std::string::npos)
      bounds.push_back(l);
  }
  ASSERT_EQ(bounds.size(), 6u);
  std::set<std::string> torn;
  for (std::size_t i = 0; i < 6; i += 2) {
    // Each teardown finishes before the next one starts.
    const std::string id = bounds[i].substr(bounds[i].rfind(' ') + 1);
    EXPECT_EQ(bounds[i], "[DEBUG] Session::drop - Starting for session " + id);
    EXPECT_EQ(bounds[i + 1], "[DEBUG] Session::drop - Finished for session " + id);
    torn.insert(id);
  }
  EXPECT_EQ(torn, std::set<std::string>(ids.begin(), ids.end()));
}

TEST(SessionManager, NulInProxyRulesFaultsAndRegistersNothing) {
  SessionManager manager;
  SessionConfig config;
  config.proxy_rules = std::string("http://127.0.0.1:1\0x", 20);
  const std::string text = fault_text([&] { manager.create_session(config); });
  EXPECT_EQ(text.rfind("Invalid proxy string", 0), 0u) << text;
  EXPECT_TRUE(manager.list_sessions().empty());
  // The registry stays usable.
  EXPECT_EQ(manager.create_session(SessionConfig{}).size(), 36u);
}

TEST(SessionManager, ExecutorThreadStartFailureFaultsAndRegistersNothing) {
  SessionManager manager;
  const auto previous =
      set_executor_thread_starter([](CommandChannel::Receiver, SharedCounter) { return false; });
  const std::string text = fault_text([&] { manager.create_session(SessionConfig{}); });
  set_executor_thread_starter(previous);
  EXPECT_EQ(text.rfind(kSpawnFailed, 0), 0u) << text;
  EXPECT_TRUE(manager.list_sessions().empty());
  EXPECT_EQ(manager.create_session(SessionConfig{}).size(), 36u);
}

// ---- the Cronet calls of creation and close --------------------------------

struct ConfigCase {
  const char* name;
  std::optional<std::string> proxy_rules;
  bool skip_cert_verify;
  std::vector<std::string> expected;
};

class EngineCalls : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(EngineCalls, CallCronetInOrderAndShutDownOnClose) {
  const ConfigCase& c = GetParam();
  SessionManager manager;
  SessionConfig config;
  config.proxy_rules = c.proxy_rules;
  config.skip_cert_verify = c.skip_cert_verify;
  const auto params_before = live(CronetTest_ENGINE_PARAMS);
  const auto engines_before = live(CronetTest_ENGINE);
  std::string id;
  {
    Journal journal;
    id = manager.create_session(config);
    EXPECT_EQ(journal.lines(), c.expected);
  }
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(live(CronetTest_ENGINE_PARAMS), params_before);
  EXPECT_EQ(live(CronetTest_ENGINE), engines_before + 1);
  {
    Journal journal;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(manager.close_session(id));
    // The two fixed pauses are always taken, even for an idle session.
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kPauseBeforeShutdownMs + kPauseBeforeDestroyMs));
    EXPECT_EQ(journal.lines(),
              (std::vector<std::string>{"Cronet_Engine_Shutdown()", "Cronet_Engine_Destroy()"}));
  }
  EXPECT_EQ(live(CronetTest_ENGINE), engines_before);
}

std::vector<std::string> creation(std::vector<std::string> proxy, std::vector<std::string> skip) {
  std::vector<std::string> out{"Cronet_Engine_Create()", "Cronet_EngineParams_Create()"};
  out.insert(out.end(), proxy.begin(), proxy.end());
  out.insert(out.end(), {"Cronet_EngineParams_enable_quic_set(true)",
                         "Cronet_EngineParams_enable_http2_set(true)",
                         "Cronet_EngineParams_enable_brotli_set(true)"});
  out.insert(out.end(), skip.begin(), skip.end());
  out.insert(out.end(), {"Cronet_Engine_StartWithParams()", "Cronet_EngineParams_Destroy()"});
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Configs, EngineCalls,
    ::testing::Values(
        ConfigCase{"defaults", std::nullopt, false, creation({}, {})},
        ConfigCase{"empty_proxy", std::string(), false,
                   creation({"Cronet_EngineParams_proxy_rules_set(\"\")"}, {})},
        ConfigCase{"proxy_and_skip", std::string("http://127.0.0.1:3128"), true,
                   creation({"Cronet_EngineParams_proxy_rules_set(\"http://127.0.0.1:3128\")"},
                            {"Cronet_EngineParams_skip_cert_verify_set(true)"})},
        ConfigCase{"skip_only", std::nullopt, true,
                   creation({}, {"Cronet_EngineParams_skip_cert_verify_set(true)"})}),
    [](const auto& info) { return std::string(info.param.name); });

int g_thread_starts = 0;
bool counting_starter(CommandChannel::Receiver rx, SharedCounter in_flight) {
  ++g_thread_starts;
  return start_executor_thread(std::move(rx), std::move(in_flight));
}

class EngineStartFailure : public ::testing::TestWithParam<int> {};

TEST_P(EngineStartFailure, ReturnsEmptyLogsTheCodeAndLeavesNothing) {
  const int code = GetParam();
  SessionManager manager;
  const std::string kept = manager.create_session(SessionConfig{});
  const auto engines_before = live(CronetTest_ENGINE);
  const auto params_before = live(CronetTest_ENGINE_PARAMS);
  g_thread_starts = 0;
  const auto previous = set_executor_thread_starter(&counting_starter);

  CronetTest_FailNextEngineStarts(1, code);
  std::string id;
  std::vector<std::string> lines;
  std::vector<std::string> calls;
  {
    Journal journal;
    StderrCapture err;
    id = manager.create_session(SessionConfig{});
    lines = err.lines();
    calls = journal.lines();
  }
  set_executor_thread_starter(previous);
  CronetTest_FailNextEngineStarts(0, 0);

  EXPECT_EQ(id, "");
  // The error line does not depend on the debug switch.
  EXPECT_EQ(lines, std::vector<std::string>{"[ERROR] Failed to create session engine: " +
                                            std::to_string(code)});
  EXPECT_EQ(manager.list_sessions(), std::vector<std::string>{kept});
  EXPECT_EQ(g_thread_starts, 0);
  ASSERT_GE(calls.size(), 3u);
  // Params destroyed once, then the engine destroyed without a shutdown.
  EXPECT_EQ(calls[calls.size() - 3], "Cronet_Engine_StartWithParams()");
  EXPECT_EQ(calls[calls.size() - 2], "Cronet_EngineParams_Destroy()");
  EXPECT_EQ(calls.back(), "Cronet_Engine_Destroy()");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Cronet_Engine_Shutdown()"), 0);
  EXPECT_EQ(live(CronetTest_ENGINE), engines_before);
  EXPECT_EQ(live(CronetTest_ENGINE_PARAMS), params_before);
}

INSTANTIATE_TEST_SUITE_P(Codes, EngineStartFailure,
                         ::testing::Values(Cronet_RESULT_ILLEGAL_STATE,
                                           Cronet_RESULT_ILLEGAL_ARGUMENT,
                                           Cronet_RESULT_ILLEGAL_STATE_ENGINE_ALREADY_STARTED, 7));

TEST(SessionManager, NulInProxyRulesLeavesNoCronetObjectBehind) {
  SessionManager manager;
  const auto engines_before = live(CronetTest_ENGINE);
  const auto params_before = live(CronetTest_ENGINE_PARAMS);
  SessionConfig config;
  config.proxy_rules = std::string("\0", 1);
  Journal journal;
  fault_text([&] { manager.create_session(config); });
  EXPECT_TRUE(journal.lines().empty());
  EXPECT_EQ(live(CronetTest_ENGINE), engines_before);
  EXPECT_EQ(live(CronetTest_ENGINE_PARAMS), params_before);
}

TEST(SessionManager, ThreadStartFailureShutsTheStartedEngineDownAndDestroysIt) {
  SessionManager manager;
  const auto engines_before = live(CronetTest_ENGINE);
  const auto previous =
      set_executor_thread_starter([](CommandChannel::Receiver, SharedCounter) { return false; });
  std::vector<std::string> calls;
  {
    Journal journal;
    fault_text([&] { manager.create_session(SessionConfig{}); });
    calls = journal.lines();
  }
  set_executor_thread_starter(previous);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "Cronet_Engine_Shutdown()");
  EXPECT_EQ(calls.back(), "Cronet_Engine_Destroy()");
  EXPECT_EQ(live(CronetTest_ENGINE), engines_before);
}

TEST(Teardown, StuckRequestsTimeOutAndTheEngineIsStillShutDownAndDestroyed) {
  Cronet_EnginePtr engine = Cronet_Engine_Create();
  Cronet_EngineParamsPtr params = Cronet_EngineParams_Create();
  ASSERT_EQ(Cronet_Engine_StartWithParams(engine, params), Cronet_RESULT_SUCCESS);
  Cronet_EngineParams_Destroy(params);
  const auto engines_with = live(CronetTest_ENGINE);

  Session session;
  session.session_id = "stuck";
  session.engine = engine;
  session.active_requests = std::make_shared<Counter>(1);
  session.in_flight_executors = std::make_shared<Counter>(0);
  session.command_sender = CommandChannel::make().first;
  std::vector<std::string> lines;
  std::vector<std::string> calls;
  {
    Journal journal;
    StderrCapture err;
    teardown_session(session, TeardownTimings{60, 60, 5, 1, 1});
    lines = err.lines();
    calls = journal.lines();
  }
  EXPECT_EQ(lines, std::vector<std::string>{
                       "[WARN] Session::drop - Timeout waiting for 1 active requests"});
  EXPECT_EQ(calls,
            (std::vector<std::string>{"Cronet_Engine_Shutdown()", "Cronet_Engine_Destroy()"}));
  EXPECT_EQ(live(CronetTest_ENGINE), engines_with - 1);
}

// ---- the execute function with Cronet's own executor and runnables --------

struct RunRecord {
  std::atomic<int> runs{0};
  std::thread::id thread;
};

TEST(ExecuteFunction, CronetRunnablesRunOnTheSessionThreadAndAreCounted) {
  auto in_flight = std::make_shared<Counter>(0);
  auto [tx, rx] = CommandChannel::make();
  ASSERT_TRUE(start_executor_thread(std::move(rx), in_flight));
  ExecutorContext context(tx, in_flight);
  Cronet_ExecutorPtr executor = Cronet_Executor_CreateWith(&execute_on_session_thread);
  Cronet_Executor_SetClientContext(executor, &context);

  const auto runnables_before = live(CronetTest_RUNNABLE);
  RunRecord record;
  for (int i = 0; i < 20; ++i) {
    Cronet_RunnablePtr r = Cronet_Runnable_CreateWith([](Cronet_RunnablePtr self) {
      auto* rec = static_cast<RunRecord*>(Cronet_Runnable_GetClientContext(self));
      rec->thread = std::this_thread::get_id();
      rec->runs.fetch_add(1);
    });
    Cronet_Runnable_SetClientContext(r, &record);
    Cronet_Executor_Execute(executor, r);
  }
  ASSERT_TRUE(testing::eventually([&] { return in_flight->load() == 0 && record.runs == 20; }));
  EXPECT_NE(record.thread, std::this_thread::get_id());
  // Each runnable was destroyed after it ran.
  EXPECT_EQ(live(CronetTest_RUNNABLE), runnables_before);
  Cronet_Executor_Destroy(executor);
}

}  // namespace
}  // namespace tarnwick
