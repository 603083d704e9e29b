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
      const unsigned mask = non_ascii_mask16(p);
      if (mask != 0) {
        p += std::countr_zero(mask);
        continue;
      }
      p += 16;
      while (end - p >= 64 && !any_non_ascii64(p)) p += 64;
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
