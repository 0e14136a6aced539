// SPDX-License-Identifier: MIT
// The wishlist store: create, destroy, validate a kind, look up, insert,
// count and toggle. A load's entries share a few large blocks (the store's
// generation); each entry a toggle adds has a block of its own. Lookups go
// through a keyed hash index, so they cost the same whatever the size of the
// store.
#include "store.h"

#include <cstdlib>
#include <cstring>

#include "short_text.h"
#include "size_math.h"
#include "store_index.h"

namespace orvel {
namespace {

static_assert(alignof(orvel_item) <= kEntryAlign, "entries placed one after another stay aligned");
static_assert(sizeof(orvel_item) == 12, "the own_block flag takes the header's padding, no more");

// An identity whose kind is known valid and whose identifier is not empty.
struct Identity {
  int kind;
  std::string_view item_id;
};

std::string_view or_empty(const char *text) noexcept { return text != nullptr ? text : ""; }

// Whether a text's length fits the header (always, where size_t has 32 bits).
bool fits_header(std::size_t len) noexcept {
  if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) return len <= UINT32_MAX;
  return true;
}

// Bytes an entry takes: its header and three NUL-terminated texts, rounded
// up so that the next entry placed after it is aligned. Saturates (and so
// fails to allocate) when it cannot be counted.
std::size_t entry_size(std::size_t id_len, std::size_t title_len, std::size_t artist_len) noexcept {
  const std::size_t bytes = saturating_add(saturating_add(sizeof(orvel_item), id_len),
                                           saturating_add(title_len, saturating_add(artist_len, 3)));
  return saturating_add(bytes, kEntryAlign - 1) / kEntryAlign * kEntryAlign;
}

std::size_t stored_size(const orvel_item &item) noexcept {
  return entry_size(item.id_len, item.title_len, std::strlen(item.artist()));
}

orvel_item *write_entry(void *at, const Identity &id, std::string_view title, std::string_view artist,
                        bool own_block) noexcept {
  auto *entry = static_cast<orvel_item *>(at);
  entry->id_len = static_cast<std::uint32_t>(id.item_id.size());
  entry->title_len = static_cast<std::uint32_t>(title.size());
  entry->kind_number = static_cast<std::uint8_t>(id.kind);
  entry->own_block = own_block ? 1 : 0;
  char *text = reinterpret_cast<char *>(entry + 1);
  for (const std::string_view part : {id.item_id, title, artist}) {
    copy_text(text, part.data(), part.size());
    text[part.size()] = '\0';
    text += part.size() + 1;
  }
  return entry;
}

// Gives the store room for new_capacity entries. The new index is made
// before the array grows, so a failure of either leaves the store exactly as
// it was.
bool grow_to(orvel_store *store, std::uint64_t new_capacity) noexcept {
  IndexSlot *index = grown_index(store, new_capacity);
  if (index == nullptr) return false;
  void *grown = std::realloc(store->items, saturating_mul(saturating_size(new_capacity), sizeof(orvel_item *)));
  if (grown == nullptr) {
    std::free(index);
    return false;
  }
  std::free(store->index);
  store->index = index;
  store->items = static_cast<orvel_item **>(grown);
  store->capacity = new_capacity;
  return true;
}

// The capacity beyond which positions would no longer fit find_item's result.
constexpr std::uint64_t kMostSlots = capacity_for(kMaxEntries);

// Makes room for one more entry after the last slot used: 16 slots first;
// in a full array, squeezing out its holes when they are an eighth of it
// (which allocates nothing and cannot fail), else twice the slots.
bool reserve_one(orvel_store *store) noexcept {
  if (store->used < store->capacity) return true;
  if (store->capacity == 0) return grow_to(store, kInitialCapacity);
  if ((store->used - store->count) * 8 >= store->capacity || store->capacity >= kMostSlots) {
    squeeze_holes(store);
    return true;
  }
  return grow_to(store, 2 * store->capacity);
}

// Where a new entry's bytes go.
enum class Home : std::uint8_t {
  own_block,   // a heap block of its own (a toggle's entry)
  generation,  // the store's generation (a load's entry)
};

// The one insert path, for the loader and the toggle alike: a pair already
// present is "already there" (even in a full store); a new pair needs room,
// its bytes and, in a store without an index, a fresh key once it has them.
// known is the caller's lookup of the pair, if any.
AddResult insert(orvel_store *store, const Identity &id, std::string_view title,
                 std::string_view artist, Home home, const Lookup *known = nullptr,
                 const std::uint32_t *tag = nullptr) noexcept {
  Lookup where{0, 0, false};
  const bool placed = store->count > 0;  // an empty store is not searched
  if (placed) {
    where = known != nullptr ? *known
            : tag != nullptr ? lookup(store, id.kind, id.item_id, *tag)
                             : lookup(store, id.kind, id.item_id);
    if (where.found) return AddResult::ok;
  }
  if (store->count >= kMaxEntries || !fits_header(id.item_id.size()) || !fits_header(title.size())) {
    return AddResult::failed;
  }
  const bool had_index = store->index != nullptr;
  const bool in_generation = home == Home::generation;
  const std::size_t size = entry_size(id.item_id.size(), title.size(), artist.size());
  void *bytes = in_generation ? place(store->gen, size) : std::malloc(size);
  const std::uint64_t old_capacity = store->capacity;
  if (bytes == nullptr || !reserve_one(store)) {
    if (bytes != nullptr && in_generation) unplace(store->gen, size);
    if (!in_generation) std::free(bytes);
    return AddResult::failed;
  }
  // A new index gets a new key, drawn only now that the insert succeeds.
  if (!had_index) store->key = draw_store_key();
  orvel_item *entry = write_entry(bytes, id, title, artist, !in_generation);
  // Growth re-placed every slot (a squeeze moves none), and an empty store
  // was not searched.
  if (!placed || store->capacity != old_capacity) where = lookup(store, id.kind, id.item_id);
  store->items[store->used] = entry;
  fill_slot(store, where, entry, store->used);
  ++store->used;
  ++store->count;
  store->loose += in_generation ? 0 : 1;
  return AddResult::ok;
}

// Frees the entries that have blocks of their own, ahead of releasing the
// rest of the store (which only the generation's entries may outlive). A
// store with none, as after a load, is not read.
void free_loose(orvel_store *store) noexcept {
  for (std::uint64_t i = 0; store->loose > 0 && i < store->used; ++i) {
    orvel_item *entry = store->items[i];
    if (entry != nullptr && entry->own_block != 0) {
      std::free(entry);
      store->items[i] = nullptr;
      --store->loose;
      --store->count;
    }
  }
}

// The bound on what removals waste, enforced here, by the removal that
// breaks it: once more than half of the bytes placed in the generation are
// dead, its live entries move into one new block of exactly their size and
// the old blocks go. The move costs about what the removals that made it
// cost (each left its bytes behind). When memory for the new block is short
// the generation stays as it is, and the next removal from it tries again.
void compact_if_half_dead(orvel_store *store) noexcept {
  Generation &g = store->gen;
  if (g.dead <= g.placed / 2) return;
  Generation moved{};
  const std::size_t live_bytes = g.placed - g.dead;
  if (live_bytes > 0 && !reserve_block(moved, live_bytes)) return;
  for (std::uint64_t i = 0; i < store->used; ++i) {
    orvel_item *entry = store->items[i];
    if (entry == nullptr || entry->own_block != 0) continue;
    const std::size_t size = stored_size(*entry);
    void *at = place(moved, size);  // within the block: the sizes add up to live_bytes
    std::memcpy(at, entry, size);
    store->items[i] = static_cast<orvel_item *>(at);
  }
  repoint_all(store);
  release(g);
  g = moved;
}

}  // namespace

std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept {
  const int k = kind_number(kind);
  // A kind outside the four is never stored, so it needs no search.
  if (store == nullptr || k < 0 || item_id == nullptr || store->count == 0) return -1;
  const Lookup where = lookup(store, k, item_id);
  return where.found ? static_cast<std::int32_t>(store->index[where.slot].position) : -1;
}

AddResult add_item(orvel_store *store, int kind, std::string_view item_id, std::string_view title,
                   std::string_view artist, const std::uint32_t *tag) noexcept {
  if (kind < 0 || item_id.empty()) return AddResult::refused;
  return insert(store, {kind, item_id}, title, artist, Home::generation, nullptr, tag);
}

bool reserve_load(orvel_store *store, std::uint64_t n, std::size_t text_bytes, orvel_store *old) noexcept {
  // Past this, a text could be too long for an entry's header: an insert
  // could then fail, which this promises it will not.
  if (!fits_header(text_bytes) || n == 0 || n > kMaxEntries) return false;
  // Each entry's texts are distinct strings of the response, none longer
  // unescaped than written; beyond them, an entry takes its header, three
  // NULs and its alignment.
  constexpr std::size_t kOverhead = sizeof(orvel_item) + 3 + (kEntryAlign - 1);
  const std::size_t bytes = saturating_add(text_bytes, saturating_mul(saturating_size(n), kOverhead));
  // What the old store holds serves again where it can (its array and index
  // when their capacity is the one needed, its largest block first): no
  // allocation, and memory already mapped and warm, as on every refresh of
  // a list that changed little. Everything else is allocated before
  // anything of the old store changes.
  const std::uint64_t capacity = capacity_for(n);
  const bool reuse_arrays = old->capacity == capacity;
  if (!reuse_arrays && !grow_to(store, capacity)) return false;
  const bool reuse_block = old->gen.blocks != nullptr;
  if (!(reuse_block ? reserve_spare(store->gen, bytes) : reserve_block(store->gen, bytes))) {
    clear_store(store);
    return false;
  }
  // The entries of blocks of their own are told apart by reading each entry,
  // so they go while the old generation, which holds the others, is whole.
  free_loose(old);
  if (reuse_block) take_largest(store->gen, old->gen);
  if (reuse_arrays) {
    store->items = old->items;
    store->index = old->index;
    store->capacity = capacity;
    std::memset(store->index, 0, index_bytes(capacity));
    old->items = nullptr;
    old->index = nullptr;
  }
  clear_store(old);
  store->key = draw_store_key();
  return true;
}

void fit_to_entries(orvel_store *store) noexcept {
  if (store->count == 0) {
    clear_store(store);  // a store that holds nothing holds no memory either
    return;
  }
  const Moved moved = trim(store->gen);
  if (moved.delta != 0) {
    // The entries of the block that moved follow it (their pointers are
    // invalid once it moved, but their values still tell where each was;
    // an entry of its own block was never within it).
    for (std::uint64_t i = 0; i < store->used; ++i) {
      const auto at = reinterpret_cast<std::uintptr_t>(store->items[i]);
      if (at - moved.from < moved.length) store->items[i] = reinterpret_cast<orvel_item *>(at + moved.delta);
    }
    repoint_all(store);
  }
  const std::uint64_t fitting = capacity_for(store->count);
  if (fitting == store->capacity) return;
  rebuild_index(store, fitting);
  store->capacity = fitting;
  // Shrinking in place; should either move fail, the larger block stays.
  if (void *index = std::realloc(store->index, index_bytes(fitting))) {
    store->index = static_cast<IndexSlot *>(index);
  }
  if (void *items = std::realloc(store->items, saturating_size(fitting) * sizeof(orvel_item *))) {
    store->items = static_cast<orvel_item **>(items);
  }
}

std::uint32_t prefetch_identity(const orvel_store *store, int kind, std::string_view item_id) noexcept {
  const std::uint32_t tag = tag_of(store->key, kind, item_id);
  prefetch_slot(store, tag);
  return tag;
}

void prefetch_matches(const orvel_store *store, std::uint32_t tag) noexcept { prefetch_entries(store, tag); }

AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist) noexcept {
  if (!valid_item_id(item_id)) return AddResult::refused;
  const int k = kind_number(kind);
  if (k < 0) return AddResult::refused;
  return insert(store, {k, item_id}, or_empty(title), or_empty(artist), Home::own_block);
}

void clear_store(orvel_store *store) noexcept {
  free_loose(store);
  release(store->gen);
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
  if (store == nullptr || k < 0 || !valid_item_id(item_id)) return -1;
  const std::string_view id(item_id);
  const Lookup where = store->count > 0 ? lookup(store, k, id) : Lookup{0, 0, false};
  if (!where.found) {
    return insert(store, {k, id}, or_empty(title), or_empty(artist), Home::own_block, &where) == AddResult::ok
               ? 1
               : -1;
  }

  const std::uint64_t i = store->index[where.slot].position;
  orvel_item *entry = store->items[i];
  const bool own_block = entry->own_block != 0;
  if (own_block) {
    std::free(entry);
    --store->loose;
  } else {
    store->gen.dead += stored_size(*entry);  // its bytes stay until the generation goes
  }
  // The entry's slot becomes a hole, unless it was the last (and then the
  // holes before it go too): nothing else moves.
  store->items[i] = nullptr;
  --store->count;
  erase_slot(store, where.slot);
  while (store->used > store->count && store->items[store->used - 1] == nullptr) --store->used;
  if ((store->used - store->count) * 2 > store->used) squeeze_holes(store);
  if (!own_block) compact_if_half_dead(store);
  return 0;
}

}  // extern "C"
