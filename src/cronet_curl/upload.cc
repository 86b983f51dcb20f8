// Cronet_UrlRequest on libcurl: the request body, from the app's upload provider
// through the network thread to libcurl's read callback.
#include <cstring>

#include "core.h"
#include "net_errors.h"

namespace cronet_curl {


size_t RequestCore::ReadCb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  Net& net = self->net_;
  size_t cap = size * n;
  if (net.detached || !net.upload_buf) return CURL_READFUNC_ABORT;
  if (net.upload_avail > 0) {
    size_t k = static_cast<size_t>(std::min<uint64_t>(cap, net.upload_avail));
    std::memcpy(data, static_cast<char*>(net.upload_buf->data) + net.upload_off, k);
    net.upload_off += k;
    net.upload_avail -= k;
    net.upload_sent += k;
    if (net.upload_avail == 0 && !net.upload_eof) self->RequestProviderRead();  // prefetch
    return k;
  }
  if (net.upload_eof) return 0;
  if (!net.read_outstanding && !net.rewind_outstanding) self->RequestProviderRead();
  net.send_paused = true;
  return CURL_READFUNC_PAUSE;
}

int RequestCore::SeekCb(void* p, curl_off_t offset, int origin) {
  auto* self = static_cast<RequestCore*>(p);
  // Only "back to the start" before anything was handed to libcurl can be
  // done at once; anything else goes through the provider's Rewind.
  if (origin == SEEK_SET && offset == 0 && self->net_.upload_sent == 0)
    return CURL_SEEKFUNC_OK;
  return CURL_SEEKFUNC_CANTSEEK;
}

void RequestCore::RequestProviderRead() {
  if (net_.read_outstanding || net_.rewind_outstanding || finished_) return;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_ || provider_op_ != ProviderOp::kNone) return;
    provider_op_ = ProviderOp::kRead;
  }
  net_.read_outstanding = true;
  net_.upload_touched = true;
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Cronet_Buffer* buf = net_.upload_buf;
  Post(upload_executor_, [p, sink, buf] {
    if (p->read) p->read(p, sink, buf);
  });
}

void RequestCore::RequestProviderRewind() {
  if (net_.read_outstanding) {
    net_.rewind_wanted = true;  // once the read is back
    return;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    if (finished_) return;
    provider_op_ = ProviderOp::kRewind;
  }
  net_.rewind_outstanding = true;
  Cronet_UploadDataProvider* p = provider_;
  Cronet_UploadDataSink* sink = sink_.get();
  Post(upload_executor_, [p, sink] {
    if (p->rewind) p->rewind(p, sink);
  });
}

void RequestCore::NetUploadReady() {
  uint64_t bytes;
  bool fin;
  {
    std::lock_guard<std::mutex> l(mu_);
    bytes = sink_bytes_;
    fin = sink_final_;
  }
  net_.read_outstanding = false;
  Advance();  // a Close may have waited for this read
  if (finished_) return;
  if (net_.rewind_wanted) {
    net_.rewind_wanted = false;
    RequestProviderRewind();
    return;
  }
  if (!net_.upload_buf || bytes > net_.upload_buf->size) {
    FailCallback("UploadDataProvider: read reported more bytes than the buffer holds");
    return;
  }
  if (upload_length_ >= 0) {
    if (net_.upload_received + bytes > static_cast<uint64_t>(upload_length_)) {
      FailCallback("UploadDataProvider: read more bytes than GetLength announced");
      return;
    }
    net_.upload_received += bytes;
    if (net_.upload_received == static_cast<uint64_t>(upload_length_)) net_.upload_eof = true;
  } else {
    net_.upload_received += bytes;
    if (fin) net_.upload_eof = true;
  }
  net_.upload_avail = bytes;
  net_.upload_off = 0;
  if (net_.send_paused) {
    net_.send_paused = false;
    UpdatePause();
  }
  if (net_.upload_eof && net_.upload_avail == 0 && net_.response_started) RequestClose();
}

void RequestCore::NetUploadError() {
  std::string message;
  {
    std::lock_guard<std::mutex> l(mu_);
    message = sink_error_;
  }
  net_.read_outstanding = false;
  net_.rewind_outstanding = false;
  FailCallback(message.empty() ? std::string("UploadDataProvider error") : message);
}

void RequestCore::NetRewindDone() {
  net_.rewind_outstanding = false;
  Advance();
  if (finished_) return;
  net_.upload_avail = net_.upload_off = net_.upload_sent = net_.upload_received = 0;
  net_.upload_eof = upload_length_ == 0;
  net_.upload_touched = false;
  StartTransfer();
}

}  // namespace cronet_curl
