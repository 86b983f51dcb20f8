// End-to-end tests against the local servers of tests/servers (serve.py).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "test_support.h"

using namespace ctest;

namespace {

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    CronetTest_Reset();
    base_ = http_base();
    REQUIRE_SERVER(base_);
    baseline_ = live_objects();
  }
  void TearDown() override {
    CronetTest_Reset();
    if (!base_.empty()) {
      EXPECT_TRUE(wait_live_objects(baseline_)) << describe_live();
    }
  }
  std::string base_;
  std::map<int, int64_t> baseline_;
};

std::string base64(const std::string& in) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    out += k[v >> 18];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += k[v & 63];
  }
  if (i + 1 == in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    out += k[v >> 18];
    out += k[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
    out += k[v >> 18];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string compressible() {
  std::string s;
  char line[128];
  for (int i = 0; i < 200; ++i) {
    snprintf(line, sizeof line, "line %04d: the quick brown fox jumps over the lazy dog\n", i);
    s += line;
  }
  return s;
}

std::string make_body(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) % 256);
  return s;
}

bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

// ---- basics ---------------------------------------------------------------------

TEST_F(Http, GetBodyAndCallbackOrder) {
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/100000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, 200);
    EXPECT_EQ(t.body.size(), 100000u);
    EXPECT_TRUE(matches_pattern(t.body));
    EXPECT_EQ(t.header_value("Content-Length"), "100000");
    ASSERT_GE(t.events.size(), 3u);
    EXPECT_EQ(t.events.front(), "started");
    EXPECT_EQ(t.events.back(), "succeeded");
    for (size_t i = 1; i + 1 < t.events.size(); ++i) EXPECT_EQ(t.events[i], "read");
    EXPECT_EQ(t.terminal_count, 1);
    EXPECT_FALSE(t.info_null_at_terminal);
    // All callbacks ran on the request's executor thread.
    for (auto id : t.callback_threads) EXPECT_EQ(id, t.callback_threads.front());
  }
  stop_engine(engine);
}

TEST_F(Http, EmptyBodiesAndHead) {
  Cronet_EnginePtr engine = start_engine();
  for (const char* path : {"/empty", "/no-content"}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, (std::vector<std::string>{"started", "succeeded"})) << path;
    EXPECT_TRUE(t.body.empty());
  }
  {
    TestRequest t(engine);
    t.method = "HEAD";
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/1000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, 200);
    EXPECT_EQ(t.header_value("Content-Length"), "1000");
    EXPECT_EQ(t.events, (std::vector<std::string>{"started", "succeeded"}));
  }
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/status/404"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, 404);
    EXPECT_EQ(t.events.back(), "succeeded");
  }
  stop_engine(engine);
}

TEST_F(Http, RequestHeadersAndMethods) {
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    t.method = "PATCH";
    t.headers = {{"X-Test", "one"}, {"X-Other", "v"}, {"X-Test", "two"}};
    ASSERT_EQ(t.init_and_start(base_ + "/echo?q=1"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_TRUE(contains(t.body, "\"method\": \"PATCH\"")) << t.body;
    EXPECT_TRUE(
        contains(t.body, "[\"X-Test\", \"one\"], [\"X-Other\", \"v\"], [\"X-Test\", \"two\"]"))
        << t.body;
    EXPECT_TRUE(contains(t.body, "\"User-Agent\"")) << t.body;
    EXPECT_FALSE(contains(t.body, "\"Expect\"")) << t.body;
  }
  {
    // POST without a body sends Content-Length: 0, as browsers do.
    TestRequest t(engine);
    t.method = "POST";
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_TRUE(contains(t.body, "\"method\": \"POST\"")) << t.body;
    EXPECT_TRUE(contains(t.body, "[\"Content-Length\", \"0\"]")) << t.body;
    EXPECT_FALSE(contains(t.body, "Content-Type")) << t.body;
  }
  {
    TestRequest t(engine);
    t.method = "DELETE";
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_TRUE(contains(t.body, "\"method\": \"DELETE\"")) << t.body;
  }
  stop_engine(engine);
}

TEST_F(Http, ResponseHeadersInWireOrderWithDuplicates) {
  Cronet_EnginePtr engine = start_engine();
  TestRequest t(engine);
  ASSERT_EQ(t.init_and_start(base_ + "/dup-headers"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait());
  std::vector<std::string> seen;
  for (auto& h : t.response_headers)
    if (h.name == "X-Dup" || h.name == "Set-Cookie") seen.push_back(h.name + "=" + h.value);
  EXPECT_EQ(seen, (std::vector<std::string>{"X-Dup=first", "Set-Cookie=a=1; Path=/", "X-Dup=second",
                                            "Set-Cookie=b=2; Path=/"}));
  for (auto& h : t.response_headers) {
    EXPECT_FALSE(h.name.empty());
    EXPECT_NE(h.name[0], ':');
    EXPECT_EQ(h.name.find("HTTP/"), std::string::npos);
  }
  stop_engine(engine);
}

TEST_F(Http, HeaderValuesTrimmedAndBytesKept) {
  Cronet_EnginePtr engine = start_engine();
  TestRequest t(engine);
  ASSERT_EQ(t.init_and_start(base_ + "/invalid-utf8-header"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(t.header_value("X-Bad"),
            "\xff\xfe"
            "abc");
  stop_engine(engine);
}

std::string unbase64(const std::string& in) {
  std::string out;
  int val = 0, bits = -8;
  for (char c : in) {
    const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = strchr(k, c);
    if (!p || c == 0) break;
    val = (val << 6) + static_cast<int>(p - k);
    bits += 6;
    if (bits >= 0) {
      out += static_cast<char>((val >> bits) & 0xff);
      bits -= 8;
    }
  }
  return out;
}

std::string raw_head(const std::string& echo_body) {
  size_t pos = echo_body.find("\"raw_head_b64\": \"");
  if (pos == std::string::npos) return std::string();
  pos += 17;
  return unbase64(echo_body.substr(pos, echo_body.find('"', pos) - pos));
}

// Engines reuse curl handles between requests: a plain GET after any other
// kind of request goes out exactly as the first one did.
TEST_F(Http, PlainGetAfterOtherRequestsIsUnchanged) {
  Cronet_EnginePtr engine = start_engine();
  auto plain = [&] {
    TestRequest t(engine);
    EXPECT_EQ(t.init_and_start(base_ + "/echo/plain"), Cronet_RESULT_SUCCESS);
    EXPECT_TRUE(t.wait());
    EXPECT_EQ(t.status, 200) << t.error_message;
    return raw_head(t.body);
  };
  const std::string want = plain();
  ASSERT_TRUE(contains(want, "GET /echo/plain HTTP/1.1\r\n")) << want;
  struct Before {
    const char* name;
    const char* method;
    const char* path;
    std::vector<Header> headers;
    const char* body;  // an upload when set
    bool chunked;
  } cases[] = {
      {"post", "POST", "/echo", {{"Content-Type", "text/x"}, {"X-Post", "1"}}, "abc", false},
      {"put chunked", "PUT", "/echo", {{"Expect", "100-continue"}}, "0123456789", true},
      {"head", "HEAD", "/echo", {}, nullptr, false},
      {"headers",
       "GET",
       "/echo",
       {{"Accept-Encoding", "identity"},
        {"Range", "bytes=0-1"},
        {"User-Agent", "other"},
        {"Cookie", "a=b"}},
       nullptr,
       false},
      {"redirected", "POST", "/redirect/302?to=/echo", {}, "x", false},
      {"credentials", "GET", "/basic-auth/reuse-handle?user=u&pass=p", {}, nullptr, false},
      {"delete", "DELETE", "/status/204", {}, nullptr, false},
  };
  for (const Before& c : cases) {
    {
      TestRequest t(engine);
      t.method = c.method;
      t.headers = c.headers;
      std::unique_ptr<TestUpload> up;
      if (c.body) {
        up = std::make_unique<TestUpload>(c.body, c.chunked);
        t.upload = up.get();
      }
      std::string url = base_ + c.path;
      if (std::string(c.name) == "credentials") url.insert(url.find("//") + 2, "u:p@");
      ASSERT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS) << c.name;
      ASSERT_TRUE(t.wait()) << c.name;
    }
    EXPECT_EQ(plain(), want) << "after " << c.name;
  }
  stop_engine(engine);
}

TEST_F(Http, BlankHeaderValuesGoOutWhole) {
  Cronet_EnginePtr engine = start_engine();
  const std::vector<std::vector<Header>> cases = {
      {{"X-Blank", " "}},
      {{"X-Blank", "\x0b"}, {"X-After", "a"}},
      {{"X-Before", "b"}, {"X-Blank", "\t\x0c "}, {"X-After", "a"}},
      {{"User-Agent", "\x0b"}, {"X-Blank", " "}},
  };
  for (const auto& hs : cases) {
    TestRequest t(engine);
    t.headers = hs;
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    std::string head = raw_head(t.body);
    size_t last = 0;
    for (const auto& h : hs) {
      std::string line = "\r\n" + h.name + ": " + h.value + "\r\n";
      if (&hs == &cases.back()) line = "\r\n" + h.name + ":";  // last resort: empty value
      size_t pos = head.find(line);
      EXPECT_NE(pos, std::string::npos) << h.name << " in\n" << head;
      if (pos != std::string::npos) {
        EXPECT_GE(pos, last) << "order";
        last = pos;
      }
    }
    EXPECT_EQ(head.find("User-Agent: Cronet/144.0.7506.0 (cronet_curl)\r\nUser-Agent"),
              std::string::npos);
  }
  stop_engine(engine);
}

TEST_F(Http, ResponseHeaderLimits) {
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/many-headers?n=10000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, 200);
    int n = 0;
    for (auto& h : t.response_headers)
      if (h.name == "X-H-" + std::to_string(n)) ++n;
    EXPECT_EQ(n, 10000);
  }
  for (const char* path : {"/huge-header?kib=300", "/many-headers?n=30000"}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.error_message, "net::ERR_RESPONSE_HEADERS_TOO_BIG") << path;
  }
  stop_engine(engine);
}

TEST_F(Http, ConnectionReuse) {
  Cronet_EnginePtr engine = start_engine();
  std::string first, second;
  for (std::string* out : {&first, &second}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/conn-id"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    size_t pos = t.body.find("\"conn_id\":");
    ASSERT_NE(pos, std::string::npos);
    *out = t.body.substr(pos, t.body.find(',', pos) - pos);
  }
  EXPECT_EQ(first, second);
  stop_engine(engine);
}

TEST_F(Http, ManyConcurrentRequests) {
  Cronet_EnginePtr engine = start_engine();
  TestExecutor shared;
  std::vector<std::unique_ptr<TestRequest>> reqs;
  for (int i = 0; i < 24; ++i) {
    reqs.push_back(std::make_unique<TestRequest>(engine, shared.get()));
    ASSERT_EQ(reqs.back()->init_and_start(base_ + "/bytes/200000?seed=" + std::to_string(i % 5)),
              Cronet_RESULT_SUCCESS);
  }
  for (size_t i = 0; i < reqs.size(); ++i) {
    ASSERT_TRUE(reqs[i]->wait());
    EXPECT_EQ(reqs[i]->body.size(), 200000u);
    EXPECT_TRUE(matches_pattern(reqs[i]->body, static_cast<int>(i % 5)));
  }
  reqs.clear();
  stop_engine(engine);
}

TEST_F(Http, BusyConnectionsAreNotTakenForIdle) {
  // Connections that served a request before and are busy again, with body
  // bytes waiting while their reader is slow (transfers paused), must not be
  // mistaken for idle ones with stray bytes when other requests start.
  Cronet_EnginePtr engine = start_engine();
  TestExecutor shared;
  std::vector<std::unique_ptr<TestRequest>> warm, slow, quick;
  for (int i = 0; i < 6; ++i) {
    warm.push_back(std::make_unique<TestRequest>(engine, shared.get()));
    ASSERT_EQ(warm.back()->init_and_start(base_ + "/bytes/1000"), Cronet_RESULT_SUCCESS);
  }
  for (auto& r : warm) ASSERT_TRUE(r->wait());
  for (int i = 0; i < 5; ++i) {
    slow.push_back(std::make_unique<TestRequest>(engine));
    slow.back()->read_size = 16384;
    slow.back()->read_delay_ms = 2;
    ASSERT_EQ(slow.back()->init_and_start(base_ + "/bytes/3000000?seed=" + std::to_string(i)),
              Cronet_RESULT_SUCCESS);
  }
  for (int i = 0; i < 12; ++i) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/5000?seed=9"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.body.size(), 5000u) << t.error_message;
    EXPECT_TRUE(matches_pattern(t.body, 9));
  }
  for (size_t i = 0; i < slow.size(); ++i) {
    ASSERT_TRUE(slow[i]->wait(60000));
    EXPECT_EQ(slow[i]->body.size(), 3000000u) << slow[i]->error_message;
    EXPECT_TRUE(matches_pattern(slow[i]->body, static_cast<int>(i)));
  }
  slow.clear();
  warm.clear();
  stop_engine(engine);
}

// ---- content encodings -----------------------------------------------------------

TEST_F(Http, ContentDecoding) {
  Cronet_EnginePtr engine = start_engine();
  for (const char* path : {"/gzip", "/deflate", "/br"}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    if (t.status == 501) continue;  // server without brotli
    EXPECT_EQ(t.status, 200) << path;
    EXPECT_EQ(t.body, compressible()) << path;
    EXPECT_EQ(t.header_value("Content-Encoding"), std::string(path + 1)) << path;
  }
  for (const char* path : {"/bad-gzip", "/bad-deflate", "/bad-br"}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    if (t.status == 501) continue;
    EXPECT_EQ(t.error_message, "net::ERR_CONTENT_DECODING_FAILED") << path;
  }
  stop_engine(engine);
}

TEST_F(Http, AcceptEncodingFollowsBrotliSetting) {
  for (bool brotli : {false, true}) {
    EngineOptions o;
    o.brotli = brotli;
    Cronet_EnginePtr engine = start_engine(o);
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    size_t pos = t.body.find("[\"Accept-Encoding\", \"");
    ASSERT_NE(pos, std::string::npos) << t.body;
    std::string ae = t.body.substr(pos, t.body.find(']', pos) - pos);
    EXPECT_TRUE(contains(ae, "gzip")) << ae;
    EXPECT_TRUE(contains(ae, "deflate")) << ae;
    EXPECT_EQ(contains(ae, "br"), brotli) << ae;
    EXPECT_EQ(contains(ae, "zstd"), brotli) << ae;
    stop_engine(engine);
  }
}

// The body queue's blocks are reused by later requests of the engine: each
// body is exactly its own bytes, whatever an earlier one left in the blocks.
TEST_F(Http, BodiesOnOneEngineAreExactlyTheirOwn) {
  Cronet_EnginePtr engine = start_engine();
  struct Case {
    int size;
    int seed;
    uint64_t read_size;
    int read_delay_ms;  // lets the queue fill up to its high-water mark
  } cases[] = {
      {3000000, 1, 32768, 1}, {70000, 2, 1000, 0}, {1, 3, 32768, 0}, {200001, 4, 65536 + 3, 0},
      {2500000, 5, 4096, 0},  {0, 6, 32768, 0},    {33000, 7, 1, 0},
  };
  for (const Case& c : cases) {
    TestRequest t(engine);
    t.read_size = c.read_size;
    t.read_delay_ms = c.read_delay_ms;
    std::string url =
        base_ + "/bytes/" + std::to_string(c.size) + "?seed=" + std::to_string(c.seed);
    ASSERT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait(60000)) << url;
    EXPECT_EQ(t.events.back(), "succeeded") << url << " " << t.error_message;
    ASSERT_EQ(t.body.size(), static_cast<size_t>(c.size)) << url;
    EXPECT_TRUE(matches_pattern(t.body, c.seed)) << url;
  }
  stop_engine(engine);
}

// A small compressed body that decodes to far more than the body queue holds:
// decoding stops at the queue's bound while nobody reads (the whole input is
// already in and the transfer over), and goes on with the reads to the end.
TEST_F(Http, DecodingKeepsTheQueueBounded) {
  Cronet_EnginePtr engine = start_engine();
  const int64_t kBound = (1 << 20) + (256 << 10);
  const size_t kSize = size_t{64} << 20;
  for (const char* coding : {"br", "zstd", "gzip"}) {
    CronetTest_ResetBufferedHighWater();
    TestRequest t(engine);
    t.auto_read = false;
    ASSERT_EQ(
        t.init_and_start(base_ + "/encoded?coding=" + coding + "&size=" + std::to_string(kSize)),
        Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait_for([&] { return t.count_events("started") == 1; }, 60000));
    if (t.status == 501) {  // server without the compression module
      Cronet_UrlRequest_Cancel(t.request());
      ASSERT_TRUE(t.wait());
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(CronetTest_BufferedBodyBytes(), 0) << coding;
    EXPECT_LE(CronetTest_BufferedBodyBytes(), kBound) << coding;
    // Small reads, then large ones to the end.
    t.read_size = 4096;
    for (int i = 0; i < 100; ++i) {
      int before = t.count_events("read");
      ASSERT_EQ(t.read_now(), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait_for([&] { return t.count_events("read") > before; }));
    }
    t.read_size = 1 << 20;
    t.auto_read = true;
    ASSERT_EQ(t.read_now(), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait(60000));
    EXPECT_EQ(t.events.back(), "succeeded") << coding << " " << t.error_message;
    ASSERT_EQ(t.body.size(), kSize) << coding;
    for (size_t block = 0; block < kSize >> 20; ++block) {  // each block starts with its number
      char want[32];
      std::snprintf(want, sizeof want, "block %012zu ", block);
      ASSERT_EQ(t.body.compare(block << 20, std::strlen(want), want), 0) << coding << block;
    }
    EXPECT_LE(CronetTest_BufferedBodyBytesHighWater(), kBound) << coding;
  }
  EXPECT_EQ(CronetTest_BufferedBodyBytes(), 0);
  stop_engine(engine);
}

// ---- uploads ------------------------------------------------------------------------

TEST_F(Http, UploadDefaultsToPostWithContentLength) {
  Cronet_EnginePtr engine = start_engine();
  std::string body = make_body(1200000);
  TestUpload up(body);
  TestExecutor upload_exec;
  {
    TestRequest t(engine);
    t.upload = &up;
    t.upload_executor = upload_exec.get();
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, 200);
    EXPECT_TRUE(contains(t.body, "\"method\": \"POST\"")) << t.body.substr(0, 300);
    EXPECT_TRUE(contains(t.body, "[\"Content-Length\", \"1200000\"]"));
    EXPECT_TRUE(contains(t.body, "\"body_len\": 1200000"));
    EXPECT_TRUE(contains(t.body, "\"body_b64\": \"" + base64(body) + "\""));
    EXPECT_FALSE(contains(t.body, "Content-Type"));
    EXPECT_GT(up.reads, 1);
    EXPECT_EQ(up.closes, 1);
    EXPECT_EQ(up.rewinds, 0);
    std::lock_guard<std::mutex> l(up.mu);
    for (auto id : up.call_threads) EXPECT_EQ(id, upload_exec.thread_id());
  }
  stop_engine(engine);
}

TEST_F(Http, ChunkedUploadAndAsyncProvider) {
  Cronet_EnginePtr engine = start_engine();
  std::string body = make_body(150000);
  TestUpload up(body, /*chunked=*/true);
  up.read_on_other_thread = true;
  {
    TestRequest t(engine);
    t.method = "PUT";
    t.upload = &up;
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_TRUE(contains(t.body, "\"method\": \"PUT\"")) << t.body.substr(0, 300);
    EXPECT_TRUE(contains(t.body, "[\"Transfer-Encoding\", \"chunked\"]"));
    EXPECT_TRUE(contains(t.body, "\"body_b64\": \"" + base64(body) + "\""));
    EXPECT_EQ(up.closes, 1);
  }
  stop_engine(engine);
}

// A body of several upload buffers goes out whole and in order, whatever the
// provider's pace and read sizes, and again in full after a 307 rewinds it.
// A known length over one buffer starts each pass with a short read.
TEST_F(Http, MultiBufferUploadsArriveWholeAndInOrder) {
  Cronet_EnginePtr engine = start_engine();
  constexpr size_t kBuf = 512 << 10;
  constexpr size_t kFirst = 64 << 10;
  struct Case {
    const char* name;
    size_t size;
    bool chunked, async;
    size_t max_read;
    const char* path;
    bool short_start;
  } cases[] = {
      {"one_short_of_a_buffer", kBuf - 1, false, false, 0, "/echo", false},
      {"a_buffer_and_a_byte", kBuf + 1, false, false, 0, "/echo", true},
      {"three_and_a_bit", 3 * kBuf + 7, false, true, 0, "/echo", true},
      {"chunked_async", 2 * kBuf + 3, true, true, 0, "/echo", false},
      {"chunked_full_buffers", 4 * kBuf + 1, true, false, 0, "/echo", false},
      {"short_reads", 2 * kBuf + 5, false, false, 100003, "/echo", true},
      {"chunked_short_reads", kBuf + 9, true, false, 65536, "/echo", false},
      {"rewound_by_307", 2 * kBuf + 11, false, true, 0, "/redirect/307?to=/echo", true},
      {"rewound_by_307_sync", 3 * kBuf + 17, false, false, 0, "/redirect/307?to=/echo", true},
      {"rewound_by_308_chunked", 2 * kBuf + 13, true, false, 200001, "/redirect/308?to=/echo",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // No period that divides a buffer: a piece out of place shows.
    std::string body(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) body[i] = static_cast<char>(i * 7 + i / 251 + i / 65521);
    TestUpload up(body, c.chunked);
    up.read_on_other_thread = c.async;
    up.max_read = c.max_read;
    {
      TestRequest t(engine);
      t.method = "PUT";
      t.upload = &up;
      ASSERT_EQ(t.init_and_start(base_ + c.path), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      EXPECT_EQ(t.status, 200);
      EXPECT_TRUE(contains(t.body, "\"body_len\": " + std::to_string(c.size)));
      EXPECT_TRUE(contains(t.body, "\"body_b64\": \"" + base64(body) + "\""));
    }
    EXPECT_EQ(up.closes, 1);
    size_t short_reads = 0;
    std::lock_guard<std::mutex> l(up.mu);
    for (uint64_t n : up.buffer_sizes) {
      EXPECT_LE(n, kBuf);
      short_reads += n == kFirst;
    }
    EXPECT_EQ(short_reads, c.short_start ? 1u + up.rewinds : 0u);
  }
  stop_engine(engine);
}

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
    ++n;
  return n;
}

TEST_F(Http, CallerFramingHeadersAreLeftOut) {
  // The library frames every request itself: Content-Length for a known
  // length, chunked for an unknown one, nothing without a body.
  Cronet_EnginePtr engine = start_engine();
  std::string body = make_body(5000);
  struct Case {
    const char* method;
    const char* te;
    int upload;  // 0: none, 1: known length, 2: unknown length (chunked)
    const char* framing;
  } cases[] = {
      {"GET", "chunked", 0, nullptr},
      {"OPTIONS", "chunked", 0, nullptr},
      {"POST", "gzip", 1, "\r\nContent-Length: 5000\r\n"},
      {"PUT", "chunked", 2, "\r\nTransfer-Encoding: chunked\r\n"},
      {"POST", "gzip, chunked", 2, "\r\nTransfer-Encoding: chunked\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.te);
    std::unique_ptr<TestUpload> up;
    if (c.upload) up = std::make_unique<TestUpload>(body, c.upload == 2);
    TestRequest t(engine);
    t.method = c.method;
    t.headers = {{"Transfer-Encoding", c.te}, {"X-After", "1"}};
    t.upload = up.get();
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    ASSERT_EQ(t.status, 200) << t.error_message;
    std::string head = raw_head(t.body);
    EXPECT_TRUE(contains(head, "\r\nX-After: 1\r\n")) << head;
    EXPECT_EQ(count_of(head, "Transfer-Encoding"), c.upload == 2 ? 1u : 0u) << head;
    if (c.framing) {
      EXPECT_TRUE(contains(head, c.framing)) << head;
    }
    EXPECT_TRUE(contains(t.body, "\"body_len\": " + std::to_string(c.upload ? body.size() : 0)))
        << t.body.substr(0, 300);
  }
  stop_engine(engine);
}

TEST_F(Http, UploadReadErrorFailsTheRequest) {
  Cronet_EnginePtr engine = start_engine();
  TestUpload up("abc");
  up.fail_read_message = "disk on fire";
  {
    TestRequest t(engine);
    t.upload = &up;
    ASSERT_EQ(t.init_and_start(base_ + "/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, std::vector<std::string>{"failed"});
    EXPECT_TRUE(contains(t.error_message, "disk on fire")) << t.error_message;
    EXPECT_EQ(t.error_code, Cronet_Error_ERROR_CODE_ERROR_CALLBACK);
    EXPECT_EQ(up.closes, 1);
  }
  stop_engine(engine);
}

// ---- redirects ---------------------------------------------------------------------

struct RedirectCase {
  int code;
  const char* method;
  bool with_body;
  const char* final_method;
  bool body_kept;
};

TEST_F(Http, RedirectMethodRewrites) {
  Cronet_EnginePtr engine = start_engine();
  const RedirectCase cases[] = {
      {301, "POST", true, "GET", false},       {302, "POST", true, "GET", false},
      {303, "POST", true, "GET", false},       {307, "POST", true, "POST", true},
      {308, "POST", true, "POST", true},       {303, "PUT", true, "GET", false},
      {307, "PUT", true, "PUT", true},         {301, "PUT", true, "PUT", true},
      {302, "GET", false, "GET", false},       {303, "HEAD", false, "HEAD", false},
      {308, "DELETE", false, "DELETE", false},
  };
  std::string body = make_body(70000);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.method);
    TestUpload up(body);
    {
      TestRequest t(engine);
      t.method = c.method;
      t.headers = {{"Content-Type", "application/octet-stream"}};
      if (c.with_body) t.upload = &up;
      ASSERT_EQ(t.init_and_start(base_ + "/redirect/" + std::to_string(c.code) + "?to=/echo"),
                Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      ASSERT_EQ(t.redirect_urls.size(), 1u);
      EXPECT_EQ(t.redirect_urls[0], base_ + "/echo");
      EXPECT_EQ(t.redirect_statuses[0], c.code);
      EXPECT_EQ(t.status, 200);
      if (std::string(c.final_method) == "HEAD") {
        EXPECT_TRUE(t.body.empty());
      } else {
        EXPECT_TRUE(contains(t.body, std::string("\"method\": \"") + c.final_method + "\""))
            << t.body.substr(0, 200);
        if (c.body_kept) {
          EXPECT_TRUE(contains(t.body, "\"body_b64\": \"" + base64(body) + "\""));
          EXPECT_TRUE(contains(t.body, "Content-Type"));
        } else {
          EXPECT_TRUE(contains(t.body, "\"body_len\": 0"));
          // The headers describing a dropped body go with it.
          EXPECT_EQ(contains(t.body, "Content-Type"), !c.with_body) << t.body.substr(0, 400);
        }
      }
      EXPECT_EQ(t.events.front(), "redirect");
    }
    if (c.with_body) {
      EXPECT_EQ(up.closes, 1);
      if (c.body_kept) {
        EXPECT_LE(up.rewinds, 1);
      }
    }
  }
  stop_engine(engine);
}

TEST_F(Http, RedirectTargetsAreAbsolute) {
  Cronet_EnginePtr engine = start_engine();
  struct {
    const char* to;
    std::string expect;
  } cases[] = {
      {"/echo/a?x=1", base_ + "/echo/a?x=1"},
      {"echo/b", base_ + "/redirect/echo/b"},
      {"../echo/c", base_ + "/echo/c"},
      {"?only=query", base_ + "/redirect/302?only=query"},
  };
  for (auto& c : cases) {
    TestRequest t(engine);
    t.follow_redirects = false;
    t.on_redirect = [](TestRequest& r) { Cronet_UrlRequest_Cancel(r.request()); };
    std::string to = c.to;
    std::string enc;
    for (char ch : to)
      enc += (ch == '?') ? "%3F" : (ch == '=') ? "%3D" : (ch == '&') ? "%26" : std::string(1, ch);
    ASSERT_EQ(t.init_and_start(base_ + "/redirect/302?to=" + enc), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    ASSERT_EQ(t.redirect_urls.size(), 1u);
    EXPECT_EQ(t.redirect_urls[0], c.expect) << c.to;
    EXPECT_EQ(t.events, (std::vector<std::string>{"redirect", "canceled"}));
  }
  stop_engine(engine);
}

TEST_F(Http, RedirectChainAndTooMany) {
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/redirect-chain/5?code=307"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.redirect_urls.size(), 5u);
    EXPECT_EQ(t.status, 200);
    EXPECT_TRUE(contains(t.body, "\"path\": \"/echo\""));
  }
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/redirect-loop"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.count_events("redirect"), 21);
    EXPECT_EQ(t.error_message, "net::ERR_TOO_MANY_REDIRECTS");
    EXPECT_EQ(t.internal_error_code, -310);
  }
  stop_engine(engine);
}

TEST_F(Http, UnsafeRedirect) {
  Cronet_EnginePtr engine = start_engine();
  for (const char* to :
       {"ftp://example.com/x", "file:///etc/passwd", "data:text/plain,hi", "javascript:alert(1)"}) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/redirect/302?to=" + std::string(to)),
              Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, std::vector<std::string>{"failed"}) << to;
    EXPECT_EQ(t.error_message, "net::ERR_UNSAFE_REDIRECT") << to;
  }
  stop_engine(engine);
}

TEST_F(Http, FollowRedirectOnlyOnce) {
  Cronet_EnginePtr engine = start_engine();
  TestRequest t(engine);
  t.on_redirect = [](TestRequest& r) {
    EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(r.request()), Cronet_RESULT_SUCCESS);
  };
  t.follow_redirects = false;
  std::atomic<int> second{0};
  t.on_response_started = [&](TestRequest& r) {
    second = Cronet_UrlRequest_FollowRedirect(r.request());
  };
  ASSERT_EQ(t.init_and_start(base_ + "/redirect/302?to=/echo"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(second, Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT);
  EXPECT_EQ(t.events.back(), "succeeded");
  stop_engine(engine);
}

// ---- cancel -------------------------------------------------------------------------

TEST_F(Http, CancelAtEachStage) {
  Cronet_EnginePtr engine = start_engine();
  {  // before any response
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/stall"), Cronet_RESULT_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Cronet_UrlRequest_Cancel(t.request());
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, std::vector<std::string>{"canceled"});
    EXPECT_TRUE(t.info_null_at_terminal);
  }
  {  // right after Start, from this thread
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
    // The response may have started meanwhile; the end is on_canceled regardless.
    EXPECT_EQ(t.events.back(), "canceled");
    EXPECT_LE(t.events.size(), 3u);
  }
  {  // at a redirect
    TestRequest t(engine);
    t.follow_redirects = false;
    t.on_redirect = [](TestRequest& r) { Cronet_UrlRequest_Cancel(r.request()); };
    ASSERT_EQ(t.init_and_start(base_ + "/redirect/302?to=/echo"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, (std::vector<std::string>{"redirect", "canceled"}));
    EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(t.request()),
              Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT);
  }
  {  // after the response started, instead of reading
    TestRequest t(engine);
    t.auto_read = false;
    t.on_response_started = [](TestRequest& r) { Cronet_UrlRequest_Cancel(r.request()); };
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/1000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events, (std::vector<std::string>{"started", "canceled"}));
    EXPECT_FALSE(t.info_null_at_terminal);
    EXPECT_EQ(t.read_now(), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
  }
  {  // while a read is pending (the body drips)
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/drip?interval_ms=20"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait_for([&] { return t.count_events("read") >= 3; }));
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "canceled");
    EXPECT_EQ(t.terminal_count, 1);
  }
  {  // after the end: nothing
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    Cronet_UrlRequest_Cancel(t.request());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.events.back(), "succeeded");
    EXPECT_EQ(t.terminal_count, 1);
  }
  stop_engine(engine);
}

TEST_F(Http, CancelRacesFromManyThreads) {
  Cronet_EnginePtr engine = start_engine();
  for (int round = 0; round < 20; ++round) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/" + std::to_string(1000 * round)),
              Cronet_RESULT_SUCCESS);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
      threads.emplace_back([&, i] {
        std::this_thread::sleep_for(std::chrono::microseconds(100 * i * round));
        Cronet_UrlRequest_Cancel(t.request());
      });
    for (auto& th : threads) th.join();
    ASSERT_TRUE(t.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(t.terminal_count, 1);
    EXPECT_EQ(t.callbacks_after_terminal, 0);
    // Canceled, unless the request was done before the first Cancel.
    EXPECT_TRUE(t.events.back() == "canceled" || t.events.back() == "succeeded") << t.events.back();
  }
  stop_engine(engine);
}

TEST_F(Http, UnconfirmedCancelKeepsGoing) {
  Cronet_EnginePtr engine = start_engine();
  CronetTest_SetUnconfirmedCancels(true);
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/slow-body?ms=200"), Cronet_RESULT_SUCCESS);
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "succeeded");
    EXPECT_EQ(t.body, "slow body\n");
  }
  {  // ... and a running one still ends with its engine.
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/stall"), Cronet_RESULT_SUCCESS);
    Cronet_UrlRequest_Cancel(t.request());
    EXPECT_FALSE(t.wait(200));
    EXPECT_EQ(Cronet_Engine_Shutdown(engine), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.error_message, "net::ERR_ABORTED");
  }
  Cronet_Engine_Destroy(engine);
}

// ---- shutdown and destroy ----------------------------------------------------------

TEST_F(Http, ShutdownAbortsRunningRequests) {
  Cronet_EnginePtr engine = start_engine();
  TestUpload up(make_body(1000));
  auto stalled = std::make_unique<TestRequest>(engine);
  auto reading = std::make_unique<TestRequest>(engine);
  auto redirected = std::make_unique<TestRequest>(engine);
  auto uploading = std::make_unique<TestRequest>(engine);
  reading->auto_read = false;
  redirected->follow_redirects = false;
  uploading->upload = &up;
  ASSERT_EQ(stalled->init_and_start(base_ + "/stall"), Cronet_RESULT_SUCCESS);
  ASSERT_EQ(reading->init_and_start(base_ + "/bytes/5000000"), Cronet_RESULT_SUCCESS);
  ASSERT_EQ(redirected->init_and_start(base_ + "/redirect/307?to=/echo"), Cronet_RESULT_SUCCESS);
  ASSERT_EQ(uploading->init_and_start(base_ + "/stall"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(reading->wait_for([&] { return reading->count_events("started") == 1; }));
  ASSERT_TRUE(redirected->wait_for([&] { return redirected->count_events("redirect") == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Cronet_Engine_Shutdown(engine), Cronet_RESULT_SUCCESS);
  for (TestRequest* t : {stalled.get(), reading.get(), redirected.get(), uploading.get()}) {
    ASSERT_TRUE(t->wait());
    EXPECT_EQ(t->error_message, "net::ERR_ABORTED");
    EXPECT_EQ(t->internal_error_code, -3);
    EXPECT_EQ(t->terminal_count, 1);
  }
  EXPECT_EQ(reading->read_now(), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
  EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(redirected->request()),
            Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT);
  Cronet_Engine_Destroy(engine);
  // The requests are still safe to use and destroy.
  Cronet_UrlRequest_Cancel(stalled->request());
  stalled.reset();
  reading.reset();
  redirected.reset();
  uploading.reset();
  EXPECT_EQ(up.closes, 1);
}

TEST_F(Http, DestroyUnfinishedRequest) {
  Cronet_EnginePtr engine = start_engine();
  TestUpload up(make_body(100));
  for (int variant = 0; variant < 4; ++variant) {
    SCOPED_TRACE(variant);
    auto t = std::make_unique<TestRequest>(engine);
    t->wait_on_destroy = false;
    if (variant == 1) t->auto_read = false;
    if (variant == 2) t->follow_redirects = false;
    if (variant == 3) t->upload = &up;
    const char* path = variant == 0   ? "/stall"
                       : variant == 1 ? "/bytes/3000000"
                       : variant == 2 ? "/redirect/302?to=/stall"
                                      : "/stall";
    ASSERT_EQ(t->init_and_start(base_ + path), Cronet_RESULT_SUCCESS);
    if (variant == 1) {
      ASSERT_TRUE(t->wait_for([&] { return t->count_events("started") == 1; }));
    }
    if (variant == 2) {
      ASSERT_TRUE(t->wait_for([&] { return t->count_events("redirect") == 1; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::atomic<int>* after = &t->callbacks_after_terminal;
    (void)after;
    t.reset();  // destroys the request, then runs what was queued: no-ops
  }
  EXPECT_EQ(up.closes, 1);
  // The engine still works afterwards.
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "succeeded");
  }
  stop_engine(engine);
}

TEST_F(Http, DestroyWithCallbacksQueued) {
  // Callbacks delayed in the library while the request goes away.
  Cronet_EnginePtr engine = start_engine();
  CronetTest_SetCallbackDelayMs(100);
  TestExecutor ex;
  for (int i = 0; i < 5; ++i) {
    auto t = std::make_unique<TestRequest>(engine, ex.get());
    t->wait_on_destroy = false;
    ASSERT_EQ(t->init_and_start(base_ + "/bytes/100"), Cronet_RESULT_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
    t.reset();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop_engine(engine);
}

// An executor that runs callbacks inline (on the network thread, or on the
// thread that calls Read) makes the library re-enter itself: a Read from a
// callback posts the next callback from inside the first, and a Destroy from
// a callback runs while that callback's hand-over is still in progress.
std::atomic<bool> g_destroyed_inline{false};
void destroy_on_started(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr r,
                        Cronet_UrlResponseInfoPtr) {
  Cronet_UrlRequest_Destroy(r);
  g_destroyed_inline = true;
}

TEST_F(Http, InlineExecutorReadsAndDestroysFromCallbacks) {
  Cronet_EnginePtr engine = start_engine();
  Cronet_ExecutorPtr direct = make_direct_executor();
  {
    TestRequest t(engine, direct);
    t.read_size = 4096;  // many reads, most served from bytes already buffered
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/3000000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "succeeded");
    EXPECT_EQ(t.body.size(), 3000000u);
    EXPECT_TRUE(matches_pattern(t.body));
  }
  g_destroyed_inline = false;
  Cronet_UrlRequestCallbackPtr cb = Cronet_UrlRequestCallback_CreateWith(
      nullptr, &destroy_on_started, nullptr, nullptr, nullptr, nullptr);
  Cronet_UrlRequestParamsPtr p = Cronet_UrlRequestParams_Create();
  Cronet_UrlRequestPtr r = Cronet_UrlRequest_Create();
  std::string url = base_ + "/bytes/100";
  ASSERT_EQ(Cronet_UrlRequest_InitWithParams(r, engine, url.c_str(), p, cb, direct),
            Cronet_RESULT_SUCCESS);
  ASSERT_EQ(Cronet_UrlRequest_Start(r), Cronet_RESULT_SUCCESS);
  for (int i = 0; i < 1000 && !g_destroyed_inline; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(g_destroyed_inline);
  // The network thread came back from it: the engine still serves requests.
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "succeeded");
  }
  Cronet_UrlRequestParams_Destroy(p);
  Cronet_UrlRequestCallback_Destroy(cb);
  Cronet_Executor_Destroy(direct);
  stop_engine(engine);
}

// ---- back-pressure -----------------------------------------------------------------

TEST_F(Http, BackPressureBoundsBufferedBytes) {
  Cronet_EnginePtr engine = start_engine();
  const int64_t kBound = (1 << 20) + (256 << 10);
  {
    TestRequest t(engine);
    t.auto_read = false;
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/209715200"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait_for([&] { return t.count_events("started") == 1; }));
    // Nobody reads: the library stops at about 1 MiB.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_GT(CronetTest_BufferedBodyBytes(), 0);
    EXPECT_LE(CronetTest_BufferedBodyBytes(), kBound);
    // Slow reads keep it bounded.
    t.read_size = 65536;
    for (int i = 0; i < 10; ++i) {
      int before = t.count_events("read");
      ASSERT_EQ(t.read_now(), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait_for([&] { return t.count_events("read") > before; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_LE(CronetTest_BufferedBodyBytes(), kBound);
    }
    EXPECT_LE(CronetTest_BufferedBodyBytesHighWater(), kBound);
    EXPECT_TRUE(matches_pattern(t.body));
    Cronet_UrlRequest_Cancel(t.request());
    ASSERT_TRUE(t.wait());
  }
  EXPECT_EQ(CronetTest_BufferedBodyBytes(), 0);
  stop_engine(engine);
}

TEST_F(Http, LargeBodyReadToTheEnd) {
  Cronet_EnginePtr engine = start_engine();
  CronetTest_ResetBufferedHighWater();
  {
    TestRequest t(engine);
    t.read_size = 1 << 20;
    int reads = 0;
    t.on_read = [&](TestRequest&) {
      if (++reads % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/104857600?seed=3"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait(60000));
    EXPECT_EQ(t.events.back(), "succeeded");
    EXPECT_EQ(t.body.size(), 104857600u);
    EXPECT_TRUE(matches_pattern(t.body, 3));
  }
  EXPECT_LE(CronetTest_BufferedBodyBytesHighWater(), (1 << 20) + (256 << 10));
  stop_engine(engine);
}

// Reads issued only once the whole response is in are served from the
// library's buffer on the reading thread: the data in order, then exactly one
// terminal callback, which for a body cut short is the failure, after the data.
TEST_F(Http, ReadsOfABodyAlreadyInKeepOrderAndEnding) {
  Cronet_EnginePtr engine = start_engine();
  struct Case {
    const char* path;
    size_t expected_bytes;
    const char* terminal;
  } cases[] = {
      {"/bytes/100000?seed=5", 100000, "succeeded"},
      {"/bytes/32768?seed=5", 32768, "succeeded"},  // exactly one read's worth
      {"/reset-mid-body", 1000, "failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TestRequest t(engine);
    t.auto_read = false;
    ASSERT_EQ(t.init_and_start(base_ + c.path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait_for([&] { return t.count_events("started") == 1; }));
    // Let the rest of the response (and its end) arrive before any read.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t.auto_read = true;
    ASSERT_EQ(t.read_now(), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.terminal_count, 1);
    EXPECT_EQ(t.events.back(), c.terminal);
    EXPECT_EQ(t.body.size(), c.expected_bytes);
    if (c.expected_bytes == 32768 || c.expected_bytes == 100000) {
      EXPECT_TRUE(matches_pattern(t.body, 5));
    }
    for (size_t i = 1; i + 1 < t.events.size(); ++i) EXPECT_EQ(t.events[i], "read");
    for (auto id : t.callback_threads) EXPECT_EQ(id, t.callback_threads.front());
  }
  EXPECT_EQ(CronetTest_BufferedBodyBytes(), 0);
  stop_engine(engine);
}

// ---- failures ------------------------------------------------------------------------

TEST_F(Http, ErrorNames) {
  Cronet_EnginePtr engine = start_engine();
  struct {
    const char* path;
    const char* error;
    int code;
  } cases[] = {
      {"/reset-mid-body", "net::ERR_CONNECTION_RESET",
       Cronet_Error_ERROR_CODE_ERROR_CONNECTION_RESET},
      {"/close-before-response", "net::ERR_EMPTY_RESPONSE", Cronet_Error_ERROR_CODE_ERROR_OTHER},
      {"/close-after-headers", "net::ERR_CONTENT_LENGTH_MISMATCH",
       Cronet_Error_ERROR_CODE_ERROR_OTHER},
      {"/truncated-chunked", "net::ERR_INCOMPLETE_CHUNKED_ENCODING",
       Cronet_Error_ERROR_CODE_ERROR_OTHER},
      {"/bad-status", "net::ERR_INVALID_HTTP_RESPONSE", Cronet_Error_ERROR_CODE_ERROR_OTHER},
  };
  for (auto& c : cases) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + c.path), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait()) << c.path;
    EXPECT_EQ(t.error_message, c.error) << c.path;
    EXPECT_EQ(t.error_code, c.code) << c.path;
    EXPECT_LT(t.internal_error_code, 0) << c.path;
    EXPECT_EQ(t.terminal_count, 1);
  }
  stop_engine(engine);
}

// A server of our own that reads what comes, then closes (FIN) or resets (RST).
class ClosingServer {
 public:
  explicit ClosingServer(bool reset) : reset_(reset) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      while (true) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[16384];
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (reset_) {
          linger lg{1, 0};
          setsockopt(c, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        } else {
          (void)!read(c, buf, sizeof buf);
        }
        close(c);
      }
    });
  }
  ~ClosingServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  bool reset_;
  int fd_;
  int port_;
  std::thread thread_;
};

TEST_F(Http, ClosedAndResetConnections) {
  ClosingServer closing(false), resetting(true);
  Cronet_EnginePtr engine = start_engine();
  struct {
    std::string url;
    const char* error;
  } cases[] = {
      {"https://127.0.0.1:" + std::to_string(closing.port()) + "/", "net::ERR_CONNECTION_CLOSED"},
      {"http://127.0.0.1:" + std::to_string(closing.port()) + "/", "net::ERR_EMPTY_RESPONSE"},
      {"https://127.0.0.1:" + std::to_string(resetting.port()) + "/", "net::ERR_CONNECTION_RESET"},
      {"http://127.0.0.1:" + std::to_string(resetting.port()) + "/", "net::ERR_CONNECTION_RESET"},
  };
  for (auto& c : cases) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(c.url), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.error_message, c.error) << c.url;
  }
  stop_engine(engine);
}

// ---- libcurl refusing an option -------------------------------------------------------

TEST_F(Http, RefusedSafeguardOptionFailsTheRequest) {
  struct {
    const char* option;
    bool needed;
  } cases[] = {
      {"CURLOPT_PROTOCOLS_STR", true},  {"CURLOPT_REDIR_PROTOCOLS_STR", true},
      {"CURLOPT_SSL_VERIFYPEER", true}, {"CURLOPT_PROXY", true},
      {"CURLOPT_NOPROXY", true},        {"CURLOPT_HTTPHEADER", true},
      {"CURLOPT_BUFFERSIZE", false},    {"CURLOPT_TCP_KEEPALIVE", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    CronetTest_RefuseCurlOption(c.option);
    Cronet_EnginePtr engine = start_engine();
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/1000"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    if (c.needed) {
      EXPECT_EQ(t.error_message, std::string("net::ERR_FAILED (libcurl refused ") + c.option + ")");
      EXPECT_EQ(t.internal_error_code, -2);
      EXPECT_EQ(t.count_events("started"), 0);
    } else {
      EXPECT_EQ(t.body.size(), 1000u) << t.error_message;
      EXPECT_TRUE(matches_pattern(t.body));
    }
    stop_engine(engine);
  }
}

TEST_F(Http, RefusedEngineOption) {
  for (const char* option : {"CURLMOPT_MAX_HOST_CONNECTIONS", "CURLMOPT_MAXCONNECTS"}) {
    SCOPED_TRACE(option);
    bool needed = option == std::string("CURLMOPT_MAX_HOST_CONNECTIONS");
    CronetTest_RefuseCurlOption(option);
    Cronet_EnginePtr e = Cronet_Engine_Create();
    Cronet_EngineParamsPtr p = Cronet_EngineParams_Create();
    EXPECT_EQ(Cronet_Engine_StartWithParams(e, p),
              needed ? Cronet_RESULT_ILLEGAL_STATE : Cronet_RESULT_SUCCESS);
    CronetTest_RefuseCurlOption(nullptr);
    if (needed) {  // the engine stays unstarted and starts once libcurl takes the option
      EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), Cronet_RESULT_SUCCESS);
    }
    Cronet_EngineParams_Destroy(p);
    stop_engine(e);
  }
}

// ---- proxies --------------------------------------------------------------------------

TEST_F(Http, ProxyEnvironmentIsIgnored) {
  std::string dead = "http://127.0.0.1:" + std::to_string(dead_port());
  const char* vars[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                        "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};
  for (const char* v : vars) setenv(v, dead.c_str(), 1);
  setenv("no_proxy", "", 1);
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.events.back(), "succeeded") << t.error_message;
  }
  stop_engine(engine);
  // A configured proxy is used, also for loopback (here: a dead one).
  EngineOptions o;
  std::string rules = dead;
  o.proxy_rules = rules.c_str();
  engine = start_engine(o);
  {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.error_message, "net::ERR_PROXY_CONNECTION_FAILED");
  }
  stop_engine(engine);
  for (const char* v : vars) unsetenv(v);
  unsetenv("no_proxy");
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST_F(Http, ThroughHttpAndSocks5Proxies) {
  std::string log = "/tmp/cronet_curl_proxy_" + std::to_string(getpid()) + ".log";
  std::string http_proxy = server("http-proxy", "--log " + log);
  std::string socks = server("socks5", "--log " + log + ".socks");
  REQUIRE_TEST_SERVER(!http_proxy.empty() && !socks.empty(), "http-proxy and socks5");
  std::string hp = "127.0.0.1:" + std::to_string(json_int(http_proxy, "port"));
  std::string sp = "socks5://127.0.0.1:" + std::to_string(json_int(socks, "port"));
  std::string per_scheme = "http=" + hp + ";https=direct://";
  std::string https_only = "https=127.0.0.1:" + std::to_string(dead_port());
  for (const std::string& rules : {hp, "http://" + hp, sp, per_scheme, https_only}) {
    SCOPED_TRACE(rules);
    EngineOptions o;
    o.proxy_rules = rules.c_str();
    Cronet_EnginePtr engine = start_engine(o);
    {
      TestRequest t(engine);
      ASSERT_EQ(t.init_and_start(base_ + "/echo/via-proxy"), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      EXPECT_EQ(t.status, 200) << t.error_message;
    }
    stop_engine(engine);
  }
  EXPECT_TRUE(contains(read_file(log), "via-proxy"));
  EXPECT_FALSE(read_file(log + ".socks").empty());
  unlink(log.c_str());
  unlink((log + ".socks").c_str());
}

// ---- TLS ---------------------------------------------------------------------------------

TEST_F(Http, TlsVerification) {
  std::string info = server("tls-bad");
  REQUIRE_TEST_SERVER(!info.empty(), "tls-bad");
  std::string ca = json_string(info, "ca");
  auto url = [&](const char* which) {
    return "https://localhost:" + std::to_string(json_int(info, which)) + "/bytes/10";
  };
  auto run = [&](Cronet_EnginePtr engine, const std::string& u) {
    TestRequest t(engine);
    EXPECT_EQ(t.init_and_start(u), Cronet_RESULT_SUCCESS);
    EXPECT_TRUE(t.wait());
    return t.events.back() == "succeeded" ? std::string("ok") : t.error_message;
  };
  {  // the system store does not know the test CA
    Cronet_EnginePtr engine = start_engine();
    EXPECT_EQ(run(engine, url("good")), "net::ERR_CERT_AUTHORITY_INVALID");
    EXPECT_EQ(run(engine, url("self_signed")), "net::ERR_CERT_AUTHORITY_INVALID");
    EXPECT_EQ(run(engine, url("handshake_fail")), "net::ERR_SSL_PROTOCOL_ERROR");
    stop_engine(engine);
  }
  CronetTest_SetCaBundle(ca.c_str());
  {
    Cronet_EnginePtr engine = start_engine();
    EXPECT_EQ(run(engine, url("good")), "ok");
    EXPECT_EQ(run(engine, url("wrong_host")), "net::ERR_CERT_COMMON_NAME_INVALID");
    EXPECT_EQ(run(engine, url("expired")), "net::ERR_CERT_DATE_INVALID");
    EXPECT_EQ(run(engine, url("self_signed")), "net::ERR_CERT_AUTHORITY_INVALID");
    stop_engine(engine);
  }
  CronetTest_SetCaBundle(nullptr);
  {
    EngineOptions o;
    o.skip_cert_verify = true;
    Cronet_EnginePtr engine = start_engine(o);
    for (const char* w : {"good", "wrong_host", "expired", "self_signed"})
      EXPECT_EQ(run(engine, url(w)), "ok") << w;
    EXPECT_EQ(run(engine, url("handshake_fail")), "net::ERR_SSL_PROTOCOL_ERROR");
    stop_engine(engine);
  }
}

TEST_F(Http, StalledRequestDoesNotHoldOthersBack) {
  // Over plain HTTP and over TLS (HTTP/2 allowed, server speaks HTTP/1.1).
  std::string info = server("tls-bad");
  REQUIRE_TEST_SERVER(!info.empty(), "tls-bad");
  EngineOptions o;
  o.skip_cert_verify = true;
  Cronet_EnginePtr engine = start_engine(o);
  for (const std::string& base :
       {base_, "https://localhost:" + std::to_string(json_int(info, "good"))}) {
    TestRequest stall(engine);
    ASSERT_EQ(stall.init_and_start(base + "/stall"), Cronet_RESULT_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
      TestRequest t(engine);
      ASSERT_EQ(t.init_and_start(base + "/bytes/10"), Cronet_RESULT_SUCCESS);
      EXPECT_TRUE(t.wait(5000)) << base;
    }
    Cronet_UrlRequest_Cancel(stall.request());
  }
  stop_engine(engine);
}

TEST_F(Http, HttpsThroughHttpProxyTunnel) {
  std::string info = server("tls-bad");
  std::string proxy = server("http-proxy");
  std::string refusing = server("http-proxy", "--refuse-connect");
  REQUIRE_TEST_SERVER(!info.empty() && !proxy.empty() && !refusing.empty(),
                      "tls-bad and http-proxy");
  std::string u = "https://localhost:" + std::to_string(json_int(info, "good")) + "/bytes/10";
  for (bool refuse : {false, true}) {
    EngineOptions o;
    std::string rules = "127.0.0.1:" + std::to_string(json_int(refuse ? refusing : proxy, "port"));
    o.proxy_rules = rules.c_str();
    o.skip_cert_verify = true;
    Cronet_EnginePtr engine = start_engine(o);
    {
      TestRequest t(engine);
      ASSERT_EQ(t.init_and_start(u), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      if (refuse) {
        EXPECT_EQ(t.error_message, "net::ERR_TUNNEL_CONNECTION_FAILED");
      } else {
        EXPECT_EQ(t.status, 200) << t.error_message;
      }
      for (auto& h : t.response_headers) EXPECT_NE(h.value, "Connection established");
    }
    stop_engine(engine);
  }
}

// ---- nginx: HTTP/2 and brotli ----------------------------------------------------------

TEST_F(Http, Http2AndBrotliWithNginx) {
  std::string info = server("nginx");
  REQUIRE_TEST_SERVER(!info.empty(), "nginx");
  CronetTest_SetCaBundle(json_string(info, "ca").c_str());
  std::string h2 = "https://localhost:" + std::to_string(json_int(info, "h2_port"));
  for (bool http2 : {true, false}) {
    EngineOptions o;
    o.http2 = http2;
    Cronet_EnginePtr engine = start_engine(o);
    {
      TestRequest t(engine);
      ASSERT_EQ(t.init_and_start(h2 + "/text.txt"), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      EXPECT_EQ(t.status, 200) << t.error_message;
      EXPECT_EQ(t.body, compressible());
      bool lower = false, upper = false;
      for (auto& h : t.response_headers) {
        EXPECT_NE(h.name[0], ':');
        if (h.name == "content-type") lower = true;
        if (h.name == "Content-Type") upper = true;
      }
      EXPECT_EQ(lower, http2);  // HTTP/2 header names arrive in lower case
      EXPECT_EQ(upper, !http2);
      if (json_string(info, "brotli").empty() &&
          info.find("\"brotli\": true") != std::string::npos) {
        EXPECT_EQ(t.header_value("Content-Encoding"), "br");
      }
    }
    {
      // Several requests at once share the HTTP/2 connection.
      TestExecutor ex;
      std::vector<std::unique_ptr<TestRequest>> reqs;
      for (int i = 0; i < 8; ++i) {
        reqs.push_back(std::make_unique<TestRequest>(engine, ex.get()));
        ASSERT_EQ(reqs.back()->init_and_start(h2 + "/1k.bin"), Cronet_RESULT_SUCCESS);
      }
      for (auto& r : reqs) {
        ASSERT_TRUE(r->wait());
        EXPECT_EQ(r->body.size(), 1024u);
        EXPECT_TRUE(matches_pattern(r->body));
      }
      reqs.clear();
    }
    stop_engine(engine);
  }
}

long rss_ki_b() {
  std::ifstream f("/proc/self/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmRSS:", 0) == 0) return atol(l.c_str() + 6);
  return -1;
}

TEST_F(Http, BackPressureOverHttp2KeepsMemoryBounded) {
  // A paused stream must not make libcurl buffer the body either (RSS).
  std::string info = server("nginx", "--big-mib 64");
  REQUIRE_TEST_SERVER(!info.empty(), "nginx");
  CronetTest_SetCaBundle(json_string(info, "ca").c_str());
  for (bool http2 : {true, false}) {
    EngineOptions o;
    o.http2 = http2;
    Cronet_EnginePtr engine = start_engine(o);
    {
      TestRequest t(engine);
      t.auto_read = false;
      long before = rss_ki_b();
      ASSERT_EQ(t.init_and_start("https://localhost:" + std::to_string(json_int(info, "h2_port")) +
                                 "/big.bin"),
                Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait_for([&] { return t.count_events("started") == 1; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      EXPECT_LE(CronetTest_BufferedBodyBytes(), (1 << 20) + (256 << 10));
      EXPECT_LT(rss_ki_b() - before, 24 * 1024) << "http2=" << http2;
      // Reading it all still works.
      t.read_size = 1 << 20;
      t.auto_read = true;
      ASSERT_EQ(t.read_now(), Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait(60000));
      EXPECT_EQ(t.events.back(), "succeeded") << t.error_message;
      EXPECT_EQ(t.body.size(), 64u << 20);
      EXPECT_TRUE(matches_pattern(t.body));
    }
    stop_engine(engine);
  }
}

// ---- journal over a whole request ---------------------------------------------------

TEST_F(Http, JournalOfARequest) {
  CronetTest_JournalEnable(true);
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    t.method = "GET";
    ASSERT_EQ(t.init_and_start(base_ + "/bytes/10"), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    Cronet_UrlRequest_Cancel(t.request());
  }
  stop_engine(engine);
  CronetTest_JournalEnable(false);
  size_t n = CronetTest_JournalRead(nullptr, 0);
  std::string j(n + 1, '\0');
  CronetTest_JournalRead(&j[0], j.size());
  j.resize(n);
  for (const std::string& line :
       {std::string("Cronet_Engine_Create()\n"),
        std::string("Cronet_EngineParams_enable_http2_set(true)\n"),
        std::string("Cronet_Engine_StartWithParams()\n"),
        std::string("Cronet_UrlRequestParams_http_method_set(\"GET\")\n"),
        "Cronet_UrlRequest_InitWithParams(\"" + base_ + "/bytes/10\")\n",
        std::string("Cronet_UrlRequest_Start()\n"), std::string("Cronet_UrlRequest_Read()\n"),
        std::string("Cronet_Runnable_Run()\n"), std::string("Cronet_UrlRequest_Cancel()\n"),
        std::string("Cronet_UrlRequest_Destroy()\n"), std::string("Cronet_Engine_Shutdown()\n"),
        std::string("Cronet_Engine_Destroy()")})
    EXPECT_TRUE(contains(j + "\n", line)) << line << "\n---\n" << j;
}

}  // namespace
