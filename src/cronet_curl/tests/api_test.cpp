// The API without a server: objects, executors, result codes, engine life,
// journal and the other test controls, failures that need no peer.
#include <dlfcn.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "test_support.h"

using namespace ctest;

namespace {

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    CronetTest_Reset();
    baseline_ = live_objects();
  }
  void TearDown() override {
    CronetTest_Reset();
    EXPECT_TRUE(wait_live_objects(baseline_)) << describe_live();
  }
  std::map<int, int64_t> baseline_;
};

std::string journal() {
  size_t n = CronetTest_JournalRead(nullptr, 0);
  std::string s(n + 1, '\0');
  CronetTest_JournalRead(&s[0], s.size());
  s.resize(n);
  return s;
}

int g_runs = 0;
void count_run(Cronet_RunnablePtr r) {
  g_runs++;
  EXPECT_EQ(Cronet_Runnable_GetClientContext(r), &g_runs);
}
Cronet_RunnablePtr g_seen = nullptr;
void remember(Cronet_ExecutorPtr, Cronet_RunnablePtr r) { g_seen = r; }

TEST_F(Api, ExecutorAndRunnable) {
  Cronet_ExecutorPtr e = Cronet_Executor_CreateWith(&remember);
  int ctx = 0;
  Cronet_Executor_SetClientContext(e, &ctx);
  EXPECT_EQ(Cronet_Executor_GetClientContext(e), &ctx);
  Cronet_RunnablePtr r = Cronet_Runnable_CreateWith(&count_run);
  Cronet_Runnable_SetClientContext(r, &g_runs);
  Cronet_Executor_Execute(e, r);
  EXPECT_EQ(g_seen, r);
  g_runs = 0;
  Cronet_Runnable_Run(r);
  Cronet_Runnable_Run(r);
  EXPECT_EQ(g_runs, 2);
  Cronet_Runnable_Destroy(r);
  Cronet_Executor_Destroy(e);
}

TEST_F(Api, Buffer) {
  Cronet_BufferPtr b = Cronet_Buffer_Create();
  EXPECT_EQ(Cronet_Buffer_GetSize(b), 0u);
  EXPECT_EQ(Cronet_Buffer_GetData(b), nullptr);
  Cronet_Buffer_InitWithAlloc(b, 100);
  EXPECT_EQ(Cronet_Buffer_GetSize(b), 100u);
  ASSERT_NE(Cronet_Buffer_GetData(b), nullptr);
  memset(Cronet_Buffer_GetData(b), 7, 100);
  Cronet_Buffer_InitWithAlloc(b, 1u << 20);
  EXPECT_EQ(Cronet_Buffer_GetSize(b), 1u << 20);
  Cronet_Buffer_Destroy(b);
}

TEST_F(Api, HeaderAndClientContexts) {
  Cronet_HttpHeaderPtr h = Cronet_HttpHeader_Create();
  EXPECT_STREQ(Cronet_HttpHeader_name_get(h), "");
  Cronet_HttpHeader_name_set(h, "X-A");
  Cronet_HttpHeader_value_set(h, "b");
  EXPECT_STREQ(Cronet_HttpHeader_name_get(h), "X-A");
  EXPECT_STREQ(Cronet_HttpHeader_value_get(h), "b");
  Cronet_HttpHeader_Destroy(h);
  int ctx;
  Cronet_UrlRequestCallbackPtr cb =
      Cronet_UrlRequestCallback_CreateWith(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  Cronet_UrlRequestCallback_SetClientContext(cb, &ctx);
  EXPECT_EQ(Cronet_UrlRequestCallback_GetClientContext(cb), &ctx);
  Cronet_UrlRequestCallback_Destroy(cb);
  Cronet_UploadDataProviderPtr p =
      Cronet_UploadDataProvider_CreateWith(nullptr, nullptr, nullptr, nullptr);
  Cronet_UploadDataProvider_SetClientContext(p, &ctx);
  EXPECT_EQ(Cronet_UploadDataProvider_GetClientContext(p), &ctx);
  Cronet_UploadDataProvider_Destroy(p);
  // Getters are null-safe.
  EXPECT_EQ(Cronet_UrlResponseInfo_http_status_code_get(nullptr), 0);
  EXPECT_EQ(Cronet_UrlResponseInfo_all_headers_list_size(nullptr), 0u);
  EXPECT_EQ(Cronet_UrlResponseInfo_all_headers_list_at(nullptr, 0), nullptr);
  EXPECT_STREQ(Cronet_Error_message_get(nullptr), "");
}

TEST_F(Api, LiveObjectCounts) {
  EXPECT_STREQ(CronetTest_ObjectKindName(CronetTest_URL_REQUEST), "UrlRequest");
  EXPECT_STREQ(CronetTest_ObjectKindName(CronetTest_HTTP_HEADER), "HttpHeader");
  EXPECT_STREQ(CronetTest_ObjectKindName(99), "?");
  EXPECT_EQ(CronetTest_LiveObjects(-1), -1);
  int64_t before[CronetTest_OBJECT_KIND_COUNT];
  for (int k = 0; k < CronetTest_OBJECT_KIND_COUNT; ++k) before[k] = CronetTest_LiveObjects(k);
  Cronet_EnginePtr e = Cronet_Engine_Create();
  Cronet_EngineParamsPtr ep = Cronet_EngineParams_Create();
  Cronet_ExecutorPtr ex = Cronet_Executor_CreateWith(nullptr);
  Cronet_RunnablePtr r = Cronet_Runnable_CreateWith(nullptr);
  Cronet_UrlRequestPtr rq = Cronet_UrlRequest_Create();
  Cronet_UrlRequestParamsPtr rp = Cronet_UrlRequestParams_Create();
  Cronet_UrlRequestCallbackPtr cb =
      Cronet_UrlRequestCallback_CreateWith(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  Cronet_HttpHeaderPtr h = Cronet_HttpHeader_Create();
  Cronet_BufferPtr b = Cronet_Buffer_Create();
  Cronet_UploadDataProviderPtr p =
      Cronet_UploadDataProvider_CreateWith(nullptr, nullptr, nullptr, nullptr);
  for (int k :
       {CronetTest_ENGINE, CronetTest_ENGINE_PARAMS, CronetTest_EXECUTOR, CronetTest_RUNNABLE,
        CronetTest_URL_REQUEST, CronetTest_URL_REQUEST_PARAMS, CronetTest_URL_REQUEST_CALLBACK,
        CronetTest_HTTP_HEADER, CronetTest_BUFFER, CronetTest_UPLOAD_DATA_PROVIDER})
    EXPECT_EQ(CronetTest_LiveObjects(k), before[k] + 1) << CronetTest_ObjectKindName(k);
  Cronet_Engine_Destroy(e);
  Cronet_EngineParams_Destroy(ep);
  Cronet_Executor_Destroy(ex);
  Cronet_Runnable_Destroy(r);
  Cronet_UrlRequest_Destroy(rq);
  Cronet_UrlRequestParams_Destroy(rp);
  Cronet_UrlRequestCallback_Destroy(cb);
  Cronet_HttpHeader_Destroy(h);
  Cronet_Buffer_Destroy(b);
  Cronet_UploadDataProvider_Destroy(p);
  for (int k = 0; k < CronetTest_OBJECT_KIND_COUNT; ++k)
    EXPECT_EQ(CronetTest_LiveObjects(k), before[k]);
}

TEST_F(Api, JournalFormat) {
  CronetTest_JournalEnable(true);
  Cronet_EngineParamsPtr p = Cronet_EngineParams_Create();
  Cronet_EngineParams_enable_quic_set(p, true);
  Cronet_EngineParams_enable_http2_set(p, false);
  Cronet_EngineParams_proxy_rules_set(p, "");
  Cronet_EngineParams_proxy_rules_set(p, "a\"b\\c\n\x01\xc3\xa9");
  Cronet_EngineParams_proxy_rules_set(p, nullptr);
  Cronet_EngineParams_Destroy(p);
  Cronet_UrlRequestParamsPtr rp = Cronet_UrlRequestParams_Create();
  Cronet_UrlRequestParams_http_method_set(rp, "GET");
  Cronet_UrlRequestParams_priority_set(
      rp, Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_HIGHEST);
  Cronet_UrlRequestParams_Destroy(rp);
  Cronet_BufferPtr b = Cronet_Buffer_Create();
  Cronet_Buffer_InitWithAlloc(b, 32768);
  EXPECT_EQ(Cronet_Buffer_GetSize(b), 32768u);  // getters are not journaled
  Cronet_Buffer_Destroy(b);
  CronetTest_JournalEnable(false);
  Cronet_Buffer_Destroy(Cronet_Buffer_Create());  // not recorded
  EXPECT_EQ(journal(),
            "Cronet_EngineParams_Create()\n"
            "Cronet_EngineParams_enable_quic_set(true)\n"
            "Cronet_EngineParams_enable_http2_set(false)\n"
            "Cronet_EngineParams_proxy_rules_set(\"\")\n"
            "Cronet_EngineParams_proxy_rules_set(\"a\\\"b\\\\c\\n\\001\\303\\251\")\n"
            "Cronet_EngineParams_proxy_rules_set(NULL)\n"
            "Cronet_EngineParams_Destroy()\n"
            "Cronet_UrlRequestParams_Create()\n"
            "Cronet_UrlRequestParams_http_method_set(\"GET\")\n"
            "Cronet_UrlRequestParams_priority_set(4)\n"
            "Cronet_UrlRequestParams_Destroy()\n"
            "Cronet_Buffer_Create()\n"
            "Cronet_Buffer_InitWithAlloc(32768)\n"
            "Cronet_Buffer_Destroy()");
  // Truncated reads keep the NUL and report the full size.
  char small[10];
  size_t need = CronetTest_JournalRead(small, sizeof small);
  EXPECT_EQ(need, journal().size());
  EXPECT_STREQ(small, "Cronet_En");
  CronetTest_JournalClear();
  EXPECT_EQ(CronetTest_JournalRead(small, sizeof small), 0u);
  EXPECT_STREQ(small, "");
}

TEST_F(Api, EngineStartResults) {
  Cronet_EnginePtr e = Cronet_Engine_Create();
  Cronet_EngineParamsPtr p = Cronet_EngineParams_Create();
  EXPECT_EQ(Cronet_Engine_StartWithParams(nullptr, p), Cronet_RESULT_NULL_POINTER_ENGINE);
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, nullptr), Cronet_RESULT_NULL_POINTER_PARAMS);
  EXPECT_EQ(Cronet_Engine_Shutdown(e), Cronet_RESULT_SUCCESS);  // not started: nothing to do
  // Unparseable proxy rules: ILLEGAL_ARGUMENT, the engine stays unstarted...
  Cronet_EngineParams_proxy_rules_set(p, "ftp://nope:1");
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), Cronet_RESULT_ILLEGAL_ARGUMENT);
  // ...and can be started again with good rules.
  Cronet_EngineParams_proxy_rules_set(p, "http=127.0.0.1:3128;https=direct://");
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p),
            Cronet_RESULT_ILLEGAL_STATE_ENGINE_ALREADY_STARTED);
  EXPECT_EQ(Cronet_Engine_Shutdown(e), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(Cronet_Engine_Shutdown(e), Cronet_RESULT_SUCCESS);
  // Once started, never again, also after shutdown.
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p),
            Cronet_RESULT_ILLEGAL_STATE_ENGINE_ALREADY_STARTED);
  Cronet_Engine_Destroy(e);
  Cronet_EngineParams_Destroy(p);
}

TEST_F(Api, FailNextEngineStarts) {
  CronetTest_FailNextEngineStarts(2, -200);
  Cronet_EngineParamsPtr p = Cronet_EngineParams_Create();
  Cronet_EnginePtr e = Cronet_Engine_Create();
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), -200);
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), -200);
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), Cronet_RESULT_SUCCESS);
  Cronet_Engine_Destroy(e);  // destroy without shutdown shuts down
  CronetTest_FailNextEngineStarts(1, -203);
  CronetTest_FailNextEngineStarts(0, 0);  // cancelled
  e = Cronet_Engine_Create();
  EXPECT_EQ(Cronet_Engine_StartWithParams(e, p), Cronet_RESULT_SUCCESS);
  Cronet_Engine_Destroy(e);
  Cronet_EngineParams_Destroy(p);
}

TEST_F(Api, RequestInitResults) {
  Cronet_EnginePtr engine = start_engine();
  TestExecutor ex;
  Cronet_UrlRequestCallbackPtr cb =
      Cronet_UrlRequestCallback_CreateWith(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  Cronet_UrlRequestParamsPtr p = Cronet_UrlRequestParams_Create();
  auto init = [&](Cronet_UrlRequestPtr r, const char* url, Cronet_UrlRequestParamsPtr params,
                  Cronet_UrlRequestCallbackPtr c, Cronet_ExecutorPtr e) {
    return Cronet_UrlRequest_InitWithParams(r, engine, url, params, c, e);
  };
  Cronet_UrlRequestPtr r = Cronet_UrlRequest_Create();
  EXPECT_EQ(init(r, nullptr, p, cb, ex.get()), Cronet_RESULT_NULL_POINTER_URL);
  EXPECT_EQ(init(r, "", p, cb, ex.get()), Cronet_RESULT_NULL_POINTER_URL);
  EXPECT_EQ(init(r, "http://x/", nullptr, cb, ex.get()), Cronet_RESULT_NULL_POINTER_PARAMS);
  EXPECT_EQ(init(r, "http://x/", p, nullptr, ex.get()), Cronet_RESULT_NULL_POINTER_CALLBACK);
  EXPECT_EQ(init(r, "http://x/", p, cb, nullptr), Cronet_RESULT_NULL_POINTER_EXECUTOR);
  EXPECT_EQ(Cronet_UrlRequest_InitWithParams(r, nullptr, "http://x/", p, cb, ex.get()),
            Cronet_RESULT_NULL_POINTER_ENGINE);
  Cronet_UrlRequestParams_http_method_set(p, "GE T");
  EXPECT_EQ(init(r, "http://x/", p, cb, ex.get()),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD);
  Cronet_UrlRequestParams_http_method_set(p, "");
  auto with_header = [&](const char* name, const char* value) {
    Cronet_UrlRequestParamsPtr hp = Cronet_UrlRequestParams_Create();
    Cronet_HttpHeaderPtr h = Cronet_HttpHeader_Create();
    Cronet_HttpHeader_name_set(h, name);
    Cronet_HttpHeader_value_set(h, value);
    Cronet_UrlRequestParams_request_headers_add(hp, h);
    Cronet_HttpHeader_Destroy(h);
    Cronet_RESULT rc = init(r, "http://x/", hp, cb, ex.get());
    Cronet_UrlRequestParams_Destroy(hp);
    return rc;
  };
  EXPECT_EQ(with_header("", "v"), Cronet_RESULT_NULL_POINTER_HEADER_NAME);
  EXPECT_EQ(with_header(nullptr, "v"), Cronet_RESULT_NULL_POINTER_HEADER_NAME);
  EXPECT_EQ(with_header("X-A", ""), Cronet_RESULT_NULL_POINTER_HEADER_VALUE);
  EXPECT_EQ(with_header("X-A", nullptr), Cronet_RESULT_NULL_POINTER_HEADER_VALUE);
  EXPECT_EQ(with_header("X A", "v"), Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  EXPECT_EQ(with_header("X-A", "a\r\nInjected: 1"),
            Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER);
  // Nothing was initialized by the refused calls.
  EXPECT_EQ(Cronet_UrlRequest_Start(r), Cronet_RESULT_ILLEGAL_STATE_REQUEST_NOT_INITIALIZED);
  EXPECT_EQ(Cronet_UrlRequest_Read(r, nullptr), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
  EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(r), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT);
  Cronet_UrlRequest_Cancel(r);  // never started: nothing
  EXPECT_FALSE(Cronet_UrlRequest_IsDone(r));
  EXPECT_EQ(with_header("X-A", "ok"), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(init(r, "http://x/", p, cb, ex.get()),
            Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_INITIALIZED);
  Cronet_UrlRequest_Destroy(r);  // initialized, never started
  // An engine that is not running refuses requests.
  Cronet_EnginePtr idle = Cronet_Engine_Create();
  r = Cronet_UrlRequest_Create();
  EXPECT_EQ(Cronet_UrlRequest_InitWithParams(r, idle, "http://x/", p, cb, ex.get()),
            Cronet_RESULT_ILLEGAL_STATE);
  Cronet_UrlRequest_Destroy(r);
  Cronet_Engine_Destroy(idle);
  Cronet_UrlRequestParams_Destroy(p);
  Cronet_UrlRequestCallback_Destroy(cb);
  stop_engine(engine);
}

TEST_F(Api, ConnectionRefusedAndStateResults) {
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
    ASSERT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS);
    EXPECT_EQ(t.start(), Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_STARTED);
    EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(t.request()),
              Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT);
    EXPECT_EQ(t.read_now(), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(t.error_message, "net::ERR_CONNECTION_REFUSED");
    EXPECT_EQ(t.error_code, Cronet_Error_ERROR_CODE_ERROR_CONNECTION_REFUSED);
    EXPECT_EQ(t.internal_error_code, -102);
    EXPECT_TRUE(t.info_null_at_terminal);
    EXPECT_TRUE(Cronet_UrlRequest_IsDone(t.request()));
    Cronet_UrlRequest_Cancel(t.request());  // done: nothing
    EXPECT_EQ(t.read_now(), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.terminal_count, 1);
    EXPECT_EQ(t.events, std::vector<std::string>{"failed"});
  }
  stop_engine(engine);
}

TEST_F(Api, InvalidUrlAndUnknownScheme) {
  Cronet_EnginePtr engine = start_engine();
  struct {
    const char* url;
    const char* error;
  } cases[] = {
      {"not a url", "net::ERR_INVALID_URL"},
      {"http://", "net::ERR_INVALID_URL"},
      {"http://host:99999/", "net::ERR_INVALID_URL"},
      {"ftp://example.com/x", "net::ERR_UNKNOWN_URL_SCHEME"},
      {"file:///etc/passwd", "net::ERR_UNKNOWN_URL_SCHEME"},
      {"mailto:someone", "net::ERR_UNKNOWN_URL_SCHEME"},
      {"gopher://127.0.0.1/", "net::ERR_UNKNOWN_URL_SCHEME"},
  };
  for (auto& c : cases) {
    TestRequest t(engine);
    ASSERT_EQ(t.init_and_start(c.url), Cronet_RESULT_SUCCESS) << c.url;
    ASSERT_TRUE(t.wait()) << c.url;
    EXPECT_EQ(t.error_message, c.error) << c.url;
    EXPECT_EQ(t.events, std::vector<std::string>{"failed"});
  }
  stop_engine(engine);
}

TEST_F(Api, NameNotResolved) {
  Cronet_EnginePtr engine = start_engine();
  TestRequest t(engine);
  ASSERT_EQ(t.init_and_start("http://no-such-host.invalid/"), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t.wait(30000));
  EXPECT_EQ(t.error_message, "net::ERR_NAME_NOT_RESOLVED");
  EXPECT_EQ(t.error_code, Cronet_Error_ERROR_CODE_ERROR_HOSTNAME_NOT_RESOLVED);
  stop_engine(engine);
}

// A direct executor runs callbacks on the network thread: Shutdown from there
// is refused.
std::atomic<int> g_shutdown_rc{1};
Cronet_EnginePtr g_engine_for_cb = nullptr;
void failed_shuts_down(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                       Cronet_UrlResponseInfoPtr, Cronet_ErrorPtr) {
  g_shutdown_rc = Cronet_Engine_Shutdown(g_engine_for_cb);
}

TEST_F(Api, ShutdownFromNetworkThread) {
  Cronet_EnginePtr engine = start_engine();
  g_engine_for_cb = engine;
  g_shutdown_rc = 1;
  Cronet_ExecutorPtr direct = make_direct_executor();
  Cronet_UrlRequestCallbackPtr cb = Cronet_UrlRequestCallback_CreateWith(
      nullptr, nullptr, nullptr, nullptr, &failed_shuts_down, nullptr);
  Cronet_UrlRequestPtr r = Cronet_UrlRequest_Create();
  Cronet_UrlRequestParamsPtr p = Cronet_UrlRequestParams_Create();
  std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
  ASSERT_EQ(Cronet_UrlRequest_InitWithParams(r, engine, url.c_str(), p, cb, direct),
            Cronet_RESULT_SUCCESS);
  ASSERT_EQ(Cronet_UrlRequest_Start(r), Cronet_RESULT_SUCCESS);
  for (int i = 0; i < 500 && g_shutdown_rc == 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_shutdown_rc, Cronet_RESULT_ILLEGAL_STATE_CANNOT_SHUTDOWN_ENGINE_FROM_NETWORK_THREAD);
  Cronet_UrlRequestParams_Destroy(p);
  Cronet_UrlRequest_Destroy(r);
  Cronet_UrlRequestCallback_Destroy(cb);
  Cronet_Executor_Destroy(direct);
  stop_engine(engine);
}

TEST_F(Api, RequestOutlivesEngine) {
  Cronet_EnginePtr engine = start_engine();
  auto t = std::make_unique<TestRequest>(engine);
  std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
  ASSERT_EQ(t->init_and_start(url), Cronet_RESULT_SUCCESS);
  ASSERT_TRUE(t->wait());
  stop_engine(engine);
  // Calls on a request whose engine is gone are safe.
  Cronet_UrlRequest_Cancel(t->request());
  EXPECT_TRUE(Cronet_UrlRequest_IsDone(t->request()));
  EXPECT_EQ(t->read_now(), Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ);
  t.reset();
}

TEST_F(Api, StartAfterShutdown) {
  Cronet_EnginePtr engine = start_engine();
  TestRequest t(engine);
  ASSERT_EQ(t.init("http://127.0.0.1:1/"), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(Cronet_Engine_Shutdown(engine), Cronet_RESULT_SUCCESS);
  EXPECT_EQ(t.start(), Cronet_RESULT_ILLEGAL_STATE);
  Cronet_Engine_Destroy(engine);
}

TEST_F(Api, WithheldTerminal) {
  CronetTest_SetWithholdTerminal(true);
  Cronet_EnginePtr engine = start_engine();
  {
    TestRequest t(engine);
    t.wait_on_destroy = false;
    std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
    ASSERT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS);
    for (int i = 0; i < 500 && !Cronet_UrlRequest_IsDone(t.request()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Cronet_UrlRequest_IsDone(t.request()));
    EXPECT_FALSE(t.wait(300));
    EXPECT_EQ(t.terminal_count, 0);
  }
  stop_engine(engine);
}

TEST_F(Api, CallbackDelayAndManyThreads) {
  Cronet_EnginePtr engine = start_engine();
  CronetTest_SetCallbackDelayMs(200);
  {
    TestRequest t(engine);
    std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
    auto t0 = Clock::now();
    ASSERT_EQ(t.init_and_start(url), Cronet_RESULT_SUCCESS);
    ASSERT_TRUE(t.wait());
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
    EXPECT_EQ(t.error_message, "net::ERR_CONNECTION_REFUSED");
  }
  CronetTest_SetCallbackDelayMs(0);
  CronetTest_SetPostFromManyThreads(true);
  {
    TestExecutor shared;
    std::vector<std::unique_ptr<TestRequest>> reqs;
    for (int i = 0; i < 16; ++i) {
      reqs.push_back(std::make_unique<TestRequest>(engine, shared.get()));
      std::string url = "http://127.0.0.1:" + std::to_string(dead_port()) + "/";
      ASSERT_EQ(reqs.back()->init_and_start(url), Cronet_RESULT_SUCCESS);
    }
    for (auto& r : reqs) ASSERT_TRUE(r->wait());
    EXPECT_GT(shared.distinct_poster_threads(), 1u);
    reqs.clear();
  }
  stop_engine(engine);
}

// Every function of include/cronet_c.h and every CronetTest_ function is
// exported, and nothing else.
TEST(Exports, ExactlyTheApi) {
  std::ifstream hdr(CRONET_TEST_API_HEADER);
  ASSERT_TRUE(hdr.good());
  std::stringstream ss;
  ss << hdr.rdbuf();
  std::string text = ss.str();
  std::ifstream hdr2(CRONET_TEST_TESTCTL_HEADER);
  ss.str("");
  ss << hdr2.rdbuf();
  text += ss.str();
  std::regex fn(R"(CRONET_EXPORT[^;(]*?\b((?:Cronet|CronetTest)_\w+)\s*\()");
  std::set<std::string> declared;
  for (std::sregex_iterator it(text.begin(), text.end(), fn), end; it != end; ++it)
    declared.insert((*it)[1]);
  EXPECT_GT(declared.size(), 70u);
  void* lib = dlopen(CRONET_TEST_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) lib = dlopen(CRONET_TEST_LIBRARY, RTLD_NOW);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const auto& name : declared) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
  // The dynamic symbol table holds nothing else.
  std::string cmd = std::string("nm -D --defined-only '") + CRONET_TEST_LIBRARY + "'";
  FILE* f = popen(cmd.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[1024];
  std::set<std::string> exported;
  while (fgets(line, sizeof line, f)) {
    std::istringstream ls(line);
    std::string a, b, c;
    ls >> a >> b >> c;
    if (c.empty()) c = b;
    exported.insert(c);
  }
  pclose(f);
  if (!exported.empty()) {  // nm present
    for (const auto& name : exported)
      EXPECT_TRUE(declared.count(name)) << "unexpected export " << name;
    EXPECT_EQ(exported.size(), declared.size());
  }
}

}  // namespace
