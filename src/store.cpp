// The wishlist store: create, destroy, validate a kind, look up, insert,
// count and toggle. Each entry is one heap block; lookups go through a keyed
// hash index, so they cost the same whatever the size of the store.
#include "store.h"

#include <cstdlib>
#include <cstring>

#include "size_math.h"
#include "store_index.h"

namespace orvel {
namespace {

// An identity whose kind is known valid and whose identifier is not empty.
struct Identity {
  int kind;
  std::string_view item_id;
};

std::string_view or_empty(const char *text) noexcept { return text != nullptr ? text : ""; }

// One block holding the entry's header and its three texts; null when memory
// is short or a text is too long for the header's lengths.
// Whether a text's length fits the header (always, where size_t has 32 bits).
bool fits_header(std::size_t len) noexcept {
  if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) return len <= UINT32_MAX;
  return true;
}

orvel_item *new_entry(const Identity &id, std::string_view title, std::string_view artist) noexcept {
  if (!fits_header(id.item_id.size()) || !fits_header(title.size())) return nullptr;
  const std::size_t size = saturating_add(
      saturating_add(sizeof(orvel_item), id.item_id.size() + 1),
      saturating_add(title.size() + 1, saturating_add(artist.size(), 1)));
  auto *entry = static_cast<orvel_item *>(std::malloc(size));
  if (entry == nullptr) return nullptr;
  entry->id_len = static_cast<std::uint32_t>(id.item_id.size());
  entry->title_len = static_cast<std::uint32_t>(title.size());
  entry->kind_number = static_cast<std::uint8_t>(id.kind);
  char *text = reinterpret_cast<char *>(entry + 1);
  for (const std::string_view part : {id.item_id, title, artist}) {
    if (!part.empty()) std::memcpy(text, part.data(), part.size());
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

// Makes room for one more entry: 16 slots first, then twice the count.
bool reserve_one(orvel_store *store) noexcept {
  if (store->count < store->capacity) return true;
  return grow_to(store, store->count == 0 ? kInitialCapacity : 2 * store->count);
}

// The one insert path, for the loader and the toggle alike: a pair already
// present is "already there" (even in a full store); a new pair needs room,
// its block and, in a store without an index, a fresh key that is kept only
// if the insert succeeds. known is the caller's lookup of the pair, if any.
AddResult insert(orvel_store *store, const Identity &id, std::string_view title,
                 std::string_view artist, const Lookup *known = nullptr,
                 const std::uint32_t *tag = nullptr) noexcept {
  Lookup where{0, 0, false};
  const bool placed = store->count > 0;  // an empty store is not searched
  if (placed) {
    where = known != nullptr ? *known
            : tag != nullptr ? lookup(store, id.kind, id.item_id, *tag)
                             : lookup(store, id.kind, id.item_id);
    if (where.found) return AddResult::ok;
  }
  if (store->count >= kMaxEntries) return AddResult::failed;
  const HashKey old_key = store->key;
  const bool had_index = store->index != nullptr;
  if (!had_index) store->key = draw_store_key();
  orvel_item *entry = new_entry(id, title, artist);
  const std::uint64_t old_capacity = store->capacity;
  if (entry == nullptr || !reserve_one(store)) {
    std::free(entry);
    if (!had_index) store->key = old_key;
    return AddResult::failed;
  }
  // Growth re-placed every slot, and an empty store was not searched.
  if (!placed || store->capacity != old_capacity) where = lookup(store, id.kind, id.item_id);
  store->items[store->count] = entry;
  store->index[where.slot] = IndexSlot{entry, where.tag, static_cast<std::uint32_t>(store->count)};
  ++store->count;
  return AddResult::ok;
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
  return insert(store, {kind, item_id}, title, artist, nullptr, tag);
}

bool reserve_entries(orvel_store *store, std::uint64_t n) noexcept {
  if (store->index != nullptr || n == 0 || n > kMaxEntries) return false;
  std::uint64_t capacity = kInitialCapacity;
  while (capacity < n) capacity *= 2;
  if (!grow_to(store, capacity)) return false;
  store->key = draw_store_key();
  return true;
}

std::uint32_t prefetch_identity(const orvel_store *store, int kind, std::string_view item_id) noexcept {
  const std::uint32_t tag = tag_of(store->key, kind, item_id);
  prefetch_slot(store, tag);
  return tag;
}

AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist) noexcept {
  if (!valid_item_id(item_id)) return AddResult::refused;
  return add_item(store, kind_number(kind), item_id, or_empty(title), or_empty(artist));
}

void clear_store(orvel_store *store) noexcept {
  for (std::uint64_t i = 0; i < store->count; ++i) std::free(store->items[i]);
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
    return insert(store, {k, id}, or_empty(title), or_empty(artist), &where) == AddResult::ok ? 1 : -1;
  }

  const std::uint64_t i = store->index[where.slot].position;
  std::free(store->items[i]);
  const std::uint64_t following = store->count - 1 - i;
  if (following > 0) {
    // Fewer than count slots, all inside an array that was allocated: the size fits.
    std::memmove(&store->items[i], &store->items[i + 1],
                 static_cast<std::size_t>(following) * sizeof(orvel_item *));
  }
  store->items[store->count - 1] = nullptr;
  --store->count;
  erase_slot(store, where.slot);
  if (following > 0) renumber_after(store, i);
  return 0;
}

}  // extern "C"
