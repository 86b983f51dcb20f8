#include "text.h"

#include <cstdint>
#include <cstring>

namespace tarnwick {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed sequence at p (1..4), or 0 with `bad` set to the
// length of the maximal ill-formed prefix to replace.
std::size_t sequence_length(const std::uint8_t* p, std::size_t avail, std::size_t& bad) {
  std::uint8_t b0 = p[0];
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < need; ++i) {
    if (i >= avail) break;
    std::uint8_t b = p[i];
    std::uint8_t l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  if (i == need) return need;
  bad = i;
  return 0;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  // Fast path: most texts are already valid, and most of those plain ASCII.
  while (i < n && p[i] < 0x80) ++i;
  while (i < n) {
    std::size_t bad = 0;
    std::size_t len = sequence_length(p + i, n - i, bad);
    if (len == 0) break;
    i += len;
  }
  if (i == n) return std::string(bytes);

  std::string out;
  out.reserve(n + 8);
  out.append(bytes.data(), i);
  while (i < n) {
    std::size_t bad = 0;
    std::size_t len = sequence_length(p + i, n - i, bad);
    if (len == 0) {
      out.append(kReplacement, 3);
      i += bad;
    } else {
      out.append(bytes.data() + i, len);
      i += len;
    }
  }
  return out;
}

std::string decode_utf8_lossy(const char* cstr) {
  if (cstr == nullptr) return {};
  return decode_utf8_lossy(std::string_view(cstr, std::strlen(cstr)));
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = p[i];
    // C1 controls arrive as the two bytes C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && p[i + 1] >= 0x80 && p[i + 1] <= 0x9F) {
      c = p[++i];
    } else if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\') {
      out.push_back(static_cast<char>(c));
      continue;
    }
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      case 0: out.append("\\0"); break;
      default:
        out.append("\\u{");
        if (c >= 0x10) out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
        out.push_back('}');
    }
  }
  out.push_back('"');
}

}  // namespace tarnwick
