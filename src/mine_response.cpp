// SPDX-License-Identifier: MIT
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

constexpr int kNoKind = -1;  // elements must name their own kind

struct RootMember {
  std::string_view name;
  int default_kind;
};

// Ingested in this order whatever the order of the members in the text.
constexpr RootMember kRootMembers[] = {
    {"items", kNoKind}, {"wishes", kNoKind}, {"track", 0},    {"tracks", 0},    {"album", 1},
    {"albums", 1},      {"artist", 2},       {"artists", 2},  {"playlist", 3},  {"playlists", 3},
};
static_assert(kKinds[0] == "track" && kKinds[1] == "album" && kKinds[2] == "artist" &&
              kKinds[3] == "playlist");

// First member of obj with exactly this name, whatever its value; or null.
yyjson_val *member(yyjson_val *obj, std::string_view name) noexcept {
  return yyjson_obj_getn(obj, name.data(), name.size());
}

std::string_view view_of(yyjson_val *str) noexcept { return {yyjson_get_str(str), yyjson_get_len(str)}; }

// Where a string value's first NUL is, if it has one. Only an escape writes
// a NUL, and the reader marks the strings it read without any escape (they
// need none when written), so most are not searched.
const char *first_nul(yyjson_val *str) noexcept {
  if (yyjson_get_subtype(str) == YYJSON_SUBTYPE_NOESC) return nullptr;
  return static_cast<const char *>(std::memchr(yyjson_get_str(str), '\0', yyjson_get_len(str)));
}

// An escaped NUL would cut an identity into a different one: such a kind or
// identifier is unusable.
bool holds_nul(yyjson_val *str) noexcept { return first_nul(str) != nullptr; }

// A display text as a NUL-terminated copy would keep it: cut at its first NUL;
// "" for a value that is not a string (or none).
std::string_view display_text(yyjson_val *v) noexcept {
  if (!yyjson_is_str(v)) return {};
  const std::string_view text = view_of(v);
  const char *nul = first_nul(v);
  return nul == nullptr ? text : std::string_view(text.data(), static_cast<std::size_t>(nul - text.data()));
}

// The texts of one recognised element, ready for add_item; kind is kNoKind
// when the element is skipped.
struct Element {
  int kind = kNoKind;
  std::string_view item_id, title, artist;
};

// The first member of each name the loader reads, found in one pass over the
// object's members instead of a scan per name.
struct Members {
  yyjson_val *kind = nullptr, *item_id = nullptr, *id = nullptr, *title = nullptr, *artist = nullptr;
};

Members members_of(yyjson_val *obj) noexcept {
  Members m;
  std::size_t idx = 0, max = 0;
  yyjson_val *key = nullptr, *val = nullptr;
  yyjson_obj_foreach(obj, idx, max, key, val) {
    const std::string_view name = view_of(key);
    yyjson_val **slot = nullptr;
    switch (name.size()) {
      case 2: slot = name == "id" ? &m.id : nullptr; break;
      case 4: slot = name == "kind" ? &m.kind : nullptr; break;
      case 5: slot = name == "title" ? &m.title : nullptr; break;
      case 6: slot = name == "itemId" ? &m.item_id : name == "artist" ? &m.artist : nullptr; break;
      default: break;
    }
    if (slot != nullptr && *slot == nullptr) *slot = val;  // the first member of a name counts
  }
  return m;
}

// What an object element describes.
Element read_object(yyjson_val *obj, int default_kind) noexcept {
  if (yyjson_obj_size(obj) == 0) return {};
  const Members m = members_of(obj);

  int kind = default_kind;
  if (yyjson_is_str(m.kind)) {
    if (holds_nul(m.kind)) return {};
    kind = kind_number(view_of(m.kind));
    if (kind < 0) return {};  // a kind outside the four is dropped, default or not
  }
  if (kind == kNoKind) return {};

  yyjson_val *id_val = yyjson_is_str(m.item_id) ? m.item_id : m.id;
  if (!yyjson_is_str(id_val)) return {};
  if (holds_nul(id_val)) return {};
  return {kind, view_of(id_val), display_text(m.title), display_text(m.artist)};
}

Element read_element(yyjson_val *element, int default_kind) noexcept {
  if (yyjson_is_str(element)) {
    if (default_kind == kNoKind || holds_nul(element)) return {};
    return {default_kind, view_of(element), {}, {}};
  }
  return yyjson_is_obj(element) ? read_object(element, default_kind) : Element{};
}

// Adds the entries of one array; anything that is not an array adds nothing.
// False only when an entry could not be stored (memory short, store full).
//
// Elements pass three steps a few elements apart, so that what each step
// waits for is fetched while the others run: read and hash (fetching the
// identity's control bytes and slot), peek (fetching the entry a matching
// fingerprint points at, which a repeated identity is compared with), then
// insert. In a large store neither slot nor entry is in cache, and waiting
// for each in turn would cost more than the inserts' own work.
bool ingest_array(orvel_store *store, yyjson_val *value, int default_kind) noexcept {
  constexpr std::size_t kLag = 8;  // elements from one step to the next
  constexpr std::size_t kRing = 2 * kLag;
  struct Pending {
    Element e;
    std::uint32_t tag;
    bool hashed;  // a store without an index yet has no key to hash with
  };
  Pending ring[kRing];
  std::size_t read = 0;
  std::size_t inserted = 0;
  const auto insert_next = [&]() noexcept {
    const Pending &p = ring[inserted++ % kRing];
    return add_item(store, p.e.kind, p.e.item_id, p.e.title, p.e.artist, p.hashed ? &p.tag : nullptr) !=
           AddResult::failed;
  };
  std::size_t idx = 0;
  std::size_t max = 0;
  yyjson_val *element = nullptr;
  yyjson_arr_foreach(value, idx, max, element) {
    // Read straight into its place in the ring: a copy of a just-written
    // element would wait for its stores to land.
    Pending &p = ring[read % kRing];
    p.e = read_element(element, default_kind);
    if (p.e.kind == kNoKind) continue;
    ++read;
    p.hashed = store->index != nullptr;
    if (p.hashed) p.tag = prefetch_identity(store, p.e.kind, p.e.item_id);
    if (read > kLag) {
      const Pending &q = ring[(read - 1 - kLag) % kRing];
      if (q.hashed) prefetch_matches(store, q.tag);
    }
    if (read - inserted == kRing && !insert_next()) return false;
  }
  while (inserted < read) {
    if (!insert_next()) return false;
  }
  return true;
}

// How many entries an array can give at most: its objects, and its strings
// when it has a default kind.
std::uint64_t candidates_in(yyjson_val *arr, int default_kind) noexcept {
  std::uint64_t n = 0;
  std::size_t idx = 0;
  std::size_t max = 0;
  yyjson_val *element = nullptr;
  yyjson_arr_foreach(arr, idx, max, element) {
    n += yyjson_is_obj(element) || (default_kind != kNoKind && yyjson_is_str(element));
  }
  return n;
}

// Calls visit(array, default_kind) on each value the loader reads, in order:
// the root array, or the recognised members of a root object (any of which
// may be absent or not an array); stops at the first visit that returns false.
template <class Visit>
bool for_each_array(yyjson_val *root, Visit visit) noexcept {
  if (yyjson_is_arr(root)) return visit(root, kNoKind);
  if (!yyjson_is_obj(root)) return true;
  for (const RootMember &m : kRootMembers) {
    if (!visit(member(root, m.name), m.default_kind)) return false;
  }
  return true;
}

// How many entries a response can give at most: the room a load reserves.
// When its elements average kRoomyElement bytes of text or more, all of
// them: the arrays know their lengths, so no element is read, and room for
// each weighs no more than a few times the text it came from. Otherwise only
// the elements that can make an entry are counted, so that a dense array of
// numbers or nulls reserves no room it would never fill.
std::uint64_t entries_at_most(yyjson_val *root, std::size_t len) noexcept {
  constexpr std::size_t kRoomyElement = 32;
  std::uint64_t elements = 0;
  for_each_array(root, [&](yyjson_val *arr, int) noexcept {
    elements += yyjson_arr_size(arr);
    return true;
  });
  if (elements <= len / kRoomyElement) return elements;
  std::uint64_t candidates = 0;
  for_each_array(root, [&](yyjson_val *arr, int default_kind) noexcept {
    candidates += candidates_in(arr, default_kind);
    return true;
  });
  return candidates;
}

// Parses and ingests into a fresh store, then swaps it in: the load is all or
// nothing, and the document is released before the caller's error text changes.
bool load(orvel_store *store, const char *json, std::size_t len) noexcept {
  // Without the in-situ flag the reader only reads the text, so the cast is safe.
  const Doc doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr));
  if (doc.get() == nullptr) return false;

  orvel_store fresh{};
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  const auto ingest_all = [&]() noexcept {
    return for_each_array(root, [&](yyjson_val *arr, int default_kind) noexcept {
      return ingest_array(&fresh, arr, default_kind);
    });
  };
  // Room for every element at once (the array, the index and the entries'
  // bytes, some of them the old store's), so nothing grows while loading.
  // Then no insert can fail, so the old entries have gone first: a refresh
  // never holds two lists at once.
  if (reserve_load(&fresh, entries_at_most(root, len), len, store)) {
    (void)ingest_all();  // true: the room reserved is all it needs
    fit_to_entries(&fresh);
    *store = fresh;
    return true;
  }
  // Without the memory for that, the new store grows as it goes, and the old
  // one stays until the new one is complete.
  if (!ingest_all()) {
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
