// The admission of one request: what send_request hands back, and the steps
// that take a session slot, make the request's Cronet objects and start it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "types.h"

namespace tarnwick {

class CronetRequest;   // request.h
class ResultReceiver;  // request.h
struct Session;        // session.h

// What send_request hands back when it admits a request.
struct Admission {
  std::unique_ptr<CronetRequest> request;
  std::unique_ptr<ResultReceiver> receiver;
  std::uint64_t timeout_ms = 0;
  Admission();
  Admission(Admission&&) noexcept;
  Admission& operator=(Admission&&) noexcept;
  ~Admission();  // releases the request (cancel and wait when not completed)
};

// An admission that failed before Cronet took the request: the reason is
// already waiting on the receiver and there is no request to release.
Admission failed_admission(std::string reason);

// Takes a slot of the session, makes the request's Cronet objects and starts
// it. Should Cronet refuse it, the reason waits on the receiver and the slot and
// objects are given back; an exception (a failed allocation) gives them back too.
// The spec's owned body is moved into the upload.
Admission admit(Session& session, RequestSpec& spec);

}  // namespace tarnwick
