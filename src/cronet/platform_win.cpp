#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <memory>

#include "platform.h"

namespace tarnwick::platform {

namespace {
DWORD WINAPI thread_main(LPVOID arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return 0;
}
}  // namespace

bool spawn_detached(std::function<void()> body) noexcept {
  auto* heap = new (std::nothrow) std::function<void()>(std::move(body));
  if (heap == nullptr) return false;
  HANDLE h = CreateThread(nullptr, 0, thread_main, heap, 0, nullptr);
  if (h == nullptr) {
    delete heap;
    return false;
  }
  CloseHandle(h);  // detached: nobody joins it
  return true;
}

void sleep_ms(std::uint64_t ms) noexcept {
  while (ms > 0) {
    DWORD step = ms > 0x7FFFFFFFull ? 0x7FFFFFFF : static_cast<DWORD>(ms);
    Sleep(step);
    ms -= step;
  }
}

std::uint64_t monotonic_ns() noexcept {
  static const LONGLONG freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const auto ticks = static_cast<unsigned long long>(c.QuadPart);
  const auto f = static_cast<unsigned long long>(freq);
  return (ticks / f) * 1000000000ull + (ticks % f) * 1000000000ull / f;
}

bool random_bytes(void* buf, std::size_t n) noexcept {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), static_cast<ULONG>(n),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// No fork here: an object never outlives the process that made it.
std::uint64_t process_id() noexcept { return GetCurrentProcessId(); }

void write_stderr(const char* data, std::size_t n) noexcept {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), data, static_cast<DWORD>(n), &written, nullptr);
}

// Heap blocks may not be decommitted piecemeal; the pages go when the block is freed.
void discard_pages(void*, std::size_t) noexcept {}

// Left to the ordinary demand faults.
void prefault_pages(void*, std::size_t) noexcept {}

}  // namespace tarnwick::platform
