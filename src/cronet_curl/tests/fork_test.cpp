// A child made by fork() inherits started engines whose network threads are
// not there and whose connections the parent still uses. Whatever the child
// does with such an engine, it must not abort or hang, and the parent's
// connection must survive it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace ctest {
namespace {

// Runs body in a forked child and returns its exit code; 128 + signal when it
// died of one, -1 when it had not ended after a generous bound (killed then).
int run_in_child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  for (int i = 0; i < 1200; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usleep(50 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

std::string fetch(Cronet_EnginePtr engine, const std::string& url) {
  TestRequest t(engine);
  if (t.init_and_start(url) != Cronet_RESULT_SUCCESS) return "not started";
  if (!t.wait()) return "no terminal callback";
  return t.events.back() == "succeeded" ? t.body : t.error_message;
}

enum class InChild { kShutdownThenDestroy, kDestroy, kRequest, kOwnEngine, kOwnEngineFirst };

struct ForkCase {
  const char* name;
  InChild action;
};

int child_body(InChild action, Cronet_EnginePtr inherited, const std::string& plain_url) {
  switch (action) {
    case InChild::kShutdownThenDestroy:
      if (Cronet_Engine_Shutdown(inherited) != Cronet_RESULT_SUCCESS) return 10;
      Cronet_Engine_Destroy(inherited);
      return 0;
    case InChild::kDestroy: Cronet_Engine_Destroy(inherited); return 0;
    case InChild::kRequest: {
      // Refused at once: nothing in this process would ever run it.
      TestRequest t(inherited);
      return t.init_and_start(plain_url) == Cronet_RESULT_ILLEGAL_STATE ? 0 : 11;
    }
    case InChild::kOwnEngine:
    case InChild::kOwnEngineFirst: {
      Cronet_EnginePtr own = start_engine();
      if (own == nullptr) return 12;
      const std::string body = fetch(own, plain_url);
      // The child's threads may now reuse what the parent's threads left.
      if (action == InChild::kOwnEngineFirst) {
        Cronet_Engine_Shutdown(inherited);
        Cronet_Engine_Destroy(inherited);
      }
      Cronet_Engine_Shutdown(own);
      Cronet_Engine_Destroy(own);
      return matches_pattern(body) && body.size() == 5000 ? 0 : 13;
    }
  }
  return 99;
}

class ForkedChild : public ::testing::TestWithParam<ForkCase> {};

TEST_P(ForkedChild, NeitherAbortsNorDisturbsTheParent) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support starting threads in a forked child";
#endif
  const std::string plain = http_base();
  REQUIRE_SERVER(plain);
  const std::string tls_info = server("http", "--tls");
  REQUIRE_TEST_SERVER(!tls_info.empty(), "http --tls");
  const std::string conn_url =
      "https://localhost:" + std::to_string(json_int(tls_info, "port")) + "/conn-id";

  EngineOptions o;
  o.skip_cert_verify = true;
  Cronet_EnginePtr engine = start_engine(o);
  ASSERT_NE(engine, nullptr);
  // A kept-alive TLS connection the child inherits: closing it from there
  // would send close_notify and end it for the parent too.
  const std::string first = fetch(engine, conn_url);
  ASSERT_NE(json_int(first, "conn_id"), -1) << first;

  const std::string plain_url = plain + "/bytes/5000";
  const InChild action = GetParam().action;
  EXPECT_EQ(run_in_child([&] { return child_body(action, engine, plain_url); }), 0);

  const std::string again = fetch(engine, conn_url);
  EXPECT_EQ(json_int(again, "conn_id"), json_int(first, "conn_id")) << again;
  EXPECT_EQ(json_int(again, "request_no"), json_int(first, "request_no") + 1) << again;
  stop_engine(engine);
}

// Delayed callbacks go through library threads ("lanes"); the child inherits
// lanes that are busy in the parent but none of their threads.
TEST(ForkedChildLanes, DelayedCallbacksStillArrive) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support starting threads in a forked child";
#endif
  const std::string plain = http_base();
  REQUIRE_SERVER(plain);
  Cronet_EnginePtr engine = start_engine();
  ASSERT_NE(engine, nullptr);
  CronetTest_SetCallbackDelayMs(1500);
  {
    // One request per lane, each with a callback waiting in it at the fork.
    std::vector<std::unique_ptr<TestRequest>> busy;
    for (int i = 0; i < 4; ++i) {
      busy.push_back(std::make_unique<TestRequest>(engine));
      ASSERT_EQ(busy.back()->init_and_start(plain + "/bytes/10"), Cronet_RESULT_SUCCESS);
    }
    const auto bound = Clock::now() + std::chrono::seconds(10);
    while (CronetTest_LiveObjects(CronetTest_RUNNABLE) < 4 && Clock::now() < bound) usleep(1000);
    ASSERT_GE(CronetTest_LiveObjects(CronetTest_RUNNABLE), 4);
    CronetTest_SetCallbackDelayMs(10);
    EXPECT_EQ(run_in_child([&] {
                Cronet_EnginePtr own = start_engine();
                if (own == nullptr) return 12;
                const std::string body = fetch(own, plain + "/bytes/5000");
                stop_engine(own);
                return matches_pattern(body) && body.size() == 5000 ? 0 : 13;
              }),
              0);
    for (auto& r : busy) EXPECT_TRUE(r->wait());
  }
  CronetTest_SetCallbackDelayMs(0);
  stop_engine(engine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForkedChild,
    ::testing::Values(ForkCase{"shutdown_then_destroy", InChild::kShutdownThenDestroy},
                      ForkCase{"destroy", InChild::kDestroy},
                      ForkCase{"request_on_inherited_engine", InChild::kRequest},
                      ForkCase{"own_engine", InChild::kOwnEngine},
                      ForkCase{"own_engine_then_inherited_destroyed", InChild::kOwnEngineFirst}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ctest
