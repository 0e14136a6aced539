// SPDX-License-Identifier: MIT
// Whether every invariant of a journal holds: for the tests and the fuzzers,
// which see the journal's records through its internal header.
#pragma once

#include "journal.h"

namespace orvel_sync {

inline std::size_t state_index(State s) noexcept {
  return s == State::unsent ? ORVEL_SYNC_UNSENT : s == State::in_flight ? ORVEL_SYNC_IN_FLIGHT : ORVEL_SYNC_CONFIRMING;
}

inline bool consistent(const orvel_journal *j) noexcept {
  std::uint32_t counts[4] = {0, 0, 0, 0};
  std::uint64_t ready = 0;
  const Op *prev = nullptr;
  for (const Op *op = j->first; op != nullptr; prev = op, op = op->next) {
    const Ident *ident = op->ident;
    if (op->prev != prev || (prev != nullptr && prev->id >= op->id) || op->id >= j->next_id) return false;
    if (j->ops.find(op->id) != op) return false;
    if (find_ident(j, {ident->kind(), ident->kind_len}, {ident->item_id(), ident->id_len}) != ident) return false;
    ++counts[ORVEL_SYNC_HELD];
    ++counts[state_index(op->state)];
    switch (op->state) {
      case State::unsent:
        if (ident->unsent != op) return false;
        if ((op->queue_slot != kNotQueued) != (ident->in_flight == nullptr)) return false;
        ready += op->queue_slot != kNotQueued;
        break;
      case State::in_flight:
        if (ident->in_flight != op || op->queue_slot != kNotQueued) return false;
        if (ident->unsent != nullptr && ident->unsent->id < op->id) return false;
        break;
      case State::confirming:
        if (op->queue_slot != kNotQueued || ident->newest_confirming == nullptr ||
            ident->newest_confirming->id < op->id || op->accepted_after > j->last_token) {
          return false;
        }
        break;
    }
  }
  if (prev != j->last) return false;
  bool idents_ok = true;
  std::uint64_t held_by_idents = 0, uncertain = 0;
  j->idents.for_each([&](const Ident *ident) noexcept {
    held_by_idents += ident->held;
    const bool is_uncertain = ident->maybe_add + ident->maybe_remove != 0;
    uncertain += is_uncertain;
    // A record lives while it holds something or may be landed on, and has a
    // settled intent exactly when it only may be landed on.
    if (ident->held == 0 && !is_uncertain) idents_ok = false;
    if ((ident->settled != nullptr) != (ident->held == 0 && is_uncertain)) idents_ok = false;
    if (ident->settled != nullptr && ident->settled->ident != ident) idents_ok = false;
    for (const Op *op : {ident->unsent, ident->in_flight, ident->newest_confirming}) {
      if (op != nullptr && op->ident != ident) idents_ok = false;
    }
  });
  for (std::size_t i = 0; i < 4; ++i) {
    if (counts[i] != j->counts[i]) return false;
  }
  std::uint64_t listed = 0;
  const Ident *before = nullptr;
  for (const Ident *u = j->uncertain_first; u != nullptr; before = u, u = u->uncertain_next) {
    if (u->maybe_add + u->maybe_remove == 0 || u->uncertain_prev != before) return false;
    ++listed;
  }
  if (before != j->uncertain_last) return false;
  if (listed != uncertain || j->counts[ORVEL_SYNC_UNCERTAIN] != uncertain) return false;
  return idents_ok && held_by_idents == counts[ORVEL_SYNC_HELD] && j->ops.size() == counts[ORVEL_SYNC_HELD] &&
         j->ready.size() == ready && j->loaded_token <= j->last_token;
}

}  // namespace orvel_sync
