// The browser's URL parsing rules for the two schemes we fetch (a state
// machine over bytes; non-ASCII bytes are percent-encoded as UTF-8 is).
#include "url_parser.h"

#include <idn2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace cronet_curl {
namespace {

constexpr int kEof = -1;
const char kHex[] = "0123456789ABCDEF";

enum class EncodeSet { kFragment, kSpecialQuery, kPath, kUserinfo };

bool in_set(unsigned char c, EncodeSet set) {
  if (c < 0x20 || c > 0x7e) return true;
  switch (set) {
    case EncodeSet::kFragment: return c == ' ' || c == '"' || c == '<' || c == '>' || c == '`';
    case EncodeSet::kSpecialQuery:
      return c == ' ' || c == '"' || c == '#' || c == '<' || c == '>' || c == '\'';
    case EncodeSet::kUserinfo:
      if (c == '/' || c == ':' || c == ';' || c == '=' || c == '@' || c == '[' || c == '\\' ||
          c == ']' || c == '|')
        return true;
      [[fallthrough]];
    case EncodeSet::kPath:
      return c == ' ' || c == '"' || c == '#' || c == '<' || c == '>' || c == '?' || c == '^' ||
             c == '`' || c == '{' || c == '}';
  }
  return false;
}

void append_encoded(std::string* out, unsigned char c, EncodeSet set) {
  if (in_set(c, set)) {
    *out += '%';
    *out += kHex[c >> 4];
    *out += kHex[c & 0xf];
  } else {
    *out += static_cast<char>(c);
  }
}

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equals_lower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (ascii_lower(s[i]) != lower[i]) return false;
  return true;
}

bool is_single_dot(std::string_view s) { return s == "." || equals_lower(s, "%2e"); }
bool is_double_dot(std::string_view s) {
  return s == ".." || equals_lower(s, ".%2e") || equals_lower(s, "%2e.") ||
         equals_lower(s, "%2e%2e");
}

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

bool parse_ipv6(std::string_view in, uint16_t addr[8]) {
  for (int i = 0; i < 8; ++i) addr[i] = 0;
  int piece = 0, compress = -1;
  size_t p = 0;
  auto at = [&](size_t i) { return i < in.size() ? static_cast<unsigned char>(in[i]) : kEof; };
  if (at(p) == ':') {
    if (at(p + 1) != ':') return false;
    p += 2;
    compress = ++piece;
  }
  while (at(p) != kEof) {
    if (piece == 8) return false;
    if (at(p) == ':') {
      if (compress != -1) return false;
      ++p;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    int length = 0;
    while (length < 4 && hex_value(at(p)) >= 0) {
      value = value * 16 + hex_value(at(p));
      ++p;
      ++length;
    }
    if (at(p) == '.') {
      if (length == 0) return false;
      p -= length;
      if (piece > 6) return false;
      int seen = 0;
      while (at(p) != kEof) {
        int v4 = -1;
        if (seen > 0) {
          if (at(p) == '.' && seen < 4)
            ++p;
          else
            return false;
        }
        if (at(p) < '0' || at(p) > '9') return false;
        while (at(p) >= '0' && at(p) <= '9') {
          int d = at(p) - '0';
          if (v4 == -1)
            v4 = d;
          else if (v4 == 0)
            return false;
          else
            v4 = v4 * 10 + d;
          if (v4 > 255) return false;
          ++p;
        }
        addr[piece] = static_cast<uint16_t>(addr[piece] * 0x100 + v4);
        ++seen;
        if (seen == 2 || seen == 4) ++piece;
      }
      if (seen != 4) return false;
      break;
    } else if (at(p) == ':') {
      ++p;
      if (at(p) == kEof) return false;
    } else if (at(p) != kEof) {
      return false;
    }
    addr[piece++] = static_cast<uint16_t>(value);
  }
  if (compress != -1) {
    int swaps = piece - compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(addr[piece], addr[compress + swaps - 1]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return false;
  }
  return true;
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
      punycode = punycode || (label.size() >= 4 && equals_lower(label.substr(0, 4), "xn--"));
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

// ---- the parser ----

enum class State {
  kSchemeStart,
  kScheme,
  kNoScheme,
  kSpecialRelativeOrAuthority,
  kRelative,
  kRelativeSlash,
  kSpecialAuthoritySlashes,
  kSpecialAuthorityIgnoreSlashes,
  kAuthority,
  kHost,
  kPort,
  kPathStart,
  kPath,
  kQuery,
  kFragment,
};

// The input with surrounding C0 controls and spaces gone and
// tabs and line breaks removed, as browsers take it.
std::string prepare(std::string_view in) {
  while (!in.empty() && static_cast<unsigned char>(in.front()) <= 0x20) in.remove_prefix(1);
  while (!in.empty() && static_cast<unsigned char>(in.back()) <= 0x20) in.remove_suffix(1);
  std::string s;
  s.reserve(in.size());
  for (char c : in)
    if (c != '\t' && c != '\n' && c != '\r') s += c;
  return s;
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

std::string ParsedUrl::serialize(bool with_userinfo, bool with_fragment) const {
  std::string out = scheme + "://";
  if (with_userinfo && has_credentials()) {
    out += username;
    if (!password.empty()) out += ':' + password;
    out += '@';
  }
  out += host;
  if (port >= 0) out += ':' + std::to_string(port);
  if (path.empty()) out += '/';
  for (const std::string& seg : path) out += '/' + seg;
  if (query) out += '?' + *query;
  if (with_fragment && fragment) out += '#' + *fragment;
  return out;
}

UrlParse parse_url(std::string_view raw, const ParsedUrl* base, ParsedUrl* out) {
  const std::string s = prepare(raw);
  const ptrdiff_t n = static_cast<ptrdiff_t>(s.size());
  ParsedUrl url;
  State state = State::kSchemeStart;
  std::string buffer;
  bool at_seen = false, password_seen = false, in_brackets = false;
  unsigned port = 0;
  auto remaining_starts_with_slash = [&](ptrdiff_t p) { return p + 1 < n && s[p + 1] == '/'; };
  auto shorten = [&] {
    if (!url.path.empty()) url.path.pop_back();
  };
  auto take_base_authority = [&] {
    url.username = base->username;
    url.password = base->password;
    url.host = base->host;
    url.port = base->port;
  };

  for (ptrdiff_t p = 0;; ++p) {
    const int c = p < n ? static_cast<unsigned char>(s[p]) : kEof;
    switch (state) {
      case State::kSchemeStart:
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
          buffer += ascii_lower(static_cast<char>(c));
          state = State::kScheme;
        } else {
          state = State::kNoScheme;
          --p;
        }
        break;
      case State::kScheme:
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '-' || c == '.') {
          buffer += ascii_lower(static_cast<char>(c));
        } else if (c == ':') {
          if (buffer != "http" && buffer != "https") return UrlParse::kOtherScheme;
          url.scheme = buffer;
          buffer.clear();
          state = base && base->scheme == url.scheme ? State::kSpecialRelativeOrAuthority
                                                     : State::kSpecialAuthoritySlashes;
        } else {
          buffer.clear();
          state = State::kNoScheme;
          p = -1;
        }
        break;
      case State::kNoScheme:
        if (!base) return UrlParse::kFailure;
        state = State::kRelative;
        --p;
        break;
      case State::kSpecialRelativeOrAuthority:
        if (c == '/' && remaining_starts_with_slash(p)) {
          state = State::kSpecialAuthorityIgnoreSlashes;
          ++p;
        } else {
          state = State::kRelative;
          --p;
        }
        break;
      case State::kRelative:
        url.scheme = base->scheme;
        if (c == '/' || c == '\\') {
          state = State::kRelativeSlash;
        } else {
          take_base_authority();
          url.path = base->path;
          url.query = base->query;
          if (c == '?') {
            url.query = std::string();
            state = State::kQuery;
          } else if (c == '#') {
            url.fragment = std::string();
            state = State::kFragment;
          } else if (c != kEof) {
            url.query.reset();
            shorten();
            state = State::kPath;
            --p;
          }
        }
        break;
      case State::kRelativeSlash:
        if (c == '/' || c == '\\') {
          state = State::kSpecialAuthorityIgnoreSlashes;
        } else {
          take_base_authority();
          state = State::kPath;
          --p;
        }
        break;
      case State::kSpecialAuthoritySlashes:
        state = State::kSpecialAuthorityIgnoreSlashes;
        if (c == '/' && remaining_starts_with_slash(p))
          ++p;
        else
          --p;
        break;
      case State::kSpecialAuthorityIgnoreSlashes:
        if (c != '/' && c != '\\') {
          state = State::kAuthority;
          --p;
        }
        break;
      case State::kAuthority:
        if (c == '@') {
          if (at_seen) buffer = "%40" + buffer;
          at_seen = true;
          for (char b : buffer) {
            if (b == ':' && !password_seen) {
              password_seen = true;
              continue;
            }
            append_encoded(password_seen ? &url.password : &url.username,
                           static_cast<unsigned char>(b), EncodeSet::kUserinfo);
          }
          buffer.clear();
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || c == '\\') {
          if (at_seen && buffer.empty()) return UrlParse::kFailure;
          p -= static_cast<ptrdiff_t>(buffer.size()) + 1;
          buffer.clear();
          state = State::kHost;
        } else {
          buffer += static_cast<char>(c);
        }
        break;
      case State::kHost:
        if (c == ':' && !in_brackets) {
          if (buffer.empty()) return UrlParse::kFailure;
          url.host = parse_host(buffer);
          if (url.host.empty()) return UrlParse::kFailure;
          buffer.clear();
          state = State::kPort;
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || c == '\\') {
          --p;
          if (buffer.empty()) return UrlParse::kFailure;
          url.host = parse_host(buffer);
          if (url.host.empty()) return UrlParse::kFailure;
          buffer.clear();
          state = State::kPathStart;
        } else {
          if (c == '[') in_brackets = true;
          if (c == ']') in_brackets = false;
          buffer += static_cast<char>(c);
        }
        break;
      case State::kPort:
        if (c >= '0' && c <= '9') {
          buffer += static_cast<char>(c);
          port = std::min(port * 10 + (c - '0'), 1u << 20);
        } else if (c == kEof || c == '/' || c == '?' || c == '#' || c == '\\') {
          if (!buffer.empty()) {
            if (port > 65535) return UrlParse::kFailure;
            url.port = static_cast<int>(port);
            if (url.port == (url.scheme == "https" ? 443 : 80)) url.port = -1;
            buffer.clear();
          }
          state = State::kPathStart;
          --p;
        } else {
          return UrlParse::kFailure;
        }
        break;
      case State::kPathStart:
        state = State::kPath;
        if (c != '/' && c != '\\') --p;
        break;
      case State::kPath:
        if (c == kEof || c == '/' || c == '\\' || c == '?' || c == '#') {
          bool slash = c == '/' || c == '\\';
          if (is_double_dot(buffer)) {
            shorten();
            if (!slash) url.path.emplace_back();
          } else if (is_single_dot(buffer)) {
            if (!slash) url.path.emplace_back();
          } else {
            url.path.push_back(buffer);
          }
          buffer.clear();
          if (c == '?') {
            url.query = std::string();
            state = State::kQuery;
          } else if (c == '#') {
            url.fragment = std::string();
            state = State::kFragment;
          }
        } else {
          append_encoded(&buffer, static_cast<unsigned char>(c), EncodeSet::kPath);
        }
        break;
      case State::kQuery:
        if (c == '#') {
          url.fragment = std::string();
          state = State::kFragment;
        } else if (c != kEof) {
          append_encoded(&*url.query, static_cast<unsigned char>(c), EncodeSet::kSpecialQuery);
        }
        break;
      case State::kFragment:
        if (c != kEof)
          append_encoded(&*url.fragment, static_cast<unsigned char>(c), EncodeSet::kFragment);
        break;
    }
    if (c == kEof && p >= n) break;
  }
  if (url.host.empty()) return UrlParse::kFailure;
  *out = std::move(url);
  return UrlParse::kOk;
}

}  // namespace cronet_curl
