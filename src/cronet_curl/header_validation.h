// Validation of request methods and headers, pure functions (fuzz targets).
#pragma once

#include <string_view>

#include "cronet_c.h"
#include "http_token.h"  // is_http_token

namespace cronet_curl {

// The result InitWithParams gives for one request header (name and value as
// set; a null pointer counts as empty): SUCCESS, NULL_POINTER_HEADER_NAME
// (empty name), NULL_POINTER_HEADER_VALUE (empty value),
// ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER (name not a token, value holding CR,
// LF or NUL). Checked in that order.
Cronet_RESULT validate_request_header(std::string_view name, std::string_view value);

// SUCCESS for an empty method (the default applies) or a token, else
// ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD.
Cronet_RESULT validate_method(std::string_view method);

}  // namespace cronet_curl
