// SPDX-License-Identifier: MIT
// Size arithmetic that cannot wrap: on overflow the result saturates at
// SIZE_MAX, which no allocator can serve, so the caller's ordinary
// allocation-failure path handles it with no branch of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel {

inline std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
  std::size_t sum = 0;
  const bool overflow = __builtin_add_overflow(a, b, &sum);
  return sum | (std::size_t{0} - static_cast<std::size_t>(overflow));
}

inline std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
  std::size_t product = 0;
  const bool overflow = __builtin_mul_overflow(a, b, &product);
  return product | (std::size_t{0} - static_cast<std::size_t>(overflow));
}

// A 64-bit count as a size, saturating where size_t is narrower (32-bit
// targets), so that a count no address space can hold fails to allocate.
inline std::size_t saturating_size(std::uint64_t n) noexcept {
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (n > SIZE_MAX) return SIZE_MAX;
  }
  return static_cast<std::size_t>(n);
}

}  // namespace orvel
