/* Test controls of cronet_curl, the libcurl implementation of the Cronet C API.
 *
 * In the spirit of SQLite's test-control interface: a handful of exported C
 * functions, prefixed CronetTest_, that let tests look inside the library
 * (live-object counts, a journal of the API calls the application made,
 * buffered body bytes) and inject faults (failing engine starts, cancels that
 * are never confirmed, terminal callbacks that never come, delayed callbacks,
 * callbacks posted from several threads). They are usable from C++ tests and
 * from Python through ctypes (see tests/cronet_testctl.py).
 *
 * Cost: every control is process-wide. While no injection is on and the
 * journal is off, each API call pays one relaxed atomic load per control it
 * consults; live-object counting is one relaxed atomic add per object created
 * or destroyed. Nothing allocates or locks unless a control is switched on.
 *
 * Thread safety: every function here may be called from any thread at any
 * time, also concurrently with API calls and callbacks. A change takes effect
 * for API calls that begin after it returns; calls already running may see the
 * old setting.
 *
 * Not part of the Cronet API: a real Cronet library does not export these
 * names, which is how tests/cronet_testctl.py tells the two apart. */
#ifndef CRONET_CURL_TESTCTL_H_
#define CRONET_CURL_TESTCTL_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "cronet_c.h" /* CRONET_EXPORT */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Live-object counts ------------------------------------------------ */

/* One kind per opaque Cronet object type. */
typedef enum CronetTest_ObjectKind {
  CronetTest_ENGINE,
  CronetTest_ENGINE_PARAMS,
  CronetTest_EXECUTOR,
  CronetTest_RUNNABLE,
  CronetTest_URL_REQUEST,
  CronetTest_URL_REQUEST_PARAMS,
  CronetTest_URL_REQUEST_CALLBACK,
  CronetTest_HTTP_HEADER,
  CronetTest_BUFFER,
  CronetTest_UPLOAD_DATA_PROVIDER,
  CronetTest_URL_RESPONSE_INFO,
  CronetTest_ERROR,
  CronetTest_UPLOAD_DATA_SINK,
  CronetTest_OBJECT_KIND_COUNT
} CronetTest_ObjectKind;

/* Number of objects of one kind alive right now, whoever made them: objects
 * the application created and not yet destroyed, and objects the library made
 * itself (runnables it posted and nobody destroyed yet, response infos, errors,
 * the headers inside response infos, upload sinks, buffers it allocated).
 * Kind out of range: -1. Cost: one relaxed atomic load. */
CRONET_EXPORT int64_t CronetTest_LiveObjects(int kind);

/* Name of a kind, e.g. "UrlRequest", "HttpHeader"; "?" when out of range.
 * The string is static. */
CRONET_EXPORT const char* CronetTest_ObjectKindName(int kind);

/* ---- Call journal ------------------------------------------------------ */
/* While on, every public API call the application makes appends one line,
 * the function name and its non-handle arguments:
 *   Cronet_Engine_Create()
 *   Cronet_EngineParams_enable_quic_set(true)
 *   Cronet_EngineParams_proxy_rules_set("")
 *   Cronet_UrlRequestParams_priority_set(4)
 *   Cronet_UrlRequest_InitWithParams("http://127.0.0.1:8080/x")
 *   Cronet_UrlRequest_Read()
 * Strings are double-quoted with C escapes (\" \\ \n \r \t, other bytes below
 * 0x20 and from 0x7f up as three-digit octal \ooo); a null string is NULL;
 * bools are true/false; integers decimal; handles, function pointers and
 * client contexts are omitted. Not journaled: the plain getters (GetClientContext,
 * HttpHeader name_get/value_get, UrlResponseInfo_*, Error_*, Buffer GetSize and
 * GetData, UrlRequest_IsDone). Calls the library makes itself (Executor_Execute
 * when it posts work) are not journaled. Lines are recorded in the order the
 * calls took the journal lock; calls from several threads interleave.
 * Cost when off: one relaxed atomic load per call. When on: a lock and a
 * string per call; the journal keeps at most 1,000,000 lines (later ones are
 * dropped). */
CRONET_EXPORT void CronetTest_JournalEnable(bool on);
CRONET_EXPORT void CronetTest_JournalClear(void);
/* Copies the journal (lines joined by '\n', no trailing newline,
 * NUL-terminated) into buf, at most cap bytes including the NUL (nothing is
 * written when cap is 0 or buf is NULL); returns the length the full journal
 * needs, excluding the NUL. Call with cap 0 to learn the size. */
CRONET_EXPORT size_t CronetTest_JournalRead(char* buf, size_t cap);

/* ---- Fault injection ---------------------------------------------------- */

/* The next `count` calls of Cronet_Engine_StartWithParams (that get past the
 * null and already-started checks) return result_code without starting
 * anything; the engine stays unstarted and may be started again later.
 * count <= 0 cancels a pending injection. */
CRONET_EXPORT void CronetTest_FailNextEngineStarts(int count, int32_t result_code);

/* While on, Cronet_UrlRequest_Cancel does nothing observable: it is journaled,
 * but no OnCanceled comes and the transfer goes on as if Cancel had not been
 * called (its own terminal callback comes as usual). What becomes of such a
 * request: if it is still running when its engine shuts down, it gets OnFailed
 * "net::ERR_ABORTED" like any running request; if the application destroys it
 * first, the transfer is stopped, every callback still queued for it becomes
 * a no-op and its state is freed, as for any destroyed unfinished request. */
CRONET_EXPORT void CronetTest_SetUnconfirmedCancels(bool on);

/* Requests started while this is on never get a terminal callback
 * (OnSucceeded, OnFailed, OnCanceled): everything else (redirects, response
 * start, reads) happens as usual, and the library finishes the request
 * internally (its transfer ends, its upload provider is closed, buffers it
 * holds are destroyed, IsDone becomes true) but posts nothing at the end. The
 * same holds when the engine shuts down (no OnFailed for them). Their
 * remaining state is freed when the application destroys the request. */
CRONET_EXPORT void CronetTest_SetWithholdTerminal(bool on);

/* Each callback the library posts while ms > 0 is handed to
 * Cronet_Executor_Execute about ms milliseconds later, by a library thread
 * other than the network thread. Order per request is kept. 0 turns it off
 * (callbacks already delayed still go out late). */
CRONET_EXPORT void CronetTest_SetCallbackDelayMs(uint32_t ms);

/* While on, callbacks are handed to Cronet_Executor_Execute by a pool of four
 * library threads (requests spread over them, one request always on the same
 * thread so its order is kept), so Execute runs from several threads at once. */
CRONET_EXPORT void CronetTest_SetPostFromManyThreads(bool on);

/* Engines started after this call verify server certificates against the CA
 * certificates in the PEM file at `path` instead of the system trust store
 * (host names are still checked); NULL or "" restores the system store. For
 * tests with a throwaway CA. */
CRONET_EXPORT void CronetTest_SetCaBundle(const char* path);

/* libcurl is treated as refusing the option named `name` (as libcurl spells
 * it: "CURLOPT_PROXY", "CURLOPT_SSL_VERIFYPEER", "CURLMOPT_MAX_HOST_CONNECTIONS",
 * "CURLSHOPT_SHARE") wherever the library sets it from now on, as a libcurl
 * that does not know it would. Requests that need the option then fail
 * (OnFailed "net::ERR_FAILED (libcurl refused CURLOPT_X)"), an engine start
 * that needs it gives ILLEGAL_STATE, optional tuning goes on without it.
 * NULL or "" turns it off. */
CRONET_EXPORT void CronetTest_RefuseCurlOption(const char* name);

/* How long a QUIC connection attempt may take before the request goes over
 * TCP instead, in milliseconds; 0 restores the library's own bound. For runs
 * slowed down by sanitizers. */
CRONET_EXPORT void CronetTest_SetQuicConnectTimeoutMs(uint32_t ms);

/* All injections off (CA bundle back to the system store), journal off and cleared, buffered-bytes high-water mark
 * reset. Live-object counts are not touched. */
CRONET_EXPORT void CronetTest_Reset(void);

/* ---- Extra observation points (beyond the list above) ------------------- */

/* Response body bytes the library holds right now for all requests together
 * (received from the network, not yet handed to a Read), and the highest
 * value seen since the last CronetTest_Reset / CronetTest_ResetBufferedHighWater.
 * Cost: one relaxed atomic load. */
CRONET_EXPORT int64_t CronetTest_BufferedBodyBytes(void);
CRONET_EXPORT int64_t CronetTest_BufferedBodyBytesHighWater(void);
CRONET_EXPORT void CronetTest_ResetBufferedHighWater(void);

#ifdef __cplusplus
}
#endif

#endif /* CRONET_CURL_TESTCTL_H_ */
