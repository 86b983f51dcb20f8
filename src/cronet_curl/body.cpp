// Cronet_UrlRequest on libcurl: the response body on the network thread, from
// libcurl's write callback to the application's reads, with back-pressure
// (the transfer pauses at the body buffer's high-water mark and resumes as
// the application reads it down).
#include <algorithm>
#include <cstring>

#include "core.h"

namespace cronet_curl {

void RequestCore::update_pause() {
  if (!net_.easy || !net_.in_multi) return;
  int mask = (net_.body.paused() ? CURLPAUSE_RECV : 0) | (net_.send_paused ? CURLPAUSE_SEND : 0);
  // Not checked on purpose: a write callback that fails during the resume
  // (also on purpose, see on_framed_body) makes this return its error, and the
  // transfer then ends with that result, which is where it is handled.
  (void)curl_easy_pause(net_.easy, mask);
}

size_t RequestCore::write_cb(char* data, size_t size, size_t n, void* p) {
  auto* self = static_cast<RequestCore*>(p);
  size_t len = size * n;
  if (self->net_.length_left >= 0 && !self->net_.detached) return self->on_framed_body(data, len);
  return on_body(self, data, len);
}

// A body framed by a Content-Length libcurl did not see: take exactly that
// many bytes, then end the transfer (returning short makes libcurl stop and
// close the connection, whose remaining bytes are not ours to read).
size_t RequestCore::on_framed_body(char* data, size_t len) {
  size_t take = static_cast<size_t>(std::min<uint64_t>(len, net_.length_left));
  if (take > 0) {
    size_t r = on_body(this, data, take);
    if (r != take) return r;  // paused: libcurl hands the whole chunk over again
    net_.length_left -= static_cast<int64_t>(take);
  }
  if (net_.length_left > 0) return len;
  net_.ended_by_length = true;
  return 0;
}

size_t RequestCore::on_body(RequestCore* self, char* data, size_t len) {
  Net& net = self->net_;
  if (net.detached || net.discard_body || !net.response_started) return len;
  if (net.dec.decoder) return self->on_encoded_body(data, len);
  if (net.read_buf && net.body.empty()) {
    // A read is waiting: straight into the application's buffer.
    Cronet_Buffer* buf = net.read_buf;
    net.read_buf = nullptr;
    size_t k = static_cast<size_t>(std::min<uint64_t>(len, buf->size));
    std::memcpy(buf->data, data, k);
    if (k < len) net.body.append(data + k, len - k, self->engine_->blocks());
    self->post_read_completed(buf, k);
    return len;
  }
  // At the high-water mark libcurl keeps this chunk and hands it over again later.
  if (!net.body.offer(data, len, self->engine_->blocks())) return CURL_WRITEFUNC_PAUSE;
  return len;
}

// A read is answered: the application may read again once its callback runs.
void RequestCore::post_read_completed(Cronet_Buffer* buf, size_t n) {
  {
    std::lock_guard<std::mutex> l(mu_);
    waiting_read_ = true;
  }
  auto info = net_.info;
  Cronet_UrlRequest* req = handle_;
  post_to_callback(
      [req, info, buf, n](Cronet_UrlRequestCallback* cb) {
        if (cb->on_read_completed) cb->on_read_completed(cb, req, info.get(), buf, n);
      },
      buf);
}

void RequestCore::try_serve_read() {
  if (!net_.read_buf) return;
  bool resume = false;
  size_t k = net_.body.copy_out(net_.read_buf, &resume);
  if (k > 0) {
    Cronet_Buffer* buf = net_.read_buf;
    net_.read_buf = nullptr;
    post_read_completed(buf, k);
    if (resume) maybe_resume();
    return;
  }
  if (!net_.body_complete) return;
  if (net_.body_error != 0) {
    fail_with(net_.body_error);
  } else {
    finish(Outcome{Outcome::kSucceeded, nullptr});
  }
}

void RequestCore::maybe_resume() {
  if (!net_.body.resume_due()) return;
  if (net_.dec.decoder && !resume_decoding()) return;  // held input first
  net_.body.set_paused(false);
  update_pause();  // may hand over data at once (write_cb)
}

void RequestCore::net_read() {
  Cronet_Buffer* buf;
  {
    std::lock_guard<std::mutex> l(mu_);
    buf = pending_read_;
    pending_read_ = nullptr;
  }
  if (!buf) {
    bool ended;
    {
      std::lock_guard<std::mutex> l(mu_);
      ended = finished_;
    }
    if (!ended) {
      maybe_resume();
    } else if (net_.body_complete && !net_.detached) {
      // Read ended the request on its own thread: the network side of Finish.
      net_.body.clear();
      detach_transfer();
      engine_->unregister(this);
    }
    return;
  }
  if (finished_) {
    delete buf;
    return;
  }
  delete net_.read_buf;  // cannot happen: one read at a time
  net_.read_buf = buf;
  try_serve_read();
}

}  // namespace cronet_curl
