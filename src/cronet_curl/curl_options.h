// Setting libcurl options with every result checked.
//
// A refusal of an option a request depends on (a safeguard: allowed
// protocols, TLS verification, proxy and no-proxy, limits; the header list,
// the method and body framing; a callback) must not go unnoticed: `Need`
// records the first one, and the caller fails instead of going on without it.
// `Tune` is THE place for optional tuning whose refusal is ignored on purpose
// (buffer sizes, TCP options, stream weight, cache sharing): a transfer is as
// correct without it.
#pragma once

#include <curl/curl.h>

#include <string>

#include "testctl_internal.h"

namespace cronet_curl {

// "CURLOPT_X" for an easy option.
std::string easy_option_name(CURLoption o);

class EasyOptions {
 public:
  explicit EasyOptions(CURL* e) : e_(e) {}

  template <typename T>
  void need(CURLoption o, T value) {
    if (set(o, value) != CURLE_OK && refused_.empty()) refused_ = easy_option_name(o);
  }
  template <typename T>
  void tune(CURLoption o, T value) {
    (void)set(o, value);  // refused: done without, on purpose
  }
  // Name of the first needed option libcurl refused; empty when none was.
  const std::string& refused() const { return refused_; }

 private:
  template <typename T>
  CURLcode set(CURLoption o, T value) {
    if (refusal_injection_on() && option_refused_for_test(easy_option_name(o)))
      return CURLE_UNKNOWN_OPTION;
    return curl_easy_setopt(e_, o, value);
  }

  CURL* e_;
  std::string refused_;
};

// Multi and share options of an engine; false when libcurl refused it.
bool set_multi_option(CURLM* m, CURLMoption o, const char* name, long value);
bool set_share_option(CURLSH* s, CURLSHoption o, const char* name, long value);

}  // namespace cronet_curl
