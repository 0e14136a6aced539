// SPDX-License-Identifier: MIT
// A JSON text written straight from the journal's own fields, in two passes
// over the same steps: the first only counts, the second fills one block of
// the exact size. Saving after every outcome makes this the client's hottest
// path, and a document tree of a thousand operations costs several times the
// text it becomes. Strings are escaped as the reader's library writes them:
// quote, backslash and the control characters, nothing else.
#ifndef ORVEL_SYNC_TEXT_WRITER_H
#define ORVEL_SYNC_TEXT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orvel_sync {

class TextWriter {
 public:
  // out null: count only. Otherwise out has room for what the counting pass found.
  explicit TextWriter(char *out = nullptr) noexcept : out_(out) {}

  void raw(std::string_view s) noexcept {
    if (!grow(s.size())) return;
    if (out_ != nullptr) std::memcpy(out_ + size_ - s.size(), s.data(), s.size());
  }

  void number(std::uint64_t v) noexcept {
    char digits[20];
    std::size_t at = sizeof digits;
    do {
      digits[--at] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    raw({digits + at, sizeof digits - at});
  }

  void string(std::string_view s) noexcept {
    // No substr: it may throw, and this library carries no C++ runtime.
    raw("\"");
    std::size_t run = 0;  // unescaped bytes not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c >= 0x20 && c != '"' && c != '\\') {
        ++run;
        continue;
      }
      raw({s.data() + i - run, run});
      run = 0;
      escape(c);
    }
    raw({s.data() + s.size() - run, run});
    raw("\"");
  }

  // A member name, quoted, with its colon; names are this library's constants.
  void name(std::string_view n) noexcept {
    raw("\"");
    raw(n);
    raw("\":");
  }

  std::size_t size() const noexcept { return size_; }
  // The count passed what size_t holds (texts of a 32-bit process that
  // escape to more than its address space): nothing can be written.
  bool overflowed() const noexcept { return overflowed_; }

 private:
  bool grow(std::size_t n) noexcept {
    if (overflowed_ || n > SIZE_MAX - 1 - size_) {
      overflowed_ = true;
      return false;
    }
    size_ += n;
    return true;
  }

  void escape(unsigned char c) noexcept {
    switch (c) {
      case '"': raw("\\\""); return;
      case '\\': raw("\\\\"); return;
      case '\b': raw("\\b"); return;
      case '\f': raw("\\f"); return;
      case '\n': raw("\\n"); return;
      case '\r': raw("\\r"); return;
      case '\t': raw("\\t"); return;
      default: {
        constexpr char kHex[] = "0123456789ABCDEF";
        const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        raw({u, sizeof u});
      }
    }
  }

  char *out_;
  std::size_t size_ = 0;
  bool overflowed_ = false;
};

}  // namespace orvel_sync

#endif
