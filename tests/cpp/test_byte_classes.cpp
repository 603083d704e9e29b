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
#include "text/token_index.hpp"

namespace {

namespace json = velmora::documents::json_bytes;
namespace text = velmora::text;

bool whitespace(unsigned c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool string_stop(unsigned c) { return c < 0x20 || c == '"' || c == '\\'; }
bool digit(unsigned c) { return c >= '0' && c <= '9'; }
bool non_ascii(unsigned c) { return c >= 0x80; }
bool point(unsigned c) { return c == '.'; }

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
      {"byte_mask16 '.'", [](const unsigned char* p) { return text::byte_mask16(p, '.'); }, point},
      {"portable::byte_mask16 '.'",
       [](const unsigned char* p) { return text::portable::byte_mask16(p, '.'); }, point},
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

// The structural index as its definition says, a byte at a time.
struct Index {
  std::vector<std::uint32_t> tokens, escapes;
  bool control_in_string = false, ends_in_string = false;
  friend bool operator==(const Index&, const Index&) = default;
};

Index index_model(const std::vector<unsigned char>& text) {
  Index out;
  bool in_string = false, escaped = false, after_scalar = false;
  for (std::uint32_t i = 0; i < text.size(); ++i) {
    const unsigned char c = text[i];
    const bool is_escaped = escaped;
    escaped = c == '\\' && !is_escaped;  // a backslash escapes, in strings or not
    const bool toggle = c == '"' && !is_escaped;
    if (toggle) in_string = !in_string;
    // Inside: from an opening quote up to the byte before the closing one.
    const bool inside = in_string;
    out.control_in_string |= inside && c < 0x20;
    if (inside && c == '\\' && !is_escaped) out.escapes.push_back(i);
    const bool structural =
        std::string_view("{}[]:,").find(static_cast<char>(c)) != std::string_view::npos;
    const bool scalar = !structural && !whitespace(c) && c != '"' && !inside;
    if ((structural && !inside) || (toggle && inside) || (scalar && !after_scalar))
      out.tokens.push_back(i);
    after_scalar = scalar;
  }
  out.ends_in_string = in_string;
  return out;
}

// Each indexer against the model, the text given in one call and again one
// block a call (the scan carried between them).
TEST(TokenIndex, EveryIndexerMatchesTheModel) {
  std::vector<std::vector<unsigned char>> texts;
  // Every byte at every position of a block, among bytes of each kind.
  for (const unsigned char filler : {'a', ' ', '"', '\\', ',', '\n'}) {
    for (unsigned c = 0; c < 256; ++c) {
      for (std::size_t at = 0; at < 64; at += 9) {
        texts.push_back(block(filler, static_cast<unsigned char>(c), at, 128));
      }
    }
  }
  // Runs of the bytes that carry from one block to the next: a string,
  // backslashes and a scalar each cross a block's end, ending at each place.
  for (std::size_t end = 56; end < 72; ++end) {
    for (const char* run :
         {"\"\\\\\\\"", "\"abc\\\\\\", "x\\\\\\\\\"", "12345", "\"\\u00e9\\\"\"x"}) {
      std::vector<unsigned char> text(192, ' ');
      const std::string_view r(run);
      std::copy(r.begin(), r.end(), text.begin() + static_cast<std::ptrdiff_t>(end - r.size() / 2));
      texts.push_back(text);
    }
  }
  // Pseudo-random texts over the bytes that matter.
  const std::string_view alphabet("\"\\{}[]:, \t\n\rax0-e.\x01\x1f\x7f\x80\xff");
  std::uint32_t seed = 12345;
  for (int n = 0; n < 200; ++n) {
    std::vector<unsigned char> text(64 * (1 + n % 6));
    for (auto& byte : text) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<unsigned char>(alphabet[(seed >> 16) % alphabet.size()]);
    }
    texts.push_back(text);
  }
  for (const auto& text : texts) {
    // block() leads with a byte of padding; the index starts at a block.
    const std::size_t blocks = text.size() / 64;
    const Index expected = index_model({text.begin(), text.begin() + blocks * 64});
    const auto indexers = text::block_indexers();
    for (std::size_t k = 0; k < indexers.size(); ++k) {
      const text::IndexBlocks index = indexers[k];
      for (const std::size_t step : {blocks, std::size_t{1}}) {
        Index got;
        std::vector<std::uint32_t> tokens(text.size() + text::kTokenListSlack);
        std::vector<std::uint32_t> escapes(text.size());
        text::TokenScan scan;
        text::TokenLists lists{tokens.data(), escapes.data()};
        for (std::size_t b = 0; b < blocks; b += step)
          lists = index(text.data() + 64 * b, 64 * b, step, scan, lists);
        got.tokens.assign(tokens.data(), lists.tokens);
        got.escapes.assign(escapes.data(), lists.escapes);
        got.control_in_string = scan.control_in_string != 0;
        got.ends_in_string = scan.in_string != 0;
        ASSERT_TRUE(got == expected) << "indexer " << k << ", step " << step << ": "
                                     << std::string(text.begin(), text.end());
      }
    }
  }
}

}  // namespace
