// Cronet_UrlRequest on libcurl: ending a request. Close first (when there is
// a provider), then the terminal callback, each exactly once.
#include "core.h"
#include "net_errors.h"

namespace cronet_curl {
namespace {

std::shared_ptr<Cronet_Error> make_net_error(int32_t net_error, const std::string& detail = "") {
  auto e = std::make_shared<Cronet_Error>();
  e->error_code = net_error_to_cronet_code(net_error);
  e->internal_error_code = net_error;
  e->message = net_error_name(net_error);
  if (!detail.empty()) e->message += " (" + detail + ")";
  return e;
}

}  // namespace

void RequestCore::request_close() {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (!provider_) return;
    close_wanted_ = true;
  }
  advance();
}

void RequestCore::advance() {
  bool post_close = false, post_terminal = false;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (handle_destroyed_) return;
    if (provider_ && close_wanted_ && close_state_ == CloseState::kOpen &&
        provider_op_ == ProviderOp::kNone) {
      close_state_ = CloseState::kPosted;
      post_close = true;
    }
    if (terminal_ready_ && !terminal_posted_ && fast_reads_ == 0 &&
        (!provider_ || close_state_ == CloseState::kDone)) {
      terminal_posted_ = true;
      post_terminal = true;
    }
  }
  if (post_close) post_provider_close();
  if (post_terminal) post_terminal_callback();
}

void RequestCore::post_provider_close() {
  Cronet_UploadDataProvider* p = provider_;
  std::weak_ptr<RequestCore> weak = weak_from_this();
  post(upload_executor_, [p, weak] {
    if (p->close) p->close(p);
    if (auto self = weak.lock()) {
      {
        std::lock_guard<std::mutex> l(self->mu_);
        self->close_state_ = CloseState::kDone;
      }
      self->advance();
    }
  });
}

void RequestCore::post_terminal_callback() {
  Outcome o;
  std::shared_ptr<Cronet_UrlResponseInfo> info;
  {
    std::lock_guard<std::mutex> l(mu_);
    o = terminal_;
    info = terminal_info_;
  }
  if (withhold_terminal_ || o.kind == Outcome::kAbandoned) return;
  Cronet_UrlRequest* req = handle_;
  RequestCore* self = this;  // alive: the runnable holds a reference
  auto clear = [self] {
    std::lock_guard<std::mutex> l(self->mu_);
    self->waiting_read_ = self->waiting_redirect_ = false;
  };
  switch (o.kind) {
    case Outcome::kSucceeded:
      post_to_callback([req, info, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_succeeded) cb->on_succeeded(cb, req, info.get());
      });
      break;
    case Outcome::kFailed: {
      auto err = o.error;
      post_to_callback([req, info, err, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_failed) cb->on_failed(cb, req, info.get(), err.get());
      });
      break;
    }
    case Outcome::kCanceled:
      post_to_callback([req, info, clear](Cronet_UrlRequestCallback* cb) {
        clear();
        if (cb->on_canceled) cb->on_canceled(cb, req, info.get());
      });
      break;
    case Outcome::kAbandoned: break;
  }
}

// Network thread: the request ends with this outcome (the first one wins).
void RequestCore::finish(Outcome outcome) {
  Cronet_Buffer* pending = nullptr;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    finished_ = true;
    if (cancel_requested_ && outcome.kind != Outcome::kAbandoned) {
      outcome.kind = Outcome::kCanceled;
      outcome.error.reset();
    }
    state_ = State::kDone;
    pending = pending_read_;
    pending_read_ = nullptr;
    terminal_ = outcome;
    terminal_info_ = net_.response_started ? net_.info : nullptr;
    terminal_ready_ = true;
    if (provider_) close_wanted_ = true;
  }
  delete pending;
  delete net_.read_buf;
  net_.read_buf = nullptr;
  net_.body.clear();
  detach_transfer();
  engine_->unregister(this);
  advance();
}

void RequestCore::fail_with(int32_t net_error) {
  Outcome o;
  o.kind = Outcome::kFailed;
  o.error = make_net_error(net_error);
  finish(std::move(o));
}

void RequestCore::fail_with(int32_t net_error, const std::string& detail) {
  Outcome o;
  o.kind = Outcome::kFailed;
  o.error = make_net_error(net_error, detail);
  finish(std::move(o));
}

void RequestCore::fail_callback(const std::string& message) {
  Outcome o;
  o.kind = Outcome::kFailed;
  o.error = std::make_shared<Cronet_Error>();
  o.error->error_code = Cronet_Error_ERROR_CODE_ERROR_CALLBACK;
  o.error->internal_error_code = 0;
  o.error->message = message;
  finish(std::move(o));
}

}  // namespace cronet_curl
