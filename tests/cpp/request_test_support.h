// The local test server of the request suites: the http kind of
// tests/servers/serve.py, through the shared launcher (tests/support).
#pragma once

#include <string>
#include <string_view>

#include "test_servers.h"

namespace tarnwick::testing {

class LocalServer {
 public:
  explicit LocalServer(const std::string& kind = "http")
      : kind_(kind),
        line_(test_servers::ready_line(kind)),
        port_(test_servers::json_int(line_, "port")) {}
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // False when the server did not start: REQUIRE_SERVER_OF skips or fails then.
  bool available() const { return !line_.empty(); }
  const std::string& kind() const { return kind_; }
  int port() const { return port_; }
  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

 private:
  std::string kind_;
  std::string line_;
  int port_;
};

// The value of "key" in a flat JSON text (no escapes needed here).
inline std::string json_field(std::string_view json, std::string_view key) {
  return test_servers::json_value(std::string(json), std::string(key));
}

}  // namespace tarnwick::testing

// Skips the test when run by hand, fails it under CI (see test_servers.h).
#define REQUIRE_SERVER_OF(server) REQUIRE_TEST_SERVER((server)->available(), (server)->kind())
