// Diagnostic lines on standard error: "[LEVEL] message\n", one write per line.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace tarnwick::diag {

enum class Level { kDebug, kWarn, kError };

// Off at load; nothing in the module turns it on (tests may).
extern std::atomic<bool> g_debug;
inline bool debug_enabled() noexcept { return g_debug.load(std::memory_order_relaxed); }
inline void set_debug(bool on) noexcept { g_debug.store(on, std::memory_order_relaxed); }

// Formats "[TAG] " + message + "\n" and writes it with a single write.
void emit(Level level, std::string_view message) noexcept;

// Concatenates anything streamable into one string.
template <class... Parts>
std::string cat(const Parts&... parts);

}  // namespace tarnwick::diag

#include <sstream>

template <class... Parts>
std::string tarnwick::diag::cat(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return std::move(out).str();
}

// The message expression is only evaluated when debug output is on.
#define TW_DEBUG(...)                                                                              \
  do {                                                                                             \
    if (::tarnwick::diag::debug_enabled())                                                         \
      ::tarnwick::diag::emit(::tarnwick::diag::Level::kDebug, ::tarnwick::diag::cat(__VA_ARGS__)); \
  } while (0)
#define TW_WARN(...) \
  ::tarnwick::diag::emit(::tarnwick::diag::Level::kWarn, ::tarnwick::diag::cat(__VA_ARGS__))
#define TW_ERROR(...) \
  ::tarnwick::diag::emit(::tarnwick::diag::Level::kError, ::tarnwick::diag::cat(__VA_ARGS__))
