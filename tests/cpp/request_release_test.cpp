// How requests meet Cronet: the calls made at start and release, cancellation
// on timeout, a cancel that is never confirmed, and refusals by Cronet itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault.h"
#include "request.h"
#include "request_checks.h"
#include "request_fixture.h"
#include "stderr_capture.h"

namespace tarnwick {
namespace {

using testing::StderrCapture;
using testing::with_prefix;

// ---- calls into Cronet ----------------------------------------------------------

TEST_F(RequestTest, StartAndReleaseCallCronetInOrder) {
  const std::string id = open_session();
  CronetTest_JournalEnable(true);
  RequestSpec spec = get(server_->url("/echo"), {{"X-A", "1"}, {"X-A", "2"}});
  spec.method = "PUT";
  spec.body = ByteBuffer("payload", 7);
  CallOutcome o = call(id, std::move(spec));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  const auto lines = journal();
  const auto started = std::find(lines.begin(), lines.end(), "Cronet_UrlRequest_Start()");
  ASSERT_NE(started, lines.end());
  const std::vector<std::string> setup(lines.begin(), started + 1);
  const std::vector<std::string> after(started + 1, lines.end());
  const std::string url = "\"" + server_->url("/echo") + "\"";
  EXPECT_EQ(calls_of(setup, {"Cronet_Executor_", "Cronet_UrlRequestCallback_", "Cronet_UrlRequest_",
                             "Cronet_UrlRequestParams_", "Cronet_HttpHeader_",
                             "Cronet_UploadDataProvider_"}),
            (std::vector<std::string>{
                "Cronet_Executor_CreateWith()",
                "Cronet_Executor_SetClientContext()",
                "Cronet_UrlRequestCallback_CreateWith()",
                "Cronet_UrlRequestCallback_SetClientContext()",
                "Cronet_UrlRequest_Create()",
                "Cronet_UrlRequestParams_Create()",
                "Cronet_UrlRequestParams_http_method_set(\"PUT\")",
                "Cronet_UrlRequestParams_priority_set(4)",
                "Cronet_HttpHeader_Create()",
                "Cronet_HttpHeader_name_set(\"X-A\")",
                "Cronet_HttpHeader_value_set(\"1\")",
                "Cronet_UrlRequestParams_request_headers_add()",
                "Cronet_HttpHeader_Destroy()",
                "Cronet_HttpHeader_Create()",
                "Cronet_HttpHeader_name_set(\"X-A\")",
                "Cronet_HttpHeader_value_set(\"2\")",
                "Cronet_UrlRequestParams_request_headers_add()",
                "Cronet_HttpHeader_Destroy()",
                "Cronet_UploadDataProvider_CreateWith()",
                "Cronet_UploadDataProvider_SetClientContext()",
                "Cronet_UrlRequestParams_upload_data_provider_set()",
                "Cronet_UrlRequestParams_upload_data_provider_executor_set()",
                "Cronet_UrlRequest_InitWithParams(" + url + ")",
                "Cronet_UrlRequestParams_Destroy()",
                "Cronet_UrlRequest_Start()",
            }));
  EXPECT_EQ(calls_of(after, {"Cronet_UrlRequest_Destroy", "Cronet_UrlRequestCallback_Destroy",
                             "Cronet_Executor_Destroy", "Cronet_UploadDataProvider_Destroy",
                             "Cronet_UrlRequest_Cancel"}),
            (std::vector<std::string>{
                "Cronet_UrlRequest_Destroy()",
                "Cronet_UrlRequestCallback_Destroy()",
                "Cronet_Executor_Destroy()",
                "Cronet_UploadDataProvider_Destroy()",
            }));
}

TEST_F(RequestTest, ReleaseAfterTheResultDoesNotCancel) {
  const std::string id = open_session();
  const Live before = Live::now();
  CronetTest_JournalEnable(true);
  DebugOn debug;
  StderrCapture err;
  RequestSpec spec = get(server_->url("/echo"));
  spec.method = "POST";  // an empty body makes no provider, whatever the method
  CallOutcome o = call(id, std::move(spec));
  auto lines = err.lines();
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  EXPECT_TRUE(contains(lines, "[DEBUG] on_succeeded"));
  EXPECT_TRUE(contains(lines, "[DEBUG] complete_request: Ok(())"));
  EXPECT_FALSE(
      contains(lines, "[DEBUG] CronetRequest::drop - Request not completed, canceling..."));
  const auto calls = journal();
  EXPECT_TRUE(calls_of(calls, {"Cronet_UrlRequest_Cancel"}).empty());
  EXPECT_TRUE(calls_of(calls, {"Cronet_UploadDataProvider_"}).empty());
  EXPECT_TRUE(back_to(before, true));
  EXPECT_TRUE(manager_.close_session(id));
  EXPECT_TRUE(back_to(before));
}

TEST_F(RequestTest, TimeoutCancelsAndReleasesWithoutWarning) {
  const std::string id = open_session(200);
  const Live before = Live::now();
  CronetTest_JournalEnable(true);
  DebugOn debug;
  StderrCapture err;
  CallOutcome o = call(id, get(server_->url("/stall")));
  auto lines = err.lines();
  EXPECT_EQ(o.kind, Kind::kTimeout);
  EXPECT_EQ(o.timeout_ms, 200u);
  // The line order shows the release waited for the confirmation.
  std::vector<std::string> seen;
  for (const auto& l : lines)
    if (l.find("drop") != std::string::npos || l.find("cancel") != std::string::npos)
      seen.push_back(l);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "[DEBUG] CronetRequest::drop - Request not completed, canceling...",
                      "[DEBUG] on_canceled",
                  }));
  EXPECT_TRUE(contains(lines, "[DEBUG] complete_request: Err(\"Canceled\")"));
  EXPECT_TRUE(with_prefix(lines, "[WARN] ").empty());
  EXPECT_EQ(
      calls_of(journal(), {"Cronet_UrlRequest_Cancel", "Cronet_UrlRequest_Destroy"}),
      (std::vector<std::string>{"Cronet_UrlRequest_Cancel()", "Cronet_UrlRequest_Destroy()"}));
  EXPECT_TRUE(back_to(before));
}

// The one slow test: Cronet never confirms the cancel. The objects must stay
// alive past the warning, and go once the late terminal callback has run.
TEST_F(RequestTest, UnconfirmedCancelKeepsTheObjectsUntilTheLateCallback) {
  const std::string id = open_session(100);
  const Live before = Live::now();
  CronetTest_SetUnconfirmedCancels(true);
  StderrCapture err;
  const auto start = std::chrono::steady_clock::now();
  CallOutcome o = call(id, get(server_->url("/delay?ms=7000")));
  const auto took = std::chrono::steady_clock::now() - start;
  const Live after = Live::now();
  auto lines = err.lines();
  EXPECT_EQ(o.kind, Kind::kTimeout);
  EXPECT_GT(took, std::chrono::seconds(5));
  EXPECT_EQ(
      with_prefix(lines, "[WARN] "),
      std::vector<std::string>{"[WARN] CronetRequest::drop - Timeout waiting for cancel callback"});
  EXPECT_EQ(after.of(CronetTest_URL_REQUEST), before.of(CronetTest_URL_REQUEST) + 1);
  EXPECT_EQ(after.of(CronetTest_EXECUTOR), before.of(CronetTest_EXECUTOR) + 1);

  // The slot is still taken: nine more fit, the tenth does not.
  std::vector<Admission> held;
  for (int i = 0; i < 9; ++i) {
    RequestSpec spec = get(server_->url("/stall"));
    auto a = manager_.send_request(id, spec);
    ASSERT_TRUE(a.has_value());
    held.push_back(std::move(*a));
  }
  CronetTest_SetUnconfirmedCancels(false);
  {
    StderrCapture quiet;
    RequestSpec spec = get(server_->url("/stall"));
    EXPECT_FALSE(manager_.send_request(id, spec).has_value());
  }
  held.clear();

  // The response comes at about 7 s; its terminal callback frees everything.
  EXPECT_TRUE(back_to(before, true, std::chrono::seconds(15)));
  CallOutcome next = call(id, get(server_->url("/")));
  EXPECT_EQ(next.kind, Kind::kResponse) << next.failure;
}

// Past the input checks, Cronet's own refusal at init must give everything back.
struct InitRefusal {
  std::string name;
  std::string method;
  std::vector<HeaderPair> headers;
  bool body;
  std::string reason;
};

class InitRefused : public RequestTest, public ::testing::WithParamInterface<InitRefusal> {
 protected:
  void TearDown() override {
    set_input_checks_for_testing(true);
    RequestTest::TearDown();
  }
};

TEST_P(InitRefused, GivesTheSlotAndObjectsBack) {
  const InitRefusal& r = GetParam();
  const std::string id = open_session();
  const Live before = Live::now();
  set_input_checks_for_testing(false);
  RequestSpec spec = get(server_->url("/"), r.headers);
  spec.method = r.method;
  if (r.body) spec.body = ByteBuffer("abc", 3);
  CallOutcome o = call(id, std::move(spec));
  set_input_checks_for_testing(true);
  EXPECT_EQ(o.kind, Kind::kFailed);
  EXPECT_EQ(o.failure, r.reason);
  EXPECT_TRUE(back_to(before));

  std::vector<Admission> held;
  for (int i = 0; i < 10; ++i) {
    RequestSpec s = get(server_->url("/stall"));
    auto a = manager_.send_request(id, s);
    ASSERT_TRUE(a.has_value()) << "slot " << i << " was not given back";
    held.push_back(std::move(*a));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitRefused,
    ::testing::Values(
        InitRefusal{
            "bad_method", "GE T", {}, false, "Cronet_UrlRequest_InitWithParams returned -104"},
        InitRefusal{"bad_header_with_body",
                    "POST",
                    {{"X A", "v"}},
                    true,
                    "Cronet_UrlRequest_InitWithParams returned -105"},
        InitRefusal{"empty_header_name",
                    "GET",
                    {{"", "v"}},
                    false,
                    "Cronet_UrlRequest_InitWithParams returned -309"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
