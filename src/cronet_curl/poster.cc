// Library threads that hand runnables to executors when the test controls ask
// for delayed callbacks or for posting from several threads. Unused (no thread
// is even created) while those controls are off.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
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
  // counting threads see it go), PosterSubmit starts it again when needed.
  void Loop() {
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

Lane* Lanes() {
  static Lane* lanes = new Lane[kLanes];  // never freed: threads run until exit
  return lanes;
}

}  // namespace

void PosterSubmit(uint64_t lane_key, uint32_t delay_ms, std::function<void()> deliver) {
  Lane& lane = Lanes()[lane_key % kLanes];
  std::lock_guard<std::mutex> l(lane.mu);
  if (!lane.started) {
    lane.started = true;
    std::thread([&lane] { lane.Loop(); }).detach();
  }
  lane.items.push_back(
      Item{std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms),
           std::move(deliver)});
  lane.cv.notify_one();
}

}  // namespace cronet_curl
