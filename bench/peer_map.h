// SPDX-License-Identifier: MIT
// The peer: what a C++ developer would write instead of the library. The
// response's entries go into an absl::flat_hash_map keyed by kind and
// identifier, holding title and artist; lookups hash a view of the
// caller's texts, with no copy. Written as a careful user would: the kind is
// kept as its number, the map is reserved for every element at once, a
// repeated identity keeps its first title (as the library does), and
// heterogeneous lookup spares each query a std::string.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace bench {

struct PeerKeyView {
  int kind;
  std::string_view id;
};

struct PeerKey {
  int kind;
  std::string id;

  // Built from a view only when an insert keeps it.
  explicit PeerKey(const PeerKeyView &v) : kind(v.kind), id(v.id) {}
  PeerKeyView view() const { return {kind, id}; }
};

struct PeerHash {
  using is_transparent = void;
  std::size_t operator()(const PeerKeyView &k) const { return absl::HashOf(k.kind, k.id); }
  std::size_t operator()(const PeerKey &k) const { return (*this)(k.view()); }
};

struct PeerEq {
  using is_transparent = void;
  static PeerKeyView view(const PeerKeyView &k) { return k; }
  static PeerKeyView view(const PeerKey &k) { return k.view(); }
  template <class A, class B>
  bool operator()(const A &a, const B &b) const {
    const PeerKeyView x = view(a);
    const PeerKeyView y = view(b);
    return x.kind == y.kind && x.id == y.id;
  }
};

struct PeerValue {
  std::string title;
  std::string artist;

  PeerValue(std::string_view t, std::string_view a) : title(t), artist(a) {}
};

using PeerMap = absl::flat_hash_map<PeerKey, PeerValue, PeerHash, PeerEq>;

// The number of one of the four kinds, or -1.
inline int peer_kind(std::string_view kind) {
  static constexpr std::string_view kinds[] = {"track", "album", "artist", "playlist"};
  for (int i = 0; i < 4; ++i) {
    if (kind == kinds[i]) return i;
  }
  return -1;
}

// Inserts one element's texts; a repeated identity keeps its first texts.
inline void peer_insert(PeerMap &map, int kind, std::string_view id, std::string_view title,
                        std::string_view artist) {
  if (kind < 0 || id.empty()) return;
  map.try_emplace(PeerKeyView{kind, id}, title, artist);  // nothing built for a repeat
}

// The lookup orvel_is_wished answers, from the same arguments.
inline bool peer_contains(const PeerMap &map, const char *kind, const char *id) {
  return map.contains(PeerKeyView{peer_kind(kind), std::string_view(id, std::strlen(id))});
}

}  // namespace bench
