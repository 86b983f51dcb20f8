// Checked libcurl options (see curl_options.h).
#include "curl_options.h"

namespace cronet_curl {

std::string EasyOptionName(CURLoption o) {
  const curl_easyoption* info = curl_easy_option_by_id(o);
  return std::string("CURLOPT_") + (info ? info->name : std::to_string(o).c_str());
}

bool SetMultiOption(CURLM* m, CURLMoption o, const char* name, long value) {
  if (RefusalInjectionOn() && OptionRefusedForTest(name)) return false;
  return curl_multi_setopt(m, o, value) == CURLM_OK;
}

bool SetShareOption(CURLSH* s, CURLSHoption o, const char* name, long value) {
  if (RefusalInjectionOn() && OptionRefusedForTest(name)) return false;
  return curl_share_setopt(s, o, value) == CURLSHE_OK;
}

}  // namespace cronet_curl
