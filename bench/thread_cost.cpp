// Costs the request path pays by design, measured alone:
//   spawn: start a detached thread that hands one value back over a
//          mutex/condvar slot, and wait for it (one forwarding thread per call);
//   hop:   hand a value to a long-lived thread and get it back (one round trip
//          through an executor-style queue).
// Build: g++ -O2 -std=c++20 -pthread thread_cost.cpp -o thread_cost
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

struct Slot {
  std::mutex mu;
  std::condition_variable cv;
  bool full = false;
  void put() {
    {
      std::lock_guard<std::mutex> l(mu);
      full = true;
    }
    cv.notify_one();
  }
  void take() {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [this] { return full; });
    full = false;
  }
};

void* forward(void* arg) {
  static_cast<Slot*>(arg)->put();
  return nullptr;
}

double spawn_us(int n) {
  Slot slot;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    pthread_t t;
    if (pthread_create(&t, &attr, forward, &slot) != 0) std::abort();
    slot.take();
  }
  auto dt = std::chrono::steady_clock::now() - t0;
  pthread_attr_destroy(&attr);
  return std::chrono::duration<double, std::micro>(dt).count() / n;
}

double hop_us(int n) {
  Slot there, back;
  std::thread worker([&] {
    for (int i = 0; i < n; ++i) {
      there.take();
      back.put();
    }
  });
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    there.put();
    back.take();
  }
  auto dt = std::chrono::steady_clock::now() - t0;
  worker.join();
  return std::chrono::duration<double, std::micro>(dt).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 20000;
  spawn_us(n / 10);  // warm the allocator's thread-stack cache
  double s = spawn_us(n);
  double h = hop_us(n);
  std::printf("{\"n\": %d, \"spawn_and_handover_us\": %.2f, \"round_trip_hop_us\": %.2f}\n", n, s,
              h);
  return 0;
}
