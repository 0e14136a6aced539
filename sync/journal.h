// SPDX-License-Identifier: MIT
// The journal's records and the bookkeeping that every journal function
// shares. Only the journal's own sources (and its internal tests) see this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "orvel.h"
#include "orvel_sync.h"
#include "tables.h"

namespace orvel_sync {

enum class State : std::uint8_t { unsent, in_flight, confirming };

struct Ident;

// One recorded intent: set (kind, item_id) wished or not. One heap block:
// this header, then title and artist, each NUL-terminated.
struct Op {
  std::int64_t id;
  std::int64_t accepted_after;  // confirming: the last token handed out when accepted
  std::uint64_t seq;            // queue order: recorded, or sent back after a failure
  Op *prev, *next;              // journal order: ids increase from first to last
  Ident *ident;
  std::uint32_t queue_slot;     // place in the ready queue, or kNotQueued
  std::uint32_t title_len, artist_len;
  std::uint32_t attempts;       // how often its request was handed out
  State state;
  bool add;
  bool texts_known;             // a removal's title and artist are the entry's own
  bool effective;               // scratch marks of a re-application pass
  bool applied;

  const char *title() const noexcept { return reinterpret_cast<const char *>(this + 1); }
  const char *artist() const noexcept { return title() + title_len + 1; }
};

// An entry that the journal holds operations for, or that a request
// reported unknown may still land on. One heap block: this header, then kind
// and item_id, each NUL-terminated.
struct Ident {
  std::uint64_t hash;
  Op *unsent;             // at most one per entry
  Op *in_flight;          // at most one per entry, older than unsent
  Op *newest_confirming;  // the newest accepted one still held, if any
  // The user's confirmed intent, kept once nothing is held while a request
  // may still land (uncertain); not in the journal order or the id index.
  Op *settled;
  Ident *uncertain_prev, *uncertain_next;  // the entries with maybe_add + maybe_remove > 0
  std::uint64_t pass;     // scratch mark of a re-application pass
  std::uint32_t held;     // operations held for this entry, whatever their state
  std::uint32_t kind_len, id_len;
  // Requests reported unknown (or in flight across a restart) that may still
  // land, by intent; each is forgotten once a response shows it landed.
  std::uint32_t maybe_add, maybe_remove;
  bool requeue;           // scratch verdict of a reload: a late request landed

  const char *kind() const noexcept { return reinterpret_cast<const char *>(this + 1); }
  const char *item_id() const noexcept { return kind() + kind_len + 1; }
};

struct IdentKey {
  std::string_view kind, item_id;
  std::uint64_t hash;
};

std::uint64_t identity_hash(std::string_view kind, std::string_view item_id) noexcept;

struct IdentTraits {
  static std::uint64_t hash(const IdentKey &k) noexcept { return k.hash; }
  static std::uint64_t hash_of(const Ident *e) noexcept { return e->hash; }
  static bool equal(const Ident *e, const IdentKey &k) noexcept {
    return e->hash == k.hash && std::string_view(e->kind(), e->kind_len) == k.kind &&
           std::string_view(e->item_id(), e->id_len) == k.item_id;
  }
};

struct OpTraits {
  static std::uint64_t hash(std::int64_t id) noexcept { return mix64(static_cast<std::uint64_t>(id)); }
  static std::uint64_t hash_of(const Op *op) noexcept { return hash(op->id); }
  static bool equal(const Op *op, std::int64_t id) noexcept { return op->id == id; }
};

// In the order recorded; one sent back after a failure goes behind the rest.
struct QueueTraits {
  static bool less(const Op *a, const Op *b) noexcept { return a->seq < b->seq; }
  static std::uint32_t &slot(Op *op) noexcept { return op->queue_slot; }
};

using ReadyQueue = PointerHeap<Op, QueueTraits>;
inline constexpr std::uint32_t kNotQueued = ReadyQueue::kNotQueued;

// The number of operations a journal holds at most (counts cross the
// interface as int32_t).
inline constexpr std::uint32_t kMaxHeld = INT32_MAX;

// The next id and the last token stay at most this (2^53 - 1): no journal
// gets near it, and every JSON reader, in every language, reads it exactly.
inline constexpr std::int64_t kMaxCounter = (std::int64_t{1} << 53) - 1;

}  // namespace orvel_sync

// The journal: the borrowed store, the operations in journal order, and the
// indexes over them. Invariants (checked by the tests' journal_check.h):
//  - every held operation is in the list, in ops, and counted in its entry's
//    `held`; ids increase along the list and are below next_id;
//  - an entry's unsent and in_flight are its operations in those states;
//  - exactly the unsent operations whose entry has nothing in flight are in
//    the ready queue;
//  - the store shows, for every entry, the intent of its newest operation
//    (unless a refused removal could not be shown again);
//  - counts[which] is the number held (ORVEL_SYNC_HELD) or in each state,
//    and counts[ORVEL_SYNC_UNCERTAIN] the length of the uncertain list;
//  - an entry record lives while it holds operations or is uncertain; it has
//    a settled intent exactly when it is uncertain and holds nothing.
struct orvel_journal {
  orvel_store *store;
  orvel_sync::Op *first;
  orvel_sync::Op *last;
  std::int64_t next_id;       // the id the next operation gets
  std::int64_t last_token;    // the last token handed out, 0 for none
  std::int64_t loaded_token;  // the newest token whose response was loaded, 0 for none
  std::uint64_t pass;         // re-application passes so far
  std::uint64_t next_seq;     // the queue place the next queued operation gets
  std::uint32_t counts[5];    // indexed by ORVEL_SYNC_HELD ... ORVEL_SYNC_UNCERTAIN (entries)
  orvel_sync::Ident *uncertain_first, *uncertain_last;  // in the order they became uncertain
  orvel_sync::PointerTable<orvel_sync::Ident, orvel_sync::IdentTraits> idents;
  orvel_sync::PointerTable<orvel_sync::Op, orvel_sync::OpTraits> ops;
  orvel_sync::ReadyQueue ready;
};

namespace orvel_sync {

// A journal with nothing held over store, initialised in place.
void init_journal(orvel_journal *j, orvel_store *store) noexcept;
// Frees every operation and entry record of j (the indexes stay allocated).
void clear_journal(orvel_journal *j) noexcept;
// Exchanges everything but the store.
void swap_journals(orvel_journal *a, orvel_journal *b) noexcept;

// Room in the indexes for `more` new operations (and as many new entries).
bool reserve_ops(orvel_journal *j, std::uint64_t more) noexcept;

// The record of an entry, or null.
Ident *find_ident(const orvel_journal *j, std::string_view kind, std::string_view item_id) noexcept;
// The record of an entry, made when missing (its `held` is then 0); null when
// memory is short. Needs room reserved by reserve_ops().
Ident *obtain_ident(orvel_journal *j, std::string_view kind, std::string_view item_id) noexcept;
// Frees an entry record that holds nothing and is not uncertain.
void release_ident_if_unused(orvel_journal *j, Ident *ident) noexcept;

// n more requests of this intent may land late on the entry.
void add_uncertain(orvel_journal *j, Ident *ident, bool add, std::uint32_t n = 1) noexcept;
// A request of this intent landed (or can no longer matter): one fewer.
void remove_uncertain(orvel_journal *j, Ident *ident, bool add) noexcept;
// Forgets every request that may land on the entry (and its settled intent).
void clear_uncertain(orvel_journal *j, Ident *ident) noexcept;
// The newest operation held for the entry, or null.
Op *newest_held(const Ident *ident) noexcept;
// Makes op (held, the entry's newest) the settled intent when the entry is
// uncertain: it leaves the journal without being freed. Otherwise drops it.
void settle_or_drop(orvel_journal *j, Op *op) noexcept;
// Puts a held operation back at the end of the queue, unsent.
void requeue(orvel_journal *j, Op *op) noexcept;

// A new operation block, not yet held (attempts 0, a fresh queue place
// given when held); null when memory is short.
Op *new_op(std::int64_t id, bool add, std::string_view title, std::string_view artist,
           bool texts_known) noexcept;

// Holds op (state already set) for ident at the end of the journal order, or
// at its place by id (restore). Needs room reserved by reserve_ops().
void hold(orvel_journal *j, Op *op, Ident *ident) noexcept;
// Drops a held operation (and its entry record when nothing else is held).
void drop(orvel_journal *j, Op *op) noexcept;
// Moves a held operation to another state, keeping every index right.
void move_to(orvel_journal *j, Op *op, State state) noexcept;

// Marks, for every entry, its newest operation among those a response with
// `token` may not reflect (op->effective): everything but the confirming
// operations accepted before token was taken. token 0 marks among all.
void mark_effective(orvel_journal *j, std::int64_t token) noexcept;

}  // namespace orvel_sync
