// SPDX-License-Identifier: MIT
// The identity rules, in one place: the four kinds, the kind check and the
// rule that an item identifier is never empty. The store, the loader and the
// request builder all use these.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvel {

// The kinds, in the order their numbers follow; a store keeps an entry's kind
// as its number.
inline constexpr char kTrack[] = "track";
inline constexpr char kAlbum[] = "album";
inline constexpr char kArtist[] = "artist";
inline constexpr char kPlaylist[] = "playlist";
inline constexpr std::string_view kKinds[] = {kTrack, kAlbum, kArtist, kPlaylist};
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
// Whether text, NUL-terminated, spells kind (whose NUL is counted in N):
// read only as far as they agree, so never past text's end; unrolled, as N
// is known.
template <std::size_t N>
inline bool spells(const char *text, const char (&kind)[N]) noexcept {
  for (std::size_t i = 0; i < N; ++i) {
    if (text[i] != kind[i]) return false;
  }
  return true;
}
}  // namespace detail

// The same for a NUL-terminated kind; a null one is invalid. Its first
// letters pick the one kind it can be.
inline int kind_number(const char *kind) noexcept {
  using detail::spells;
  if (kind == nullptr) return -1;
  switch (kind[0]) {
    case 't': return spells(kind, kTrack) ? 0 : -1;
    case 'a': return kind[1] == 'l' ? (spells(kind, kAlbum) ? 1 : -1) : (spells(kind, kArtist) ? 2 : -1);
    case 'p': return spells(kind, kPlaylist) ? 3 : -1;
    default: return -1;
  }
}

// An item identifier is present and not empty.
inline bool valid_item_id(const char *item_id) noexcept {
  return item_id != nullptr && item_id[0] != '\0';
}

}  // namespace orvel
