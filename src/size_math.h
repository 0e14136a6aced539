// Size arithmetic that cannot wrap: on overflow the result saturates at
// SIZE_MAX, which no allocator can serve, so the caller's ordinary
// allocation-failure path handles it with no branch of its own.
#pragma once

#include <cstddef>

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

}  // namespace orvel
