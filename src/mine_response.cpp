// Mine response ingestion: makes a store mirror the service's list response.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json_util.h"
#include "last_error.h"
#include "orvel.h"
#include "store.h"

namespace orvel {
namespace {

struct RootMember {
  std::string_view name;
  const char *default_kind;  // null: elements must name their own kind
};

// Ingested in this order whatever the order of the members in the text.
constexpr RootMember kRootMembers[] = {
    {"items", nullptr},        {"wishes", nullptr},        {"track", "track"},
    {"tracks", "track"},       {"album", "album"},         {"albums", "album"},
    {"artist", "artist"},      {"artists", "artist"},      {"playlist", "playlist"},
    {"playlists", "playlist"},
};

// First member of obj with exactly this name, whatever its value; or null.
yyjson_val *member(yyjson_val *obj, std::string_view name) noexcept {
  return yyjson_obj_getn(obj, name.data(), name.size());
}

// The text of a string value, or null for any other value (or none).
const char *text_of(yyjson_val *v) noexcept { return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr; }

// An escaped NUL would cut an identity into a different one: such a kind or
// identifier is unusable.
bool holds_nul(yyjson_val *str) noexcept {
  return std::memchr(yyjson_get_str(str), '\0', yyjson_get_len(str)) != nullptr;
}

// The texts of one recognised element, ready for add_item; kind is null when
// the element is skipped.
struct Element {
  const char *kind = nullptr;
  const char *item_id = nullptr;
  const char *title = nullptr;
  const char *artist = nullptr;
};

// What an object element describes.
Element read_object(yyjson_val *obj, const char *default_kind) noexcept {
  if (yyjson_obj_size(obj) == 0) return {};

  yyjson_val *kind_val = member(obj, "kind");
  const char *kind = default_kind;
  if (yyjson_is_str(kind_val)) {
    if (holds_nul(kind_val)) return {};
    kind = yyjson_get_str(kind_val);
  }
  if (kind == nullptr) return {};

  yyjson_val *id_val = member(obj, "itemId");
  if (!yyjson_is_str(id_val)) id_val = member(obj, "id");
  if (!yyjson_is_str(id_val) || holds_nul(id_val)) return {};

  return {kind, yyjson_get_str(id_val), text_of(member(obj, "title")), text_of(member(obj, "artist"))};
}

Element read_element(yyjson_val *element, const char *default_kind) noexcept {
  if (yyjson_is_str(element)) {
    if (default_kind == nullptr || holds_nul(element)) return {};
    return {default_kind, yyjson_get_str(element), "", ""};
  }
  return yyjson_is_obj(element) ? read_object(element, default_kind) : Element{};
}

// Adds the entries of one array; anything that is not an array adds nothing.
// False only when an entry could not be stored (memory short, store full).
//
// Each element is read one step ahead of its insert, and the index slot it
// will need is fetched meanwhile: in a large store that slot is rarely in
// cache, and waiting for it would cost more than the insert's own work.
bool ingest_array(orvel_store *store, yyjson_val *value, const char *default_kind) noexcept {
  Element pending;
  ItemHint pending_hint;
  const auto add_pending = [&]() noexcept {
    return pending.kind == nullptr ||
           add_item(store, pending.kind, pending.item_id, pending.title, pending.artist,
                    pending_hint) != AddResult::failed;
  };
  std::size_t idx = 0;
  std::size_t max = 0;
  yyjson_val *element = nullptr;
  yyjson_arr_foreach(value, idx, max, element) {
    const Element next = read_element(element, default_kind);
    if (next.kind == nullptr) continue;
    const ItemHint next_hint = prefetch_item(store, next.kind, next.item_id);
    if (!add_pending()) return false;
    pending = next;
    pending_hint = next_hint;
  }
  return add_pending();
}

bool ingest_root(orvel_store *store, yyjson_val *root) noexcept {
  if (yyjson_is_arr(root)) return ingest_array(store, root, nullptr);
  if (!yyjson_is_obj(root)) return true;
  for (const RootMember &m : kRootMembers) {
    if (!ingest_array(store, member(root, m.name), m.default_kind)) return false;
  }
  return true;
}

// Parses and ingests into a fresh store, then swaps it in: the load is all or
// nothing, and the document is released before the caller's error text changes.
bool load(orvel_store *store, const char *json, std::size_t len) noexcept {
  // Without the in-situ flag the reader only reads the text, so the cast is safe.
  const Doc doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr));
  if (doc.get() == nullptr) return false;

  orvel_store fresh{};
  if (!ingest_root(&fresh, yyjson_doc_get_root(doc.get()))) {
    clear_store(&fresh);
    return false;
  }
  clear_store(store);
  *store = fresh;
  return true;
}

}  // namespace
}  // namespace orvel

extern "C" ORVEL_API int32_t orvel_load_mine_json(orvel_store *store, const char *json,
                                                  size_t len) {
  using namespace orvel;
  if (store == nullptr || json == nullptr) {
    set_last_error(Error::null_arg);
    return -1;
  }
  if (len == 0) len = std::strlen(json);
  if (!load(store, json, len)) {
    // Lack of memory is reported like an unreadable text: the store is untouched.
    set_last_error(Error::invalid_json);
    return -1;
  }
  clear_last_error();
  return static_cast<int32_t>(store->count);
}
