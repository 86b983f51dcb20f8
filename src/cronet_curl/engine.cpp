// Cronet_Engine: one network thread per started engine, running a curl multi
// handle; commands from API threads arrive through a lock-protected queue and
// wake the thread with curl_multi_wakeup.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "ca_store.h"
#include "core.h"
#include "curl_options.h"
#include "proxy_rules.h"

namespace cronet_curl {

std::string test_ca_bundle();  // testctl.cpp

namespace {
thread_local EngineCore* tl_engine = nullptr;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Counts the forks this process descends from (a child's handler adds one),
// so an engine knows it was inherited without a system call on every post.
std::atomic<uint64_t> g_fork_generation{0};
void count_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const bool kGForkCounter =
    pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;

uint64_t fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

bool curl_has(int feature) {
  const curl_version_info_data* v = curl_version_info(CURLVERSION_NOW);
  return v && (v->features & feature);
}
}  // namespace

EngineCore::EngineCore() : owner_generation_(fork_generation()) {}

EngineCore::~EngineCore() {
  if (inherited()) {
    leave_to_owner();
    return;
  }
  if (thread_.joinable()) thread_.detach();  // only when the thread itself is ending
  if (multi_) curl_multi_cleanup(multi_);
  if (share_) curl_share_cleanup(share_);
}

bool EngineCore::inherited() const { return fork_generation() != owner_generation_; }

// What a forked child inherited from a running engine: the handle of a thread
// that is not here, and curl handles whose connections the parent still uses.
// Joining could wait on a thread the child started since (it may reuse the
// descriptor the parent's thread left), cleaning up would close (or end with
// TLS close_notify and HTTP/2 GOAWAY) the parent's connections, and freeing the
// requests could reach the same sockets. So all of it is left as it is.
void EngineCore::leave_to_owner() noexcept {
  struct Left {
    std::thread thread;
    std::vector<Command> queue;
    std::unordered_map<RequestCore*, std::shared_ptr<RequestCore>> requests, transfers;
    std::vector<std::shared_ptr<RequestCore>> cleanups;
  };
  if (auto* left = new (std::nothrow) Left) {
    left->thread = std::move(thread_);
    left->queue.swap(queue_);
    left->requests.swap(requests_);
    left->transfers.swap(transfers_);
    left->cleanups.swap(cleanups_);
  } else if (thread_.joinable()) {
    thread_.detach();  // out of memory: the one way left not to abort
  }
  multi_ = nullptr;
  share_ = nullptr;
}

bool EngineCore::on_network_thread() const { return tl_engine == this; }

bool EngineCore::is_running() {
  // The lock may have been held by a thread of the parent when it forked.
  if (inherited()) return false;
  std::lock_guard<std::mutex> l(mu_);
  return state_ == State::kRunning;
}

Cronet_RESULT EngineCore::start(const Cronet_EngineParams& params) {
  if (inherited()) return Cronet_RESULT_ILLEGAL_STATE;
  std::lock_guard<std::mutex> l(mu_);
  if (state_ != State::kIdle) return Cronet_RESULT_ILLEGAL_STATE_ENGINE_ALREADY_STARTED;
  int32_t injected = 0;
  if (take_engine_start_failure(&injected)) return static_cast<Cronet_RESULT>(injected);
  EngineConfig cfg;
  if (!parse_proxy_rules(params.proxy_rules, &cfg.proxies)) return Cronet_RESULT_ILLEGAL_ARGUMENT;
  global_init();
  cfg.http2 = params.enable_http2 && curl_has(CURL_VERSION_HTTP2);
  cfg.quic = params.enable_quic && curl_has(CURL_VERSION_HTTP3);
  cfg.brotli = params.enable_brotli;
  cfg.skip_cert_verify = params.skip_cert_verify;
  // What the library itself decodes (content_decoder.cpp).
  cfg.accept_encoding = cfg.brotli ? "gzip, deflate, br, zstd" : "gzip, deflate";
  cfg.ca_bundle = test_ca_bundle();
  if (cfg.ca_bundle.empty()) {
    cfg.ca_bundle = system_ca_store().file;
    cfg.ca_dir = system_ca_store().dir;
  }

  CURLM* multi = curl_multi_init();
  CURLSH* share = curl_share_init();
  if (!multi || !share) {
    if (multi) curl_multi_cleanup(multi);
    if (share) curl_share_cleanup(share);
    return Cronet_RESULT_ILLEGAL_STATE;
  }
  // All handles live on the network thread: the share needs no lock functions.
  // Sharing caches and multiplexing only save work: a refusal is ignored on
  // purpose. The per-host limit is needed.
  (void)set_share_option(share, CURLSHOPT_SHARE, "CURLSHOPT_SHARE", CURL_LOCK_DATA_SSL_SESSION);
  (void)set_share_option(share, CURLSHOPT_SHARE, "CURLSHOPT_SHARE", CURL_LOCK_DATA_DNS);
  (void)set_multi_option(multi, CURLMOPT_PIPELINING, "CURLMOPT_PIPELINING", CURLPIPE_MULTIPLEX);
  (void)set_multi_option(multi, CURLMOPT_MAXCONNECTS, "CURLMOPT_MAXCONNECTS", 64L);
  if (!set_multi_option(multi, CURLMOPT_MAX_HOST_CONNECTIONS, "CURLMOPT_MAX_HOST_CONNECTIONS",
                        6L)) {  // as browsers do
    curl_multi_cleanup(multi);
    curl_share_cleanup(share);
    return Cronet_RESULT_ILLEGAL_STATE;
  }
  config_ = std::move(cfg);
  multi_ = multi;
  share_ = share;
  state_ = State::kRunning;
  try {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  } catch (...) {
    state_ = State::kIdle;
    curl_multi_cleanup(multi_);
    curl_share_cleanup(share_);
    multi_ = nullptr;
    share_ = nullptr;
    return Cronet_RESULT_ILLEGAL_STATE;
  }
  return Cronet_RESULT_SUCCESS;
}

bool EngineCore::post(Command cmd, bool wake) {
  if (inherited()) return false;
  std::lock_guard<std::mutex> l(mu_);
  if (state_ != State::kRunning) return false;
  queue_.push_back(std::move(cmd));
  // Under the lock: the thread cannot clean the multi handle up meanwhile.
  if (wake && waiting_ && !woken_) {
    woken_ = true;
    curl_multi_wakeup(multi_);
  }
  return true;
}

Cronet_RESULT EngineCore::shutdown() {
  // Nothing of the engine runs in this process: there is nothing to stop.
  if (inherited()) return Cronet_RESULT_SUCCESS;
  if (on_network_thread())
    return Cronet_RESULT_ILLEGAL_STATE_CANNOT_SHUTDOWN_ENGINE_FROM_NETWORK_THREAD;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (state_ == State::kRunning) {
      state_ = State::kStopping;
      queue_.push_back(Command{CmdType::kShutdown, nullptr});
      curl_multi_wakeup(multi_);
    }
  }
  // Also joins a thread that was asked to stop by Destroy from itself.
  std::thread t;
  {
    std::lock_guard<std::mutex> l(mu_);
    t = std::move(thread_);
  }
  if (t.joinable()) t.join();
  return Cronet_RESULT_SUCCESS;
}

void EngineCore::on_handle_destroyed() {
  if (inherited()) return;
  if (!on_network_thread()) {
    shutdown();
    return;
  }
  std::lock_guard<std::mutex> l(mu_);
  if (state_ == State::kRunning) {
    state_ = State::kStopping;
    queue_.push_back(Command{CmdType::kShutdown, nullptr});
  }
}

void EngineCore::handle(const Command& c) {
  RequestCore* r = c.req.get();
  switch (c.type) {
    case CmdType::kStart: r->net_start(); break;
    case CmdType::kRead: r->net_read(); break;
    case CmdType::kFollow: r->net_follow(); break;
    case CmdType::kCancel: r->net_cancel(); break;
    case CmdType::kUploadReady: r->net_upload_ready(); break;
    case CmdType::kUploadError: r->net_upload_error(); break;
    case CmdType::kRewindDone: r->net_rewind_done(); break;
    case CmdType::kAbandon: r->net_abandon(); break;
    case CmdType::kShutdown: break;
  }
}

// Reusing a handle spares libcurl's per-handle set-up and teardown per
// request. Our libcurl has no alt-svc cache of its own (the engine keeps
// Alt-Svc), so a reset handle carries no protocol choice over. A handle that
// carried a QUIC transfer is not reused: libcurl 7.88's HTTP/3 code keeps
// per-handle stream state that we only trust a fresh handle to be free of.
constexpr size_t kSpareEasyHandles = 8;

CURL* EngineCore::take_easy() {
  if (spare_easy_.empty()) return nullptr;
  CURL* e = spare_easy_.back();
  spare_easy_.pop_back();
  return e;
}

void EngineCore::give_back_easy(CURL* e, bool carried_quic) {
  if (carried_quic || spare_easy_.size() >= kSpareEasyHandles) {
    curl_easy_cleanup(e);
    return;
  }
  curl_easy_reset(e);  // no pointer into the request it served stays behind
  spare_easy_.push_back(e);
}

void EngineCore::process_cleanups() {
  while (!cleanups_.empty()) {
    std::vector<std::shared_ptr<RequestCore>> list;
    list.swap(cleanups_);
    for (auto& r : list) r->net_cleanup_transfer();
  }
}

void EngineCore::shutdown_sweep(std::vector<Command>& leftover) {
  {
    std::lock_guard<std::mutex> l(mu_);
    for (auto& c : queue_) leftover.push_back(std::move(c));
    queue_.clear();
  }
  // Requests whose start was queued still get their terminal callback.
  for (auto& c : leftover)
    if (c.type == CmdType::kStart) register_request(c.req);
  std::vector<std::shared_ptr<RequestCore>> all;
  for (auto& kv : requests_) all.push_back(kv.second);
  for (auto& r : all) r->net_shutdown_abort();
  requests_.clear();
  process_cleanups();
  transfers_.clear();
}

void EngineCore::run() {
  tl_engine = this;
  std::vector<Command> cmds;
  std::vector<std::pair<CURL*, CURLcode>> done;
  while (true) {
    if (!run_commands(cmds)) break;
    process_cleanups();
    bool backoff = perform_transfers();
    dispatch_completions(done);
    process_cleanups();
    {
      std::lock_guard<std::mutex> l(mu_);
      if (!queue_.empty()) continue;
      waiting_ = true;
    }
    wait_for_activity(backoff);
  }
  close_network();
  tl_engine = nullptr;
}

// Runs what is queued; false once a shutdown among it has been handled.
bool EngineCore::run_commands(std::vector<Command>& cmds) {
  cmds.clear();
  {
    std::lock_guard<std::mutex> l(mu_);
    cmds.swap(queue_);
    woken_ = waiting_ = false;
  }
  bool stop = false;
  std::vector<Command> leftover;
  for (auto& c : cmds) {
    if (stop) {
      leftover.push_back(std::move(c));
    } else if (c.type == CmdType::kShutdown) {
      stop = true;
    } else {
      handle(c);
      // A handle given up by one command is there for a start behind it.
      process_cleanups();
    }
  }
  if (!stop) return true;
  shutdown_sweep(leftover);
  return false;
}

// Drives the transfers; true when the multi handle failed.
bool EngineCore::perform_transfers() {
  int running = 0;
  // A failing multi handle (out of memory, say) must not turn the loop into
  // a busy spin: back off before the next round. Requests still end by
  // their own timeouts and cancels.
  return curl_multi_perform(multi_, &running) != CURLM_OK;
}

void EngineCore::dispatch_completions(std::vector<std::pair<CURL*, CURLcode>>& done) {
  done.clear();
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(multi_, &left))
    if (m->msg == CURLMSG_DONE) done.emplace_back(m->easy_handle, m->data.result);
  for (auto& d : done) {
    RequestCore* raw = nullptr;
    curl_easy_getinfo(d.first, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
    auto it = transfers_.find(raw);
    if (it == transfers_.end()) continue;
    std::shared_ptr<RequestCore> keep = it->second;
    keep->net_transfer_done(d.second);
  }
}

void EngineCore::wait_for_activity(bool backoff) {
  // libcurl 7.88's HTTP/3 does not always ask to be woken for what it has
  // already received: while a transfer runs over QUIC, look again soon. A
  // failing multi handle (out of memory, say) backs off instead of spinning.
  int wait_ms = backoff ? 10 : 30000;
  if (config_.quic)
    for (auto& kv : transfers_)
      if (kv.first->over_quic()) {
        wait_ms = 10;
        break;
      }
  if (curl_multi_poll(multi_, nullptr, 0, wait_ms, nullptr) != CURLM_OK || backoff)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Closes the connections now, not when the last request object goes.
void EngineCore::close_network() {
  CURLM* multi;
  CURLSH* share;
  {
    std::lock_guard<std::mutex> l(mu_);
    state_ = State::kStopped;  // nobody wakes the multi handle any more
    multi = multi_;
    share = share_;
    multi_ = nullptr;
    share_ = nullptr;
  }
  for (CURL* e : spare_easy_) curl_easy_cleanup(e);  // before the share they use
  spare_easy_.clear();
  curl_multi_cleanup(multi);
  curl_share_cleanup(share);
}

}  // namespace cronet_curl

using cronet_curl::EngineCore;

extern "C" {

CRONET_EXPORT Cronet_EnginePtr Cronet_Engine_Create(void) {
  CRONET_JOURNAL("Cronet_Engine_Create");
  auto* e = new Cronet_Engine;
  e->core = std::make_shared<EngineCore>();
  return e;
}

CRONET_EXPORT void Cronet_Engine_Destroy(Cronet_EnginePtr self) {
  CRONET_JOURNAL("Cronet_Engine_Destroy");
  if (!self) return;
  self->core->on_handle_destroyed();
  delete self;
}

CRONET_EXPORT Cronet_RESULT Cronet_Engine_StartWithParams(Cronet_EnginePtr self,
                                                          Cronet_EngineParamsPtr params) {
  CRONET_JOURNAL("Cronet_Engine_StartWithParams");
  if (!self) return Cronet_RESULT_NULL_POINTER_ENGINE;
  if (!params) return Cronet_RESULT_NULL_POINTER_PARAMS;
  return self->core->start(*params);
}

CRONET_EXPORT Cronet_RESULT Cronet_Engine_Shutdown(Cronet_EnginePtr self) {
  CRONET_JOURNAL("Cronet_Engine_Shutdown");
  if (!self) return Cronet_RESULT_NULL_POINTER_ENGINE;
  return self->core->shutdown();
}

}  // extern "C"
