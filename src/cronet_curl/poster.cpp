// Library threads that hand runnables to executors when the test controls ask
// for delayed callbacks or for posting from several threads. Unused (no thread
// is even created) while those controls are off.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "core.h"

namespace cronet_curl {
namespace {

constexpr int kLanes = 4;

struct Item {
  std::chrono::steady_clock::time_point due;
  std::function<void()> deliver;
};

struct Lane {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Item> items;
  bool started = false;

  // Runs while there is work; ends after a short idle spell (so that tests
  // counting threads see it go), poster_submit starts it again when needed.
  void loop() {
    std::unique_lock<std::mutex> l(mu);
    while (true) {
      if (!cv.wait_for(l, std::chrono::milliseconds(50), [&] { return !items.empty(); })) {
        started = false;
        return;
      }
      auto due = items.front().due;
      if (std::chrono::steady_clock::now() < due) {
        cv.wait_until(l, due);
        continue;
      }
      Item it = std::move(items.front());
      items.pop_front();
      l.unlock();
      it.deliver();
      it.deliver = nullptr;
      l.lock();
    }
  }
};

std::atomic<Lane*> g_lanes{nullptr};

// In a child made by fork() the lanes' threads are gone, a lane's lock may have
// been held by one of them, and the queued deliveries are for the parent's
// requests: the child starts over with fresh lanes and leaves the old ones be.
void fresh_lanes_in_child() {
  if (g_lanes.load(std::memory_order_relaxed) == nullptr) return;
  if (Lane* fresh = new (std::nothrow) Lane[kLanes])
    g_lanes.store(fresh, std::memory_order_relaxed);
}

Lane* lanes() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(nullptr, nullptr, fresh_lanes_in_child);
    g_lanes.store(new Lane[kLanes]);  // never freed: threads run until exit
  });
  return g_lanes.load(std::memory_order_relaxed);
}

}  // namespace

void poster_submit(uint64_t lane_key, uint32_t delay_ms, std::function<void()> deliver) {
  Lane& lane = lanes()[lane_key % kLanes];
  std::lock_guard<std::mutex> l(lane.mu);
  if (!lane.started) {
    lane.started = true;
    std::thread([&lane] { lane.loop(); }).detach();
  }
  lane.items.push_back(Item{std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms),
                            std::move(deliver)});
  lane.cv.notify_one();
}

}  // namespace cronet_curl
