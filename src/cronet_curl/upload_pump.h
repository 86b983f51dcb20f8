// The request body on the network thread: the buffer the upload provider
// fills, what of it libcurl's read callback has taken, and where the provider
// stands (a read or rewind outstanding). The request drives the provider
// (upload.cpp); the pump only keeps the account.
#pragma once

#include <cstddef>
#include <cstdint>

#include "objects.h"

namespace cronet_curl {

class UploadPump {
 public:
  static constexpr uint64_t kBufferSize = 512 << 10;  // fewer provider round trips per body
  static constexpr int kMaxRewindRetries = 3;

  UploadPump() = default;
  UploadPump(const UploadPump&) = delete;
  UploadPump& operator=(const UploadPump&) = delete;
  ~UploadPump() { delete buf_; }

  // For a body of `length` bytes (-1: unknown, the provider says when it ends).
  void open(int64_t length);
  // The provider's buffer; null without a body (or when it could not be had).
  Cronet_Buffer* buffer() const { return buf_; }

  // libcurl's read callback: copies what the provider gave, at most cap bytes.
  size_t take(char* out, size_t cap);
  bool has_data() const { return avail_ > 0; }
  bool eof() const { return eof_; }
  // All of the body went to libcurl.
  bool drained() const { return eof_ && avail_ == 0; }
  // Another provider read is due once libcurl took the last bytes.
  bool wants_read() const { return avail_ == 0 && !eof_; }
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

  // A read came back with `bytes`: nullptr, or why the provider is at fault.
  const char* read_done(uint64_t bytes, bool final_chunk);
  // A rewind came back: the body starts over.
  void rewind_done();

  // A rewind asked for while a read is out starts when the read is back.
  bool rewind_wanted = false;
  int rewind_retries = 0;  // rewinds for libcurl's resends on fresh connections

 private:
  Cronet_Buffer* buf_ = nullptr;
  int64_t length_ = -1;
  uint64_t avail_ = 0;  // bytes in buf_ not yet taken, from off_
  uint64_t off_ = 0;
  uint64_t sent_ = 0;      // bytes handed to libcurl since the last rewind
  uint64_t received_ = 0;  // bytes the provider gave since the last rewind
  bool eof_ = false;
  bool touched_ = false;
  bool read_outstanding_ = false;
  bool rewind_outstanding_ = false;
};

}  // namespace cronet_curl
