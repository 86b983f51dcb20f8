// Checked libcurl options (see curl_options.h).
#include "curl_options.h"

namespace cronet_curl {

std::string easy_option_name(CURLoption o) {
  const curl_easyoption* info = curl_easy_option_by_id(o);
  return std::string("CURLOPT_") + (info ? info->name : std::to_string(o).c_str());
}

bool set_multi_option(CURLM* m, CURLMoption o, const char* name, long value) {
  if (refusal_injection_on() && option_refused_for_test(name)) return false;
  return curl_multi_setopt(m, o, value) == CURLM_OK;
}

bool set_share_option(CURLSH* s, CURLSHoption o, const char* name, long value) {
  if (refusal_injection_on() && option_refused_for_test(name)) return false;
  return curl_share_setopt(s, o, value) == CURLSHE_OK;
}

}  // namespace cronet_curl
