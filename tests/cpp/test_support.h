// Small helpers shared by the core's test suites.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tarnwick::testing {

// Polls until the predicate holds; false after a generous bound so a broken
// build fails instead of hanging. Not a timing assertion.
inline bool eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tarnwick::testing
