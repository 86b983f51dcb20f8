// Shared by the request suites: the local http test server, a fresh registry
// per test, and ways to look at the library's live objects and call journal.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "cronet_curl_testctl.h"
#include "diag.h"
#include "request_call.h"
#include "request_test_support.h"
#include "session_manager.h"
#include "test_support.h"

namespace tarnwick {

using Kind = CallOutcome::Kind;

class DebugOn {
 public:
  DebugOn() { diag::set_debug(true); }
  ~DebugOn() { diag::set_debug(false); }
};

inline std::string text_of(const ByteBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Objects a request makes and must not leave behind once its call returned.
inline constexpr int kRequestKinds[] = {CronetTest_URL_REQUEST, CronetTest_URL_REQUEST_CALLBACK,
                                        CronetTest_EXECUTOR,    CronetTest_URL_REQUEST_PARAMS,
                                        CronetTest_HTTP_HEADER, CronetTest_UPLOAD_DATA_PROVIDER,
                                        CronetTest_BUFFER,      CronetTest_RUNNABLE};

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
inline bool back_to(const Live& before, bool after_response = false,
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

inline std::vector<std::string> journal() {
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
inline std::vector<std::string> calls_of(const std::vector<std::string>& lines,
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
  void SetUp() override { REQUIRE_SERVER_OF(server_); }
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

  inline static testing::LocalServer* server_ = nullptr;
  SessionManager manager_;
};

}  // namespace tarnwick
