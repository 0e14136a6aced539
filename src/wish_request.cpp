// SPDX-License-Identifier: MIT
// The wish request envelope: the complete description of the POST that adds
// or removes one wish.
#include <cstdint>

#include "identity.h"
#include "json_util.h"
#include "last_error.h"
#include "orvel.h"
#include "urls.h"

namespace orvel {
namespace {

// Adds member key with a copy of value; false when memory is short.
bool add_text(MutDoc &doc, yyjson_mut_val *obj, const char *key, const char *value) noexcept {
  return yyjson_mut_obj_add_strcpy(doc.get(), obj, key, value);
}

// The body document written compactly, or null when any member could not be
// added or a text is not valid UTF-8: a partial body must never be sent.
char *write_body(int32_t add, const char *kind, const char *item_id, const char *title,
                 const char *artist) noexcept {
  MutDoc doc;
  yyjson_mut_val *root = doc.new_root_object();
  bool complete = add_text(doc, root, "op", add != 0 ? "add" : "remove");
  complete &= add_text(doc, root, "kind", kind);
  complete &= add_text(doc, root, "itemId", item_id);
  complete &= add_text(doc, root, "title", title != nullptr ? title : "");
  complete &= add_text(doc, root, "artist", artist != nullptr ? artist : "");
  return complete ? doc.write() : nullptr;
}

char *write_envelope(const char *url, const char *body) noexcept {
  MutDoc doc;
  yyjson_mut_val *root = doc.new_root_object();
  bool complete = add_text(doc, root, "method", "POST");
  complete &= add_text(doc, root, "url", url);
  complete &= add_text(doc, root, "contentType", "application/json");
  complete &= add_text(doc, root, "body", body);
  return complete ? doc.write() : nullptr;
}

}  // namespace
}  // namespace orvel

extern "C" ORVEL_API char *orvel_build_wish_request_json(const char *base_url, int32_t add,
                                                         const char *kind, const char *item_id,
                                                         const char *title, const char *artist) {
  using namespace orvel;
  if (kind_number(kind) < 0) {
    set_last_error(Error::invalid_kind);
    return nullptr;
  }
  if (!valid_item_id(item_id)) {
    set_last_error(Error::empty_item_id);
    return nullptr;
  }
  // The one failure that leaves the error text as it was.
  const Text url(join_url(base_url, kWishPath));
  if (url.get() == nullptr) return nullptr;

  // Complete or absent: a body that cannot be written means no request at all.
  const Text body(write_body(add, kind, item_id, title, artist));
  char *envelope = body.get() != nullptr ? write_envelope(url.get(), body.get()) : nullptr;
  clear_last_error();
  return envelope;
}
