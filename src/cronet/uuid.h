// Session identifiers: random version-4 UUIDs in lowercase canonical form.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// Sets the version and variant bits and formats 8-4-4-4-12 lowercase hex.
std::string format_uuid_v4(std::uint8_t bytes[16]);

// 16 bytes from the system's cryptographic source; faults when it fails.
std::string new_session_id();

}  // namespace tarnwick
