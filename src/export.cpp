// SPDX-License-Identifier: MIT
// The wishlist export document: the whole store as one JSON text that the
// loader accepts again.
#include <cstdint>

#include "json_util.h"
#include "orvel.h"
#include "store.h"

namespace orvel {
namespace {

bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *items, const orvel_item &item) noexcept {
  yyjson_mut_val *obj = yyjson_mut_obj(doc);  // null when memory is short: the append fails
  // The kind is one of four constants: the document may point at it.
  bool complete = yyjson_mut_obj_add_str(doc, obj, "kind", item.kind());
  complete &= yyjson_mut_obj_add_strncpy(doc, obj, "itemId", item.item_id(), item.id_len);
  complete &= yyjson_mut_obj_add_strncpy(doc, obj, "title", item.title(), item.title_len);
  complete &= yyjson_mut_obj_add_strcpy(doc, obj, "artist", item.artist());
  complete &= yyjson_mut_arr_append(items, obj);
  return complete;
}

}  // namespace
}  // namespace orvel

extern "C" ORVEL_API char *orvel_export_json(const orvel_store *store) {
  using namespace orvel;
  if (store == nullptr) return nullptr;
  MutDoc doc;
  yyjson_mut_val *root = doc.new_root_object();
  // Complete or absent: a text missing entries would lose wishes for good
  // once the caller saves it.
  bool complete = yyjson_mut_obj_add_uint(doc.get(), root, "total", store->count);
  yyjson_mut_val *items = yyjson_mut_arr(doc.get());
  complete &= yyjson_mut_obj_add_val(doc.get(), root, "items", items);
  for (std::uint64_t i = 0; complete && i < store->used; ++i) {
    if (store->items[i] != nullptr) complete = add_entry(doc.get(), items, *store->items[i]);
  }
  return complete ? doc.write() : nullptr;
}
