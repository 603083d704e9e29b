// The scanners' byte classes against plain predicates, for all 256 byte values:
// the JSON check's tables and the 16- and 64-byte block helpers (SIMD and
// portable) at every position of a block, each on backgrounds of bytes inside
// and outside the class.

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "documents/json/json_bytes.hpp"
#include "text/bits.hpp"

namespace {

namespace json = velmora::documents::json_bytes;
namespace text = velmora::text;

bool whitespace(unsigned c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool string_stop(unsigned c) { return c < 0x20 || c == '"' || c == '\\'; }
bool digit(unsigned c) { return c >= '0' && c <= '9'; }
bool non_ascii(unsigned c) { return c >= 0x80; }

json::ValueKind value_kind(unsigned c) {
  if ((c >= '0' && c <= '9') || c == '-') return json::kNumber;
  const std::string_view starts = "\"[{tfn";
  const json::ValueKind kinds[] = {json::kString, json::kArray, json::kObject,
                                   json::kTrue,   json::kFalse, json::kNull};
  const std::size_t at = starts.find(static_cast<char>(c));
  return at == std::string_view::npos ? json::kNoValue : kinds[at];
}

// Backgrounds: digits, letters, the edges of the control range, quote and
// backslash, and bytes with the high bit set.
constexpr unsigned char kFillers[] = {'0', '9', 'a', ' ', 0x1F, 0x00, '"', '\\', 0x7F, 0x80, 0xFF};

// `size` filler bytes with `byte` at `at`, after one byte of padding so that
// the helpers read unaligned memory.
std::vector<unsigned char> block(unsigned char filler, unsigned char byte, std::size_t at,
                                 std::size_t size) {
  std::vector<unsigned char> out(size + 1, filler);
  out[1 + at] = byte;
  return out;
}

TEST(ByteClassTables, MatchPredicates) {
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_EQ((json::kClasses[c] & json::kWhitespace) != 0, whitespace(c)) << c;
    EXPECT_EQ((json::kClasses[c] & json::kStringStop) != 0, string_stop(c)) << c;
    EXPECT_EQ(json::kValueKinds[c], value_kind(c)) << c;
  }
}

TEST(ByteClassBlocks, EveryByteAtEveryPosition) {
  struct Helper {
    const char* name;
    unsigned (*mask)(const unsigned char*);
    bool (*in_class)(unsigned);
  };
  const Helper helpers[] = {
      {"whitespace_mask16", text::whitespace_mask16, whitespace},
      {"portable::whitespace_mask16", text::portable::whitespace_mask16, whitespace},
      {"string_stop_mask16", text::string_stop_mask16, string_stop},
      {"portable::string_stop_mask16", text::portable::string_stop_mask16, string_stop},
      {"non_ascii_mask16", text::non_ascii_mask16, non_ascii},
      {"portable::non_ascii_mask16", text::portable::non_ascii_mask16, non_ascii},
      {"digit_mask16", text::digit_mask16, digit},
      {"portable::digit_mask16", text::portable::digit_mask16, digit},
  };
  for (const Helper& h : helpers) {
    for (const unsigned char filler : kFillers) {
      for (unsigned c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 16; ++at) {
          const auto bytes = block(filler, static_cast<unsigned char>(c), at, 16);
          unsigned expected = 0;
          for (unsigned i = 0; i < 16; ++i) expected |= unsigned{h.in_class(bytes[1 + i])} << i;
          ASSERT_EQ(h.mask(bytes.data() + 1), expected)
              << h.name << ": byte " << c << " at " << at << " among " << unsigned{filler};
        }
      }
    }
  }
}

// mask64 puts each 16-byte mask at its place in the 64 bits.
TEST(ByteClassBlocks, Mask64) {
  for (std::size_t at = 0; at < 64; ++at) {
    const auto bytes = block('x', '7', at, 64);
    EXPECT_EQ(text::mask64<text::digit_mask16>(bytes.data() + 1), std::uint64_t{1} << at) << at;
  }
}

TEST(ByteClassBlocks, AnyNonAscii64) {
  for (const auto any : {text::any_non_ascii64, text::portable::any_non_ascii64}) {
    for (const unsigned char filler : kFillers) {
      for (unsigned c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 64; ++at) {
          const auto bytes = block(filler, static_cast<unsigned char>(c), at, 64);
          ASSERT_EQ(any(bytes.data() + 1), non_ascii(c) || non_ascii(filler))
              << "byte " << c << " at " << at << " among " << unsigned{filler};
        }
      }
    }
  }
}

}  // namespace
