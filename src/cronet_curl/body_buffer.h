// The response bytes waiting for the application, between libcurl (or the
// decoder) on the network thread and Read on any thread, with the water marks
// that pause and resume receiving. Locked inside: a Read finds buffered bytes,
// or the end of a body already in, itself, without a round trip through the
// network thread. Its lock is the innermost one (nothing is called under it).
#pragma once

#include <cstddef>
#include <mutex>

#include "body_queue.h"
#include "objects.h"

namespace cronet_curl {

class BodyBuffer {
 public:
  // A paused transfer resumes once the bytes buffered for the app fall to this.
  static constexpr size_t kLowWater = 256 << 10;
  // Receiving pauses past this many buffered bytes.
  static constexpr size_t kHighWater = 1 << 20;

  BodyBuffer() = default;
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;
  ~BodyBuffer();

  // ---- network thread (owns `pool`) ----
  // Queues n bytes unless the high-water mark is reached: then the transfer
  // is to pause (paused() is set) and false comes back.
  bool offer(const char* p, size_t n, BlockPool* pool);
  void append(const char* p, size_t n, BlockPool* pool);
  // At the high-water mark: sets paused() and returns true.
  bool pause_if_full();
  // A block to fill outside the lock, then queue with push (n > 0 bytes).
  Block take_block(BlockPool* pool);
  void push(Block b, size_t n, BlockPool* pool);
  void set_paused(bool paused);
  // Paused and drained to the low-water mark: time to resume.
  bool resume_due();
  // The transfer ended well: an empty buffer is now the end of the body.
  void mark_end();
  void clear();
  void return_spare(BlockPool* pool);

  // ---- any thread ----
  bool empty();
  bool paused();
  // Moves buffered bytes into buf; *resume tells that the transfer may go on.
  size_t copy_out(Cronet_Buffer* buf, bool* resume);
  // As copy_out; when nothing is buffered, *at_end tells whether the body is over.
  size_t read_now(Cronet_Buffer* buf, bool* resume, bool* at_end);

 private:
  size_t copy_out_locked(Cronet_Buffer* buf, bool* resume);

  std::mutex mu_;
  BodyQueue queue_;
  bool paused_ = false;
  bool end_ = false;
};

}  // namespace cronet_curl
