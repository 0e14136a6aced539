// The wishlist export document: the whole store as one JSON text that the
// loader accepts again.
#include <cstdint>

#include "json_util.h"
#include "orvel.h"
#include "store.h"

namespace orvel {
namespace {

// Adds key with a copy of text; an absent text is left out, which is not a failure.
bool add_optional(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                  const char *text) noexcept {
  return text == nullptr || yyjson_mut_obj_add_strcpy(doc, obj, key, text);
}

bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *items, const orvel_item &item) noexcept {
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  return obj != nullptr && add_optional(doc, obj, "kind", item.kind) &&
         add_optional(doc, obj, "itemId", item.item_id) &&
         add_optional(doc, obj, "title", item.title) &&
         add_optional(doc, obj, "artist", item.artist) && yyjson_mut_arr_append(items, obj);
}

}  // namespace
}  // namespace orvel

extern "C" ORVEL_API char *orvel_export_json(const orvel_store *store) {
  using namespace orvel;
  if (store == nullptr) return nullptr;
  MutDoc doc;
  yyjson_mut_val *root = doc.new_root_object();
  if (root == nullptr) return nullptr;
  // Complete or absent: a text missing entries would lose wishes for good
  // once the caller saves it.
  if (!yyjson_mut_obj_add_uint(doc.get(), root, "total", store->count)) return nullptr;
  yyjson_mut_val *items = yyjson_mut_arr(doc.get());
  if (items == nullptr || !yyjson_mut_obj_add_val(doc.get(), root, "items", items)) return nullptr;
  for (std::uint64_t i = 0; i < store->count; ++i) {
    if (!add_entry(doc.get(), items, store->items[i])) return nullptr;
  }
  return doc.write();
}
