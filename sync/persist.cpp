// SPDX-License-Identifier: MIT
// Saving and restoring a journal: its operations as a JSON text, read back
// strictly, so that a restart loses no intent and reuses no id or token.
#include <cstring>
#include <string_view>

#include "json_guard.h"
#include "journal.h"
#include "reason.h"
#include "text_writer.h"

namespace orvel_sync {
namespace {

constexpr std::string_view kFormat = "orvel-journal";
// 2 added each operation's attempts and the entries requests may still land
// on; texts of version 1 are still read.
constexpr std::uint64_t kFormatVersion = 2;

constexpr std::string_view kStateNames[] = {"unsent", "inFlight", "confirming"};  // in the order of State

std::string_view state_name(State s) noexcept { return kStateNames[static_cast<std::size_t>(s)]; }

void write_identity(TextWriter &w, const Ident *ident) noexcept {
  w.name("kind");
  w.string({ident->kind(), ident->kind_len});
  w.raw(",");
  w.name("itemId");
  w.string({ident->item_id(), ident->id_len});
}

void write_op_name(TextWriter &w, const Op *op) noexcept {
  w.name("op");
  w.string(op->add ? "add" : "remove");
}

// A removal whose texts the journal does not know writes them as null.
void write_texts(TextWriter &w, const Op *op) noexcept {
  if (!op->texts_known) {
    w.raw(R"("title":null,"artist":null)");
    return;
  }
  w.name("title");
  w.string({op->title(), op->title_len});
  w.raw(",");
  w.name("artist");
  w.string({op->artist(), op->artist_len});
}

void write_op(TextWriter &w, const Op *op) noexcept {
  w.raw("{");
  w.name("id");
  w.number(static_cast<std::uint64_t>(op->id));
  w.raw(",");
  w.name("state");
  w.string(state_name(op->state));
  w.raw(",");
  write_op_name(w, op);
  w.raw(",");
  write_identity(w, op->ident);
  w.raw(",");
  write_texts(w, op);
  w.raw(",");
  w.name("attempts");
  w.number(op->attempts);
  if (op->state == State::confirming) {
    w.raw(",");
    w.name("acceptedAfter");
    w.number(static_cast<std::uint64_t>(op->accepted_after));
  }
  w.raw("}");
}

// An entry requests may still land on: how many of each intent, and its
// settled intent when it holds no operation.
void write_uncertain_entry(TextWriter &w, const Ident *ident) noexcept {
  w.raw("{");
  write_identity(w, ident);
  w.raw(",");
  w.name("maybeAdd");
  w.number(ident->maybe_add);
  w.raw(",");
  w.name("maybeRemove");
  w.number(ident->maybe_remove);
  w.raw(",");
  w.name("settled");
  if (ident->settled == nullptr) {
    w.raw("null}");
    return;
  }
  w.raw("{");
  write_op_name(w, ident->settled);
  w.raw(",");
  write_texts(w, ident->settled);
  w.raw("}}");
}

void write_journal_text(TextWriter &w, const orvel_journal *journal) noexcept {
  w.raw("{");
  w.name("format");
  w.string(kFormat);
  w.raw(",");
  w.name("version");
  w.number(kFormatVersion);
  w.raw(",");
  w.name("nextId");
  w.number(static_cast<std::uint64_t>(journal->next_id));
  w.raw(",");
  w.name("lastToken");
  w.number(static_cast<std::uint64_t>(journal->last_token));
  w.raw(",");
  w.name("loadedToken");
  w.number(static_cast<std::uint64_t>(journal->loaded_token));
  w.raw(",");
  w.name("operations");
  w.raw("[");
  bool first = true;
  for (const Op *op = journal->first; op != nullptr; op = op->next) {
    if (!first) w.raw(",");
    first = false;
    write_op(w, op);
  }
  w.raw("],");
  w.name("uncertain");
  w.raw("[");
  for (const Ident *u = journal->uncertain_first; u != nullptr; u = u->uncertain_next) {
    if (u != journal->uncertain_first) w.raw(",");
    write_uncertain_entry(w, u);
  }
  w.raw("]}");
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
// A saved identity: a kind of the four and a non-empty identifier.
bool read_identity(yyjson_val *kind_value, yyjson_val *id_value, std::string_view *kind,
                   std::string_view *item_id) noexcept {
  if (!read_text(kind_value, kind) || !read_text(id_value, item_id) || item_id->empty()) return false;
  // Kinds are short: a longer text cannot be one, whatever its bytes.
  char kind_text[16];
  if (kind->size() >= sizeof kind_text) return false;
  std::memcpy(kind_text, kind->data(), kind->size());
  kind_text[kind->size()] = '\0';
  return orvel_validate_kind(kind_text) == 0;
}

// A saved intent: "add" or "remove", with both texts, or both null for a
// removal whose texts are unknown.
struct Intent {
  bool add, known;
  std::string_view title, artist;
};
bool read_intent(yyjson_val *op_value, yyjson_val *title_value, yyjson_val *artist_value, Intent *out) noexcept {
  std::string_view op_name;
  if (!read_text(op_value, &op_name) || (!same(op_name, "add") && !same(op_name, "remove"))) return false;
  out->add = same(op_name, "add");
  out->known = !(yyjson_is_null(title_value) && yyjson_is_null(artist_value));
  return out->known ? read_text(title_value, &out->title) && read_text(artist_value, &out->artist) : !out->add;
}

// A count of the journal's that fits 32 bits.
bool read_small(yyjson_val *v, std::uint32_t *out) noexcept {
  if (!yyjson_is_uint(v) || yyjson_get_uint(v) > UINT32_MAX) return false;
  *out = static_cast<std::uint32_t>(yyjson_get_uint(v));
  return true;
}

Step read_op(orvel_journal *j, yyjson_val *obj, std::uint64_t version, std::int64_t *previous_id) noexcept {
  static constexpr std::string_view kNames[] = {"id",    "state",  "op",       "kind",         "itemId",
                                                "title", "artist", "attempts", "acceptedAfter"};
  yyjson_val *v[9];
  std::int64_t id = 0, accepted_after = 0;
  std::uint32_t attempts = 0;
  State state{};
  std::string_view kind, item_id;
  Intent intent{};
  if (!read_members(obj, kNames, v) || !read_count(v[0], &id) || id <= *previous_id || id >= j->next_id ||
      !read_state(v[1], &state) || !read_identity(v[3], v[4], &kind, &item_id) ||
      !read_intent(v[2], v[5], v[6], &intent)) {
    return Step::invalid;
  }
  // Version 1 knew no attempts; from 2 on every operation has them.
  if (version == 1 ? v[7] != nullptr : !read_small(v[7], &attempts)) return Step::invalid;
  if ((state == State::confirming) != (v[8] != nullptr)) return Step::invalid;
  if (state == State::confirming && (!read_count(v[8], &accepted_after) || accepted_after > j->last_token)) {
    return Step::invalid;
  }
  const bool add = intent.add, known = intent.known;
  const std::string_view title = intent.title, artist = intent.artist;

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
  // Requests in flight when the journal was saved are sent again, unless a
  // newer intent replaces them, and may still land: they count as unknown.
  // `applied` marks them until a newer intent comes.
  op->state = state == State::in_flight ? State::unsent : state;
  op->applied = state == State::in_flight;
  op->accepted_after = accepted_after;
  op->attempts = attempts;
  if (state == State::in_flight) add_uncertain(j, ident, add);
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

// Reads one entry that requests may still land on (after the operations):
// each entry once, something uncertain, and a settled intent exactly when it
// holds no operation.
Step read_uncertain(orvel_journal *j, yyjson_val *obj) noexcept {
  static constexpr std::string_view kNames[] = {"kind", "itemId", "maybeAdd", "maybeRemove", "settled"};
  static constexpr std::string_view kIntentNames[] = {"op", "title", "artist"};
  yyjson_val *v[5], *w[3];
  std::string_view kind, item_id;
  std::uint32_t maybe_add = 0, maybe_remove = 0;
  Intent intent{};
  if (!read_members(obj, kNames, v) || !read_identity(v[0], v[1], &kind, &item_id) || !read_small(v[2], &maybe_add) ||
      !read_small(v[3], &maybe_remove) || maybe_add + std::uint64_t{maybe_remove} == 0 || v[4] == nullptr) {
    return Step::invalid;
  }
  const bool settled = !yyjson_is_null(v[4]);
  if (settled && (!read_members(v[4], kIntentNames, w) || !read_intent(w[0], w[1], w[2], &intent))) return Step::invalid;
  Ident *ident = find_ident(j, kind, item_id);
  // `requeue` marks the entries read here, each at most once.
  if (ident != nullptr ? settled || ident->requeue : !settled) return Step::invalid;
  if (ident == nullptr) {
    // Not an operation: never queued or indexed, so its id is never read.
    Op *op = new_op(0, intent.add, intent.title, intent.artist, intent.known);
    if (op == nullptr || (ident = obtain_ident(j, kind, item_id)) == nullptr) {
      std::free(op);
      return Step::no_memory;
    }
    ident->settled = op;
    op->ident = ident;
  }
  ident->requeue = true;
  // Added to what requests in flight when saved already count.
  add_uncertain(j, ident, true, maybe_add);
  add_uncertain(j, ident, false, maybe_remove);
  return Step::ok;
}

template <class F>
Step read_each(yyjson_val *array, F read) noexcept {
  std::size_t idx = 0, max = 0;
  yyjson_val *element = nullptr;
  yyjson_arr_foreach(array, idx, max, element) {
    const Step step = read(element);
    if (step != Step::ok) return step;
  }
  return Step::ok;
}

bool read_journal(orvel_journal *into, yyjson_val *root, Reason *why) noexcept {
  *why = Reason::invalid_journal;
  static constexpr std::string_view kNames[] = {"format",      "version",    "nextId",   "lastToken",
                                                "loadedToken", "operations", "uncertain"};
  yyjson_val *v[7];
  std::string_view format;
  if (!read_members(root, kNames, v) || !read_text(v[0], &format) || !same(format, kFormat) || !yyjson_is_uint(v[1])) {
    return false;
  }
  const std::uint64_t version = yyjson_get_uint(v[1]);
  if (version != 1 && version != kFormatVersion) {
    *why = Reason::unsupported_version;
    return false;
  }
  // Counters beyond what this library hands out would leave no room to go on.
  if (!read_count(v[2], &into->next_id) || into->next_id < 1 || into->next_id > kMaxCounter ||
      !read_count(v[3], &into->last_token) || into->last_token > kMaxCounter ||
      !read_count(v[4], &into->loaded_token) || into->loaded_token > into->last_token || !yyjson_is_arr(v[5]) ||
      yyjson_arr_size(v[5]) > kMaxHeld || (version == 1 ? v[6] != nullptr : !yyjson_is_arr(v[6]))) {
    return false;
  }
  const std::size_t uncertain = version == 1 ? 0 : yyjson_arr_size(v[6]);
  if (!reserve_ops(into, yyjson_arr_size(v[5]) + std::uint64_t{uncertain})) {
    *why = Reason::out_of_memory;
    return false;
  }
  std::int64_t previous_id = 0;
  Step step = read_each(v[5], [&](yyjson_val *e) noexcept { return read_op(into, e, version, &previous_id); });
  if (step == Step::ok && version != 1) {
    step = read_each(v[6], [&](yyjson_val *e) noexcept { return read_uncertain(into, e); });
  }
  for (Ident *u = into->uncertain_first; u != nullptr; u = u->uncertain_next) u->requeue = false;
  if (step != Step::ok) {
    if (step == Step::no_memory) *why = Reason::out_of_memory;
    return false;
  }
  // Queue order: those never tried, in the order recorded, then those tried
  // before, so a failing one is not first again after a restart.
  for (Op *op = into->first; op != nullptr; op = op->next) {
    if (op->state == State::unsent && op->attempts != 0) requeue(into, op);
  }
  if (!show_intents(into)) {
    *why = Reason::out_of_memory;
    return false;
  }
  return true;
}

// A guess at the journal text's length that is right unless texts need
// escapes: their lengths and what each record adds around them.
std::size_t estimate(const orvel_journal *journal) noexcept {
  constexpr std::uint64_t kFrame = 160, kRecord = 180, kLimit = SIZE_MAX / 4;
  std::uint64_t total = kFrame;
  for (const Op *op = journal->first; op != nullptr && total < kLimit; op = op->next) {
    total += kRecord + op->ident->kind_len + op->ident->id_len + op->title_len + op->artist_len;
  }
  for (const Ident *u = journal->uncertain_first; u != nullptr && total < kLimit; u = u->uncertain_next) {
    total += kRecord + u->kind_len + u->id_len;
    if (u->settled != nullptr) total += u->settled->title_len + u->settled->artist_len;
  }
  return total < kLimit ? static_cast<std::size_t>(total) : 4096;  // past that it grows as it goes
}

// The journal's text in a new block, after `head` bytes left for the caller
// and followed by `tail` and a NUL; *len is the journal's part. Null when
// memory is short.
char *write_journal(const orvel_journal *journal, std::size_t *len, std::size_t head = 0,
                    std::string_view tail = {}) noexcept {
  const std::size_t guess = estimate(journal);
  if (head > SIZE_MAX - 1 - tail.size() - guess) return nullptr;
  TextWriter w(head, head + guess + tail.size() + 1);
  write_journal_text(w, journal);
  *len = w.size() - head;
  w.raw(tail);
  w.raw("", 1);  // the NUL
  return w.release();
}

// ---- the one snapshot: the store's export and the journal in one text -------

constexpr std::string_view kSnapshotFormat = "orvel-snapshot";
constexpr std::uint64_t kSnapshotVersion = 1;

// Reads the store's part strictly (the export's shape: every entry valid,
// none twice, the total right) into a new store; null with *why when it
// cannot.
orvel_store *read_store(yyjson_val *value, Reason *why) noexcept {
  *why = Reason::invalid_snapshot;
  static constexpr std::string_view kNames[] = {"total", "items"};
  static constexpr std::string_view kEntryNames[] = {"kind", "itemId", "title", "artist"};
  yyjson_val *v[2];
  if (!read_members(value, kNames, v) || !yyjson_is_uint(v[0]) || !yyjson_is_arr(v[1]) ||
      yyjson_get_uint(v[0]) != yyjson_arr_size(v[1])) {
    return nullptr;
  }
  std::size_t idx = 0, max = 0;
  yyjson_val *entry = nullptr;
  yyjson_arr_foreach(v[1], idx, max, entry) {
    yyjson_val *e[4];
    std::string_view kind, item_id, text;
    if (!read_members(entry, kEntryNames, e) || !read_identity(e[0], e[1], &kind, &item_id) ||
        !read_text(e[2], &text) || !read_text(e[3], &text)) {
      return nullptr;
    }
  }
  orvel_store *store = orvel_create();
  if (store == nullptr) {
    *why = Reason::out_of_memory;
    return nullptr;
  }
  if (max == 0) return store;
  // liborvel reads its own export back as it wrote it: the part is written
  // out once more and loaded.
  std::size_t len = 0;
  const OwnedText text(yyjson_val_write_opts(value, 0, nullptr, &len, nullptr));
  const int32_t loaded = text.get() != nullptr ? orvel_load_mine_json(store, text.get(), len) : -1;
  if (loaded < 0 || static_cast<std::size_t>(loaded) != max) {
    // The entries were checked, so a load fails only for memory; fewer
    // entries than elements means one came twice.
    *why = loaded < 0 ? Reason::out_of_memory : Reason::invalid_snapshot;
    orvel_destroy(store);
    return nullptr;
  }
  return store;
}

}  // namespace
}  // namespace orvel_sync

using namespace orvel_sync;

extern "C" {

ORVEL_SYNC_API char *orvel_sync_snapshot(const orvel_journal *journal) {
  if (journal == nullptr) return failed(Reason::null_arg, static_cast<char *>(nullptr));
  char *store_text = orvel_export_json(journal->store);
  if (store_text == nullptr) return failed(Reason::out_of_memory, static_cast<char *>(nullptr));
  // The journal is written in place between the store's part and the end.
  constexpr std::string_view kHead = R"({"format":"orvel-snapshot","version":1,"store":)";
  constexpr std::string_view kMiddle = R"(,"journal":)";
  const std::string_view store_part = store_text;
  const std::size_t before = kHead.size() + store_part.size() + kMiddle.size();
  std::size_t journal_len = 0;
  char *text = write_journal(journal, &journal_len, before, "}");
  if (text != nullptr) {
    std::memcpy(text, kHead.data(), kHead.size());
    std::memcpy(text + kHead.size(), store_part.data(), store_part.size());
    std::memcpy(text + kHead.size() + store_part.size(), kMiddle.data(), kMiddle.size());
  }
  orvel_free(store_text);
  if (text == nullptr) return failed(Reason::out_of_memory, static_cast<char *>(nullptr));
  succeed();
  return text;
}

ORVEL_SYNC_API orvel_journal *orvel_sync_open_snapshot(const char *json, size_t len, orvel_store **store) {
  if (store != nullptr) *store = nullptr;
  if (json == nullptr || store == nullptr) return failed(Reason::null_arg, static_cast<orvel_journal *>(nullptr));
  if (len == 0) len = std::strlen(json);
  const ReadDoc doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr));
  if (doc.get() == nullptr) return failed(Reason::invalid_json, static_cast<orvel_journal *>(nullptr));
  static constexpr std::string_view kNames[] = {"format", "version", "store", "journal"};
  yyjson_val *v[4];
  std::string_view format;
  if (!read_members(yyjson_doc_get_root(doc.get()), kNames, v) || !read_text(v[0], &format) ||
      !same(format, kSnapshotFormat) || !yyjson_is_uint(v[1]) || v[2] == nullptr || v[3] == nullptr) {
    return failed(Reason::invalid_snapshot, static_cast<orvel_journal *>(nullptr));
  }
  if (yyjson_get_uint(v[1]) != kSnapshotVersion) {
    return failed(Reason::unsupported_version, static_cast<orvel_journal *>(nullptr));
  }
  Reason why{};
  orvel_store *opened = read_store(v[2], &why);
  if (opened == nullptr) return failed(why, static_cast<orvel_journal *>(nullptr));
  orvel_journal *journal = orvel_sync_create(opened);
  if (journal == nullptr) {
    orvel_destroy(opened);
    return failed(Reason::out_of_memory, static_cast<orvel_journal *>(nullptr));
  }
  if (!read_journal(journal, v[3], &why)) {
    orvel_sync_destroy(journal);
    orvel_destroy(opened);
    return failed(why, static_cast<orvel_journal *>(nullptr));
  }
  *store = opened;
  succeed();
  return journal;
}

ORVEL_SYNC_API char *orvel_sync_export(const orvel_journal *journal) {
  if (journal == nullptr) return failed(Reason::null_arg, static_cast<char *>(nullptr));
  std::size_t len = 0;
  char *text = write_journal(journal, &len);
  if (text == nullptr) return failed(Reason::out_of_memory, static_cast<char *>(nullptr));
  succeed();
  return text;
}

ORVEL_SYNC_API int32_t orvel_sync_restore(orvel_journal *journal, const char *json, size_t len) {
  if (journal == nullptr || json == nullptr) return failed(Reason::null_arg, -1);
  if (journal->counts[ORVEL_SYNC_HELD] != 0 || journal->counts[ORVEL_SYNC_UNCERTAIN] != 0) {
    return failed(Reason::journal_not_empty, -1);
  }
  if (len == 0) len = std::strlen(json);
  const ReadDoc doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr));
  if (doc.get() == nullptr) return failed(Reason::invalid_json, -1);
  orvel_journal restored{};
  init_journal(&restored, journal->store);
  Reason why{};
  if (!read_journal(&restored, yyjson_doc_get_root(doc.get()), &why)) {
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
