// Mapping of libcurl results (and HTTP-level conditions found by the library)
// to Cronet's net errors: the name that becomes the error message, the
// negative net error number (internal_error_code) and the Cronet error code.
// The whole mapping lives in net_errors.cpp, in one table.
#pragma once

#include <curl/curl.h>

#include <cstdint>

#include "cronet_c.h"

namespace cronet_curl {

// The net error numbers used by the library.
enum NetError : int32_t {
  kErrFailed = -2,
  kErrAborted = -3,
  kErrTimedOut = -7,
  kErrOutOfMemory = -13,
  kErrUploadFileChanged = -14,
  kErrConnectionClosed = -100,
  kErrConnectionReset = -101,
  kErrConnectionRefused = -102,
  kErrConnectionAborted = -103,
  kErrConnectionFailed = -104,
  kErrNameNotResolved = -105,
  kErrSslProtocolError = -107,
  kErrAddressUnreachable = -109,
  kErrSslClientAuthCertNeeded = -110,
  kErrTunnelConnectionFailed = -111,
  kErrSslVersionOrCipherMismatch = -113,
  kErrConnectionTimedOut = -118,
  kErrSocksConnectionFailed = -120,
  kErrSocksConnectionHostUnreachable = -121,
  kErrProxyConnectionFailed = -130,
  kErrCertCommonNameInvalid = -200,
  kErrCertDateInvalid = -201,
  kErrCertAuthorityInvalid = -202,
  kErrCertRevoked = -206,
  kErrCertInvalid = -207,
  kErrInvalidUrl = -300,
  kErrUnknownUrlScheme = -302,
  kErrInvalidRedirect = -303,
  kErrTooManyRedirects = -310,
  kErrUnsafeRedirect = -311,
  kErrInvalidResponse = -320,
  kErrEmptyResponse = -324,
  kErrResponseHeadersTooBig = -325,
  kErrContentDecodingFailed = -330,
  kErrHttP2ProtocolError = -337,
  kErrResponseHeadersMultipleContentDisposition = -348,
  kErrResponseHeadersMultipleContentLength = -349,
  kErrResponseHeadersMultipleLocation = -350,
  kErrContentLengthMismatch = -354,
  kErrIncompleteChunkedEncoding = -355,
  kErrQuicProtocolError = -356,
  kErrInvalidHttpResponse = -370,
};

// "net::ERR_..." for a net error of the list above ("net::ERR_FAILED" for any
// other number).
const char* net_error_name(int32_t net_error);
// The Cronet error code reported for a net error (ERROR_OTHER for most).
Cronet_Error_ERROR_CODE net_error_to_cronet_code(int32_t net_error);

// What the network thread knows about a failed transfer.
struct CurlFailure {
  CURLcode code = CURLE_OK;
  long os_errno = 0;           // CURLINFO_OS_ERRNO
  long ssl_verify_result = 0;  // CURLINFO_SSL_VERIFYRESULT (GnuTLS status bits)
  long proxy_error = 0;        // CURLINFO_PROXY_ERROR (CURLproxycode)
  long connect_code = 0;       // CURLINFO_HTTP_CONNECTCODE (proxy CONNECT status)
  bool via_proxy = false;      // the transfer was configured to use a proxy
  bool proxy_is_socks = false;
  bool connected = false;    // a connection to the server (or tunnel) was made
  bool chunked = false;      // the response announced chunked encoding
  bool got_headers = false;  // response headers had arrived
  bool in_headers = false;   // a status line came, its headers did not end
  const char* message = "";  // libcurl's error text (CURLOPT_ERRORBUFFER)
};

// The net error for a failed transfer.
int32_t map_curl_failure(const CurlFailure& f);

}  // namespace cronet_curl
