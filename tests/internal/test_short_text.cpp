// SPDX-License-Identifier: MIT
// Copying and comparing short texts with overlapping halves: every length
// up to past the longest inline one, every byte's difference noticed, and
// nothing read or written outside the n bytes.
#include <gtest/gtest.h>

#include <string>

#include "short_text.h"

TEST(ShortText, CopiesExactlyNBytesOfEveryLength) {
  for (std::size_t n = 0; n <= 80; ++n) {
    std::string from(n, '\0');
    for (std::size_t i = 0; i < n; ++i) from[i] = static_cast<char>('A' + i % 50);
    std::string to(n + 2, '#');
    orvel::copy_text(&to[1], from.data(), n);
    EXPECT_EQ(to.substr(1, n), from) << n;
    EXPECT_EQ(to.front(), '#') << n;
    EXPECT_EQ(to.back(), '#') << n;
  }
}

TEST(ShortText, ComparesEveryByteOfEveryLength) {
  for (std::size_t n = 0; n <= 80; ++n) {
    std::string a(n, 'x');
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
    EXPECT_TRUE(orvel::same_text(a.data(), std::string(a).data(), n)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string b = a;
      b[at] = '#';
      ASSERT_FALSE(orvel::same_text(a.data(), b.data(), n)) << n << " bytes, differing at " << at;
    }
  }
}
