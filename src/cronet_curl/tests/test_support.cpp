#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace ctest {

// ---- TestExecutor ------------------------------------------------------------

TestExecutor::TestExecutor() {
  executor_ = Cronet_Executor_CreateWith(&TestExecutor::execute);
  Cronet_Executor_SetClientContext(executor_, this);
  thread_ = std::thread([this] { loop(); });
}

TestExecutor::~TestExecutor() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  Cronet_Executor_Destroy(executor_);
}

void TestExecutor::execute(Cronet_ExecutorPtr self, Cronet_RunnablePtr r) {
  auto* ex = static_cast<TestExecutor*>(Cronet_Executor_GetClientContext(self));
  {
    std::lock_guard<std::mutex> l(ex->mu_);
    auto id = std::this_thread::get_id();
    if (std::find(ex->posters_.begin(), ex->posters_.end(), id) == ex->posters_.end())
      ex->posters_.push_back(id);
    ex->queue_.push_back(r);
  }
  ex->cv_.notify_all();
}

size_t TestExecutor::distinct_poster_threads() {
  std::lock_guard<std::mutex> l(mu_);
  return posters_.size();
}

void TestExecutor::loop() {
  std::unique_lock<std::mutex> l(mu_);
  while (true) {
    cv_.wait(l, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Cronet_RunnablePtr r = queue_.front();
    queue_.pop_front();
    l.unlock();
    Cronet_Runnable_Run(r);
    Cronet_Runnable_Destroy(r);
    ran_++;
    l.lock();
  }
}

static void direct_execute(Cronet_ExecutorPtr, Cronet_RunnablePtr r) {
  Cronet_Runnable_Run(r);
  Cronet_Runnable_Destroy(r);
}

Cronet_ExecutorPtr make_direct_executor() { return Cronet_Executor_CreateWith(&direct_execute); }

// ---- engine --------------------------------------------------------------------

Cronet_EnginePtr start_engine(const EngineOptions& o) {
  Cronet_EnginePtr e = Cronet_Engine_Create();
  Cronet_EngineParamsPtr p = Cronet_EngineParams_Create();
  Cronet_EngineParams_enable_http2_set(p, o.http2);
  Cronet_EngineParams_enable_quic_set(p, o.quic);
  Cronet_EngineParams_enable_brotli_set(p, o.brotli);
  if (o.skip_cert_verify) Cronet_EngineParams_skip_cert_verify_set(p, true);
  if (o.proxy_rules) Cronet_EngineParams_proxy_rules_set(p, o.proxy_rules);
  Cronet_RESULT rc = Cronet_Engine_StartWithParams(e, p);
  Cronet_EngineParams_Destroy(p);
  EXPECT_EQ(rc, Cronet_RESULT_SUCCESS);
  if (rc != Cronet_RESULT_SUCCESS) {
    Cronet_Engine_Destroy(e);
    return nullptr;
  }
  return e;
}

void stop_engine(Cronet_EnginePtr e) {
  if (!e) return;
  EXPECT_EQ(Cronet_Engine_Shutdown(e), Cronet_RESULT_SUCCESS);
  Cronet_Engine_Destroy(e);
}

// ---- TestUpload ------------------------------------------------------------------

TestUpload::TestUpload(std::string body, bool chunked) : body_(std::move(body)), chunked_(chunked) {
  provider_ = Cronet_UploadDataProvider_CreateWith(&get_length, &read, &rewind, &close);
  Cronet_UploadDataProvider_SetClientContext(provider_, this);
}

TestUpload::~TestUpload() { Cronet_UploadDataProvider_Destroy(provider_); }

static TestUpload* upload_of(Cronet_UploadDataProviderPtr p) {
  return static_cast<TestUpload*>(Cronet_UploadDataProvider_GetClientContext(p));
}

int64_t TestUpload::get_length(Cronet_UploadDataProviderPtr p) {
  TestUpload* u = upload_of(p);
  u->length_calls++;
  return u->chunked_ ? -1 : static_cast<int64_t>(u->body_.size());
}

void TestUpload::read(Cronet_UploadDataProviderPtr p, Cronet_UploadDataSinkPtr sink,
                      Cronet_BufferPtr buffer) {
  TestUpload* u = upload_of(p);
  u->reads++;
  {
    std::lock_guard<std::mutex> l(u->mu);
    u->call_threads.push_back(std::this_thread::get_id());
    u->buffer_sizes.push_back(Cronet_Buffer_GetSize(buffer));
  }
  if (!u->fail_read_message.empty()) {
    Cronet_UploadDataSink_OnReadError(sink, u->fail_read_message.c_str());
    return;
  }
  size_t n = std::min<size_t>(Cronet_Buffer_GetSize(buffer), u->body_.size() - u->pos_);
  if (u->max_read) n = std::min(n, u->max_read);
  std::memcpy(Cronet_Buffer_GetData(buffer), u->body_.data() + u->pos_, n);
  u->pos_ += n;
  bool fin = u->chunked_ && u->pos_ == u->body_.size();
  if (u->read_on_other_thread) {
    std::thread([sink, n, fin] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      Cronet_UploadDataSink_OnReadSucceeded(sink, n, fin);
    }).detach();
    return;
  }
  Cronet_UploadDataSink_OnReadSucceeded(sink, n, fin);
}

void TestUpload::rewind(Cronet_UploadDataProviderPtr p, Cronet_UploadDataSinkPtr sink) {
  TestUpload* u = upload_of(p);
  u->rewinds++;
  u->pos_ = 0;
  Cronet_UploadDataSink_OnRewindSucceeded(sink);
}

void TestUpload::close(Cronet_UploadDataProviderPtr p) { upload_of(p)->closes++; }

// ---- TestRequest -------------------------------------------------------------------

TestRequest::TestRequest(Cronet_EnginePtr engine, Cronet_ExecutorPtr executor)
    : engine_(engine), executor_(executor) {
  if (!executor_) {
    own_executor_ = std::make_unique<TestExecutor>();
    executor_ = own_executor_->get();
  }
  request_ = Cronet_UrlRequest_Create();
  callback_ =
      Cronet_UrlRequestCallback_CreateWith(&on_redirect_received, &on_started, &on_read_completed,
                                           &on_succeeded, &on_failed, &on_canceled);
  Cronet_UrlRequestCallback_SetClientContext(callback_, this);
}

TestRequest::~TestRequest() {
  if (started_ && wait_on_destroy) wait(30000);
  Cronet_UrlRequest_Destroy(request_);
  own_executor_.reset();  // runs what is still queued (no-ops after Destroy)
  Cronet_UrlRequestCallback_Destroy(callback_);
}

Cronet_RESULT TestRequest::init(const std::string& url) {
  Cronet_UrlRequestParamsPtr p = Cronet_UrlRequestParams_Create();
  if (!method.empty()) Cronet_UrlRequestParams_http_method_set(p, method.c_str());
  for (auto& h : headers) {
    Cronet_HttpHeaderPtr hh = Cronet_HttpHeader_Create();
    Cronet_HttpHeader_name_set(hh, h.name.c_str());
    Cronet_HttpHeader_value_set(hh, h.value.c_str());
    Cronet_UrlRequestParams_request_headers_add(p, hh);
    Cronet_HttpHeader_Destroy(hh);
  }
  if (upload) {
    Cronet_UrlRequestParams_upload_data_provider_set(p, upload->provider());
    if (upload_executor)
      Cronet_UrlRequestParams_upload_data_provider_executor_set(p, upload_executor);
  }
  Cronet_RESULT rc =
      Cronet_UrlRequest_InitWithParams(request_, engine_, url.c_str(), p, callback_, executor_);
  Cronet_UrlRequestParams_Destroy(p);
  return rc;
}

Cronet_RESULT TestRequest::start() {
  Cronet_RESULT rc = Cronet_UrlRequest_Start(request_);
  if (rc == Cronet_RESULT_SUCCESS) started_ = true;
  return rc;
}

Cronet_RESULT TestRequest::init_and_start(const std::string& url) {
  Cronet_RESULT rc = init(url);
  if (rc != Cronet_RESULT_SUCCESS) return rc;
  return start();
}

bool TestRequest::wait(int timeout_ms) {
  return wait_for([this] { return done.load(); }, timeout_ms);
}

bool TestRequest::wait_for(std::function<bool()> pred, int timeout_ms) {
  std::unique_lock<std::mutex> l(wait_mu_);
  return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), pred);
}

void TestRequest::wake() {
  { std::lock_guard<std::mutex> l(wait_mu_); }
  cv_.notify_all();
}

Cronet_RESULT TestRequest::read_now() {
  Cronet_BufferPtr b = Cronet_Buffer_Create();
  Cronet_Buffer_InitWithAlloc(b, read_size);
  Cronet_RESULT rc = Cronet_UrlRequest_Read(request_, b);
  if (rc != Cronet_RESULT_SUCCESS) Cronet_Buffer_Destroy(b);
  return rc;
}

std::string TestRequest::header_value(const std::string& name) const {
  for (auto& h : response_headers) {
    if (strcasecmp(h.name.c_str(), name.c_str()) == 0) return h.value;
  }
  return std::string();
}

int TestRequest::count_events(const std::string& name) {
  std::lock_guard<std::mutex> l(mu);
  return static_cast<int>(std::count(events.begin(), events.end(), name));
}

TestRequest* TestRequest::self(Cronet_UrlRequestCallbackPtr cb) {
  return static_cast<TestRequest*>(Cronet_UrlRequestCallback_GetClientContext(cb));
}

void TestRequest::record(const std::string& ev) {
  if (terminal_count.load() > 0) callbacks_after_terminal++;
  std::lock_guard<std::mutex> l(mu);
  events.push_back(ev);
  callback_threads.push_back(std::this_thread::get_id());
}

void TestRequest::terminal(const std::string& ev) {
  record(ev);
  terminal_count++;
  {
    std::lock_guard<std::mutex> l(mu);
    done = true;
  }
  wake();
}

void TestRequest::on_redirect_received(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr req,
                                       Cronet_UrlResponseInfoPtr info, Cronet_String url) {
  TestRequest* t = self(cb);
  t->record("redirect");
  {
    std::lock_guard<std::mutex> l(t->mu);
    t->redirect_urls.push_back(url);
    t->redirect_statuses.push_back(Cronet_UrlResponseInfo_http_status_code_get(info));
  }
  if (t->on_redirect) t->on_redirect(*t);
  if (t->follow_redirects) {
    EXPECT_EQ(Cronet_UrlRequest_FollowRedirect(req), Cronet_RESULT_SUCCESS);
  }
  t->wake();
}

void TestRequest::on_started(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr,
                             Cronet_UrlResponseInfoPtr info) {
  TestRequest* t = self(cb);
  t->record("started");
  {
    std::lock_guard<std::mutex> l(t->mu);
    t->status = Cronet_UrlResponseInfo_http_status_code_get(info);
    uint32_t n = Cronet_UrlResponseInfo_all_headers_list_size(info);
    for (uint32_t i = 0; i < n; ++i) {
      Cronet_HttpHeaderPtr h = Cronet_UrlResponseInfo_all_headers_list_at(info, i);
      t->response_headers.push_back(
          {Cronet_HttpHeader_name_get(h), Cronet_HttpHeader_value_get(h)});
    }
  }
  if (t->on_response_started) t->on_response_started(*t);
  if (t->auto_read) {
    if (t->read_delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(t->read_delay_ms));
    EXPECT_EQ(t->read_now(), Cronet_RESULT_SUCCESS);
  }
  t->wake();
}

void TestRequest::on_read_completed(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr,
                                    Cronet_UrlResponseInfoPtr, Cronet_BufferPtr buffer,
                                    uint64_t n) {
  TestRequest* t = self(cb);
  t->record("read");
  {
    std::lock_guard<std::mutex> l(t->mu);
    t->body.append(static_cast<const char*>(Cronet_Buffer_GetData(buffer)), n);
  }
  Cronet_Buffer_Destroy(buffer);
  if (t->on_read) t->on_read(*t);
  if (t->auto_read) {
    if (t->read_delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(t->read_delay_ms));
    t->read_now();  // may be refused after a cancel
  }
  t->wake();
}

void TestRequest::on_succeeded(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr,
                               Cronet_UrlResponseInfoPtr info) {
  TestRequest* t = self(cb);
  t->info_null_at_terminal = info == nullptr;
  t->terminal("succeeded");
}

void TestRequest::on_failed(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr,
                            Cronet_UrlResponseInfoPtr info, Cronet_ErrorPtr error) {
  TestRequest* t = self(cb);
  {
    std::lock_guard<std::mutex> l(t->mu);
    t->error_message = Cronet_Error_message_get(error);
    t->error_code = Cronet_Error_error_code_get(error);
    t->internal_error_code = Cronet_Error_internal_error_code_get(error);
    t->info_null_at_terminal = info == nullptr;
  }
  t->terminal("failed");
}

void TestRequest::on_canceled(Cronet_UrlRequestCallbackPtr cb, Cronet_UrlRequestPtr,
                              Cronet_UrlResponseInfoPtr info) {
  TestRequest* t = self(cb);
  t->info_null_at_terminal = info == nullptr;
  t->terminal("canceled");
}

// ---- servers --------------------------------------------------------------------------

int dead_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(s);  // bound, never listened: connections are refused
  return port;
}

bool matches_pattern(const std::string& body, int seed) {
  for (size_t i = 0; i < body.size(); ++i)
    if (static_cast<unsigned char>(body[i]) != pattern_byte(i, seed)) return false;
  return true;
}

std::map<int, int64_t> live_objects() {
  std::map<int, int64_t> m;
  for (int k = 0; k < CronetTest_OBJECT_KIND_COUNT; ++k) m[k] = CronetTest_LiveObjects(k);
  return m;
}

std::string describe_live() {
  std::ostringstream o;
  for (int k = 0; k < CronetTest_OBJECT_KIND_COUNT; ++k)
    o << CronetTest_ObjectKindName(k) << "=" << CronetTest_LiveObjects(k) << " ";
  return o.str();
}

bool wait_live_objects(const std::map<int, int64_t>& baseline, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (live_objects() == baseline) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace ctest
