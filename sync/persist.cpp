// Saving and restoring a journal: its operations as a JSON text, read back
// strictly, so that a restart loses no intent and reuses no id or token.
#include <cstring>
#include <string_view>

#include "json_guard.h"
#include "journal.h"
#include "reason.h"

namespace orvel_sync {
namespace {

constexpr std::string_view kFormat = "orvel-journal";
constexpr std::uint64_t kFormatVersion = 1;

constexpr std::string_view kStateNames[] = {"unsent", "inFlight", "confirming"};  // in the order of State

std::string_view state_name(State s) noexcept { return kStateNames[static_cast<std::size_t>(s)]; }

bool add_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, std::string_view text) noexcept {
  return yyjson_mut_obj_add_strncpy(doc, obj, key, text.data(), text.size());
}

bool add_op(yyjson_mut_doc *doc, yyjson_mut_val *array, const Op *op) noexcept {
  yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc, array);
  const Ident *ident = op->ident;
  if (o == nullptr || !yyjson_mut_obj_add_uint(doc, o, "id", static_cast<std::uint64_t>(op->id)) ||
      !add_text(doc, o, "state", state_name(op->state)) || !add_text(doc, o, "op", op->add ? "add" : "remove") ||
      !add_text(doc, o, "kind", {ident->kind(), ident->kind_len}) ||
      !add_text(doc, o, "itemId", {ident->item_id(), ident->id_len})) {
    return false;
  }
  // A removal whose texts the journal does not know writes them as null.
  const bool texts = op->texts_known ? add_text(doc, o, "title", {op->title(), op->title_len}) &&
                                           add_text(doc, o, "artist", {op->artist(), op->artist_len})
                                     : yyjson_mut_obj_add_null(doc, o, "title") &&
                                           yyjson_mut_obj_add_null(doc, o, "artist");
  return texts && (op->state != State::confirming ||
                   yyjson_mut_obj_add_uint(doc, o, "acceptedAfter", static_cast<std::uint64_t>(op->accepted_after)));
}

// ---- reading -----------------------------------------------------------------

// Equality of the short names a journal text is made of, compared in line:
// a call to memcmp for each would cost more than the comparison.
bool same(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The members of one object by name, each present at most once, none unknown.
// The names are looked for first where this library writes them.
template <std::size_t N>
bool read_members(yyjson_val *obj, const std::string_view (&names)[N], yyjson_val *(&values)[N]) noexcept {
  for (yyjson_val *&v : values) v = nullptr;
  if (!yyjson_is_obj(obj)) return false;
  std::size_t idx = 0, max = 0, expected = 0;
  yyjson_val *key = nullptr, *val = nullptr;
  yyjson_obj_foreach(obj, idx, max, key, val) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    std::size_t i = expected < N && same(names[expected], name) ? expected : 0;
    while (i < N && !same(names[i], name)) ++i;
    if (i == N || values[i] != nullptr) return false;
    values[i] = val;
    expected = i + 1;
  }
  return true;
}

// A non-negative integer that fits int64_t.
bool read_count(yyjson_val *v, std::int64_t *out) noexcept {
  if (!yyjson_is_uint(v) || yyjson_get_uint(v) > static_cast<std::uint64_t>(INT64_MAX)) return false;
  *out = static_cast<std::int64_t>(yyjson_get_uint(v));
  return true;
}

// A string without NUL characters (a C text could not carry it).
bool read_text(yyjson_val *v, std::string_view *out) noexcept {
  if (!yyjson_is_str(v)) return false;
  *out = {yyjson_get_str(v), yyjson_get_len(v)};
  return std::memchr(out->data(), '\0', out->size()) == nullptr;
}

bool read_state(yyjson_val *v, State *out) noexcept {
  std::string_view name;
  if (!read_text(v, &name)) return false;
  for (std::size_t i = 0; i < sizeof kStateNames / sizeof kStateNames[0]; ++i) {
    if (same(kStateNames[i], name)) {
      *out = static_cast<State>(i);
      return true;
    }
  }
  return false;
}

enum class Step { ok, invalid, no_memory };

// Reads one operation into j (which is being restored); ids must increase
// from *previous_id, which becomes this operation's.
Step read_op(orvel_journal *j, yyjson_val *obj, std::int64_t *previous_id) noexcept {
  static constexpr std::string_view kNames[] = {"id",    "state",  "op",           "kind", "itemId",
                                                "title", "artist", "acceptedAfter"};
  yyjson_val *v[8];
  std::int64_t id = 0, accepted_after = 0;
  State state{};
  std::string_view op_name, kind, item_id, title, artist;
  if (!read_members(obj, kNames, v) || !read_count(v[0], &id) || id <= *previous_id || id >= j->next_id ||
      !read_state(v[1], &state) || !read_text(v[2], &op_name) || (!same(op_name, "add") && !same(op_name, "remove")) ||
      !read_text(v[3], &kind) || !read_text(v[4], &item_id) || item_id.empty()) {
    return Step::invalid;
  }
  const bool add = same(op_name, "add");
  // Texts are both strings, or both null for a removal whose texts are unknown.
  const bool known = !(yyjson_is_null(v[5]) && yyjson_is_null(v[6]));
  if (known ? !(read_text(v[5], &title) && read_text(v[6], &artist)) : add) return Step::invalid;
  if ((state == State::confirming) != (v[7] != nullptr)) return Step::invalid;
  if (state == State::confirming && (!read_count(v[7], &accepted_after) || accepted_after > j->last_token)) {
    return Step::invalid;
  }
  // Kinds are short: a longer text cannot be one, whatever its bytes.
  char kind_text[16];
  if (kind.size() >= sizeof kind_text) return Step::invalid;
  std::memcpy(kind_text, kind.data(), kind.size());
  kind_text[kind.size()] = '\0';
  if (orvel_validate_kind(kind_text) != 0) return Step::invalid;

  Ident *ident = obtain_ident(j, kind, item_id);
  if (ident == nullptr) return Step::no_memory;
  // What the journal could have held: an entry's accepted operations are
  // older than the one in flight, which is older than the unsent one.
  const bool back_from_flight = ident->unsent != nullptr && ident->unsent->applied;
  if ((state != State::unsent && (ident->unsent != nullptr || ident->in_flight != nullptr)) ||
      (state == State::unsent && ident->unsent != nullptr && !back_from_flight)) {
    release_ident_if_unused(j, ident);
    return Step::invalid;
  }
  Op *op = new_op(id, add, title, artist, known);
  if (op == nullptr) {
    release_ident_if_unused(j, ident);
    return Step::no_memory;
  }
  // Requests in flight died with the app: they are sent again, unless a
  // newer intent replaces them. `applied` marks them until then.
  op->state = state == State::in_flight ? State::unsent : state;
  op->applied = state == State::in_flight;
  op->accepted_after = accepted_after;
  Op *replaced = back_from_flight ? ident->unsent : nullptr;
  hold(j, op, ident);
  if (replaced != nullptr) drop(j, replaced);
  *previous_id = id;
  return Step::ok;
}

// Makes the store show every intent of j: additions first, each undone if a
// later one fails; then removals, which cannot fail.
bool show_intents(orvel_journal *j) noexcept {
  mark_effective(j, 0);
  for (Op *op = j->first; op != nullptr; op = op->next) op->applied = false;
  for (Op *op = j->first; op != nullptr; op = op->next) {
    const Ident *ident = op->ident;
    if (!op->effective || !op->add || orvel_is_wished(j->store, ident->kind(), ident->item_id()) == 1) continue;
    if (orvel_apply_local_toggle(j->store, ident->kind(), ident->item_id(), op->title(), op->artist()) < 0) {
      for (Op *done = j->first; done != op; done = done->next) {
        if (done->applied) orvel_apply_local_toggle(j->store, done->ident->kind(), done->ident->item_id(), nullptr, nullptr);
      }
      return false;
    }
    op->applied = true;
  }
  for (Op *op = j->first; op != nullptr; op = op->next) {
    const Ident *ident = op->ident;
    if (op->effective && !op->add && orvel_is_wished(j->store, ident->kind(), ident->item_id()) == 1) {
      orvel_apply_local_toggle(j->store, ident->kind(), ident->item_id(), nullptr, nullptr);
    }
  }
  return true;
}

std::int64_t larger(std::int64_t a, std::int64_t b) noexcept { return a > b ? a : b; }

// Reads the text into the empty journal `into` (over the same store); false
// with *why when it cannot.
bool read_operations(orvel_journal *into, const char *json, std::size_t len, Reason *why) noexcept {
  *why = Reason::invalid_journal;
  const ReadDoc doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr));
  if (doc.get() == nullptr) {
    *why = Reason::invalid_json;
    return false;
  }
  static constexpr std::string_view kNames[] = {"format",    "version",     "nextId",
                                                "lastToken", "loadedToken", "operations"};
  yyjson_val *v[6];
  std::string_view format;
  if (!read_members(yyjson_doc_get_root(doc.get()), kNames, v) || !read_text(v[0], &format) || !same(format, kFormat) ||
      !yyjson_is_uint(v[1])) {
    return false;
  }
  if (yyjson_get_uint(v[1]) != kFormatVersion) {
    *why = Reason::unsupported_version;
    return false;
  }
  if (!read_count(v[2], &into->next_id) || into->next_id < 1 || !read_count(v[3], &into->last_token) ||
      !read_count(v[4], &into->loaded_token) || into->loaded_token > into->last_token || !yyjson_is_arr(v[5]) ||
      yyjson_arr_size(v[5]) > kMaxHeld) {
    return false;
  }
  if (!reserve_ops(into, yyjson_arr_size(v[5]))) {
    *why = Reason::out_of_memory;
    return false;
  }
  std::size_t idx = 0, max = 0;
  yyjson_val *element = nullptr;
  std::int64_t previous_id = 0;
  yyjson_arr_foreach(v[5], idx, max, element) {
    switch (read_op(into, element, &previous_id)) {
      case Step::ok: break;
      case Step::invalid: return false;
      case Step::no_memory: *why = Reason::out_of_memory; return false;
    }
  }
  if (!show_intents(into)) {
    *why = Reason::out_of_memory;
    return false;
  }
  return true;
}

}  // namespace
}  // namespace orvel_sync

using namespace orvel_sync;

extern "C" {

ORVEL_SYNC_API char *orvel_sync_export(const orvel_journal *journal) {
  if (journal == nullptr) return failed(Reason::null_arg, static_cast<char *>(nullptr));
  WriteDoc doc;
  yyjson_mut_doc *d = doc.get();
  yyjson_mut_val *root = yyjson_mut_obj(d);
  yyjson_mut_doc_set_root(d, root);
  yyjson_mut_val *ops = yyjson_mut_arr(d);
  bool ok = root != nullptr && add_text(d, root, "format", kFormat) &&
            yyjson_mut_obj_add_uint(d, root, "version", kFormatVersion) &&
            yyjson_mut_obj_add_uint(d, root, "nextId", static_cast<std::uint64_t>(journal->next_id)) &&
            yyjson_mut_obj_add_uint(d, root, "lastToken", static_cast<std::uint64_t>(journal->last_token)) &&
            yyjson_mut_obj_add_uint(d, root, "loadedToken", static_cast<std::uint64_t>(journal->loaded_token)) &&
            yyjson_mut_obj_add_val(d, root, "operations", ops);
  for (const Op *op = journal->first; ok && op != nullptr; op = op->next) ok = add_op(d, ops, op);
  char *text = ok ? yyjson_mut_write_opts(d, 0, nullptr, nullptr, nullptr) : nullptr;
  if (text == nullptr) return failed(Reason::out_of_memory, static_cast<char *>(nullptr));
  succeed();
  return text;
}

ORVEL_SYNC_API int32_t orvel_sync_restore(orvel_journal *journal, const char *json, size_t len) {
  if (journal == nullptr || json == nullptr) return failed(Reason::null_arg, -1);
  if (journal->counts[ORVEL_SYNC_HELD] != 0) return failed(Reason::journal_not_empty, -1);
  if (len == 0) len = std::strlen(json);
  orvel_journal restored{};
  init_journal(&restored, journal->store);
  Reason why{};
  if (!read_operations(&restored, json, len, &why)) {
    clear_journal(&restored);
    return failed(why, -1);
  }
  // Ids and tokens this journal already handed out are never handed out again.
  restored.next_id = larger(restored.next_id, journal->next_id);
  restored.last_token = larger(restored.last_token, journal->last_token);
  restored.loaded_token = larger(restored.loaded_token, journal->loaded_token);
  swap_journals(journal, &restored);
  succeed();
  return static_cast<int32_t>(journal->counts[ORVEL_SYNC_HELD]);
}

}  // extern "C"
