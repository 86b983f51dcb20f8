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

namespace {

// The parser's cursor and what it has gathered so far. Each state's step
// reads the code point c at p_ (kEof past the end) and moves p_ back to have
// it read again; kOk from a step means go on.
class UrlParser {
 public:
  UrlParser(std::string_view raw, const ParsedUrl* base)
      : s_(prepare(raw)), n_(static_cast<ptrdiff_t>(s_.size())), base_(base) {}
  UrlParse run(ParsedUrl* out);

 private:
  UrlParse step(int c);
  UrlParse in_scheme_start(int c);
  UrlParse in_scheme(int c);
  UrlParse in_no_scheme();
  UrlParse in_special_relative_or_authority(int c);
  UrlParse in_relative(int c);
  UrlParse in_relative_slash(int c);
  UrlParse in_special_authority_slashes(int c);
  UrlParse in_special_authority_ignore_slashes(int c);
  UrlParse in_authority(int c);
  UrlParse in_host(int c);
  UrlParse in_port(int c);
  UrlParse in_path_start(int c);
  UrlParse in_path(int c);
  UrlParse in_query(int c);
  UrlParse in_fragment(int c);

  bool remaining_starts_with_slash() const { return p_ + 1 < n_ && s_[p_ + 1] == '/'; }
  void shorten() {
    if (!url_.path.empty()) url_.path.pop_back();
  }
  void take_base_authority() {
    url_.username = base_->username;
    url_.password = base_->password;
    url_.host = base_->host;
    url_.port = base_->port;
  }
  // What ends each part of the authority, and a path segment.
  static bool ends_component(int c) {
    return c == kEof || c == '/' || c == '?' || c == '#' || c == '\\';
  }

  const std::string s_;
  const ptrdiff_t n_;
  const ParsedUrl* const base_;
  ParsedUrl url_;
  State state_ = State::kSchemeStart;
  ptrdiff_t p_ = 0;
  std::string buffer_;
  bool at_seen_ = false, password_seen_ = false, in_brackets_ = false;
  unsigned port_ = 0;
};

UrlParse UrlParser::run(ParsedUrl* out) {
  for (p_ = 0;; ++p_) {
    const int c = p_ < n_ ? static_cast<unsigned char>(s_[p_]) : kEof;
    UrlParse r = step(c);
    if (r != UrlParse::kOk) return r;
    if (c == kEof && p_ >= n_) break;
  }
  if (url_.host.empty()) return UrlParse::kFailure;
  *out = std::move(url_);
  return UrlParse::kOk;
}

UrlParse UrlParser::step(int c) {
  switch (state_) {
    case State::kSchemeStart: return in_scheme_start(c);
    case State::kScheme: return in_scheme(c);
    case State::kNoScheme: return in_no_scheme();
    case State::kSpecialRelativeOrAuthority: return in_special_relative_or_authority(c);
    case State::kRelative: return in_relative(c);
    case State::kRelativeSlash: return in_relative_slash(c);
    case State::kSpecialAuthoritySlashes: return in_special_authority_slashes(c);
    case State::kSpecialAuthorityIgnoreSlashes: return in_special_authority_ignore_slashes(c);
    case State::kAuthority: return in_authority(c);
    case State::kHost: return in_host(c);
    case State::kPort: return in_port(c);
    case State::kPathStart: return in_path_start(c);
    case State::kPath: return in_path(c);
    case State::kQuery: return in_query(c);
    case State::kFragment: return in_fragment(c);
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_scheme_start(int c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
    buffer_ += ascii_lower(static_cast<char>(c));
    state_ = State::kScheme;
  } else {
    state_ = State::kNoScheme;
    --p_;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_scheme(int c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
      c == '-' || c == '.') {
    buffer_ += ascii_lower(static_cast<char>(c));
  } else if (c == ':') {
    if (buffer_ != "http" && buffer_ != "https") return UrlParse::kOtherScheme;
    url_.scheme = buffer_;
    buffer_.clear();
    state_ = base_ && base_->scheme == url_.scheme ? State::kSpecialRelativeOrAuthority
                                                   : State::kSpecialAuthoritySlashes;
  } else {
    // No scheme after all: start over from the first byte.
    buffer_.clear();
    state_ = State::kNoScheme;
    p_ = -1;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_no_scheme() {
  if (!base_) return UrlParse::kFailure;
  state_ = State::kRelative;
  --p_;
  return UrlParse::kOk;
}

UrlParse UrlParser::in_special_relative_or_authority(int c) {
  if (c == '/' && remaining_starts_with_slash()) {
    state_ = State::kSpecialAuthorityIgnoreSlashes;
    ++p_;
  } else {
    state_ = State::kRelative;
    --p_;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_relative(int c) {
  url_.scheme = base_->scheme;
  if (c == '/' || c == '\\') {
    state_ = State::kRelativeSlash;
    return UrlParse::kOk;
  }
  take_base_authority();
  url_.path = base_->path;
  url_.query = base_->query;
  if (c == '?') {
    url_.query = std::string();
    state_ = State::kQuery;
  } else if (c == '#') {
    url_.fragment = std::string();
    state_ = State::kFragment;
  } else if (c != kEof) {
    url_.query.reset();
    shorten();
    state_ = State::kPath;
    --p_;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_relative_slash(int c) {
  if (c == '/' || c == '\\') {
    state_ = State::kSpecialAuthorityIgnoreSlashes;
  } else {
    take_base_authority();
    state_ = State::kPath;
    --p_;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_special_authority_slashes(int c) {
  state_ = State::kSpecialAuthorityIgnoreSlashes;
  if (c == '/' && remaining_starts_with_slash())
    ++p_;
  else
    --p_;
  return UrlParse::kOk;
}

UrlParse UrlParser::in_special_authority_ignore_slashes(int c) {
  if (c != '/' && c != '\\') {
    state_ = State::kAuthority;
    --p_;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_authority(int c) {
  if (c == '@') {
    // Everything up to the last '@' is userinfo; an earlier '@' is part of it.
    if (at_seen_) buffer_ = "%40" + buffer_;
    at_seen_ = true;
    for (char b : buffer_) {
      if (b == ':' && !password_seen_) {
        password_seen_ = true;
        continue;
      }
      append_encoded(password_seen_ ? &url_.password : &url_.username,
                     static_cast<unsigned char>(b), EncodeSet::kUserinfo);
    }
    buffer_.clear();
  } else if (ends_component(c)) {
    if (at_seen_ && buffer_.empty()) return UrlParse::kFailure;
    // Read the host from where it starts.
    p_ -= static_cast<ptrdiff_t>(buffer_.size()) + 1;
    buffer_.clear();
    state_ = State::kHost;
  } else {
    buffer_ += static_cast<char>(c);
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_host(int c) {
  if (c == ':' && !in_brackets_) {
    if (buffer_.empty()) return UrlParse::kFailure;
    url_.host = parse_host(buffer_);
    if (url_.host.empty()) return UrlParse::kFailure;
    buffer_.clear();
    state_ = State::kPort;
  } else if (ends_component(c)) {
    --p_;
    if (buffer_.empty()) return UrlParse::kFailure;
    url_.host = parse_host(buffer_);
    if (url_.host.empty()) return UrlParse::kFailure;
    buffer_.clear();
    state_ = State::kPathStart;
  } else {
    if (c == '[') in_brackets_ = true;
    if (c == ']') in_brackets_ = false;
    buffer_ += static_cast<char>(c);
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_port(int c) {
  if (c >= '0' && c <= '9') {
    buffer_ += static_cast<char>(c);
    port_ = std::min(port_ * 10 + (c - '0'), 1u << 20);
  } else if (ends_component(c)) {
    if (!buffer_.empty()) {
      if (port_ > 65535) return UrlParse::kFailure;
      url_.port = static_cast<int>(port_);
      if (url_.port == (url_.scheme == "https" ? 443 : 80)) url_.port = -1;
      buffer_.clear();
    }
    state_ = State::kPathStart;
    --p_;
  } else {
    return UrlParse::kFailure;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_path_start(int c) {
  state_ = State::kPath;
  if (c != '/' && c != '\\') --p_;
  return UrlParse::kOk;
}

UrlParse UrlParser::in_path(int c) {
  if (!ends_component(c)) {
    append_encoded(&buffer_, static_cast<unsigned char>(c), EncodeSet::kPath);
    return UrlParse::kOk;
  }
  bool slash = c == '/' || c == '\\';
  if (is_double_dot(buffer_)) {
    shorten();
    if (!slash) url_.path.emplace_back();
  } else if (is_single_dot(buffer_)) {
    if (!slash) url_.path.emplace_back();
  } else {
    url_.path.push_back(buffer_);
  }
  buffer_.clear();
  if (c == '?') {
    url_.query = std::string();
    state_ = State::kQuery;
  } else if (c == '#') {
    url_.fragment = std::string();
    state_ = State::kFragment;
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_query(int c) {
  if (c == '#') {
    url_.fragment = std::string();
    state_ = State::kFragment;
  } else if (c != kEof) {
    append_encoded(&*url_.query, static_cast<unsigned char>(c), EncodeSet::kSpecialQuery);
  }
  return UrlParse::kOk;
}

UrlParse UrlParser::in_fragment(int c) {
  if (c != kEof)
    append_encoded(&*url_.fragment, static_cast<unsigned char>(c), EncodeSet::kFragment);
  return UrlParse::kOk;
}

}  // namespace

UrlParse parse_url(std::string_view raw, const ParsedUrl* base, ParsedUrl* out) {
  return UrlParser(raw, base).run(out);
}

}  // namespace cronet_curl
