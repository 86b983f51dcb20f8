// Growable byte buffer on malloc/realloc. Large blocks grow by remapping, so a
// body of any size is never copied while it grows and untouched capacity costs
// no resident memory. The fresh pages of a large block are made resident a few
// MiB at a time just ahead of the writes: one system call per step costs much
// less than a page fault per page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform.h"

namespace tarnwick {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const void* data, std::size_t n) { append(data, n); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)),
        ready_(std::exchange(o.ready_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
      ready_ = std::exchange(o.ready_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  const std::uint8_t* data() const noexcept { return data_; }
  std::uint8_t* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  void reserve(std::size_t n) {
    if (n <= cap_) return;
    void* p = std::realloc(data_, n);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    cap_ = n;
    ready_ = size_;  // a moved block is resident only as far as it was copied
  }

  void append(const void* src, std::size_t n) {
    if (n == 0) return;
    if (size_ + n > cap_) {
      std::size_t want = cap_ < 4096 ? 4096 : cap_ + cap_ / 2;
      if (want < size_ + n) want = size_ + n;
      reserve(want);
    }
    make_ready(size_ + n);
    std::memcpy(data_ + size_, src, n);
    size_ += n;
  }

  void push_back(std::uint8_t b) { append(&b, 1); }

  // Room for n more bytes at the end; commit() what was written there.
  std::uint8_t* grow_for(std::size_t n) {
    if (size_ + n > cap_) reserve(size_ + n);
    make_ready(size_ + n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }

  // Copies the contents to dst (room for size() bytes) and empties the buffer.
  // The pages already copied go back to the system as the copy proceeds, so a
  // large buffer and its copy are never both resident in full.
  void move_out_to(void* dst) noexcept {
    constexpr std::size_t kStep = std::size_t{4} << 20;
    auto* out = static_cast<std::uint8_t*>(dst);
    for (std::size_t off = 0; off < size_; off += kStep) {
      const std::size_t n = size_ - off < kStep ? size_ - off : kStep;
      if (size_ > kStep) platform::prefault_pages(out + off, n);
      std::memcpy(out + off, data_ + off, n);
      if (size_ > kStep) platform::discard_pages(data_ + off, n);
    }
    clear();
  }

  void clear() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = cap_ = ready_ = 0;
  }

 private:
  static constexpr std::size_t kPrefaultFrom = std::size_t{4} << 20;
  static constexpr std::size_t kPrefaultStep = std::size_t{2} << 20;

  // Up to `end`, and a step beyond, in large blocks only.
  void make_ready(std::size_t end) noexcept {
    if (end <= ready_ || cap_ < kPrefaultFrom) return;
    std::size_t to = end > ready_ + kPrefaultStep ? end : ready_ + kPrefaultStep;
    if (to > cap_) to = cap_;
    platform::prefault_pages(data_ + ready_, to - ready_);
    ready_ = to;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  std::size_t ready_ = 0;  // [0, ready_) is known to be resident
};

}  // namespace tarnwick
