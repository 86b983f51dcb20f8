// The response bytes waiting for the application (body_buffer.h).
#include "body_buffer.h"

#include "testctl_internal.h"

namespace cronet_curl {

BodyBuffer::~BodyBuffer() {
  if (queue_.size()) add_buffered_bytes(-static_cast<int64_t>(queue_.size()));
}

bool BodyBuffer::offer(const char* p, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size() >= kHighWater) {
    paused_ = true;
    return false;
  }
  queue_.append(p, n, pool);
  add_buffered_bytes(static_cast<int64_t>(n));
  return true;
}

void BodyBuffer::append(const char* p, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.append(p, n, pool);
  add_buffered_bytes(static_cast<int64_t>(n));
}

bool BodyBuffer::pause_if_full() {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size() < kHighWater) return false;
  paused_ = true;
  return true;
}

Block BodyBuffer::take_block(BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.take_block(pool);
}

void BodyBuffer::push(Block b, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.push(std::move(b), n, pool);
  add_buffered_bytes(static_cast<int64_t>(n));
}

void BodyBuffer::set_paused(bool paused) {
  std::lock_guard<std::mutex> l(mu_);
  paused_ = paused;
}

bool BodyBuffer::resume_due() {
  std::lock_guard<std::mutex> l(mu_);
  return paused_ && queue_.size() <= kLowWater;
}

void BodyBuffer::mark_end() {
  std::lock_guard<std::mutex> l(mu_);
  end_ = true;
}

void BodyBuffer::clear() {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size()) add_buffered_bytes(-static_cast<int64_t>(queue_.size()));
  queue_.clear();
}

void BodyBuffer::return_spare(BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.return_spare(pool);
}

bool BodyBuffer::empty() {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.size() == 0;
}

bool BodyBuffer::paused() {
  std::lock_guard<std::mutex> l(mu_);
  return paused_;
}

size_t BodyBuffer::copy_out(Cronet_Buffer* buf, bool* resume) {
  std::lock_guard<std::mutex> l(mu_);
  return copy_out_locked(buf, resume);
}

size_t BodyBuffer::read_now(Cronet_Buffer* buf, bool* resume, bool* at_end) {
  std::lock_guard<std::mutex> l(mu_);
  *at_end = queue_.size() == 0 && end_;
  return copy_out_locked(buf, resume);
}

size_t BodyBuffer::copy_out_locked(Cronet_Buffer* buf, bool* resume) {
  *resume = false;
  if (queue_.size() == 0) return 0;
  size_t copied = queue_.copy_out(static_cast<char*>(buf->data), static_cast<size_t>(buf->size));
  add_buffered_bytes(-static_cast<int64_t>(copied));
  *resume = paused_ && queue_.size() <= kLowWater;
  return copied;
}

}  // namespace cronet_curl
