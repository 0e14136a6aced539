// SPDX-License-Identifier: MIT
// The rules the journal applies to texts before it keeps them: every text it
// keeps must later be writable as JSON (its own export, the request body).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvel_sync {

// Valid UTF-8 by RFC 3629: no stray continuation byte, no truncated or
// overlong sequence, no surrogate code point, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view text) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const unsigned char *const end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n + 1;
  }
  return true;
}

// JSON's four whitespace characters.
inline bool json_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace orvel_sync
