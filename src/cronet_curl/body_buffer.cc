// The response bytes waiting for the application (body_buffer.h).
#include "body_buffer.h"

#include "testctl_internal.h"

namespace cronet_curl {

BodyBuffer::~BodyBuffer() {
  if (queue_.size()) AddBufferedBytes(-static_cast<int64_t>(queue_.size()));
}

bool BodyBuffer::Offer(const char* p, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size() >= kHighWater) {
    paused_ = true;
    return false;
  }
  queue_.Append(p, n, pool);
  AddBufferedBytes(static_cast<int64_t>(n));
  return true;
}

void BodyBuffer::Append(const char* p, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.Append(p, n, pool);
  AddBufferedBytes(static_cast<int64_t>(n));
}

bool BodyBuffer::PauseIfFull() {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size() < kHighWater) return false;
  paused_ = true;
  return true;
}

Block BodyBuffer::TakeBlock(BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.TakeBlock(pool);
}

void BodyBuffer::Push(Block b, size_t n, BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.Push(std::move(b), n, pool);
  AddBufferedBytes(static_cast<int64_t>(n));
}

void BodyBuffer::SetPaused(bool paused) {
  std::lock_guard<std::mutex> l(mu_);
  paused_ = paused;
}

bool BodyBuffer::ResumeDue() {
  std::lock_guard<std::mutex> l(mu_);
  return paused_ && queue_.size() <= kLowWater;
}

void BodyBuffer::MarkEnd() {
  std::lock_guard<std::mutex> l(mu_);
  end_ = true;
}

void BodyBuffer::Clear() {
  std::lock_guard<std::mutex> l(mu_);
  if (queue_.size()) AddBufferedBytes(-static_cast<int64_t>(queue_.size()));
  queue_.Clear();
}

void BodyBuffer::ReturnSpare(BlockPool* pool) {
  std::lock_guard<std::mutex> l(mu_);
  queue_.ReturnSpare(pool);
}

bool BodyBuffer::empty() {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.size() == 0;
}

bool BodyBuffer::paused() {
  std::lock_guard<std::mutex> l(mu_);
  return paused_;
}

size_t BodyBuffer::CopyOut(Cronet_Buffer* buf, bool* resume) {
  std::lock_guard<std::mutex> l(mu_);
  return CopyOutLocked(buf, resume);
}

size_t BodyBuffer::ReadNow(Cronet_Buffer* buf, bool* resume, bool* at_end) {
  std::lock_guard<std::mutex> l(mu_);
  *at_end = queue_.size() == 0 && end_;
  return CopyOutLocked(buf, resume);
}

size_t BodyBuffer::CopyOutLocked(Cronet_Buffer* buf, bool* resume) {
  *resume = false;
  if (queue_.size() == 0) return 0;
  size_t copied = queue_.CopyOut(static_cast<char*>(buf->data), static_cast<size_t>(buf->size));
  AddBufferedBytes(-static_cast<int64_t>(copied));
  *resume = paused_ && queue_.size() <= kLowWater;
  return copied;
}

}  // namespace cronet_curl
