// One started request: its shared completion state, the one-shot result
// channel, the callback context, and the owner of its Cronet objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "cronet_c.h"
#include "session.h"
#include "types.h"

namespace tarnwick {

struct ExecutorContext;  // executor.h
struct UploadBody;       // upload.h

// The Cronet objects of one request; each handle may be null.
struct RequestObjects {
  Cronet_UploadDataProviderPtr upload_provider = nullptr;
  Cronet_UrlRequestPtr request = nullptr;
  Cronet_UrlRequestCallbackPtr callback = nullptr;
  Cronet_ExecutorPtr executor = nullptr;
  std::unique_ptr<ExecutorContext> executor_context;
  UploadBody* upload_body = nullptr;  // the request's hold, dropped after the provider

  RequestObjects();
  RequestObjects(RequestObjects&&) noexcept;
  RequestObjects& operator=(RequestObjects&&) noexcept;
  ~RequestObjects();
  // Request, callback, executor, executor context, provider: in this order.
  void destroy() noexcept;
};

// Shared by the CronetRequest, its RequestContext and the result receiver:
// one allocation per request.
struct RequestState {
  // Set by complete_request before the result is sent.
  std::atomic<bool> completed{false};

  // Who destroys the Cronet objects when the release gives up waiting for the
  // terminal callback: `leftovers` is filled before phase becomes kAbandoned.
  enum Phase : int { kRunning, kTerminal, kAbandoned };
  std::atomic<int> phase{kRunning};
  RequestObjects leftovers;

  // One-shot result channel.
  std::mutex mu;
  std::condition_variable cv;
  std::optional<RequestResult> result;
  bool closed = false;  // sender gone (or request abandoned): no value will come
  bool receiver_gone = false;

  // False (value dropped) when the receiver is gone or the channel closed.
  bool send(RequestResult value);
  void close();
};

class ResultSender {
 public:
  explicit ResultSender(std::shared_ptr<RequestState> s) noexcept : s_(std::move(s)) {}
  ResultSender(ResultSender&&) noexcept = default;
  ResultSender& operator=(ResultSender&&) = delete;
  ~ResultSender() { reset(); }
  bool send(RequestResult value);
  void reset();  // gone without sending: the receiver sees the channel closed

 private:
  std::shared_ptr<RequestState> s_;
};

class ResultReceiver {
 public:
  explicit ResultReceiver(std::shared_ptr<RequestState> s) noexcept : s_(std::move(s)) {}
  ResultReceiver(const ResultReceiver&) = delete;
  ResultReceiver& operator=(const ResultReceiver&) = delete;
  ~ResultReceiver();
  // Blocks for the one result; nullopt when the channel closed without one.
  std::optional<RequestResult> recv();
  std::optional<RequestResult> try_recv();

 private:
  std::shared_ptr<RequestState> s_;
};

// Client context of the request's UrlRequestCallback; freed by complete_request.
struct RequestContext {
  ResultSender sender;
  ByteBuffer body;
  std::vector<HeaderPair> headers;
  std::shared_ptr<RequestState> state;
  SharedCounter active_requests;
  std::int32_t status_code = 0;
  bool out_of_memory = false;  // cancelled because the response did not fit

  RequestContext(std::shared_ptr<RequestState> s, SharedCounter active)
      : sender(s), state(std::move(s)), active_requests(std::move(active)) {}
};

class CronetRequest {
 public:
  CronetRequest(RequestObjects objects, std::shared_ptr<RequestState> state) noexcept
      : objects_(std::move(objects)), state_(std::move(state)) {}
  CronetRequest(const CronetRequest&) = delete;
  CronetRequest& operator=(const CronetRequest&) = delete;
  // Release: cancels and waits up to 5 s when not completed, then destroys.
  ~CronetRequest();

  bool completed() const noexcept { return state_->completed.load(std::memory_order_acquire); }

  // Lent bytes the request reads: should the release abandon the request, it
  // asks their owner to keep them alive for good.
  void keep_on_abandon(const LentBytes& lent) noexcept { lent_ = lent; }

 private:
  bool abandon() noexcept;

  RequestObjects objects_;
  std::shared_ptr<RequestState> state_;
  LentBytes lent_;
};

// How long the release waits for the cancel callback, and how often it looks.
inline constexpr std::uint64_t kCancelWaitNs = 5'000'000'000ull;
inline constexpr std::uint64_t kCancelPollMs = 10;
inline constexpr std::uint64_t kReadBufferSize = 32768;
// Most the body buffer is sized up front from a Content-Length; a lying server
// cannot make a request reserve more than this.
inline constexpr std::uint64_t kMaxBodyPresize = 32ull << 20;
inline constexpr const char* kOutOfMemoryText = "Out of memory while receiving the response";

// The six request callbacks, registered in this order.
void on_redirect_received(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                          Cronet_UrlResponseInfoPtr info, Cronet_String new_location_url);
void on_response_started(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                         Cronet_UrlResponseInfoPtr info);
void on_read_completed(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                       Cronet_UrlResponseInfoPtr info, Cronet_BufferPtr buffer,
                       std::uint64_t bytes_read);
void on_succeeded(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                  Cronet_UrlResponseInfoPtr info);
void on_failed(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
               Cronet_UrlResponseInfoPtr info, Cronet_ErrorPtr error);
void on_canceled(Cronet_UrlRequestCallbackPtr self, Cronet_UrlRequestPtr request,
                 Cronet_UrlResponseInfoPtr info);

// Ends the request exactly once: success when `failure` is empty.
void complete_request(Cronet_UrlRequestCallbackPtr callback, std::optional<std::string> failure);

// The debug text of an outcome: Ok(()) or Err("...") with escapes.
std::string describe_outcome(const std::optional<std::string>& failure);

}  // namespace tarnwick
