#include "admission.h"

#include <new>
#include <utility>

#include "diag.h"
#include "executor.h"
#include "request.h"
#include "session.h"
#include "upload.h"

namespace tarnwick {

Admission::Admission() = default;
Admission::Admission(Admission&&) noexcept = default;
Admission& Admission::operator=(Admission&&) noexcept = default;
Admission::~Admission() = default;

Admission failed_admission(std::string reason) {
  auto state = std::make_shared<RequestState>();
  ResultSender(state).send(RequestResult(std::in_place_index<1>, std::move(reason)));
  Admission out;
  out.receiver = std::make_unique<ResultReceiver>(state);
  return out;
}

namespace {

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
    auto* request =
        new (std::exchange(storage_, nullptr)) CronetRequest(std::move(objects), std::move(state));
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

// The executor that runs the request's callbacks on the session's thread, the
// callback that fills the guard's context, and the request itself.
void make_request_objects(AdmissionGuard& guard, Session& session) {
  RequestObjects& objects = guard.objects;
  objects.executor_context = std::make_unique<ExecutorContext>(session);
  objects.executor = Cronet_Executor_CreateWith(execute_on_session_thread);
  Cronet_Executor_SetClientContext(objects.executor, objects.executor_context.get());

  objects.callback =
      Cronet_UrlRequestCallback_CreateWith(on_redirect_received, on_response_started,
                                           on_read_completed, on_succeeded, on_failed, on_canceled);
  Cronet_UrlRequestCallback_SetClientContext(objects.callback, guard.context.get());

  objects.request = Cronet_UrlRequest_Create();
}

// Method, priority, headers and the upload body. Lent bytes are read in place;
// an owned body is moved, never copied.
void make_params(AdmissionGuard& guard, RequestSpec& spec) {
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
  if (!lent && spec.body.empty()) return;
  RequestObjects& objects = guard.objects;
  objects.upload_provider = lent ? make_upload_provider(spec.lent_body.bytes, objects.upload_body)
                                 : make_upload_provider(std::move(spec.body), objects.upload_body);
  Cronet_UrlRequestParams_upload_data_provider_set(params, objects.upload_provider);
  Cronet_UrlRequestParams_upload_data_provider_executor_set(params, objects.executor);
}

// Hands the request to Cronet and starts it; the params go either way. The
// failure text names the call that refused.
std::optional<std::string> init_and_start(AdmissionGuard& guard, Cronet_EnginePtr engine,
                                          const std::string& url) {
  RequestObjects& objects = guard.objects;
  const char* failed_call = "Cronet_UrlRequest_InitWithParams";
  Cronet_RESULT rc = Cronet_UrlRequest_InitWithParams(
      objects.request, engine, url.c_str(), guard.params, objects.callback, objects.executor);
  Cronet_UrlRequestParams_Destroy(std::exchange(guard.params, nullptr));
  if (rc == Cronet_RESULT_SUCCESS) {
    failed_call = "Cronet_UrlRequest_Start";
    rc = Cronet_UrlRequest_Start(objects.request);
  }
  if (rc == Cronet_RESULT_SUCCESS) return std::nullopt;
  return diag::cat(failed_call, " returned ", static_cast<int>(rc));
}

}  // namespace

Admission admit(Session& session, RequestSpec& spec) {
  AdmissionGuard guard(session.active_requests);
  TW_DEBUG("Using session ", session.session_id, " to send request to ", spec.url,
           " (active: ", guard.count(), "/", session.max_concurrent, ")");

  auto state = std::make_shared<RequestState>();
  Admission out;
  out.receiver = std::make_unique<ResultReceiver>(state);
  guard.reserve_request();
  guard.context = std::make_unique<RequestContext>(state, session.active_requests);
  make_request_objects(guard, session);
  make_params(guard, spec);

  if (auto failure = init_and_start(guard, session.engine, spec.url)) {
    // The guard gives the slot and the objects back when this returns.
    guard.context->sender.send(RequestResult(std::in_place_index<1>, std::move(*failure)));
    return out;
  }
  out.request = guard.commit(std::move(state));
  if (!spec.lent_body.bytes.empty()) out.request->keep_on_abandon(spec.lent_body);
  out.timeout_ms = session.config.timeout_ms;
  return out;
}

}  // namespace tarnwick
