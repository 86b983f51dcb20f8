// Cronet_UrlRequest on libcurl: the request body, from the app's upload provider
// through the network thread to libcurl's read callback.
#include <cstring>

#include "core.h"
#include "net_errors.h"

namespace cronet_curl {

// ---- libcurl's side ----

size_t RequestCore::read_cb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  UploadPump& up = self->net_.upload;
  if (self->net_.detached || !up.ready()) return CURL_READFUNC_ABORT;
  if (up.has_data()) {
    size_t k = up.take(data, size * n);
    if (up.wants_read()) self->request_provider_read();  // refill the emptied buffer
    return k;
  }
  if (up.eof()) return 0;
  if (!up.busy()) self->request_provider_read();
  self->net_.send_paused = true;
  return CURL_READFUNC_PAUSE;
}

int RequestCore::seek_cb(void* p, curl_off_t offset, int origin) {
  auto* self = static_cast<RequestCore*>(p);
  // Only "back to the start" before anything was handed to libcurl can be
  // done at once; anything else goes through the provider's Rewind.
  if (origin == SEEK_SET && offset == 0 && self->net_.upload.at_start()) return CURL_SEEKFUNC_OK;
  return CURL_SEEKFUNC_CANTSEEK;
}

// ---- the provider's side ----

void RequestCore::request_provider_read() {
  if (net_.upload.busy() || finished_) return;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_ || provider_op_ != ProviderOp::kNone) return;
    provider_op_ = ProviderOp::kRead;
  }
  net_.upload.read_started();
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Cronet_Buffer* buf = net_.upload.fill_buffer();
  post(upload_executor_, [p, sink, buf] {
    if (p->read) p->read(p, sink, buf);
  });
}

void RequestCore::request_provider_rewind() {
  if (net_.upload.read_outstanding()) {
    net_.upload.rewind_wanted = true;  // once the read is back
    return;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    provider_op_ = ProviderOp::kRewind;
  }
  net_.upload.rewind_started();
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  post(upload_executor_, [p, sink] {
    if (p->rewind) p->rewind(p, sink);
  });
}

// Starts the transfer again with the body from its start: rewinds the
// provider first when it was read (the transfer starts once that is done).
void RequestCore::restart_transfer() {
  if (net_.target.send_body() && net_.upload.touched()) {
    request_provider_rewind();
    return;
  }
  start_transfer();
}

void RequestCore::net_upload_ready() {
  uint64_t bytes;
  bool fin;
  {
    std::lock_guard<std::mutex> l(mu_);
    bytes = sink_bytes_;
    fin = sink_final_;
  }
  UploadPump& up = net_.upload;
  up.read_ended();
  advance();  // a Close may have waited for this read
  if (finished_) return;
  if (up.rewind_wanted) {
    up.rewind_wanted = false;
    request_provider_rewind();
    return;
  }
  if (const char* fault = up.read_done(bytes, fin)) {
    fail_callback(fault);
    return;
  }
  // Keep the provider a buffer ahead of libcurl.
  if (up.wants_read()) request_provider_read();
  if (net_.send_paused) {
    net_.send_paused = false;
    update_pause();
  }
  if (up.drained() && net_.response_started) request_close();
}

void RequestCore::net_upload_error() {
  std::string message;
  {
    std::lock_guard<std::mutex> l(mu_);
    message = sink_error_;
  }
  net_.upload.calls_ended();
  fail_callback(message.empty() ? std::string("UploadDataProvider error") : message);
}

void RequestCore::net_rewind_done() {
  net_.upload.rewind_ended();
  advance();
  if (finished_) return;
  net_.upload.rewind_done();
  start_transfer();
}

}  // namespace cronet_curl
