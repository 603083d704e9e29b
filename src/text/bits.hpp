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

// --- wide arithmetic -----------------------------------------------------------

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

// --- hints ---------------------------------------------------------------------

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
