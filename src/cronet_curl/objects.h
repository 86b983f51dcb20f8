// The Cronet API objects: what each Cronet_*Ptr points to. The engine and
// request cores they hold are in core.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cronet_c.h"
#include "testctl_internal.h"

namespace cronet_curl {
class EngineCore;
class RequestCore;
}  // namespace cronet_curl

struct Cronet_EngineParams : cronet_curl::Counted<CronetTest_ENGINE_PARAMS> {
  bool enable_quic = false;
  bool enable_http2 = true;
  bool enable_brotli = false;
  bool skip_cert_verify = false;
  std::string proxy_rules;
};

struct Cronet_Engine : cronet_curl::Counted<CronetTest_ENGINE> {
  std::shared_ptr<cronet_curl::EngineCore> core;
};

struct Cronet_Executor : cronet_curl::Counted<CronetTest_EXECUTOR> {
  Cronet_Executor_ExecuteFunc execute = nullptr;
  Cronet_ClientContext context = nullptr;
};

// Runnables the application makes carry a run function; runnables the library
// posts override Run() and clean up what they own in their destructor.
struct Cronet_Runnable : cronet_curl::Counted<CronetTest_RUNNABLE> {
  virtual ~Cronet_Runnable() = default;
  virtual void invoke() {
    if (run) run(this);
  }
  Cronet_Runnable_RunFunc run = nullptr;
  Cronet_ClientContext context = nullptr;
};

struct Cronet_UrlRequestCallback : cronet_curl::Counted<CronetTest_URL_REQUEST_CALLBACK> {
  Cronet_UrlRequestCallback_OnRedirectReceivedFunc on_redirect_received = nullptr;
  Cronet_UrlRequestCallback_OnResponseStartedFunc on_response_started = nullptr;
  Cronet_UrlRequestCallback_OnReadCompletedFunc on_read_completed = nullptr;
  Cronet_UrlRequestCallback_OnSucceededFunc on_succeeded = nullptr;
  Cronet_UrlRequestCallback_OnFailedFunc on_failed = nullptr;
  Cronet_UrlRequestCallback_OnCanceledFunc on_canceled = nullptr;
  Cronet_ClientContext context = nullptr;
};

struct Cronet_UploadDataProvider : cronet_curl::Counted<CronetTest_UPLOAD_DATA_PROVIDER> {
  Cronet_UploadDataProvider_GetLengthFunc get_length = nullptr;
  Cronet_UploadDataProvider_ReadFunc read = nullptr;
  Cronet_UploadDataProvider_RewindFunc rewind = nullptr;
  Cronet_UploadDataProvider_CloseFunc close = nullptr;
  Cronet_ClientContext context = nullptr;
};

struct Cronet_HttpHeader : cronet_curl::Counted<CronetTest_HTTP_HEADER> {
  std::string name;
  std::string value;
};

struct Cronet_Buffer : cronet_curl::Counted<CronetTest_BUFFER> {
  ~Cronet_Buffer() { std::free(data); }
  void* data = nullptr;
  uint64_t size = 0;
};

struct Cronet_UrlRequestParams : cronet_curl::Counted<CronetTest_URL_REQUEST_PARAMS> {
  std::string http_method;
  int priority = Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_MEDIUM;
  std::vector<std::pair<std::string, std::string>> headers;
  Cronet_UploadDataProviderPtr upload_data_provider = nullptr;
  Cronet_ExecutorPtr upload_data_provider_executor = nullptr;
};

struct Cronet_UrlResponseInfo : cronet_curl::Counted<CronetTest_URL_RESPONSE_INFO> {
  int32_t http_status_code = 0;
  std::vector<std::unique_ptr<Cronet_HttpHeader>> headers;
};

struct Cronet_Error : cronet_curl::Counted<CronetTest_ERROR> {
  Cronet_Error_ERROR_CODE error_code = Cronet_Error_ERROR_CODE_ERROR_OTHER;
  int32_t internal_error_code = 0;
  std::string message;
};

struct Cronet_UploadDataSink : cronet_curl::Counted<CronetTest_UPLOAD_DATA_SINK> {
  cronet_curl::RequestCore* core = nullptr;  // owned by the core, dies with it
};

struct Cronet_UrlRequest : cronet_curl::Counted<CronetTest_URL_REQUEST> {
  std::shared_ptr<cronet_curl::RequestCore> core;
};
