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
// The first letters tell the kinds apart, so one comparison settles it.
inline int kind_number(std::string_view kind) noexcept {
  if (kind.empty()) return -1;
  int k = -1;
  switch (kind[0]) {
    case 't': k = 0; break;
    case 'a': k = kind.size() > 1 && kind[1] == 'l' ? 1 : 2; break;
    case 'p': k = 3; break;
    default: return -1;
  }
  return kind == kKinds[k] ? k : -1;
}

// The same for a NUL-terminated kind; a null one is invalid.
inline int kind_number(const char *kind) noexcept {
  return kind != nullptr ? kind_number(std::string_view(kind)) : -1;
}

// An item identifier is present and not empty.
inline bool valid_item_id(const char *item_id) noexcept {
  return item_id != nullptr && item_id[0] != '\0';
}

}  // namespace orvel
