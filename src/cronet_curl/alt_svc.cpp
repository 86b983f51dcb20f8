#include "alt_svc.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace cronet_curl {
namespace {

void skip_ows(std::string_view s, size_t* i) {
  while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\t')) ++*i;
}

bool is_token_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string token(std::string_view s, size_t* i) {
  size_t b = *i;
  while (*i < s.size() && is_token_char(s[*i])) ++*i;
  return std::string(s.substr(b, *i - b));
}

// A quoted-string with its escapes resolved; false when unterminated.
bool read_quoted(std::string_view s, size_t* i, std::string* out) {
  if (*i >= s.size() || s[*i] != '"') return false;
  ++*i;
  out->clear();
  while (*i < s.size()) {
    char c = s[(*i)++];
    if (c == '"') return true;
    if (c == '\\') {
      if (*i >= s.size()) return false;
      c = s[(*i)++];
    }
    out->push_back(c);
  }
  return false;
}

// Moves past the current element, to just after the next top-level comma.
void skip_element(std::string_view s, size_t* i) {
  bool quoted = false;
  while (*i < s.size()) {
    char c = s[(*i)++];
    if (quoted && c == '\\' && *i < s.size()) {
      ++*i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      return;
    }
  }
}

bool parse_authority(const std::string& a, AltSvcEntry* e) {
  size_t colon = a.rfind(':');
  if (colon == std::string::npos) return false;
  e->host = a.substr(0, colon);
  std::string_view p(a.data() + colon + 1, a.size() - colon - 1);
  int port = 0;
  auto r = std::from_chars(p.data(), p.data() + p.size(), port);
  if (p.empty() || r.ec != std::errc() || r.ptr != p.data() + p.size()) return false;
  if (port < 1 || port > 65535) return false;
  e->port = port;
  return true;
}

}  // namespace

std::vector<AltSvcEntry> parse_alt_svc(std::string_view s, bool* clear) {
  std::vector<AltSvcEntry> out;
  *clear = false;
  size_t i = 0;
  skip_ows(s, &i);
  {
    size_t j = i;
    std::string t = token(s, &j);
    skip_ows(s, &j);
    if (t == "clear" && j == s.size()) {
      *clear = true;
      return out;
    }
  }
  while (i < s.size()) {
    skip_ows(s, &i);
    AltSvcEntry e;
    std::string authority;
    e.protocol = token(s, &i);
    bool ok = !e.protocol.empty() && i < s.size() && s[i] == '=';
    if (ok) {
      ++i;
      ok = read_quoted(s, &i, &authority) && parse_authority(authority, &e);
    }
    // Parameters.
    while (ok) {
      skip_ows(s, &i);
      if (i >= s.size() || s[i] == ',') break;
      if (s[i] != ';') {
        ok = false;
        break;
      }
      ++i;
      skip_ows(s, &i);
      std::string name = token(s, &i);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (i >= s.size() || s[i] != '=') {
        ok = false;
        break;
      }
      ++i;
      std::string v;
      if (i < s.size() && s[i] == '"') {
        if (!read_quoted(s, &i, &v)) ok = false;
      } else {
        v = token(s, &i);
      }
      if (ok && name == "ma") {
        int64_t ma = 0;
        auto r = std::from_chars(v.data(), v.data() + v.size(), ma);
        if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || ma < 0)
          ok = false;
        else
          e.max_age = ma;
      }
    }
    if (ok) out.push_back(std::move(e));
    skip_element(s, &i);
  }
  return out;
}

int AltSvcCache::lookup(const std::string& origin, Clock::time_point now) const {
  auto it = origins_.find(origin);
  if (it == origins_.end()) return 0;
  const Origin& o = it->second;
  if (o.port == 0 || now >= o.expires || now < o.broken_until) return 0;
  return o.port;
}

void AltSvcCache::update(const std::string& origin, std::string_view value, Clock::time_point now) {
  bool clear = false;
  std::vector<AltSvcEntry> entries = parse_alt_svc(value, &clear);
  if (clear) {
    origins_.erase(origin);
    return;
  }
  // The origin's host, bracketed for IPv6, between "://" and the last ':'.
  size_t b = origin.find("://");
  size_t c = origin.rfind(':');
  std::string host = b == std::string::npos || c <= b ? "" : origin.substr(b + 3, c - b - 3);
  const AltSvcEntry* h3 = nullptr;
  for (const auto& e : entries) {
    // Only alternatives on the origin's own host: another host would need its
    // certificate checked for this origin.
    if (e.protocol == "h3" && (e.host.empty() || e.host == host)) {
      h3 = &e;
      break;
    }
  }
  auto it = origins_.find(origin);
  if (!h3) {
    // The new value replaces the old one; keep only what is known broken.
    if (it != origins_.end()) it->second.port = 0;
    return;
  }
  if (it == origins_.end()) {
    trim(now);
    it = origins_.emplace(origin, Origin()).first;
  }
  it->second.port = h3->port;
  it->second.expires = now + std::chrono::seconds(std::min<int64_t>(h3->max_age, 365LL * 86400));
}

void AltSvcCache::mark_broken(const std::string& origin, Clock::time_point now) {
  auto it = origins_.find(origin);
  if (it == origins_.end()) return;
  Origin& o = it->second;
  o.broken_until = now + kBrokenBase * (1 << std::min(o.failures, 9));
  ++o.failures;
}

void AltSvcCache::mark_working(const std::string& origin) {
  auto it = origins_.find(origin);
  if (it != origins_.end()) it->second.failures = 0;
}

void AltSvcCache::trim(Clock::time_point now) {
  if (origins_.size() < kMaxOrigins) return;
  for (auto it = origins_.begin(); it != origins_.end();) {
    if (now >= it->second.expires && now >= it->second.broken_until)
      it = origins_.erase(it);
    else
      ++it;
  }
  while (origins_.size() >= kMaxOrigins) {
    auto oldest = std::min_element(origins_.begin(), origins_.end(), [](auto& a, auto& b) {
      return a.second.expires < b.second.expires;
    });
    origins_.erase(oldest);
  }
}

}  // namespace cronet_curl
