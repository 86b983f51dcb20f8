// The request body's account on the network thread (upload_pump.h).
#include "upload_pump.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace cronet_curl {

void UploadPump::open(int64_t length) {
  length_ = length;
  buf_ = new Cronet_Buffer;
  buf_->data = std::malloc(kBufferSize);
  buf_->size = buf_->data ? kBufferSize : 0;
  if (length == 0) eof_ = true;
}

size_t UploadPump::take(char* out, size_t cap) {
  size_t k = static_cast<size_t>(std::min<uint64_t>(cap, avail_));
  std::memcpy(out, static_cast<char*>(buf_->data) + off_, k);
  off_ += k;
  avail_ -= k;
  sent_ += k;
  return k;
}

const char* UploadPump::read_done(uint64_t bytes, bool final_chunk) {
  if (!buf_ || bytes > buf_->size)
    return "UploadDataProvider: read reported more bytes than the buffer holds";
  if (length_ >= 0) {
    if (received_ + bytes > static_cast<uint64_t>(length_))
      return "UploadDataProvider: read more bytes than GetLength announced";
    received_ += bytes;
    if (received_ == static_cast<uint64_t>(length_)) eof_ = true;
  } else {
    received_ += bytes;
    if (final_chunk) eof_ = true;
  }
  avail_ = bytes;
  off_ = 0;
  return nullptr;
}

void UploadPump::rewind_done() {
  avail_ = off_ = sent_ = received_ = 0;
  eof_ = length_ == 0;
  touched_ = false;
}

}  // namespace cronet_curl
