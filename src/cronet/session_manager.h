// The registry of open sessions behind one client object.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admission.h"
#include "types.h"

namespace tarnwick {

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

  struct Impl;  // session_manager_internal.h

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwick
