// SPDX-License-Identifier: MIT
// Helpers shared by the black-box tests: owners for stores and returned
// texts, and a reader that turns a store's export back into entries.
#pragma once

#include <yyjson.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "orvel.h"

namespace orvel_test {

struct StoreDeleter {
  void operator()(orvel_store *s) const { orvel_destroy(s); }
};
using Store = std::unique_ptr<orvel_store, StoreDeleter>;
inline Store make_store() { return Store(orvel_create()); }

// Takes ownership of a returned text; nullopt for an absent result.
inline std::optional<std::string> take(char *text) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  orvel_free(text);
  return copy;
}

struct Entry {
  std::string kind, item_id, title, artist;
  bool operator==(const Entry &) const = default;
};
inline std::ostream &operator<<(std::ostream &os, const Entry &e) {
  return os << '{' << e.kind << ',' << e.item_id << ',' << e.title << ',' << e.artist << '}';
}

inline std::string str_member(yyjson_val *obj, const char *name) {
  yyjson_val *v = yyjson_obj_get(obj, name);
  return v != nullptr ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string("<absent>");
}

// The store's entries in order, read back from its export document.
inline std::vector<Entry> entries(const orvel_store *store) {
  std::vector<Entry> out;
  auto text = take(orvel_export_json(store));
  if (!text) return {Entry{"<export failed>", "", "", ""}};
  yyjson_doc *doc = yyjson_read(text->data(), text->size(), 0);
  yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(doc), "items");
  size_t idx, max;
  yyjson_val *obj;
  yyjson_arr_foreach(items, idx, max, obj) {
    out.push_back({str_member(obj, "kind"), str_member(obj, "itemId"), str_member(obj, "title"),
                   str_member(obj, "artist")});
  }
  yyjson_doc_free(doc);
  return out;
}

}  // namespace orvel_test
