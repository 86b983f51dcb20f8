// Requests end to end against a local server: responses, failures, admission
// against the session's limit, refused input and deadlines.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fault.h"
#include "request.h"
#include "request_fixture.h"
#include "stderr_capture.h"

namespace tarnwick {
namespace {

using testing::StderrCapture;
using testing::with_prefix;
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
  EXPECT_EQ(dups, (std::vector<std::string>{"X-Dup=first", "Set-Cookie=a=1; Path=/", "X-Dup=second",
                                            "Set-Cookie=b=2; Path=/"}));
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
  EXPECT_EQ(value,
            "\xEF\xBF\xBD\xEF\xBF\xBD"
            "abc");
}

class BodySizes : public RequestTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(BodySizes, ArriveWhole) {
  const std::string id = open_session();
  const std::size_t n = GetParam();
  CallOutcome o = call(id, get(server_->url("/bytes/" + std::to_string(n))));
  ASSERT_EQ(o.kind, Kind::kResponse) << o.failure;
  EXPECT_EQ(o.response.body.size(), n);
}

INSTANTIATE_TEST_SUITE_P(Cases, BodySizes, ::testing::Values(0u, 1u, 32768u, 32769u, 5u << 20),
                         ::testing::PrintToStringParamName());

TEST_F(RequestTest, HeadersAreSentInOrderWithDuplicates) {
  const std::string id = open_session();
  CallOutcome o =
      call(id, get(server_->url("/echo"), {{"X-T", "1"}, {"X-Other", "x"}, {"X-T", "2"}}));
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
        if (code == 0 &&
            Live::now().of(CronetTest_URL_REQUEST) != before.of(CronetTest_URL_REQUEST))
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
TEST_P(RefusedInput, TakesNoSlotAndComesAfterTheLimit) {
  const BadInput& bad = GetParam();
  const std::string id = open_session();
  std::vector<Admission> held;
  for (int i = 0; i < 9; ++i) {
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

  // The last slot is still free; once it is taken, the limit refuses first.
  RequestSpec last = get(server_->url("/stall"));
  auto a = manager_.send_request(id, last);
  ASSERT_TRUE(a.has_value());
  held.push_back(std::move(*a));
  RequestSpec again;
  again.method = bad.method;
  again.url = bad.url.empty() ? bad.url : server_->url(bad.url);
  again.headers = bad.headers;
  EXPECT_EQ(call(id, std::move(again)).kind, Kind::kRefused);
  held.clear();
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedInput,
    ::testing::Values(BadInput{"nul_url", "GET", "/\0x"s, {}, ""},
                      BadInput{"nul_header_value", "GET", "/", {{"X", "v\0"s}}, ""},
                      BadInput{"method_not_token", "GE T", "/", {}, "invalid HTTP method 'GE T'"},
                      BadInput{"header_value_crlf",
                               "GET",
                               "/",
                               {{"X-A", "a\r\nX-B: b"}},
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

}  // namespace
}  // namespace tarnwick
