#include "diag.h"

#include "fault.h"
#include "platform.h"

namespace tarnwick::diag {

std::atomic<bool> g_debug{false};

void emit(Level level, std::string_view message) noexcept {
  std::string_view tag = level == Level::kDebug  ? "[DEBUG] "
                         : level == Level::kWarn ? "[WARN] "
                                                 : "[ERROR] ";
  try {
    std::string line;
    line.reserve(tag.size() + message.size() + 1);
    line.append(tag).append(message).push_back('\n');
    platform::write_stderr(line.data(), line.size());
  } catch (...) {
    // Out of memory while logging: the line is lost, nothing else is.
  }
}

}  // namespace tarnwick::diag

namespace tarnwick {

void raise_fault(std::string text, std::source_location where) {
  try {
    std::string report = "panic at ";
    report.append(where.file_name())
        .append(":")
        .append(std::to_string(where.line()))
        .append(": ")
        .append(text)
        .push_back('\n');
    platform::write_stderr(report.data(), report.size());
  } catch (...) {
  }
  throw Fault(std::move(text));
}

}  // namespace tarnwick
