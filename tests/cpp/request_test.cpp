// Requests end to end against a local server: responses, failures, admission
// against the session's limit, refused input, and the release paths.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cronet_curl_testctl.h"
#include "diag.h"
#include "fault.h"
#include "request.h"
#include "request_call.h"
#include "request_test_support.h"
#include "stderr_capture.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using Kind = CallOutcome::Kind;
using testing::StderrCapture;
using testing::with_prefix;

class DebugOn {
 public:
  DebugOn() { diag::set_debug(true); }
  ~DebugOn() { diag::set_debug(false); }
};

std::string text_of(const ByteBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Objects a request makes and must not leave behind once its call returned.
constexpr int kRequestKinds[] = {CronetTest_URL_REQUEST,        CronetTest_URL_REQUEST_CALLBACK,
                                 CronetTest_EXECUTOR,           CronetTest_URL_REQUEST_PARAMS,
                                 CronetTest_HTTP_HEADER,        CronetTest_UPLOAD_DATA_PROVIDER,
                                 CronetTest_BUFFER,             CronetTest_RUNNABLE};

struct Live {
  std::vector<std::int64_t> counts;
  static Live now() {
    Live l;
    for (int k : kRequestKinds) l.counts.push_back(CronetTest_LiveObjects(k));
    return l;
  }
  std::int64_t of(int kind) const {
    for (std::size_t i = 0; i < std::size(kRequestKinds); ++i)
      if (kRequestKinds[i] == kind) return counts[i];
    return -1;
  }
};

// Waits until the live counts are back at `before` (runnables are freed by the
// executor thread just after they ran); reports the kinds that are not. The
// library may keep the headers of a response it received until its session
// closes, so those are left out after a response.
bool back_to(const Live& before, bool after_response = false,
             std::chrono::seconds bound = std::chrono::seconds(5)) {
  auto differs = [&](const Live& l, std::size_t i) {
    return l.counts[i] != before.counts[i] &&
           !(after_response && kRequestKinds[i] == CronetTest_HTTP_HEADER);
  };
  auto all_same = [&] {
    const Live l = Live::now();
    for (std::size_t i = 0; i < l.counts.size(); ++i)
      if (differs(l, i)) return false;
    return true;
  };
  if (testing::eventually(all_same, bound)) return true;
  const Live later = Live::now();
  for (std::size_t i = 0; i < later.counts.size(); ++i)
    if (differs(later, i))
      ADD_FAILURE() << CronetTest_ObjectKindName(kRequestKinds[i]) << ": " << later.counts[i]
                    << " alive, " << before.counts[i] << " before";
  return false;
}

std::vector<std::string> journal() {
  std::string buf(CronetTest_JournalRead(nullptr, 0) + 1, '\0');
  buf.resize(CronetTest_JournalRead(buf.data(), buf.size()));
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(buf.substr(start, nl - start));
  if (start < buf.size()) out.push_back(buf.substr(start));
  return out;
}

// The journal lines that start with one of the given prefixes, in order.
std::vector<std::string> calls_of(const std::vector<std::string>& lines,
                                  std::initializer_list<std::string> prefixes) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    for (const auto& p : prefixes)
      if (l.rfind(p, 0) == 0) {
        out.push_back(l);
        break;
      }
  return out;
}

class RequestTest : public ::testing::Test {
 protected:
  void TearDown() override { CronetTest_Reset(); }

  static void SetUpTestSuite() { server_ = new testing::LocalServer("http"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  std::string open_session(std::uint64_t timeout_ms = kDefaultTimeoutMs) {
    SessionConfig config;
    config.timeout_ms = timeout_ms;
    std::string id = manager_.create_session(std::move(config));
    EXPECT_FALSE(id.empty());
    return id;
  }

  static RequestSpec get(const std::string& url, std::vector<HeaderPair> headers = {}) {
    RequestSpec spec;
    spec.method = "GET";
    spec.url = url;
    spec.headers = std::move(headers);
    return spec;
  }

  CallOutcome call(const std::string& id, RequestSpec spec) {
    return perform_request(manager_, id, std::move(spec));
  }

  static testing::LocalServer* server_;
  SessionManager manager_;
};
testing::LocalServer* RequestTest::server_ = nullptr;

// ---- responses ---------------------------------------------------------------

TEST_F(RequestTest, DuplicateHeadersKeepTheirOrder) {
  const std::string id = open_session();
  CallOutcome o = call(id, get(server_->url("/dup-headers")));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  EXPECT_EQ(o.response.status_code, 200);
  EXPECT_EQ(text_of(o.response.body), "ok\n");
  std::vector<std::string> dups;
  for (const auto& h : o.response.headers)
    if (h.name == "X-Dup" || h.name == "Set-Cookie") dups.push_back(h.name + "=" + h.value);
  EXPECT_EQ(dups, (std::vector<std::string>{"X-Dup=first", "Set-Cookie=a=1; Path=/",
                                            "X-Dup=second", "Set-Cookie=b=2; Path=/"}));
}

TEST_F(RequestTest, RedirectChainYieldsOnlyTheFinalResponse) {
  const std::string id = open_session();
  CallOutcome o = call(id, get(server_->url("/redirect-chain/3")));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  EXPECT_EQ(o.response.status_code, 200);
  for (const auto& h : o.response.headers) EXPECT_NE(h.name, "Location");
  EXPECT_NE(text_of(o.response.body).find("\"path\": \"/echo\""), std::string::npos);
}

TEST_F(RequestTest, InvalidUtf8InAHeaderValueIsRepaired) {
  const std::string id = open_session();
  CallOutcome o = call(id, get(server_->url("/invalid-utf8-header")));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  std::string value;
  for (const auto& h : o.response.headers)
    if (h.name == "X-Bad") value = h.value;
  EXPECT_EQ(value, "\xEF\xBF\xBD\xEF\xBF\xBD" "abc");
}

class BodySizes : public RequestTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(BodySizes, ArriveWhole) {
  const std::string id = open_session();
  const std::size_t n = GetParam();
  CallOutcome o = call(id, get(server_->url("/bytes/" + std::to_string(n))));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  EXPECT_EQ(o.response.body.size(), n);
}

INSTANTIATE_TEST_SUITE_P(Cases, BodySizes, ::testing::Values(0u, 1u, 32768u, 32769u, 5u << 20));

TEST_F(RequestTest, HeadersAreSentInOrderWithDuplicates) {
  const std::string id = open_session();
  CallOutcome o = call(id, get(server_->url("/echo"), {{"X-T", "1"}, {"X-Other", "x"}, {"X-T", "2"}}));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  const std::string json = text_of(o.response.body);
  const auto first = json.find("[\"X-T\", \"1\"]");
  const auto second = json.find("[\"X-T\", \"2\"]");
  ASSERT_NE(first, std::string::npos) << json;
  ASSERT_NE(second, std::string::npos) << json;
  EXPECT_LT(first, second);
}

// Ten requests in flight on one session, their callbacks posted from several
// library threads: each result must carry its own request's body.
TEST_F(RequestTest, ConcurrentRequestsKeepTheirOwnResponses) {
  const std::string id = open_session();
  CronetTest_SetPostFromManyThreads(true);
  std::vector<Admission> held;
  for (std::size_t i = 0; i < 10; ++i) {
    RequestSpec spec = get(server_->url("/bytes/" + std::to_string(40000 + 1000 * i)));
    auto a = manager_.send_request(id, spec);
    ASSERT_TRUE(a.has_value());
    held.push_back(std::move(*a));
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    auto result = held[i].receiver->recv();
    ASSERT_TRUE(result.has_value());
    auto* response = std::get_if<ResponseData>(&*result);
    ASSERT_NE(response, nullptr) << std::get<std::string>(*result);
    EXPECT_EQ(response->body.size(), 40000 + 1000 * i);
    EXPECT_TRUE(held[i].request->completed());
  }
}

// ---- failures ----------------------------------------------------------------

int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST_F(RequestTest, RefusedConnectionIsAFailureWithCronetsText) {
  const std::string id = open_session();
  DebugOn debug;
  StderrCapture err;
  CallOutcome o = call(id, get("http://127.0.0.1:" + std::to_string(closed_port()) + "/"));
  auto lines = err.lines();
  EXPECT_EQ(o.kind, Kind::kFailed);
  EXPECT_EQ(o.failure, "net::ERR_CONNECTION_REFUSED");
  EXPECT_TRUE(contains(lines, "[DEBUG] on_failed"));
  EXPECT_TRUE(contains(lines, "[DEBUG] complete_request: Err(\"net::ERR_CONNECTION_REFUSED\")"));
}

TEST_F(RequestTest, FailureAfterPartOfTheBodyCarriesOnlyTheText) {
  const std::string id = open_session();
  CallOutcome o = call(id, get(server_->url("/reset-mid-body")));
  EXPECT_EQ(o.kind, Kind::kFailed);
  EXPECT_FALSE(o.failure.empty());
  EXPECT_EQ(o.response.body.size(), 0u);
  EXPECT_TRUE(o.response.headers.empty());
}

TEST_F(RequestTest, UnknownSessionIsRefusedSilently) {
  StderrCapture err;
  CallOutcome o = call("00000000-0000-4000-8000-000000000000", get(server_->url("/")));
  EXPECT_EQ(o.kind, Kind::kRefused);
  EXPECT_EQ(err.finish(), "");
}

// Lets the process map only `headroom` more bytes than it has mapped now.
// Sanitizer runtimes reserve too much address space for this.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void limit_address_space(unsigned long headroom) {
  unsigned long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  rlimit lim{};
  ::getrlimit(RLIMIT_AS, &lim);
  lim.rlim_cur = pages * static_cast<unsigned long>(::sysconf(_SC_PAGESIZE)) + headroom;
  ::setrlimit(RLIMIT_AS, &lim);
}

// The body cannot grow without bound: the request must end with its own
// failure instead of taking the process down.
TEST_F(RequestTest, ResponseTooBigForMemoryFailsInsteadOfCrashing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string id = open_session();
  EXPECT_EXIT(
      {
        limit_address_space(256ul << 20);
        CallOutcome o = call(id, get(server_->url("/bytes/2147483648")));
        std::_Exit(o.kind == Kind::kFailed && o.failure == kOutOfMemoryText ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// No room for the forwarding thread's stack: a fault, and the request is
// still cancelled and released on the way out. Exit codes tell what went wrong.
TEST_F(RequestTest, ThreadStartFailureIsAFaultAndStillReleasesTheRequest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string id = open_session();
  EXPECT_EXIT(
      {
        const Live before = Live::now();
        limit_address_space(2ul << 20);
        int code = 1;
        try {
          call(id, get(server_->url("/stall")));
        } catch (const Fault& f) {
          code = f.text().rfind(kSpawnFailed, 0) == 0 ? 0 : 2;
        }
        if (code == 0 && Live::now().of(CronetTest_URL_REQUEST) != before.of(CronetTest_URL_REQUEST))
          code = 3;
        std::_Exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

// ---- admission -----------------------------------------------------------------

TEST_F(RequestTest, TheEleventhRequestIsRefusedUntilASlotIsFree) {
  const std::string id = open_session();
  std::vector<Admission> held;
  {
    DebugOn debug;
    StderrCapture err;
    for (int i = 0; i < 10; ++i) {
      RequestSpec spec = get(server_->url("/stall"));
      auto a = manager_.send_request(id, spec);
      ASSERT_TRUE(a.has_value()) << "request " << i;
      ASSERT_NE(a->request, nullptr);
      held.push_back(std::move(*a));
    }
    RequestSpec spec = get(server_->url("/stall"));
    EXPECT_FALSE(manager_.send_request(id, spec).has_value());
    auto lines = err.lines();
    EXPECT_TRUE(contains(lines, "[DEBUG] Using session " + id + " to send request to " +
                                    server_->url("/stall") + " (active: 1/10)"));
    EXPECT_TRUE(contains(lines, "[DEBUG] Using session " + id + " to send request to " +
                                    server_->url("/stall") + " (active: 10/10)"));
    EXPECT_EQ(with_prefix(lines, "[WARN] "),
              std::vector<std::string>{"[WARN] Session " + id +
                                       " reached max concurrent requests limit: 10/10"});
  }
  // Releasing one cancels it; the cancel callback gives its slot back.
  held.pop_back();
  RequestSpec spec = get(server_->url("/stall"));
  auto again = manager_.send_request(id, spec);
  EXPECT_TRUE(again.has_value());
  held.clear();
}

// ---- refused input ---------------------------------------------------------------

struct BadInput {
  std::string name;
  std::string method;
  std::string url;
  std::vector<HeaderPair> headers;
  std::string reason;  // empty: a NUL fault
};

class RefusedInput : public RequestTest, public ::testing::WithParamInterface<BadInput> {};

// Checked before admission: even a full session answers with the input's own
// problem, and nothing of it is left behind.
TEST_P(RefusedInput, TakesNoSlotOnAFullSession) {
  const BadInput& bad = GetParam();
  const std::string id = open_session();
  std::vector<Admission> held;
  for (int i = 0; i < 10; ++i) {
    RequestSpec spec = get(server_->url("/stall"));
    auto a = manager_.send_request(id, spec);
    ASSERT_TRUE(a.has_value());
    held.push_back(std::move(*a));
  }
  const Live before = Live::now();
  RequestSpec spec;
  spec.method = bad.method;
  spec.url = bad.url.empty() ? bad.url : server_->url(bad.url);
  spec.headers = bad.headers;
  spec.body = ByteBuffer("abc", 3);
  if (bad.reason.empty()) {
    try {
      call(id, std::move(spec));
      ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(f.text().rfind(kUnwrapErr, 0), 0u) << f.text();
    }
  } else {
    CallOutcome o = call(id, std::move(spec));
    EXPECT_EQ(o.kind, Kind::kFailed);
    EXPECT_EQ(o.failure, bad.reason);
  }
  EXPECT_TRUE(back_to(before));
  held.clear();
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedInput,
    ::testing::Values(
        BadInput{"nul_url", "GET", "/\0x"s, {}, ""},
        BadInput{"nul_header_value", "GET", "/", {{"X", "v\0"s}}, ""},
        BadInput{"method_not_token", "GE T", "/", {}, "invalid HTTP method 'GE T'"},
        BadInput{"header_value_crlf", "GET", "/", {{"X-A", "a\r\nX-B: b"}},
                 "invalid HTTP header value for 'X-A'"}),
    [](const auto& info) { return info.param.name; });

// ---- release -------------------------------------------------------------------

TEST_F(RequestTest, ZeroTimeoutFailsAtOnce) {
  const std::string id = open_session(0);
  CallOutcome o = call(id, get(server_->url("/delay?ms=500")));
  EXPECT_EQ(o.kind, Kind::kTimeout);
  EXPECT_EQ(o.timeout_ms, 0u);
}

TEST_F(RequestTest, HugeTimeoutMeansNoDeadline) {
  const std::string id = open_session(UINT64_MAX);
  CallOutcome o = call(id, get(server_->url("/delay?ms=50")));
  EXPECT_EQ(o.kind, Kind::kResponse) << o.failure;
}

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
  EXPECT_FALSE(contains(lines, "[DEBUG] CronetRequest::drop - Request not completed, canceling..."));
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
  EXPECT_EQ(calls_of(journal(), {"Cronet_UrlRequest_Cancel", "Cronet_UrlRequest_Destroy"}),
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
  EXPECT_EQ(with_prefix(lines, "[WARN] "),
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
        InitRefusal{"bad_method", "GE T", {}, false,
                    "Cronet_UrlRequest_InitWithParams returned -104"},
        InitRefusal{"bad_header_with_body", "POST", {{"X A", "v"}}, true,
                    "Cronet_UrlRequest_InitWithParams returned -105"},
        InitRefusal{"empty_header_name", "GET", {{"", "v"}}, false,
                    "Cronet_UrlRequest_InitWithParams returned -309"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
