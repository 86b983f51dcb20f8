#include "request_call.h"

#include <chrono>
#include <memory>
#include <optional>

#include "channel.h"
#include "fault.h"
#include "platform.h"
#include "request.h"

namespace tarnwick {

namespace {

// What the forwarding thread hands over: the result, or nullopt when the
// result channel closed without one.
using Handover = Channel<std::optional<RequestResult>>;

std::optional<std::chrono::steady_clock::time_point> deadline_after(std::uint64_t timeout_ms) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto room = duration_cast<milliseconds>(steady_clock::time_point::max() - now).count();
  // Too far out to represent: wait without a deadline.
  if (room < 0 || timeout_ms > static_cast<std::uint64_t>(room)) return std::nullopt;
  return now + milliseconds(static_cast<milliseconds::rep>(timeout_ms));
}

void fill_from_result(CallOutcome& out, RequestResult&& result) {
  if (auto* response = std::get_if<ResponseData>(&result)) {
    out.kind = CallOutcome::Kind::kResponse;
    out.response = std::move(*response);
  } else {
    out.kind = CallOutcome::Kind::kFailed;
    out.failure = std::move(std::get<std::string>(result));
  }
}

}  // namespace

CallOutcome perform_request(SessionManager& manager, const std::string& session_id,
                            RequestSpec spec) {
  CallOutcome out;
  std::optional<Admission> admission = manager.send_request(session_id, spec);
  if (!admission) {
    out.kind = CallOutcome::Kind::kRefused;
    return out;
  }
  out.timeout_ms = admission->timeout_ms;

  if (!admission->request) {
    // Refused by the input checks or by Cronet before it started: the reason is waiting.
    if (auto result = admission->receiver->try_recv()) {
      fill_from_result(out, std::move(*result));
    } else {
      out.kind = CallOutcome::Kind::kChannelClosed;
    }
    return out;
  }

  // Declared after the admission so it is closed first on every way out, the
  // request released second.
  auto [handover_tx, handover_rx] = Handover::make();

  {
    std::shared_ptr<ResultReceiver> receiver(std::move(admission->receiver));
    auto tx = std::make_shared<Handover::Sender>(std::move(handover_tx));
    bool spawned = platform::spawn_detached([receiver, tx]() mutable {
      std::optional<RequestResult> result = receiver->recv();
      // Fails quietly when the caller stopped listening.
      tx->send(std::move(result));
      tx->reset();
      receiver.reset();
    });
    if (!spawned) raise_fault(kSpawnFailed);
  }

  std::optional<std::optional<RequestResult>> item;
  switch (handover_rx.recv_until(deadline_after(out.timeout_ms), item)) {
    case Handover::Receiver::Wait::kItem:
      if (*item) {
        fill_from_result(out, std::move(**item));
      } else {
        out.kind = CallOutcome::Kind::kChannelClosed;
      }
      break;
    case Handover::Receiver::Wait::kTimeout: out.kind = CallOutcome::Kind::kTimeout; break;
    case Handover::Receiver::Wait::kDisconnected:
      out.kind = CallOutcome::Kind::kHandoverDisconnected;
      break;
  }

  handover_rx.close();
  admission->request.reset();  // cancels and waits when the request is still running
  return out;
}

}  // namespace tarnwick
