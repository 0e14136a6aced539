// The wishlist store: create, destroy, validate a kind, look up, insert,
// count and toggle. Lookups go through a keyed hash index, so they cost the
// same whatever the size of the store.
#include "store.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "size_math.h"

namespace orvel {
namespace {

constexpr std::string_view kKinds[] = {"track", "album", "artist", "playlist"};

// Position of kind among the four kinds, or -1 (also for an absent kind). The
// first letters tell the kinds apart, so one comparison settles it.
int kind_number(const char *kind) noexcept {
  if (kind == nullptr) return -1;
  int k = -1;
  switch (kind[0]) {
    case 't': k = 0; break;
    case 'a': k = kind[1] == 'l' ? 1 : 2; break;
    case 'p': k = 3; break;
    default: return -1;
  }
  return std::strcmp(kind, kKinds[k].data()) == 0 ? k : -1;
}

// An identity whose kind is known valid: its number, its text and the
// identifier with its length, worked out once per call.
struct Identity {
  int k;
  const char *kind;
  std::string_view item_id;
};

// malloc'd copy of text plus a NUL; null when memory is short.
char *copy_bytes(std::string_view text) noexcept {
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  return copy;
}

// malloc'd copy of text, or of "" when text is absent.
char *copy_text(const char *text) noexcept { return copy_bytes(text != nullptr ? text : ""); }

void release_item(orvel_item *item) noexcept {
  std::free(item->kind);
  std::free(item->item_id);
  std::free(item->title);
  std::free(item->artist);
  std::memset(item, 0, sizeof *item);
}

// The index's tag of an identity. The kind selects one of four keys derived
// from the store's key, so equal identifiers of different kinds hash apart.
std::uint32_t tag_of(const HashKey &key, const Identity &id) noexcept {
  const HashKey kind_key{key.k0 + static_cast<std::uint64_t>(id.k), key.k1};
  return static_cast<std::uint32_t>(keyed_hash(kind_key, id.item_id.data(), id.item_id.size()));
}

std::uint64_t index_mask(const orvel_store *store) noexcept { return 2 * store->capacity - 1; }

// First empty slot on tag's probe sequence.
std::uint64_t free_slot(const IndexSlot *index, std::uint64_t mask, std::uint32_t tag) noexcept {
  std::uint64_t slot = tag & mask;
  while (index[slot].position != 0) slot = (slot + 1) & mask;
  return slot;
}

// Where an identity stands: its tag, its slot in the index and its position
// in items, or position -1 when it is not in the store.
struct Lookup {
  std::uint32_t tag;
  std::uint64_t slot;
  std::int64_t position;
};

Lookup lookup(const orvel_store *store, const Identity &id, ItemHint hint = {}) noexcept {
  if (store->count == 0) return {0, 0, -1};
  const std::uint32_t tag = hint.hashed ? hint.tag : tag_of(store->key, id);
  const std::uint64_t mask = index_mask(store);
  for (std::uint64_t slot = tag & mask;; slot = (slot + 1) & mask) {
    const IndexSlot &entry = store->index[slot];
    if (entry.position == 0) return {tag, slot, -1};
    if (entry.tag != tag) continue;
    const orvel_item &item = store->items[entry.position - 1];
    if (std::strcmp(item.kind, id.kind) == 0 && std::strcmp(item.item_id, id.item_id.data()) == 0) {
      return {tag, slot, static_cast<std::int64_t>(entry.position) - 1};
    }
  }
}

// Makes room for one more entry: 16 slots first, then twice the count. The
// new index is allocated before the array grows, so a failure of either
// leaves the store exactly as it was.
bool reserve_one(orvel_store *store, const HashKey &key) noexcept {
  if (store->count < store->capacity) return true;
  const std::uint64_t new_capacity = store->count == 0 ? kInitialCapacity : 2 * store->count;
  auto *new_index = static_cast<IndexSlot *>(
      std::calloc(saturating_mul(2, saturating_size(new_capacity)), sizeof(IndexSlot)));
  if (new_index == nullptr) return false;
  void *grown = std::realloc(store->items, saturating_mul(saturating_size(new_capacity), sizeof(orvel_item)));
  if (grown == nullptr) {
    std::free(new_index);
    return false;
  }
  // Tags are kept in the slots, so growth re-places them without hashing again.
  const std::uint64_t new_mask = 2 * new_capacity - 1;
  for (std::uint64_t i = 0; store->index != nullptr && i < 2 * store->capacity; ++i) {
    const IndexSlot entry = store->index[i];
    if (entry.position != 0) new_index[free_slot(new_index, new_mask, entry.tag)] = entry;
  }
  std::free(store->index);
  store->index = new_index;
  store->key = key;
  store->items = static_cast<orvel_item *>(grown);
  store->capacity = new_capacity;
  return true;
}

// Empties slot and closes the gap it leaves in the probe sequences that run
// through it, so lookups need no tombstones.
void erase_slot(orvel_store *store, std::uint64_t slot) noexcept {
  IndexSlot *index = store->index;
  const std::uint64_t mask = index_mask(store);
  std::uint64_t hole = slot;
  for (std::uint64_t j = (hole + 1) & mask; index[j].position != 0; j = (j + 1) & mask) {
    const std::uint64_t home = index[j].tag & mask;
    // The entry at j may fill the hole when its home is not after the hole.
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      index[hole] = index[j];
      hole = j;
    }
  }
  index[hole] = IndexSlot{0, 0};
}

// After the entry at position removed moved away, the entries after it have
// moved down one slot: their index positions follow. Few followers are found
// one by one; many are cheaper to fix in one pass over the index.
void shift_positions_after(orvel_store *store, std::uint64_t removed) noexcept {
  const std::uint64_t followers = store->count - removed;  // count already lowered
  const std::uint64_t mask = index_mask(store);
  if (followers * 32 < store->capacity) {
    for (std::uint64_t i = removed; i < store->count; ++i) {
      const orvel_item &item = store->items[i];
      const std::uint32_t tag = tag_of(store->key, {kind_number(item.kind), item.kind, item.item_id});
      std::uint64_t slot = tag & mask;
      while (store->index[slot].position != i + 2) slot = (slot + 1) & mask;
      store->index[slot].position = static_cast<std::uint32_t>(i + 1);
    }
    return;
  }
  // Branch-free, so the pass runs at the speed of memory.
  const auto first_moved = static_cast<std::uint32_t>(removed + 1);
  for (std::uint64_t slot = 0; slot <= mask; ++slot) {
    std::uint32_t &position = store->index[slot].position;
    position -= static_cast<std::uint32_t>(position > first_moved);
  }
}

// Appends an identity that lookup did not find (found is its result). A store
// without an index gets a fresh key, kept only if the insert succeeds.
AddResult insert_new(orvel_store *store, const Identity &id, const Lookup &found, const char *title,
                     const char *artist) noexcept {
  const bool searched = store->count > 0;  // an empty store is not searched
  const HashKey key = store->index != nullptr ? store->key : draw_store_key();
  // Copies first, growth last: any failure leaves the store exactly as it was.
  orvel_item item = {copy_bytes(kKinds[id.k]), copy_bytes(id.item_id), copy_text(title),
                     copy_text(artist)};
  if (item.kind == nullptr || item.item_id == nullptr || item.title == nullptr ||
      item.artist == nullptr || !reserve_one(store, key)) {
    release_item(&item);
    return AddResult::failed;
  }
  store->items[store->count] = item;
  ++store->count;
  const std::uint32_t tag = searched ? found.tag : tag_of(key, id);
  store->index[free_slot(store->index, index_mask(store), tag)] =
      IndexSlot{tag, static_cast<std::uint32_t>(store->count)};
  return AddResult::ok;
}

}  // namespace

std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept {
  const int k = kind_number(kind);
  // A kind outside the four is never stored, so it needs no search.
  if (store == nullptr || k < 0 || item_id == nullptr) return -1;
  return static_cast<std::int32_t>(lookup(store, {k, kind, item_id}).position);
}

ItemHint prefetch_item(const orvel_store *store, const char *kind, const char *item_id) noexcept {
  const int k = kind_number(kind);
  // Without an index there is no key yet, and nothing to fetch.
  if (k < 0 || item_id == nullptr || store->index == nullptr) return {};
  const std::uint32_t tag = tag_of(store->key, {k, kind, item_id});
  __builtin_prefetch(&store->index[tag & index_mask(store)]);
  return {tag, true};
}

AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist, ItemHint hint) noexcept {
  const int k = kind_number(kind);
  if (k < 0 || item_id == nullptr || item_id[0] == '\0') return AddResult::refused;
  // Checked before the lookup so that a full store is never searched for nothing.
  if (store->count >= kMaxEntries) return AddResult::failed;
  const Identity id{k, kind, item_id};
  const Lookup found = lookup(store, id, hint);
  if (found.position >= 0) return AddResult::ok;
  return insert_new(store, id, found, title, artist);
}

void clear_store(orvel_store *store) noexcept {
  for (std::uint64_t i = 0; i < store->count; ++i) release_item(&store->items[i]);
  std::free(store->items);
  std::free(store->index);
  *store = orvel_store{};
}

}  // namespace orvel

extern "C" {

ORVEL_API orvel_store *orvel_create(void) {
  return static_cast<orvel_store *>(std::calloc(1, sizeof(orvel_store)));
}

ORVEL_API void orvel_destroy(orvel_store *store) {
  if (store == nullptr) return;
  orvel::clear_store(store);
  std::free(store);
}

ORVEL_API int32_t orvel_validate_kind(const char *kind) {
  return orvel::kind_number(kind) >= 0 ? 0 : -1;
}

ORVEL_API int32_t orvel_count(const orvel_store *store) {
  return store == nullptr ? 0 : static_cast<int32_t>(store->count);
}

ORVEL_API int32_t orvel_is_wished(const orvel_store *store, const char *kind, const char *item_id) {
  return orvel::find_item(store, kind, item_id) >= 0 ? 1 : 0;
}

ORVEL_API int32_t orvel_apply_local_toggle(orvel_store *store, const char *kind,
                                           const char *item_id, const char *title,
                                           const char *artist) {
  using namespace orvel;
  const int k = kind_number(kind);
  if (store == nullptr || k < 0 || item_id == nullptr || item_id[0] == '\0') return -1;
  const Identity id{k, kind, item_id};
  const Lookup found = lookup(store, id);
  if (found.position < 0) {
    if (store->count >= kMaxEntries) return -1;
    return insert_new(store, id, found, title, artist) == AddResult::ok ? 1 : -1;
  }

  const auto i = static_cast<std::uint64_t>(found.position);
  release_item(&store->items[i]);
  const std::uint64_t following = store->count - 1 - i;
  if (following > 0) {
    // Fewer than count slots, all inside an array that was allocated: the size fits.
    std::memmove(&store->items[i], &store->items[i + 1],
                 static_cast<std::size_t>(following) * sizeof(orvel_item));
  }
  --store->count;
  erase_slot(store, found.slot);
  if (following > 0) shift_positions_after(store, i);
  return 0;
}

}  // extern "C"
