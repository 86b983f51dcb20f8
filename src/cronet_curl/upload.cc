// Cronet_UrlRequest on libcurl: the request body, from the app's upload provider
// through the network thread to libcurl's read callback.
#include <cstring>

#include "core.h"
#include "net_errors.h"

namespace cronet_curl {

// ---- libcurl's side ----

size_t RequestCore::ReadCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  UploadPump& up = self->net_.upload;
  if (self->net_.detached || !up.buffer()) return CURL_READFUNC_ABORT;
  if (up.has_data()) {
    size_t k = up.Take(data, size * n);
    if (up.wants_read()) self->RequestProviderRead();  // prefetch
    return k;
  }
  if (up.eof()) return 0;
  if (!up.busy()) self->RequestProviderRead();
  self->net_.send_paused = true;
  return CURL_READFUNC_PAUSE;
}

int RequestCore::SeekCb(void* p, curl_off_t offset, int origin) {
  auto* self = static_cast<RequestCore*>(p);
  // Only "back to the start" before anything was handed to libcurl can be
  // done at once; anything else goes through the provider's Rewind.
  if (origin == SEEK_SET && offset == 0 && self->net_.upload.at_start()) return CURL_SEEKFUNC_OK;
  return CURL_SEEKFUNC_CANTSEEK;
}

// ---- the provider's side ----

void RequestCore::RequestProviderRead() {
  if (net_.upload.busy() || finished_) return;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_ || provider_op_ != ProviderOp::kNone) return;
    provider_op_ = ProviderOp::kRead;
  }
  net_.upload.ReadStarted();
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Cronet_Buffer* buf = net_.upload.buffer();
  Post(upload_executor_, [p, sink, buf] {
    if (p->read) p->read(p, sink, buf);
  });
}

void RequestCore::RequestProviderRewind() {
  if (net_.upload.read_outstanding()) {
    net_.upload.rewind_wanted = true;  // once the read is back
    return;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    provider_op_ = ProviderOp::kRewind;
  }
  net_.upload.RewindStarted();
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Post(upload_executor_, [p, sink] {
    if (p->rewind) p->rewind(p, sink);
  });
}

// Starts the transfer again with the body from its start: rewinds the
// provider first when it was read (the transfer starts once that is done).
void RequestCore::RestartTransfer() {
  if (net_.target.send_body() && net_.upload.touched()) {
    RequestProviderRewind();
    return;
  }
  StartTransfer();
}

void RequestCore::NetUploadReady() {
  uint64_t bytes;
  bool fin;
  {
    std::lock_guard<std::mutex> l(mu_);
    bytes = sink_bytes_;
    fin = sink_final_;
  }
  UploadPump& up = net_.upload;
  up.ReadEnded();
  Advance();  // a Close may have waited for this read
  if (finished_) return;
  if (up.rewind_wanted) {
    up.rewind_wanted = false;
    RequestProviderRewind();
    return;
  }
  if (const char* fault = up.ReadDone(bytes, fin)) {
    FailCallback(fault);
    return;
  }
  if (net_.send_paused) {
    net_.send_paused = false;
    UpdatePause();
  }
  if (up.drained() && net_.response_started) RequestClose();
}

void RequestCore::NetUploadError() {
  std::string message;
  {
    std::lock_guard<std::mutex> l(mu_);
    message = sink_error_;
  }
  net_.upload.CallsEnded();
  FailCallback(message.empty() ? std::string("UploadDataProvider error") : message);
}

void RequestCore::NetRewindDone() {
  net_.upload.RewindEnded();
  Advance();
  if (finished_) return;
  net_.upload.RewindDone();
  StartTransfer();
}

}  // namespace cronet_curl
