// Refreshing: loads a list response into the store and shows again every
// intent it may not reflect, as one all-or-nothing load.
#include <cstring>

#include "json_guard.h"
#include "journal.h"
#include "reason.h"
#include "response_merge.h"

namespace orvel_sync {
namespace {

// The entry objects of the marked additions, comma-separated, in journal
// order; null when memory is short. *none is set when there are none.
char *marked_additions(const orvel_journal *j, std::size_t *len, bool *none) noexcept {
  WriteDoc doc;
  yyjson_mut_val *array = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), array);
  bool ok = array != nullptr;
  *none = true;
  for (const Op *op = j->first; ok && op != nullptr; op = op->next) {
    if (!op->effective || !op->add) continue;
    *none = false;
    yyjson_mut_val *entry = yyjson_mut_arr_add_obj(doc.get(), array);
    ok = entry != nullptr &&
         yyjson_mut_obj_add_strncpy(doc.get(), entry, "kind", op->ident->kind(), op->ident->kind_len) &&
         yyjson_mut_obj_add_strncpy(doc.get(), entry, "itemId", op->ident->item_id(), op->ident->id_len) &&
         yyjson_mut_obj_add_strncpy(doc.get(), entry, "title", op->title(), op->title_len) &&
         yyjson_mut_obj_add_strncpy(doc.get(), entry, "artist", op->artist(), op->artist_len);
  }
  if (!ok || *none) return nullptr;
  std::size_t written = 0;
  char *text = yyjson_mut_write_opts(doc.get(), 0, nullptr, &written, nullptr);
  if (text == nullptr) return nullptr;
  // Without the array's brackets: the elements alone.
  *len = written - 2;
  std::memmove(text, text + 1, *len);
  return text;
}

}  // namespace
}  // namespace orvel_sync

using namespace orvel_sync;

extern "C" ORVEL_SYNC_API int32_t orvel_sync_load(orvel_journal *journal, int64_t token, const char *json,
                                                  size_t len) {
  if (journal == nullptr || json == nullptr) return failed(Reason::null_arg, -1);
  if (token <= 0 || token > journal->last_token) return failed(Reason::unknown_token, -1);
  // The journal has let go of what a newer response confirmed, so an older
  // one would take back changes it never saw.
  if (token < journal->loaded_token) return failed(Reason::stale_response, ORVEL_SYNC_STALE);
  if (len == 0) len = std::strlen(json);

  mark_effective(journal, token);
  std::size_t elements_len = 0;
  bool none = true;
  OwnedText elements(marked_additions(journal, &elements_len, &none));
  if (!none && elements.get() == nullptr) return failed(Reason::out_of_memory, -1);
  std::size_t merged_len = len;
  const OwnedText merged(none ? nullptr : merge_response({json, len}, {elements.get(), elements_len}, &merged_len));
  if (!none && merged.get() == nullptr) return failed(Reason::out_of_memory, -1);
  // The one step that can fail from here on, and it changes nothing when it does.
  if (orvel_load_mine_json(journal->store, none ? json : merged.get(), merged_len) < 0) {
    return failed(Reason::invalid_json, -1);
  }

  Op *next = nullptr;
  for (Op *op = journal->first; op != nullptr; op = next) {
    next = op->next;
    Ident *ident = op->ident;
    if (op->effective && !op->add && orvel_is_wished(journal->store, ident->kind(), ident->item_id()) == 1) {
      orvel_apply_local_toggle(journal->store, ident->kind(), ident->item_id(), nullptr, nullptr);  // removes
    }
    if (op->state == State::confirming && op->accepted_after < token) drop(journal, op);
  }
  journal->loaded_token = token;
  succeed();
  return orvel_count(journal->store);
}
