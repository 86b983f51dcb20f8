#include "header_validation.h"

namespace cronet_curl {

Cronet_RESULT validate_request_header(std::string_view name, std::string_view value) {
  if (name.empty()) return Cronet_RESULT_NULL_POINTER_HEADER_NAME;
  if (value.empty()) return Cronet_RESULT_NULL_POINTER_HEADER_VALUE;
  if (!is_http_token(name)) return Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER;
  for (char c : value)
    if (c == '\r' || c == '\n' || c == '\0')
      return Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER;
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT validate_method(std::string_view method) {
  if (method.empty() || is_http_token(method)) return Cronet_RESULT_SUCCESS;
  return Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD;
}

}  // namespace cronet_curl
