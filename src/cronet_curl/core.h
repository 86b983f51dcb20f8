// The engine (one network thread running a curl multi handle) and the
// per-request state machine behind Cronet_UrlRequest.
//
// Threads: API calls come from any application thread; they change the small
// lock-protected API state of a request and queue a Command for the engine's
// network thread, which owns every curl handle and all transfer state. The
// network thread never blocks on the application: it only hands runnables to
// Cronet_Executor_Execute.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "alt_svc.h"
#include "body_buffer.h"
#include "content_decoder.h"
#include "objects.h"
#include "proxy_rules.h"
#include "request_target.h"
#include "response_head.h"
#include "upload_pump.h"

namespace cronet_curl {

class RequestCore;
class EasyOptions;
struct CurlFailure;

struct EngineConfig {
  bool http2 = true;
  bool quic = false;
  bool brotli = false;
  bool skip_cert_verify = false;
  ProxyConfig proxies;
  std::string accept_encoding;
  std::string ca_bundle;  // the test override, else the system's bundle
  std::string ca_dir;     // the system's certificate directory when it has no bundle
};

enum class CmdType {
  kStart,
  kRead,
  kFollow,
  kCancel,
  kUploadReady,
  kUploadError,
  kRewindDone,
  kAbandon,
  kShutdown
};

struct Command {
  CmdType type;
  std::shared_ptr<RequestCore> req;
};

class EngineCore : public std::enable_shared_from_this<EngineCore> {
 public:
  EngineCore();
  ~EngineCore();

  Cronet_RESULT start(const Cronet_EngineParams& params);
  Cronet_RESULT shutdown();
  // Cronet_Engine_Destroy: shuts down when running (from the network thread:
  // asks the thread to stop by itself).
  void on_handle_destroyed();
  // Queues a command for the network thread; false when the engine is not
  // running (never started, shutting down or shut down). Without `wake` it
  // waits for the thread's next round: for work nobody waits on.
  bool post(Command cmd, bool wake = true);
  bool is_running();
  bool on_network_thread() const;
  // True in a process made by fork() after this engine was made: its network
  // thread does not exist here and its sockets are the parent's.
  bool inherited() const;

  // Network thread only.
  const EngineConfig& config() const { return config_; }
  CURLM* multi() const { return multi_; }
  CURLSH* share() const { return share_; }
  AltSvcCache& alt_svc() { return alt_svc_; }
  void register_request(const std::shared_ptr<RequestCore>& r) { requests_[r.get()] = r; }
  void unregister(RequestCore* r) { requests_.erase(r); }
  void add_transfer(const std::shared_ptr<RequestCore>& r) { transfers_[r.get()] = r; }
  void remove_transfer(RequestCore* r) { transfers_.erase(r); }
  void schedule_cleanup(const std::shared_ptr<RequestCore>& r) { cleanups_.push_back(r); }
  BlockPool* blocks() { return &blocks_; }
  // Easy handles kept between requests, reset to defaults; null when none.
  CURL* take_easy();
  void give_back_easy(CURL* e, bool carried_quic);

  // Connection sockets (idle_sockets.cpp). libcurl opens and closes them
  // through these callbacks (clientp: the engine).
  static curl_socket_t open_socket_cb(void* engine, curlsocktype purpose, curl_sockaddr* addr);
  static int close_socket_cb(void* engine, curl_socket_t s);
  static int prereq_cb(void* request, char* peer_ip, char* local_ip, int peer_port, int local_port);
  // A transfer of r sends its request on the connection with these addresses.
  void socket_in_use(RequestCore* r, const char* peer_ip, const char* local_ip, int peer_port,
                     int local_port);
  // r's transfer is leaving the multi handle; `kept` is the connection libcurl
  // kept for reuse (CURL_SOCKET_BAD when none), http1 whether it spoke HTTP/1.x.
  void socket_released(RequestCore* r, curl_socket_t kept, bool http1);
  // Takes idle HTTP/1.x connections with bytes waiting (or at EOF) out of reuse.
  void drop_idle_with_unread_bytes();

 private:
  enum class State { kIdle, kRunning, kStopping, kStopped };
  void run();
  bool run_commands(std::vector<Command>& cmds);
  bool perform_transfers();
  void dispatch_completions(std::vector<std::pair<CURL*, CURLcode>>& done);
  void wait_for_activity(bool backoff);
  void close_network();
  void handle(const Command& c);
  void shutdown_sweep(std::vector<Command>& leftover);
  void process_cleanups();
  void leave_to_owner() noexcept;

  const uint64_t owner_generation_;  // fork generation of the process that made it
  std::mutex mu_;
  State state_ = State::kIdle;
  std::vector<Command> queue_;
  bool woken_ = false;  // a wake-up is on its way for what is queued
  // The thread is about to wait, or waits: only then does a command need a
  // wake-up. While it works it looks at the queue before it waits again.
  bool waiting_ = false;
  std::thread thread_;
  std::atomic<bool> on_thread_set_{false};
  std::thread::id thread_id_;

  // Set before the thread starts, then read-only.
  EngineConfig config_;
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;

  // Network thread only.
  std::unordered_map<RequestCore*, std::shared_ptr<RequestCore>> requests_;
  std::unordered_map<RequestCore*, std::shared_ptr<RequestCore>> transfers_;
  std::vector<std::shared_ptr<RequestCore>> cleanups_;
  BlockPool blocks_;  // body queue blocks between requests
  std::vector<CURL*> spare_easy_;
  struct Socket {
    enum Use { kUnknown, kBusy, kIdle, kDropped } use = kUnknown;
    bool http1 = false;
    RequestCore* owner = nullptr;  // transfer that last sent a request on it
    std::string key;               // "local-ip port peer-ip port" once connected
  };
  std::unordered_map<curl_socket_t, Socket> sockets_;
  AltSvcCache alt_svc_;
};

// Content decoding of a response body (body_decode.cpp): no decoder when the
// body passes through as received. Network thread only.
struct BodyDecoding {
  std::unique_ptr<ContentDecoder> decoder;
  bool blocked = false;  // stopped at the high-water mark with input or output held
  std::string in;        // compressed bytes taken from libcurl, not yet decoded
  size_t in_off = 0;
  Block block;  // decoder output not yet queued
  int32_t error = 0;
  bool end_pending = false;  // the transfer ended while decoding was held back
  int32_t end_error = 0;
};

class RequestCore : public std::enable_shared_from_this<RequestCore> {
 public:
  explicit RequestCore(Cronet_UrlRequest* handle);
  ~RequestCore();

  // ---- API, any thread ----
  Cronet_RESULT init(Cronet_Engine* engine, const char* url, Cronet_UrlRequestParams* params,
                     Cronet_UrlRequestCallback* callback, Cronet_Executor* executor);
  Cronet_RESULT start();
  Cronet_RESULT follow_redirect();
  Cronet_RESULT read(Cronet_Buffer* buffer);
  void cancel();
  bool is_done();
  void on_handle_destroyed();
  // Upload data sink.
  void sink_read_succeeded(uint64_t bytes, bool final_chunk);
  void sink_read_error(const char* message);
  void sink_rewind_succeeded();
  void sink_rewind_error(const char* message);

  // Runnable support.
  bool enter_callback();
  void exit_callback();
  void deliver(Cronet_Executor* executor, Cronet_Runnable* runnable);

  // ---- network thread ----
  void net_start();
  void net_read();
  void net_follow();
  void net_cancel();
  void net_upload_ready();
  void net_upload_error();
  void net_rewind_done();
  void net_abandon();
  void net_shutdown_abort();
  void net_transfer_done(CURLcode result);
  void net_cleanup_transfer();

 private:
  enum class State { kCreated, kInitialized, kStarted, kDone };
  enum class ProviderOp { kNone, kRead, kRewind };
  enum class CloseState { kOpen, kPosted, kDone };
  struct Outcome {
    enum Kind { kSucceeded, kFailed, kCanceled, kAbandoned } kind = kSucceeded;
    std::shared_ptr<Cronet_Error> error;
  };

  struct ReadHere {
    size_t bytes = 0;
    bool served = false;  // bytes copied: the callback is posted from the caller's thread
    bool resume = false;  // the transfer may go on (below the low-water mark)
    bool ended = false;   // the body was all in: the request succeeded
    std::shared_ptr<Cronet_UrlResponseInfo> info;
  };
  ReadHere read_here_locked(Cronet_Buffer* buffer);  // under mu_

  static size_t write_cb(char* data, size_t size, size_t n, void* self);
  static size_t on_body(RequestCore* self, char* data, size_t len);
  size_t on_framed_body(char* data, size_t len);
  static size_t header_cb(char* data, size_t size, size_t n, void* self);
  static size_t read_cb(char* data, size_t size, size_t n, void* self);
  static int seek_cb(void* self, curl_off_t offset, int origin);
  friend class EngineCore;  // prereq_cb

  void start_transfer();
  // The easy handle's setup (transfer_setup.cpp).
  bool prepare_easy();
  void reset_response();
  void set_connection_options(EasyOptions& o);
  void set_callback_options(EasyOptions& o);
  bool set_header_options(EasyOptions& o);
  void set_method_options(EasyOptions& o);
  void retry_with_credentials();
  void choose_quic(EasyOptions& o);                     // quic.cpp
  void note_alt_svc();                                  // quic.cpp
  bool quic_fallback(CURLcode result, bool connected);  // quic.cpp

 public:
  bool over_quic() const { return net_.connect_to != nullptr; }  // network thread

 private:
  void remove_transfer_now();
  void detach_transfer();
  void on_header_line(const char* data, size_t n);
  void on_headers_complete();
  int final_status();
  void report_redirect(int status, const std::string& location);
  void start_response(int status);
  CurlFailure describe_end(CURLcode result);
  bool transfer_again(CURLcode result, bool connected);
  void try_serve_read();
  void maybe_resume();
  // Content decoding (body_decode.cpp).
  bool set_up_decoding();
  size_t on_encoded_body(const char* data, size_t len);
  size_t run_decoder(const uint8_t* in, size_t len);
  bool resume_decoding();
  void post_read_completed(Cronet_Buffer* buf, size_t n);
  void end_body(int32_t net_error);
  void update_pause();
  void request_provider_read();
  void request_provider_rewind();
  void restart_transfer();
  void after_rewind();
  void finish(Outcome outcome);
  void fail_with(int32_t net_error);
  void fail_with(int32_t net_error, const std::string& detail);  // detail goes into the message
  void fail_callback(const std::string& message);
  void request_close();
  void advance();  // posts Close and the terminal callback when their time has come

  // Posting.
  void post(Cronet_Executor* executor, std::function<void()> fn, Cronet_Buffer* owned = nullptr);
  void post_to_callback(std::function<void(Cronet_UrlRequestCallback*)> fn,
                        Cronet_Buffer* owned = nullptr);
  void post_terminal_callback();
  void post_provider_close();
  std::shared_ptr<Cronet_UrlResponseInfo> make_info(int status) const;

  Cronet_UrlRequest* const handle_;
  const uint64_t id_;

  // Fixed by Init.
  std::shared_ptr<EngineCore> engine_;
  std::string url_;
  std::string method_;
  int priority_ = 3;
  HeaderList headers_;  // moved into net_.target at the start
  Cronet_UrlRequestCallback* callback_ = nullptr;
  Cronet_Executor* executor_ = nullptr;
  Cronet_UploadDataProvider* provider_ = nullptr;
  Cronet_Executor* upload_executor_ = nullptr;
  std::unique_ptr<Cronet_UploadDataSink> sink_;
  // Fixed by Start.
  int64_t upload_length_ = -1;
  bool withhold_terminal_ = false;

  // API state, guarded by mu_.
  //
  // Lock order (the only locks a request takes; none is held while an
  // executor, the upload provider or the application is called):
  //   RequestCore::mu_  ->  EngineCore::mu_   (Init asks whether the engine runs)
  //   RequestCore::mu_  ->  BodyBuffer's lock (Read serves buffered bytes itself)
  // EngineCore::mu_ and the body buffer's lock are innermost: nothing else is
  // taken under them. Destroy waits on cv_ (under mu_) for callbacks and
  // hand-overs to executors running on other threads.
  std::mutex mu_;
  std::condition_variable cv_;
  State state_ = State::kCreated;
  bool waiting_read_ = false;
  bool waiting_redirect_ = false;
  bool cancel_requested_ = false;
  bool handle_destroyed_ = false;
  // The request has ended. Written under mu_ (by the network thread, or by a
  // Read that finds the body over); the network thread also reads it unlocked.
  std::atomic<bool> finished_{false};
  int running_callbacks_ = 0;
  int delivering_ = 0;  // runnables being handed to an executor (Deliver)
  int fast_reads_ = 0;  // reads served on the caller's thread, not yet posted
  Cronet_Buffer* pending_read_ = nullptr;
  ProviderOp provider_op_ = ProviderOp::kNone;
  CloseState close_state_ = CloseState::kOpen;
  bool close_wanted_ = false;
  bool terminal_ready_ = false;
  bool terminal_posted_ = false;
  Outcome terminal_;
  std::shared_ptr<Cronet_UrlResponseInfo> terminal_info_;
  uint64_t sink_bytes_ = 0;
  bool sink_final_ = false;
  std::string sink_error_;

  std::atomic<int> in_poster_{0};

  // ---- network thread state ----
  struct Net {
    CURL* easy = nullptr;
    curl_slist* slist = nullptr;
    curl_slist* connect_to = nullptr;  // to the HTTP/3 alternative
    bool easy_carried_quic = false;    // the current handle ran a QUIC transfer
    std::string quic_origin;           // this transfer tries the origin's HTTP/3 alternative
    char errbuf[CURL_ERROR_SIZE] = {0};
    bool in_multi = false;
    bool detached = false;
    RequestTarget target;             // URL, method, headers: what this transfer sends where
    bool auth_retry_pending = false;  // a 401 Basic challenge: retry with the credentials
    std::string proxy;                // as given to libcurl for the current transfer
    // Current response.
    ResponseHead head;
    bool bodiless_response = false;  // HEAD sent with a body: end at the headers
    bool ended_at_headers = false;
    bool discard_body = false;
    bool redirect_pending = false;
    int redirect_status = 0;
    std::string redirect_url;
    bool response_started = false;
    bool chunked = false;
    // A Content-Length libcurl does not see ("Content-Length : 2") is honoured here.
    int64_t length_left = -1;  // body bytes still due under a spaced Content-Length
    bool ended_by_length = false;
    std::shared_ptr<Cronet_UrlResponseInfo> info;
    // Body bytes for the application (locked inside, see body_buffer.h).
    BodyBuffer body;
    bool send_paused = false;
    bool body_complete = false;
    int32_t body_error = 0;  // net error that ended the body, reported at the next read
    Cronet_Buffer* read_buf = nullptr;
    BodyDecoding dec;
    UploadPump upload;
  } net_;
};

// A runnable the library posts: runs fn unless the request handle was
// destroyed; destroys an undelivered buffer.
class LibRunnable : public Cronet_Runnable {
 public:
  LibRunnable(std::shared_ptr<RequestCore> core, std::function<void()> fn, Cronet_Buffer* owned)
      : core_(std::move(core)), fn_(std::move(fn)), owned_(owned) {}
  ~LibRunnable() override { delete owned_; }
  void invoke() override;

 private:
  std::shared_ptr<RequestCore> core_;
  std::function<void()> fn_;
  Cronet_Buffer* owned_;  // handed to the application when fn_ runs
};

// Hands deliveries to library threads other than the network thread (test
// controls: callback delay, posting from many threads).
void poster_submit(uint64_t lane, uint32_t delay_ms, std::function<void()> deliver);

}  // namespace cronet_curl
