#include <atomic>
#include <new>
#include <string_view>
#include <utility>

#include "diag.h"
#include "executor.h"
#include "fault.h"
#include "request.h"
#include "session.h"
#include "session_manager.h"
#include "upload.h"

namespace tarnwick {

Admission::Admission() = default;
Admission::Admission(Admission&&) noexcept = default;
Admission& Admission::operator=(Admission&&) noexcept = default;
Admission::~Admission() = default;

namespace {

std::atomic<bool> g_input_checks{true};

void check_nul(std::string_view text, const char* what) {
  const auto at = text.find('\0');
  if (at != std::string_view::npos)
    raise_fault(diag::cat(kUnwrapErr, ": NUL byte at position ", at, " of ", what));
}

bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!is_tchar(c)) return false;
  return true;
}

}  // namespace

void set_input_checks_for_testing(bool on) noexcept { g_input_checks.store(on); }

std::optional<std::string> refuse_reason(const RequestSpec& spec) {
  check_nul(spec.method, "the HTTP method");
  check_nul(spec.url, "the URL");
  for (const HeaderPair& h : spec.headers) {
    check_nul(h.name, "an HTTP header name");
    check_nul(h.value, "an HTTP header value");
  }
  // An empty method is Cronet's default (GET, or POST with a body).
  if (!spec.method.empty() && !is_token(spec.method))
    return diag::cat("invalid HTTP method '", spec.method, "'");
  if (spec.url.empty()) return std::string("empty URL");
  for (const HeaderPair& h : spec.headers) {
    if (h.name.empty()) return std::string("empty HTTP header name");
    if (h.value.empty()) return diag::cat("empty HTTP header value for '", h.name, "'");
    if (!is_token(h.name)) return diag::cat("invalid HTTP header name '", h.name, "'");
    if (h.value.find_first_of("\r\n") != std::string::npos)
      return diag::cat("invalid HTTP header value for '", h.name, "'");
  }
  return std::nullopt;
}

namespace {

// An admission that failed before Cronet took the request: the reason is
// already waiting on the receiver and there is no request to release.
Admission failed_admission(std::shared_ptr<RequestState> state, std::string reason) {
  ResultSender(state).send(RequestResult(std::in_place_index<1>, std::move(reason)));
  Admission out;
  out.receiver = std::make_unique<ResultReceiver>(state);
  return out;
}

// Holds the session slot an admission took and everything made after it. Until
// the request is started and handed over, leaving its scope (a refusal by
// Cronet, or an exception such as a failed allocation) gives all of it back:
// the callback forgets its context, the context, params and Cronet objects are
// freed, and the slot is returned last.
class AdmissionGuard {
 public:
  explicit AdmissionGuard(const SharedCounter& active)
      : active_(active), count_(active->fetch_add(1, std::memory_order_acq_rel) + 1) {}
  AdmissionGuard(const AdmissionGuard&) = delete;
  AdmissionGuard& operator=(const AdmissionGuard&) = delete;
  ~AdmissionGuard() { undo(); }

  // The count of active requests once this one was added.
  std::size_t count() const noexcept { return count_; }

  // Hands the objects to a request that Cronet started: nothing is undone any
  // more and nothing here can fail, as its memory was set aside beforehand.
  std::unique_ptr<CronetRequest> commit(std::shared_ptr<RequestState> state) noexcept {
    static_cast<void>(context.release());  // the callback's now, freed by complete_request
    auto* request = new (std::exchange(storage_, nullptr))
        CronetRequest(std::move(objects), std::move(state));
    active_.reset();
    return std::unique_ptr<CronetRequest>(request);
  }

  // Memory for the CronetRequest, taken before the request starts so that no
  // allocation can fail after it started.
  void reserve_request() { storage_ = ::operator new(sizeof(CronetRequest)); }

  std::unique_ptr<RequestContext> context;
  RequestObjects objects;
  Cronet_UrlRequestParamsPtr params = nullptr;

 private:
  void undo() noexcept {
    if (!active_) return;
    // Nothing was started, so no callback will ever free what Cronet was given.
    if (objects.callback) Cronet_UrlRequestCallback_SetClientContext(objects.callback, nullptr);
    context.reset();
    if (params) Cronet_UrlRequestParams_Destroy(std::exchange(params, nullptr));
    if (objects.upload_provider) upload_close(objects.upload_provider);
    objects.destroy();
    ::operator delete(std::exchange(storage_, nullptr));
    active_->fetch_sub(1, std::memory_order_acq_rel);
    active_.reset();
  }

  SharedCounter active_;
  std::size_t count_;
  void* storage_ = nullptr;
};

}  // namespace

std::optional<Admission> SessionManager::send_request(const std::string& session_id,
                                                      RequestSpec& spec) {
  PoisonRwLock::Shared lock(impl_->lock);
  auto it = impl_->sessions.find(session_id);
  if (it == impl_->sessions.end()) return std::nullopt;
  Session& session = *it->second;

  // A session inherited through fork(): its engine and executor thread stay
  // with the parent, so the request fails at once rather than by its timeout.
  if (session.orphaned())
    return failed_admission(
        std::make_shared<RequestState>(),
        diag::cat("Session ", session_id, " belongs to process ", session.owner_pid,
                  "; a forked process must create its own client and sessions"));

  const std::size_t n = session.active_requests->load(std::memory_order_acquire);
  if (n >= session.max_concurrent) {
    TW_WARN("Session ", session_id, " reached max concurrent requests limit: ", n, "/",
            session.max_concurrent);
    return std::nullopt;
  }

  // After the lookup and the limit, as a refusal comes first, but before the
  // slot and any Cronet object, so a refused text leaves nothing behind.
  if (g_input_checks.load(std::memory_order_relaxed)) {
    if (auto reason = refuse_reason(spec))
      return failed_admission(std::make_shared<RequestState>(), std::move(*reason));
  }
  AdmissionGuard guard(session.active_requests);
  TW_DEBUG("Using session ", session_id, " to send request to ", spec.url, " (active: ",
           guard.count(), "/", session.max_concurrent, ")");

  auto state = std::make_shared<RequestState>();
  Admission out;
  out.receiver = std::make_unique<ResultReceiver>(state);
  guard.reserve_request();
  guard.context = std::make_unique<RequestContext>(state, session.active_requests);

  RequestObjects& objects = guard.objects;
  objects.executor_context = std::make_unique<ExecutorContext>(session);
  objects.executor = Cronet_Executor_CreateWith(execute_on_session_thread);
  Cronet_Executor_SetClientContext(objects.executor, objects.executor_context.get());

  objects.callback = Cronet_UrlRequestCallback_CreateWith(
      on_redirect_received, on_response_started, on_read_completed, on_succeeded, on_failed,
      on_canceled);
  Cronet_UrlRequestCallback_SetClientContext(objects.callback, guard.context.get());

  objects.request = Cronet_UrlRequest_Create();
  guard.params = Cronet_UrlRequestParams_Create();
  Cronet_UrlRequestParamsPtr params = guard.params;
  Cronet_UrlRequestParams_http_method_set(params, spec.method.c_str());
  Cronet_UrlRequestParams_priority_set(
      params, Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_HIGHEST);
  for (const HeaderPair& h : spec.headers) {
    Cronet_HttpHeaderPtr header = Cronet_HttpHeader_Create();
    Cronet_HttpHeader_name_set(header, h.name.c_str());
    Cronet_HttpHeader_value_set(header, h.value.c_str());
    Cronet_UrlRequestParams_request_headers_add(params, header);
    Cronet_HttpHeader_Destroy(header);
  }
  const bool lent = !spec.lent_body.bytes.empty();
  if (lent || !spec.body.empty()) {
    // Lent bytes are read in place; an owned body is moved, never copied.
    objects.upload_provider =
        lent ? make_upload_provider(spec.lent_body.bytes, objects.upload_body)
             : make_upload_provider(std::move(spec.body), objects.upload_body);
    Cronet_UrlRequestParams_upload_data_provider_set(params, objects.upload_provider);
    Cronet_UrlRequestParams_upload_data_provider_executor_set(params, objects.executor);
  }

  const char* failed_call = "Cronet_UrlRequest_InitWithParams";
  Cronet_RESULT rc = Cronet_UrlRequest_InitWithParams(objects.request, session.engine,
                                                      spec.url.c_str(), params, objects.callback,
                                                      objects.executor);
  Cronet_UrlRequestParams_Destroy(std::exchange(guard.params, nullptr));
  if (rc == Cronet_RESULT_SUCCESS) {
    failed_call = "Cronet_UrlRequest_Start";
    rc = Cronet_UrlRequest_Start(objects.request);
  }
  if (rc != Cronet_RESULT_SUCCESS) {
    // The guard gives the slot and the objects back when this returns.
    guard.context->sender.send(RequestResult(
        std::in_place_index<1>, diag::cat(failed_call, " returned ", static_cast<int>(rc))));
    return out;
  }

  out.request = guard.commit(std::move(state));
  if (lent) out.request->keep_on_abandon(spec.lent_body);
  out.timeout_ms = session.config.timeout_ms;
  return out;
}

}  // namespace tarnwick
