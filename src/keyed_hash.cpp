// SipHash-1-3 and the per-store keys of the index.
#include "keyed_hash.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "random_source.h"

namespace orvel {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// Little-endian load of n < 8 bytes (or exactly 8 when n == 8).
std::uint64_t load_le(const unsigned char *p, std::size_t n) noexcept {
  std::uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return m;
}

// Mixes a 64-bit value so that nearby inputs give unrelated outputs; used only
// when the system's random source is unavailable.
std::uint64_t mix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15u;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

HashKey draw_process_key() noexcept {
  HashKey key{};
  return system_random(&key, sizeof key) ? key : fallback_process_key();
}

}  // namespace

HashKey fallback_process_key() noexcept {
  using namespace std::chrono;
  const auto now = static_cast<std::uint64_t>(
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
  const auto mono = static_cast<std::uint64_t>(
      duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
  // Address-space layout randomisation adds what the clocks cannot.
  const auto here = reinterpret_cast<std::uintptr_t>(&now);
  const auto code = reinterpret_cast<std::uintptr_t>(&fallback_process_key);
  return {mix64(now) ^ mix64(here), mix64(mono) ^ mix64(code) ^ mix64(process_id())};
}

std::uint64_t keyed_hash(const HashKey &key, const void *data, std::size_t len) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du,
             key.k0 ^ 0x6c7967656e657261u, key.k1 ^ 0x7465646279746573u};
  const auto *p = static_cast<const unsigned char *>(data);
  const std::size_t whole = len - len % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = 0;
    std::memcpy(&m, p + i, 8);  // the byte order only has to agree within the process
    s.absorb(m);
  }
  s.absorb(load_le(p + whole, len % 8) | (static_cast<std::uint64_t>(len) << 56));
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashKey draw_store_key() noexcept {
  static const HashKey process_key = draw_process_key();
  static std::atomic<std::uint64_t> stores{0};
  const std::uint64_t n = stores.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t words[2] = {2 * n, 2 * n + 1};
  return {keyed_hash(process_key, &words[0], 8), keyed_hash(process_key, &words[1], 8)};
}

}  // namespace orvel
