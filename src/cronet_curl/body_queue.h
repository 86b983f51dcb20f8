// Response bytes held for the application between libcurl (or the decoder)
// and Read, in fixed-size blocks that are reused. A download cycles the same
// few blocks instead of allocating per chunk: freed chunks went back to the
// network thread's malloc arena, which trimmed them and faulted fresh pages
// in for the next ones.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace cronet_curl {

using Block = std::unique_ptr<char[]>;

// Blocks kept between requests. Network thread only.
class BlockPool {
 public:
  static constexpr size_t kBlockSize = 64 << 10;
  static constexpr size_t kMaxKept = 8;

  Block take() {
    if (kept_.empty()) return Block(new char[kBlockSize]);
    Block b = std::move(kept_.back());
    kept_.pop_back();
    return b;
  }
  void give(Block b) {
    if (kept_.size() < kMaxKept) kept_.push_back(std::move(b));
  }
  size_t kept() const { return kept_.size(); }

 private:
  std::vector<Block> kept_;
};

// Not locked: the owner guards it (RequestCore::queue_mu_). Append, take_block
// and give_back run on the network thread, which owns `pool`; copy_out on any.
class BodyQueue {
 public:
  static constexpr size_t kBlockSize = BlockPool::kBlockSize;
  // Blocks a queue keeps for itself as it drains: enough for its high-water mark.
  static constexpr size_t kMaxSpare = 17;

  size_t size() const { return size_; }

  // Copies n bytes in, filling the last block before taking another.
  void append(const char* p, size_t n, BlockPool* pool) {
    size_ += n;
    while (n > 0) {
      if (blocks_.empty() || blocks_.back().end == kBlockSize) {
        blocks_.push_back(Entry{take_block(pool), 0, 0});
      }
      Entry& e = blocks_.back();
      size_t k = std::min(n, kBlockSize - e.end);
      std::memcpy(e.data.get() + e.end, p, k);
      e.end += k;
      p += k;
      n -= k;
    }
  }

  // A block to fill outside the lock, then hand back with Push or give_back.
  Block take_block(BlockPool* pool) {
    if (spare_.empty()) return pool->take();
    Block b = std::move(spare_.back());
    spare_.pop_back();
    return b;
  }
  // Queues the first n bytes of b (n > 0). Small pieces are copied into the
  // last block's free room instead, so a block is not held for a few bytes.
  void push(Block b, size_t n, BlockPool* pool) {
    if (n < kBlockSize / 4 && !blocks_.empty() && kBlockSize - blocks_.back().end >= n) {
      append(b.get(), n, pool);
      recycle(std::move(b));
      return;
    }
    blocks_.push_back(Entry{std::move(b), 0, n});
    size_ += n;
  }
  void give_back(Block b) { recycle(std::move(b)); }

  // Moves up to cap bytes out, in order; drained blocks are kept for reuse.
  size_t copy_out(char* dst, size_t cap) {
    size_t copied = 0;
    while (copied < cap && !blocks_.empty()) {
      Entry& e = blocks_.front();
      size_t k = std::min(e.end - e.begin, cap - copied);
      std::memcpy(dst + copied, e.data.get() + e.begin, k);
      copied += k;
      e.begin += k;
      if (e.begin == e.end) {
        recycle(std::move(e.data));
        blocks_.pop_front();
      }
    }
    size_ -= copied;
    return copied;
  }

  // Drops the bytes; the blocks are kept.
  void clear() {
    for (Entry& e : blocks_) recycle(std::move(e.data));
    blocks_.clear();
    size_ = 0;
  }

  // The queue's spare blocks go to the engine's pool (the queue is done with).
  void return_spare(BlockPool* pool) {
    for (Block& b : spare_) pool->give(std::move(b));
    spare_.clear();
  }

 private:
  struct Entry {
    Block data;
    size_t begin;  // first byte not yet read
    size_t end;    // one past the last byte written
  };
  void recycle(Block b) {
    if (spare_.size() < kMaxSpare) spare_.push_back(std::move(b));
  }

  std::deque<Entry> blocks_;
  std::vector<Block> spare_;
  size_t size_ = 0;
};

}  // namespace cronet_curl
