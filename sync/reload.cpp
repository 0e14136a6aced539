// SPDX-License-Identifier: MIT
// Refreshing: loads a list response into the store and shows again every
// intent it may not reflect, as one all-or-nothing load.
#include <cstring>

#include "json_guard.h"
#include "journal.h"
#include "reason.h"
#include "response_merge.h"

namespace orvel_sync {
namespace {

bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *array, const Op *op) noexcept {
  yyjson_mut_val *entry = yyjson_mut_arr_add_obj(doc, array);
  return entry != nullptr && yyjson_mut_obj_add_strncpy(doc, entry, "kind", op->ident->kind(), op->ident->kind_len) &&
         yyjson_mut_obj_add_strncpy(doc, entry, "itemId", op->ident->item_id(), op->ident->id_len) &&
         yyjson_mut_obj_add_strncpy(doc, entry, "title", op->title(), op->title_len) &&
         yyjson_mut_obj_add_strncpy(doc, entry, "artist", op->artist(), op->artist_len);
}

// Whether any marked addition must be shown again (decided before anything
// is allocated, so that a failed allocation is never taken for "none").
bool any_marked_addition(const orvel_journal *j) noexcept {
  for (const Op *op = j->first; op != nullptr; op = op->next) {
    if (op->effective && op->add) return true;
  }
  for (const Ident *u = j->uncertain_first; u != nullptr; u = u->uncertain_next) {
    if (u->settled != nullptr && u->requeue && u->settled->add) return true;
  }
  return false;
}

// The entry objects of the marked additions, comma-separated, in journal
// order (then the settled intents shown again); null when memory is short.
char *marked_additions(const orvel_journal *j, std::size_t *len) noexcept {
  WriteDoc doc;
  yyjson_mut_val *array = yyjson_mut_arr(doc.get());
  yyjson_mut_doc_set_root(doc.get(), array);
  bool ok = array != nullptr;
  for (const Op *op = j->first; ok && op != nullptr; op = op->next) {
    if (op->effective && op->add) ok = add_entry(doc.get(), array, op);
  }
  for (const Ident *u = j->uncertain_first; ok && u != nullptr; u = u->uncertain_next) {
    if (u->settled != nullptr && u->requeue && u->settled->add) ok = add_entry(doc.get(), array, u->settled);
  }
  if (!ok) return nullptr;
  std::size_t written = 0;
  char *text = yyjson_mut_write_opts(doc.get(), 0, nullptr, &written, nullptr);
  if (text == nullptr) return nullptr;
  // Without the array's brackets: the elements alone.
  *len = written - 2;
  std::memmove(text, text + 1, *len);
  return text;
}

// The intent of an uncertain entry that a response with token decides on:
// its newest operation when the response confirms it, or its settled intent;
// null while an operation the response may not reflect is held.
Op *decided_intent(const Ident *u, std::int64_t token) noexcept {
  Op *op = newest_held(u);
  if (op == nullptr) return u->settled;
  return op->state == State::confirming && op->accepted_after < token ? op : nullptr;
}

// Before the load: which uncertain entries whose intent is an addition the
// response shows without it, though a removal reported unknown may have
// landed. Those must be shown again, which only the merged load can do
// without failing, so the response is read once on its own to tell. Also
// counts the settled intents that may go back into the journal.
enum class Precheck { ok, invalid, no_memory };
Precheck precheck_additions(orvel_journal *j, std::int64_t token, const char *json, std::size_t len,
                            std::uint64_t *settled) noexcept {
  bool needed = false;
  *settled = 0;
  for (Ident *u = j->uncertain_first; u != nullptr; u = u->uncertain_next) {
    u->requeue = false;
    if (u->settled != nullptr) u->settled->effective = false;
    const Op *intent = decided_intent(u, token);
    if (intent == nullptr) continue;
    if (intent == u->settled) ++*settled;
    needed = needed || (intent->add && u->maybe_remove != 0);
  }
  if (!needed) return Precheck::ok;
  orvel_store *alone = orvel_create();
  if (alone == nullptr) return Precheck::no_memory;
  // Its failure is the merged load's too (the same text, or memory short).
  if (orvel_load_mine_json(alone, json, len) < 0) {
    orvel_destroy(alone);
    return Precheck::invalid;
  }
  for (Ident *u = j->uncertain_first; u != nullptr; u = u->uncertain_next) {
    Op *intent = decided_intent(u, token);
    if (intent == nullptr || !intent->add || u->maybe_remove == 0) continue;
    if (orvel_is_wished(alone, u->kind(), u->item_id()) == 0) {
      u->requeue = true;
      intent->effective = true;  // shown again by the merged load
    }
  }
  orvel_destroy(alone);
  return Precheck::ok;
}

// After the load: a removal the response contradicts while an addition
// reported unknown may have landed; then every late landing found is undone
// by queueing the intent again, and that request is forgotten.
void requeue_landed(orvel_journal *j, std::int64_t token) noexcept {
  for (Ident *u = j->uncertain_first; u != nullptr; u = u->uncertain_next) {
    const Op *intent = decided_intent(u, token);
    if (intent != nullptr && !intent->add && u->maybe_add != 0 &&
        orvel_is_wished(j->store, u->kind(), u->item_id()) == 1) {
      u->requeue = true;
      orvel_apply_local_toggle(j->store, u->kind(), u->item_id(), nullptr, nullptr);  // removes
    }
  }
  Ident *next = nullptr;
  for (Ident *u = j->uncertain_first; u != nullptr; u = next) {
    next = u->uncertain_next;
    if (!u->requeue) continue;
    u->requeue = false;
    Op *intent = decided_intent(u, token);
    if (intent == u->settled) {
      u->settled = nullptr;
      intent->id = j->next_id++;
      intent->state = State::unsent;
      intent->attempts = 0;
      hold(j, intent, u);  // room reserved before the load
    } else {
      requeue(j, intent);
    }
    remove_uncertain(j, u, !intent->add);
  }
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
  std::uint64_t settled = 0;
  switch (precheck_additions(journal, token, json, len, &settled)) {
    case Precheck::ok: break;
    case Precheck::invalid: return failed(Reason::invalid_json, -1);
    case Precheck::no_memory: return failed(Reason::out_of_memory, -1);
  }
  if (settled != 0 && (journal->next_id > kMaxCounter - static_cast<std::int64_t>(settled) ||
                       !reserve_ops(journal, settled))) {
    return failed(Reason::out_of_memory, -1);
  }
  std::size_t elements_len = 0;
  const bool none = !any_marked_addition(journal);
  OwnedText elements(none ? nullptr : marked_additions(journal, &elements_len));
  if (!none && elements.get() == nullptr) return failed(Reason::out_of_memory, -1);
  std::size_t merged_len = len;
  const OwnedText merged(none ? nullptr : merge_response({json, len}, {elements.get(), elements_len}, &merged_len));
  if (!none && merged.get() == nullptr) return failed(Reason::out_of_memory, -1);
  // The one step that can fail from here on, and it changes nothing when it does.
  if (orvel_load_mine_json(journal->store, none ? json : merged.get(), merged_len) < 0) {
    return failed(Reason::invalid_json, -1);
  }

  requeue_landed(journal, token);
  Op *next = nullptr;
  for (Op *op = journal->first; op != nullptr; op = next) {
    next = op->next;
    Ident *ident = op->ident;
    if (op->effective && !op->add && orvel_is_wished(journal->store, ident->kind(), ident->item_id()) == 1) {
      orvel_apply_local_toggle(journal->store, ident->kind(), ident->item_id(), nullptr, nullptr);  // removes
    }
    if (op->state == State::confirming && op->accepted_after < token) settle_or_drop(journal, op);
  }
  journal->loaded_token = token;
  succeed();
  return orvel_count(journal->store);
}
