// The hash function of the YAML check's tables (anchor names, mapping keys).
// It lives here alone so that every table changes with it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/bits.hpp"

namespace velmora::documents::yaml {

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

// Multiply-fold hash over 16-byte blocks; the tail reads overlap the last block.
inline std::uint64_t hash_bytes(std::string_view s) {
  using text::fold_multiply;
  using text::load8;
  constexpr std::uint64_t k1 = 0xA0761D6478BD642Full, k2 = 0xE7037ED1A0B428DBull,
                          k3 = 0x8EBC6AF09C88C6E3ull;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::uint64_t h = k3 ^ n;
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

}  // namespace velmora::documents::yaml
