// The wishlist store: its layout and the internal lookup and insert that the
// loader, the exporter and the self-test share.
#pragma once

#include <cstdint>
#include <string_view>

#include "identity.h"
#include "keyed_hash.h"
#include "orvel.h"

// One entry, in one heap block: this header, then item_id, title and artist,
// each NUL-terminated. The kind is kept as its number (its text is one of
// the four constants), so a live entry always has its kind and identifier.
struct orvel_item {
  std::uint32_t id_len;
  std::uint32_t title_len;
  std::uint8_t kind_number;

  const char *item_id() const noexcept { return reinterpret_cast<const char *>(this + 1); }
  const char *title() const noexcept { return item_id() + id_len + 1; }
  const char *artist() const noexcept { return title() + title_len + 1; }
  const char *kind() const noexcept { return orvel::kKinds[kind_number].data(); }
  std::string_view id_view() const noexcept { return {item_id(), id_len}; }
};

namespace orvel {

// One slot of the store's index: the entry itself (null for an empty slot),
// so that a hit reads the slot and the entry's block and nothing between;
// the low half of the entry's hash; and the entry's position in items.
struct IndexSlot {
  orvel_item *entry;
  std::uint32_t tag;
  std::uint32_t position;
};

}  // namespace orvel

// items[0..count-1] are the live entries in the order they were added.
// capacity is 0 (items absent) or 16 times a power of two; count never
// exceeds it.
//
// index is an open-addressing hash table over (kind, item_id) with linear
// probing: 2 * capacity slots, so it is never more than half full. It is
// absent exactly when items is, grows with the array, and is keyed by key,
// drawn anew each time the index is first made.
struct orvel_store {
  orvel_item **items;
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
  failed = -2,   // memory short, a text too long to keep, or a new pair in a
                 // store that holds kMaxEntries; the store is exactly as it was
};

// Index of the live entry equal to (kind, item_id), or -1 (also when
// any argument is absent or the store is empty).
std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept;

// De-duplicating insert. store must not be null. Absent title or artist are
// stored as "". A repeated pair keeps its old title and artist.
AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist) noexcept;

// The same for texts whose lengths are known (the loader's), with the kind
// as its number (-1 for an invalid one). The texts hold no NUL. tag, when
// given, is the identity's tag from prefetch_identity in the same store.
AddResult add_item(orvel_store *store, int kind, std::string_view item_id, std::string_view title,
                   std::string_view artist, const std::uint32_t *tag = nullptr) noexcept;

// Makes room for n entries in a store that holds none and has no index yet
// (a load's fresh store): the array, the index and the key at once, so that
// the inserts that follow never grow them. False, the store unchanged, when
// memory is short or n is 0 or beyond kMaxEntries.
bool reserve_entries(orvel_store *store, std::uint64_t n) noexcept;

// The tag of a valid identity in a store that has an index, and the start of
// fetching its index slot, so that an add_item shortly after need not wait.
std::uint32_t prefetch_identity(const orvel_store *store, int kind, std::string_view item_id) noexcept;

// Frees every live entry, the array and the index; every field becomes zero.
void clear_store(orvel_store *store) noexcept;

}  // namespace orvel
