// Bit, byte and wide-arithmetic helpers: the one home of compiler intrinsics
// and target-specific instructions. Every helper has a portable or MSVC branch,
// so the layers above are plain standard C++.
#pragma once

// SSE2: GCC and Clang say so with __SSE2__, MSVC has it on every x64 target.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VELMORA_SSE2 1
#endif

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

#ifdef VELMORA_SSE2
// The 16 bytes at p as one SSE2 register (no alignment required).
inline __m128i load16(const unsigned char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// --- counts --------------------------------------------------------------------

// The number of set bits of x. std::popcount is a library call on targets
// without a population-count instruction (x86-64 before SSE4.2); this takes
// a dozen register operations there.
constexpr unsigned popcount64(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || defined(__ARM_NEON) || defined(__aarch64__)
  return static_cast<unsigned>(std::popcount(x));
#else
  x -= (x >> 1) & 0x5555555555555555ULL;
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
#endif
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
// Each helper reads the 16 (or 64) bytes at p, which must all be readable, and
// returns a mask with bit i set when byte i is of the class. The SIMD branch is
// taken where SSE2 is; the portable namespace holds the byte-at-a-time forms,
// used elsewhere (and by callers that want a path without SIMD).

// True when the block helpers below run on SIMD registers.
#ifdef VELMORA_SSE2
inline constexpr bool kSimdBlocks = true;
#else
inline constexpr bool kSimdBlocks = false;
#endif

namespace portable {

template <typename Predicate>
inline unsigned block_mask16(const unsigned char* p, Predicate in_class) noexcept {
  unsigned mask = 0;
  for (unsigned i = 0; i < 16; ++i) mask |= static_cast<unsigned>(in_class(p[i])) << i;
  return mask;
}

inline unsigned whitespace_mask16(const unsigned char* p) noexcept {
  return block_mask16(
      p, [](unsigned char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; });
}

inline unsigned string_stop_mask16(const unsigned char* p) noexcept {
  return block_mask16(p, [](unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; });
}

inline unsigned non_ascii_mask16(const unsigned char* p) noexcept {
  return block_mask16(p, [](unsigned char c) { return c >= 0x80; });
}

inline unsigned digit_mask16(const unsigned char* p) noexcept {
  return block_mask16(p, [](unsigned char c) { return c >= '0' && c <= '9'; });
}

inline unsigned byte_mask16(const unsigned char* p, unsigned char byte) noexcept {
  return block_mask16(p, [byte](unsigned char c) { return c == byte; });
}

inline bool any_non_ascii64(const unsigned char* p) noexcept {
  std::uint64_t all = 0;
  for (std::size_t i = 0; i < 64; i += 8) all |= load8(p + i);
  return (all & 0x8080808080808080ULL) != 0;
}

}  // namespace portable

// Space, line feed, tab or carriage return.
inline unsigned whitespace_mask16(const unsigned char* p) noexcept {
#ifdef VELMORA_SSE2
  const __m128i block = load16(p);
  const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(' ')),
                                                  _mm_cmpeq_epi8(block, _mm_set1_epi8('\n'))),
                                     _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\t')),
                                                  _mm_cmpeq_epi8(block, _mm_set1_epi8('\r'))));
  return static_cast<unsigned>(_mm_movemask_epi8(blank));
#else
  return portable::whitespace_mask16(p);
#endif
}

// '"', '\\' or a control character (below 0x20): what ends a run of plain
// bytes in a JSON string.
inline unsigned string_stop_mask16(const unsigned char* p) noexcept {
#ifdef VELMORA_SSE2
  const __m128i block = load16(p);
  // Unsigned byte <= 0x1F: the minimum with 0x1F leaves it unchanged.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, _mm_set1_epi8(0x1F)), block);
  const __m128i stop =
      _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')),
                                         _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'))));
  return static_cast<unsigned>(_mm_movemask_epi8(stop));
#else
  return portable::string_stop_mask16(p);
#endif
}

// Bytes 0x80..0xFF: not ASCII.
inline unsigned non_ascii_mask16(const unsigned char* p) noexcept {
#ifdef VELMORA_SSE2
  return static_cast<unsigned>(_mm_movemask_epi8(load16(p)));
#else
  return portable::non_ascii_mask16(p);
#endif
}

// True when any of the 64 bytes at p is not ASCII.
inline bool any_non_ascii64(const unsigned char* p) noexcept {
#ifdef VELMORA_SSE2
  const __m128i any = _mm_or_si128(_mm_or_si128(load16(p), load16(p + 16)),
                                   _mm_or_si128(load16(p + 32), load16(p + 48)));
  return _mm_movemask_epi8(any) != 0;
#else
  return portable::any_non_ascii64(p);
#endif
}

// ASCII digits '0' to '9'.
inline unsigned digit_mask16(const unsigned char* p) noexcept {
#ifdef VELMORA_SSE2
  // A digit less '0' is an unsigned byte <= 9: the minimum with 9 leaves it unchanged.
  const __m128i offset = _mm_sub_epi8(load16(p), _mm_set1_epi8('0'));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset)));
#else
  return portable::digit_mask16(p);
#endif
}

// The bytes equal to `byte`.
inline unsigned byte_mask16(const unsigned char* p, unsigned char byte) noexcept {
#ifdef VELMORA_SSE2
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(load16(p), _mm_set1_epi8(static_cast<char>(byte)))));
#else
  return portable::byte_mask16(p, byte);
#endif
}

// --- 64-byte blocks -------------------------------------------------------------
// The 64 bytes at p (all readable) as one mask of a 16-byte helper above: a
// scan then finds the end of a run within them with a shift and a count of
// trailing zeros, instead of a load and compare at every step.
template <unsigned (*kMask16)(const unsigned char*) noexcept>
inline std::uint64_t mask64(const unsigned char* p) noexcept {
  return std::uint64_t{kMask16(p)} | std::uint64_t{kMask16(p + 16)} << 16 |
         std::uint64_t{kMask16(p + 32)} << 32 | std::uint64_t{kMask16(p + 48)} << 48;
}

// --- hints ---------------------------------------------------------------------

}  // namespace velmora::text
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>  // _mm_prefetch
#elif defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>  // __prefetch
#endif
namespace velmora::text {

// Asks for the cache line at p ahead of a read; no effect on results. The
// empty volatile asm keeps GCC from judging a function that only prefetches
// free of effects and dropping its calls.
inline void prefetch(const void* p) noexcept {
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_ARM64)
  __prefetch(p);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
  __asm__ volatile("" : : "r"(p));
#else
  (void)p;
#endif
}

}  // namespace velmora::text

// --- control flow --------------------------------------------------------------

// Forces inlining of a small hot function into its caller (the JSON scanners
// keep the read position in a register that way).
#if defined(__GNUC__) || defined(__clang__)
#define VELMORA_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define VELMORA_ALWAYS_INLINE __forceinline
#else
#define VELMORA_ALWAYS_INLINE inline
#endif

#if defined(_WIN32) && defined(_MSC_VER)
#include <intrin.h>
#endif

namespace velmora::text {

// Marks a point that control never reaches.
[[noreturn]] inline void unreachable() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  __assume(0);
#else
  __builtin_unreachable();
#endif
}

#if defined(_WIN32)
// Windows' fail-fast service: ends the process at once, without handlers or
// cleanup, reporting `code`. Returns only where the system lacks the service.
inline void windows_fast_fail(unsigned code) noexcept {
#if defined(_MSC_VER)
  __fastfail(code);
#else
  // The service is interrupt 0x29 with the code in ECX.
  asm volatile("int $0x29" : : "c"(code) : "memory");
#endif
}
#endif

}  // namespace velmora::text
