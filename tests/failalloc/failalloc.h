// SPDX-License-Identifier: MIT
// Test-only allocation-failure injector. Linked into a test executable, it
// takes the place of malloc, calloc and realloc for the whole process (the
// library and yyjson included) and, while armed, fails exactly the Nth
// allocation. It is never part of the installed library.
#pragma once

#include <cstdint>

namespace failalloc {

// Counts allocations from now on and fails the nth one (1-based); n == 0
// counts without failing.
void arm(std::uint64_t n) noexcept;
// While armed, the nth allocation (1-based) fails as well, without counting
// as the armed failure; 0 (the default, reset by arm) fails nothing more. For
// sweeping what a caller does after an earlier failure it recovers from.
void also_fail(std::uint64_t n) noexcept;
// Stops failing and counting.
void disarm() noexcept;
// Allocations attempted since the last arm().
std::uint64_t attempts() noexcept;
// Whether the armed failure has happened.
bool fired() noexcept;
// Whether realloc always moves a block (to a new one, copied, the old one
// freed), as an allocator may: for testing callers that shrink in place.
// Off by default; independent of arm().
void move_reallocs(bool on) noexcept;
// Blocks allocated and not yet freed, process-wide, since start-up.
std::int64_t live_blocks() noexcept;
// Their usable bytes, as the allocator reports them.
std::int64_t live_bytes() noexcept;

}  // namespace failalloc
