// Helpers for the cronet_curl tests: a minimal executor (a thread and a queue),
// a request driver that records every callback, and access to the local test
// servers (tests/support/test_servers.h).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cronet_c.h"
#include "cronet_curl_testctl.h"
#include "test_servers.h"

namespace ctest {

using Clock = std::chrono::steady_clock;

// ---- executor ---------------------------------------------------------------
// Runs every runnable exactly once on its own thread, then destroys it.
class TestExecutor {
 public:
  TestExecutor();
  ~TestExecutor();  // runs what is queued, then stops
  Cronet_ExecutorPtr get() const { return executor_; }
  std::thread::id thread_id() const { return thread_.get_id(); }
  // Number of runnables run so far.
  int64_t ran() const { return ran_.load(); }
  // Execute calls seen from distinct threads.
  size_t distinct_poster_threads();

 private:
  static void execute(Cronet_ExecutorPtr self, Cronet_RunnablePtr r);
  void loop();
  Cronet_ExecutorPtr executor_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Cronet_RunnablePtr> queue_;
  std::vector<std::thread::id> posters_;
  bool stop_ = false;
  std::atomic<int64_t> ran_{0};
  std::thread thread_;
};

// An executor that runs each runnable at once on the calling thread.
Cronet_ExecutorPtr make_direct_executor();

// ---- engine -------------------------------------------------------------------
struct EngineOptions {
  bool http2 = true;
  bool quic = false;
  bool brotli = true;
  bool skip_cert_verify = false;
  const char* proxy_rules = nullptr;  // not set when null
};
// A started engine (asserts success), or null.
Cronet_EnginePtr start_engine(const EngineOptions& o = EngineOptions());
void stop_engine(Cronet_EnginePtr e);  // Shutdown + Destroy

// ---- upload provider ------------------------------------------------------------
class TestUpload {
 public:
  explicit TestUpload(std::string body, bool chunked = false);
  ~TestUpload();
  Cronet_UploadDataProviderPtr provider() const { return provider_; }
  std::atomic<int> reads{0}, rewinds{0}, closes{0}, length_calls{0};
  std::string fail_read_message;                  // when set, Read reports this error
  std::atomic<bool> read_on_other_thread{false};  // answer asynchronously
  size_t max_read = 0;                            // when set, reads give at most this much
  std::vector<std::thread::id> call_threads;      // guarded by mu
  std::vector<uint64_t> buffer_sizes;             // each Read's buffer; guarded by mu
  std::mutex mu;

 private:
  static int64_t get_length(Cronet_UploadDataProviderPtr p);
  static void read(Cronet_UploadDataProviderPtr p, Cronet_UploadDataSinkPtr sink,
                   Cronet_BufferPtr buffer);
  static void rewind(Cronet_UploadDataProviderPtr p, Cronet_UploadDataSinkPtr sink);
  static void close(Cronet_UploadDataProviderPtr p);
  std::string body_;
  bool chunked_;
  size_t pos_ = 0;
  Cronet_UploadDataProviderPtr provider_;
};

// ---- request driver ---------------------------------------------------------------
struct Header {
  std::string name, value;
};

class TestRequest {
 public:
  explicit TestRequest(Cronet_EnginePtr engine, Cronet_ExecutorPtr executor = nullptr);
  ~TestRequest();  // destroys the request (after the terminal callback when started)

  // Settings before Start.
  std::string method;
  std::vector<Header> headers;
  TestUpload* upload = nullptr;
  Cronet_ExecutorPtr upload_executor = nullptr;
  bool follow_redirects = true;
  // Read by the executor thread; tests may change them while callbacks run.
  std::atomic<uint64_t> read_size{32768};
  std::atomic<int> read_delay_ms{0};  // sleep before each read (on the executor thread)
  std::atomic<bool> auto_read{true};  // start reading on OnResponseStarted
  bool wait_on_destroy = true;        // the destructor waits for the terminal callback
  // Hooks (run on the executor thread, before the default action).
  std::function<void(TestRequest&)> on_redirect, on_response_started, on_read;

  Cronet_RESULT init(const std::string& url);
  Cronet_RESULT start();
  Cronet_RESULT init_and_start(const std::string& url);
  // Waits for the terminal callback; false on timeout.
  bool wait(int timeout_ms = 20000);
  // Waits until pred() holds (checked after each callback); false on timeout.
  bool wait_for(std::function<bool()> pred, int timeout_ms = 20000);
  Cronet_RESULT read_now();  // issues a Read with a fresh buffer of read_size
  Cronet_UrlRequestPtr request() const { return request_; }

  // Results (read them after Wait).
  std::mutex mu;
  std::vector<std::string>
      events;  // "redirect", "started", "read", "succeeded", "failed", "canceled"
  int status = 0;
  std::vector<Header> response_headers;
  std::vector<std::string> redirect_urls;
  std::vector<int> redirect_statuses;
  std::string body;
  std::string error_message;
  int error_code = -1;
  int internal_error_code = 0;
  bool info_null_at_terminal = false;
  std::atomic<int> terminal_count{0};
  std::atomic<int> callbacks_after_terminal{0};
  std::atomic<bool> done{false};
  std::vector<std::thread::id> callback_threads;
  std::string header_value(const std::string& name) const;  // first value, "" when absent
  int count_events(const std::string& name);

 private:
  static TestRequest* self(Cronet_UrlRequestCallbackPtr cb);
  static void on_redirect_received(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                                   Cronet_UrlResponseInfoPtr, Cronet_String);
  static void on_started(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                         Cronet_UrlResponseInfoPtr);
  static void on_read_completed(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                                Cronet_UrlResponseInfoPtr, Cronet_BufferPtr, uint64_t);
  static void on_succeeded(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                           Cronet_UrlResponseInfoPtr);
  static void on_failed(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                        Cronet_UrlResponseInfoPtr, Cronet_ErrorPtr);
  static void on_canceled(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr,
                          Cronet_UrlResponseInfoPtr);
  void record(const std::string& ev);
  void terminal(const std::string& ev);

  std::unique_ptr<TestExecutor> own_executor_;
  Cronet_EnginePtr engine_;
  Cronet_ExecutorPtr executor_;
  Cronet_UrlRequestPtr request_;
  Cronet_UrlRequestCallbackPtr callback_;
  std::condition_variable cv_;
  // Held by a waiter while it checks its condition, so that a wake() between
  // the check and the wait is not lost (the condition itself may take mu).
  std::mutex wait_mu_;
  void wake();
  bool started_ = false;
};

// ---- servers --------------------------------------------------------------------------
// The shared launcher of tests/support: `serve.py kind args` once per program.
// The JSON ready line, or "" when the server cannot start (REQUIRE_SERVER then).
inline std::string server(const std::string& kind, const std::string& args = "") {
  return test_servers::ready_line(kind, args);
}
inline int json_int(const std::string& json, const std::string& key) {
  return test_servers::json_int(json, key);
}
inline std::string json_string(const std::string& json, const std::string& key) {
  return test_servers::json_value(json, key);
}
// The http kind's base URL, e.g. "http://127.0.0.1:41234"; "" when unavailable.
inline std::string http_base() { return test_servers::http_base(); }
// A 127.0.0.1 port nothing listens on.
int dead_port();

// Skips the test when run by hand, fails it under CI (see test_servers.h).
#define REQUIRE_SERVER(base) REQUIRE_TEST_SERVER(!(base).empty(), "http")

// Byte i of /bytes/N?seed=S.
inline unsigned char pattern_byte(uint64_t i, int seed = 0) {
  return static_cast<unsigned char>((i * 31 + seed) % 251);
}
bool matches_pattern(const std::string& body, int seed = 0);

// Waits until every live-object count is back to `baseline` (or timeout).
bool wait_live_objects(const std::map<int, int64_t>& baseline, int timeout_ms = 5000);
std::map<int, int64_t> live_objects();
std::string describe_live();

}  // namespace ctest
