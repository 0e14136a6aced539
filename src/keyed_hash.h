// SPDX-License-Identifier: MIT
// Keyed hashing of identities for the store's index. Each store draws its own
// key, so a response cannot be crafted to make many identities collide:
// without the key, where an identifier lands is unpredictable.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace orvel {

// A SipHash key: the process's, from which each store's key is derived.
struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// Identifiers of at most this many bytes take the multilinear hash.
inline constexpr std::size_t kShortId = 64;

// A store's key: random words for the multilinear hash of short identities
// (one for the constant term, one for the kind and length, one for each
// 32-bit word of the identifier), and a SipHash key for longer ones.
struct HashKey {
  std::uint64_t words[2 + kShortId / 4];
  SipKey sip;
};

namespace detail {

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

inline std::uint64_t load_word(const unsigned char *p) noexcept {
  std::uint64_t m = 0;
  std::memcpy(&m, p, 8);  // the byte order only has to agree within the process
  return m;
}

// The last len % 8 bytes of p[0..len), as the low bytes of a word. Under 8
// bytes they are read one by one in little-endian order, so that short texts
// hash alike on every system; past that, the word that ends the text is read
// at once and shifted.
inline std::uint64_t tail_word(const unsigned char *p, std::size_t len) noexcept {
  const std::size_t rest = len % 8;
  if (rest == 0) return 0;
  if (len < 8) {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < rest; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return m;
  }
  const std::uint64_t last = load_word(p + len - 8);
  if constexpr (std::endian::native == std::endian::little) return last >> (8 * (8 - rest));
  return last & ((std::uint64_t{1} << (8 * rest)) - 1);
}

}  // namespace detail

// SipHash-1-3 of len bytes at data: a keyed pseudo-random function.
inline std::uint64_t sip_hash(const SipKey &key, const void *data, std::size_t len) noexcept {
  detail::SipState s{key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du,
                     key.k0 ^ 0x6c7967656e657261u, key.k1 ^ 0x7465646279746573u};
  const auto *p = static_cast<const unsigned char *>(data);
  const std::size_t whole = len - len % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(detail::load_word(p + i));
  s.absorb(detail::tail_word(p, len) | (static_cast<std::uint64_t>(len) << 56));
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// The 32-bit hash of an identity under a store's key. Up to kShortId bytes:
// k0 + k1 m1 + k2 m2 + ... modulo 2^64, where m1 holds the kind and the
// length and m2, m3, ... are the identifier's 32-bit words, mixed. Over
// random keys the sums' high halves are strongly universal: any two
// different identities get equal ones with probability 2^-32, so a response
// written without the key cannot make identities collide more often than
// chance.
// Its products are independent of each other, so it costs a few cycles
// where SipHash's rounds run one after another. Longer identifiers take
// SipHash, under a key made for the kind.
[[gnu::always_inline]] inline std::uint32_t identity_hash(const HashKey &key, int kind,
                                                       std::string_view item_id) noexcept {
  const std::size_t len = item_id.size();
  const auto *p = reinterpret_cast<const unsigned char *>(item_id.data());
  if (len > kShortId) {
    const SipKey kind_key{key.sip.k0 + static_cast<std::uint64_t>(kind), key.sip.k1};
    return static_cast<std::uint32_t>(sip_hash(kind_key, p, len));
  }
  const std::uint64_t *k = key.words;
  std::uint64_t h = k[0] + k[1] * ((static_cast<std::uint64_t>(kind) << 8) | len);
  const auto add_word_pair = [&](std::size_t at, std::uint64_t m) noexcept {
    h += k[2 + at / 4] * (m & 0xffffffffu) + k[3 + at / 4] * (m >> 32);
  };
  std::size_t at = 0;
  for (; at + 8 <= len; at += 8) add_word_pair(at, detail::load_word(p + at));
  if (at < len) add_word_pair(at, detail::tail_word(p, len));
  // The sums of identifiers that differ in one word alone are an arithmetic
  // progression, which linear probing would pile up; a bijective mix spreads
  // them. Identities whose sums differ still get equal hashes with
  // probability about 2^-32.
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93u;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h >> 32);
}

// A fresh key for one store: derived from a process key drawn once from the
// system's random source, and a counter, so no two stores share a key.
HashKey draw_store_key() noexcept;

// A process key from the clocks and the address-space layout, for systems
// whose random source is unavailable.
SipKey fallback_process_key() noexcept;

}  // namespace orvel
