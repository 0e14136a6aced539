// SPDX-License-Identifier: MIT
// The per-store keys of the index.
#include "keyed_hash.h"

#include <atomic>

#include "random_source.h"

namespace orvel {
namespace {

// Mixes a 64-bit value so that nearby inputs give unrelated outputs; used only
// when the system's random source is unavailable.
std::uint64_t mix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15u;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

// The process key, drawn by the first store that needs one. Without a
// function-local static, whose guard would need the C++ runtime: the first
// thread to claim the key writes it, and any other waits the few
// instructions that takes. Plain words suffice, as the flag's release and
// acquire order them.
SipKey g_process_key;
std::atomic<int> g_process_key_state{0};  // 0 none, 1 being written, 2 ready
constexpr int kWriting = 1;
constexpr int kReady = 2;

SipKey process_key() noexcept {
  if (g_process_key_state.load(std::memory_order_acquire) != kReady) {
    SipKey key{};
    if (!system_random(&key, sizeof key)) key = fallback_process_key();
    int none = 0;
    if (g_process_key_state.compare_exchange_strong(none, kWriting, std::memory_order_acq_rel)) {
      g_process_key = key;
      g_process_key_state.store(kReady, std::memory_order_release);
    }
    while (g_process_key_state.load(std::memory_order_acquire) != kReady) {
    }
  }
  return g_process_key;
}

std::atomic<std::uint64_t> g_stores{0};

}  // namespace

SipKey fallback_process_key() noexcept {
  const ClockReading now = read_clocks();
  // Address-space layout randomisation adds what the clocks cannot.
  const auto here = reinterpret_cast<std::uintptr_t>(&now);
  const auto code = reinterpret_cast<std::uintptr_t>(&fallback_process_key);
  return {mix64(now.wall) ^ mix64(here), mix64(now.steady) ^ mix64(code) ^ mix64(process_id())};
}

HashKey draw_store_key() noexcept {
  const SipKey process = process_key();
  const std::uint64_t n = g_stores.fetch_add(1, std::memory_order_relaxed);
  // Word i of store n's key is the process key's SipHash of (n, i).
  std::uint64_t input[2] = {n, 0};
  const auto next_word = [&]() noexcept {
    const std::uint64_t word = sip_hash(process, input, sizeof input);
    ++input[1];
    return word;
  };
  HashKey key{};
  for (std::uint64_t &word : key.words) word = next_word();
  key.sip.k0 = next_word();
  key.sip.k1 = next_word();
  return key;
}

}  // namespace orvel
