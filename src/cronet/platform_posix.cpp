#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "platform.h"

namespace tarnwick::platform {

namespace {
void* thread_main(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}
}  // namespace

bool spawn_detached(std::function<void()> body) noexcept {
  auto* heap = new (std::nothrow) std::function<void()>(std::move(body));
  if (heap == nullptr) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete heap;
    return false;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, thread_main, heap);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete heap;
    return false;
  }
  return true;
}

void sleep_ms(std::uint64_t ms) noexcept {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::uint64_t monotonic_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

bool random_bytes(void* buf, std::size_t n) noexcept {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

std::uint64_t process_id() noexcept { return static_cast<std::uint64_t>(::getpid()); }

void write_stderr(const char* data, std::size_t n) noexcept {
  ssize_t rc;
  do {
    rc = ::write(STDERR_FILENO, data, n);
  } while (rc < 0 && errno == EINTR);
}

namespace {
// madvise over the whole pages inside [p, p + n); 0 when there are none.
int advise_whole_pages(void* p, std::size_t n, int advice) noexcept {
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(page - 1);
  return end > begin ? madvise(reinterpret_cast<void*>(begin), end - begin, advice) : 0;
}
}  // namespace

void discard_pages(void* p, std::size_t n) noexcept { advise_whole_pages(p, n, MADV_DONTNEED); }

#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack the name
#endif

void prefault_pages(void* p, std::size_t n) noexcept {
#ifdef MADV_POPULATE_WRITE
  // An older kernel refuses the advice: stop asking.
  static std::atomic<bool> unsupported{false};
  if (unsupported.load(std::memory_order_relaxed)) return;
  if (advise_whole_pages(p, n, MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
    unsupported.store(true, std::memory_order_relaxed);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace tarnwick::platform
