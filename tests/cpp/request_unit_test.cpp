// Request pieces that need no network: text repair, the outcome line, input
// checks, the one-shot result channel and the upload body.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fault.h"
#include "request.h"
#include "request_checks.h"
#include "test_support.h"
#include "text.h"

namespace tarnwick {
namespace {

// ---- UTF-8 repair ----------------------------------------------------------

class Utf8Repair : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(Utf8Repair, ReplacesEachIllFormedSubpartOnce) {
  const auto& [in, want] = GetParam();
  EXPECT_EQ(decode_utf8_lossy(std::string_view(in)), want);
}

const std::string kR = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Repair,
    ::testing::Values(std::make_tuple("text/html; charset=utf-8", "text/html; charset=utf-8"),
                      std::make_tuple("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
                      std::make_tuple("a\xFF"
                                      "b",
                                      "a" + kR + "b"),
                      std::make_tuple("\xC3", kR),  // truncated at the end
                      std::make_tuple("\xE2\x82"
                                      "x",
                                      kR + "x"),             // one replacement for the prefix
                      std::make_tuple("\xC0\xAF", kR + kR),  // overlong lead never valid
                      std::make_tuple("\xED\xA0\x80", kR + kR + kR),           // surrogate
                      std::make_tuple("\xF4\x90\x80\x80", kR + kR + kR + kR),  // above U+10FFFF
                      std::make_tuple("\xF0\x9F\x98"
                                      "\xF0\x9F\x98\x80",
                                      kR + "\xF0\x9F\x98\x80"),
                      std::make_tuple("\x80\x80", kR + kR)),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST(Utf8Repair, NullGivesEmpty) { EXPECT_EQ(decode_utf8_lossy(nullptr), ""); }

// ---- outcome line ----------------------------------------------------------

class OutcomeLine
    : public ::testing::TestWithParam<std::tuple<std::optional<std::string>, std::string>> {};

TEST_P(OutcomeLine, EscapesQuotesBackslashesAndControls) {
  const auto& [failure, want] = GetParam();
  EXPECT_EQ(describe_outcome(failure), want);
}

INSTANTIATE_TEST_SUITE_P(Cases, OutcomeLine,
                         ::testing::Values(std::make_tuple(std::nullopt, "Ok(())"),
                                           std::make_tuple("Canceled", "Err(\"Canceled\")"),
                                           std::make_tuple("net::ERR_CONNECTION_REFUSED",
                                                           "Err(\"net::ERR_CONNECTION_REFUSED\")"),
                                           std::make_tuple("say \"hi\"", "Err(\"say \\\"hi\\\"\")"),
                                           std::make_tuple("C:\\path", "Err(\"C:\\\\path\")"),
                                           std::make_tuple("a\nb\rc\td", "Err(\"a\\nb\\rc\\td\")"),
                                           std::make_tuple("esc\x1b"
                                                           "del\x7f",
                                                           "Err(\"esc\\u{1b}del\\u{7f}\")"),
                                           std::make_tuple("c1\xC2\x85", "Err(\"c1\\u{85}\")"),
                                           std::make_tuple("caf\xC3\xA9", "Err(\"caf\xC3\xA9\")"),
                                           std::make_tuple("", "Err(\"\")")),
                         [](const auto& info) { return "case_" + std::to_string(info.index); });

// ---- input checks ----------------------------------------------------------

struct Input {
  std::string method;
  std::string url;
  std::vector<HeaderPair> headers = {};

  RequestSpec spec() const {
    RequestSpec s;
    s.method = method;
    s.url = url;
    s.headers = headers;
    return s;
  }
};

struct RefuseCase {
  std::string name;
  Input input;
  std::optional<std::string> reason;
};

class RefuseReason : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(RefuseReason, NamesTheFirstProblem) {
  EXPECT_EQ(refuse_reason(GetParam().input.spec()), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefuseReason,
    ::testing::Values(
        RefuseCase{"plain_get", {"GET", "http://127.0.0.1/"}, std::nullopt},
        RefuseCase{"odd_but_token", {"m-1!#$%&'*+.^_`|~", "http://127.0.0.1/"}, std::nullopt},
        RefuseCase{"lowercase_method_any_url", {"get", "x"}, std::nullopt},
        RefuseCase{
            "value_with_tab_and_utf8", {"GET", "u", {{"X-A", "a\tb \xC3\xA9"}}}, std::nullopt},
        RefuseCase{"space_in_method", {"GE T", "u"}, "invalid HTTP method 'GE T'"},
        RefuseCase{"empty_method_is_the_default", {"", "u"}, std::nullopt},
        RefuseCase{"empty_value_before_bad_name",
                   {"GET", "u", {{"X A", ""}}},
                   "empty HTTP header value for 'X A'"},
        RefuseCase{"empty_url", {"GET", ""}, "empty URL"},
        RefuseCase{"empty_header_name", {"GET", "u", {{"", "v"}}}, "empty HTTP header name"},
        RefuseCase{
            "header_name_space", {"GET", "u", {{"X A", "v"}}}, "invalid HTTP header name 'X A'"},
        RefuseCase{
            "header_name_colon", {"GET", "u", {{"X:A", "v"}}}, "invalid HTTP header name 'X:A'"},
        RefuseCase{
            "empty_header_value", {"GET", "u", {{"X-A", ""}}}, "empty HTTP header value for 'X-A'"},
        RefuseCase{"header_value_lf",
                   {"GET", "u", {{"X-A", "a\nb"}}},
                   "invalid HTTP header value for 'X-A'"},
        RefuseCase{"header_value_cr",
                   {"GET", "u", {{"X-A", "a\rb"}}},
                   "invalid HTTP header value for 'X-A'"},
        RefuseCase{"second_header_bad",
                   {"GET", "u", {{"X-A", "1"}, {"X-B", "\r\n"}}},
                   "invalid HTTP header value for 'X-B'"}),
    [](const auto& info) { return info.param.name; });

using namespace std::string_literals;

struct NulCase {
  std::string name;
  Input input;
  std::string where;
};

class NulFault : public ::testing::TestWithParam<NulCase> {};

TEST_P(NulFault, IsAnInternalFaultNamingWhere) {
  try {
    refuse_reason(GetParam().input.spec());
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.text().rfind(kUnwrapErr, 0), 0u) << f.text();
    EXPECT_NE(f.text().find(GetParam().where), std::string::npos) << f.text();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NulFault,
    ::testing::Values(NulCase{"method", {"GE\0T"s, "u"}, "position 2 of the HTTP method"},
                      NulCase{"url", {"GET", "http://a/\0"s}, "position 9 of the URL"},
                      NulCase{"header_name", {"GET", "u", {{"X\0"s, "v"}}}, "an HTTP header name"},
                      NulCase{"header_value", {"GET", "u", {{"X", "\0"s}}}, "an HTTP header value"},
                      // A NUL wins over an earlier problem of another kind.
                      NulCase{"nul_beats_bad_method", {"GE T", "\0"s}, "of the URL"}),
    [](const auto& info) { return info.param.name; });

// ---- result channel --------------------------------------------------------

TEST(ResultChannel, DeliversExactlyOneValue) {
  auto state = std::make_shared<RequestState>();
  ResultSender tx(state);
  ResultReceiver rx(state);
  EXPECT_TRUE(tx.send(RequestResult(std::in_place_index<1>, "first")));
  EXPECT_FALSE(tx.send(RequestResult(std::in_place_index<1>, "second")));
  auto got = rx.recv();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(std::get<std::string>(*got), "first");
}

TEST(ResultChannel, DroppedSenderWakesAWaitingReceiverWithNothing) {
  auto state = std::make_shared<RequestState>();
  auto tx = std::make_unique<ResultSender>(state);
  ResultReceiver rx(state);
  std::optional<RequestResult> got{RequestResult(std::in_place_index<1>, "unset")};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    got = rx.recv();
    done = true;
  });
  tx.reset();
  ASSERT_TRUE(testing::eventually([&] { return done.load(); }));
  waiter.join();
  EXPECT_FALSE(got.has_value());
}

TEST(ResultChannel, SendFailsOnceTheReceiverIsGone) {
  auto state = std::make_shared<RequestState>();
  ResultSender tx(state);
  { ResultReceiver rx(state); }
  EXPECT_FALSE(tx.send(RequestResult(std::in_place_index<1>, "late")));
}

TEST(ResultChannel, ValueSentBeforeTheWaitIsStillReceived) {
  auto state = std::make_shared<RequestState>();
  ResultReceiver rx(state);
  {
    ResultSender tx(state);
    ResponseData r;
    r.status_code = 204;
    ASSERT_TRUE(tx.send(RequestResult(std::in_place_index<0>, std::move(r))));
  }  // sender gone after sending: the value must survive
  auto got = rx.recv();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(std::get<ResponseData>(*got).status_code, 204);
}

// ---- body buffer -----------------------------------------------------------

// size -> the copy is exact and the buffer empty afterwards, whether or not
// pages were given back on the way (steps of 4 MiB, only past one step).
class BodyMoveOut : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BodyMoveOut, CopiesEveryByteAndEmptiesTheBuffer) {
  const std::size_t n = GetParam();
  // Appended piece by piece, as the callbacks do, so the capacity runs past the end.
  ByteBuffer body;
  std::vector<std::uint8_t> piece(1000);
  for (std::size_t at = 0; at < n; at += piece.size()) {
    const std::size_t k = std::min(piece.size(), n - at);
    for (std::size_t i = 0; i < k; ++i)
      piece[i] = static_cast<std::uint8_t>(((at + i) * 31 + 7) % 251);
    body.append(piece.data(), k);
  }
  std::vector<std::uint8_t> out(n + 1, 0xEE);
  body.move_out_to(out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_EQ(out[i], static_cast<std::uint8_t>((i * 31 + 7) % 251)) << "byte " << i;
  EXPECT_EQ(out[n], 0xEE) << "wrote past the body";
  EXPECT_EQ(body.size(), 0u);
  EXPECT_EQ(body.data(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BodyMoveOut,
                         ::testing::Values(0u, 1u, 4095u, (4u << 20) - 1, 4u << 20, (4u << 20) + 1,
                                           (9u << 20) + 4097));

}  // namespace
}  // namespace tarnwick
