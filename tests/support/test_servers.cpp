#include "test_servers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace test_servers {

namespace {

using Clock = std::chrono::steady_clock;

struct ServerProcess {
  pid_t pid = -1;
  int stdin_fd = -1;
  int stdout_fd = -1;  // kept open: the server stops when its stdout reader goes
  std::string line;
};

std::mutex g_servers_mu;
// Never freed: a test may still ask for a server while static objects go away.
auto* g_servers = new std::map<std::string, ServerProcess>;

std::string python_path() {
  const char* env = std::getenv("TARNWICK_TEST_PYTHON");
  if (env != nullptr && *env != '\0') return env;
  return TEST_SERVERS_PYTHON;
}

// Runs `python serve.py kind args` with pipes on its stdin and stdout and reads
// its ready line (up to 60 s). The script's path comes from the build, not
// __FILE__: ccache's base directory makes __FILE__ relative.
ServerProcess spawn(const std::string& kind, const std::string& args) {
  ServerProcess p;
  if (access(TEST_SERVERS_SERVE_PY, R_OK) != 0) return p;
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0) return p;
  if (pipe(out_pipe) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return p;
  }
  const std::string cmd =
      "exec '" + python_path() + "' '" TEST_SERVERS_SERVE_PY "' " + kind + " " + args;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(out_pipe[1]);
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return p;
  }
  fcntl(in_pipe[1], F_SETFD, FD_CLOEXEC);
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  char c;
  while (Clock::now() < deadline) {
    if (read(out_pipe[0], &c, 1) <= 0 || c == '\n') break;
    line += c;
  }
  if (line.empty() || line[0] != '{') {
    close(out_pipe[0]);
    close(in_pipe[1]);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return p;
  }
  p.pid = pid;
  p.stdin_fd = in_pipe[1];
  fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
  p.stdout_fd = out_pipe[0];
  p.line = line;
  return p;
}

// Stops every server when the program's tests end: closing stdin asks each to
// stop; one that has not gone after 5 s is killed.
class ServerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard<std::mutex> l(g_servers_mu);
    for (auto& kv : *g_servers) {
      if (kv.second.pid <= 0) continue;
      close(kv.second.stdin_fd);
      close(kv.second.stdout_fd);
    }
    for (auto& kv : *g_servers) {
      if (kv.second.pid <= 0) continue;
      for (int i = 0; i < 100; ++i) {
        if (waitpid(kv.second.pid, nullptr, WNOHANG) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (i == 99) {
          kill(kv.second.pid, SIGKILL);
          waitpid(kv.second.pid, nullptr, 0);
        }
      }
    }
    g_servers->clear();
  }
};

[[maybe_unused]] ::testing::Environment* const kGEnv =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

}  // namespace

std::string ready_line(const std::string& kind, const std::string& args) {
  std::lock_guard<std::mutex> l(g_servers_mu);
  const std::string key = kind + " " + args;
  auto it = g_servers->find(key);
  if (it == g_servers->end()) it = g_servers->emplace(key, spawn(kind, args)).first;
  return it->second.line;
}

std::string http_base() {
  const std::string line = ready_line("http");
  if (line.empty()) return std::string();
  return "http://127.0.0.1:" + std::to_string(json_int(line, "port"));
}

int json_int(const std::string& json, const std::string& key) {
  std::size_t pos = json.find("\"" + key + "\"");
  if (pos == std::string::npos) return -1;
  pos = json.find(':', pos);
  if (pos == std::string::npos) return -1;
  return std::atoi(json.c_str() + pos + 1);
}

std::string json_value(const std::string& json, const std::string& key) {
  std::size_t pos = json.find("\"" + key + "\"");
  if (pos == std::string::npos) return std::string();
  pos = json.find(':', pos);
  if (pos == std::string::npos) return std::string();
  pos = json.find_first_not_of(' ', pos + 1);
  if (pos == std::string::npos) return std::string();
  if (json[pos] == '"') {
    const std::size_t end = json.find('"', pos + 1);
    return json.substr(pos + 1, end - pos - 1);
  }
  const std::size_t end = json.find_first_of(",}", pos);
  return json.substr(pos, end - pos);
}

bool required() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

}  // namespace test_servers
