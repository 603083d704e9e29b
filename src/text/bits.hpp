// Bit, byte and wide-arithmetic helpers: the one home of compiler intrinsics
// and target-specific instructions. Every helper has a portable or MSVC branch,
// so the layers above are plain standard C++.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velmora::text {

// --- loads -------------------------------------------------------------------

// The 8 bytes at p as a native-endian word (no alignment required).
inline std::uint64_t load8(const void* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// --- wide arithmetic -----------------------------------------------------------

}  // namespace velmora::text
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>  // _umul128, __umulh
#endif
namespace velmora::text {

// mul_wide in plain 64-bit arithmetic (32-bit halves), for targets without
// a wide multiply.
constexpr std::uint64_t mul_wide_portable(std::uint64_t a, std::uint64_t b,
                                          std::uint64_t& hi) noexcept {
  const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
  return (mid << 32) | (p00 & 0xFFFFFFFFu);
}

// The full 128-bit product of a and b: the low half returned, the high half in `hi`.
inline std::uint64_t mul_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& hi) noexcept {
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
  return _umul128(a, b, &hi);
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_ARM64)
  hi = __umulh(a, b);
  return a * b;
#elif defined(__SIZEOF_INT128__)
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(a) * b;
  hi = static_cast<std::uint64_t>(p >> 64);
  return static_cast<std::uint64_t>(p);
#else
  return mul_wide_portable(a, b, hi);
#endif
}

// 64x64 -> 128-bit multiply folded to 64 bits: low half XOR high half.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t hi;
  const std::uint64_t lo = mul_wide(a, b, hi);
  return lo ^ hi;
}

// a + b + carry (carry 0 or 1); `carry` becomes the carry out.
inline std::uint64_t add_with_carry(std::uint64_t a, std::uint64_t b, unsigned& carry) noexcept {
  const std::uint64_t s = a + b;
  const std::uint64_t r = s + carry;
  carry = static_cast<unsigned>((s < a) | (r < s));
  return r;
}

// Unsigned 128-bit integer, portable: what integer readings beyond 64 bits need.
struct UInt128 {
  std::uint64_t hi = 0;
  std::uint64_t lo = 0;

  static constexpr UInt128 max() noexcept { return {~std::uint64_t{0}, ~std::uint64_t{0}}; }
  friend constexpr bool operator==(UInt128, UInt128) noexcept = default;
  friend constexpr bool operator<(UInt128 a, UInt128 b) noexcept {
    return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
  }
  friend constexpr bool operator>(UInt128 a, UInt128 b) noexcept { return b < a; }
  constexpr UInt128 half() const noexcept { return {hi >> 1, (lo >> 1) | (hi << 63)}; }
  constexpr UInt128 plus_one() const noexcept { return {hi + (lo == ~std::uint64_t{0}), lo + 1}; }
};

// v * m + a; false when the result does not fit in 128 bits.
inline bool mul_add_checked(UInt128 v, std::uint64_t m, std::uint64_t a, UInt128& out) noexcept {
  std::uint64_t lo_hi, hi_hi;
  const std::uint64_t lo = mul_wide(v.lo, m, lo_hi);
  const std::uint64_t hi = mul_wide(v.hi, m, hi_hi);
  unsigned carry = 0;
  const std::uint64_t top = add_with_carry(hi, lo_hi, carry);
  if (hi_hi != 0 || carry != 0) return false;
  carry = 0;
  out.lo = add_with_carry(lo, a, carry);
  unsigned carry_hi = carry;
  out.hi = add_with_carry(top, 0, carry_hi);
  return carry_hi == 0;
}

// Divides v by d (d < 2^32) in place; returns the remainder.
inline std::uint32_t divide_small(UInt128& v, std::uint32_t d) noexcept {
  const std::uint32_t limbs[4] = {
      static_cast<std::uint32_t>(v.hi >> 32), static_cast<std::uint32_t>(v.hi),
      static_cast<std::uint32_t>(v.lo >> 32), static_cast<std::uint32_t>(v.lo)};
  std::uint64_t rem = 0;
  std::uint64_t q[4];
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t cur = (rem << 32) | limbs[i];
    q[i] = cur / d;
    rem = cur % d;
  }
  v.hi = (q[0] << 32) | q[1];
  v.lo = (q[2] << 32) | q[3];
  return static_cast<std::uint32_t>(rem);
}

// --- 16-byte blocks ------------------------------------------------------------

// --- hints ---------------------------------------------------------------------

}  // namespace velmora::text
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>  // _mm_prefetch
#elif defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>  // __prefetch
#endif
namespace velmora::text {

// Asks for the cache line at p ahead of a read; no effect on results.
inline void prefetch(const void* p) noexcept {
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_ARM64)
  __prefetch(p);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace velmora::text
