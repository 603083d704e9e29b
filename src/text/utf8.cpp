// UTF-8 validation. ASCII is scanned 16 bytes at a time (a run's end is found
// with one compare, long runs go 64 bytes a step); each multi-byte sequence is
// checked byte by byte against the well-formed ranges of Unicode table 3-7.
#include "text/utf8.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VELMORA_UTF8_SSE2 1
#endif

namespace velmora::launcher {
namespace {

// Bit i set when byte i of the 16 at p is not ASCII.
inline unsigned high_bits16(const unsigned char* p) noexcept {
#ifdef VELMORA_UTF8_SSE2
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) mask |= static_cast<unsigned>(p[i] >> 7) << i;
  return mask;
#endif
}

// True when any of the 64 bytes at p is not ASCII.
inline bool any_high64(const unsigned char* p) noexcept {
#ifdef VELMORA_UTF8_SSE2
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0;
#else
  std::uint64_t words[8];
  std::memcpy(words, p, sizeof words);
  std::uint64_t all = 0;
  for (std::uint64_t word : words) all |= word;
  return (all & 0x8080808080808080ULL) != 0;
#endif
}

inline bool continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

std::size_t valid_utf8_prefix(std::string_view text) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = begin + text.size();
  const unsigned char* p = begin;
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      if (end - p < 16) {
        ++p;
        continue;
      }
      const unsigned mask = high_bits16(p);
      if (mask != 0) {
        p += std::countr_zero(mask);
        continue;
      }
      p += 16;
      while (end - p >= 64 && !any_high64(p)) p += 64;
      continue;
    }
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (left < 2 || !continuation(p[1])) break;
      p += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // E0 excludes overlongs (second byte A0..BF), ED excludes surrogates (80..9F).
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      if (left < 3 || p[1] < low || p[1] > high || !continuation(p[2])) break;
      p += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // F0 excludes overlongs (90..BF), F4 stops at U+10FFFF (80..8F).
      const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
      if (left < 4 || p[1] < low || p[1] > high || !continuation(p[2]) || !continuation(p[3]))
        break;
      p += 4;
    } else {
      break;  // 80..C1 (stray continuation byte or overlong lead), F5..FF
    }
  }
  return static_cast<std::size_t>(p - begin);
}

bool is_valid_utf8(std::string_view text) noexcept {
  return valid_utf8_prefix(text) == text.size();
}

}  // namespace velmora::launcher
