// SPDX-License-Identifier: MIT
// Finds where entries can be appended to a list response without parsing it:
// one pass over the root object's members, skipping their values.
#include "response_merge.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text_rules.h"

namespace orvel_sync {
namespace {

constexpr std::size_t kNone = SIZE_MAX;       // the text does not scan as JSON
constexpr std::size_t kOther = SIZE_MAX - 1;  // an object the loader reads no array from

class Scanner {
 public:
  explicit Scanner(std::string_view text) noexcept : t_(text) {}

  std::size_t skip_space(std::size_t i) const noexcept {
    while (i < t_.size() && json_space(t_[i])) ++i;
    return i;
  }

  bool at(std::size_t i, char c) const noexcept { return i < t_.size() && t_[i] == c; }

  // The offset after the string that starts at i (a quotation mark), or
  // kNone: the first quotation mark after an even run of backslashes.
  std::size_t skip_string(std::size_t i) const noexcept {
    const std::size_t first = i + 1;
    for (std::size_t from = first; from < t_.size();) {
      const void *q = std::memchr(t_.data() + from, '"', t_.size() - from);
      if (q == nullptr) return kNone;
      const auto at = static_cast<std::size_t>(static_cast<const char *>(q) - t_.data());
      std::size_t backslashes = 0;
      while (at - backslashes > first && t_[at - backslashes - 1] == '\\') ++backslashes;
      if (backslashes % 2 == 0) return at + 1;
      from = at + 1;
    }
    return kNone;
  }

  // The offset after the value that starts at i, or kNone. Only the nesting
  // and the strings are followed: the loader's parse checks the rest.
  std::size_t skip_value(std::size_t i) const noexcept {
    if (at(i, '"')) return skip_string(i);
    if (at(i, '[') || at(i, '{')) {
      std::size_t depth = 0;
      while (i < t_.size()) {
        const char c = t_[i];
        if (c == '"') {
          i = skip_string(i);
          if (i == kNone) return kNone;
          continue;
        }
        if (c == '[' || c == '{') {
          ++depth;
        } else if (c == ']' || c == '}') {
          if (--depth == 0) return i + 1;
        }
        ++i;
      }
      return kNone;
    }
    const std::size_t start = i;
    while (i < t_.size() && !json_space(t_[i]) && t_[i] != ',' && t_[i] != ']' && t_[i] != '}') ++i;
    return i == start ? kNone : i;
  }

  // Reads the member name that starts at i: the offset after it (or kNone),
  // and which of the loader's members it names after unescaping (or -1).
  std::size_t read_name(std::size_t i, int *member) const noexcept {
    char name[16];
    std::size_t len = 0;
    bool other = false;
    for (++i; i < t_.size();) {
      const char c = t_[i];
      if (c == '"') {
        *member = other ? -1 : member_index({name, len});
        return i + 1;
      }
      std::uint32_t code = static_cast<unsigned char>(c);
      if (c != '\\') {
        ++i;
      } else {
        if (i + 1 >= t_.size()) return kNone;
        switch (t_[i + 1]) {
          case '"': case '\\': case '/': code = static_cast<unsigned char>(t_[i + 1]); break;
          case 'b': code = '\b'; break;
          case 'f': code = '\f'; break;
          case 'n': code = '\n'; break;
          case 'r': code = '\r'; break;
          case 't': code = '\t'; break;
          case 'u':
            code = 0;
            for (std::size_t k = i + 2; k < i + 6; ++k) {
              const int digit = k < t_.size() ? hex_digit(t_[k]) : -1;
              if (digit < 0) return kNone;
              code = code * 16 + static_cast<std::uint32_t>(digit);
            }
            i += 4;
            break;
          default: return kNone;
        }
        i += 2;
      }
      // The loader's names are short and ASCII; anything else names another member.
      if (code < 0x80 && len < sizeof name) {
        name[len++] = static_cast<char>(code);
      } else {
        other = true;
      }
    }
    return kNone;
  }

 private:
  static int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  static int member_index(std::string_view name) noexcept {
    for (std::size_t m = 0; m < kListMemberCount; ++m) {
      if (kListMembers[m] == name) return static_cast<int>(m);
    }
    return -1;
  }

  std::string_view t_;
};

// The closing bracket of the array value of the last member the loader reads
// (each name's first member only); kOther when the object has none, kNone
// when the text does not scan as one object.
std::size_t last_list_array(const Scanner &s, std::size_t i, std::size_t size) noexcept {
  bool seen[kListMemberCount] = {};
  std::size_t closing[kListMemberCount];
  for (std::size_t &c : closing) c = kNone;
  i = s.skip_space(i + 1);
  if (!s.at(i, '}')) {
    for (;;) {
      if (!s.at(i, '"')) return kNone;
      int member = -1;
      i = s.read_name(i, &member);
      if (i == kNone) return kNone;
      i = s.skip_space(i);
      if (!s.at(i, ':')) return kNone;
      i = s.skip_space(i + 1);
      const std::size_t value = i;
      i = s.skip_value(i);
      if (i == kNone) return kNone;
      if (member >= 0 && !seen[member]) {
        seen[member] = true;
        if (s.at(value, '[')) closing[member] = i - 1;
      }
      i = s.skip_space(i);
      if (s.at(i, '}')) break;
      if (!s.at(i, ',')) return kNone;
      i = s.skip_space(i + 1);
    }
  }
  if (s.skip_space(i + 1) != size) return kNone;
  for (std::size_t m = kListMemberCount; m-- > 0;) {
    if (closing[m] != kNone) return closing[m];
  }
  return kOther;
}

// Appends part at out, returning the end of what was written.
char *put(char *out, std::string_view part) noexcept {
  if (!part.empty()) std::memcpy(out, part.data(), part.size());
  return out + part.size();
}

std::size_t add_sizes(std::size_t a, std::size_t b) noexcept { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

}  // namespace

MergePlan plan_merge(std::string_view response) noexcept {
  const Scanner s(response);
  const std::size_t start = s.skip_space(0);
  const MergePlan unchanged{MergePlan::How::unchanged, 0, false};
  if (s.at(start, '{')) {
    const std::size_t closing = last_list_array(s, start, response.size());
    if (closing == kOther) return {MergePlan::How::wrap_other, 0, false};
    if (closing == kNone) return unchanged;
    std::size_t k = closing - 1;
    while (json_space(response[k])) --k;  // stops at the array's own '[' at the latest
    return {MergePlan::How::insert, closing, response[k] != '['};
  }
  // Wrapped as a member's value, the response must be exactly one value, or
  // text after it (",\"x\":1") would read as members of the wrapper.
  const std::size_t end = s.skip_value(start);
  if (end == kNone || s.skip_space(end) != response.size()) return unchanged;
  // A root array is read as "items" would be; any other root gives nothing,
  // but is still parsed (and must be valid) as the value of an ignored member.
  return {s.at(start, '[') ? MergePlan::How::wrap_array : MergePlan::How::wrap_other, 0, false};
}

char *merge_response(std::string_view response, std::string_view elements, std::size_t *len) noexcept {
  constexpr std::string_view kArrayHead = "{\"items\":", kArrayTail = ",\"wishes\":[";
  constexpr std::string_view kOtherHead = "{\"items\":[", kOtherTail = "],\"x\":";
  const MergePlan plan = plan_merge(response);
  const std::size_t size = add_sizes(add_sizes(response.size(), elements.size()), 32);
  char *text = static_cast<char *>(std::malloc(size));
  if (text == nullptr) return nullptr;
  char *out = text;
  switch (plan.how) {
    case MergePlan::How::wrap_array:
      out = put(put(put(put(put(out, kArrayHead), response), kArrayTail), elements), "]}");
      break;
    case MergePlan::How::insert:
      // Views made by hand: substr's range check would need the C++ runtime.
      out = put(out, {response.data(), plan.at});
      if (plan.needs_comma) out = put(out, ",");
      out = put(put(out, elements), {response.data() + plan.at, response.size() - plan.at});
      break;
    case MergePlan::How::wrap_other:
      out = put(put(put(put(put(out, kOtherHead), elements), kOtherTail), response), "}");
      break;
    case MergePlan::How::unchanged:
      out = put(out, response);
      break;
  }
  // Terminated too: a length of 0 (an empty response) makes the loader read to the NUL.
  *out = '\0';
  *len = static_cast<std::size_t>(out - text);
  return text;
}

}  // namespace orvel_sync
