// The local test servers (tests/servers/serve.py) for both GoogleTest suites,
// the core's and the library's. Each kind starts once per test program, on
// first use, and stops when the program's tests end.
//
// A server that cannot start skips the test with a message when run by hand;
// under CI (CI=true in the environment, as .ci/run sets it) it fails the test,
// so a broken server set-up cannot pass as a green run.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test_servers {

// The JSON ready line of `serve.py kind args`, or "" when it could not start.
std::string ready_line(const std::string& kind, const std::string& args = "");

// The http kind's base URL, e.g. "http://127.0.0.1:41234"; "" when unavailable.
std::string http_base();

// A number of a flat JSON text (the ready line, an /echo reply); -1 when absent.
int json_int(const std::string& json, const std::string& key);
// A value of a flat JSON text without escapes: a string's text or a number's
// digits; "" when absent.
std::string json_value(const std::string& json, const std::string& key);

// True under CI: a missing server or test control is a failure, not a skip.
bool required();

}  // namespace test_servers

// Skips (by hand) or fails (under CI) the current test when `available` is false.
#define REQUIRE_TEST_SERVER(available, what)                                        \
  do {                                                                              \
    if (!(available)) {                                                             \
      if (::test_servers::required())                                               \
        FAIL() << "test server " << (what) << " did not start (CI=true: required)"; \
      else                                                                          \
        GTEST_SKIP() << "test server " << (what) << " did not start; skipped";      \
    }                                                                               \
  } while (0)
