// SPDX-License-Identifier: MIT
// The store's hash index: open addressing with linear probing over (kind,
// item_id), keyed per store so that a response cannot be crafted to collide.
#include "store_index.h"

#include <cstdlib>
#include <cstring>

#include "size_math.h"

namespace orvel {
namespace {

std::uint64_t mask_of(std::uint64_t capacity) noexcept { return 2 * capacity - 1; }

// First empty slot on tag's probe sequence.
std::uint64_t free_slot(const std::uint8_t *control, std::uint64_t mask, std::uint32_t tag) noexcept {
  std::uint64_t slot = tag & mask;
  while (control[slot] != 0) slot = (slot + 1) & mask;
  return slot;
}

// Sets a slot's control byte, and its copy after the last slot's if it has one.
void set_control(std::uint8_t *control, std::uint64_t mask, std::uint64_t slot, std::uint8_t value) noexcept {
  control[slot] = value;
  if (slot < kGroup - 1) control[mask + 1 + slot] = value;
}

void put(IndexSlot *index, std::uint8_t *control, std::uint64_t mask, std::uint64_t slot, const IndexSlot &s) noexcept {
  index[slot] = s;
  set_control(control, mask, slot, fingerprint(s.tag));
}

}  // namespace

std::size_t index_bytes(std::uint64_t capacity) noexcept {
  const std::size_t slots = saturating_mul(2, saturating_size(capacity));
  return saturating_add(saturating_mul(slots, sizeof(IndexSlot)), saturating_add(slots, kGroup - 1));
}

void fill_slot(orvel_store *store, const Lookup &where, orvel_item *entry, std::uint64_t position) noexcept {
  put(store->index, controls(store), mask_of(store->capacity), where.slot,
      IndexSlot{entry, where.tag, static_cast<std::uint32_t>(position)});
}

void prefetch_slot(const orvel_store *store, std::uint32_t tag) noexcept {
  const std::uint64_t home = tag & mask_of(store->capacity);
  __builtin_prefetch(&controls(store)[home]);
  __builtin_prefetch(&store->index[home], 1);
}

void prefetch_entries(const orvel_store *store, std::uint32_t tag) noexcept {
  using namespace detail;
  const std::uint64_t mask = mask_of(store->capacity);
  const std::uint64_t home = tag & mask;
  const GroupProbe probe = probe_group(control_group(controls(store), home), fingerprint(tag) * kLowBits);
  for (std::uint64_t matches = probe.matches; matches != 0; matches &= matches - 1) {
    __builtin_prefetch(store->index[slot_of(home, matches, mask)].entry);
  }
}

IndexSlot *grown_index(const orvel_store *store, std::uint64_t new_capacity) noexcept {
  auto *index = static_cast<IndexSlot *>(std::calloc(1, index_bytes(new_capacity)));
  if (index == nullptr) return nullptr;
  // Tags are kept in the slots, so growth re-places them without hashing again.
  auto *control = reinterpret_cast<std::uint8_t *>(index + 2 * new_capacity);
  const std::uint64_t mask = mask_of(new_capacity);
  const std::uint8_t *old_control = store->index != nullptr ? controls(store) : nullptr;
  for (std::uint64_t i = 0; old_control != nullptr && i < 2 * store->capacity; ++i) {
    if (old_control[i] != 0) put(index, control, mask, free_slot(control, mask, store->index[i].tag), store->index[i]);
  }
  return index;
}

void erase_slot(orvel_store *store, std::uint64_t slot) noexcept {
  IndexSlot *index = store->index;
  std::uint8_t *control = controls(store);
  const std::uint64_t mask = mask_of(store->capacity);
  std::uint64_t hole = slot;
  for (std::uint64_t j = (hole + 1) & mask; control[j] != 0; j = (j + 1) & mask) {
    const std::uint64_t home = index[j].tag & mask;
    // The entry at j may fill the hole when its home is not after the hole.
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      index[hole] = index[j];
      set_control(control, mask, hole, control[j]);
      hole = j;
    }
  }
  index[hole] = IndexSlot{nullptr, 0, 0};
  set_control(control, mask, hole, 0);
}

void squeeze_holes(orvel_store *store) noexcept {
  orvel_item **items = store->items;
  std::uint64_t first = 0;  // entries before the first hole keep their positions
  while (items[first] != nullptr) ++first;
  const std::uint64_t moved = store->count - first;
  const std::uint64_t mask = mask_of(store->capacity);
  // Few moved entries are found one by one, by their hash; many are cheaper
  // to renumber in passes over the whole index.
  if (moved * 32 < store->capacity) {
    std::uint64_t to = first;
    for (std::uint64_t from = first; from < store->used; ++from) {
      if (items[from] != nullptr) items[to++] = items[from];
    }
    for (std::uint64_t i = first; i < store->count; ++i) {
      const orvel_item *item = items[i];
      std::uint64_t slot = tag_of(store->key, item->kind_number, item->id_view()) & mask;
      while (store->index[slot].entry != item) slot = (slot + 1) & mask;
      store->index[slot].position = static_cast<std::uint32_t>(i);
    }
  } else {
    // Each moved entry's slot of items holds its new position for a while
    // (the index still holds the entry itself): one pass renumbers the
    // slots, the next puts each entry at its new place.
    std::uint64_t to = first;
    for (std::uint64_t from = first; from < store->used; ++from) {
      if (items[from] != nullptr) items[from] = reinterpret_cast<orvel_item *>(static_cast<std::uintptr_t>(to++));
    }
    for (std::uint64_t slot = 0; slot <= mask; ++slot) {
      IndexSlot &s = store->index[slot];
      if (s.entry != nullptr && s.position >= first) {
        s.position = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(items[s.position]));
      }
    }
    for (std::uint64_t slot = 0; slot <= mask; ++slot) {
      const IndexSlot &s = store->index[slot];
      if (s.entry != nullptr && s.position >= first) items[s.position] = s.entry;
    }
  }
  store->used = store->count;
}

void repoint_all(orvel_store *store) noexcept {
  for (std::uint64_t slot = 0; slot < 2 * store->capacity; ++slot) {
    IndexSlot &s = store->index[slot];
    if (s.entry != nullptr) s.entry = store->items[s.position];
  }
}

void rebuild_index(orvel_store *store, std::uint64_t new_capacity) noexcept {
  const std::uint64_t slots = 2 * new_capacity;
  auto *control = reinterpret_cast<std::uint8_t *>(store->index + slots);
  std::memset(store->index, 0, index_bytes(new_capacity));
  for (std::uint64_t i = 0; i < store->count; ++i) {  // no holes: used is count
    orvel_item *entry = store->items[i];
    const std::uint32_t tag = tag_of(store->key, entry->kind_number, entry->id_view());
    put(store->index, control, slots - 1, free_slot(control, slots - 1, tag),
        IndexSlot{entry, tag, static_cast<std::uint32_t>(i)});
  }
}

}  // namespace orvel
