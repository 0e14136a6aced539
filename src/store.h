// The wishlist store: its layout and the internal lookup and insert that the
// loader, the exporter and the self-test share.
#pragma once

#include <cstdint>

#include "keyed_hash.h"
#include "orvel.h"

// One entry: four private heap texts. A live entry always holds all four.
struct orvel_item {
  char *kind;
  char *item_id;
  char *title;
  char *artist;
};

namespace orvel {

// One slot of the store's index. position is the entry's index in items plus
// one, or 0 for an empty slot; tag is the low half of the entry's hash.
struct IndexSlot {
  std::uint32_t tag;
  std::uint32_t position;
};

}  // namespace orvel

// Slots 0..count-1 of items are live. capacity is 0 (items absent) or 16
// times a power of two; count never exceeds it.
//
// index is an open-addressing hash table over (kind, item_id) with linear
// probing: 2 * capacity slots, so it is never more than half full. It is
// absent exactly when items is, grows with the array, and is keyed by key,
// drawn anew each time the index is first made.
struct orvel_store {
  orvel_item *items;
  std::uint64_t count;
  std::uint64_t capacity;
  orvel::IndexSlot *index;
  orvel::HashKey key;
};

namespace orvel {

// Positions and counts cross the interface as int32_t, so a store holds at
// most this many entries.
inline constexpr std::uint64_t kMaxEntries = INT32_MAX;
// Slots allocated by the first insert; growth doubles from there.
inline constexpr std::uint64_t kInitialCapacity = 16;

// What add_item did. Callers that need only "is it there" compare with ok.
enum class AddResult : std::int8_t {
  ok = 0,        // the pair is in the store (added now, or already there)
  refused = -1,  // invalid kind, absent or empty item_id: dropped by the rules
  failed = -2,   // memory short, or the store already holds kMaxEntries
                 // entries; the store is exactly as it was
};

// Index of the live entry equal to (kind, item_id), or -1 (also when
// any argument is absent or the store is empty).
std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept;

// What prefetch_item worked out about an identity, handed on to add_item so
// that it is not worked out twice. Valid for that identity in that store
// until the store is next emptied.
struct ItemHint {
  std::uint32_t tag = 0;
  bool hashed = false;
};

// Starts fetching the index slot where (kind, item_id) would be looked up, so
// that an add_item for it shortly after need not wait for memory. Changes
// nothing; any arguments are accepted.
ItemHint prefetch_item(const orvel_store *store, const char *kind, const char *item_id) noexcept;

// De-duplicating insert. store must not be null. Absent title or artist are
// stored as "". A repeated pair keeps its old title and artist.
AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist, ItemHint hint = {}) noexcept;

// Frees every live entry, the array and the index; every field becomes zero.
void clear_store(orvel_store *store) noexcept;

}  // namespace orvel
