/* Declarations of the Cronet native C API subset this project uses and
 * implements. Written from the published signatures so that a module built
 * against it links unchanged against a real Cronet library. */
#ifndef TARNWICK_CRONET_C_H_
#define TARNWICK_CRONET_C_H_

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(CRONET_CURL_BUILD)
#define CRONET_EXPORT __declspec(dllexport)
#else
#define CRONET_EXPORT __declspec(dllimport)
#endif
#else
#define CRONET_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef const char* Cronet_String;
typedef void* Cronet_RawDataPtr;
typedef void* Cronet_ClientContext;

typedef struct Cronet_Engine Cronet_Engine;
typedef struct Cronet_EngineParams Cronet_EngineParams;
typedef struct Cronet_Executor Cronet_Executor;
typedef struct Cronet_Runnable Cronet_Runnable;
typedef struct Cronet_UrlRequest Cronet_UrlRequest;
typedef struct Cronet_UrlRequestParams Cronet_UrlRequestParams;
typedef struct Cronet_UrlRequestCallback Cronet_UrlRequestCallback;
typedef struct Cronet_UrlResponseInfo Cronet_UrlResponseInfo;
typedef struct Cronet_HttpHeader Cronet_HttpHeader;
typedef struct Cronet_Error Cronet_Error;
typedef struct Cronet_Buffer Cronet_Buffer;
typedef struct Cronet_UploadDataProvider Cronet_UploadDataProvider;
typedef struct Cronet_UploadDataSink Cronet_UploadDataSink;

typedef Cronet_Engine* Cronet_EnginePtr;
typedef Cronet_EngineParams* Cronet_EngineParamsPtr;
typedef Cronet_Executor* Cronet_ExecutorPtr;
typedef Cronet_Runnable* Cronet_RunnablePtr;
typedef Cronet_UrlRequest* Cronet_UrlRequestPtr;
typedef Cronet_UrlRequestParams* Cronet_UrlRequestParamsPtr;
typedef Cronet_UrlRequestCallback* Cronet_UrlRequestCallbackPtr;
typedef Cronet_UrlResponseInfo* Cronet_UrlResponseInfoPtr;
typedef Cronet_HttpHeader* Cronet_HttpHeaderPtr;
typedef Cronet_Error* Cronet_ErrorPtr;
typedef Cronet_Buffer* Cronet_BufferPtr;
typedef Cronet_UploadDataProvider* Cronet_UploadDataProviderPtr;
typedef Cronet_UploadDataSink* Cronet_UploadDataSinkPtr;

typedef enum Cronet_RESULT {
  Cronet_RESULT_SUCCESS = 0,
  Cronet_RESULT_ILLEGAL_ARGUMENT = -100,
  Cronet_RESULT_ILLEGAL_ARGUMENT_STORAGE_PATH_MUST_EXIST = -101,
  Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_PIN = -102,
  Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HOSTNAME = -103,
  Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_METHOD = -104,
  Cronet_RESULT_ILLEGAL_ARGUMENT_INVALID_HTTP_HEADER = -105,
  Cronet_RESULT_ILLEGAL_STATE = -200,
  Cronet_RESULT_ILLEGAL_STATE_STORAGE_PATH_IN_USE = -201,
  Cronet_RESULT_ILLEGAL_STATE_CANNOT_SHUTDOWN_ENGINE_FROM_NETWORK_THREAD = -202,
  Cronet_RESULT_ILLEGAL_STATE_ENGINE_ALREADY_STARTED = -203,
  Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_STARTED = -204,
  Cronet_RESULT_ILLEGAL_STATE_REQUEST_NOT_INITIALIZED = -205,
  Cronet_RESULT_ILLEGAL_STATE_REQUEST_ALREADY_INITIALIZED = -206,
  Cronet_RESULT_ILLEGAL_STATE_REQUEST_NOT_STARTED = -207,
  Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_REDIRECT = -208,
  Cronet_RESULT_ILLEGAL_STATE_UNEXPECTED_READ = -209,
  Cronet_RESULT_ILLEGAL_STATE_READ_FAILED = -210,
  Cronet_RESULT_NULL_POINTER = -300,
  Cronet_RESULT_NULL_POINTER_HOSTNAME = -301,
  Cronet_RESULT_NULL_POINTER_SHA256_PINS = -302,
  Cronet_RESULT_NULL_POINTER_EXPIRATION_DATE = -303,
  Cronet_RESULT_NULL_POINTER_ENGINE = -304,
  Cronet_RESULT_NULL_POINTER_URL = -305,
  Cronet_RESULT_NULL_POINTER_CALLBACK = -306,
  Cronet_RESULT_NULL_POINTER_EXECUTOR = -307,
  Cronet_RESULT_NULL_POINTER_METHOD = -308,
  Cronet_RESULT_NULL_POINTER_HEADER_NAME = -309,
  Cronet_RESULT_NULL_POINTER_HEADER_VALUE = -310,
  Cronet_RESULT_NULL_POINTER_PARAMS = -311
} Cronet_RESULT;

typedef enum Cronet_UrlRequestParams_REQUEST_PRIORITY {
  Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_IDLE = 0,
  Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_LOWEST = 1,
  Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_LOW = 2,
  Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_MEDIUM = 3,
  Cronet_UrlRequestParams_REQUEST_PRIORITY_REQUEST_PRIORITY_HIGHEST = 4
} Cronet_UrlRequestParams_REQUEST_PRIORITY;

typedef enum Cronet_Error_ERROR_CODE {
  Cronet_Error_ERROR_CODE_ERROR_CALLBACK = 0,
  Cronet_Error_ERROR_CODE_ERROR_HOSTNAME_NOT_RESOLVED = 1,
  Cronet_Error_ERROR_CODE_ERROR_INTERNET_DISCONNECTED = 2,
  Cronet_Error_ERROR_CODE_ERROR_NETWORK_CHANGED = 3,
  Cronet_Error_ERROR_CODE_ERROR_TIMED_OUT = 4,
  Cronet_Error_ERROR_CODE_ERROR_CONNECTION_CLOSED = 5,
  Cronet_Error_ERROR_CODE_ERROR_CONNECTION_TIMED_OUT = 6,
  Cronet_Error_ERROR_CODE_ERROR_CONNECTION_REFUSED = 7,
  Cronet_Error_ERROR_CODE_ERROR_CONNECTION_RESET = 8,
  Cronet_Error_ERROR_CODE_ERROR_ADDRESS_UNREACHABLE = 9,
  Cronet_Error_ERROR_CODE_ERROR_QUIC_PROTOCOL_FAILED = 10,
  Cronet_Error_ERROR_CODE_ERROR_OTHER = 11
} Cronet_Error_ERROR_CODE;

/* Function pointer types. */
typedef void (*Cronet_Executor_ExecuteFunc)(Cronet_ExecutorPtr self, Cronet_RunnablePtr command);
typedef void (*Cronet_Runnable_RunFunc)(Cronet_RunnablePtr self);

typedef void (*Cronet_UrlRequestCallback_OnRedirectReceivedFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info, Cronet_String new_location_url);
typedef void (*Cronet_UrlRequestCallback_OnResponseStartedFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info);
typedef void (*Cronet_UrlRequestCallback_OnReadCompletedFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info, Cronet_BufferPtr buffer, uint64_t bytes_read);
typedef void (*Cronet_UrlRequestCallback_OnSucceededFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info);
typedef void (*Cronet_UrlRequestCallback_OnFailedFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info, Cronet_ErrorPtr error);
typedef void (*Cronet_UrlRequestCallback_OnCanceledFunc)(
    Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
    Cronet_UrlResponseInfoPtr info);

typedef int64_t (*Cronet_UploadDataProvider_GetLengthFunc)(Cronet_UploadDataProviderPtr self);
typedef void (*Cronet_UploadDataProvider_ReadFunc)(Cronet_UploadDataProviderPtr self,
                                                   Cronet_UploadDataSinkPtr upload_data_sink,
                                                   Cronet_BufferPtr buffer);
typedef void (*Cronet_UploadDataProvider_RewindFunc)(Cronet_UploadDataProviderPtr self,
                                                     Cronet_UploadDataSinkPtr upload_data_sink);
typedef void (*Cronet_UploadDataProvider_CloseFunc)(Cronet_UploadDataProviderPtr self);

/* Engine */
CRONET_EXPORT Cronet_EnginePtr Cronet_Engine_Create(void);
CRONET_EXPORT void Cronet_Engine_Destroy(Cronet_EnginePtr self);
CRONET_EXPORT Cronet_RESULT Cronet_Engine_StartWithParams(Cronet_EnginePtr self,
                                                          Cronet_EngineParamsPtr params);
CRONET_EXPORT Cronet_RESULT Cronet_Engine_Shutdown(Cronet_EnginePtr self);

/* EngineParams */
CRONET_EXPORT Cronet_EngineParamsPtr Cronet_EngineParams_Create(void);
CRONET_EXPORT void Cronet_EngineParams_Destroy(Cronet_EngineParamsPtr self);
CRONET_EXPORT void Cronet_EngineParams_enable_quic_set(Cronet_EngineParamsPtr self,
                                                       const bool enable_quic);
CRONET_EXPORT void Cronet_EngineParams_enable_http2_set(Cronet_EngineParamsPtr self,
                                                        const bool enable_http2);
CRONET_EXPORT void Cronet_EngineParams_enable_brotli_set(Cronet_EngineParamsPtr self,
                                                         const bool enable_brotli);
/* Extensions beyond the published API. */
CRONET_EXPORT void Cronet_EngineParams_proxy_rules_set(Cronet_EngineParamsPtr self,
                                                       const Cronet_String proxy_rules);
CRONET_EXPORT void Cronet_EngineParams_skip_cert_verify_set(Cronet_EngineParamsPtr self,
                                                            const bool skip_cert_verify);

/* Executor */
CRONET_EXPORT Cronet_ExecutorPtr Cronet_Executor_CreateWith(Cronet_Executor_ExecuteFunc execute);
CRONET_EXPORT void Cronet_Executor_Destroy(Cronet_ExecutorPtr self);
CRONET_EXPORT void Cronet_Executor_SetClientContext(Cronet_ExecutorPtr self,
                                                    Cronet_ClientContext client_context);
CRONET_EXPORT Cronet_ClientContext Cronet_Executor_GetClientContext(Cronet_ExecutorPtr self);
CRONET_EXPORT void Cronet_Executor_Execute(Cronet_ExecutorPtr self, Cronet_RunnablePtr command);

/* Runnable */
CRONET_EXPORT Cronet_RunnablePtr Cronet_Runnable_CreateWith(Cronet_Runnable_RunFunc run);
CRONET_EXPORT void Cronet_Runnable_Destroy(Cronet_RunnablePtr self);
CRONET_EXPORT void Cronet_Runnable_SetClientContext(Cronet_RunnablePtr self,
                                                    Cronet_ClientContext client_context);
CRONET_EXPORT Cronet_ClientContext Cronet_Runnable_GetClientContext(Cronet_RunnablePtr self);
CRONET_EXPORT void Cronet_Runnable_Run(Cronet_RunnablePtr self);

/* UrlRequestParams */
CRONET_EXPORT Cronet_UrlRequestParamsPtr Cronet_UrlRequestParams_Create(void);
CRONET_EXPORT void Cronet_UrlRequestParams_Destroy(Cronet_UrlRequestParamsPtr self);
CRONET_EXPORT void Cronet_UrlRequestParams_http_method_set(Cronet_UrlRequestParamsPtr self,
                                                           const Cronet_String http_method);
CRONET_EXPORT void Cronet_UrlRequestParams_priority_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_UrlRequestParams_REQUEST_PRIORITY priority);
CRONET_EXPORT void Cronet_UrlRequestParams_request_headers_add(Cronet_UrlRequestParamsPtr self,
                                                               const Cronet_HttpHeaderPtr element);
CRONET_EXPORT void Cronet_UrlRequestParams_upload_data_provider_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_UploadDataProviderPtr upload_data_provider);
CRONET_EXPORT void Cronet_UrlRequestParams_upload_data_provider_executor_set(
    Cronet_UrlRequestParamsPtr self, const Cronet_ExecutorPtr upload_data_provider_executor);

/* HttpHeader */
CRONET_EXPORT Cronet_HttpHeaderPtr Cronet_HttpHeader_Create(void);
CRONET_EXPORT void Cronet_HttpHeader_Destroy(Cronet_HttpHeaderPtr self);
CRONET_EXPORT void Cronet_HttpHeader_name_set(Cronet_HttpHeaderPtr self, const Cronet_String name);
CRONET_EXPORT void Cronet_HttpHeader_value_set(Cronet_HttpHeaderPtr self,
                                               const Cronet_String value);
CRONET_EXPORT Cronet_String Cronet_HttpHeader_name_get(const Cronet_HttpHeaderPtr self);
CRONET_EXPORT Cronet_String Cronet_HttpHeader_value_get(const Cronet_HttpHeaderPtr self);

/* UrlRequest */
CRONET_EXPORT Cronet_UrlRequestPtr Cronet_UrlRequest_Create(void);
CRONET_EXPORT void Cronet_UrlRequest_Destroy(Cronet_UrlRequestPtr self);
CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_InitWithParams(
    Cronet_UrlRequestPtr self, Cronet_EnginePtr engine, Cronet_String url,
    Cronet_UrlRequestParamsPtr params, Cronet_UrlRequestCallbackPtr callback,
    Cronet_ExecutorPtr executor);
CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Start(Cronet_UrlRequestPtr self);
CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_FollowRedirect(Cronet_UrlRequestPtr self);
CRONET_EXPORT Cronet_RESULT Cronet_UrlRequest_Read(Cronet_UrlRequestPtr self,
                                                   Cronet_BufferPtr buffer);
CRONET_EXPORT void Cronet_UrlRequest_Cancel(Cronet_UrlRequestPtr self);
CRONET_EXPORT bool Cronet_UrlRequest_IsDone(Cronet_UrlRequestPtr self);

/* UrlRequestCallback */
CRONET_EXPORT Cronet_UrlRequestCallbackPtr Cronet_UrlRequestCallback_CreateWith(
    Cronet_UrlRequestCallback_OnRedirectReceivedFunc OnRedirectReceivedFunc,
    Cronet_UrlRequestCallback_OnResponseStartedFunc OnResponseStartedFunc,
    Cronet_UrlRequestCallback_OnReadCompletedFunc OnReadCompletedFunc,
    Cronet_UrlRequestCallback_OnSucceededFunc OnSucceededFunc,
    Cronet_UrlRequestCallback_OnFailedFunc OnFailedFunc,
    Cronet_UrlRequestCallback_OnCanceledFunc OnCanceledFunc);
CRONET_EXPORT void Cronet_UrlRequestCallback_Destroy(Cronet_UrlRequestCallbackPtr self);
CRONET_EXPORT void Cronet_UrlRequestCallback_SetClientContext(Cronet_UrlRequestCallbackPtr self,
                                                              Cronet_ClientContext client_context);
CRONET_EXPORT Cronet_ClientContext
Cronet_UrlRequestCallback_GetClientContext(Cronet_UrlRequestCallbackPtr self);

/* UrlResponseInfo */
CRONET_EXPORT int32_t Cronet_UrlResponseInfo_http_status_code_get(
    const Cronet_UrlResponseInfoPtr self);
CRONET_EXPORT uint32_t Cronet_UrlResponseInfo_all_headers_list_size(
    const Cronet_UrlResponseInfoPtr self);
CRONET_EXPORT Cronet_HttpHeaderPtr Cronet_UrlResponseInfo_all_headers_list_at(
    const Cronet_UrlResponseInfoPtr self, uint32_t index);

/* Error */
CRONET_EXPORT Cronet_String Cronet_Error_message_get(const Cronet_ErrorPtr self);
CRONET_EXPORT Cronet_Error_ERROR_CODE Cronet_Error_error_code_get(const Cronet_ErrorPtr self);
CRONET_EXPORT int32_t Cronet_Error_internal_error_code_get(const Cronet_ErrorPtr self);

/* Buffer */
CRONET_EXPORT Cronet_BufferPtr Cronet_Buffer_Create(void);
CRONET_EXPORT void Cronet_Buffer_Destroy(Cronet_BufferPtr self);
CRONET_EXPORT void Cronet_Buffer_InitWithAlloc(Cronet_BufferPtr self, uint64_t size);
CRONET_EXPORT uint64_t Cronet_Buffer_GetSize(Cronet_BufferPtr self);
CRONET_EXPORT Cronet_RawDataPtr Cronet_Buffer_GetData(Cronet_BufferPtr self);

/* UploadDataProvider */
CRONET_EXPORT Cronet_UploadDataProviderPtr Cronet_UploadDataProvider_CreateWith(
    Cronet_UploadDataProvider_GetLengthFunc GetLengthFunc,
    Cronet_UploadDataProvider_ReadFunc ReadFunc,
    Cronet_UploadDataProvider_RewindFunc RewindFunc,
    Cronet_UploadDataProvider_CloseFunc CloseFunc);
CRONET_EXPORT void Cronet_UploadDataProvider_Destroy(Cronet_UploadDataProviderPtr self);
CRONET_EXPORT void Cronet_UploadDataProvider_SetClientContext(
    Cronet_UploadDataProviderPtr self, Cronet_ClientContext client_context);
CRONET_EXPORT Cronet_ClientContext
Cronet_UploadDataProvider_GetClientContext(Cronet_UploadDataProviderPtr self);

/* UploadDataSink */
CRONET_EXPORT void Cronet_UploadDataSink_OnReadSucceeded(Cronet_UploadDataSinkPtr self,
                                                         uint64_t bytes_read, bool final_chunk);
CRONET_EXPORT void Cronet_UploadDataSink_OnReadError(Cronet_UploadDataSinkPtr self,
                                                     Cronet_String error_message);
CRONET_EXPORT void Cronet_UploadDataSink_OnRewindSucceeded(Cronet_UploadDataSinkPtr self);
CRONET_EXPORT void Cronet_UploadDataSink_OnRewindError(Cronet_UploadDataSinkPtr self,
                                                       Cronet_String error_message);

#ifdef __cplusplus
}
#endif

#endif /* TARNWICK_CRONET_C_H_ */
