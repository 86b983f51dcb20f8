// Forced into every unit clang-tidy reads (tools/style_tree.py), never into a
// build: libstdc++ 12's <source_location> needs a builtin that clang 14 lacks,
// so clang-tidy 14 sees no std::source_location without this stand-in.
#pragma once
#include <source_location>
#ifndef __cpp_lib_source_location
#include <cstdint>
namespace std {
struct source_location {
  static constexpr source_location current() noexcept { return {}; }
  constexpr uint_least32_t line() const noexcept { return 0; }
  constexpr uint_least32_t column() const noexcept { return 0; }
  constexpr const char* file_name() const noexcept { return ""; }
  constexpr const char* function_name() const noexcept { return ""; }
};
}  // namespace std
#endif
