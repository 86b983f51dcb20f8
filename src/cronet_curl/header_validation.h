// Validation of request methods and headers, pure functions (fuzz targets).
#ifndef CRONET_CURL_HEADER_VALIDATION_H_
#define CRONET_CURL_HEADER_VALIDATION_H_

#include <string_view>

#include "cronet_c.h"
#include "http_token.h"  // IsHttpToken

namespace cronet_curl {

// The result InitWithParams gives for one request header (name and value as
// set; a null pointer counts as empty): SUCCESS, NULL_POINTER_HEADER_NAME
// (empty name), NULL_POINTER_HEADER_VALUE (empty value),
// ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER (name not a token, value holding CR,
// LF or NUL). Checked in that order.
Cronet_RESULT ValidateRequestHeader(std::string_view name, std::string_view value);

// SUCCESS for an empty method (the default applies) or a token, else
// ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD.
Cronet_RESULT ValidateMethod(std::string_view method);

}  // namespace cronet_curl

#endif  // CRONET_CURL_HEADER_VALIDATION_H_
