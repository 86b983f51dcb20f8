// HTTP/3 against local servers: nginx (TCP) advertises an aioquic HTTP/3
// server through Alt-Svc; both answer /proto with the protocol that served it.
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

using namespace ctest;

namespace {

class Http3 : public ::testing::Test {
 protected:
  void SetUp() override {
    CronetTest_Reset();
    info_ = server("nginx", "--h3");
    REQUIRE_TEST_SERVER(!info_.empty(), "nginx --h3");
    CronetTest_SetCaBundle(json_string(info_, "ca").c_str());
    origin_ = "https://localhost:" + std::to_string(json_int(info_, "h2_port"));
    h3_port_ = json_int(info_, "h3_port");
  }
  void TearDown() override { CronetTest_Reset(); }

  struct Result {
    int status = 0;
    std::string body, protocol, error;
  };
  static Result get(Cronet_EnginePtr engine, const std::string& url) {
    TestRequest t(engine);
    EXPECT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS);
    EXPECT_TRUE(t.wait());
    return {t.status, t.body, t.header_value("x-protocol"), t.error_message};
  }
  // Advertises `port` as the origin's HTTP/3 alternative for `ma` seconds.
  std::string advertise(Cronet_EnginePtr engine, int port, int ma = 60) {
    return get(engine, origin_ + "/alt?h3=" + std::to_string(port) + "&ma=" + std::to_string(ma))
        .body;
  }
  std::string proto(Cronet_EnginePtr engine) { return get(engine, origin_ + "/proto").body; }

  std::string info_, origin_;
  int h3_port_ = 0;
};

// Who serves the requests after an advertisement, by engine settings.
TEST_F(Http3, AdvertisedAlternativeServesLaterRequests) {
  std::string proxy_info = server("http-proxy");
  ASSERT_FALSE(proxy_info.empty());
  std::string proxy = "http://127.0.0.1:" + std::to_string(json_int(proxy_info, "port"));
  struct {
    const char* name;
    bool quic, skip_verify, trusted_ca;
    std::string proxy_rules;
    const char* later;
  } cases[] = {
      {"quic, trusted CA", true, false, true, "", "HTTP/3\n"},
      {"quic, skip_cert_verify", true, true, false, "", "HTTP/3\n"},
      {"quic off", false, false, true, "", "HTTP/2.0\n"},
      {"quic through a proxy", true, false, true, proxy, "HTTP/2.0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CronetTest_SetCaBundle(c.trusted_ca ? json_string(info_, "ca").c_str() : nullptr);
    EngineOptions o;
    o.quic = c.quic;
    o.skip_cert_verify = c.skip_verify;
    if (!c.proxy_rules.empty()) o.proxy_rules = c.proxy_rules.c_str();
    Cronet_EnginePtr engine = start_engine(o);
    EXPECT_EQ(proto(engine), "HTTP/2.0\n");
    EXPECT_EQ(advertise(engine, h3_port_), "HTTP/2.0\n");
    EXPECT_EQ(proto(engine), c.later);
    EXPECT_EQ(proto(engine), c.later);
    stop_engine(engine);
  }
  // The advertisement belongs to the engine that saw it.
  EngineOptions o;
  o.quic = true;
  Cronet_EnginePtr other = start_engine(o);
  EXPECT_EQ(proto(other), "HTTP/2.0\n");
  stop_engine(other);
}

TEST_F(Http3, AdvertisementEndsWithMaxAgeOrClear) {
  // Descriptor 0 is the process's (here a pipe): QUIC connections must leave it be.
  int saved_stdin = dup(0);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(dup2(p[0], 0), 0);
  EngineOptions o;
  o.quic = true;
  Cronet_EnginePtr engine = start_engine(o);
  EXPECT_EQ(advertise(engine, h3_port_, 0), "HTTP/2.0\n");
  EXPECT_EQ(proto(engine), "HTTP/2.0\n");  // ma=0: over at once
  EXPECT_EQ(advertise(engine, h3_port_), "HTTP/2.0\n");
  EXPECT_EQ(proto(engine), "HTTP/3\n");
  EXPECT_EQ(get(engine, origin_ + "/alt-clear").body, "HTTP/3\n");  // the QUIC server clears
  EXPECT_EQ(proto(engine), "HTTP/2.0\n");
  stop_engine(engine);
  struct stat a {
  }, b{};
  EXPECT_EQ(fstat(0, &a), 0);
  EXPECT_EQ(fstat(p[0], &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  if (saved_stdin >= 0) {
    dup2(saved_stdin, 0);
    close(saved_stdin);
  } else {
    close(0);
  }
  close(p[0]);
  close(p[1]);
}

TEST_F(Http3, UnreachableAlternativeFallsBackToTcp) {
  EngineOptions o;
  o.quic = true;
  Cronet_EnginePtr engine = start_engine(o);
  EXPECT_EQ(advertise(engine, dead_port()), "HTTP/2.0\n");
  for (int i = 0; i < 3; ++i) {  // the first finds QUIC broken, the rest do not try it
    Result r = get(engine, origin_ + "/proto");
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.body, "HTTP/2.0\n");
  }
  // An upload survives the fallback too.
  EXPECT_EQ(advertise(engine, dead_port()), "HTTP/2.0\n");
  TestUpload up(std::string(300000, 'u'));
  TestRequest t(engine);
  t.method = "POST";
  t.upload = &up;
  ASSERT_EQ(t.init_and_start(origin_ + "/upload"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(t.status, 204) << t.error_message;
  stop_engine(engine);
}

// Uploads, redirects, large bodies read slowly, cancellation and shutdown
// over HTTP/3.
TEST_F(Http3, RequestsOverQuic) {
  EngineOptions o;
  o.quic = true;
  Cronet_EnginePtr engine = start_engine(o);
  ASSERT_EQ(advertise(engine, h3_port_), "HTTP/2.0\n");
  {  // upload
    std::string body(1 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(pattern_byte(i, 7));
    for (bool chunked : {false, true}) {
      TestUpload up(body, chunked);
      TestRequest t(engine);
      t.method = "PUT";
      t.upload = &up;
      ASSERT_EQ(t.init_and_start(origin_ + "/echo"), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      EXPECT_EQ(t.header_value("x-protocol"), "HTTP/3") << t.error_message;
      EXPECT_TRUE(t.body == body) << t.body.size();
    }
  }
  {  // redirect
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(origin_ + "/redirect"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.redirect_statuses, std::vector<int>{302});
    EXPECT_EQ(t.body, "HTTP/3\n") << t.error_message;
  }
  {  // a large body, read slowly: the transfer waits for the reader
    const size_t n = 16 << 20;
    TestRequest t(engine);
    t.read_size = 256 << 10;
    t.read_delay_ms = 2;
    ASSERT_EQ(t.init_and_start(origin_ + "/bytes/" + std::to_string(n)), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait(60000));
    EXPECT_EQ(t.header_value("x-protocol"), "HTTP/3") << t.error_message;
    EXPECT_EQ(t.body.size(), n);
    EXPECT_TRUE(matches_pattern(t.body));
  }
  {  // the caller gives up on a response that does not come
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(origin_ + "/slow"), Cronet_RESULT_SUCCESS);
    EXPECT_FALSE(t.wait(300));
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "canceled");
  }
  {  // shutdown with a request in flight ends it
    auto t = std::make_unique<TestRequest>(engine);
    ASSERT_EQ(t->init_and_start(origin_ + "/slow"), Cronet_RESULT_SUCCESS);
    EXPECT_EQ(proto(engine), "HTTP/3\n");  // the connection is up and shared
    stop_engine(engine);
    ASSERT_TRUE(t->wait());
    EXPECT_EQ(t->terminal_count, 1);
    EXPECT_NE(t->events.back(), "succeeded");
  }
}

}  // namespace
