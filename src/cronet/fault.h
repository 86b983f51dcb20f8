// Internal faults: failures no operation reports as a value. They unwind to the
// Python method boundary, which raises them as PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace tarnwick {

class Fault : public std::exception {
 public:
  explicit Fault(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// Writes the fault report (text and source position) to standard error, then throws.
[[noreturn]] void raise_fault(std::string text,
                              std::source_location where = std::source_location::current());

// Fixed beginnings of fault texts callers may match on.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char* kSpawnFailed = "failed to spawn thread";

}  // namespace tarnwick
