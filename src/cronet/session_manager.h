// The registry of open sessions behind one client object.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "types.h"

namespace tarnwick {

class CronetRequest;     // request.h
class ResultReceiver;    // request.h

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

class SessionManager {
 public:
  SessionManager();
  ~SessionManager();  // tears down every session still registered, one after another
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  // The new identifier, or "" when the engine did not start. Faults: NUL in the
  // proxy rules, thread start failure, random source failure, poisoned lock.
  std::string create_session(SessionConfig config);
  bool close_session(const std::string& session_id);
  std::vector<std::string> list_sessions();

  // Admits and starts one request. nullopt: no such session or at its limit.
  // The spec's body may be moved out (it becomes the upload body).
  std::optional<Admission> send_request(const std::string& session_id, RequestSpec& spec);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwick
