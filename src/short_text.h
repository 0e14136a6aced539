// SPDX-License-Identifier: MIT
// Copying and comparing texts that are mostly short (identifiers, titles):
// up to 64 bytes with a few fixed-size moves, the two halves overlapping,
// instead of a call; longer ones through the C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvel {
namespace detail {

struct Bytes16 {
  unsigned char b[16];
};
struct Bytes32 {
  unsigned char b[32];
};

// Calls op(Word{}) with the word that covers n bytes in two overlapping
// halves, for 4 <= n <= 64.
template <class Op>
inline void by_halves(std::size_t n, Op op) noexcept {
  if (n > 32) {
    op(Bytes32{});
  } else if (n > 16) {
    op(Bytes16{});
  } else if (n >= 8) {
    op(std::uint64_t{});
  } else {
    op(std::uint32_t{});
  }
}

}  // namespace detail

inline void copy_text(char *to, const char *from, std::size_t n) noexcept {
  if (n > 64) {
    std::memcpy(to, from, n);
  } else if (n >= 4) {
    detail::by_halves(n, [&](auto word) noexcept {
      constexpr std::size_t w = sizeof word;
      decltype(word) head, tail;
      std::memcpy(&head, from, w);
      std::memcpy(&tail, from + n - w, w);
      std::memcpy(to, &head, w);
      std::memcpy(to + n - w, &tail, w);
    });
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

inline bool same_text(const char *a, const char *b, std::size_t n) noexcept {
  if (n > 64) return std::memcmp(a, b, n) == 0;
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  bool same = false;
  detail::by_halves(n, [&](auto word) noexcept {
    constexpr std::size_t w = sizeof word;
    same = std::memcmp(a, b, w) == 0 && std::memcmp(a + n - w, b + n - w, w) == 0;
  });
  return same;
}

}  // namespace orvel
