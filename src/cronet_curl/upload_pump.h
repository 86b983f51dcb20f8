// The request body on the network thread: the two buffers the upload provider
// fills in turn, what of them libcurl's read callback has taken, and where the
// provider stands (a read or rewind outstanding). While libcurl sends one
// buffer the provider fills the other, so its reads and thread hand-overs are
// off the path of the bytes. The request drives the provider (upload.cpp); the
// pump only keeps the account.
#pragma once

#include <cstddef>
#include <cstdint>

#include "objects.h"

namespace cronet_curl {

class UploadPump {
 public:
  static constexpr uint64_t kBufferSize = 512 << 10;  // fewer provider round trips per body
  // A body longer than a buffer starts with a read this long: its first bytes
  // go out without waiting for a whole buffer to be copied into fresh memory.
  static constexpr uint64_t kFirstRead = 64 << 10;
  static constexpr int kMaxRewindRetries = 3;

  UploadPump() = default;
  UploadPump(const UploadPump&) = delete;
  UploadPump& operator=(const UploadPump&) = delete;
  ~UploadPump();

  // For a body of `length` bytes (-1: unknown, the provider says when it ends).
  void open(int64_t length);
  // The buffers could be had: false without a body or without memory.
  bool ready() const { return slots_[0].buf != nullptr; }
  // The buffer the next provider read fills.
  Cronet_Buffer* fill_buffer() const { return slots_[fill_].buf; }

  // libcurl's read callback: copies what the provider gave, at most cap bytes.
  size_t take(char* out, size_t cap);
  bool has_data() const { return slots_[take_].avail > 0; }
  bool eof() const { return eof_; }
  // All of the body went to libcurl.
  bool drained() const { return eof_ && !has_data(); }
  // A buffer is free for the provider's next read, and the body goes on.
  bool wants_read() const { return !eof_ && !busy() && slots_[fill_].avail == 0; }
  // Nothing was handed to libcurl since the last rewind: it may start over at once.
  bool at_start() const { return sent_ == 0; }

  // Provider calls in flight; the provider was read since the last rewind.
  bool read_outstanding() const { return read_outstanding_; }
  bool rewind_outstanding() const { return rewind_outstanding_; }
  bool busy() const { return read_outstanding_ || rewind_outstanding_; }
  bool touched() const { return touched_; }
  void read_started() { read_outstanding_ = touched_ = true; }
  void rewind_started() { rewind_outstanding_ = true; }
  void read_ended() { read_outstanding_ = false; }
  void rewind_ended() { rewind_outstanding_ = false; }
  void calls_ended() { read_outstanding_ = rewind_outstanding_ = false; }

  // A read into fill_buffer() came back with `bytes`: nullptr, or why the
  // provider is at fault.
  const char* read_done(uint64_t bytes, bool final_chunk);
  // A rewind came back: the body starts over.
  void rewind_done();

  // A rewind asked for while a read is out starts when the read is back.
  bool rewind_wanted = false;
  int rewind_retries = 0;  // rewinds for libcurl's resends on fresh connections

 private:
  void start_pass();

  struct Slot {
    Cronet_Buffer* buf = nullptr;
    uint64_t avail = 0;  // bytes given by the provider not yet taken, from off
    uint64_t off = 0;
  };
  // Reads fill the slots in turn and libcurl takes them in the same turn, so
  // the bytes keep their order: fill_ runs at most one slot ahead of take_.
  Slot slots_[2];
  int fill_ = 0;
  int take_ = 0;
  int64_t length_ = -1;
  uint64_t buffer_size_ = kBufferSize;
  uint64_t sent_ = 0;      // bytes handed to libcurl since the last rewind
  uint64_t received_ = 0;  // bytes the provider gave since the last rewind
  bool eof_ = false;
  bool short_start_ = false;  // the first read of each pass is kFirstRead long
  bool touched_ = false;
  bool read_outstanding_ = false;
  bool rewind_outstanding_ = false;
};

}  // namespace cronet_curl
