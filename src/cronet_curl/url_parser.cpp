// The browser's URL parsing rules for the two schemes we fetch (a state
// machine over bytes; non-ASCII bytes are percent-encoded as UTF-8 is).
#include "url_parser.h"

#include "ascii.h"

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

bool is_single_dot(std::string_view s) { return s == "." || equals_no_case(s, "%2e"); }
bool is_double_dot(std::string_view s) {
  return s == ".." || equals_no_case(s, ".%2e") || equals_no_case(s, "%2e.") ||
         equals_no_case(s, "%2e%2e");
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
  // A '?' or '#' starts the query or the fragment; false for any other c.
  bool start_query_or_fragment(int c) {
    if (c == '?') {
      url_.query = std::string();
      state_ = State::kQuery;
    } else if (c == '#') {
      url_.fragment = std::string();
      state_ = State::kFragment;
    } else {
      return false;
    }
    return true;
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
  if (!start_query_or_fragment(c) && c != kEof) {
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
  start_query_or_fragment(c);
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
