// Cronet_UrlRequest on libcurl: the per-request state machine.
#include <algorithm>
#include <cstring>

#include "ascii.h"
#include "core.h"
#include "header_validation.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

constexpr size_t kHighWater = 1 << 20;      // pause receiving past this many buffered bytes
constexpr size_t kLowWater = 256 << 10;     // resume at or below this
constexpr uint64_t kUploadBufferSize = 64 << 10;
constexpr int kMaxRedirects = 20;
constexpr size_t kMaxHeaderBytes = 256 << 10;
constexpr int kMaxRewindRetries = 3;
constexpr const char* kUserAgent = "Cronet/144.0.7506.0 (cronet_curl)";

std::atomic<uint64_t> g_next_id{1};
thread_local std::vector<RequestCore*> tl_in_callback;

std::string_view TrimWs(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// The scheme of an absolute URL ("" when the text has none), lower-cased.
std::string SchemeOf(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && (url[i] == ' ' || url[i] == '\t')) ++i;
  size_t start = i;
  if (i >= url.size() || !((url[i] >= 'a' && url[i] <= 'z') || (url[i] >= 'A' && url[i] <= 'Z')))
    return std::string();
  while (i < url.size()) {
    char c = url[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '-' || c == '.') {
      ++i;
      continue;
    }
    break;
  }
  if (i >= url.size() || url[i] != ':') return std::string();
  std::string s(url.substr(start, i - start));
  for (char& c : s) c = AsciiLower(c);
  return s;
}

constexpr unsigned kUrlFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE | CURLU_ALLOW_SPACE;

// Parses an absolute http(s) URL into libcurl's normal form. Returns 0 or a
// net error.
int32_t NormalizeUrl(const std::string& in, std::string* out) {
  std::string scheme = SchemeOf(in);
  if (scheme.empty()) return ERR_INVALID_URL;
  if (scheme != "http" && scheme != "https") return ERR_UNKNOWN_URL_SCHEME;
  CURLU* u = curl_url();
  if (!u) return ERR_OUT_OF_MEMORY;
  int32_t rc = 0;
  char* full = nullptr;
  if (curl_url_set(u, CURLUPART_URL, in.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_URL, &full, 0) != CURLUE_OK) {
    rc = ERR_INVALID_URL;
  } else {
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) != CURLUE_OK || !host || !*host)
      rc = ERR_INVALID_URL;
    curl_free(host);
    if (rc == 0) *out = full;
  }
  curl_free(full);
  curl_url_cleanup(u);
  return rc;
}

// Resolves a Location against the current URL. Returns 0 or a net error.
int32_t ResolveRedirect(const std::string& base, const std::string& location, std::string* out) {
  std::string scheme = SchemeOf(location);
  if (!scheme.empty() && scheme != "http" && scheme != "https") return ERR_UNSAFE_REDIRECT;
  CURLU* u = curl_url();
  if (!u) return ERR_OUT_OF_MEMORY;
  int32_t rc = 0;
  char* full = nullptr;
  if (curl_url_set(u, CURLUPART_URL, base.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_set(u, CURLUPART_URL, location.c_str(), kUrlFlags) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_URL, &full, 0) != CURLUE_OK) {
    rc = ERR_INVALID_REDIRECT;
  } else {
    char* s = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &s, 0) != CURLUE_OK || !s) {
      rc = ERR_INVALID_REDIRECT;
    } else {
      std::string sc(s);
      for (char& c : sc) c = AsciiLower(c);
      if (sc != "http" && sc != "https") rc = ERR_UNSAFE_REDIRECT;
    }
    curl_free(s);
    if (rc == 0) *out = full;
  }
  curl_free(full);
  curl_url_cleanup(u);
  return rc;
}

// scheme://host:port of a URL, for same-origin tests.
std::string OriginOf(const std::string& url) {
  CURLU* u = curl_url();
  if (!u) return std::string();
  std::string origin;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), kUrlFlags) == CURLUE_OK) {
    char *s = nullptr, *h = nullptr, *p = nullptr;
    curl_url_get(u, CURLUPART_SCHEME, &s, 0);
    curl_url_get(u, CURLUPART_HOST, &h, 0);
    curl_url_get(u, CURLUPART_PORT, &p, CURLU_DEFAULT_PORT);
    origin = std::string(s ? s : "") + "://" + (h ? h : "") + ":" + (p ? p : "");
    curl_free(s);
    curl_free(h);
    curl_free(p);
  }
  curl_url_cleanup(u);
  return origin;
}

// libcurl drops a custom header whose value is blank (only characters
// isspace() accepts), which the browser would send. Such a header is joined
// to the previous entry with CRLF (libcurl copies an entry verbatim), so it
// goes out in its place and whole. Values never hold CR or LF (InitWithParams
// refuses them). With no previous entry, the User-Agent line is the anchor
// (when the library sends its own) or else the next entry.
bool IsBlankForCurl(const std::string& v) {
  for (char c : v)
    if (!(c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n')) return false;
  return true;
}

std::vector<std::string> BuildHeaderLines(
    const std::vector<std::pair<std::string, std::string>>& headers, const char* user_agent) {
  std::vector<std::string> lines;
  std::string pending;  // blank-valued lines waiting for an anchor
  for (const auto& h : headers) {
    std::string line = h.first + ": " + h.second;
    if (!IsBlankForCurl(h.second)) {
      if (!pending.empty()) {
        line = pending + line;  // anchored on this one (rare: no entry before)
        pending.clear();
      }
      lines.push_back(std::move(line));
    } else if (!lines.empty()) {
      lines.back() += "\r\n" + line;
    } else if (user_agent) {
      lines.push_back(std::string("User-Agent: ") + user_agent + "\r\n" + line);
    } else {
      pending += line + "\r\n";
    }
  }
  if (!pending.empty()) {
    // Only blank values and an application User-Agent that is blank too: send
    // them with libcurl's "Name;" form (an empty value) as a last resort.
    size_t start = 0;
    while (start < pending.size()) {
      size_t end = pending.find("\r\n", start);
      std::string l = pending.substr(start, end - start);
      lines.push_back(l.substr(0, l.find(':')) + ";");
      start = end + 2;
    }
  }
  return lines;
}

std::shared_ptr<Cronet_Error> MakeNetError(int32_t net_error) {
  auto e = std::make_shared<Cronet_Error>();
  e->error_code = NetErrorToCronetCode(net_error);
  e->internal_error_code = net_error;
  e->message = NetErrorName(net_error);
  return e;
}

}  // namespace

// ---------------------------------------------------------------------------
// Runnables and posting

void LibRunnable::Run() {
  if (!fn_ || !core_->EnterCallback()) return;
  std::function<void()> fn = std::move(fn_);
  fn_ = nullptr;
  owned_ = nullptr;  // the callback hands it to the application
  fn();
  core_->ExitCallback();
}

RequestCore::RequestCore(Cronet_UrlRequest* handle)
    : handle_(handle), id_(g_next_id.fetch_add(1, std::memory_order_relaxed)) {}

RequestCore::~RequestCore() {
  delete pending_read_;
  delete net_.read_buf;
  delete net_.upload_buf;
  if (net_.buffered) AddBufferedBytes(-static_cast<int64_t>(net_.buffered));
  // Transfers are cleaned up on the network thread before the last reference
  // goes; this is a last resort for an engine that never ran its cleanup.
  if (net_.slist) curl_slist_free_all(net_.slist);
}

bool RequestCore::EnterCallback() {
  std::lock_guard<std::mutex> l(mu_);
  if (handle_destroyed_) return false;
  ++running_callbacks_;
  tl_in_callback.push_back(this);
  return true;
}

void RequestCore::ExitCallback() {
  std::lock_guard<std::mutex> l(mu_);
  --running_callbacks_;
  auto it = std::find(tl_in_callback.rbegin(), tl_in_callback.rend(), this);
  if (it != tl_in_callback.rend()) tl_in_callback.erase(std::next(it).base());
  cv_.notify_all();
}

void RequestCore::Deliver(Cronet_Executor* executor, Cronet_Runnable* runnable) {
  std::lock_guard<std::recursive_mutex> pl(post_mu_);
  bool drop;
  {
    std::lock_guard<std::mutex> l(mu_);
    drop = handle_destroyed_;
  }
  if (drop || !executor || !executor->execute) {
    delete runnable;
    return;
  }
  executor->execute(executor, runnable);
}

void RequestCore::Post(Cronet_Executor* executor, std::function<void()> fn, Cronet_Buffer* owned) {
  auto* r = new LibRunnable(shared_from_this(), std::move(fn), owned);
  uint32_t delay = g_callback_delay_ms.load(std::memory_order_relaxed);
  bool many = g_post_many_threads.load(std::memory_order_relaxed);
  if (__builtin_expect(delay != 0 || many || in_poster_.load(std::memory_order_relaxed) > 0, 0)) {
    in_poster_.fetch_add(1, std::memory_order_relaxed);
    PosterSubmit(id_, delay, [self = shared_from_this(), executor, r] {
      self->Deliver(executor, r);
      self->in_poster_.fetch_sub(1, std::memory_order_relaxed);
    });
    return;
  }
  Deliver(executor, r);
}

void RequestCore::PostToCallback(std::function<void(Cronet_UrlRequestCallback*)> fn,
                                 Cronet_Buffer* owned) {
  Cronet_UrlRequestCallback* cb = callback_;
  Post(executor_, [cb, fn = std::move(fn)] { fn(cb); }, owned);
}

std::shared_ptr<Cronet_UrlResponseInfo> RequestCore::MakeInfo(int status) const {
  auto info = std::make_shared<Cronet_UrlResponseInfo>();
  info->http_status_code = status;
  info->headers.reserve(net_.headers.size());
  for (const auto& h : net_.headers) {
    auto hh = std::make_unique<Cronet_HttpHeader>();
    hh->name = h.first;
    hh->value = h.second;
    info->headers.push_back(std::move(hh));
  }
  return info;
}

// ---------------------------------------------------------------------------
// API

Cronet_RESULT RequestCore::Init(Cronet_Engine* engine, const char* url,
                                Cronet_UrlRequestParams* params,
                                Cronet_UrlRequestCallback* callback, Cronet_Executor* executor) {
  if (!engine) return Cronet_RESULT_NULL_POINTER_ENGINE;
  if (!url || !*url) return Cronet_RESULT_NULL_POINTER_URL;
  if (!params) return Cronet_RESULT_NULL_POINTER_PARAMS;
  if (!callback) return Cronet_RESULT_NULL_POINTER_CALLBACK;
  if (!executor) return Cronet_RESULT_NULL_POINTER_EXECUTOR;
  std::lock_guard<std::mutex> l(mu_);
  if (state_ != State::kCreated) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_INITIALIZED;
  if (!engine->core->IsRunning()) return Cronet_RESULT_ILLEGAL_STATE;
  Cronet_RESULT rc = ValidateMethod(params->http_method);
  if (rc != Cronet_RESULT_SUCCESS) return rc;
  for (const auto& h : params->headers) {
    rc = ValidateRequestHeader(h.first, h.second);
    if (rc != Cronet_RESULT_SUCCESS) return rc;
  }
  engine_ = engine->core;
  url_ = url;
  provider_ = params->upload_data_provider;
  upload_executor_ = params->upload_data_provider_executor ? params->upload_data_provider_executor
                                                           : executor;
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

Cronet_RESULT RequestCore::Start() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (state_ == State::kCreated) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_NOT_INITIALIZED;
    if (state_ != State::kInitialized) return Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_STARTED;
    if (handle_destroyed_) return Cronet_RESULT_ILLEGAL_STATE;
    state_ = State::kStarted;
    withhold_terminal_ = g_withhold_terminal.load(std::memory_order_relaxed);
  }
  // GetLength runs on the caller's thread (an application thread).
  if (provider_ && provider_->get_length) upload_length_ = provider_->get_length(provider_);
  if (!engine_->Post(Command{CmdType::kStart, shared_from_this()})) {
    std::lock_guard<std::mutex> l(mu_);
    state_ = State::kInitialized;
    cancel_requested_ = false;
    return Cronet_RESULT_ILLEGAL_STATE;
  }
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT RequestCore::FollowRedirect() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!waiting_redirect_) return Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT;
    waiting_redirect_ = false;
    if (finished_) return Cronet_RESULT_SUCCESS;  // the terminal callback is on its way
  }
  engine_->Post(Command{CmdType::kFollow, shared_from_this()});
  return Cronet_RESULT_SUCCESS;
}

Cronet_RESULT RequestCore::Read(Cronet_Buffer* buffer) {
  size_t k = 0;
  bool served = false, resume = false, ended = false;
  std::shared_ptr<Cronet_UrlResponseInfo> info;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!waiting_read_) return Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ;
    if (!buffer) return Cronet_RESULT_NULL_POINTER;
    if (!buffer->data || buffer->size == 0) return Cronet_RESULT_ILLEGAL_ARGUMENT;
    waiting_read_ = false;
    if (!finished_ && !cancel_requested_) {
      std::lock_guard<std::mutex> q(queue_mu_);
      if (net_.buffered > 0) {
        k = CopyFromQueue(buffer);
        info = net_.info;
        resume = net_.recv_paused && net_.buffered <= kLowWater;
        served = true;
        waiting_read_ = true;
        ++fast_reads_;  // holds the terminal callback back until this one is queued
      } else if (body_eof_) {
        // The end of a body already in: succeed from here; the network thread
        // only has to drop its side, which nobody waits for.
        finished_ = true;
        state_ = State::kDone;
        terminal_ = Outcome{Outcome::kSucceeded, nullptr};
        terminal_info_ = net_.info;
        terminal_ready_ = true;
        if (provider_) close_wanted_ = true;
        ended = true;
      }
    }
    if (!served && !ended) pending_read_ = buffer;
  }
  if (ended) {
    delete buffer;
    engine_->Post(Command{CmdType::kRead, shared_from_this()});
    Advance();
    return Cronet_RESULT_SUCCESS;
  }
  if (!served) {
    // When the engine is stopping, its shutdown sweep ends the request and
    // destroys the pending buffer.
    engine_->Post(Command{CmdType::kRead, shared_from_this()});
    return Cronet_RESULT_SUCCESS;
  }
  Cronet_UrlRequest* req = handle_;
  PostToCallback(
      [req, info, buffer, k](Cronet_UrlRequestCallback* cb) {
        if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buffer, k);
      },
      buffer);
  {
    std::lock_guard<std::mutex> l(mu_);
    --fast_reads_;
  }
  // A kRead without a pending buffer only lets a paused transfer go on.
  if (resume) engine_->Post(Command{CmdType::kRead, shared_from_this()});
  Advance();
  return Cronet_RESULT_SUCCESS;
}

void RequestCore::Cancel() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (state_ != State::kStarted || cancel_requested_) return;
    if (g_unconfirmed_cancels.load(std::memory_order_relaxed)) return;
    cancel_requested_ = true;
  }
  engine_->Post(Command{CmdType::kCancel, shared_from_this()});
}

bool RequestCore::IsDone() {
  std::lock_guard<std::mutex> l(mu_);
  return state_ == State::kDone;
}

void RequestCore::OnHandleDestroyed() {
  {
    std::lock_guard<std::recursive_mutex> pl(post_mu_);  // no hand-over in progress elsewhere
    std::lock_guard<std::mutex> l(mu_);
    handle_destroyed_ = true;
  }
  Cronet_Buffer* pending = nullptr;
  bool close_now = false;
  bool abandon = false;
  {
    std::unique_lock<std::mutex> l(mu_);
    // Wait for callbacks of this request running on other threads.
    int mine = static_cast<int>(std::count(tl_in_callback.begin(), tl_in_callback.end(), this));
    cv_.wait(l, [&] { return running_callbacks_ <= mine; });
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
  if (abandon) engine_->Post(Command{CmdType::kAbandon, shared_from_this()});
}

// ---- upload data sink (application threads) ----

void RequestCore::SinkReadSucceeded(uint64_t bytes, bool final_chunk) {
  bool finished;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRead) return;
    provider_op_ = ProviderOp::kNone;
    sink_bytes_ = bytes;
    sink_final_ = final_chunk;
    finished = finished_;
  }
  // Once the request ended only Close (and the terminal callback) are left.
  if (finished || !engine_->Post(Command{CmdType::kUploadReady, shared_from_this()})) Advance();
}

void RequestCore::SinkReadError(const char* message) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRead) return;
    provider_op_ = ProviderOp::kNone;
    sink_error_ = message ? message : "";
  }
  if (!engine_->Post(Command{CmdType::kUploadError, shared_from_this()})) Advance();
}

void RequestCore::SinkRewindSucceeded() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRewind) return;
    provider_op_ = ProviderOp::kNone;
  }
  if (!engine_->Post(Command{CmdType::kRewindDone, shared_from_this()})) Advance();
}

void RequestCore::SinkRewindError(const char* message) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (provider_op_ != ProviderOp::kRewind) return;
    provider_op_ = ProviderOp::kNone;
    sink_error_ = message ? message : "";
  }
  if (!engine_->Post(Command{CmdType::kUploadError, shared_from_this()})) Advance();
}

// ---------------------------------------------------------------------------
// Ending a request: Close first (when there is a provider), then the terminal
// callback, each exactly once.

void RequestCore::RequestClose() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!provider_) return;
    close_wanted_ = true;
  }
  Advance();
}

void RequestCore::Advance() {
  bool post_close = false, post_terminal = false;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (handle_destroyed_) return;
    if (provider_ && close_wanted_ && close_state_ == CloseState::kOpen &&
        provider_op_ == ProviderOp::kNone) {
      close_state_ = CloseState::kPosted;
      post_close = true;
    }
    if (terminal_ready_ && !terminal_posted_ && fast_reads_ == 0 &&
        (!provider_ || close_state_ == CloseState::kDone)) {
      terminal_posted_ = true;
      post_terminal = true;
    }
  }
  if (post_close) PostClose();
  if (post_terminal) PostTerminal();
}

void RequestCore::PostClose() {
  Cronet_UploadDataProvider* p = provider_;
  std::weak_ptr<RequestCore> weak = weak_from_this();
  Post(upload_executor_, [p, weak] {
    if (p->close) p->close(p);
    if (auto self = weak.lock()) {
      {
        std::lock_guard<std::mutex> l(self->mu_);
        self->close_state_ = CloseState::kDone;
      }
      self->Advance();
    }
  });
}

void RequestCore::PostTerminal() {
  Outcome o;
  std::shared_ptr<Cronet_UrlResponseInfo> info;
  {
    std::lock_guard<std::mutex> l(mu_);
    o = terminal_;
    info = terminal_info_;
  }
  if (withhold_terminal_ || o.kind == Outcome::kAbandoned) return;
  Cronet_UrlRequest* req = handle_;
  RequestCore* self = this;  // alive: the runnable holds a reference
  auto clear = [self] {
    std::lock_guard<std::mutex> l(self->mu_);
    self->waiting_read_ = self->waiting_redirect_ = false;
  };
  switch (o.kind) {
    case Outcome::kSucceeded:
      PostToCallback([req, info, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_succeeded) cb->on_succeeded(cb, req, info.get());
      });
      break;
    case Outcome::kFailed: {
      auto err = o.error;
      PostToCallback([req, info, err, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_failed) cb->on_failed(cb, req, info.get(), err.get());
      });
      break;
    }
    case Outcome::kCanceled:
      PostToCallback([req, info, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_canceled) cb->on_canceled(cb, req, info.get());
      });
      break;
    case Outcome::kAbandoned:
      break;
  }
}

// Network thread: the request ends with this outcome (the first one wins).
void RequestCore::Finish(Outcome outcome) {
  Cronet_Buffer* pending = nullptr;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    finished_ = true;
    if (cancel_requested_ && outcome.kind != Outcome::kAbandoned) {
      outcome.kind = Outcome::kCanceled;
      outcome.error.reset();
    }
    state_ = State::kDone;
    pending = pending_read_;
    pending_read_ = nullptr;
    terminal_ = outcome;
    terminal_info_ = net_.response_started ? net_.info : nullptr;
    terminal_ready_ = true;
    if (provider_) close_wanted_ = true;
  }
  delete pending;
  delete net_.read_buf;
  net_.read_buf = nullptr;
  ClearQueue();
  DetachTransfer();
  engine_->Unregister(this);
  Advance();
}

void RequestCore::FailWith(int32_t net_error) {
  Outcome o;
  o.kind = Outcome::kFailed;
  o.error = MakeNetError(net_error);
  Finish(std::move(o));
}

void RequestCore::FailCallback(const std::string& message) {
  Outcome o;
  o.kind = Outcome::kFailed;
  o.error = std::make_shared<Cronet_Error>();
  o.error->error_code = Cronet_Error_ERROR_CODE_ERROR_CALLBACK;
  o.error->internal_error_code = 0;
  o.error->message = message;
  Finish(std::move(o));
}

// ---------------------------------------------------------------------------
// Network thread: transfers

void RequestCore::NetStart() {
  if (finished_) return;  // canceled before its start was handled
  engine_->Register(shared_from_this());
  bool destroyed, canceled;
  {
    std::lock_guard<std::mutex> l(mu_);
    destroyed = handle_destroyed_;
    canceled = cancel_requested_;
  }
  if (destroyed) {
    Finish(Outcome{Outcome::kAbandoned, nullptr});
    return;
  }
  if (canceled) {
    Finish(Outcome{Outcome::kCanceled, nullptr});
    return;
  }
  std::string url;
  int32_t rc = NormalizeUrl(url_, &url);
  if (rc != 0) {
    FailWith(rc);
    return;
  }
  net_.url = url;
  net_.method = method_;
  net_.send_body = provider_ != nullptr;
  if (provider_) {
    net_.upload_buf = new Cronet_Buffer;
    net_.upload_buf->data = std::malloc(kUploadBufferSize);
    net_.upload_buf->size = net_.upload_buf->data ? kUploadBufferSize : 0;
    if (upload_length_ == 0) net_.upload_eof = true;
  }
  StartTransfer();
}

void RequestCore::StartTransfer() {
  const EngineConfig& cfg = engine_->config();
  RemoveTransferNow();
  if (!net_.easy) {
    net_.easy = curl_easy_init();
    if (!net_.easy) {
      FailWith(ERR_OUT_OF_MEMORY);
      return;
    }
  } else {
    curl_easy_reset(net_.easy);
  }
  if (net_.slist) {
    curl_slist_free_all(net_.slist);
    net_.slist = nullptr;
  }
  // Per-response state.
  net_.headers.clear();
  net_.status = 0;
  net_.headers_done = false;
  net_.discard_body = false;
  net_.redirect_pending = false;
  net_.chunked = false;
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    net_.recv_paused = false;
  }
  net_.send_paused = false;
  net_.errbuf[0] = 0;

  CURL* e = net_.easy;
  curl_easy_setopt(e, CURLOPT_PRIVATE, this);
  curl_easy_setopt(e, CURLOPT_URL, net_.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SHARE, engine_->share());
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, net_.errbuf);
  curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 0L);
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 64L << 10);
  curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 64L << 10);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   cfg.http2 ? static_cast<long>(CURL_HTTP_VERSION_2TLS)
                             : static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Wait for a connection that may multiplex only where HTTP/2 is possible (TLS).
  if (cfg.http2 && SchemeOf(net_.url) == "https") curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
#ifdef CURLALTSVC_H3
  if (cfg.quic) curl_easy_setopt(e, CURLOPT_ALTSVC_CTRL, CURLALTSVC_H1 | CURLALTSVC_H2 | CURLALTSVC_H3);
#endif
  static const long kWeights[] = {1, 32, 64, 128, 256};
  curl_easy_setopt(e, CURLOPT_STREAM_WEIGHT, kWeights[std::clamp(priority_, 0, 4)]);
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, cfg.accept_encoding.c_str());
  curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 1L);
  // TLS.
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYPEER, cfg.skip_cert_verify ? 0L : 1L);
  curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYHOST, cfg.skip_cert_verify ? 0L : 2L);
  if (!cfg.ca_bundle.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, cfg.ca_bundle.c_str());
    curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, cfg.ca_bundle.c_str());
  }
  // Proxy: always explicit, so that proxy environment variables never apply.
  std::string scheme = SchemeOf(net_.url);
  ProxyServer proxy = cfg.proxies.ForScheme(scheme);
  net_.proxy = proxy.ToCurl();
  curl_easy_setopt(e, CURLOPT_PROXY, net_.proxy.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  // Callbacks.
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &RequestCore::HeaderCb);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &RequestCore::WriteCb);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);

  // Headers: the application's, and suppress libcurl's own where the browser
  // sends none.
  bool has_accept = false, has_expect = false, has_ctype = false, has_ua = false;
  for (const auto& h : headers_) {
    if (EqualsNoCase(h.first, "Accept")) has_accept = true;
    if (EqualsNoCase(h.first, "Expect")) has_expect = true;
    if (EqualsNoCase(h.first, "Content-Type")) has_ctype = true;
    if (EqualsNoCase(h.first, "User-Agent")) has_ua = true;
  }
  for (const std::string& line : BuildHeaderLines(headers_, has_ua ? nullptr : kUserAgent)) {
    curl_slist* n = curl_slist_append(net_.slist, line.c_str());
    if (n) net_.slist = n;
  }
  auto suppress = [&](const char* line) {
    curl_slist* n = curl_slist_append(net_.slist, line);
    if (n) net_.slist = n;
  };
  if (!has_accept) suppress("Accept:");
  if (!has_expect) suppress("Expect:");
  if (!has_ctype) suppress("Content-Type:");
  if (!has_ua) curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, net_.slist);

  // Method and body.
  const std::string& m = net_.method;
  if (net_.send_body) {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &RequestCore::ReadCb);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &RequestCore::SeekCb);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(upload_length_ >= 0 ? upload_length_ : -1));
    if (m != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m.c_str());
  } else if (m == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (m == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (m == "POST" || m == "PUT") {
    // As the browser does: an empty body with Content-Length: 0.
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    if (m != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m.c_str());
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m.c_str());
  }

  if (curl_multi_add_handle(engine_->multi(), e) != CURLM_OK) {
    FailWith(ERR_FAILED);
    return;
  }
  net_.in_multi = true;
  net_.detached = false;
  engine_->AddTransfer(shared_from_this());
}

// Removes the current transfer from the multi handle (aborting it when it is
// still running). Never called from inside a curl callback.
void RequestCore::RemoveTransferNow() {
  if (net_.in_multi) {
    curl_multi_remove_handle(engine_->multi(), net_.easy);
    net_.in_multi = false;
    engine_->RemoveTransfer(this);
  }
}

// The request no longer wants its transfer: callbacks discard from now on and
// the handle is cleaned up outside curl callbacks.
void RequestCore::DetachTransfer() {
  net_.detached = true;
  if (net_.easy || net_.in_multi) engine_->ScheduleCleanup(shared_from_this());
}

void RequestCore::NetCleanupTransfer() {
  if (!net_.detached) return;
  RemoveTransferNow();
  if (net_.easy) {
    curl_easy_cleanup(net_.easy);
    net_.easy = nullptr;
  }
  if (net_.slist) {
    curl_slist_free_all(net_.slist);
    net_.slist = nullptr;
  }
  // net_.upload_buf stays until the core goes: a provider read may still hold it.
}

void RequestCore::UpdatePause() {
  if (!net_.easy || !net_.in_multi) return;
  int mask = (net_.recv_paused ? CURLPAUSE_RECV : 0) | (net_.send_paused ? CURLPAUSE_SEND : 0);
  curl_easy_pause(net_.easy, mask);
}

// ---- response headers ----

size_t RequestCore::HeaderCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.detached) return 0;  // ended: stop the transfer at once
  self->OnHeaderLine(data, len);
  return self->net_.detached ? 0 : len;
}

void RequestCore::OnHeaderLine(const char* data, size_t n) {
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    // A status line starts a new response (interim 1xx ones are dropped).
    net_.header_bytes = 0;
    net_.headers.clear();
    net_.headers_done = false;
    net_.status = 0;
    size_t sp = line.find(' ');
    if (sp != std::string_view::npos) {
      int code = 0, digits = 0;
      for (size_t i = sp + 1; i < line.size() && digits < 3; ++i, ++digits) {
        if (line[i] < '0' || line[i] > '9') break;
        code = code * 10 + (line[i] - '0');
      }
      net_.status = code;
    }
    return;
  }
  if (net_.headers_done) return;  // trailers
  net_.header_bytes += n;
  if (net_.header_bytes > kMaxHeaderBytes) {  // the browser's limit
    FailWith(ERR_RESPONSE_HEADERS_TOO_BIG);
    return;
  }
  if (line.empty()) {
    if (net_.status >= 100 && net_.status < 200) {
      net_.headers.clear();  // interim response
      return;
    }
    net_.headers_done = true;
    OnHeadersComplete();
    return;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    // obs-fold continuation
    if (!net_.headers.empty()) {
      std::string_view cont = TrimWs(line);
      if (!cont.empty()) {
        std::string& v = net_.headers.back().second;
        if (!v.empty()) v += ' ';
        v.append(cont.data(), cont.size());
      }
    }
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return;
  std::string_view value = TrimWs(line.substr(colon + 1));
  net_.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
}

void RequestCore::OnHeadersComplete() {
  int status = net_.status;
  if (status == 0) {
    long code = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_RESPONSE_CODE, &code);
    status = static_cast<int>(code);
  }
  const std::string* location = nullptr;
  for (const auto& h : net_.headers) {
    if (!location && EqualsNoCase(h.first, "Location")) location = &h.second;
    if (EqualsNoCase(h.first, "Transfer-Encoding") &&
        h.second.find("chunked") != std::string::npos)
      net_.chunked = true;
  }
  bool redirect_code =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  if (redirect_code && location) {
    std::string target;
    int32_t rc = ResolveRedirect(net_.url, *location, &target);
    if (rc != 0) {
      FailWith(rc);
      return;
    }
    net_.discard_body = true;
    net_.redirect_pending = true;
    net_.redirect_status = status;
    net_.redirect_url = target;
    auto info = MakeInfo(status);
    {
      std::lock_guard<std::mutex> l(mu_);
      if (finished_) return;
      waiting_redirect_ = true;
    }
    Cronet_UrlRequest* req = handle_;
    PostToCallback([req, info, target](Cronet_UrlRequestCallback* cb) {
      if (cb->on_redirect_received) cb->on_redirect_received(cb, req, info.get(), target.c_str());
    });
    return;
  }
  net_.response_started = true;
  net_.info = MakeInfo(status);
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    waiting_read_ = true;
  }
  auto info = net_.info;
  Cronet_UrlRequest* req = handle_;
  PostToCallback([req, info](Cronet_UrlRequestCallback* cb) {
    if (cb->on_response_started) cb->on_response_started(cb, req, info.get());
  });
  // The provider is no longer needed once the response started and the
  // upload is over.
  if (provider_ && (!net_.send_body || (net_.upload_eof && net_.upload_avail == 0)))
    RequestClose();  // posted once no provider call is outstanding
}

// ---- response body ----

size_t RequestCore::WriteCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  Net& net = self->net_;
  size_t len = size * n;
  if (net.detached || net.discard_body || !net.response_started) return len;
  std::unique_lock<std::mutex> q(self->queue_mu_);
  if (net.read_buf && net.buffered == 0) {
    q.unlock();
    // A read is waiting: straight into the application's buffer.
    Cronet_Buffer* buf = net.read_buf;
    net.read_buf = nullptr;
    size_t k = static_cast<size_t>(std::min<uint64_t>(len, buf->size));
    std::memcpy(buf->data, data, k);
    if (k < len) self->AppendToQueue(data + k, len - k);
    {
      std::lock_guard<std::mutex> l(self->mu_);
      self->waiting_read_ = true;
    }
    auto info = net.info;
    Cronet_UrlRequest* req = self->handle_;
    self->PostToCallback(
        [req, info, buf, k](Cronet_UrlRequestCallback* cb) {
          if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buf, k);
        },
        buf);
    return len;
  }
  if (net.buffered >= kHighWater) {
    net.recv_paused = true;  // libcurl keeps this chunk and hands it over again later
    return CURL_WRITEFUNC_PAUSE;
  }
  net.chunks.emplace_back(data, len);
  net.buffered += len;
  AddBufferedBytes(static_cast<int64_t>(len));
  return len;
}

void RequestCore::AppendToQueue(const char* data, size_t n) {
  std::lock_guard<std::mutex> q(queue_mu_);
  net_.chunks.emplace_back(data, n);
  net_.buffered += n;
  AddBufferedBytes(static_cast<int64_t>(n));
}

void RequestCore::ClearQueue() {
  std::lock_guard<std::mutex> q(queue_mu_);
  if (net_.buffered) AddBufferedBytes(-static_cast<int64_t>(net_.buffered));
  net_.chunks.clear();
  net_.front_offset = 0;
  net_.buffered = 0;
}

size_t RequestCore::CopyFromQueue(Cronet_Buffer* buf) {
  size_t cap = static_cast<size_t>(buf->size);
  size_t copied = 0;
  char* dst = static_cast<char*>(buf->data);
  while (copied < cap && !net_.chunks.empty()) {
    std::string& front = net_.chunks.front();
    size_t avail = front.size() - net_.front_offset;
    size_t k = std::min(avail, cap - copied);
    std::memcpy(dst + copied, front.data() + net_.front_offset, k);
    copied += k;
    net_.front_offset += k;
    if (net_.front_offset == front.size()) {
      net_.chunks.pop_front();
      net_.front_offset = 0;
    }
  }
  net_.buffered -= copied;
  AddBufferedBytes(-static_cast<int64_t>(copied));
  return copied;
}

void RequestCore::TryServeRead() {
  if (!net_.read_buf) return;
  size_t k = 0;
  bool resume = false;
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    if (net_.buffered > 0) {
      k = CopyFromQueue(net_.read_buf);
      resume = net_.recv_paused && net_.buffered <= kLowWater;
    }
  }
  if (k > 0) {
    Cronet_Buffer* buf = net_.read_buf;
    net_.read_buf = nullptr;
    {
      std::lock_guard<std::mutex> l(mu_);
      waiting_read_ = true;
    }
    auto info = net_.info;
    Cronet_UrlRequest* req = handle_;
    PostToCallback(
        [req, info, buf, k](Cronet_UrlRequestCallback* cb) {
          if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buf, k);
        },
        buf);
    if (resume) MaybeResume();
    return;
  }
  if (!net_.body_complete) return;
  if (net_.body_error != 0) {
    FailWith(net_.body_error);
  } else {
    Finish(Outcome{Outcome::kSucceeded, nullptr});
  }
}

void RequestCore::MaybeResume() {
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    if (!net_.recv_paused || net_.buffered > kLowWater) return;
    net_.recv_paused = false;
  }
  UpdatePause();  // may hand over data at once (WriteCb)
}

void RequestCore::NetRead() {
  Cronet_Buffer* buf;
  {
    std::lock_guard<std::mutex> l(mu_);
    buf = pending_read_;
    pending_read_ = nullptr;
  }
  if (!buf) {
    bool ended;
    {
      std::lock_guard<std::mutex> l(mu_);
      ended = finished_;
    }
    if (!ended) {
      MaybeResume();
    } else if (net_.body_complete && !net_.detached) {
      // Read ended the request on its own thread: the network side of Finish.
      ClearQueue();
      DetachTransfer();
      engine_->Unregister(this);
    }
    return;
  }
  if (finished_) {
    delete buf;
    return;
  }
  delete net_.read_buf;  // cannot happen: one read at a time
  net_.read_buf = buf;
  TryServeRead();
}

// ---- redirects, cancel, end of transfer ----

void RequestCore::NetFollow() {
  if (finished_ || !net_.redirect_pending) return;
  net_.redirect_pending = false;
  if (net_.redirects_followed >= kMaxRedirects) {
    FailWith(ERR_TOO_MANY_REDIRECTS);
    return;
  }
  ++net_.redirects_followed;
  int status = net_.redirect_status;
  std::string& m = net_.method;
  bool to_get = ((status == 301 || status == 302) && m == "POST") ||
                (status == 303 && m != "HEAD");
  if (to_get && m != "GET") {
    m = "GET";
    net_.send_body = false;
    {
      // The body goes, and with it the headers that describe it.
      headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                    [](const std::pair<std::string, std::string>& h) {
                                      return EqualsNoCase(h.first, "Content-Type") ||
                                             EqualsNoCase(h.first, "Content-Encoding") ||
                                             EqualsNoCase(h.first, "Content-Language") ||
                                             EqualsNoCase(h.first, "Content-Location") ||
                                             EqualsNoCase(h.first, "Content-Length");
                                    }),
                     headers_.end());
    }
  }
  if (OriginOf(net_.url) != OriginOf(net_.redirect_url)) {
    headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                  [](const std::pair<std::string, std::string>& h) {
                                    return EqualsNoCase(h.first, "Authorization");
                                  }),
                   headers_.end());
  }
  net_.url = net_.redirect_url;
  RemoveTransferNow();
  if (net_.send_body && net_.upload_touched) {
    RequestProviderRewind();  // the new transfer starts once the rewind is done
    return;
  }
  StartTransfer();
}

void RequestCore::NetCancel() { Finish(Outcome{Outcome::kCanceled, nullptr}); }

void RequestCore::NetAbandon() { Finish(Outcome{Outcome::kAbandoned, nullptr}); }

void RequestCore::NetShutdownAbort() { FailWith(ERR_ABORTED); }

void RequestCore::NetTransferDone(CURLcode result) {
  CurlFailure f;
  f.code = result;
  if (result != CURLE_OK && net_.easy) {
    curl_easy_getinfo(net_.easy, CURLINFO_OS_ERRNO, &f.os_errno);
    curl_easy_getinfo(net_.easy, CURLINFO_SSL_VERIFYRESULT, &f.ssl_verify_result);
    curl_easy_getinfo(net_.easy, CURLINFO_PROXY_ERROR, &f.proxy_error);
    curl_easy_getinfo(net_.easy, CURLINFO_HTTP_CONNECTCODE, &f.connect_code);
    curl_off_t connect_time = 0;
    curl_easy_getinfo(net_.easy, CURLINFO_CONNECT_TIME_T, &connect_time);
    f.connected = connect_time > 0;
  }
  f.via_proxy = !net_.proxy.empty();
  f.proxy_is_socks = net_.proxy.compare(0, 5, "socks") == 0;
  f.message = net_.errbuf;
  f.in_headers = net_.status != 0 && !net_.headers_done;
  f.chunked = net_.chunked;
  f.got_headers = net_.headers_done;
  RemoveTransferNow();
  if (finished_ || net_.detached) return;
  if (net_.redirect_pending) return;  // the redirect is reported; its body does not matter
  if (result == CURLE_SEND_FAIL_REWIND && !net_.response_started &&
      net_.rewind_retries < kMaxRewindRetries) {
    // libcurl wants to send the body again (a retry on a fresh connection).
    ++net_.rewind_retries;
    RequestProviderRewind();
    return;
  }
  if (result != CURLE_OK) {
    if (net_.response_started) {
      // As with the browser's pull model, a failure in the body reaches the
      // application through its reads: data received before it first.
      net_.body_complete = true;
      net_.body_error = MapCurlFailure(f);
      TryServeRead();
      return;
    }
    FailWith(MapCurlFailure(f));
    return;
  }
  if (!net_.response_started) {
    FailWith(net_.headers_done ? ERR_INVALID_HTTP_RESPONSE : ERR_EMPTY_RESPONSE);
    return;
  }
  net_.body_complete = true;
  {
    std::lock_guard<std::mutex> q(queue_mu_);
    body_eof_ = true;
  }
  TryServeRead();
}

// ---- upload ----

size_t RequestCore::ReadCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  Net& net = self->net_;
  size_t cap = size * n;
  if (net.detached || !net.upload_buf) return CURL_READFUNC_ABORT;
  if (net.upload_avail > 0) {
    size_t k = static_cast<size_t>(std::min<uint64_t>(cap, net.upload_avail));
    std::memcpy(data, static_cast<char*>(net.upload_buf->data) + net.upload_off, k);
    net.upload_off += k;
    net.upload_avail -= k;
    net.upload_sent += k;
    if (net.upload_avail == 0 && !net.upload_eof) self->RequestProviderRead();  // prefetch
    return k;
  }
  if (net.upload_eof) return 0;
  if (!net.read_outstanding && !net.rewind_outstanding) self->RequestProviderRead();
  net.send_paused = true;
  return CURL_READFUNC_PAUSE;
}

int RequestCore::SeekCb(void* p, curl_off_t offset, int origin) {
  auto* self = static_cast<RequestCore*>(p);
  // Only "back to the start" before anything was handed to libcurl can be
  // done at once; anything else goes through the provider's Rewind.
  if (origin == SEEK_SET && offset == 0 && self->net_.upload_sent == 0)
    return CURL_SEEKFUNC_OK;
  return CURL_SEEKFUNC_CANTSEEK;
}

void RequestCore::RequestProviderRead() {
  if (net_.read_outstanding || net_.rewind_outstanding || finished_) return;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_ || provider_op_ != ProviderOp::kNone) return;
    provider_op_ = ProviderOp::kRead;
  }
  net_.read_outstanding = true;
  net_.upload_touched = true;
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Cronet_Buffer* buf = net_.upload_buf;
  Post(upload_executor_, [p, sink, buf] {
    if (p->read) p->read(p, sink, buf);
  });
}

void RequestCore::RequestProviderRewind() {
  if (net_.read_outstanding) {
    net_.rewind_wanted = true;  // once the read is back
    return;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    provider_op_ = ProviderOp::kRewind;
  }
  net_.rewind_outstanding = true;
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Post(upload_executor_, [p, sink] {
    if (p->rewind) p->rewind(p, sink);
  });
}

void RequestCore::NetUploadReady() {
  uint64_t bytes;
  bool fin;
  {
    std::lock_guard<std::mutex> l(mu_);
    bytes = sink_bytes_;
    fin = sink_final_;
  }
  net_.read_outstanding = false;
  Advance();  // a Close may have waited for this read
  if (finished_) return;
  if (net_.rewind_wanted) {
    net_.rewind_wanted = false;
    RequestProviderRewind();
    return;
  }
  if (!net_.upload_buf || bytes > net_.upload_buf->size) {
    FailCallback("UploadDataProvider: read reported more bytes than the buffer holds");
    return;
  }
  if (upload_length_ >= 0) {
    if (net_.upload_received + bytes > static_cast<uint64_t>(upload_length_)) {
      FailCallback("UploadDataProvider: read more bytes than GetLength announced");
      return;
    }
    net_.upload_received += bytes;
    if (net_.upload_received == static_cast<uint64_t>(upload_length_)) net_.upload_eof = true;
  } else {
    net_.upload_received += bytes;
    if (fin) net_.upload_eof = true;
  }
  net_.upload_avail = bytes;
  net_.upload_off = 0;
  if (net_.send_paused) {
    net_.send_paused = false;
    UpdatePause();
  }
  if (net_.upload_eof && net_.upload_avail == 0 && net_.response_started) RequestClose();
}

void RequestCore::NetUploadError() {
  std::string message;
  {
    std::lock_guard<std::mutex> l(mu_);
    message = sink_error_;
  }
  net_.read_outstanding = false;
  net_.rewind_outstanding = false;
  FailCallback(message.empty() ? std::string("UploadDataProvider error") : message);
}

void RequestCore::NetRewindDone() {
  net_.rewind_outstanding = false;
  Advance();
  if (finished_) return;
  net_.upload_avail = net_.upload_off = net_.upload_sent = net_.upload_received = 0;
  net_.upload_eof = upload_length_ == 0;
  net_.upload_touched = false;
  StartTransfer();
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
  self->core->OnHandleDestroyed();
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
  return self->core->Init(engine, url, params, callback, executor);
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Start(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_Start");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->Start();
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_FollowRedirect(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_FollowRedirect");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->FollowRedirect();
}

CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Read(Cronet_UrlRequestPtr self,
                                                   Cronet_BufferPtr buffer) {
  CRONET_JOURNAL("Cronet_UrlRequest_Read");
  if (!self) return Cronet_RESULT_NULL_POINTER;
  return self->core->Read(buffer);
}

CRONET_EXPORT void Cronet_UrlRequest_Cancel(Cronet_UrlRequestPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequest_Cancel");
  if (self) self->core->Cancel();
}

CRONET_EXPORT bool Cronet_UrlRequest_IsDone(Cronet_UrlRequestPtr self) {
  return self ? self->core->IsDone() : false;
}

CRONET_EXPORT void Cronet_UploadDataSink_OnReadSucceeded(Cronet_UploadDataSinkPtr self,
                                                         uint64_t bytes_read, bool final_chunk) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnReadSucceeded", bytes_read, final_chunk);
  if (self && self->core) self->core->SinkReadSucceeded(bytes_read, final_chunk);
}

CRONET_EXPORT void Cronet_UploadDataSink_OnReadError(Cronet_UploadDataSinkPtr self,
                                                     Cronet_String message) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnReadError", message);
  if (self && self->core) self->core->SinkReadError(message);
}

CRONET_EXPORT void Cronet_UploadDataSink_OnRewindSucceeded(Cronet_UploadDataSinkPtr self) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnRewindSucceeded");
  if (self && self->core) self->core->SinkRewindSucceeded();
}

CRONET_EXPORT void Cronet_UploadDataSink_OnRewindError(Cronet_UploadDataSinkPtr self,
                                                       Cronet_String message) {
  CRONET_JOURNAL("Cronet_UploadDataSink_OnRewindError", message);
  if (self && self->core) self->core->SinkRewindError(message);
}

}  // extern "C"
