// Redirects file descriptor 2 into a pipe for the life of the object, so tests
// see exactly the bytes the core writes, one write at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag.h"

namespace tarnwick::testing {

class StderrCapture {
 public:
  StderrCapture() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fds[1], 2);
    ::close(fds[1]);
    read_fd_ = fds[0];
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n > 0) {
          text_.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          break;
        }
      }
    });
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { finish(); }

  // Restores fd 2 and returns everything written meanwhile.
  const std::string& finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, 2);  // drops the pipe's last write end, so the reader sees EOF
      ::close(saved_);
      saved_ = -1;
      reader_.join();
      ::close(read_fd_);
    }
    return text_;
  }

  std::vector<std::string> lines() {
    finish();
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text_.find('\n', start)) != std::string::npos; start = nl + 1)
      out.push_back(text_.substr(start, nl - start));
    if (start < text_.size()) out.push_back(text_.substr(start));
    return out;
  }

 private:
  int saved_ = -1;
  int read_fd_ = -1;
  std::thread reader_;
  std::string text_;
};

// Lines that start with the given tag, e.g. "[WARN] ".
inline std::vector<std::string> with_prefix(const std::vector<std::string>& lines,
                                            const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
  return out;
}

// Debug lines on for a scope; off again after it (off is the process default).
struct DebugSwitch {
  explicit DebugSwitch(bool on) { diag::set_debug(on); }
  ~DebugSwitch() { diag::set_debug(false); }
};

}  // namespace tarnwick::testing
