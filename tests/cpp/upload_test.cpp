// The upload body: piecewise reads, rewinds and the announced length, first on
// the record itself, then end to end through a local server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "request_call.h"
#include "request_test_support.h"
#include "upload.h"

namespace tarnwick {
namespace {

ByteBuffer pattern(std::size_t n, std::uint8_t seed = 7) {
  ByteBuffer b;
  std::uint8_t* p = b.grow_for(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
  b.commit(n);
  return b;
}

// body size, buffer size -> sizes of the reads until the body is exhausted
class UploadReads : public ::testing::TestWithParam<
                        std::tuple<std::size_t, std::size_t, std::vector<std::size_t>>> {};

TEST_P(UploadReads, FillEachBufferAndEndWithZero) {
  const auto& [size, capacity, want_sizes] = GetParam();
  ByteBuffer original = pattern(size);
  UploadBody body(pattern(size));
  std::vector<std::uint8_t> out(capacity);
  std::vector<std::size_t> sizes;
  std::vector<std::uint8_t> collected;
  for (int guard = 0; guard < 1000; ++guard) {
    std::size_t n = body.read_into(out.data(), out.size());
    sizes.push_back(n);
    collected.insert(collected.end(), out.begin(), out.begin() + static_cast<long>(n));
    EXPECT_EQ(body.length(), static_cast<std::int64_t>(size)) << "length changed after a read";
    if (n == 0) break;
  }
  EXPECT_EQ(sizes, want_sizes);
  ASSERT_EQ(collected.size(), size);
  EXPECT_TRUE(std::equal(collected.begin(), collected.end(), original.data()));
  // Exhausted stays exhausted: another read still reports 0.
  EXPECT_EQ(body.read_into(out.data(), out.size()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadReads,
    ::testing::Values(std::make_tuple(1, 32768, std::vector<std::size_t>{1, 0}),
                      std::make_tuple(32768, 32768, std::vector<std::size_t>{32768, 0}),
                      std::make_tuple(32769, 32768, std::vector<std::size_t>{32768, 1, 0}),
                      std::make_tuple(100000, 32768,
                                      std::vector<std::size_t>{32768, 32768, 32768, 1696, 0}),
                      std::make_tuple(10, 3, std::vector<std::size_t>{3, 3, 3, 1, 0})));

class UploadRewind : public ::testing::TestWithParam<std::size_t> {};

TEST_P(UploadRewind, RestartsFromTheFirstByteAfterAnyNumberOfReads) {
  const std::size_t reads_before = GetParam();
  ByteBuffer original = pattern(100);
  UploadBody body(pattern(100));
  std::uint8_t buf[16];
  for (std::size_t i = 0; i < reads_before; ++i) body.read_into(buf, sizeof buf);
  body.rewind();
  EXPECT_EQ(body.length(), 100);
  ASSERT_EQ(body.read_into(buf, sizeof buf), sizeof buf);
  EXPECT_TRUE(std::equal(buf, buf + sizeof buf, original.data()));
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadRewind, ::testing::Values(0u, 1u, 3u, 7u, 20u),
                         ::testing::PrintToStringParamName());

TEST(UploadBodyRecord, TakesTheBufferWithoutCopying) {
  ByteBuffer b = pattern(1 << 20);
  const std::uint8_t* before = b.data();
  UploadBody body(std::move(b));
  EXPECT_EQ(body.data, before);
}

TEST(UploadBodyRecord, ReadsLentBytesInPlaceAndNeverFreesThem) {
  ByteBuffer lent = pattern(100000);
  {
    UploadBody body(std::span<const std::uint8_t>(lent.data(), lent.size()));
    EXPECT_EQ(body.data, lent.data());
    EXPECT_TRUE(body.owned.empty());
    std::vector<std::uint8_t> out(100000);
    ASSERT_EQ(body.read_into(out.data(), out.size()), 100000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), lent.data()));
    body.drop_bytes();
  }
  EXPECT_EQ(lent.size(), 100000u);  // still the caller's, untouched
}

// ---- end to end --------------------------------------------------------------

std::string base64(const std::uint8_t* p, std::size_t n) {
  static constexpr char k_[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < n; i += 3) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out += {k_[v >> 18], k_[(v >> 12) & 63], k_[(v >> 6) & 63], k_[v & 63]};
  }
  if (i + 1 == n) {
    std::uint32_t v = p[i] << 16;
    out += {k_[v >> 18], k_[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == n) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
    out += {k_[v >> 18], k_[(v >> 12) & 63], k_[(v >> 6) & 63], '='};
  }
  return out;
}

class UploadEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testing::LocalServer("http"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    REQUIRE_SERVER_OF(server_);
    id_ = manager_.create_session(SessionConfig{});
    ASSERT_FALSE(id_.empty());
  }

  CallOutcome post(const std::string& path, std::size_t size, std::string method = "POST") {
    RequestSpec spec;
    spec.method = std::move(method);
    spec.url = server_->url(path);
    spec.body = pattern(size);
    return perform_request(manager_, id_, std::move(spec));
  }

  static std::string body_text(const CallOutcome& o) {
    return std::string(reinterpret_cast<const char*>(o.response.body.data()),
                       o.response.body.size());
  }

  static testing::LocalServer* server_;
  SessionManager manager_;
  std::string id_;
};
testing::LocalServer* UploadEndToEnd::server_ = nullptr;

class UploadSizes : public UploadEndToEnd, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(UploadSizes, ArriveByteForByte) {
  const std::size_t size = GetParam();
  CallOutcome o = post("/echo", size);
  ASSERT_EQ(o.kind, CallOutcome::Kind::kResponse) << o.failure;
  const std::string json = body_text(o);
  EXPECT_EQ(testing::json_field(json, "method"), "POST");
  EXPECT_EQ(testing::json_field(json, "body_len"), std::to_string(size));
  ByteBuffer want = pattern(size);
  EXPECT_EQ(testing::json_field(json, "body_b64"), base64(want.data(), want.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadSizes,
                         ::testing::Values(1u, 32767u, 32768u, 32769u, 100000u, 3u << 20),
                         ::testing::PrintToStringParamName());

class UploadRedirect : public UploadEndToEnd, public ::testing::WithParamInterface<int> {};

// 307 and 308 keep the method and body, so the body is rewound and sent again.
TEST_P(UploadRedirect, ResendsTheWholeBodyAfterARewind) {
  const int code = GetParam();
  CallOutcome o = post("/redirect/" + std::to_string(code) + "?to=/echo/after", 70000);
  ASSERT_EQ(o.kind, CallOutcome::Kind::kResponse) << o.failure;
  EXPECT_EQ(o.response.status_code, 200);
  const std::string json = body_text(o);
  EXPECT_EQ(testing::json_field(json, "path"), "/echo/after");
  EXPECT_EQ(testing::json_field(json, "method"), "POST");
  ByteBuffer want = pattern(70000);
  EXPECT_EQ(testing::json_field(json, "body_b64"), base64(want.data(), want.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadRedirect, ::testing::Values(307, 308),
                         ::testing::PrintToStringParamName());

TEST_F(UploadEndToEnd, EmptyBodySendsNoBodyWhateverTheMethod) {
  CallOutcome o = post("/echo", 0, "POST");
  ASSERT_EQ(o.kind, CallOutcome::Kind::kResponse) << o.failure;
  const std::string json = body_text(o);
  EXPECT_EQ(testing::json_field(json, "method"), "POST");
  EXPECT_EQ(testing::json_field(json, "body_len"), "0");
}

}  // namespace
}  // namespace tarnwick
