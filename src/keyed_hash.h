// A keyed hash for the store's index. Each store draws its own key, so a
// response cannot be crafted to make many identities collide: without the
// key, where an identifier lands is unpredictable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel {

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// SipHash-1-3 of len bytes at data: a keyed pseudo-random function, fast on
// the short texts identifiers are.
std::uint64_t keyed_hash(const HashKey &key, const void *data, std::size_t len) noexcept;

// A fresh key for one store: derived from a process key drawn once from the
// system's random source, and a counter, so no two stores share a key.
HashKey draw_store_key() noexcept;

// A process key from the clocks and the address-space layout, for systems
// whose random source is unavailable.
HashKey fallback_process_key() noexcept;

}  // namespace orvel
