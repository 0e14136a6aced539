// SPDX-License-Identifier: MIT
// A JSON text written straight from the journal's own fields into one
// growing block. Saving after every batch of requests makes this a client's
// hot path, and building a document tree first costs as much again as the
// writing. Strings are escaped as the reader's library writes them: quote,
// backslash and the control characters, nothing else.
#ifndef ORVEL_SYNC_TEXT_WRITER_H
#define ORVEL_SYNC_TEXT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace orvel_sync {

// The bytes a JSON string cannot hold as they are.
struct EscapeTable {
  bool at[256];
  constexpr EscapeTable() noexcept : at() {
    for (unsigned c = 0; c < 256; ++c) at[c] = c < 0x20 || c == '"' || c == '\\';
  }
  constexpr bool operator[](unsigned char c) const noexcept { return at[c]; }
};
inline constexpr EscapeTable kEscaped{};

class TextWriter {
 public:
  // A block of capacity bytes whose first `start` bytes are left for the
  // caller; capacity is a guess, the block grows when the text needs more.
  TextWriter(std::size_t start, std::size_t capacity) noexcept
      : text_(static_cast<char *>(std::malloc(capacity))), size_(start), capacity_(capacity) {
    failed_ = text_ == nullptr || start > capacity;
  }
  ~TextWriter() { std::free(text_); }
  TextWriter(const TextWriter &) = delete;
  TextWriter &operator=(const TextWriter &) = delete;

  void raw(const char *s, std::size_t n) noexcept {
    if (n == 0 || !room(n)) return;  // an empty view's data may be null: no memcpy from it
    std::memcpy(text_ + size_, s, n);
    size_ += n;
  }
  void raw(std::string_view s) noexcept { raw(s.data(), s.size()); }

  void number(std::uint64_t v) noexcept {
    char digits[20];
    std::size_t at = sizeof digits;
    do {
      digits[--at] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    raw(digits + at, sizeof digits - at);
  }

  void string(std::string_view s) noexcept {
    raw("\"", 1);
    const char *p = s.data();
    const char *const end = p + s.size();
    while (p < end) {
      const char *run = p;
      while (p < end && !kEscaped[static_cast<unsigned char>(*p)]) ++p;
      raw(run, static_cast<std::size_t>(p - run));
      if (p < end) escape(static_cast<unsigned char>(*p++));
    }
    raw("\"", 1);
  }

  // A member name, quoted, with its colon; names are this library's constants.
  void name(std::string_view n) noexcept {
    raw("\"", 1);
    raw(n);
    raw("\":", 2);
  }

  std::size_t size() const noexcept { return size_; }
  // The block, now the caller's; null when memory ran short on the way.
  char *release() noexcept {
    if (failed_) return nullptr;
    char *t = text_;
    text_ = nullptr;
    return t;
  }

 private:
  bool room(std::size_t n) noexcept {
    if (failed_) return false;
    if (n <= capacity_ - size_) return true;
    // Twice what is needed: a text that outgrows the guess grows a few times.
    if (n > (SIZE_MAX - size_) / 2) return fail();
    const std::size_t capacity = 2 * (size_ + n);
    char *grown = static_cast<char *>(std::realloc(text_, capacity));
    if (grown == nullptr) return fail();
    text_ = grown;
    capacity_ = capacity;
    return true;
  }
  bool fail() noexcept {
    failed_ = true;
    return false;
  }

  void escape(unsigned char c) noexcept {
    switch (c) {
      case '"': raw("\\\"", 2); return;
      case '\\': raw("\\\\", 2); return;
      case '\b': raw("\\b", 2); return;
      case '\f': raw("\\f", 2); return;
      case '\n': raw("\\n", 2); return;
      case '\r': raw("\\r", 2); return;
      case '\t': raw("\\t", 2); return;
      default: {
        constexpr char kHex[] = "0123456789ABCDEF";
        const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        raw(u, sizeof u);
      }
    }
  }

  char *text_;
  std::size_t size_;
  std::size_t capacity_;
  bool failed_;
};

}  // namespace orvel_sync

#endif
