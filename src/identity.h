// The identity rules, in one place: the four kinds, the kind check and the
// rule that an item identifier is never empty. The store, the loader and the
// request builder all use these.
#pragma once

#include <cstring>
#include <string_view>

namespace orvel {

// The kinds, in the order their numbers follow; a store keeps an entry's kind
// as its number.
inline constexpr std::string_view kKinds[] = {"track", "album", "artist", "playlist"};
inline constexpr int kKindCount = 4;

// The number of a kind given with its length, or -1 (also for an absent kind).
// The length leaves one kind, or two of five letters, so one or two
// comparisons of a known length settle it.
inline int kind_number(std::string_view kind) noexcept {
  switch (kind.size()) {
    case 5: return kind == kKinds[0] ? 0 : kind == kKinds[1] ? 1 : -1;
    case 6: return kind == kKinds[2] ? 2 : -1;
    case 8: return kind == kKinds[3] ? 3 : -1;
    default: return -1;
  }
}

namespace detail {
// Whether text, NUL-terminated, equals kind: read only as far as they agree,
// so never past text's end.
inline bool spells(const char *text, std::string_view kind) noexcept {
  for (std::size_t i = 0; i < kind.size(); ++i) {
    if (text[i] != kind[i]) return false;
  }
  return text[kind.size()] == '\0';
}
}  // namespace detail

// The same for a NUL-terminated kind; a null one is invalid. Its first
// letters pick the one kind it can be.
inline int kind_number(const char *kind) noexcept {
  if (kind == nullptr) return -1;
  int k = -1;
  switch (kind[0]) {
    case 't': k = 0; break;
    case 'a': k = kind[1] == 'l' ? 1 : 2; break;
    case 'p': k = 3; break;
    default: return -1;
  }
  return detail::spells(kind, kKinds[k]) ? k : -1;
}

// An item identifier is present and not empty.
inline bool valid_item_id(const char *item_id) noexcept {
  return item_id != nullptr && item_id[0] != '\0';
}

}  // namespace orvel
