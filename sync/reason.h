// SPDX-License-Identifier: MIT
// The per-thread reason text of the journal library, and the fixed reasons.
#pragma once

#include <cstdint>

namespace orvel_sync {

enum class Reason : std::uint8_t {
  null_arg,
  invalid_kind,
  empty_item_id,
  invalid_utf8,
  invalid_argument,
  unknown_operation,
  unknown_token,
  stale_response,
  invalid_json,
  invalid_journal,
  unsupported_version,
  journal_not_empty,
  invalid_snapshot,
  out_of_memory,
};

// Writes the reason, NUL included, over the start of the thread's buffer.
void fail_with(Reason r) noexcept;
// Empties the thread's reason.
void succeed() noexcept;

// The two shapes every failing function takes.
template <class T>
T failed(Reason r, T result) noexcept {
  fail_with(r);
  return result;
}

}  // namespace orvel_sync
