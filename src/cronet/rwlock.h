// Readers-writer lock that is poisoned when a fault unwinds through an exclusive
// holder: the data it guards may be half-changed, so later users fault too.
#pragma once

#include <atomic>
#include <exception>
#include <shared_mutex>
#include <string>

#include "fault.h"

namespace tarnwick {

class PoisonRwLock {
 public:
  class Shared {
   public:
    explicit Shared(PoisonRwLock& lock) : lock_(lock) {
      lock_.mutex_.lock_shared();
      if (lock_.poisoned()) {
        lock_.mutex_.unlock_shared();
        raise_poisoned();
      }
    }
    ~Shared() { lock_.mutex_.unlock_shared(); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    PoisonRwLock& lock_;
  };

  class Exclusive {
   public:
    explicit Exclusive(PoisonRwLock& lock)
        : lock_(lock), exceptions_at_entry_(std::uncaught_exceptions()) {
      lock_.mutex_.lock();
      if (lock_.poisoned()) {
        lock_.mutex_.unlock();
        raise_poisoned();
      }
    }
    ~Exclusive() {
      if (std::uncaught_exceptions() > exceptions_at_entry_)
        lock_.poisoned_.store(true, std::memory_order_release);
      lock_.mutex_.unlock();
    }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    PoisonRwLock& lock_;
    int exceptions_at_entry_;
  };

  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

 private:
  [[noreturn]] static void raise_poisoned() {
    raise_fault(std::string(kUnwrapErr) + ": the registry lock was poisoned by an earlier fault");
  }

  std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

}  // namespace tarnwick
