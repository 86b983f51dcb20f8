// The few operating-system services the core needs, behind one small interface
// so that the Windows build swaps one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tarnwick::platform {

// Starts a detached thread with the default stack size; false when the system refuses.
bool spawn_detached(std::function<void()> body) noexcept;

void sleep_ms(std::uint64_t ms) noexcept;

// Monotonic clock, nanoseconds from an arbitrary origin.
std::uint64_t monotonic_ns() noexcept;

// Fills buf from the operating system's cryptographic source; false on failure.
bool random_bytes(void* buf, std::size_t n) noexcept;

// Identifies the running process. Objects made before a fork() compare it with
// the value they recorded to find out that they were inherited by a child.
std::uint64_t process_id() noexcept;

// Gives the whole pages inside [p, p + n) back to the system; their contents
// are lost. Memory the caller owns and will only free afterwards.
void discard_pages(void* p, std::size_t n) noexcept;

// Makes the whole pages inside [p, p + n) resident ahead of a write, in one
// call instead of a fault per page. Only a hint: ignored where unsupported.
void prefault_pages(void* p, std::size_t n) noexcept;

// One write(2)-style call to standard error, so concurrent lines never interleave.
void write_stderr(const char* data, std::size_t n) noexcept;

}  // namespace tarnwick::platform
