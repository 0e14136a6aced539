// SPDX-License-Identifier: MIT
// The journal's bookkeeping, and the functions that record intents, hand out
// requests and take their outcomes. Every change first obtains all the memory
// it needs, then changes the store, then the journal (which can no longer
// fail), so a failure leaves both as they were.
#include "journal.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "reason.h"
#include "text_rules.h"

namespace orvel_sync {
namespace {

std::size_t index_of(State s) noexcept {
  switch (s) {
    case State::unsent: return ORVEL_SYNC_UNSENT;
    case State::in_flight: return ORVEL_SYNC_IN_FLIGHT;
    case State::confirming: break;
  }
  return ORVEL_SYNC_CONFIRMING;
}

void unlink(orvel_journal *j, Op *op) noexcept {
  (op->prev != nullptr ? op->prev->next : j->first) = op->next;
  (op->next != nullptr ? op->next->prev : j->last) = op->prev;
  op->prev = op->next = nullptr;
}

// An unsent operation whose entry has nothing in flight may be sent.
void queue_if_ready(orvel_journal *j, Ident *ident) noexcept {
  Op *op = ident->unsent;
  if (op != nullptr && ident->in_flight == nullptr && op->queue_slot == kNotQueued) j->ready.push(op);
}

void leave_state(orvel_journal *j, Op *op) noexcept {
  Ident *ident = op->ident;
  switch (op->state) {
    case State::unsent:
      if (ident->unsent == op) ident->unsent = nullptr;
      if (op->queue_slot != kNotQueued) j->ready.remove(op);
      break;
    case State::in_flight:
      if (ident->in_flight == op) ident->in_flight = nullptr;
      break;
    case State::confirming:
      // Operations of one entry are accepted in id order and confirmed
      // oldest first, so the newest leaves last.
      if (ident->newest_confirming == op) ident->newest_confirming = nullptr;
      break;
  }
  --j->counts[index_of(op->state)];
}

void enter_state(orvel_journal *j, Op *op, State state) noexcept {
  Ident *ident = op->ident;
  op->state = state;
  ++j->counts[index_of(state)];
  switch (state) {
    case State::unsent: ident->unsent = op; break;
    case State::in_flight: ident->in_flight = op; break;
    case State::confirming:
      if (ident->newest_confirming == nullptr || ident->newest_confirming->id < op->id) {
        ident->newest_confirming = op;
      }
      break;
  }
}

// The texts a removal keeps: the app's, or those of the newest operation held
// for the entry that knows them.
const Op *texts_source(const Ident *ident) noexcept {
  for (const Op *op : {ident->unsent, ident->in_flight, ident->newest_confirming, ident->settled}) {
    if (op != nullptr && op->texts_known) return op;
  }
  return nullptr;
}

std::string_view or_empty(const char *text) noexcept { return text != nullptr ? text : ""; }

bool is_uncertain(const Ident *ident) noexcept { return ident->maybe_add != 0 || ident->maybe_remove != 0; }

std::uint32_t &maybe_of(Ident *ident, bool add) noexcept { return add ? ident->maybe_add : ident->maybe_remove; }

void unlink_uncertain(orvel_journal *j, Ident *ident) noexcept {
  (ident->uncertain_prev != nullptr ? ident->uncertain_prev->uncertain_next : j->uncertain_first) =
      ident->uncertain_next;
  (ident->uncertain_next != nullptr ? ident->uncertain_next->uncertain_prev : j->uncertain_last) =
      ident->uncertain_prev;
  ident->uncertain_prev = ident->uncertain_next = nullptr;
  --j->counts[ORVEL_SYNC_UNCERTAIN];
  std::free(ident->settled);
  ident->settled = nullptr;
}

}  // namespace

void add_uncertain(orvel_journal *j, Ident *ident, bool add, std::uint32_t n) noexcept {
  if (n == 0) return;
  if (!is_uncertain(ident)) {
    ident->uncertain_prev = j->uncertain_last;
    ident->uncertain_next = nullptr;
    (j->uncertain_last != nullptr ? j->uncertain_last->uncertain_next : j->uncertain_first) = ident;
    j->uncertain_last = ident;
    ++j->counts[ORVEL_SYNC_UNCERTAIN];
  }
  std::uint32_t &maybe = maybe_of(ident, add);
  maybe = maybe > UINT32_MAX - n ? UINT32_MAX : maybe + n;
}

void remove_uncertain(orvel_journal *j, Ident *ident, bool add) noexcept {
  std::uint32_t &maybe = maybe_of(ident, add);
  if (maybe == 0) return;
  --maybe;
  if (is_uncertain(ident)) return;
  unlink_uncertain(j, ident);
  release_ident_if_unused(j, ident);
}

void clear_uncertain(orvel_journal *j, Ident *ident) noexcept {
  if (!is_uncertain(ident)) return;
  ident->maybe_add = ident->maybe_remove = 0;
  unlink_uncertain(j, ident);
  release_ident_if_unused(j, ident);
}

Op *newest_held(const Ident *ident) noexcept {
  return ident->unsent != nullptr ? ident->unsent : ident->in_flight != nullptr ? ident->in_flight : ident->newest_confirming;
}

std::uint64_t identity_hash(std::string_view kind, std::string_view item_id) noexcept {
  // FNV-1a over kind, a separator no kind holds, and the identifier.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  const auto feed = [&h](std::string_view part) noexcept {
    for (const char c : part) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  };
  feed(kind);
  h = (h ^ 0xFFu) * 0x100000001b3ULL;
  feed(item_id);
  return mix64(h);
}

void init_journal(orvel_journal *j, orvel_store *store) noexcept {
  j->store = store;
  j->first = j->last = nullptr;
  j->next_id = 1;
  j->last_token = 0;
  j->loaded_token = 0;
  j->pass = 0;
  j->next_seq = 1;
  j->uncertain_first = j->uncertain_last = nullptr;
  for (std::uint32_t &c : j->counts) c = 0;
}

void clear_journal(orvel_journal *j) noexcept {
  while (j->first != nullptr) drop(j, j->first);
  while (j->uncertain_first != nullptr) clear_uncertain(j, j->uncertain_first);
}

void swap_journals(orvel_journal *a, orvel_journal *b) noexcept {
  const auto swap_value = [](auto &x, auto &y) noexcept {
    auto t = x;
    x = y;
    y = t;
  };
  swap_value(a->first, b->first);
  swap_value(a->last, b->last);
  swap_value(a->next_id, b->next_id);
  swap_value(a->last_token, b->last_token);
  swap_value(a->loaded_token, b->loaded_token);
  swap_value(a->pass, b->pass);
  swap_value(a->next_seq, b->next_seq);
  swap_value(a->uncertain_first, b->uncertain_first);
  swap_value(a->uncertain_last, b->uncertain_last);
  for (std::size_t i = 0; i < sizeof a->counts / sizeof a->counts[0]; ++i) swap_value(a->counts[i], b->counts[i]);
  a->idents.swap(b->idents);
  a->ops.swap(b->ops);
  a->ready.swap(b->ready);
}

bool reserve_ops(orvel_journal *j, std::uint64_t more) noexcept {
  return j->idents.reserve(more) && j->ops.reserve(more) && j->ready.reserve(j->counts[ORVEL_SYNC_HELD] + more);
}

Ident *find_ident(const orvel_journal *j, std::string_view kind, std::string_view item_id) noexcept {
  return j->idents.find(IdentKey{kind, item_id, identity_hash(kind, item_id)});
}

Ident *obtain_ident(orvel_journal *j, std::string_view kind, std::string_view item_id) noexcept {
  const IdentKey key{kind, item_id, identity_hash(kind, item_id)};
  if (Ident *found = j->idents.find(key)) return found;
  if (item_id.size() >= UINT32_MAX - sizeof(Ident) - kind.size() - 2) return nullptr;
  auto *ident = static_cast<Ident *>(std::malloc(sizeof(Ident) + kind.size() + item_id.size() + 2));
  if (ident == nullptr) return nullptr;
  *ident = Ident{key.hash, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0,
                 static_cast<std::uint32_t>(kind.size()), static_cast<std::uint32_t>(item_id.size()), 0, 0, false};
  char *text = reinterpret_cast<char *>(ident + 1);
  std::memcpy(text, kind.data(), kind.size());
  text[kind.size()] = '\0';
  std::memcpy(text + kind.size() + 1, item_id.data(), item_id.size());
  text[kind.size() + 1 + item_id.size()] = '\0';
  j->idents.insert(ident);
  return ident;
}

void release_ident_if_unused(orvel_journal *j, Ident *ident) noexcept {
  if (ident->held != 0 || is_uncertain(ident)) return;
  j->idents.erase(ident);
  std::free(ident);
}

Op *new_op(std::int64_t id, bool add, std::string_view title, std::string_view artist,
           bool texts_known) noexcept {
  if (title.size() >= UINT32_MAX / 2 || artist.size() >= UINT32_MAX / 2) return nullptr;
  auto *op = static_cast<Op *>(std::malloc(sizeof(Op) + title.size() + artist.size() + 2));
  if (op == nullptr) return nullptr;
  *op = Op{id,         0,  0, nullptr, nullptr, nullptr, kNotQueued, static_cast<std::uint32_t>(title.size()),
           static_cast<std::uint32_t>(artist.size()), 0, State::unsent, add, texts_known, false, false};
  char *text = reinterpret_cast<char *>(op + 1);
  if (!title.empty()) std::memcpy(text, title.data(), title.size());
  text[title.size()] = '\0';
  if (!artist.empty()) std::memcpy(text + title.size() + 1, artist.data(), artist.size());
  text[title.size() + 1 + artist.size()] = '\0';
  return op;
}

void hold(orvel_journal *j, Op *op, Ident *ident) noexcept {
  const State state = op->state;
  op->ident = ident;
  op->queue_slot = kNotQueued;
  op->seq = j->next_seq++;
  op->prev = j->last;
  op->next = nullptr;
  (j->last != nullptr ? j->last->next : j->first) = op;
  j->last = op;
  j->ops.insert(op);
  ++ident->held;
  ++j->counts[ORVEL_SYNC_HELD];
  enter_state(j, op, state);
  queue_if_ready(j, ident);
}

void drop(orvel_journal *j, Op *op) noexcept {
  Ident *ident = op->ident;
  leave_state(j, op);
  unlink(j, op);
  j->ops.erase(op);
  --j->counts[ORVEL_SYNC_HELD];
  --ident->held;
  std::free(op);
  queue_if_ready(j, ident);
  release_ident_if_unused(j, ident);
}

void move_to(orvel_journal *j, Op *op, State state) noexcept {
  leave_state(j, op);
  enter_state(j, op, state);
  queue_if_ready(j, op->ident);
}

void requeue(orvel_journal *j, Op *op) noexcept {
  leave_state(j, op);
  op->seq = j->next_seq++;
  enter_state(j, op, State::unsent);
  queue_if_ready(j, op->ident);
}

void settle_or_drop(orvel_journal *j, Op *op) noexcept {
  Ident *ident = op->ident;
  if (!is_uncertain(ident) || newest_held(ident) != op) {
    drop(j, op);
    return;
  }
  leave_state(j, op);
  unlink(j, op);
  j->ops.erase(op);
  --j->counts[ORVEL_SYNC_HELD];
  --ident->held;
  std::free(ident->settled);
  ident->settled = op;
}

void mark_effective(orvel_journal *j, std::int64_t token) noexcept {
  const std::uint64_t pass = ++j->pass;
  for (Op *op = j->last; op != nullptr; op = op->prev) {
    op->effective = false;
    if (op->state == State::confirming && op->accepted_after < token) continue;
    if (op->ident->pass != pass) {
      op->ident->pass = pass;
      op->effective = true;
    }
  }
}

}  // namespace orvel_sync

using namespace orvel_sync;

extern "C" {

ORVEL_SYNC_API orvel_journal *orvel_sync_create(orvel_store *store) {
  if (store == nullptr) return failed(Reason::null_arg, static_cast<orvel_journal *>(nullptr));
  void *memory = std::malloc(sizeof(orvel_journal));
  if (memory == nullptr) return failed(Reason::out_of_memory, static_cast<orvel_journal *>(nullptr));
  auto *j = new (memory) orvel_journal{};
  init_journal(j, store);
  succeed();
  return j;
}

ORVEL_SYNC_API void orvel_sync_destroy(orvel_journal *journal) {
  if (journal == nullptr) return;
  clear_journal(journal);
  journal->~orvel_journal();
  std::free(journal);
}

ORVEL_SYNC_API int64_t orvel_sync_set(orvel_journal *journal, int32_t wished, const char *kind,
                                      const char *item_id, const char *title, const char *artist) {
  if (journal == nullptr) return failed(Reason::null_arg, int64_t{-1});
  if (orvel_validate_kind(kind) != 0) return failed(Reason::invalid_kind, int64_t{-1});
  if (item_id == nullptr || item_id[0] == '\0') return failed(Reason::empty_item_id, int64_t{-1});
  if (!valid_utf8(item_id) || !valid_utf8(or_empty(title)) || !valid_utf8(or_empty(artist))) {
    return failed(Reason::invalid_utf8, int64_t{-1});
  }
  const bool add = wished != 0;
  if ((orvel_is_wished(journal->store, kind, item_id) == 1) == add) {
    succeed();  // the store shows it already: nothing to record
    return 0;
  }
  // An intent that undoes an unsent one, with nothing else held or pending
  // for the entry, returns it to what the service last showed: the two
  // cancel out, and nothing is sent (nor refused).
  if (Ident *known = find_ident(journal, kind, item_id);
      known != nullptr && known->held == 1 && known->unsent != nullptr && known->unsent->attempts == 0 &&
      !is_uncertain(known)) {
    if (orvel_apply_local_toggle(journal->store, kind, item_id, title, artist) < 0) {
      return failed(Reason::out_of_memory, int64_t{-1});
    }
    drop(journal, known->unsent);
    succeed();
    return 0;
  }
  if (journal->counts[ORVEL_SYNC_HELD] >= kMaxHeld || journal->next_id >= kMaxCounter ||
      !reserve_ops(journal, 1)) {
    return failed(Reason::out_of_memory, int64_t{-1});
  }
  Ident *ident = obtain_ident(journal, kind, item_id);
  if (ident == nullptr) return failed(Reason::out_of_memory, int64_t{-1});

  std::string_view kept_title = or_empty(title), kept_artist = or_empty(artist);
  bool known = add || title != nullptr || artist != nullptr;
  if (!known) {
    if (const Op *source = texts_source(ident)) {
      kept_title = {source->title(), source->title_len};
      kept_artist = {source->artist(), source->artist_len};
      known = true;
    }
  }
  Op *op = new_op(journal->next_id, add, kept_title, kept_artist, known);
  // The toggle flips the entry to the intent, since the store shows the other.
  if (op == nullptr || orvel_apply_local_toggle(journal->store, kind, item_id, title, artist) < 0) {
    std::free(op);
    release_ident_if_unused(journal, ident);
    return failed(Reason::out_of_memory, int64_t{-1});
  }
  Op *replaced = ident->unsent;
  hold(journal, op, ident);
  if (replaced != nullptr) drop(journal, replaced);
  // The newest intent is held now; a settled one no longer says anything.
  std::free(ident->settled);
  ident->settled = nullptr;
  ++journal->next_id;
  succeed();
  return op->id;
}

ORVEL_SYNC_API char *orvel_sync_next_request(orvel_journal *journal, const char *base_url,
                                             int64_t *op_id) {
  if (op_id != nullptr) *op_id = 0;
  if (journal == nullptr || op_id == nullptr) return failed(Reason::null_arg, static_cast<char *>(nullptr));
  if (!valid_utf8(or_empty(base_url))) return failed(Reason::invalid_utf8, static_cast<char *>(nullptr));
  Op *op = journal->ready.top();
  if (op == nullptr) {
    succeed();
    return nullptr;
  }
  // The texts were checked when recorded, so only memory can fail here.
  char *request = orvel_build_wish_request_json(base_url, op->add ? 1 : 0, op->ident->kind(),
                                                op->ident->item_id(), op->title(), op->artist());
  if (request == nullptr) return failed(Reason::out_of_memory, static_cast<char *>(nullptr));
  move_to(journal, op, State::in_flight);
  if (op->attempts != UINT32_MAX) ++op->attempts;
  *op_id = op->id;
  succeed();
  return request;
}

ORVEL_SYNC_API int32_t orvel_sync_report_outcome(orvel_journal *journal, int64_t op_id, int32_t outcome,
                                                 int32_t *store_change) {
  if (store_change != nullptr) *store_change = ORVEL_SYNC_STORE_UNCHANGED;
  if (journal == nullptr) return failed(Reason::null_arg, -1);
  if (outcome < ORVEL_SYNC_ACCEPTED || outcome > ORVEL_SYNC_UNKNOWN) return failed(Reason::invalid_argument, -1);
  Op *op = journal->ops.find(op_id);
  if (op == nullptr || op->state != State::in_flight) return failed(Reason::unknown_operation, -1);
  Ident *ident = op->ident;
  int32_t change = ORVEL_SYNC_STORE_UNCHANGED;
  switch (outcome) {
    case ORVEL_SYNC_ACCEPTED:
      op->accepted_after = journal->last_token;
      move_to(journal, op, State::confirming);
      break;
    case ORVEL_SYNC_REJECTED: {
      // Put the store back, unless a newer intent decides what it shows.
      if (ident->unsent == nullptr) {
        const bool shown = orvel_is_wished(journal->store, ident->kind(), ident->item_id()) == 1;
        if (op->add && shown) {
          orvel_apply_local_toggle(journal->store, ident->kind(), ident->item_id(), nullptr, nullptr);
          change = ORVEL_SYNC_STORE_REMOVED;
        } else if (!op->add && !shown && op->texts_known) {
          if (orvel_apply_local_toggle(journal->store, ident->kind(), ident->item_id(), op->title(), op->artist()) < 0) {
            return failed(Reason::out_of_memory, -1);
          }
          change = ORVEL_SYNC_STORE_SHOWN;
        }
      }
      // The service refuses this change; an earlier copy of it that lands
      // late is refused too, so nothing of the entry is left to watch.
      const bool uncertain = is_uncertain(ident);
      drop(journal, op);
      if (uncertain && ident->held == 0) clear_uncertain(journal, ident);
      break;
    }
    default:  // failed or unknown: sent again, behind the rest, unless a newer intent replaces it
      if (outcome == ORVEL_SYNC_UNKNOWN) add_uncertain(journal, ident, op->add);
      if (ident->unsent != nullptr) {
        drop(journal, op);
      } else {
        requeue(journal, op);
      }
      break;
  }
  if (store_change != nullptr) *store_change = change;
  succeed();
  return 0;
}

ORVEL_SYNC_API int32_t orvel_sync_report(orvel_journal *journal, int64_t op_id, int32_t outcome) {
  return orvel_sync_report_outcome(journal, op_id, outcome, nullptr);
}

ORVEL_SYNC_API int64_t orvel_sync_begin_refresh(orvel_journal *journal) {
  if (journal == nullptr) return failed(Reason::null_arg, int64_t{-1});
  if (journal->last_token >= kMaxCounter) return failed(Reason::out_of_memory, int64_t{-1});
  succeed();
  return ++journal->last_token;
}

ORVEL_SYNC_API int32_t orvel_sync_count(const orvel_journal *journal, int32_t which) {
  if (journal == nullptr) return failed(Reason::null_arg, -1);
  if (which < ORVEL_SYNC_HELD || which > ORVEL_SYNC_UNCERTAIN) return failed(Reason::invalid_argument, -1);
  succeed();
  return static_cast<int32_t>(journal->counts[which]);
}

ORVEL_SYNC_API int32_t orvel_sync_entry_status(const orvel_journal *journal, const char *kind,
                                               const char *item_id, orvel_sync_entry *entry) {
  if (journal == nullptr || entry == nullptr) return failed(Reason::null_arg, -1);
  if (orvel_validate_kind(kind) != 0) return failed(Reason::invalid_kind, -1);
  if (item_id == nullptr || item_id[0] == '\0') return failed(Reason::empty_item_id, -1);
  const Ident *ident = find_ident(journal, kind, item_id);
  *entry = orvel_sync_entry{ORVEL_SYNC_SYNCED, -1, 0, 0, 0};
  succeed();
  if (ident == nullptr) return 0;
  entry->uncertain = ident->maybe_add > UINT32_MAX - ident->maybe_remove ? UINT32_MAX
                                                                         : ident->maybe_add + ident->maybe_remove;
  if (const Op *op = newest_held(ident)) {
    entry->state = static_cast<int32_t>(index_of(op->state));
    entry->wished = op->add ? 1 : 0;
    entry->op_id = op->id;
    entry->attempts = op->attempts;
  } else {
    entry->state = ORVEL_SYNC_UNCERTAIN;
    entry->wished = ident->settled->add ? 1 : 0;
  }
  return 1;
}

}  // extern "C"
