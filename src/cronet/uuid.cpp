#include "uuid.h"

#include "fault.h"
#include "platform.h"

namespace tarnwick {

std::string format_uuid_v4(std::uint8_t b[16]) {
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 0x0F]);
  }
  return out;
}

std::string new_session_id() {
  std::uint8_t bytes[16];
  if (!platform::random_bytes(bytes, sizeof bytes))
    raise_fault("could not retrieve random bytes for uuid: the system random source failed");
  return format_uuid_v4(bytes);
}

}  // namespace tarnwick
