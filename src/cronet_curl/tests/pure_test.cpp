// Pure functions: proxy rules, header validation, the error table, URLs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alt_svc.h"
#include "body_queue.h"
#include "header_validation.h"
#include "net_errors.h"
#include "proxy_rules.h"
#include "url.h"

using namespace cronet_curl;

namespace {

std::string http(const char* rules) {
  ProxyConfig c;
  if (!parse_proxy_rules(rules, &c)) return "ERROR";
  return c.http.to_curl();
}
std::string https(const char* rules) {
  ProxyConfig c;
  if (!parse_proxy_rules(rules, &c)) return "ERROR";
  return c.https.to_curl();
}

TEST(ProxyRules, EmptyAndDirect) {
  EXPECT_EQ(http(""), "");
  EXPECT_EQ(https("   "), "");
  EXPECT_EQ(http("direct://"), "");
  EXPECT_EQ(https("direct://"), "");
}

TEST(ProxyRules, SingleProxy) {
  EXPECT_EQ(http("proxy.example:8080"), "http://proxy.example:8080");
  EXPECT_EQ(https("proxy.example:8080"), "http://proxy.example:8080");
  EXPECT_EQ(http("http://proxy.example:3128"), "http://proxy.example:3128");
  EXPECT_EQ(http("proxy.example"), "http://proxy.example:80");
  EXPECT_EQ(http("https://p:8443"), "https://p:8443");
  EXPECT_EQ(http("https://p"), "https://p:443");
  EXPECT_EQ(http("socks5://127.0.0.1:1080"), "socks5h://127.0.0.1:1080");
  EXPECT_EQ(http("socks5://127.0.0.1"), "socks5h://127.0.0.1:1080");
  EXPECT_EQ(http("socks4://h:9"), "socks4://h:9");
  EXPECT_EQ(http("socks://h:9"), "socks4://h:9");
  EXPECT_EQ(http("[::1]:8080"), "http://[::1]:8080");
  EXPECT_EQ(http("  HTTP://Proxy:1/  "), "http://Proxy:1");
  EXPECT_EQ(http("p1:1,p2:2"), "http://p1:1");
  EXPECT_EQ(http("direct://,p2:2"), "");
}

TEST(ProxyRules, PerScheme) {
  EXPECT_EQ(http("http=proxy1:80;https=proxy2:443"), "http://proxy1:80");
  EXPECT_EQ(https("http=proxy1:80;https=proxy2:443"), "http://proxy2:443");
  EXPECT_EQ(https("http=proxy1:80"), "");
  EXPECT_EQ(http("https=p:1"), "");
  EXPECT_EQ(http("http=direct://;https=p:1"), "");
  EXPECT_EQ(http("socks=s:1"), "socks4://s:1");
  EXPECT_EQ(https("http=h:1;socks=socks5://s:2"), "socks5h://s:2");
  EXPECT_EQ(http("http=h:1;socks=socks5://s:2"), "http://h:1");
  EXPECT_EQ(http("ftp=f:1"), "");
  EXPECT_EQ(http(" http = h:1 ; ; https=g:2 ;"), "http://h:1");
}

TEST(ProxyRules, Unparseable) {
  for (const char* bad : {"http://",
                          "://x",
                          "h:",
                          "h:0",
                          "h:65536",
                          "h:123456",
                          "h:12a",
                          "ftp://h:1",
                          "quic://h:1",
                          "user:pw@h:1",
                          "h:1/path",
                          "h 1",
                          "[::1",
                          "[]:1",
                          "[zz]:1",
                          "direct://x",
                          "foo=h:1",
                          "http=",
                          "http=h:1;http=h:2",
                          "h:1;g:2",
                          "h:1;http=g:2",
                          "http=h:1;g:2",
                          ";",
                          ",",
                          "h:1,",
                          "-h:1",
                          ".h:1",
                          "h\xff:1"}) {
    ProxyConfig c;
    EXPECT_FALSE(parse_proxy_rules(bad, &c)) << bad;
  }
  ProxyConfig c;
  EXPECT_FALSE(parse_proxy_rules(std::string_view("h:1\0x", 5), &c));
}

TEST(HeaderValidation, Tokens) {
  EXPECT_TRUE(is_http_token("GET"));
  EXPECT_TRUE(is_http_token("X-Custom_1!#$%&'*+.^`|~"));
  EXPECT_FALSE(is_http_token(""));
  EXPECT_FALSE(is_http_token("GE T"));
  EXPECT_FALSE(is_http_token("a:b"));
  EXPECT_FALSE(is_http_token("a\"b"));
  EXPECT_FALSE(is_http_token("caf\xc3\xa9"));
  EXPECT_EQ(validate_method(""), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(validate_method("PATCH"), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(validate_method("BAD METHOD"), Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD);
  EXPECT_EQ(validate_method("G\r\n"), Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD);
}

TEST(HeaderValidation, Headers) {
  EXPECT_EQ(validate_request_header("X-A", "v"), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(validate_request_header("X-A", " v with spaces\t"), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(validate_request_header("", "v"), Cronet_RESULT_NULL_POINTER_HEADER_NAME);
  EXPECT_EQ(validate_request_header("", ""), Cronet_RESULT_NULL_POINTER_HEADER_NAME);
  EXPECT_EQ(validate_request_header("X-A", ""), Cronet_RESULT_NULL_POINTER_HEADER_VALUE);
  EXPECT_EQ(validate_request_header("X A", "v"),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  EXPECT_EQ(validate_request_header("X:A", "v"),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  EXPECT_EQ(validate_request_header("X-A", "a\rb"),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  EXPECT_EQ(validate_request_header("X-A", "a\nb"),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  EXPECT_EQ(validate_request_header("X-A", std::string_view("a\0b", 3)),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
}

TEST(NetErrors, NamesNumbersCodes) {
  struct {
    int32_t e;
    const char* name;
    Cronet_Error_ERROR_CODE code;
  } cases[] = {
      {kErrConnectionRefused, "net::ERR_CONNECTION_REFUSED",
       Cronet_Error_ERROR_CODE_ERROR_CONNECTION_REFUSED},
      {kErrConnectionReset, "net::ERR_CONNECTION_RESET",
       Cronet_Error_ERROR_CODE_ERROR_CONNECTION_RESET},
      {kErrConnectionClosed, "net::ERR_CONNECTION_CLOSED",
       Cronet_Error_ERROR_CODE_ERROR_CONNECTION_CLOSED},
      {kErrNameNotResolved, "net::ERR_NAME_NOT_RESOLVED",
       Cronet_Error_ERROR_CODE_ERROR_HOSTNAME_NOT_RESOLVED},
      {kErrTimedOut, "net::ERR_TIMED_OUT", Cronet_Error_ERROR_CODE_ERROR_TIMED_OUT},
      {kErrConnectionTimedOut, "net::ERR_CONNECTION_TIMED_OUT",
       Cronet_Error_ERROR_CODE_ERROR_CONNECTION_TIMED_OUT},
      {kErrAddressUnreachable, "net::ERR_ADDRESS_UNREACHABLE",
       Cronet_Error_ERROR_CODE_ERROR_ADDRESS_UNREACHABLE},
      {kErrQuicProtocolError, "net::ERR_QUIC_PROTOCOL_ERROR",
       Cronet_Error_ERROR_CODE_ERROR_QUIC_PROTOCOL_FAILED},
      {kErrCertAuthorityInvalid, "net::ERR_CERT_AUTHORITY_INVALID",
       Cronet_Error_ERROR_CODE_ERROR_OTHER},
      {kErrAborted, "net::ERR_ABORTED", Cronet_Error_ERROR_CODE_ERROR_OTHER},
      {12345, "net::ERR_FAILED", Cronet_Error_ERROR_CODE_ERROR_OTHER},
  };
  for (auto& c : cases) {
    EXPECT_STREQ(net_error_name(c.e), c.name);
    EXPECT_EQ(net_error_to_cronet_code(c.e), c.code) << c.name;
  }
  EXPECT_EQ(kErrConnectionRefused, -102);
  EXPECT_EQ(kErrNameNotResolved, -105);
  EXPECT_EQ(kErrCertAuthorityInvalid, -202);
  EXPECT_EQ(kErrTooManyRedirects, -310);
}

TEST(NetErrors, CurlMapping) {
  auto map = [](CURLcode c, long err = 0, long verify = 0, bool proxy = false,
                bool connected = true) {
    CurlFailure f;
    f.code = c;
    f.os_errno = err;
    f.ssl_verify_result = verify;
    f.via_proxy = proxy;
    f.connected = connected;
    return std::string(net_error_name(map_curl_failure(f)));
  };
  EXPECT_EQ(map(CURLE_COULDNT_CONNECT, ECONNREFUSED, 0, false, false),
            "net::ERR_CONNECTION_REFUSED");
  EXPECT_EQ(map(CURLE_COULDNT_CONNECT, ECONNREFUSED, 0, true, false),
            "net::ERR_PROXY_CONNECTION_FAILED");
  EXPECT_EQ(map(CURLE_COULDNT_CONNECT, ETIMEDOUT, 0, false, false),
            "net::ERR_CONNECTION_TIMED_OUT");
  EXPECT_EQ(map(CURLE_COULDNT_RESOLVE_HOST), "net::ERR_NAME_NOT_RESOLVED");
  EXPECT_EQ(map(CURLE_COULDNT_RESOLVE_PROXY), "net::ERR_PROXY_CONNECTION_FAILED");
  EXPECT_EQ(map(CURLE_RECV_ERROR, ECONNRESET), "net::ERR_CONNECTION_RESET");
  EXPECT_EQ(map(CURLE_OPERATION_TIMEDOUT, 0, 0, false, true), "net::ERR_TIMED_OUT");
  EXPECT_EQ(map(CURLE_OPERATION_TIMEDOUT, 0, 0, false, false), "net::ERR_CONNECTION_TIMED_OUT");
  // GnuTLS status bits: INVALID (2) with SIGNER_NOT_FOUND (64), EXPIRED (1024), REVOKED (32).
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 2 | 64), "net::ERR_CERT_AUTHORITY_INVALID");
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 2 | 64 | 1024),
            "net::ERR_CERT_AUTHORITY_INVALID");
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 2 | 1024), "net::ERR_CERT_DATE_INVALID");
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 2 | 32 | 64), "net::ERR_CERT_REVOKED");
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 2), "net::ERR_CERT_INVALID");
  EXPECT_EQ(map(CURLE_PEER_FAILED_VERIFICATION, 0, 0), "net::ERR_CERT_COMMON_NAME_INVALID");
  EXPECT_EQ(map(CURLE_SSL_CONNECT_ERROR), "net::ERR_SSL_PROTOCOL_ERROR");
  EXPECT_EQ(map(CURLE_GOT_NOTHING), "net::ERR_EMPTY_RESPONSE");
  EXPECT_EQ(map(CURLE_WEIRD_SERVER_REPLY), "net::ERR_INVALID_HTTP_RESPONSE");
  EXPECT_EQ(map(CURLE_UNSUPPORTED_PROTOCOL), "net::ERR_INVALID_HTTP_RESPONSE");
  EXPECT_EQ(map(CURLE_BAD_CONTENT_ENCODING), "net::ERR_CONTENT_DECODING_FAILED");
  EXPECT_EQ(map(CURLE_ABORTED_BY_CALLBACK), "net::ERR_ABORTED");
  EXPECT_EQ(map(CURLE_HTTP2_STREAM), "net::ERR_HTTP2_PROTOCOL_ERROR");
  EXPECT_EQ(map(CURLE_PARTIAL_FILE), "net::ERR_CONTENT_LENGTH_MISMATCH");
  CurlFailure f;
  f.code = CURLE_PARTIAL_FILE;
  f.chunked = true;
  EXPECT_STREQ(net_error_name(map_curl_failure(f)), "net::ERR_INCOMPLETE_CHUNKED_ENCODING");
  f = CurlFailure();
  f.code = CURLE_SSL_CONNECT_ERROR;
  struct {
    const char* message;
    long os_errno;
    const char* error;
  } handshake[] = {
      {"gnutls_handshake() failed: The TLS connection was non-properly terminated.", 0,
       "net::ERR_CONNECTION_CLOSED"},
      {"gnutls_handshake() failed: Error in the pull function.", ECONNRESET,
       "net::ERR_CONNECTION_RESET"},
      {"gnutls_handshake() failed: Error in the push function.", 0, "net::ERR_CONNECTION_RESET"},
      {"Recv failure: Connection reset by peer", ECONNRESET, "net::ERR_CONNECTION_RESET"},
      {"gnutls_handshake() failed: Protocol version", 0, "net::ERR_SSL_VERSION_OR_CIPHER_MISMATCH"},
      {"gnutls_handshake() failed: An unexpected TLS packet was received.", 0,
       "net::ERR_SSL_PROTOCOL_ERROR"},
  };
  for (const auto& h : handshake) {
    f.message = h.message;
    f.os_errno = h.os_errno;
    EXPECT_STREQ(net_error_name(map_curl_failure(f)), h.error) << h.message;
  }
  f = CurlFailure();
  f.code = CURLE_PROXY;
  f.via_proxy = f.proxy_is_socks = true;
  f.proxy_error = CURLPX_REPLY_CONNECTION_REFUSED;
  EXPECT_STREQ(net_error_name(map_curl_failure(f)), "net::ERR_SOCKS_CONNECTION_FAILED");
  f.code = CURLE_COULDNT_CONNECT;
  f.connect_code = 403;
  EXPECT_STREQ(net_error_name(map_curl_failure(f)), "net::ERR_TUNNEL_CONNECTION_FAILED");
}

}  // namespace

struct UrlCase {
  const char* base;  // nullptr: normalise `text` alone
  const char* text;
  const char* want;
};

class Urls : public ::testing::TestWithParam<UrlCase> {};

TEST_P(Urls, ResolveAsBrowsersDo) {
  const UrlCase& c = GetParam();
  std::string got;
  int32_t rc = c.base ? resolve_redirect(c.base, c.text, &got) : normalize_url(c.text, &got);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(got, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Urls,
    ::testing::Values(
        // Spaces are %20 everywhere (a '+' in the query would mean a plus sign).
        UrlCase{nullptr, " http://h/a b?q=a b&r=c+d\n", "http://h/a%20b?q=a%20b&r=c+d"},
        UrlCase{nullptr, "http://h/x\"<>`{}", "http://h/x%22%3C%3E%60%7B%7D"},
        UrlCase{nullptr, "http://h/a\tb", "http://h/ab"},
        UrlCase{"http://h/a", "/b c?x=a b", "http://h/b%20c?x=a%20b"},
        // The current fragment takes no part, and is inherited by a target without one.
        UrlCase{"http://h/p#top", "?page=2", "http://h/p?page=2#top"},
        UrlCase{"http://h/p#top", "/q#own", "http://h/q#own"},
        UrlCase{"http://h/d/frag", "#sec", "http://h/d/frag#sec"},
        UrlCase{"http://h/d/frag#old", "#new", "http://h/d/frag#new"},
        UrlCase{"http://h/d/x?q=1", "y", "http://h/d/y"},
        UrlCase{"http://h/d/x", "//other:81/z", "http://other:81/z"}),
    [](const auto& info) {
      return (info.param.base ? "redirect_" : "normalize_") + std::to_string(info.index);
    });

namespace {

using cronet_curl::AltSvcCache;
using cronet_curl::parse_alt_svc;

TEST(AltSvc, Parse) {
  struct {
    const char* value;
    bool clear;
    std::vector<std::string> entries;  // "proto host:port max_age"
  } cases[] = {
      {"clear", true, {}},
      {" clear ", true, {}},
      {"h3=\":443\"", false, {"h3 :443 86400"}},
      {"h3=\":8443\"; ma=60, h2=\"alt.example:443\"",
       false,
       {"h3 :8443 60", "h2 alt.example:443 86400"}},
      {"h3=\"host:1\";MA=0;persist=1", false, {"h3 host:1 0"}},
      {"h3=\":0\", h3=\":65536\", h3=\":x\", h3=443, h3=\":1\"", false, {"h3 :1 86400"}},
      {"h3=\":9\"; ma=-1, h3=\":7\"; ma=\"5\"", false, {"h3 :7 5"}},
      {"h3=\"[::1]:443\"", false, {"h3 [::1]:443 86400"}},
      {"h3=\"a\\\"b:5\"", false, {"h3 a\"b:5 86400"}},
      {"h3=\":443", false, {}},
      {"clear, h3=\":1\"", false, {"h3 :1 86400"}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    bool clear = !c.clear;
    std::vector<std::string> got;
    for (const auto& e : parse_alt_svc(c.value, &clear))
      got.push_back(e.protocol + " " + e.host + ":" + std::to_string(e.port) + " " +
                    std::to_string(e.max_age));
    EXPECT_EQ(clear, c.clear) << c.value;
    EXPECT_EQ(got, c.entries) << c.value;
  }
}

TEST(AltSvc, CacheExpiryClearAndBrokenBackoff) {
  AltSvcCache cache;
  const std::string o = "https://example.test:443";
  auto t0 = AltSvcCache::Clock::now();
  using std::chrono::seconds;
  EXPECT_EQ(cache.lookup(o, t0), 0);
  cache.update(o, "h2=\":444\", h3=\"other.test:443\"", t0);
  EXPECT_EQ(cache.lookup(o, t0), 0);  // no h3 on the origin's own host
  cache.update(o, "h3=\"example.test:8443\"; ma=10", t0);
  EXPECT_EQ(cache.lookup(o, t0 + seconds(9)), 8443);
  EXPECT_EQ(cache.lookup(o, t0 + seconds(10)), 0);
  EXPECT_EQ(cache.lookup("https://example.test:444", t0), 0);
  cache.update(o, "h3=\":9443\"", t0);
  EXPECT_EQ(cache.lookup(o, t0), 9443);
  cache.update(o, "h2=\":443\"", t0);  // a new value replaces the old one
  EXPECT_EQ(cache.lookup(o, t0), 0);
  cache.update(o, "h3=\":9443\"", t0);
  cache.update(o, "clear", t0);
  EXPECT_EQ(cache.lookup(o, t0), 0);
  // Broken: five minutes, then ten, until it works again.
  cache.update(o, "h3=\":9443\"; ma=86400", t0);
  cache.mark_broken(o, t0);
  EXPECT_EQ(cache.lookup(o, t0 + seconds(299)), 0);
  EXPECT_EQ(cache.lookup(o, t0 + seconds(300)), 9443);
  cache.mark_broken(o, t0 + seconds(300));
  EXPECT_EQ(cache.lookup(o, t0 + seconds(899)), 0);
  EXPECT_EQ(cache.lookup(o, t0 + seconds(900)), 9443);
  cache.mark_working(o);
  cache.mark_broken(o, t0 + seconds(900));
  EXPECT_EQ(cache.lookup(o, t0 + seconds(1200)), 9443);
}

TEST(AltSvc, CacheIsBounded) {
  AltSvcCache cache;
  auto t0 = AltSvcCache::Clock::now();
  for (size_t i = 0; i < AltSvcCache::kMaxOrigins + 10; ++i)
    cache.update("https://h" + std::to_string(i) + ":443",
                 "h3=\":1\"; ma=" + std::to_string(100 + i), t0);
  EXPECT_EQ(cache.lookup("https://h0:443", t0), 0);  // the soonest to expire went
  EXPECT_EQ(cache.lookup("https://h" + std::to_string(AltSvcCache::kMaxOrigins + 9) + ":443", t0),
            1);
}

}  // namespace

// ---- body queue: reused blocks --------------------------------------------------------

namespace {

// Bytes of `label` body, position i: differs between bodies so a stale block shows.
char body_byte(int label, size_t i) { return static_cast<char>((i * 7 + label * 101) % 253); }

struct QueueCase {
  const char* name;
  std::vector<size_t> appends;  // libcurl chunk sizes; a 0 reads `read_size` bytes in between
  size_t read_size;
  bool pushed;  // decoder pieces (Push) instead of copies (Append)
};

TEST(BodyQueue, ReadsBackExactlyWhatWentInAcrossReusedBlocks) {
  const size_t B = BodyQueue::kBlockSize;
  const QueueCase cases[] = {
      {"one small chunk", {1024}, 32768, false},
      {"chunks across blocks", {B - 1, 2, B, 3 * B + 5}, 32768, false},
      {"interleaved reads", {B, 0, 100, 0, 0, 2 * B, 0, 7, 0, 0, 0, 0}, 32768, false},
      {"reads bigger than blocks", {5 * B + 3, 0, B}, 3 * B, false},
      {"one-byte reads", {3, 0, 5, 0, 0, 0}, 1, false},
      {"decoder pieces", {B, 10, 0, B / 2, 3, 0, 0, 100, B}, 32768, true},
      {"small pieces into the last block", {1, 2, 3, B / 8, 0, B / 8}, 100, true},
  };
  BlockPool pool;
  int label = 0;
  for (const QueueCase& c : cases) {
    // Several bodies in a row on the same pool, as requests on one engine.
    for (int round = 0; round < 3; ++round, ++label) {
      BodyQueue q;
      std::string want, got;
      size_t pos = 0;
      auto read = [&](size_t n) {
        std::string buf(n, '\0');
        size_t k = q.copy_out(buf.data(), n);
        ASSERT_LE(k, n);
        got.append(buf, 0, k);
        EXPECT_EQ(q.size(), want.size() - got.size()) << c.name;
      };
      for (size_t n : c.appends) {
        if (n == 0) {
          read(c.read_size);
          continue;
        }
        std::string chunk(n, '\0');
        for (size_t i = 0; i < n; ++i) chunk[i] = body_byte(label, pos + i);
        pos += n;
        want += chunk;
        if (c.pushed) {
          for (size_t off = 0; off < n; off += B) {  // a piece is at most a block
            size_t k = std::min(B, n - off);
            Block b = q.take_block(&pool);
            std::memcpy(b.get(), chunk.data() + off, k);
            q.push(std::move(b), k, &pool);
          }
        } else {
          q.append(chunk.data(), n, &pool);
        }
        EXPECT_EQ(q.size(), want.size() - got.size()) << c.name;
      }
      while (q.size() > 0) read(c.read_size);
      ASSERT_EQ(got, want) << c.name << " round " << round;
      std::string tail(16, 'x');
      EXPECT_EQ(q.copy_out(tail.data(), tail.size()), 0u) << c.name;
      // Bytes left unread are dropped with the body, not handed to the next one.
      q.append(want.data(), std::min<size_t>(want.size(), 10), &pool);
      q.clear();
      EXPECT_EQ(q.size(), 0u);
      EXPECT_EQ(q.copy_out(tail.data(), tail.size()), 0u) << c.name;
      q.return_spare(&pool);
      EXPECT_LE(pool.kept(), BlockPool::kMaxKept);
    }
  }
  EXPECT_GT(pool.kept(), 0u);  // blocks did come back for reuse
}

}  // namespace
