// The wishlist store: create, destroy, validate a kind, look up, insert,
// count and toggle.
#include "store.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "size_math.h"

namespace orvel {
namespace {

constexpr std::string_view kKinds[] = {"track", "album", "artist", "playlist"};

// malloc'd copy of text, or of "" when text is absent; null when memory is short.
char *copy_text(const char *text) noexcept {
  if (text == nullptr) text = "";
  const std::size_t size = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

void release_item(orvel_item *item) noexcept {
  std::free(item->kind);
  std::free(item->item_id);
  std::free(item->title);
  std::free(item->artist);
  std::memset(item, 0, sizeof *item);
}

// Makes room for one more slot: 16 slots first, then twice the count.
bool reserve_one(orvel_store *store) noexcept {
  if (store->count < store->capacity) return true;
  const std::uint64_t new_capacity = store->count == 0 ? kInitialCapacity : 2 * store->count;
  void *grown = std::realloc(store->items, saturating_mul(new_capacity, sizeof(orvel_item)));
  if (grown == nullptr) return false;
  store->items = static_cast<orvel_item *>(grown);
  store->capacity = new_capacity;
  return true;
}

}  // namespace

std::int32_t find_item(const orvel_store *store, const char *kind, const char *item_id) noexcept {
  if (store == nullptr || kind == nullptr || item_id == nullptr) return -1;
  for (std::uint64_t i = 0; i < store->count; ++i) {
    const orvel_item &item = store->items[i];
    if (std::strcmp(item.kind, kind) == 0 && std::strcmp(item.item_id, item_id) == 0) {
      return static_cast<std::int32_t>(i);
    }
  }
  return -1;
}

AddResult add_item(orvel_store *store, const char *kind, const char *item_id, const char *title,
                   const char *artist) noexcept {
  if (orvel_validate_kind(kind) != 0 || item_id == nullptr || item_id[0] == '\0') {
    return AddResult::refused;
  }
  // Checked before the lookup so that a full store is never scanned for nothing.
  if (store->count >= kMaxEntries) return AddResult::failed;
  if (find_item(store, kind, item_id) >= 0) return AddResult::ok;

  // Copies first, growth last: any failure leaves the store exactly as it was.
  orvel_item item = {copy_text(kind), copy_text(item_id), copy_text(title), copy_text(artist)};
  if (item.kind == nullptr || item.item_id == nullptr || item.title == nullptr ||
      item.artist == nullptr || !reserve_one(store)) {
    release_item(&item);
    return AddResult::failed;
  }
  store->items[store->count] = item;
  ++store->count;
  return AddResult::ok;
}

void clear_store(orvel_store *store) noexcept {
  for (std::uint64_t i = 0; i < store->count; ++i) release_item(&store->items[i]);
  std::free(store->items);
  store->items = nullptr;
  store->count = 0;
  store->capacity = 0;
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
  if (kind == nullptr) return -1;
  for (std::string_view valid : orvel::kKinds) {
    if (std::strcmp(kind, valid.data()) == 0) return 0;
  }
  return -1;
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
  if (store == nullptr || orvel_validate_kind(kind) != 0 || item_id == nullptr ||
      item_id[0] == '\0') {
    return -1;
  }
  const int32_t found = orvel::find_item(store, kind, item_id);
  if (found < 0) return orvel::add_item(store, kind, item_id, title, artist) == orvel::AddResult::ok ? 1 : -1;

  const auto i = static_cast<std::uint64_t>(found);
  orvel::release_item(&store->items[i]);
  const std::uint64_t following = store->count - 1 - i;
  if (following > 0) {
    std::memmove(&store->items[i], &store->items[i + 1], following * sizeof(orvel_item));
  }
  --store->count;
  return 0;
}

}  // extern "C"
