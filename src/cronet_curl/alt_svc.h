// HTTP/3 alternatives that origins advertise in Alt-Svc response headers,
// kept in memory per engine (never on disk), and the origins whose QUIC
// alternative failed and is left alone for a while.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cronet_curl {

struct AltSvcEntry {
  std::string protocol;  // ALPN id, e.g. "h3"
  std::string host;      // empty: the origin's host
  int port = 0;
  int64_t max_age = 86400;  // seconds
};

// Parses an Alt-Svc field value. Sets *clear for "clear"; entries that do not
// parse are skipped, the rest of the value still counts.
std::vector<AltSvcEntry> parse_alt_svc(std::string_view value, bool* clear);

class AltSvcCache {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a broken alternative is left alone: this, doubled per failure.
  static constexpr std::chrono::seconds kBrokenBase{300};
  static constexpr size_t kMaxOrigins = 1000;

  // The HTTP/3 port an origin ("https://host:port") advertised, 0 when none
  // is current or it is marked broken.
  int lookup(const std::string& origin, Clock::time_point now) const;
  // An Alt-Svc value received from the origin replaces what it advertised.
  void update(const std::string& origin, std::string_view value, Clock::time_point now);
  void mark_broken(const std::string& origin, Clock::time_point now);
  void mark_working(const std::string& origin);

 private:
  struct Origin {
    int port = 0;  // 0: nothing advertised now
    Clock::time_point expires;
    int failures = 0;
    Clock::time_point broken_until;
  };
  void trim(Clock::time_point now);
  std::map<std::string, Origin> origins_;
};

}  // namespace cronet_curl
