// SPDX-License-Identifier: MIT
// The system's random source and the few other facts about the process that
// the hash keys are drawn from: the only code that differs between systems.
// Straight from the C library and the system, so that the library needs no
// C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel {

// Fills len bytes at out from the system's random source without blocking;
// false when the source is missing or not ready (the caller then falls back).
bool system_random(void *out, std::size_t len) noexcept;

// The process's identifier, one of the inputs of the fallback key.
std::uint64_t process_id() noexcept;

// The wall clock and a steady clock, in nanoseconds (or the finest unit the
// system gives): the other inputs of the fallback key.
struct ClockReading {
  std::uint64_t wall;
  std::uint64_t steady;
};
ClockReading read_clocks() noexcept;

}  // namespace orvel
