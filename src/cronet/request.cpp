#include "request.h"

#include <new>

#include "diag.h"
#include "executor.h"
#include "platform.h"
#include "text.h"
#include "upload.h"

namespace tarnwick {

// ---- one-shot result channel ----------------------------------------------

bool RequestState::send(RequestResult value) {
  {
    std::lock_guard<std::mutex> g(mu);
    if (closed || receiver_gone || result.has_value()) return false;
    result.emplace(std::move(value));
  }
  cv.notify_one();
  return true;
}

void RequestState::close() {
  {
    std::lock_guard<std::mutex> g(mu);
    closed = true;
  }
  cv.notify_one();
}

bool ResultSender::send(RequestResult value) {
  if (!s_) return false;
  bool ok = s_->send(std::move(value));
  s_.reset();  // one shot
  return ok;
}

void ResultSender::reset() {
  if (!s_) return;
  s_->close();
  s_.reset();
}

ResultReceiver::~ResultReceiver() {
  if (!s_) return;
  std::optional<RequestResult> dropped;
  {
    std::lock_guard<std::mutex> g(s_->mu);
    s_->receiver_gone = true;
    dropped.swap(s_->result);
  }
}

std::optional<RequestResult> ResultReceiver::recv() {
  std::unique_lock<std::mutex> g(s_->mu);
  s_->cv.wait(g, [&] { return s_->result.has_value() || s_->closed; });
  std::optional<RequestResult> out;
  out.swap(s_->result);
  return out;
}

std::optional<RequestResult> ResultReceiver::try_recv() {
  std::lock_guard<std::mutex> g(s_->mu);
  std::optional<RequestResult> out;
  out.swap(s_->result);
  return out;
}

// ---- Cronet objects and release ------------------------------------------

RequestObjects::RequestObjects() = default;

RequestObjects::RequestObjects(RequestObjects&& o) noexcept
    : upload_provider(std::exchange(o.upload_provider, nullptr)),
      request(std::exchange(o.request, nullptr)),
      callback(std::exchange(o.callback, nullptr)),
      executor(std::exchange(o.executor, nullptr)),
      executor_context(std::move(o.executor_context)),
      upload_body(std::exchange(o.upload_body, nullptr)) {}

RequestObjects& RequestObjects::operator=(RequestObjects&& o) noexcept {
  if (this != &o) {
    destroy();
    upload_provider = std::exchange(o.upload_provider, nullptr);
    request = std::exchange(o.request, nullptr);
    callback = std::exchange(o.callback, nullptr);
    executor = std::exchange(o.executor, nullptr);
    executor_context = std::move(o.executor_context);
    upload_body = std::exchange(o.upload_body, nullptr);
  }
  return *this;
}

RequestObjects::~RequestObjects() { destroy(); }

void RequestObjects::destroy() noexcept {
  if (request) Cronet_UrlRequest_Destroy(std::exchange(request, nullptr));
  if (callback) Cronet_UrlRequestCallback_Destroy(std::exchange(callback, nullptr));
  if (executor) Cronet_Executor_Destroy(std::exchange(executor, nullptr));
  // The context's sender clone may be the session's last: its executor thread ends then.
  executor_context.reset();
  if (upload_provider) Cronet_UploadDataProvider_Destroy(std::exchange(upload_provider, nullptr));
  release_upload_body(std::exchange(upload_body, nullptr));
}

CronetRequest::~CronetRequest() {
  if (!completed()) {
    TW_DEBUG("CronetRequest::drop - Request not completed, canceling...");
    if (objects_.request) Cronet_UrlRequest_Cancel(objects_.request);
    const std::uint64_t start = platform::monotonic_ns();
    while (!completed()) {
      if (platform::monotonic_ns() - start > kCancelWaitNs) {
        TW_WARN("CronetRequest::drop - Timeout waiting for cancel callback");
        if (abandon()) return;
        break;  // the terminal callback came in just now
      }
      platform::sleep_ms(kCancelPollMs);
    }
  }
  objects_.destroy();
}

// Cronet may still call into these objects, so they must outlive this release:
// the terminal callback, if it ever comes, destroys them once it has returned.
// False when that callback already finished and the caller may destroy them.
bool CronetRequest::abandon() noexcept {
  state_->leftovers = std::move(objects_);
  int expected = RequestState::kRunning;
  if (state_->phase.compare_exchange_strong(expected, RequestState::kAbandoned,
                                            std::memory_order_acq_rel)) {
    // Cronet may still read the upload body after this call has returned.
    if (lent_.keep != nullptr) lent_.keep(lent_.owner);
    // Nobody will send a result now: let the forwarding thread go.
    state_->close();
    return true;
  }
  objects_ = std::move(state_->leftovers);
  return false;
}

// ---- callbacks -------------------------------------------------------------

namespace {

RequestContext* context_of(Cronet_UrlRequestCallbackPtr callback) {
  return static_cast<RequestContext*>(Cronet_UrlRequestCallback_GetClientContext(callback));
}

void read_next(Cronet_UrlRequestPtr request) {
  Cronet_BufferPtr buffer = Cronet_Buffer_Create();
  Cronet_Buffer_InitWithAlloc(buffer, kReadBufferSize);
  // A refused read leaves the buffer with us.
  if (Cronet_UrlRequest_Read(request, buffer) != Cronet_RESULT_SUCCESS)
    Cronet_Buffer_Destroy(buffer);
}

void run_cleanup(Cronet_RunnablePtr runnable) {
  delete static_cast<RequestObjects*>(Cronet_Runnable_GetClientContext(runnable));
}

// Destroys the objects on the executor thread once the current runnable (the
// terminal callback, still inside Cronet) has returned.
void schedule_cleanup(RequestObjects&& leftovers) {
  if (!leftovers.executor_context) return;
  auto* owned = new RequestObjects(std::move(leftovers));
  Cronet_RunnablePtr runnable = Cronet_Runnable_CreateWith(run_cleanup);
  Cronet_Runnable_SetClientContext(runnable, owned);
  post_runnable(*owned->executor_context, runnable);
}

}  // namespace

void on_redirect_received(Cronet_UrlRequestCallbackPtr, Cronet_UrlRequestPtr request,
                          Cronet_UrlResponseInfoPtr, Cronet_String) {
  Cronet_UrlRequest_FollowRedirect(request);
}

// A body or header list too big for memory must not unwind through Cronet:
// drop what was gathered and cancel, so the request ends with its own text.
void give_up_for_memory(RequestContext* ctx, Cronet_UrlRequestPtr request) noexcept {
  ctx->body.clear();
  std::vector<HeaderPair>().swap(ctx->headers);
  ctx->out_of_memory = true;
  Cronet_UrlRequest_Cancel(request);
}

namespace {

// The body length a Content-Length value announces; 0 when it is not a plain
// decimal number.
std::uint64_t announced_length(const char* value) {
  std::uint64_t n = 0;
  const char* p = value;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (n > (UINT64_MAX - 9) / 10) return 0;
    n = n * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  while (*p == ' ' || *p == '\t') ++p;
  return *p == '\0' ? n : 0;
}

bool is_content_length(const char* name) {
  static constexpr char kName[] = "content-length";
  for (std::size_t i = 0; i < sizeof kName - 1; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return name[sizeof kName - 1] == '\0';
}

// Sizes the body buffer for the announced length, so a large body is not
// regrown piece by piece. Only a hint: a server may announce more or less than
// it sends (or an encoded length), so the capacity is capped and the buffer
// still grows past it when needed.
void presize_body(ByteBuffer& body, std::uint64_t announced) noexcept {
  if (announced == 0) return;
  try {
    body.reserve(
        static_cast<std::size_t>(announced < kMaxBodyPresize ? announced : kMaxBodyPresize));
  } catch (const std::bad_alloc&) {
    // Then it grows as it arrives, and fails there if it really does not fit.
  }
}

}  // namespace

void on_response_started(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                         Cronet_UrlResponseInfoPtr info) {
  TW_DEBUG("on_response_started");
  RequestContext* ctx = context_of(self);
  if (ctx == nullptr) return;
  ctx->status_code = Cronet_UrlResponseInfo_http_status_code_get(info);
  std::uint32_t n = Cronet_UrlResponseInfo_all_headers_list_size(info);
  std::uint64_t announced = 0;
  try {
    ctx->headers.reserve(ctx->headers.size() + n);
    for (std::uint32_t i = 0; i < n; ++i) {
      Cronet_HttpHeaderPtr header = Cronet_UrlResponseInfo_all_headers_list_at(info, i);
      if (header == nullptr) continue;
      Cronet_String name = Cronet_HttpHeader_name_get(header);
      Cronet_String value = Cronet_HttpHeader_value_get(header);
      if (name == nullptr || value == nullptr) continue;
      if (announced == 0 && is_content_length(name)) announced = announced_length(value);
      ctx->headers.push_back(HeaderPair{decode_utf8_lossy(name), decode_utf8_lossy(value)});
    }
  } catch (const std::bad_alloc&) {
    give_up_for_memory(ctx, request);
    return;
  }
  presize_body(ctx->body, announced);
  read_next(request);
}

void on_read_completed(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                       Cronet_UrlResponseInfoPtr, Cronet_BufferPtr buffer,
                       std::uint64_t bytes_read) {
  TW_DEBUG("on_read_completed: ", bytes_read, " bytes");
  if (RequestContext* ctx = context_of(self)) {
    // Never trust a count beyond the buffer we handed out.
    std::uint64_t size = Cronet_Buffer_GetSize(buffer);
    std::uint64_t n = bytes_read < size ? bytes_read : size;
    try {
      if (n > 0) ctx->body.append(Cronet_Buffer_GetData(buffer), static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
      Cronet_Buffer_Destroy(buffer);
      give_up_for_memory(ctx, request);
      return;
    }
  }
  Cronet_Buffer_Destroy(buffer);
  read_next(request);
}

void on_succeeded(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr,
                  Cronet_UrlResponseInfoPtr) {
  TW_DEBUG("on_succeeded");
  complete_request(self, std::nullopt);
}

void on_failed(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr, Cronet_UrlResponseInfoPtr,
               Cronet_ErrorPtr error) {
  TW_DEBUG("on_failed");
  complete_request(self, decode_utf8_lossy(error ? Cronet_Error_message_get(error) : nullptr));
}

void on_canceled(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr,
                 Cronet_UrlResponseInfoPtr) {
  TW_DEBUG("on_canceled");
  const RequestContext* ctx = context_of(self);
  complete_request(self, std::string(ctx && ctx->out_of_memory ? kOutOfMemoryText : "Canceled"));
}

std::string describe_outcome(const std::optional<std::string>& failure) {
  if (!failure) return "Ok(())";
  std::string out = "Err(";
  append_quoted(out, *failure);
  out.push_back(')');
  return out;
}

void complete_request(Cronet_UrlRequestCallbackPtr callback, std::optional<std::string> failure) {
  std::unique_ptr<RequestContext> ctx(context_of(callback));
  if (!ctx) return;  // a second terminal callback finds nothing to complete
  Cronet_UrlRequestCallback_SetClientContext(callback, nullptr);

  std::shared_ptr<RequestState> state = ctx->state;
  // Slot first: whoever sees `completed` (a release after a cancel) also finds
  // the slot free, so its next request is never refused by a stale count.
  ctx->active_requests->fetch_sub(1, std::memory_order_acq_rel);
  state->completed.store(true, std::memory_order_release);
  TW_DEBUG("complete_request: ", describe_outcome(failure));

  if (failure) {
    ctx->sender.send(RequestResult(std::in_place_index<1>, std::move(*failure)));
  } else {
    ctx->sender.send(RequestResult(
        std::in_place_index<0>,
        ResponseData{ctx->status_code, std::move(ctx->headers), std::move(ctx->body)}));
  }
  ctx.reset();

  int expected = RequestState::kRunning;
  if (!state->phase.compare_exchange_strong(expected, RequestState::kTerminal,
                                            std::memory_order_acq_rel)) {
    // The release gave up waiting and left the objects to us.
    schedule_cleanup(std::move(state->leftovers));
  }
}

}  // namespace tarnwick
