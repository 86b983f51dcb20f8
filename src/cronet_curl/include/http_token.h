// The library's rule for HTTP tokens (methods, header names). Header-only so
// that the client checks its input by this same rule without linking the
// library: on Windows it runs against another Cronet build.
#pragma once

#include <string_view>

namespace cronet_curl {

// RFC 9110 token: one or more of ! # $ % & ' * + - . ^ _ ` | ~ DIGIT ALPHA.
inline bool is_http_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) continue;
    switch (c) {
      case '!':
      case '#':
      case '$':
      case '%':
      case '&':
      case '\'':
      case '*':
      case '+':
      case '-':
      case '.':
      case '^':
      case '_':
      case '`':
      case '|':
      case '~': continue;
      default: return false;
    }
  }
  return true;
}

}  // namespace cronet_curl
