// libFuzzer target: request-header validation never crashes and never lets a
// header through that could split the request (CR, LF, NUL, or a name that is
// not a token).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "header_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  size_t split = all.find(':');
  std::string_view name = all.substr(0, split);
  std::string_view value = split == std::string_view::npos ? std::string_view() : all.substr(split + 1);
  Cronet_RESULT rc = cronet_curl::ValidateRequestHeader(name, value);
  if (rc == Cronet_RESULT_SUCCESS) {
    if (name.empty() || value.empty()) abort();
    for (char c : value)
      if (c == '\r' || c == '\n' || c == '\0') abort();
    if (!cronet_curl::IsHttpToken(name)) abort();
  }
  if (cronet_curl::ValidateMethod(name) == Cronet_RESULT_SUCCESS && !name.empty() &&
      !cronet_curl::IsHttpToken(name))
    abort();
  return 0;
}
