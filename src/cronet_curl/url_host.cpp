// The host parser of the URL rules for http and https: IPv4 in its browser
// forms (decimal, octal, hex, fewer parts), IPv6 with compression and an IPv4
// tail, and domains through UTS #46 (libidn2).
#include <idn2.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ascii.h"
#include "url_parser.h"

namespace cronet_curl {
namespace {

constexpr int kEof = -1;  // past the end of the input, as in the URL parser

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t i = s.find(sep);
    parts.push_back(s.substr(0, i));
    if (i == std::string_view::npos) return parts;
    s.remove_prefix(i + 1);
  }
}

// ---- IPv4 ----

constexpr uint64_t kBig = uint64_t{1} << 40;  // saturation: more than any part may be

bool parse_ipv4_number(std::string_view s, uint64_t* out) {
  if (s.empty()) return false;
  int radix = 10;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    radix = 16;
  } else if (s.size() >= 2 && s[0] == '0') {
    s.remove_prefix(1);
    radix = 8;
  }
  uint64_t v = 0;
  for (char c : s) {
    int d = hex_value(static_cast<unsigned char>(c));
    if (d < 0 || d >= radix) return false;
    v = std::min(v * radix + d, kBig);
  }
  *out = v;
  return true;
}

bool ends_in_number(std::string_view host) {
  std::vector<std::string_view> parts = split(host, '.');
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  std::string_view last = parts.back();
  bool digits = !last.empty();
  for (char c : last) digits = digits && c >= '0' && c <= '9';
  uint64_t v;
  return digits || parse_ipv4_number(last, &v);
}

// "" on failure.
std::string parse_ipv4(std::string_view host) {
  std::vector<std::string_view> parts = split(host, '.');
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return std::string();
  std::vector<uint64_t> nums;
  for (std::string_view p : parts) {
    uint64_t v;
    if (!parse_ipv4_number(p, &v)) return std::string();
    nums.push_back(v);
  }
  for (size_t i = 0; i + 1 < nums.size(); ++i)
    if (nums[i] > 255) return std::string();
  if (nums.back() >= (uint64_t{1} << (8 * (5 - nums.size())))) return std::string();
  uint64_t addr = nums.back();
  for (size_t i = 0; i + 1 < nums.size(); ++i) addr += nums[i] << (8 * (3 - i));
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!out.empty()) out += '.';
    out += std::to_string((addr >> shift) & 0xff);
  }
  return out;
}

// ---- IPv6 ----

// The IPv6 parser's cursor over the text between the brackets.
struct Ipv6Cursor {
  std::string_view in;
  uint16_t* addr;
  size_t p = 0;
  int piece = 0;
  int compress = -1;  // the piece "::" stands before, -1 when none yet
  int at(size_t i) const { return i < in.size() ? static_cast<unsigned char>(in[i]) : kEof; }
};

// The dotted IPv4 tail, into the last two pieces.
bool parse_ipv6_ipv4_tail(Ipv6Cursor& c) {
  if (c.piece > 6) return false;
  int seen = 0;
  while (c.at(c.p) != kEof) {
    int v4 = -1;
    if (seen > 0) {
      if (c.at(c.p) == '.' && seen < 4)
        ++c.p;
      else
        return false;
    }
    if (c.at(c.p) < '0' || c.at(c.p) > '9') return false;
    while (c.at(c.p) >= '0' && c.at(c.p) <= '9') {
      int d = c.at(c.p) - '0';
      if (v4 == -1)
        v4 = d;
      else if (v4 == 0)
        return false;
      else
        v4 = v4 * 10 + d;
      if (v4 > 255) return false;
      ++c.p;
    }
    c.addr[c.piece] = static_cast<uint16_t>(c.addr[c.piece] * 0x100 + v4);
    ++seen;
    if (seen == 2 || seen == 4) ++c.piece;
  }
  return seen == 4;
}

enum class Ipv6Step { kNext, kDone, kFailure };

// One hex piece and the ':' after it, or the IPv4 tail that ends the address.
Ipv6Step parse_ipv6_piece(Ipv6Cursor& c) {
  unsigned value = 0;
  int length = 0;
  while (length < 4 && hex_value(c.at(c.p)) >= 0) {
    value = value * 16 + hex_value(c.at(c.p));
    ++c.p;
    ++length;
  }
  if (c.at(c.p) == '.') {
    if (length == 0) return Ipv6Step::kFailure;
    c.p -= length;
    return parse_ipv6_ipv4_tail(c) ? Ipv6Step::kDone : Ipv6Step::kFailure;
  }
  if (c.at(c.p) == ':') {
    ++c.p;
    if (c.at(c.p) == kEof) return Ipv6Step::kFailure;
  } else if (c.at(c.p) != kEof) {
    return Ipv6Step::kFailure;
  }
  c.addr[c.piece++] = static_cast<uint16_t>(value);
  return Ipv6Step::kNext;
}

// Moves the pieces after "::" to the end; without "::" all eight must be there.
bool place_ipv6_compressed(Ipv6Cursor& c) {
  if (c.compress == -1) return c.piece == 8;
  int swaps = c.piece - c.compress;
  int piece = 7;
  while (piece != 0 && swaps > 0) {
    std::swap(c.addr[piece], c.addr[c.compress + swaps - 1]);
    --piece;
    --swaps;
  }
  return true;
}

bool parse_ipv6(std::string_view in, uint16_t addr[8]) {
  for (int i = 0; i < 8; ++i) addr[i] = 0;
  Ipv6Cursor c{in, addr};
  if (c.at(c.p) == ':') {
    if (c.at(c.p + 1) != ':') return false;
    c.p += 2;
    c.compress = ++c.piece;
  }
  while (c.at(c.p) != kEof) {
    if (c.piece == 8) return false;
    if (c.at(c.p) == ':') {
      if (c.compress != -1) return false;
      ++c.p;
      c.compress = ++c.piece;
      continue;
    }
    Ipv6Step step = parse_ipv6_piece(c);
    if (step == Ipv6Step::kFailure) return false;
    if (step == Ipv6Step::kDone) break;
  }
  return place_ipv6_compressed(c);
}

std::string serialize_ipv6(const uint16_t addr[8]) {
  // The first longest run of two or more zero pieces becomes "::".
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && addr[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out = "[";
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += i == 0 ? "::" : ":";
      i += best_len - 1;
      continue;
    }
    char buf[8];
    std::snprintf(buf, sizeof buf, "%x", addr[i]);
    out += buf;
    if (i != 7) out += ':';
  }
  return out + "]";
}

// ---- domains ----

bool forbidden_domain_byte(unsigned char c) {
  if (c <= 0x20 || c == 0x7f) return true;
  switch (c) {
    case '#':
    case '%':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '@':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '|': return true;
    default: return false;
  }
}

// UTS #46 ToASCII (non-transitional); "" on failure.
std::string domain_to_ascii(const std::string& domain) {
  bool ascii = true;
  for (char c : domain) {
    if (c == '\0') return std::string();
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  }
  if (ascii) {
    bool punycode = false;
    for (std::string_view label : split(domain, '.'))
      punycode = punycode || (label.size() >= 4 && equals_no_case(label.substr(0, 4), "xn--"));
    if (!punycode) {
      std::string out = domain;
      for (char& c : out) c = ascii_lower(c);
      return out;
    }
  }
  char* out = nullptr;
  int rc = idn2_to_ascii_8z(domain.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  std::string result;
  if (rc == IDN2_OK && out) result = out;
  idn2_free(out);
  return result;
}

}  // namespace

std::string percent_decode(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    int hi, lo;
    if (in[i] == '%' && i + 2 < in.size() && (hi = hex_value(in[i + 1])) >= 0 &&
        (lo = hex_value(in[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

std::string parse_host(std::string_view input) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return std::string();
    uint16_t addr[8];
    if (!parse_ipv6(input.substr(1, input.size() - 2), addr)) return std::string();
    return serialize_ipv6(addr);
  }
  std::string ascii = domain_to_ascii(percent_decode(input));
  if (ascii.empty()) return std::string();
  for (char c : ascii)
    if (forbidden_domain_byte(static_cast<unsigned char>(c))) return std::string();
  if (ends_in_number(ascii)) return parse_ipv4(ascii);
  return ascii;
}

}  // namespace cronet_curl
