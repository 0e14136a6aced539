// SPDX-License-Identifier: MIT
// The saturating size helpers: exact below the limit, SIZE_MAX (which no
// allocator serves) at and past it.
#include <gtest/gtest.h>

#include <cstdint>

#include "size_math.h"

namespace {

constexpr std::size_t kMax = SIZE_MAX;
constexpr std::size_t kHalf = SIZE_MAX / 2;  // 2 * kHalf == kMax - 1

}  // namespace

TEST(SizeMath, AddSaturates) {
  const struct {
    std::size_t a, b, sum;
  } cases[] = {
      {0, 0, 0},          {1, 2, 3},       {kMax - 1, 1, kMax}, {kHalf, kHalf + 1, kMax},
      {kMax, 0, kMax},    {kMax, 1, kMax}, {1, kMax, kMax},     {kMax, kMax, kMax},
      {kHalf + 1, kHalf + 1, kMax},
  };
  for (const auto &c : cases) EXPECT_EQ(orvel::saturating_add(c.a, c.b), c.sum) << c.a << " + " << c.b;
}

TEST(SizeMath, MulSaturates) {
  const struct {
    std::size_t a, b, product;
  } cases[] = {
      {0, kMax, 0},      {kMax, 0, 0},          {1, kMax, kMax},      {2, kHalf, kMax - 1},
      {2, kHalf + 1, kMax}, {kHalf + 1, 2, kMax}, {kMax, kMax, kMax},   {16, 24, 384},
      {std::size_t{1} << (sizeof(std::size_t) * 4), std::size_t{1} << (sizeof(std::size_t) * 4), kMax},
  };
  for (const auto &c : cases) EXPECT_EQ(orvel::saturating_mul(c.a, c.b), c.product) << c.a << " * " << c.b;
}

// A 64-bit count fits a size where size_t has 64 bits; on 32-bit targets a
// count past SIZE_MAX saturates instead of losing its high half.
TEST(SizeMath, SizeOfA64BitCount) {
  EXPECT_EQ(orvel::saturating_size(0), 0u);
  EXPECT_EQ(orvel::saturating_size(kMax), kMax);
  EXPECT_EQ(orvel::saturating_size(UINT64_MAX), kMax);
  const std::uint64_t just_past = static_cast<std::uint64_t>(kMax) + (sizeof(std::size_t) < 8 ? 1 : 0);
  EXPECT_EQ(orvel::saturating_size(just_past), kMax);
  // A count whose low half alone would look small must not wrap to it.
  EXPECT_EQ(orvel::saturating_size((std::uint64_t{1} << 32) + 5), sizeof(std::size_t) < 8 ? kMax : (std::size_t{1} << 32) + 5);
}
