// The one mapping of libcurl results to net errors.
#include "net_errors.h"

#include <cerrno>
#include <cstring>

namespace cronet_curl {
namespace {

struct Row {
  int32_t net_error;
  const char* name;
  Cronet_Error_ERROR_CODE cronet_code;
  // libcurl results that map to this error unless refined below (up to 6).
  CURLcode curl_codes[6];
};

constexpr CURLcode kX = CURLE_OK;  // unused slot
constexpr Cronet_Error_ERROR_CODE kOther = Cronet_Error_ERROR_CODE_ERROR_OTHER;

// THE table. Refinements that need more than the libcurl result (errno, the
// certificate verification result, proxy details, what had arrived) are in
// map_curl_failure below and only ever pick rows of this table.
const Row kTable[] = {
    {kErrFailed, "net::ERR_FAILED", kOther, {kX}},
    {kErrAborted, "net::ERR_ABORTED", kOther, {CURLE_ABORTED_BY_CALLBACK}},
    {kErrTimedOut,
     "net::ERR_TIMED_OUT",
     Cronet_Error_ERROR_CODE_ERROR_TIMED_OUT,
     {CURLE_OPERATION_TIMEDOUT}},
    {kErrOutOfMemory, "net::ERR_OUT_OF_MEMORY", kOther, {CURLE_OUT_OF_MEMORY}},
    {kErrUploadFileChanged,
     "net::ERR_UPLOAD_FILE_CHANGED",
     kOther,
     {CURLE_SEND_FAIL_REWIND, CURLE_READ_ERROR}},
    {kErrConnectionClosed,
     "net::ERR_CONNECTION_CLOSED",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_CLOSED,
     {kX}},
    {kErrConnectionReset,
     "net::ERR_CONNECTION_RESET",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_RESET,
     {CURLE_RECV_ERROR, CURLE_SEND_ERROR}},
    {kErrConnectionRefused,
     "net::ERR_CONNECTION_REFUSED",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_REFUSED,
     {kX}},
    {kErrConnectionAborted, "net::ERR_CONNECTION_ABORTED", kOther, {kX}},
    {kErrConnectionFailed, "net::ERR_CONNECTION_FAILED", kOther, {CURLE_COULDNT_CONNECT}},
    {kErrNameNotResolved,
     "net::ERR_NAME_NOT_RESOLVED",
     Cronet_Error_ERROR_CODE_ERROR_HOSTNAME_NOT_RESOLVED,
     {CURLE_COULDNT_RESOLVE_HOST}},
    {kErrSslProtocolError,
     "net::ERR_SSL_PROTOCOL_ERROR",
     kOther,
     {CURLE_SSL_CONNECT_ERROR, CURLE_SSL_SHUTDOWN_FAILED, CURLE_USE_SSL_FAILED,
      CURLE_SSL_ENGINE_INITFAILED}},
    {kErrAddressUnreachable,
     "net::ERR_ADDRESS_UNREACHABLE",
     Cronet_Error_ERROR_CODE_ERROR_ADDRESS_UNREACHABLE,
     {kX}},
    {kErrSslClientAuthCertNeeded,
     "net::ERR_SSL_CLIENT_AUTH_CERT_NEEDED",
     kOther,
     {CURLE_SSL_CERTPROBLEM}},
    {kErrTunnelConnectionFailed, "net::ERR_TUNNEL_CONNECTION_FAILED", kOther, {kX}},
    {kErrSslVersionOrCipherMismatch,
     "net::ERR_SSL_VERSION_OR_CIPHER_MISMATCH",
     kOther,
     {CURLE_SSL_CIPHER}},
    {kErrConnectionTimedOut,
     "net::ERR_CONNECTION_TIMED_OUT",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_TIMED_OUT,
     {kX}},
    {kErrSocksConnectionFailed, "net::ERR_SOCKS_CONNECTION_FAILED", kOther, {kX}},
    {kErrSocksConnectionHostUnreachable,
     "net::ERR_SOCKS_CONNECTION_HOST_UNREACHABLE",
     kOther,
     {kX}},
    {kErrProxyConnectionFailed,
     "net::ERR_PROXY_CONNECTION_FAILED",
     kOther,
     {CURLE_COULDNT_RESOLVE_PROXY, CURLE_PROXY}},
    {kErrCertCommonNameInvalid, "net::ERR_CERT_COMMON_NAME_INVALID", kOther, {kX}},
    {kErrCertDateInvalid, "net::ERR_CERT_DATE_INVALID", kOther, {kX}},
    {kErrCertAuthorityInvalid,
     "net::ERR_CERT_AUTHORITY_INVALID",
     kOther,
     {CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE, CURLE_SSL_ISSUER_ERROR}},
    {kErrCertRevoked, "net::ERR_CERT_REVOKED", kOther, {kX}},
    {kErrCertInvalid,
     "net::ERR_CERT_INVALID",
     kOther,
     {CURLE_SSL_PINNEDPUBKEYNOTMATCH, CURLE_SSL_INVALIDCERTSTATUS}},
    {kErrInvalidUrl, "net::ERR_INVALID_URL", kOther, {CURLE_URL_MALFORMAT}},
    {kErrUnknownUrlScheme, "net::ERR_UNKNOWN_URL_SCHEME", kOther, {kX}},
    {kErrInvalidRedirect, "net::ERR_INVALID_REDIRECT", kOther, {kX}},
    {kErrTooManyRedirects, "net::ERR_TOO_MANY_REDIRECTS", kOther, {CURLE_TOO_MANY_REDIRECTS}},
    {kErrUnsafeRedirect, "net::ERR_UNSAFE_REDIRECT", kOther, {kX}},
    {kErrInvalidResponse, "net::ERR_INVALID_RESPONSE", kOther, {kX}},
    {kErrEmptyResponse, "net::ERR_EMPTY_RESPONSE", kOther, {CURLE_GOT_NOTHING}},
    {kErrResponseHeadersMultipleContentDisposition,
     "net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION",
     kOther,
     {kX}},
    {kErrResponseHeadersMultipleContentLength,
     "net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH",
     kOther,
     {kX}},
    {kErrResponseHeadersMultipleLocation,
     "net::ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION",
     kOther,
     {kX}},
    {kErrResponseHeadersTooBig,
     "net::ERR_RESPONSE_HEADERS_TOO_BIG",
     kOther,
     {CURLE_FILESIZE_EXCEEDED}},
    {kErrContentDecodingFailed,
     "net::ERR_CONTENT_DECODING_FAILED",
     kOther,
     {CURLE_BAD_CONTENT_ENCODING}},
    {kErrHttP2ProtocolError,
     "net::ERR_HTTP2_PROTOCOL_ERROR",
     kOther,
     {CURLE_HTTP2, CURLE_HTTP2_STREAM}},
    {kErrContentLengthMismatch, "net::ERR_CONTENT_LENGTH_MISMATCH", kOther, {CURLE_PARTIAL_FILE}},
    {kErrIncompleteChunkedEncoding, "net::ERR_INCOMPLETE_CHUNKED_ENCODING", kOther, {kX}},
    {kErrQuicProtocolError,
     "net::ERR_QUIC_PROTOCOL_ERROR",
     Cronet_Error_ERROR_CODE_ERROR_QUIC_PROTOCOL_FAILED,
     {CURLE_HTTP3, CURLE_QUIC_CONNECT_ERROR}},
    {kErrInvalidHttpResponse,
     "net::ERR_INVALID_HTTP_RESPONSE",
     kOther,
     {CURLE_WEIRD_SERVER_REPLY, CURLE_UNSUPPORTED_PROTOCOL, CURLE_RANGE_ERROR}},
};

const Row& row_for(int32_t net_error) {
  for (const Row& r : kTable)
    if (r.net_error == net_error) return r;
  return kTable[0];
}

int32_t default_for_curl(CURLcode code) {
  for (const Row& r : kTable)
    for (CURLcode c : r.curl_codes)
      if (c != kX && c == code) return r.net_error;
  return kErrFailed;
}

int32_t from_errno(long e, int32_t fallback) {
  switch (e) {
    case ECONNREFUSED: return kErrConnectionRefused;
    case ECONNRESET:
    case EPIPE: return kErrConnectionReset;
    case ECONNABORTED: return kErrConnectionAborted;
    case ENETUNREACH:
    case EHOSTUNREACH: return kErrAddressUnreachable;
    case ETIMEDOUT: return kErrTimedOut;
    default: return fallback;
  }
}

// The certificate status bits libcurl reports for GnuTLS
// (gnutls_certificate_status_t, part of GnuTLS's ABI).
constexpr long kCertRevoked = 1 << 5;
constexpr long kCertSignerNotFound = 1 << 6;
constexpr long kCertSignerNotCa = 1 << 7;
constexpr long kCertNotActivated = 1 << 9;
constexpr long kCertExpired = 1 << 10;
constexpr long kCertUnexpectedOwner = 1 << 14;
constexpr long kCertSignerConstraints = 1 << 16;

// The most telling error first, as browsers order them: a chain that leads
// to no trusted root hides a date problem of the same certificate.
int32_t from_verify_result(long v) {
  if (v == 0) return kErrCertCommonNameInvalid;  // chain fine: the name check failed
  if (v & kCertRevoked) return kErrCertRevoked;
  if (v & (kCertSignerNotFound | kCertSignerNotCa | kCertUnexpectedOwner | kCertSignerConstraints))
    return kErrCertAuthorityInvalid;
  if (v & (kCertExpired | kCertNotActivated)) return kErrCertDateInvalid;
  return kErrCertInvalid;
}

bool has(const char* message, const char* part) { return message && std::strstr(message, part); }

}  // namespace

const char* net_error_name(int32_t net_error) { return row_for(net_error).name; }

Cronet_Error_ERROR_CODE net_error_to_cronet_code(int32_t net_error) {
  return row_for(net_error).cronet_code;
}

int32_t map_curl_failure(const CurlFailure& f) {
  switch (f.code) {
    case CURLE_COULDNT_CONNECT:
      if (f.connect_code != 0 && f.connect_code != 200) return kErrTunnelConnectionFailed;
      if (f.via_proxy && !f.connected) return kErrProxyConnectionFailed;
      return from_errno(f.os_errno, kErrConnectionFailed) == kErrTimedOut
                 ? kErrConnectionTimedOut
                 : from_errno(f.os_errno, kErrConnectionFailed);
    case CURLE_PROXY:
      if (f.connect_code != 0 && f.connect_code != 200) return kErrTunnelConnectionFailed;
      if (f.proxy_is_socks) {
        switch (f.proxy_error) {
          case CURLPX_REPLY_HOST_UNREACHABLE:
          case CURLPX_REPLY_NETWORK_UNREACHABLE:
          case CURLPX_RESOLVE_HOST: return kErrSocksConnectionHostUnreachable;
          default: return kErrSocksConnectionFailed;
        }
      }
      return kErrProxyConnectionFailed;
    case CURLE_OPERATION_TIMEDOUT: return f.connected ? kErrTimedOut : kErrConnectionTimedOut;
    case CURLE_OUT_OF_MEMORY:
      // libcurl reports an over-long header line this way.
      if (f.in_headers || (f.message && std::strstr(f.message, "header")))
        return kErrResponseHeadersTooBig;
      return kErrOutOfMemory;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (f.message && std::strstr(f.message, "Too large response headers"))
        return kErrResponseHeadersTooBig;
      if (f.connect_code != 0 && f.connect_code != 200) return kErrTunnelConnectionFailed;
      if (f.via_proxy && !f.connected) return kErrProxyConnectionFailed;
      if (f.os_errno == 0) return f.got_headers ? kErrConnectionClosed : kErrConnectionReset;
      return from_errno(f.os_errno, kErrConnectionReset);
    case CURLE_PEER_FAILED_VERIFICATION:
      // libcurl checks the host name and the dates itself once the chain verified.
      if (has(f.message, "subject name") || has(f.message, "host name"))
        return kErrCertCommonNameInvalid;
      if (has(f.message, "expiration date") || has(f.message, "not activated"))
        return kErrCertDateInvalid;
      return from_verify_result(f.ssl_verify_result);
    case CURLE_SSL_CONNECT_ERROR:
      if (f.via_proxy && !f.connected && f.connect_code != 0 && f.connect_code != 200)
        return kErrTunnelConnectionFailed;
      if (f.os_errno == ECONNRESET || f.os_errno == EPIPE) return kErrConnectionReset;
      // The peer closed the connection in the middle of the handshake.
      if (has(f.message, "non-properly terminated")) return kErrConnectionClosed;
      // The transport failed under the handshake: GnuTLS names only its own
      // callback, the socket error is in errno.
      if (has(f.message, "in the pull function") || has(f.message, "in the push function"))
        return from_errno(f.os_errno, kErrConnectionReset);
      if (has(f.message, "Protocol version") || has(f.message, "unsupported version") ||
          has(f.message, "cipher suite"))
        return kErrSslVersionOrCipherMismatch;
      return kErrSslProtocolError;
    case CURLE_PARTIAL_FILE:
      return f.chunked ? kErrIncompleteChunkedEncoding : kErrContentLengthMismatch;
    case CURLE_GOT_NOTHING: return kErrEmptyResponse;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY: return kErrInvalidHttpResponse;
    default: return default_for_curl(f.code);
  }
}

}  // namespace cronet_curl
