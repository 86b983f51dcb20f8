// Request method and header validation against a plain model of the rules:
// a header that passes can never put CR, LF or NUL on the wire, and a name
// that passes is a token.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "header_validation.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view a, std::string_view b) {
  std::fprintf(stderr, "mismatch: %s; name/method (%zu bytes), value (%zu bytes)\n", what, a.size(),
               b.size());
  std::abort();
}

bool model_token(std::string_view s) {
  static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  if (s.empty()) return false;
  for (unsigned char c : s) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && kExtra.find(static_cast<char>(c)) == std::string_view::npos) return false;
  }
  return true;
}

Cronet_RESULT model_header(std::string_view name, std::string_view value) {
  if (name.empty()) return Cronet_RESULT_NULL_POINTER_HEADER_NAME;
  if (value.empty()) return Cronet_RESULT_NULL_POINTER_HEADER_VALUE;
  if (!model_token(name)) return Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER;
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    return Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER;
  return Cronet_RESULT_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: where the name ends; the rest is name then value.
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = data[0] % (rest.size() + 1);
  const std::string_view name = rest.substr(0, split);
  const std::string_view value = rest.substr(split);

  if (cronet_curl::is_http_token(name) != model_token(name)) fail("IsHttpToken", name, value);
  if (cronet_curl::validate_request_header(name, value) != model_header(name, value))
    fail("ValidateRequestHeader", name, value);
  const Cronet_RESULT method = cronet_curl::validate_method(rest);
  const Cronet_RESULT want = (rest.empty() || model_token(rest))
                                 ? Cronet_RESULT_SUCCESS
                                 : Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD;
  if (method != want) fail("ValidateMethod", rest, {});
  if (cronet_curl::validate_request_header(name, value) == Cronet_RESULT_SUCCESS) {
    for (char c : name)
      if (c == '\r' || c == '\n' || c == '\0' || c == ':' || c == ' ')
        fail("name let through", name, value);
    for (char c : value)
      if (c == '\r' || c == '\n' || c == '\0') fail("value let through", name, value);
  }
  return 0;
}
