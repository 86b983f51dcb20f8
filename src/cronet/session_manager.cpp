#include "session_manager.h"

#include <atomic>
#include <utility>

#include "admission.h"
#include "diag.h"
#include "executor.h"
#include "fault.h"
#include "request.h"
#include "request_checks.h"
#include "session.h"
#include "session_manager_internal.h"
#include "uuid.h"

namespace tarnwick {

namespace {

bool start_cronet_executor_thread(CommandChannel::Receiver receiver, SharedCounter in_flight) {
  return start_executor_thread(std::move(receiver), std::move(in_flight));
}

std::atomic<ExecutorThreadStarter> g_thread_starter{&start_cronet_executor_thread};

// Owns an engine until it is handed to its session, so no early exit leaks it.
class EngineHolder {
 public:
  explicit EngineHolder(Cronet_EnginePtr engine) : engine_(engine) {}
  EngineHolder(const EngineHolder&) = delete;
  EngineHolder& operator=(const EngineHolder&) = delete;
  ~EngineHolder() { reset(); }

  Cronet_EnginePtr get() const { return engine_; }
  void mark_started() { started_ = true; }
  Cronet_EnginePtr release() { return std::exchange(engine_, nullptr); }
  void reset() {
    if (engine_ == nullptr) return;
    if (started_) Cronet_Engine_Shutdown(engine_);
    Cronet_Engine_Destroy(std::exchange(engine_, nullptr));
  }

 private:
  Cronet_EnginePtr engine_;
  bool started_ = false;
};

std::string engine_not_started(int code) {
  TW_ERROR("Failed to create session engine: ", code);
  return std::string();
}

// A session inherited through fork(): its engine and executor thread stay with
// the parent, so a request fails at once rather than by its timeout.
std::string orphan_reason(const Session& session) {
  return diag::cat("Session ", session.session_id, " belongs to process ", session.owner_pid,
                   "; a forked process must create its own client and sessions");
}

bool at_request_limit(const Session& session) {
  const std::size_t n = session.active_requests->load(std::memory_order_acquire);
  if (n < session.max_concurrent) return false;
  TW_WARN("Session ", session.session_id, " reached max concurrent requests limit: ", n, "/",
          session.max_concurrent);
  return true;
}

}  // namespace

ExecutorThreadStarter set_executor_thread_starter(ExecutorThreadStarter starter) noexcept {
  return g_thread_starter.exchange(starter != nullptr ? starter : &start_cronet_executor_thread);
}

std::string register_session(SessionManager::Impl& registry, std::unique_ptr<Session> session) {
  std::string session_id = session->session_id;
  TW_DEBUG("Created session: ", session_id, " (max concurrent: ", session->max_concurrent, ")");
  PoisonRwLock::Exclusive lock(registry.lock);
  auto& slot = registry.sessions[session_id];
  // A clash replaces the old record, torn down before the lock is let go.
  std::unique_ptr<Session> replaced = std::exchange(slot, std::move(session));
  replaced.reset();
  return session_id;
}

SessionManager::SessionManager() : impl_(std::make_unique<Impl>()) {}

SessionManager::~SessionManager() {
  // No lock: nobody else can reach a registry that is being destroyed, and a
  // poisoned lock must not keep the engines from being shut down.
  for (auto& entry : impl_->sessions) entry.second.reset();
  impl_->sessions.clear();
}

std::string SessionManager::create_session(SessionConfig config) {
  std::string session_id = new_session_id();

  // Checked before any Cronet object exists, so the fault leaves nothing behind.
  if (config.proxy_rules) {
    const auto nul = config.proxy_rules->find('\0');
    if (nul != std::string::npos)
      raise_fault(
          diag::cat("Invalid proxy string: nul byte found in provided data at position: ", nul));
  }

  EngineHolder engine(Cronet_Engine_Create());
  if (engine.get() == nullptr) return engine_not_started(Cronet_RESULT_NULL_POINTER_ENGINE);
  Cronet_EngineParamsPtr params = Cronet_EngineParams_Create();
  if (params == nullptr) return engine_not_started(Cronet_RESULT_NULL_POINTER_PARAMS);

  if (config.proxy_rules) Cronet_EngineParams_proxy_rules_set(params, config.proxy_rules->c_str());
  Cronet_EngineParams_enable_quic_set(params, true);
  Cronet_EngineParams_enable_http2_set(params, true);
  Cronet_EngineParams_enable_brotli_set(params, true);
  if (config.skip_cert_verify) Cronet_EngineParams_skip_cert_verify_set(params, true);
  const Cronet_RESULT result = Cronet_Engine_StartWithParams(engine.get(), params);
  Cronet_EngineParams_Destroy(params);
  // A failed start is destroyed without a shutdown.
  if (result != Cronet_RESULT_SUCCESS) return engine_not_started(static_cast<int>(result));
  engine.mark_started();

  auto in_flight = std::make_shared<Counter>(0);
  auto channel = CommandChannel::make();
  if (!g_thread_starter.load()(std::move(channel.second), in_flight)) {
    engine.reset();
    raise_fault(std::string(kSpawnFailed) +
                ": the system refused to start the session's executor thread");
  }

  auto session = std::make_unique<Session>();
  session->session_id = session_id;
  session->config = std::move(config);
  session->active_requests = std::make_shared<Counter>(0);
  session->in_flight_executors = std::move(in_flight);
  session->command_sender = std::move(channel.first);
  session->max_concurrent = kMaxConcurrentRequests;
  session->engine = engine.release();

  return register_session(*impl_, std::move(session));
}

bool SessionManager::close_session(const std::string& session_id) {
  PoisonRwLock::Exclusive lock(impl_->lock);
  auto node = impl_->sessions.extract(session_id);
  if (node.empty()) {
    TW_DEBUG("Session not found: ", session_id);
    return false;
  }
  // Torn down under the lock, so no lookup can find a half-closed session.
  node.mapped().reset();
  TW_DEBUG("Closed session: ", session_id);
  return true;
}

std::vector<std::string> SessionManager::list_sessions() {
  PoisonRwLock::Shared lock(impl_->lock);
  std::vector<std::string> ids;
  ids.reserve(impl_->sessions.size());
  for (const auto& entry : impl_->sessions) ids.push_back(entry.first);
  return ids;
}

std::optional<Admission> SessionManager::send_request(const std::string& session_id,
                                                      RequestSpec& spec) {
  PoisonRwLock::Shared lock(impl_->lock);
  auto it = impl_->sessions.find(session_id);
  if (it == impl_->sessions.end()) return std::nullopt;
  Session& session = *it->second;
  if (session.orphaned()) return failed_admission(orphan_reason(session));
  if (at_request_limit(session)) return std::nullopt;
  // After the lookup and the limit, as a refusal comes first, but before the
  // slot and any Cronet object, so a refused text leaves nothing behind.
  if (input_checks_on()) {
    if (auto reason = refuse_reason(spec)) return failed_admission(std::move(*reason));
  }
  return admit(session, spec);
}

}  // namespace tarnwick
