// The request body's account on the network thread (upload_pump.h).
#include "upload_pump.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace cronet_curl {

namespace {

// The buffer frees its data.
Cronet_Buffer* new_buffer(uint64_t size) {
  auto* b = new Cronet_Buffer;
  b->data = std::malloc(size);
  if (!b->data) {
    delete b;
    return nullptr;
  }
  b->size = size;
  return b;
}

}  // namespace

UploadPump::~UploadPump() {
  for (Slot& s : slots_) delete s.buf;
}

void UploadPump::open(int64_t length) {
  length_ = length;
  // A short body needs no more room than it has; the second buffer comes only
  // when the body outgrows the first.
  buffer_size_ =
      length > 0 ? std::min<uint64_t>(static_cast<uint64_t>(length), kBufferSize) : kBufferSize;
  slots_[0].buf = new_buffer(buffer_size_);
  if (length == 0) eof_ = true;
  short_start_ = length > static_cast<int64_t>(kBufferSize);
  start_pass();
}

// The buffer's size is what the provider may fill: the first read of a pass
// sees only the front of slot 0.
void UploadPump::start_pass() {
  if (short_start_ && slots_[0].buf) slots_[0].buf->size = kFirstRead;
}

size_t UploadPump::take(char* out, size_t cap) {
  Slot& s = slots_[take_];
  size_t k = static_cast<size_t>(std::min<uint64_t>(cap, s.avail));
  std::memcpy(out, static_cast<char*>(s.buf->data) + s.off, k);
  s.off += k;
  s.avail -= k;
  sent_ += k;
  if (s.avail == 0 && slots_[take_ ^ 1].avail > 0) take_ ^= 1;  // filled after this one
  return k;
}

const char* UploadPump::read_done(uint64_t bytes, bool final_chunk) {
  Slot& s = slots_[fill_];
  if (!s.buf || bytes > s.buf->size)
    return "UploadDataProvider: read reported more bytes than the buffer holds";
  s.buf->size = buffer_size_;
  if (length_ >= 0) {
    if (received_ + bytes > static_cast<uint64_t>(length_))
      return "UploadDataProvider: read more bytes than GetLength announced";
    received_ += bytes;
    if (received_ == static_cast<uint64_t>(length_)) eof_ = true;
  } else {
    received_ += bytes;
    if (final_chunk) eof_ = true;
  }
  if (bytes == 0) return nullptr;  // nothing to take: the same buffer is read again
  s.avail = bytes;
  s.off = 0;
  // libcurl takes the slots in the order they were filled: this one now, or
  // after the one it is still taking from.
  if (slots_[take_].avail == 0) take_ = fill_;
  Slot& other = slots_[fill_ ^ 1];
  if (!eof_ && !other.buf) other.buf = new_buffer(buffer_size_);
  // Without the second buffer the pump goes on with one: the next read waits
  // until libcurl has emptied this one.
  if (other.buf) fill_ ^= 1;
  return nullptr;
}

void UploadPump::rewind_done() {
  for (Slot& s : slots_) s.avail = s.off = 0;
  fill_ = take_ = 0;
  sent_ = received_ = 0;
  eof_ = length_ == 0;
  touched_ = false;
  start_pass();
}

}  // namespace cronet_curl
