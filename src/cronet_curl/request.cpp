// Cronet_UrlRequest on libcurl: the request's state machine as the application
// sees it (start, read, cancel, destroy, posting callbacks) and the C API.
#include <algorithm>
#include <cstring>

#include "core.h"
#include "header_validation.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

std::atomic<uint64_t> g_next_id{1};
// The requests this thread is running a callback of, and handing a runnable
// to an executor for (an executor may run it inline, which may post again).
thread_local std::vector<RequestCore*> tl_in_callback;
thread_local std::vector<RequestCore*> tl_delivering;

void forget(std::vector<RequestCore*>* list, RequestCore* r) {
  auto it = std::find(list->rbegin(), list->rend(), r);
  if (it != list->rend()) list->erase(std::next(it).base());
}

}  // namespace

// ---------------------------------------------------------------------------
// Runnables and posting

void LibRunnable::invoke() {
  if (!fn_ || !core_->enter_callback()) return;
  std::function<void()> fn = std::move(fn_);
  fn_ = nullptr;
  owned_ = nullptr;  // the callback hands it to the application
  fn();
  core_->exit_callback();
}

RequestCore::RequestCore(Cronet_UrlRequest* handle)
    : handle_(handle), id_(g_next_id.fetch_add(1, std::memory_order_relaxed)) {}

RequestCore::~RequestCore() {
  delete pending_read_;
  delete net_.read_buf;
  // Transfers are cleaned up on the network thread before the last reference
  // goes; this is a last resort for an engine that never ran its cleanup.
  if (net_.slist) curl_slist_free_all(net_.slist);
  curl_slist_free_all(net_.connect_to);
}

bool RequestCore::enter_callback() {
  std::lock_guard<std::mutex> l(mu_);
  if (handle_destroyed_) return false;
  ++running_callbacks_;
  tl_in_callback.push_back(this);
  return true;
}

void RequestCore::exit_callback() {
  std::lock_guard<std::mutex> l(mu_);
  --running_callbacks_;
  forget(&tl_in_callback, this);
  cv_.notify_all();
}

// Destroy waits for hand-overs in progress on other threads: once it
// returns, the application may destroy its executors.
void RequestCore::deliver(Cronet_Executor* executor, Cronet_Runnable* runnable) {
  bool drop;
  {
    std::lock_guard<std::mutex> l(mu_);
    drop = handle_destroyed_ || !executor || !executor->execute;
    if (!drop) {
      ++delivering_;
      tl_delivering.push_back(this);
    }
  }
  if (drop) {
    delete runnable;  // outside the lock: it may hold the last reference to the request
    return;
  }
  executor->execute(executor, runnable);
  std::lock_guard<std::mutex> l(mu_);
  --delivering_;
  forget(&tl_delivering, this);
  cv_.notify_all();
}

void RequestCore::post(Cronet_Executor* executor, std::function<void()> fn, Cronet_Buffer* owned) {
  auto* r = new LibRunnable(shared_from_this(), std::move(fn), owned);
  uint32_t delay = g_callback_delay_ms.load(std::memory_order_relaxed);
  bool many = g_post_many_threads.load(std::memory_order_relaxed);
  if (__builtin_expect(delay != 0 || many || in_poster_.load(std::memory_order_relaxed) > 0, 0)) {
    in_poster_.fetch_add(1, std::memory_order_relaxed);
    poster_submit(id_, delay, [self = shared_from_this(), executor, r] {
      self->deliver(executor, r);
      self->in_poster_.fetch_sub(1, std::memory_order_relaxed);
    });
    return;
  }
  deliver(executor, r);
}

void RequestCore::post_to_callback(std::function<void(Cronet_UrlRequestCallback*)> fn,
                                   Cronet_Buffer* owned) {
  Cronet_UrlRequestCallback* cb = callback_;
  post(
      executor_, [cb, fn = std::move(fn)] { fn(cb); }, owned);
}

std::shared_ptr<Cronet_UrlResponseInfo> RequestCore::make_info(int status) const {
  auto info = std::make_shared<Cronet_UrlResponseInfo>();
  info->http_status_code = status;
  info->headers.reserve(net_.head.headers().size());
  for (const auto& h : net_.head.headers()) {
    auto hh = std::make_unique<Cronet_HttpHeader>();
    hh->name = h.first;
    hh->value = h.second;
    info->headers.push_back(std::move(hh));
  }
  return info;
}

// ---------------------------------------------------------------------------
// API

Cronet_RESULT RequestCore::init(Cronet_Engine* engine, const char* url,
                                Cronet_UrlRequestParams* params,
                                Cronet_UrlRequestCallback* callback, Cronet_Executor* executor) {
  if (!engine) return Cronet_RESULT_NULL_POINTER_ENGINE;
  if (!url || !*url) return Cronet_RESULT_NULL_POINTER_URL;
  if (!params) return Cronet_RESULT_NULL_POINTER_PARAMS;
  if (!callback) return Cronet_RESULT_NULL_POINTER_CALLBACK;
  if (!executor) return Cronet_RESULT_NULL_POINTER_EXECUTOR;
  std::lock_guard<std::mutex> l(mu_);
  if (state_ != State::kCreated) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_INITIALIZED;
  if (!engine->core->is_running()) return Cronet_RESULT_ILLEGAL_STATE;
  Cronet_RESULT rc = validate_method(params->http_method);
  if (rc != Cronet_RESULT_SUCCESS) return rc;
  for (const auto& h : params->headers) {
    rc = validate_request_header(h.first, h.second);
    if (rc != Cronet_RESULT_SUCCESS) return rc;
  }
  engine_ = engine->core;
  url_ = url;
  provider_ = params->upload_data_provider;
  upload_executor_ =
      params->upload_data_provider_executor ? params->upload_data_provider_executor : executor;
  method_ = params->http_method.empty() ? (provider_ ? "POST" : "GET") : params->http_method;
  priority_ = params->priority;
  headers_ = params->headers;
  callback_ = callback;
  executor_ = executor;
  if (provider_) {
    sink_ = std::make_unique<Cronet_UploadDataSink>();
    sink_->core = this;
  }
  state_ = State::kInitialized;
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT RequestCore::start() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (state_ == State::kCreated) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_NOT_INITIALIZED;
    if (state_ != State::kInitialized) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_STARTED;
    if (handle_destroyed_) return Cronet_RESULT_ILLEGAL_STATE;
    state_ = State::kStarted;
    withhold_terminal_ = g_withhold_terminal.load(std::memory_order_relaxed);
  }
  // get_length runs on the caller's thread (an application thread).
  if (provider_ && provider_->get_length) upload_length_ = provider_->get_length(provider_);
  if (!engine_->post(Command{CmdType::kStart, shared_from_this()})) {
    std::lock_guard<std::mutex> l(mu_);
    state_ = State::kInitialized;
    cancel_requested_ = false;
    return Cronet_RESULT_ILLEGAL_STATE;
  }
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT RequestCore::follow_redirect() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!waiting_redirect_) return Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT;
    waiting_redirect_ = false;
    if (finished_) return Cronet_RESULT_SUCCESS;  // the terminal callback is on its way
  }
  engine_->post(Command{CmdType::kFollow, shared_from_this()});
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT RequestCore::read(Cronet_Buffer* buffer) {
  ReadHere r;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!waiting_read_) return Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ;
    if (!buffer) return Cronet_RESULT_NULL_POINTER;
    if (!buffer->data || buffer->size == 0) return Cronet_RESULT_ILLEGAL_ARGUMENT;
    waiting_read_ = false;
    if (!finished_ && !cancel_requested_) r = read_here_locked(buffer);
    if (!r.served && !r.ended) pending_read_ = buffer;
  }
  if (r.ended) {
    delete buffer;
    // Not woken for it: the network thread drops its side on its next round.
    engine_->post(Command{CmdType::kRead, shared_from_this()}, /*wake=*/false);
    advance();
    return Cronet_RESULT_SUCCESS;
  }
  if (!r.served) {
    // When the engine is stopping, its shutdown sweep ends the request and
    // destroys the pending buffer.
    engine_->post(Command{CmdType::kRead, shared_from_this()});
    return Cronet_RESULT_SUCCESS;
  }
  Cronet_UrlRequest* req = handle_;
  auto info = std::move(r.info);
  size_t k = r.bytes;
  post_to_callback(
      [req, info, buffer, k](Cronet_UrlRequestCallback* cb) {
        if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buffer, k);
      },
      buffer);
  {
    std::lock_guard<std::mutex> l(mu_);
    --fast_reads_;
  }
  // A kRead without a pending buffer only lets a paused transfer go on.
  if (r.resume) engine_->post(Command{CmdType::kRead, shared_from_this()});
  advance();
  return Cronet_RESULT_SUCCESS;
}

// A Read served on the caller's thread from bytes already buffered, or ending
// a body that is all in; neither when the network thread has to answer it.
RequestCore::ReadHere RequestCore::read_here_locked(Cronet_Buffer* buffer) {
  ReadHere r;
  bool at_end = false;
  r.bytes = net_.body.read_now(buffer, &r.resume, &at_end);
  if (r.bytes > 0) {
    r.info = net_.info;
    r.served = true;
    waiting_read_ = true;
    ++fast_reads_;  // holds the terminal callback back until this one is queued
  } else if (at_end) {
    // The end of a body already in: succeed from here; the network thread
    // only has to drop its side, which nobody waits for.
    finished_ = true;
    state_ = State::kDone;
    terminal_ = Outcome{Outcome::kSucceeded, nullptr};
    terminal_info_ = net_.info;
    terminal_ready_ = true;
    if (provider_) close_wanted_ = true;
    r.ended = true;
  }
  return r;
}

void RequestCore::cancel() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (state_ != State::kStarted || cancel_requested_) return;
    if (g_unconfirmed_cancels.load(std::memory_order_relaxed)) return;
    cancel_requested_ = true;
  }
  engine_->post(Command{CmdType::kCancel, shared_from_this()});
}

bool RequestCore::is_done() {
  std::lock_guard<std::mutex> l(mu_);
  return state_ == State::kDone;
}

void RequestCore::on_handle_destroyed() {
  Cronet_Buffer* pending = nullptr;
  bool close_now = false;
  bool abandon = false;
  {
    std::unique_lock<std::mutex> l(mu_);
    handle_destroyed_ = true;  // no new hand-over or callback starts
    // Wait for hand-overs and callbacks of this request on other threads.
    auto mine = [this](const std::vector<RequestCore*>& list) {
      return static_cast<int>(std::count(list.begin(), list.end(), this));
    };
    int calls = mine(tl_in_callback), hand_overs = mine(tl_delivering);
    cv_.wait(l, [&] { return running_callbacks_ <= calls && delivering_ <= hand_overs; });
    bool was_started = state_ == State::kStarted || state_ == State::kDone;
    abandon = state_ == State::kStarted && !finished_;
    state_ = State::kDone;
    waiting_read_ = waiting_redirect_ = false;
    pending = pending_read_;
    pending_read_ = nullptr;
    // Nothing posted for this request runs any more: a provider that was used
    // and not yet closed is closed here, on the caller's thread.
    if (provider_ && was_started && close_state_ != CloseState::kDone) {
      close_state_ = CloseState::kDone;
      close_now = true;
    }
  }
  delete pending;
  if (close_now && provider_->close) provider_->close(provider_);
  if (abandon) engine_->post(Command{CmdType::kAbandon, shared_from_this()});
}

// ---- upload data sink (application threads) ----

void RequestCore::sink_read_succeeded(uint64_t bytes, bool final_chunk) {
  bool finished;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRead) return;
    provider_op_ = ProviderOp::kNone;
    sink_bytes_ = bytes;
    sink_final_ = final_chunk;
    finished = finished_;
  }
  // Once the request ended only close (and the terminal callback) are left.
  if (finished || !engine_->post(Command{CmdType::kUploadReady, shared_from_this()})) advance();
}

void RequestCore::sink_read_error(const char* message) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRead) return;
    provider_op_ = ProviderOp::kNone;
    sink_error_ = message ? message : "";
  }
  if (!engine_->post(Command{CmdType::kUploadError, shared_from_this()})) advance();
}

void RequestCore::sink_rewind_succeeded() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRewind) return;
    provider_op_ = ProviderOp::kNone;
  }
  if (!engine_->post(Command{CmdType::kRewindDone, shared_from_this()})) advance();
}

void RequestCore::sink_rewind_error(const char* message) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRewind) return;
    provider_op_ = ProviderOp::kNone;
    sink_error_ = message ? message : "";
  }
  if (!engine_->post(Command{CmdType::kUploadError, shared_from_this()})) advance();
}

}  // namespace cronet_curl

// ---------------------------------------------------------------------------
// C API

using cronet_curl::RequestCore;

extern "C" {

CRONET_EXPORT Cronet_UrlRequestPtr Cronet_UrlRequest_Create(void) {
  CRONET_JOURNAL("Cronet_UrlRequest_Create");
  auto* r = new Cronet_UrlRequest;
  r->core = std::make_shared<RequestCore>(r);
  return r;
}

CRONET_EXPORT void Cronet_UrlRequest_Destroy(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_Destroy");
  if (!self) return;
  self->core->on_handle_destroyed();
  delete self;
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_InitWithParams(Cronet_UrlRequestPtr self,
                                                             Cronet_EnginePtr engine,
                                                             Cronet_String url,
                                                             Cronet_UrlRequestParamsPtr params,
                                                             Cronet_UrlRequestCallbackPtr callback,
                                                             Cronet_ExecutorPtr executor) {
  CRONET_JOURNAL("Cronet_UrlRequest_InitWithParams", url);
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->init(engine, url, params, callback, executor);
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Start(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_Start");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->start();
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_FollowRedirect(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_FollowRedirect");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->follow_redirect();
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Read(Cronet_UrlRequestPtr self,
                                                   Cronet_BufferPtr buffer) {
  CRONET_JOURNAL("Cronet_UrlRequest_Read");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->read(buffer);
}

CRONET_EXPORT void Cronet_UrlRequest_Cancel(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_Cancel");
  if (self) self->core->cancel();
}

CRONET_EXPORT bool Cronet_UrlRequest_IsDone(Cronet_UrlRequestPtr self) {
  return self ? self->core->is_done() : false;
}

CRONET_EXPORT void Cronet_UploadDataSink_OnReadSucceeded(Cronet_UploadDataSinkPtr self,
                                                         uint64_t bytes_read, bool final_chunk) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnReadSucceeded", bytes_read, final_chunk);
  if (self && self->core) self->core->sink_read_succeeded(bytes_read, final_chunk);
}

CRONET_EXPORT void Cronet_UploadDataSink_OnReadError(Cronet_UploadDataSinkPtr self,
                                                     Cronet_String message) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnReadError", message);
  if (self && self->core) self->core->sink_read_error(message);
}

CRONET_EXPORT void Cronet_UploadDataSink_OnRewindSucceeded(Cronet_UploadDataSinkPtr self) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnRewindSucceeded");
  if (self && self->core) self->core->sink_rewind_succeeded();
}

CRONET_EXPORT void Cronet_UploadDataSink_OnRewindError(Cronet_UploadDataSinkPtr self,
                                                       Cronet_String message) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnRewindError", message);
  if (self && self->core) self->core->sink_rewind_error(message);
}

}  // extern "C"
