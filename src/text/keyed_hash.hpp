// The hash function of the document checks' tables (the YAML check's anchor
// names, mapping keys and tags). It lives here alone so that every table
// changes with it.
//
// The hash is keyed with a per-process random key, so that keys chosen to
// collide cannot be computed offline; the tables also bound their probe work,
// so that colliding keys stay cheap even if the key were known.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/bits.hpp"

namespace velmora::text {

inline constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

// Finaliser: every input bit affects every output bit.
inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

struct HashKey {
  std::uint64_t k1, k2, k3, k4;
};

// A key derived from `seed` (tests use fixed seeds).
inline HashKey hash_key_from(std::uint64_t seed) {
  HashKey k{};
  k.k1 = mix(seed ^ 0xA0761D6478BD642Full) | 1;
  k.k2 = mix(k.k1 ^ 0xE7037ED1A0B428DBull) | 1;
  k.k3 = mix(k.k2 ^ 0x8EBC6AF09C88C6E3ull);
  k.k4 = mix(k.k3 ^ 0x589965CC75374CC3ull);
  return k;
}

// A fresh random seed (operating system entropy, address and clock).
std::uint64_t random_hash_seed();

namespace detail {
inline HashKey g_hash_key = hash_key_from(random_hash_seed());
}  // namespace detail

// The process's key: random, drawn once when the library is loaded.
inline const HashKey& hash_key() { return detail::g_hash_key; }
// Replaces the process's key; for tests, before any check runs.
inline void set_hash_key(const HashKey& key) { detail::g_hash_key = key; }

// Keyed multiply-fold hash over 16-byte blocks; the tail reads overlap the last block.
inline std::uint64_t hash_bytes(std::string_view s) {
  const HashKey& key = hash_key();
  const std::uint64_t k1 = key.k1, k2 = key.k2;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::uint64_t h = key.k3 ^ n;
  std::uint64_t a = 0, b = 0;
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 16 < n; i += 16) h = fold_multiply(load8(p + i) ^ k1, load8(p + i + 8) ^ h);
    a = load8(p + (n - i > 8 ? i : n - 8));
    b = load8(p + n - 8);
  } else if (n >= 4) {
    std::uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else if (n > 0) {
    a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
        (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
        static_cast<unsigned char>(p[n - 1]);
  }
  return fold_multiply(k1 ^ n, fold_multiply(a ^ k1, b ^ h ^ k2));
}

// Keyed hash of a 64-bit value (numbers among mapping keys).
inline std::uint64_t hash_word(std::uint64_t x) {
  const HashKey& key = hash_key();
  return fold_multiply(x ^ key.k4, key.k2) ^ mix(x + key.k3);
}

}  // namespace velmora::text
