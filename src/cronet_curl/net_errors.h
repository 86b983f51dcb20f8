// Mapping of libcurl results (and HTTP-level conditions found by the library)
// to Chromium network errors: the name that becomes the error message, the
// negative net error number (internal_error_code) and the Cronet error code.
// The whole mapping lives in net_errors.cc, in one table.
#ifndef CRONET_CURL_NET_ERRORS_H_
#define CRONET_CURL_NET_ERRORS_H_

#include <curl/curl.h>

#include <cstdint>

#include "cronet_c.h"

namespace cronet_curl {

// Chromium net error numbers used by the library.
enum NetError : int32_t {
  ERR_FAILED = -2,
  ERR_ABORTED = -3,
  ERR_TIMED_OUT = -7,
  ERR_OUT_OF_MEMORY = -13,
  ERR_UPLOAD_FILE_CHANGED = -14,
  ERR_CONNECTION_CLOSED = -100,
  ERR_CONNECTION_RESET = -101,
  ERR_CONNECTION_REFUSED = -102,
  ERR_CONNECTION_ABORTED = -103,
  ERR_CONNECTION_FAILED = -104,
  ERR_NAME_NOT_RESOLVED = -105,
  ERR_SSL_PROTOCOL_ERROR = -107,
  ERR_ADDRESS_UNREACHABLE = -109,
  ERR_SSL_CLIENT_AUTH_CERT_NEEDED = -110,
  ERR_TUNNEL_CONNECTION_FAILED = -111,
  ERR_SSL_VERSION_OR_CIPHER_MISMATCH = -113,
  ERR_CONNECTION_TIMED_OUT = -118,
  ERR_SOCKS_CONNECTION_FAILED = -120,
  ERR_SOCKS_CONNECTION_HOST_UNREACHABLE = -121,
  ERR_PROXY_CONNECTION_FAILED = -130,
  ERR_CERT_COMMON_NAME_INVALID = -200,
  ERR_CERT_DATE_INVALID = -201,
  ERR_CERT_AUTHORITY_INVALID = -202,
  ERR_CERT_REVOKED = -206,
  ERR_CERT_INVALID = -207,
  ERR_INVALID_URL = -300,
  ERR_UNKNOWN_URL_SCHEME = -302,
  ERR_INVALID_REDIRECT = -303,
  ERR_TOO_MANY_REDIRECTS = -310,
  ERR_UNSAFE_REDIRECT = -311,
  ERR_INVALID_RESPONSE = -320,
  ERR_EMPTY_RESPONSE = -324,
  ERR_RESPONSE_HEADERS_TOO_BIG = -325,
  ERR_CONTENT_DECODING_FAILED = -330,
  ERR_HTTP2_PROTOCOL_ERROR = -337,
  ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION = -348,
  ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH = -349,
  ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION = -350,
  ERR_CONTENT_LENGTH_MISMATCH = -354,
  ERR_INCOMPLETE_CHUNKED_ENCODING = -355,
  ERR_QUIC_PROTOCOL_ERROR = -356,
  ERR_INVALID_HTTP_RESPONSE = -370,
};

// "net::ERR_..." for a net error of the list above ("net::ERR_FAILED" for any
// other number).
const char* NetErrorName(int32_t net_error);
// The Cronet error code Chromium reports for a net error (ERROR_OTHER for most).
Cronet_Error_ERROR_CODE NetErrorToCronetCode(int32_t net_error);

// What the network thread knows about a failed transfer.
struct CurlFailure {
  CURLcode code = CURLE_OK;
  long os_errno = 0;            // CURLINFO_OS_ERRNO
  long ssl_verify_result = 0;   // CURLINFO_SSL_VERIFYRESULT (GnuTLS status bits)
  long proxy_error = 0;         // CURLINFO_PROXY_ERROR (CURLproxycode)
  long connect_code = 0;        // CURLINFO_HTTP_CONNECTCODE (proxy CONNECT status)
  bool via_proxy = false;       // the transfer was configured to use a proxy
  bool proxy_is_socks = false;
  bool connected = false;       // a connection to the server (or tunnel) was made
  bool chunked = false;         // the response announced chunked encoding
  bool got_headers = false;     // response headers had arrived
  bool in_headers = false;      // a status line came, its headers did not end
  const char* message = "";     // libcurl's error text (CURLOPT_ERRORBUFFER)
};

// The net error for a failed transfer.
int32_t MapCurlFailure(const CurlFailure& f);

}  // namespace cronet_curl

#endif  // CRONET_CURL_NET_ERRORS_H_
