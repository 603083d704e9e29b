// UTF-8 validation. ASCII is scanned 16 bytes at a time (a run's end is found
// with one compare, long runs go 64 bytes a step); each multi-byte sequence is
// checked byte by byte against the well-formed ranges of Unicode table 3-7.
#include "text/utf8.hpp"

#include <bit>
#include <cstdint>

#include "text/bits.hpp"

namespace velmora::text {
namespace {

using text::any_non_ascii64;
using text::non_ascii_mask16;

inline bool continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

inline bool in_range(unsigned char byte, unsigned char low, unsigned char high) noexcept {
  return byte >= low && byte <= high;
}

// Past the ASCII bytes from p on: 16 at a time where a whole block is left,
// long runs 64 a step, the last few one by one.
VELMORA_ALWAYS_INLINE const unsigned char* skip_ascii(const unsigned char* p,
                                                      const unsigned char* end) noexcept {
  while (end - p >= 16) {
    const unsigned mask = non_ascii_mask16(p);
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
    while (end - p >= 64 && !any_non_ascii64(p)) p += 64;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

// The length of the well-formed sequence led by p[0] (C2..DF, E0..EF or
// F0..F4 respectively) of which `left` bytes are in the text, or 0.
VELMORA_ALWAYS_INLINE std::size_t two_byte_sequence(const unsigned char* p,
                                                    std::size_t left) noexcept {
  return left >= 2 && continuation(p[1]) ? 2 : 0;
}

VELMORA_ALWAYS_INLINE std::size_t three_byte_sequence(const unsigned char* p,
                                                      std::size_t left) noexcept {
  // E0 excludes overlongs (second byte A0..BF), ED excludes surrogates (80..9F).
  const unsigned char low = p[0] == 0xE0 ? 0xA0 : 0x80;
  const unsigned char high = p[0] == 0xED ? 0x9F : 0xBF;
  return left >= 3 && in_range(p[1], low, high) && continuation(p[2]) ? 3 : 0;
}

VELMORA_ALWAYS_INLINE std::size_t four_byte_sequence(const unsigned char* p,
                                                     std::size_t left) noexcept {
  // F0 excludes overlongs (90..BF), F4 stops at U+10FFFF (80..8F).
  const unsigned char low = p[0] == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = p[0] == 0xF4 ? 0x8F : 0xBF;
  return left >= 4 && in_range(p[1], low, high) && continuation(p[2]) && continuation(p[3]) ? 4 : 0;
}

// The length of the well-formed multi-byte sequence at p, or 0 for a lead
// byte that starts none: 80..C1 (a stray continuation byte or an overlong
// lead) and F5..FF.
VELMORA_ALWAYS_INLINE std::size_t multibyte_sequence(const unsigned char* p,
                                                     std::size_t left) noexcept {
  const unsigned char lead = p[0];
  if (in_range(lead, 0xC2, 0xDF)) return two_byte_sequence(p, left);
  if (in_range(lead, 0xE0, 0xEF)) return three_byte_sequence(p, left);
  if (in_range(lead, 0xF0, 0xF4)) return four_byte_sequence(p, left);
  return 0;
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view text) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = begin + text.size();
  const unsigned char* p = begin;
  for (;;) {
    p = skip_ascii(p, end);
    if (p == end) break;
    const std::size_t length = multibyte_sequence(p, static_cast<std::size_t>(end - p));
    if (length == 0) break;
    p += length;
  }
  return static_cast<std::size_t>(p - begin);
}

std::size_t utf8_complete_prefix(std::string_view piece) noexcept {
  const std::size_t n = piece.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(piece[n - back]);
    if (continuation(b)) continue;  // look further back for the lead
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return length > back ? n - back : n;
  }
  return n;
}

bool is_valid_utf8(std::string_view text) noexcept {
  return valid_utf8_prefix(text) == text.size();
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace velmora::text
