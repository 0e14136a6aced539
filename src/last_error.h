// SPDX-License-Identifier: MIT
// The per-thread error text and the few helpers shared by every module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel {

// The four fixed messages; nothing else is ever written to the error text.
enum class Error : std::uint8_t { invalid_kind, empty_item_id, null_arg, invalid_json };

// Copies the whole message, NUL included, over the start of the thread's buffer.
void set_last_error(Error e) noexcept;
// Empties the thread's error text (a NUL in its first byte).
void clear_last_error() noexcept;

}  // namespace orvel
