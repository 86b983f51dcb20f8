// What a request sends where, across redirects and the credentials retry.
#include <gtest/gtest.h>

#include <string>

#include "net_errors.h"
#include "request_target.h"

using namespace cronet_curl;

namespace {

std::string names(const HeaderList& headers) {
  std::string s;
  for (const auto& h : headers) s += h.first + ";";
  return s;
}

const HeaderList kBodyAndCredentials = {{"Content-Type", "a"},     {"content-encoding", "b"},
                                        {"Content-Language", "c"}, {"Content-Location", "d"},
                                        {"X-Other", "e"},          {"Authorization", "f"},
                                        {"Cookie", "g"},           {"Proxy-Authorization", "h"}};

struct FollowCase {
  const char* name;
  const char* method;
  bool body;
  int status;
  const char* to;
  const char* want_method;
  bool want_body;
  const char* want_headers;
};

class Follow : public ::testing::TestWithParam<FollowCase> {};

TEST_P(Follow, RewritesMethodAndDropsHeaders) {
  const FollowCase& c = GetParam();
  RequestTarget t;
  ASSERT_EQ(t.prepare("http://h/a", c.method, kBodyAndCredentials, c.body), 0);
  ASSERT_EQ(t.follow(c.status, c.to), 0);
  EXPECT_EQ(t.method(), c.want_method);
  EXPECT_EQ(t.send_body(), c.want_body);
  EXPECT_EQ(names(t.headers()), c.want_headers);
  EXPECT_EQ(t.url(), c.to);
}

constexpr const char* kAll =
    "Content-Type;content-encoding;Content-Language;Content-Location;X-Other;Authorization;"
    "Cookie;Proxy-Authorization;";
constexpr const char* kBodyless = "X-Other;Authorization;Cookie;Proxy-Authorization;";

INSTANTIATE_TEST_SUITE_P(
    Cases, Follow,
    ::testing::Values(
        FollowCase{"post_301_get", "POST", true, 301, "http://h/b", "GET", false, kBodyless},
        FollowCase{"post_302_get", "POST", true, 302, "http://h/b", "GET", false, kBodyless},
        FollowCase{"put_302_kept", "PUT", true, 302, "http://h/b", "PUT", true, kAll},
        FollowCase{"put_303_get", "PUT", true, 303, "http://h/b", "GET", false, kBodyless},
        FollowCase{"head_303_kept", "HEAD", false, 303, "http://h/b", "HEAD", false, kAll},
        FollowCase{"get_303_headers_kept", "GET", false, 303, "http://h/b", "GET", false, kAll},
        FollowCase{"post_307_kept", "POST", true, 307, "http://h/b", "POST", true, kAll},
        FollowCase{"post_308_kept", "POST", true, 308, "http://h/b", "POST", true, kAll},
        // Credentials set by hand stay with their host; Authorization with its origin.
        FollowCase{"other_port", "GET", false, 302, "http://h:81/b", "GET", false,
                   "Content-Type;content-encoding;Content-Language;Content-Location;X-Other;"
                   "Cookie;Proxy-Authorization;"},
        FollowCase{"other_scheme", "GET", false, 302, "https://h/b", "GET", false,
                   "Content-Type;content-encoding;Content-Language;Content-Location;X-Other;"
                   "Cookie;Proxy-Authorization;"},
        FollowCase{"other_host", "POST", true, 301, "http://g/b", "GET", false, "X-Other;"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestTarget, RefusedUrls) {
  RequestTarget t;
  EXPECT_EQ(t.prepare("ftp://h/", "GET", {}, false), kErrUnknownUrlScheme);
  EXPECT_EQ(t.prepare("http://", "GET", {}, false), kErrInvalidUrl);
}

TEST(RequestTarget, UrlCredentialsOnlyWhenAskedAndOnlyForTheirUrl) {
  const HeaderList basic = {{"WWW-Authenticate", "Basic realm=x"}};
  RequestTarget t;
  ASSERT_EQ(t.prepare("http://u:p%40@h/a", "GET", {}, false), 0);
  EXPECT_EQ(t.url(), "http://h/a");  // never handed to libcurl
  EXPECT_FALSE(t.wants_credentials(401, {}));
  EXPECT_FALSE(t.wants_credentials(403, basic));
  ASSERT_TRUE(t.wants_credentials(401, basic));
  t.add_credentials();
  EXPECT_EQ(names(t.headers()), "Authorization;");
  EXPECT_EQ(t.headers()[0].second, "Basic dTpwQA==");  // "u:p@"
  EXPECT_FALSE(t.wants_credentials(401, basic));       // tried once
  // The same host: the URL's Authorization still does not follow.
  ASSERT_EQ(t.follow(302, "http://h/b"), 0);
  EXPECT_EQ(names(t.headers()), "");
  EXPECT_FALSE(t.wants_credentials(401, basic));  // the target has none of its own

  RequestTarget app;  // an application Authorization wins over the URL's
  ASSERT_EQ(app.prepare("http://u:p@h/", "GET", {{"authorization", "x"}}, false), 0);
  EXPECT_FALSE(app.wants_credentials(401, basic));
}

TEST(RequestTarget, TwentyRedirectsThenTooMany) {
  RequestTarget t;
  ASSERT_EQ(t.prepare("http://h/0", "GET", {}, false), 0);
  for (int i = 1; i <= RequestTarget::kMaxRedirects; ++i)
    ASSERT_EQ(t.follow(302, "http://h/" + std::to_string(i)), 0);
  EXPECT_EQ(t.follow(302, "http://h/x"), kErrTooManyRedirects);
  EXPECT_EQ(t.url(), "http://h/20");
}

TEST(RequestTarget, RedirectsNeedACodeAndALocation) {
  const std::string loc = "/x";
  for (int code : {301, 302, 303, 307, 308}) EXPECT_TRUE(RequestTarget::is_redirect(code, &loc));
  for (int code : {300, 304, 305, 200}) EXPECT_FALSE(RequestTarget::is_redirect(code, &loc));
  EXPECT_FALSE(RequestTarget::is_redirect(302, nullptr));
}

}  // namespace
