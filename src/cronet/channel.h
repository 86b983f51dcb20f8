// Unbounded multi-producer single-consumer FIFO channel. It is disconnected for
// the receiver when the last sender goes; a send fails once the receiver is gone.
// Senders wake the receiver only when it waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tarnwick {

// FIFO on one ring of slots that grows by doubling and is never shrunk, so a
// queue that keeps filling and draining allocates nothing after its first
// values. Nothing is allocated until the first push.
template <class T>
class RingQueue {
 public:
  bool empty() const noexcept { return count_ == 0; }
  std::size_t size() const noexcept { return count_; }

  void push_back(T value) {
    if (count_ == slots_.size()) grow();
    slots_[(head_ + count_) & (slots_.size() - 1)].emplace(std::move(value));
    ++count_;
  }

  T pop_front() {
    std::optional<T>& slot = slots_[head_];
    T v = std::move(*slot);
    slot.reset();
    head_ = (head_ + 1) & (slots_.size() - 1);
    --count_;
    return v;
  }

  void swap(RingQueue& o) noexcept {
    slots_.swap(o.slots_);
    std::swap(head_, o.head_);
    std::swap(count_, o.count_);
  }

 private:
  void grow() {
    std::vector<std::optional<T>> bigger(slots_.empty() ? 4 : slots_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i)
      bigger[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
    slots_.swap(bigger);
    head_ = 0;
  }

  std::vector<std::optional<T>> slots_;  // size 0 or a power of two
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

template <class T>
class Channel {
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    RingQueue<T> queue;
    std::size_t senders = 1;
    bool receiver_alive = true;
    bool receiver_waiting = false;
  };

 public:
  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State> s) : s_(std::move(s)) {}
    Sender(const Sender& o) : s_(o.s_) {
      if (s_) {
        std::lock_guard<std::mutex> g(s_->mu);
        ++s_->senders;
      }
    }
    Sender& operator=(const Sender& o) {
      if (this != &o) {
        Sender copy(o);
        swap(copy);
      }
      return *this;
    }
    Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
    Sender& operator=(Sender&& o) noexcept {
      if (this != &o) {
        reset();
        s_ = std::move(o.s_);
      }
      return *this;
    }
    ~Sender() { reset(); }

    void swap(Sender& o) noexcept { s_.swap(o.s_); }
    explicit operator bool() const noexcept { return s_ != nullptr; }

    // False (and the value dropped) when the receiver is gone.
    bool send(T value) {
      if (!s_) return false;
      bool wake;
      {
        std::lock_guard<std::mutex> g(s_->mu);
        if (!s_->receiver_alive) return false;
        s_->queue.push_back(std::move(value));
        wake = s_->receiver_waiting;
      }
      if (wake) s_->cv.notify_one();
      return true;
    }

    // Drops this sending end; the last one disconnects the channel.
    void reset() noexcept {
      if (!s_) return;
      bool wake = false;
      {
        std::lock_guard<std::mutex> g(s_->mu);
        if (--s_->senders == 0) wake = s_->receiver_waiting;
      }
      if (wake) s_->cv.notify_one();
      s_.reset();
    }

    // Lets go of the channel without counting this end out, so without its
    // lock: for a process that inherited the channel through fork(), where the
    // lock may never be released. The channel stays connected for good.
    void abandon() noexcept { s_.reset(); }

   private:
    std::shared_ptr<State> s_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State> s) : s_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
      if (this != &o) {
        close();
        s_ = std::move(o.s_);
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // Blocks for the next value; nullopt once disconnected and drained.
    std::optional<T> recv() {
      std::unique_lock<std::mutex> g(s_->mu);
      while (s_->queue.empty()) {
        if (s_->senders == 0) return std::nullopt;
        s_->receiver_waiting = true;
        s_->cv.wait(g);
        s_->receiver_waiting = false;
      }
      return pop(g);
    }

    enum class Wait { kItem, kTimeout, kDisconnected };

    // Waits until a value arrives, the deadline passes or the senders are gone.
    Wait recv_until(std::optional<std::chrono::steady_clock::time_point> deadline,
                    std::optional<T>& out) {
      std::unique_lock<std::mutex> g(s_->mu);
      while (s_->queue.empty()) {
        if (s_->senders == 0) return Wait::kDisconnected;
        s_->receiver_waiting = true;
        if (!deadline) {
          s_->cv.wait(g);
        } else if (s_->cv.wait_until(g, *deadline) == std::cv_status::timeout &&
                   s_->queue.empty()) {
          s_->receiver_waiting = false;
          return s_->senders == 0 ? Wait::kDisconnected : Wait::kTimeout;
        }
        s_->receiver_waiting = false;
      }
      out = pop(g);
      return Wait::kItem;
    }

    std::optional<T> try_recv() {
      std::unique_lock<std::mutex> g(s_->mu);
      if (s_->queue.empty()) return std::nullopt;
      return pop(g);
    }

    // Stops listening: later sends fail, queued values are dropped.
    void close() noexcept {
      if (!s_) return;
      RingQueue<T> dropped;
      {
        std::lock_guard<std::mutex> g(s_->mu);
        s_->receiver_alive = false;
        dropped.swap(s_->queue);
      }
      s_.reset();
    }

   private:
    T pop(std::unique_lock<std::mutex>&) { return s_->queue.pop_front(); }
    std::shared_ptr<State> s_;
  };

  static std::pair<Sender, Receiver> make() {
    auto s = std::make_shared<State>();
    return {Sender(s), Receiver(s)};
  }
};

}  // namespace tarnwick
