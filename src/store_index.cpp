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
std::uint64_t free_slot(const IndexSlot *index, std::uint64_t mask, std::uint32_t tag) noexcept {
  std::uint64_t slot = tag & mask;
  while (index[slot].entry != nullptr) slot = (slot + 1) & mask;
  return slot;
}

}  // namespace

std::uint32_t tag_of(const HashKey &key, int kind, std::string_view item_id) noexcept {
  // The kind selects one of four keys derived from the store's key, so equal
  // identifiers of different kinds hash apart.
  const HashKey kind_key{key.k0 + static_cast<std::uint64_t>(kind), key.k1};
  return static_cast<std::uint32_t>(keyed_hash(kind_key, item_id.data(), item_id.size()));
}

Lookup lookup(const orvel_store *store, int kind, std::string_view item_id, std::uint32_t tag) noexcept {
  const std::uint64_t mask = mask_of(store->capacity);
  for (std::uint64_t slot = tag & mask;; slot = (slot + 1) & mask) {
    const IndexSlot &s = store->index[slot];
    if (s.entry == nullptr) return {tag, slot, false};
    if (s.tag == tag && s.entry->kind_number == kind && s.entry->id_view() == item_id) {
      return {tag, slot, true};
    }
  }
}

void prefetch_slot(const orvel_store *store, std::uint32_t tag) noexcept {
  __builtin_prefetch(&store->index[tag & mask_of(store->capacity)]);
}

IndexSlot *grown_index(const orvel_store *store, std::uint64_t new_capacity) noexcept {
  auto *index = static_cast<IndexSlot *>(
      std::calloc(saturating_mul(2, saturating_size(new_capacity)), sizeof(IndexSlot)));
  if (index == nullptr) return nullptr;
  // Tags are kept in the slots, so growth re-places them without hashing again.
  const std::uint64_t mask = mask_of(new_capacity);
  for (std::uint64_t i = 0; store->index != nullptr && i < 2 * store->capacity; ++i) {
    const IndexSlot &s = store->index[i];
    if (s.entry != nullptr) index[free_slot(index, mask, s.tag)] = s;
  }
  return index;
}

void erase_slot(orvel_store *store, std::uint64_t slot) noexcept {
  IndexSlot *index = store->index;
  const std::uint64_t mask = mask_of(store->capacity);
  std::uint64_t hole = slot;
  for (std::uint64_t j = (hole + 1) & mask; index[j].entry != nullptr; j = (j + 1) & mask) {
    const std::uint64_t home = index[j].tag & mask;
    // The entry at j may fill the hole when its home is not after the hole.
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      index[hole] = index[j];
      hole = j;
    }
  }
  index[hole] = IndexSlot{nullptr, 0, 0};
}

void renumber_after(orvel_store *store, std::uint64_t removed) noexcept {
  const std::uint64_t followers = store->count - removed;  // count already lowered
  const std::uint64_t mask = mask_of(store->capacity);
  // Few followers are found one by one; many are cheaper to fix in one pass.
  if (followers * 32 < store->capacity) {
    for (std::uint64_t i = removed; i < store->count; ++i) {
      const orvel_item *item = store->items[i];
      std::uint64_t slot = tag_of(store->key, item->kind_number, item->id_view()) & mask;
      while (store->index[slot].entry != item) slot = (slot + 1) & mask;
      store->index[slot].position = static_cast<std::uint32_t>(i);
    }
    return;
  }
  // Branch-free, so the pass runs at the speed of memory. Empty slots hold
  // position 0, which no removal ever lowers.
  const auto first_moved = static_cast<std::uint32_t>(removed);
  for (std::uint64_t slot = 0; slot <= mask; ++slot) {
    std::uint32_t &position = store->index[slot].position;
    position -= static_cast<std::uint32_t>(position > first_moved);
  }
}

void repoint_first(orvel_store *store, std::uint64_t n) noexcept {
  for (std::uint64_t slot = 0; slot < 2 * store->capacity; ++slot) {
    IndexSlot &s = store->index[slot];
    if (s.entry != nullptr && s.position < n) s.entry = store->items[s.position];
  }
}

void rebuild_index(orvel_store *store, std::uint64_t new_capacity) noexcept {
  std::memset(store->index, 0, saturating_size(2 * new_capacity) * sizeof(IndexSlot));
  const std::uint64_t mask = mask_of(new_capacity);
  for (std::uint64_t i = 0; i < store->count; ++i) {
    orvel_item *entry = store->items[i];
    const std::uint32_t tag = tag_of(store->key, entry->kind_number, entry->id_view());
    store->index[free_slot(store->index, mask, tag)] = IndexSlot{entry, tag, static_cast<std::uint32_t>(i)};
  }
}

}  // namespace orvel
