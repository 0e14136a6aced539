// The store's hash index: where an identity's slot is, and how slots are
// placed, removed and renumbered. Only the store uses it.
#pragma once

#include <cstdint>
#include <string_view>

#include "store.h"

namespace orvel {

// The index's tag of an identity under the store's key.
std::uint32_t tag_of(const HashKey &key, int kind, std::string_view item_id) noexcept;

// Where an identity stands: its tag, and the slot that holds it (found) or
// the empty slot where it would go (not found).
struct Lookup {
  std::uint32_t tag;
  std::uint64_t slot;
  bool found;
};

// Looks the identity up in a store that has an index, with its tag when the
// caller already has it.
Lookup lookup(const orvel_store *store, int kind, std::string_view item_id, std::uint32_t tag) noexcept;
inline Lookup lookup(const orvel_store *store, int kind, std::string_view item_id) noexcept {
  return lookup(store, kind, item_id, tag_of(store->key, kind, item_id));
}

// Starts fetching the slot where tag's probe sequence begins.
void prefetch_slot(const orvel_store *store, std::uint32_t tag) noexcept;

// A zeroed index for new_capacity entries holding the old index's entries,
// re-placed by their tags; null when memory is short (the old one is kept).
IndexSlot *grown_index(const orvel_store *store, std::uint64_t new_capacity) noexcept;

// Empties slot and closes the gap it leaves in the probe sequences that run
// through it, so lookups need no tombstones.
void erase_slot(orvel_store *store, std::uint64_t slot) noexcept;

// After the entry at position removed has gone and the entries behind it
// moved down one place, their slots' positions follow.
void renumber_after(orvel_store *store, std::uint64_t removed) noexcept;

// After the first n entries moved to new addresses (items holds the new
// ones), their slots follow.
void repoint_first(orvel_store *store, std::uint64_t n) noexcept;

// Places every entry anew in the first 2 * new_capacity slots of the index,
// which must be at least twice the entries; nothing is allocated.
void rebuild_index(orvel_store *store, std::uint64_t new_capacity) noexcept;

}  // namespace orvel
