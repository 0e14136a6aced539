// SPDX-License-Identifier: MIT
// One branch per system, each compiled only there.
#include "random_source.h"

#if defined(_WIN32)
#  include <windows.h>
#  include <bcrypt.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || \
    defined(__NetBSD__) || defined(__DragonFly__) || defined(__ANDROID__)
#  include <stdlib.h>  // arc4random_buf
#  include <unistd.h>
#elif defined(__linux__)
#  include <sys/random.h>
#  include <unistd.h>
#else
#  include <unistd.h>
#endif
#if !defined(_WIN32)
#  include <time.h>
#endif

namespace orvel {

bool system_random(void *out, std::size_t len) noexcept {
#if defined(_WIN32)
  if (len > 0xffffffffu) return false;
  return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(len),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || \
    defined(__NetBSD__) || defined(__DragonFly__) || defined(__ANDROID__)
  // Seeded by the kernel, never blocks and cannot fail.
  arc4random_buf(out, len);
  return true;
#elif defined(__linux__)
  // Non-blocking: early in boot the pool may not be ready, and a weaker key
  // beats a library call that hangs.
  return getrandom(out, len, GRND_NONBLOCK) == static_cast<ssize_t>(len);
#else
  (void)out;
  (void)len;
  return false;
#endif
}

std::uint64_t process_id() noexcept {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<std::uint64_t>(getpid());
#endif
}

ClockReading read_clocks() noexcept {
#if defined(_WIN32)
  FILETIME wall{};
  GetSystemTimePreciseAsFileTime(&wall);
  LARGE_INTEGER steady{};
  QueryPerformanceCounter(&steady);
  return {(static_cast<std::uint64_t>(wall.dwHighDateTime) << 32) | wall.dwLowDateTime,
          static_cast<std::uint64_t>(steady.QuadPart)};
#else
  const auto nanoseconds = [](clockid_t clock) noexcept {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
  };
  return {nanoseconds(CLOCK_REALTIME), nanoseconds(CLOCK_MONOTONIC)};
#endif
}

}  // namespace orvel
