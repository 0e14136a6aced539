// SPDX-License-Identifier: MIT
// The wishlist store: its layout and the internal lookup and insert that the
// loader, the exporter and the self-test share.
#pragma once

#include <cstdint>
#include <string_view>

#include "generation.h"
#include "identity.h"
#include "keyed_hash.h"
#include "orvel.h"

// One entry: this header, then item_id, title and artist, each
// NUL-terminated, in one piece of memory (a heap block of its own, or a
// stretch of the store's generation: own_block says which, in what would be
// the header's padding). The kind is kept as its number (its text is one of
// the four constants), so a live entry always has its kind and identifier.
struct orvel_item {
  std::uint32_t id_len;
  std::uint32_t title_len;
  std::uint8_t kind_number;
  std::uint8_t own_block;  // 1: freed on its own; 0: its bytes are the generation's

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

// items[0..used-1] are the live entries in the order they were added, with
// holes (null) where entries were removed: a removal costs the same wherever
// its entry stands. count is the number of live entries. The holes are
// squeezed out, in place, once they are more than half of the slots used
// (or, when the array is full, an eighth of it), so holes never outnumber
// live entries, and each squeeze, a pass over the array, is paid for by the
// removals that made its holes. The last slot used is never a hole.
// capacity is 0 (items absent) or 16 times a power of two; used never
// exceeds it.
//
// index is an open-addressing hash table over (kind, item_id) with linear
// probing: 2 * capacity slots, so it is never more than half full, followed
// in the same block by a control byte for each slot (store_index.h). It is
// absent exactly when items is, grows with the array, and is keyed by key,
// drawn anew each time the index is first made.
//
// Where the entries live: a load's are in gen; those added one by one since
// (by toggles) each have a heap block of their own (own_block), so that
// removing one frees it at once; loose counts them. A removed load entry
// leaves its bytes in gen as dead until the generation is compacted (see
// compact_if_half_dead in store.cpp) or released by the next load or the
// store's destruction.
struct orvel_store {
  orvel_item **items;
  std::uint64_t count;
  std::uint64_t capacity;
  orvel::IndexSlot *index;
  orvel::HashKey key;
  orvel::Generation gen;
  std::uint64_t loose;
  std::uint64_t used;
};

namespace orvel {

// Positions and counts cross the interface as int32_t, so a store holds at
// most this many entries. A test build may set a small limit, to reach it.
#ifdef ORVEL_TEST_MAX_ENTRIES
inline constexpr std::uint64_t kMaxEntries = ORVEL_TEST_MAX_ENTRIES;
#else
inline constexpr std::uint64_t kMaxEntries = INT32_MAX;
#endif
// Slots allocated by the first insert; growth doubles from there.
inline constexpr std::uint64_t kInitialCapacity = 16;

// What add_item did. Callers that need only "is it there" compare with ok.
enum class AddResult : std::int8_t {
  ok = 0,        // the pair is in the store (added now, or already there)
  refused = -1,  // invalid kind, absent or empty item_id: dropped by the rules
  failed = -2,   // memory short, a text too long to keep, or a new pair in a
                 // store that holds kMaxEntries; the store is exactly as it was
};

// The position in items of the live entry equal to (kind, item_id), or -1
// (also when any argument is absent or the store is empty). Positions count
// holes too, so they follow the order of the entries but not their rank.
std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept;

// De-duplicating insert. store must not be null. Absent title or artist are
// stored as "". A repeated pair keeps its old title and artist.
AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist) noexcept;

// The same for the loader's texts, whose lengths are known, with the kind
// as its number (-1 for an invalid one). The texts hold no NUL. tag, when
// given, is the identity's tag from prefetch_identity in the same store. The
// entry goes into the store's generation.
AddResult add_item(orvel_store *store, int kind, std::string_view item_id, std::string_view title,
                   std::string_view artist, const std::uint32_t *tag = nullptr) noexcept;

// The capacity the growth rule gives count entries: 0 for none, otherwise
// the least 16 times a power of two that holds them.
constexpr std::uint64_t capacity_for(std::uint64_t count) noexcept {
  if (count == 0) return 0;
  std::uint64_t capacity = kInitialCapacity;
  while (capacity < count) capacity *= 2;
  return capacity;
}

// Makes room in a new, empty store (a load's) for n elements of a response
// of text_bytes bytes: the array and the index for n entries, with a fresh
// key, and generation room that holds whatever entries they make (their
// texts are no longer than the text they come from). Once it succeeds,
// inserting those elements' entries allocates nothing and cannot fail, and
// old (the store the load replaces) is empty: what of its memory could serve
// again now serves store, the rest is freed. False, both stores unchanged,
// when memory is short, n is 0 or beyond kMaxEntries, or the response is too
// long for that promise.
bool reserve_load(orvel_store *store, std::uint64_t n, std::size_t text_bytes, orvel_store *old) noexcept;

// After the inserts of a load into a store that reserve_load prepared: gives
// back what the store holds beyond its entries (the generation's unused end,
// capacity beyond capacity_for(count), everything when it kept none). It
// allocates nothing, so it cannot fail. The store has no holes (a load only
// inserts).
void fit_to_entries(orvel_store *store) noexcept;

// The tag of a valid identity in a store that has an index, and the start of
// fetching its control bytes and slot, so that an add_item shortly after
// need not wait.
std::uint32_t prefetch_identity(const orvel_store *store, int kind, std::string_view item_id) noexcept;

// For an identity hashed by prefetch_identity a while ago: the start of
// fetching the entries its probe will compare it with (those whose
// fingerprint matches), so that an add_item of a repeat need not wait.
void prefetch_matches(const orvel_store *store, std::uint32_t tag) noexcept;

// Frees every live entry, the array and the index; every field becomes zero.
void clear_store(orvel_store *store) noexcept;

}  // namespace orvel
