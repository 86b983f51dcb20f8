// A local test server for the request suites: starts tests/servers/serve.py,
// reads its one JSON line for the port, and stops it by closing its stdin.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace tarnwick::testing {

class LocalServer {
 public:
  explicit LocalServer(const std::string& kind = "http") {
    // From the build, not __FILE__: ccache's base directory makes __FILE__ relative.
    const std::filesystem::path script = TARNWICK_TEST_SERVE_PY;
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string script_s = script.string();
    std::vector<char*> argv{const_cast<char*>("python3"), script_s.data(),
                            const_cast<char*>(kind.c_str()), nullptr};
    int rc = posix_spawnp(&pid_, "python3", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start the test server");
    stdin_fd_ = in[1];
    // The server stops when its stdout reader goes, so this end stays open.
    stdout_fd_ = out[0];
    std::string line;
    char c;
    while (::read(stdout_fd_, &c, 1) == 1 && c != '\n') line.push_back(c);
    std::string_view text(line);
    const auto at = text.find("\"port\":");
    if (at == std::string_view::npos) {
      stop();
      throw std::runtime_error("no port in: " + std::string(text));
    }
    port_ = std::stoi(std::string(text.substr(at + 7)));
  }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;
  ~LocalServer() { stop(); }

  int port() const { return port_; }
  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

 private:
  void stop() {
    if (stdin_fd_ >= 0) {
      ::close(stdin_fd_);
      stdin_fd_ = -1;
    }
    if (stdout_fd_ >= 0) {
      ::close(stdout_fd_);
      stdout_fd_ = -1;
    }
    if (pid_ > 0) {
      int status;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int port_ = 0;
};

// The string value of "key": "..." in a flat JSON text (no escapes needed here).
inline std::string json_field(std::string_view json, std::string_view key) {
  std::string pat(1, '"');
  pat.append(key).append("\": ");
  const auto at = json.find(pat);
  if (at == std::string_view::npos) return {};
  auto start = at + pat.size();
  if (json[start] == '"') {
    const auto end = json.find('"', start + 1);
    return std::string(json.substr(start + 1, end - start - 1));
  }
  const auto end = json.find_first_of(",}", start);
  return std::string(json.substr(start, end - start));
}

}  // namespace tarnwick::testing
