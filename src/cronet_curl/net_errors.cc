// The one mapping of libcurl results to Chromium network errors.
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

constexpr CURLcode X = CURLE_OK;  // unused slot
constexpr Cronet_Error_ERROR_CODE OTHER = Cronet_Error_ERROR_CODE_ERROR_OTHER;

// THE table. Refinements that need more than the libcurl result (errno, the
// certificate verification result, proxy details, what had arrived) are in
// MapCurlFailure below and only ever pick rows of this table.
const Row kTable[] = {
    {ERR_FAILED, "net::ERR_FAILED", OTHER, {X}},
    {ERR_ABORTED, "net::ERR_ABORTED", OTHER, {CURLE_ABORTED_BY_CALLBACK}},
    {ERR_TIMED_OUT, "net::ERR_TIMED_OUT", Cronet_Error_ERROR_CODE_ERROR_TIMED_OUT,
     {CURLE_OPERATION_TIMEDOUT}},
    {ERR_OUT_OF_MEMORY, "net::ERR_OUT_OF_MEMORY", OTHER, {CURLE_OUT_OF_MEMORY}},
    {ERR_UPLOAD_FILE_CHANGED, "net::ERR_UPLOAD_FILE_CHANGED", OTHER,
     {CURLE_SEND_FAIL_REWIND, CURLE_READ_ERROR}},
    {ERR_CONNECTION_CLOSED, "net::ERR_CONNECTION_CLOSED",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_CLOSED, {X}},
    {ERR_CONNECTION_RESET, "net::ERR_CONNECTION_RESET",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_RESET, {CURLE_RECV_ERROR, CURLE_SEND_ERROR}},
    {ERR_CONNECTION_REFUSED, "net::ERR_CONNECTION_REFUSED",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_REFUSED, {X}},
    {ERR_CONNECTION_ABORTED, "net::ERR_CONNECTION_ABORTED", OTHER, {X}},
    {ERR_CONNECTION_FAILED, "net::ERR_CONNECTION_FAILED", OTHER, {CURLE_COULDNT_CONNECT}},
    {ERR_NAME_NOT_RESOLVED, "net::ERR_NAME_NOT_RESOLVED",
     Cronet_Error_ERROR_CODE_ERROR_HOSTNAME_NOT_RESOLVED, {CURLE_COULDNT_RESOLVE_HOST}},
    {ERR_SSL_PROTOCOL_ERROR, "net::ERR_SSL_PROTOCOL_ERROR", OTHER,
     {CURLE_SSL_CONNECT_ERROR, CURLE_SSL_SHUTDOWN_FAILED, CURLE_USE_SSL_FAILED,
      CURLE_SSL_ENGINE_INITFAILED}},
    {ERR_ADDRESS_UNREACHABLE, "net::ERR_ADDRESS_UNREACHABLE",
     Cronet_Error_ERROR_CODE_ERROR_ADDRESS_UNREACHABLE, {X}},
    {ERR_SSL_CLIENT_AUTH_CERT_NEEDED, "net::ERR_SSL_CLIENT_AUTH_CERT_NEEDED", OTHER,
     {CURLE_SSL_CERTPROBLEM}},
    {ERR_TUNNEL_CONNECTION_FAILED, "net::ERR_TUNNEL_CONNECTION_FAILED", OTHER, {X}},
    {ERR_SSL_VERSION_OR_CIPHER_MISMATCH, "net::ERR_SSL_VERSION_OR_CIPHER_MISMATCH", OTHER,
     {CURLE_SSL_CIPHER}},
    {ERR_CONNECTION_TIMED_OUT, "net::ERR_CONNECTION_TIMED_OUT",
     Cronet_Error_ERROR_CODE_ERROR_CONNECTION_TIMED_OUT, {X}},
    {ERR_SOCKS_CONNECTION_FAILED, "net::ERR_SOCKS_CONNECTION_FAILED", OTHER, {X}},
    {ERR_SOCKS_CONNECTION_HOST_UNREACHABLE, "net::ERR_SOCKS_CONNECTION_HOST_UNREACHABLE", OTHER,
     {X}},
    {ERR_PROXY_CONNECTION_FAILED, "net::ERR_PROXY_CONNECTION_FAILED", OTHER,
     {CURLE_COULDNT_RESOLVE_PROXY, CURLE_PROXY}},
    {ERR_CERT_COMMON_NAME_INVALID, "net::ERR_CERT_COMMON_NAME_INVALID", OTHER, {X}},
    {ERR_CERT_DATE_INVALID, "net::ERR_CERT_DATE_INVALID", OTHER, {X}},
    {ERR_CERT_AUTHORITY_INVALID, "net::ERR_CERT_AUTHORITY_INVALID", OTHER,
     {CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE, CURLE_SSL_ISSUER_ERROR}},
    {ERR_CERT_REVOKED, "net::ERR_CERT_REVOKED", OTHER, {X}},
    {ERR_CERT_INVALID, "net::ERR_CERT_INVALID", OTHER,
     {CURLE_SSL_PINNEDPUBKEYNOTMATCH, CURLE_SSL_INVALIDCERTSTATUS}},
    {ERR_INVALID_URL, "net::ERR_INVALID_URL", OTHER, {CURLE_URL_MALFORMAT}},
    {ERR_UNKNOWN_URL_SCHEME, "net::ERR_UNKNOWN_URL_SCHEME", OTHER, {X}},
    {ERR_INVALID_REDIRECT, "net::ERR_INVALID_REDIRECT", OTHER, {X}},
    {ERR_TOO_MANY_REDIRECTS, "net::ERR_TOO_MANY_REDIRECTS", OTHER, {CURLE_TOO_MANY_REDIRECTS}},
    {ERR_UNSAFE_REDIRECT, "net::ERR_UNSAFE_REDIRECT", OTHER, {X}},
    {ERR_INVALID_RESPONSE, "net::ERR_INVALID_RESPONSE", OTHER, {X}},
    {ERR_EMPTY_RESPONSE, "net::ERR_EMPTY_RESPONSE", OTHER, {CURLE_GOT_NOTHING}},
    {ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION,
     "net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION", OTHER, {X}},
    {ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH,
     "net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH", OTHER, {X}},
    {ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION, "net::ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION", OTHER,
     {X}},
    {ERR_RESPONSE_HEADERS_TOO_BIG, "net::ERR_RESPONSE_HEADERS_TOO_BIG", OTHER,
     {CURLE_FILESIZE_EXCEEDED}},
    {ERR_CONTENT_DECODING_FAILED, "net::ERR_CONTENT_DECODING_FAILED", OTHER,
     {CURLE_BAD_CONTENT_ENCODING}},
    {ERR_HTTP2_PROTOCOL_ERROR, "net::ERR_HTTP2_PROTOCOL_ERROR", OTHER,
     {CURLE_HTTP2, CURLE_HTTP2_STREAM}},
    {ERR_CONTENT_LENGTH_MISMATCH, "net::ERR_CONTENT_LENGTH_MISMATCH", OTHER, {CURLE_PARTIAL_FILE}},
    {ERR_INCOMPLETE_CHUNKED_ENCODING, "net::ERR_INCOMPLETE_CHUNKED_ENCODING", OTHER, {X}},
    {ERR_QUIC_PROTOCOL_ERROR, "net::ERR_QUIC_PROTOCOL_ERROR",
     Cronet_Error_ERROR_CODE_ERROR_QUIC_PROTOCOL_FAILED, {CURLE_HTTP3, CURLE_QUIC_CONNECT_ERROR}},
    {ERR_INVALID_HTTP_RESPONSE, "net::ERR_INVALID_HTTP_RESPONSE", OTHER,
     {CURLE_WEIRD_SERVER_REPLY, CURLE_UNSUPPORTED_PROTOCOL, CURLE_RANGE_ERROR}},
};

const Row& RowFor(int32_t net_error) {
  for (const Row& r : kTable)
    if (r.net_error == net_error) return r;
  return kTable[0];
}

int32_t DefaultForCurl(CURLcode code) {
  for (const Row& r : kTable)
    for (CURLcode c : r.curl_codes)
      if (c != X && c == code) return r.net_error;
  return ERR_FAILED;
}

int32_t FromErrno(long e, int32_t fallback) {
  switch (e) {
    case ECONNREFUSED: return ERR_CONNECTION_REFUSED;
    case ECONNRESET:
    case EPIPE: return ERR_CONNECTION_RESET;
    case ECONNABORTED: return ERR_CONNECTION_ABORTED;
    case ENETUNREACH:
    case EHOSTUNREACH: return ERR_ADDRESS_UNREACHABLE;
    case ETIMEDOUT: return ERR_TIMED_OUT;
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
int32_t FromVerifyResult(long v) {
  if (v == 0) return ERR_CERT_COMMON_NAME_INVALID;  // chain fine: the name check failed
  if (v & kCertRevoked) return ERR_CERT_REVOKED;
  if (v & (kCertSignerNotFound | kCertSignerNotCa | kCertUnexpectedOwner | kCertSignerConstraints))
    return ERR_CERT_AUTHORITY_INVALID;
  if (v & (kCertExpired | kCertNotActivated)) return ERR_CERT_DATE_INVALID;
  return ERR_CERT_INVALID;
}

bool Has(const char* message, const char* part) {
  return message && std::strstr(message, part);
}

}  // namespace

const char* NetErrorName(int32_t net_error) { return RowFor(net_error).name; }

Cronet_Error_ERROR_CODE NetErrorToCronetCode(int32_t net_error) {
  return RowFor(net_error).cronet_code;
}

int32_t MapCurlFailure(const CurlFailure& f) {
  switch (f.code) {
    case CURLE_COULDNT_CONNECT:
      if (f.connect_code != 0 && f.connect_code != 200) return ERR_TUNNEL_CONNECTION_FAILED;
      if (f.via_proxy && !f.connected) return ERR_PROXY_CONNECTION_FAILED;
      return FromErrno(f.os_errno, ERR_CONNECTION_FAILED) == ERR_TIMED_OUT
                 ? ERR_CONNECTION_TIMED_OUT
                 : FromErrno(f.os_errno, ERR_CONNECTION_FAILED);
    case CURLE_PROXY:
      if (f.connect_code != 0 && f.connect_code != 200) return ERR_TUNNEL_CONNECTION_FAILED;
      if (f.proxy_is_socks) {
        switch (f.proxy_error) {
          case CURLPX_REPLY_HOST_UNREACHABLE:
          case CURLPX_REPLY_NETWORK_UNREACHABLE:
          case CURLPX_RESOLVE_HOST:
            return ERR_SOCKS_CONNECTION_HOST_UNREACHABLE;
          default:
            return ERR_SOCKS_CONNECTION_FAILED;
        }
      }
      return ERR_PROXY_CONNECTION_FAILED;
    case CURLE_OPERATION_TIMEDOUT:
      return f.connected ? ERR_TIMED_OUT : ERR_CONNECTION_TIMED_OUT;
    case CURLE_OUT_OF_MEMORY:
      // libcurl reports an over-long header line this way.
      if (f.in_headers || (f.message && std::strstr(f.message, "header")))
        return ERR_RESPONSE_HEADERS_TOO_BIG;
      return ERR_OUT_OF_MEMORY;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (f.message && std::strstr(f.message, "Too large response headers"))
        return ERR_RESPONSE_HEADERS_TOO_BIG;
      if (f.connect_code != 0 && f.connect_code != 200) return ERR_TUNNEL_CONNECTION_FAILED;
      if (f.via_proxy && !f.connected) return ERR_PROXY_CONNECTION_FAILED;
      if (f.os_errno == 0) return f.got_headers ? ERR_CONNECTION_CLOSED : ERR_CONNECTION_RESET;
      return FromErrno(f.os_errno, ERR_CONNECTION_RESET);
    case CURLE_PEER_FAILED_VERIFICATION:
      // libcurl checks the host name and the dates itself once the chain verified.
      if (Has(f.message, "subject name") || Has(f.message, "host name"))
        return ERR_CERT_COMMON_NAME_INVALID;
      if (Has(f.message, "expiration date") || Has(f.message, "not activated"))
        return ERR_CERT_DATE_INVALID;
      return FromVerifyResult(f.ssl_verify_result);
    case CURLE_SSL_CONNECT_ERROR:
      if (f.via_proxy && !f.connected && f.connect_code != 0 && f.connect_code != 200)
        return ERR_TUNNEL_CONNECTION_FAILED;
      if (f.os_errno == ECONNRESET || f.os_errno == EPIPE) return ERR_CONNECTION_RESET;
      // The peer closed the connection in the middle of the handshake.
      if (Has(f.message, "non-properly terminated")) return ERR_CONNECTION_CLOSED;
      // The transport failed under the handshake: GnuTLS names only its own
      // callback, the socket error is in errno.
      if (Has(f.message, "in the pull function") || Has(f.message, "in the push function"))
        return FromErrno(f.os_errno, ERR_CONNECTION_RESET);
      if (Has(f.message, "Protocol version") || Has(f.message, "unsupported version") ||
          Has(f.message, "cipher suite"))
        return ERR_SSL_VERSION_OR_CIPHER_MISMATCH;
      return ERR_SSL_PROTOCOL_ERROR;
    case CURLE_PARTIAL_FILE:
      return f.chunked ? ERR_INCOMPLETE_CHUNKED_ENCODING : ERR_CONTENT_LENGTH_MISMATCH;
    case CURLE_GOT_NOTHING:
      return ERR_EMPTY_RESPONSE;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
      return ERR_INVALID_HTTP_RESPONSE;
    default:
      return DefaultForCurl(f.code);
  }
}

}  // namespace cronet_curl
