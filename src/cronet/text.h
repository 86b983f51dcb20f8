// Text helpers for strings that cross the Cronet boundary.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// UTF-8 with every invalid sequence (maximal ill-formed subpart) replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);
std::string decode_utf8_lossy(const char* cstr);  // null gives ""

// Appends text between double quotes, with quote, backslash and control
// characters escaped, as shown in debug lines.
void append_quoted(std::string& out, std::string_view text);

}  // namespace tarnwick
