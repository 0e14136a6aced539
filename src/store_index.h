// SPDX-License-Identifier: MIT
// The store's hash index: where an identity's slot is, and how slots are
// placed, removed and renumbered. Only the store uses it.
//
// The index is one block: 2 * capacity slots, then one control byte for each
// slot, 0 for an empty one and otherwise a fingerprint of the tag of the
// identity the slot holds, then copies of the first kGroup - 1 control bytes,
// so that any kGroup bytes from any slot on can be read as one word. A probe
// reads control bytes a word at a time, and a slot only where its
// fingerprint matches: a lookup that finds nothing reads a few bytes of an
// array a sixteenth of the slots' size, which stays in cache far longer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "short_text.h"
#include "store.h"

namespace orvel {

// The index's tag of an identity under the store's key: its keyed hash.
[[gnu::always_inline]] inline std::uint32_t tag_of(const HashKey &key, int kind, std::string_view item_id) noexcept {
  return identity_hash(key, kind, item_id);
}

// The control byte of a slot holding an identity of this tag: never 0, and
// made from all of the tag's bits, so that slots near each other (whose
// tags' low bits are alike) still differ in it.
inline std::uint8_t fingerprint(std::uint32_t tag) noexcept {
  const auto mixed = static_cast<std::uint8_t>((tag * 0x9e3779b1u) >> 24);
  return mixed != 0 ? mixed : 1;
}

// Control bytes read at once: a word's worth.
inline constexpr std::uint64_t kGroup = 8;

// The control bytes of a store's index.
inline std::uint8_t *controls(const orvel_store *store) noexcept {
  return reinterpret_cast<std::uint8_t *>(store->index + 2 * store->capacity);
}

namespace detail {

constexpr std::uint64_t kLowBits = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// The kGroup control bytes from slot on, byte i of them in bits 8i to 8i + 7.
inline std::uint64_t control_group(const std::uint8_t *control, std::uint64_t slot) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, control + slot, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The high bit of each byte of word that is 0. Exact up to the lowest such
// byte; above it a byte may be marked that is not 0, which callers never
// look past.
inline std::uint64_t zero_bytes(std::uint64_t word) noexcept { return (word - kLowBits) & ~word & kHighBits; }

// What a group of control bytes holds for a probe: the bytes whose
// fingerprint matches (mark in every byte), up to the first empty one, and
// the empty ones (the first of them exact), each as its high bit.
struct GroupProbe {
  std::uint64_t matches;
  std::uint64_t empty;
};

inline GroupProbe probe_group(std::uint64_t group, std::uint64_t mark) noexcept {
  const std::uint64_t empty = zero_bytes(group);
  const std::uint64_t before_empty = empty != 0 ? (empty & (0 - empty)) - 1 : ~std::uint64_t{0};
  return {zero_bytes(group ^ mark) & before_empty, empty};
}

// The slot of the lowest byte marked in bits, from the group at slot.
inline std::uint64_t slot_of(std::uint64_t slot, std::uint64_t bits, std::uint64_t mask) noexcept {
  return (slot + static_cast<std::uint64_t>(std::countr_zero(bits)) / 8) & mask;
}

}  // namespace detail

// Where an identity stands: its tag, and the slot that holds it (found) or
// the empty slot where it would go (not found).
struct Lookup {
  std::uint32_t tag;
  std::uint64_t slot;
  bool found;
};

// Looks the identity up in a store that has an index, with its tag when the
// caller already has it. Inline: every query and insert runs it. Each step
// reads kGroup control bytes and visits only the slots whose fingerprint
// matches before the first empty one.
inline Lookup lookup(const orvel_store *store, int kind, std::string_view item_id, std::uint32_t tag) noexcept {
  using namespace detail;
  const std::uint64_t mask = 2 * store->capacity - 1;
  const std::uint8_t *control = controls(store);
  const std::uint64_t mark = fingerprint(tag) * kLowBits;
  for (std::uint64_t slot = tag & mask;; slot = (slot + kGroup) & mask) {
    const GroupProbe probe = probe_group(control_group(control, slot), mark);
    for (std::uint64_t matches = probe.matches; matches != 0; matches &= matches - 1) {
      const std::uint64_t at = slot_of(slot, matches, mask);
      const IndexSlot &s = store->index[at];
      if (s.tag == tag && s.entry->kind_number == kind && s.entry->id_len == item_id.size() &&
          same_text(s.entry->item_id(), item_id.data(), item_id.size())) {
        return {tag, at, true};
      }
    }
    if (probe.empty != 0) return {tag, slot_of(slot, probe.empty, mask), false};
  }
}
inline Lookup lookup(const orvel_store *store, int kind, std::string_view item_id) noexcept {
  return lookup(store, kind, item_id, tag_of(store->key, kind, item_id));
}

// Puts an entry at position into the empty slot a lookup of it ended on.
void fill_slot(orvel_store *store, const Lookup &where, orvel_item *entry, std::uint64_t position) noexcept;

// Starts fetching the control bytes and the slot where tag's probe sequence
// begins (the slot for writing: a new identity goes there most often).
void prefetch_slot(const orvel_store *store, std::uint32_t tag) noexcept;

// Starts fetching the entries of the slots on tag's probe sequence whose
// fingerprint matches, before its first empty slot. Reads the control bytes
// and those slots, so it is best run once prefetch_slot has fetched them.
void prefetch_entries(const orvel_store *store, std::uint32_t tag) noexcept;

// An empty index for new_capacity entries holding the old index's entries,
// re-placed by their tags; null when memory is short (the old one is kept).
IndexSlot *grown_index(const orvel_store *store, std::uint64_t new_capacity) noexcept;

// Empties slot and closes the gap it leaves in the probe sequences that run
// through it, so lookups need no tombstones.
void erase_slot(orvel_store *store, std::uint64_t slot) noexcept;

// Squeezes the holes out of items[0..used-1], in place and keeping the
// order of the entries, and renumbers their slots; used becomes count.
// Nothing is allocated.
void squeeze_holes(orvel_store *store) noexcept;

// After entries moved to new addresses (items holds the new ones), their
// slots follow.
void repoint_all(orvel_store *store) noexcept;

// Shrinks the index, in its block, to new_capacity entries (at least the
// store's count), placing every entry anew; nothing is allocated. The block
// keeps its size until the caller reallocates it to index_bytes(new_capacity).
void rebuild_index(orvel_store *store, std::uint64_t new_capacity) noexcept;

// Bytes of the index block for capacity entries (saturating).
std::size_t index_bytes(std::uint64_t capacity) noexcept;

}  // namespace orvel
