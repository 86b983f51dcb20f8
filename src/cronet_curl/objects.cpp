// The plain Cronet objects: params, executors, runnables, callbacks, upload
// providers, headers, buffers, response infos and errors.
#include <cstdlib>
#include <cstring>

#include "objects.h"

using cronet_curl::JArg;

extern "C" {

// ---- EngineParams ----
CRONET_EXPORT Cronet_EngineParamsPtr Cronet_EngineParams_Create(void) {
  CRONET_JOURNAL("Cronet_EngineParams_Create");
  return new Cronet_EngineParams;
}
CRONET_EXPORT void Cronet_EngineParams_Destroy(Cronet_EngineParamsPtr self) {
  CRONET_JOURNAL("Cronet_EngineParams_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_EngineParams_enable_quic_set(Cronet_EngineParamsPtr self, const bool v) {
  CRONET_JOURNAL("Cronet_EngineParams_enable_quic_set", v);
  if (self) self->enable_quic = v;
}
CRONET_EXPORT void Cronet_EngineParams_enable_http2_set(Cronet_EngineParamsPtr self, const bool v) {
  CRONET_JOURNAL("Cronet_EngineParams_enable_http2_set", v);
  if (self) self->enable_http2 = v;
}
CRONET_EXPORT void Cronet_EngineParams_enable_brotli_set(Cronet_EngineParamsPtr self,
                                                         const bool v) {
  CRONET_JOURNAL("Cronet_EngineParams_enable_brotli_set", v);
  if (self) self->enable_brotli = v;
}
CRONET_EXPORT void Cronet_EngineParams_proxy_rules_set(Cronet_EngineParamsPtr self,
                                                       const Cronet_String rules) {
  CRONET_JOURNAL("Cronet_EngineParams_proxy_rules_set", rules);
  if (self) self->proxy_rules = rules ? rules : "";
}
CRONET_EXPORT void Cronet_EngineParams_skip_cert_verify_set(Cronet_EngineParamsPtr self,
                                                            const bool v) {
  CRONET_JOURNAL("Cronet_EngineParams_skip_cert_verify_set", v);
  if (self) self->skip_cert_verify = v;
}

// ---- Executor ----
CRONET_EXPORT Cronet_ExecutorPtr Cronet_Executor_CreateWith(Cronet_Executor_ExecuteFunc fn) {
  CRONET_JOURNAL("Cronet_Executor_CreateWith");
  auto* e = new Cronet_Executor;
  e->execute = fn;
  return e;
}
CRONET_EXPORT void Cronet_Executor_Destroy(Cronet_ExecutorPtr self) {
  CRONET_JOURNAL("Cronet_Executor_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_Executor_SetClientContext(Cronet_ExecutorPtr self,
                                                    Cronet_ClientContext ctx) {
  CRONET_JOURNAL("Cronet_Executor_SetClientContext");
  if (self) self->context = ctx;
}
CRONET_EXPORT Cronet_ClientContext Cronet_Executor_GetClientContext(Cronet_ExecutorPtr self) {
  return self ? self->context : nullptr;
}
CRONET_EXPORT void Cronet_Executor_Execute(Cronet_ExecutorPtr self, Cronet_RunnablePtr command) {
  CRONET_JOURNAL("Cronet_Executor_Execute");
  if (self && self->execute) {
    self->execute(self, command);
  } else {
    delete command;  // nobody to run it: do not leak it
  }
}

// ---- Runnable ----
CRONET_EXPORT Cronet_RunnablePtr Cronet_Runnable_CreateWith(Cronet_Runnable_RunFunc run) {
  CRONET_JOURNAL("Cronet_Runnable_CreateWith");
  auto* r = new Cronet_Runnable;
  r->run = run;
  return r;
}
CRONET_EXPORT void Cronet_Runnable_Destroy(Cronet_RunnablePtr self) {
  CRONET_JOURNAL("Cronet_Runnable_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_Runnable_SetClientContext(Cronet_RunnablePtr self,
                                                    Cronet_ClientContext ctx) {
  CRONET_JOURNAL("Cronet_Runnable_SetClientContext");
  if (self) self->context = ctx;
}
CRONET_EXPORT Cronet_ClientContext Cronet_Runnable_GetClientContext(Cronet_RunnablePtr self) {
  return self ? self->context : nullptr;
}
CRONET_EXPORT void Cronet_Runnable_Run(Cronet_RunnablePtr self) {
  CRONET_JOURNAL("Cronet_Runnable_Run");
  if (self) self->invoke();
}

// ---- UrlRequestParams ----
CRONET_EXPORT Cronet_UrlRequestParamsPtr Cronet_UrlRequestParams_Create(void) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_Create");
  return new Cronet_UrlRequestParams;
}
CRONET_EXPORT void Cronet_UrlRequestParams_Destroy(Cronet_UrlRequestParamsPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_UrlRequestParams_http_method_set(Cronet_UrlRequestParamsPtr self,
                                                           const Cronet_String method) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_http_method_set", method);
  if (self) self->http_method = method ? method : "";
}
CRONET_EXPORT void Cronet_UrlRequestParams_priority_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_UrlRequestParams_REQUEST_PRIORITY priority) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_priority_set", static_cast<int>(priority));
  if (self) self->priority = priority;
}
CRONET_EXPORT void Cronet_UrlRequestParams_request_headers_add(Cronet_UrlRequestParamsPtr self,
                                                               const Cronet_HttpHeaderPtr h) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_request_headers_add");
  if (self && h) self->headers.emplace_back(h->name, h->value);
}
CRONET_EXPORT void Cronet_UrlRequestParams_upload_data_provider_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_UploadDataProviderPtr provider) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_upload_data_provider_set");
  if (self) self->upload_data_provider = provider;
}
CRONET_EXPORT void Cronet_UrlRequestParams_upload_data_provider_executor_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_ExecutorPtr executor) {
  CRONET_JOURNAL("Cronet_UrlRequestParams_upload_data_provider_executor_set");
  if (self) self->upload_data_provider_executor = executor;
}

// ---- HttpHeader ----
CRONET_EXPORT Cronet_HttpHeaderPtr Cronet_HttpHeader_Create(void) {
  CRONET_JOURNAL("Cronet_HttpHeader_Create");
  return new Cronet_HttpHeader;
}
CRONET_EXPORT void Cronet_HttpHeader_Destroy(Cronet_HttpHeaderPtr self) {
  CRONET_JOURNAL("Cronet_HttpHeader_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_HttpHeader_name_set(Cronet_HttpHeaderPtr self, const Cronet_String v) {
  CRONET_JOURNAL("Cronet_HttpHeader_name_set", v);
  if (self) self->name = v ? v : "";
}
CRONET_EXPORT void Cronet_HttpHeader_value_set(Cronet_HttpHeaderPtr self, const Cronet_String v) {
  CRONET_JOURNAL("Cronet_HttpHeader_value_set", v);
  if (self) self->value = v ? v : "";
}
CRONET_EXPORT Cronet_String Cronet_HttpHeader_name_get(const Cronet_HttpHeaderPtr self) {
  return self ? self->name.c_str() : "";
}
CRONET_EXPORT Cronet_String Cronet_HttpHeader_value_get(const Cronet_HttpHeaderPtr self) {
  return self ? self->value.c_str() : "";
}

// ---- UrlRequestCallback ----
CRONET_EXPORT Cronet_UrlRequestCallbackPtr Cronet_UrlRequestCallback_CreateWith(
    Cronet_UrlRequestCallback_OnRedirectReceivedFunc a,
    Cronet_UrlRequestCallback_OnResponseStartedFunc b,
    Cronet_UrlRequestCallback_OnReadCompletedFunc c, Cronet_UrlRequestCallback_OnSucceededFunc d,
    Cronet_UrlRequestCallback_OnFailedFunc e, Cronet_UrlRequestCallback_OnCanceledFunc f) {
  CRONET_JOURNAL("Cronet_UrlRequestCallback_CreateWith");
  auto* cb = new Cronet_UrlRequestCallback;
  cb->on_redirect_received = a;
  cb->on_response_started = b;
  cb->on_read_completed = c;
  cb->on_succeeded = d;
  cb->on_failed = e;
  cb->on_canceled = f;
  return cb;
}
CRONET_EXPORT void Cronet_UrlRequestCallback_Destroy(Cronet_UrlRequestCallbackPtr self) {
  CRONET_JOURNAL("Cronet_UrlRequestCallback_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_UrlRequestCallback_SetClientContext(Cronet_UrlRequestCallbackPtr self,
                                                              Cronet_ClientContext ctx) {
  CRONET_JOURNAL("Cronet_UrlRequestCallback_SetClientContext");
  if (self) self->context = ctx;
}
CRONET_EXPORT Cronet_ClientContext
Cronet_UrlRequestCallback_GetClientContext(Cronet_UrlRequestCallbackPtr self) {
  return self ? self->context : nullptr;
}

// ---- UrlResponseInfo ----
CRONET_EXPORT int32_t
Cronet_UrlResponseInfo_http_status_code_get(const Cronet_UrlResponseInfoPtr self) {
  return self ? self->http_status_code : 0;
}
CRONET_EXPORT uint32_t
Cronet_UrlResponseInfo_all_headers_list_size(const Cronet_UrlResponseInfoPtr self) {
  return self ? static_cast<uint32_t>(self->headers.size()) : 0;
}
CRONET_EXPORT Cronet_HttpHeaderPtr
Cronet_UrlResponseInfo_all_headers_list_at(const Cronet_UrlResponseInfoPtr self, uint32_t index) {
  if (!self || index >= self->headers.size()) return nullptr;
  return self->headers[index].get();
}

// ---- Error ----
CRONET_EXPORT Cronet_String Cronet_Error_message_get(const Cronet_ErrorPtr self) {
  return self ? self->message.c_str() : "";
}
CRONET_EXPORT Cronet_Error_ERROR_CODE Cronet_Error_error_code_get(const Cronet_ErrorPtr self) {
  return self ? self->error_code : Cronet_Error_ERROR_CODE_ERROR_OTHER;
}
CRONET_EXPORT int32_t Cronet_Error_internal_error_code_get(const Cronet_ErrorPtr self) {
  return self ? self->internal_error_code : 0;
}

// ---- Buffer ----
CRONET_EXPORT Cronet_BufferPtr Cronet_Buffer_Create(void) {
  CRONET_JOURNAL("Cronet_Buffer_Create");
  return new Cronet_Buffer;
}
CRONET_EXPORT void Cronet_Buffer_Destroy(Cronet_BufferPtr self) {
  CRONET_JOURNAL("Cronet_Buffer_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_Buffer_InitWithAlloc(Cronet_BufferPtr self, uint64_t size) {
  CRONET_JOURNAL("Cronet_Buffer_InitWithAlloc", size);
  if (!self) return;
  std::free(self->data);
  self->data = nullptr;
  self->size = 0;
  if (size == 0 || size > SIZE_MAX / 2) return;
  self->data = std::malloc(static_cast<size_t>(size));
  if (self->data) self->size = size;
}
CRONET_EXPORT uint64_t Cronet_Buffer_GetSize(Cronet_BufferPtr self) {
  return self ? self->size : 0;
}
CRONET_EXPORT Cronet_RawDataPtr Cronet_Buffer_GetData(Cronet_BufferPtr self) {
  return self ? self->data : nullptr;
}

// ---- UploadDataProvider ----
CRONET_EXPORT Cronet_UploadDataProviderPtr Cronet_UploadDataProvider_CreateWith(
    Cronet_UploadDataProvider_GetLengthFunc get_length, Cronet_UploadDataProvider_ReadFunc read,
    Cronet_UploadDataProvider_RewindFunc rewind, Cronet_UploadDataProvider_CloseFunc close) {
  CRONET_JOURNAL("Cronet_UploadDataProvider_CreateWith");
  auto* p = new Cronet_UploadDataProvider;
  p->get_length = get_length;
  p->read = read;
  p->rewind = rewind;
  p->close = close;
  return p;
}
CRONET_EXPORT void Cronet_UploadDataProvider_Destroy(Cronet_UploadDataProviderPtr self) {
  CRONET_JOURNAL("Cronet_UploadDataProvider_Destroy");
  delete self;
}
CRONET_EXPORT void Cronet_UploadDataProvider_SetClientContext(Cronet_UploadDataProviderPtr self,
                                                              Cronet_ClientContext ctx) {
  CRONET_JOURNAL("Cronet_UploadDataProvider_SetClientContext");
  if (self) self->context = ctx;
}
CRONET_EXPORT Cronet_ClientContext
Cronet_UploadDataProvider_GetClientContext(Cronet_UploadDataProviderPtr self) {
  return self ? self->context : nullptr;
}

}  // extern "C"
