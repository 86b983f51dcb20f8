// URLs end to end: the host a request reaches is the one a browser would
// reach, URL credentials go out only after a Basic challenge, and credential
// headers do not follow a redirect to another host. Servers on 127.0.0.1 and
// 127.0.0.2 stand for two hosts.
#include <unistd.h>

#include <atomic>

#include "test_support.h"

using namespace ctest;

namespace {

bool contains(const std::string& s, const std::string& sub) {
  return s.find(sub) != std::string::npos;
}

std::string header_json(const std::string& name, const std::string& value) {
  return "[\"" + name + "\", \"" + value + "\"]";
}

class Urls : public ::testing::Test {
 protected:
  void SetUp() override {
    CronetTest_Reset();
    std::string a = server("http");
    std::string b = server("http", "--host 127.0.0.2");
    REQUIRE_TEST_SERVER(!a.empty() && !b.empty(), "http on 127.0.0.1 and 127.0.0.2");
    a_ = "127.0.0.1:" + std::to_string(json_int(a, "port"));
    b_ = "127.0.0.2:" + std::to_string(json_int(b, "port"));
  }
  void TearDown() override { CronetTest_Reset(); }
  // A fresh key for the server's record of Authorization headers.
  static std::string fresh_key() {
    static std::atomic<int> n{0};
    return std::to_string(getpid()) + "-" + std::to_string(++n);
  }
  std::string a_, b_;  // host:port of the two servers
};

TEST_F(Urls, BackslashesAndSlashesReachTheHostABrowserWould) {
  struct Case {
    std::string url;
    std::string redirect;  // the redirect reported, "" when none
    int status;
    std::string body_has;
  };
  const Case cases[] = {
      // A backslash ends the authority: "127.0.0.1:PA\" is no userinfo.
      {"http://" + a_ + "\\@" + b_ + "/a", "", 404, "no route for /@" + b_ + "/a\n"},
      {"http://" + a_ + "\\echo\\@" + b_ + "/echo", "", 200,
       "\"path\": \"/echo/@" + b_ + "/echo\""},
      {"http://" + a_ + "\\echo\\@" + b_ + "/echo", "", 200, "\"server\": \"" + a_ + "\""},
      // "http:/host" in a Location of an http page is a path on that page's host.
      {"http://" + a_ + "/redirect/302?to=http:/" + b_ + "/c", "http://" + a_ + "/" + b_ + "/c",
       404, "no route for /" + b_ + "/c\n"},
      {"http://" + a_ + "/redirect/302?to=http:\\\\" + b_ + "\\echo", "http://" + b_ + "/echo", 200,
       "\"server\": \"" + b_ + "\""},
      // Short IPv4 forms reach the address they stand for.
      {"http://0x7f.1:" + a_.substr(a_.find(':') + 1) + "/echo", "", 200,
       "\"server\": \"" + a_ + "\""},
  };
  Cronet_EnginePtr engine = start_engine();
  for (const Case& c : cases) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(c.url), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.status, c.status) << c.url;
    EXPECT_TRUE(contains(t.body, c.body_has)) << c.url << "\n" << t.body.substr(0, 400);
    EXPECT_FALSE(contains(t.body, "Authorization")) << c.url;
    if (c.redirect.empty()) {
      EXPECT_TRUE(t.redirect_urls.empty()) << c.url;
    } else {
      ASSERT_EQ(t.redirect_urls.size(), 1u) << c.url;
      EXPECT_EQ(t.redirect_urls[0], c.redirect);
    }
  }
  stop_engine(engine);
}

TEST_F(Urls, CredentialsGoOutOnlyAfterABasicChallenge) {
  struct Case {
    const char* userinfo;    // put in the URL
    const char* want;        // the user=..&pass=.. the server accepts
    const char* app_header;  // an Authorization the application sets, or null
    bool upload;
    int status;
    std::string seen;  // the Authorization values the server got
  };
  const Case cases[] = {
      {"u:p@", "user=u&pass=p", nullptr, false, 200, "[null, \"Basic dTpw\"]"},
      {"u:p@", "user=u&pass=p", nullptr, true, 200, "[null, \"Basic dTpw\"]"},
      {"u%40x:p%3Aw@", "user=u%40x&pass=p%3Aw", nullptr, false, 200,
       "[null, \"Basic dUB4OnA6dw==\"]"},
      {"u:wrong@", "user=u&pass=p", nullptr, true, 401, "[null, \"Basic dTp3cm9uZw==\"]"},
      {"", "user=u&pass=p", nullptr, false, 401, "[null]"},
      {"u:p@", "user=u&pass=p", "Basic YXBwOng=", false, 401, "[\"Basic YXBwOng=\"]"},
  };
  Cronet_EnginePtr engine = start_engine();
  TestExecutor upload_exec;
  for (const Case& c : cases) {
    std::string key = fresh_key();
    std::string body(70000, 'b');
    TestUpload up(body);
    {
      TestRequest t(engine);
      if (c.app_header) t.headers.push_back({"Authorization", c.app_header});
      if (c.upload) {
        t.upload = &up;
        t.upload_executor = upload_exec.get();
      }
      ASSERT_EQ(t.init_and_start("http://" + std::string(c.userinfo) + a_ + "/basic-auth/" + key +
                                 "?" + c.want),
                Cronet_RESULT_SUCCESS);
      ASSERT_TRUE(t.wait());
      EXPECT_EQ(t.status, c.status) << c.userinfo << " " << t.body.substr(0, 200);
      EXPECT_EQ(t.count_events("redirect"), 0);
      if (c.upload && c.status == 200) {
        EXPECT_TRUE(contains(t.body, "\"body_len\": 70000")) << t.body.substr(0, 300);
      }
    }
    TestRequest seen(engine);
    ASSERT_EQ(seen.init_and_start("http://" + a_ + "/basic-auth-seen/" + key),
              Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(seen.wait());
    EXPECT_EQ(seen.body, c.seen) << c.userinfo;
  }
  // Without a challenge a 401 is the response.
  TestRequest t(engine);
  ASSERT_EQ(t.init_and_start("http://u:p@" + a_ + "/status/401"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(t.status, 401);
  EXPECT_EQ(t.body, "status 401\n");
  stop_engine(engine);
}

TEST_F(Urls, CredentialHeadersStayWithTheirHost) {
  std::string a2 = server("http", "--host 127.0.0.1");
  std::string tls = server("http", "--tls");
  REQUIRE_TEST_SERVER(!a2.empty() && !tls.empty(), "http and http --tls");
  struct Case {
    std::string target;
    bool authorization, proxy_authorization, cookie;
  };
  const Case cases[] = {
      {"/echo", true, true, true},
      {"http://127.0.0.1:" + std::to_string(json_int(a2, "port")) + "/echo", false, true, true},
      {"https://127.0.0.1:" + std::to_string(json_int(tls, "port")) + "/echo", false, true, true},
      {"http://" + b_ + "/echo", false, false, false},
  };
  EngineOptions o;
  o.skip_cert_verify = true;
  Cronet_EnginePtr engine = start_engine(o);
  for (const Case& c : cases) {
    TestRequest t(engine);
    t.headers = {{"Authorization", "Basic eDp5"},
                 {"Proxy-Authorization", "Basic cDpx"},
                 {"Cookie", "a=1"},
                 {"X-Keep", "1"}};
    ASSERT_EQ(t.init_and_start("http://" + a_ + "/redirect/307?to=" + c.target),
              Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    ASSERT_EQ(t.status, 200) << c.target;
    EXPECT_EQ(contains(t.body, header_json("Authorization", "Basic eDp5")), c.authorization)
        << c.target;
    EXPECT_EQ(contains(t.body, header_json("Proxy-Authorization", "Basic cDpx")),
              c.proxy_authorization)
        << c.target;
    EXPECT_EQ(contains(t.body, header_json("Cookie", "a=1")), c.cookie) << c.target;
    EXPECT_TRUE(contains(t.body, header_json("X-Keep", "1"))) << c.target;
  }
  stop_engine(engine);
}

}  // namespace
