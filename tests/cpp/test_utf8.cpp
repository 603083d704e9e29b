// UTF-8 validation against an independent reference decoder: every 1-, 2- and
// 3-byte sequence, every 4-byte sequence with a 4-byte lead, and placement at
// every offset around the 16- and 64-byte fast paths.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text/utf8.hpp"

namespace {

using velmora::text::is_valid_utf8;
using velmora::text::utf8_complete_prefix;
using velmora::text::valid_utf8_prefix;

// Reference: decode by bit pattern, then judge the code point (minimum per
// length, surrogates, maximum). Returns the offset of the first invalid byte.
std::size_t reference_prefix(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t cp;
    std::uint32_t minimum;
    if ((lead & 0x80) == 0) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
      return i;
    }
    if (i + length > text.size()) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return i;
    i += length;
  }
  return text.size();
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(Utf8Validation, NamedCases) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t prefix;
  };
  const std::vector<Case> cases = {
      {"empty", "", 0},
      {"ascii", "{\"a\": 1}", 8},
      {"nul is valid", std::string("a\0b", 3), 3},
      {"two-byte min", bytes({0xC2, 0x80}), 2},
      {"overlong two-byte", bytes({0xC0, 0x80}), 0},
      {"overlong C1", bytes({0x41, 0xC1, 0xBF}), 1},
      {"overlong three-byte", bytes({0xE0, 0x80, 0x80}), 0},
      {"three-byte min", bytes({0xE0, 0xA0, 0x80}), 3},
      {"last before surrogates", bytes({0xED, 0x9F, 0xBF}), 3},
      {"surrogate D800", bytes({0xED, 0xA0, 0x80}), 0},
      {"surrogate DFFF", bytes({0xED, 0xBF, 0xBF}), 0},
      {"BOM", bytes({0xEF, 0xBB, 0xBF}), 3},
      {"overlong four-byte", bytes({0xF0, 0x8F, 0xBF, 0xBF}), 0},
      {"four-byte min", bytes({0xF0, 0x90, 0x80, 0x80}), 4},
      {"max code point", bytes({0xF4, 0x8F, 0xBF, 0xBF}), 4},
      {"above max", bytes({0xF4, 0x90, 0x80, 0x80}), 0},
      {"F5 lead", bytes({0xF5, 0x80, 0x80, 0x80}), 0},
      {"FF", bytes({0x61, 0xFF}), 1},
      {"stray continuation", bytes({0x80}), 0},
      {"truncated two", bytes({0x61, 0xC3}), 1},
      {"truncated three", bytes({0xE2, 0x82}), 0},
      {"truncated four", bytes({0xF0, 0x9F, 0x98}), 0},
      {"ascii inside sequence", bytes({0xE2, 0x41, 0xAC}), 0},
      {"valid then invalid", bytes({0xE2, 0x82, 0xAC, 0xED, 0xA0, 0x80}), 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(valid_utf8_prefix(c.text), c.prefix) << c.name;
    EXPECT_EQ(is_valid_utf8(c.text), c.prefix == c.text.size()) << c.name;
  }
}

TEST(Utf8Validation, EveryShortSequenceMatchesReference) {
  std::string text;
  for (int length = 1; length <= 3; ++length) {
    const std::uint32_t count = 1u << (8 * length);
    text.resize(static_cast<std::size_t>(length));
    for (std::uint32_t n = 0; n < count; ++n) {
      for (int k = 0; k < length; ++k) text[k] = static_cast<char>((n >> (8 * k)) & 0xFF);
      ASSERT_EQ(valid_utf8_prefix(text), reference_prefix(text))
          << "length " << length << " n " << n;
    }
  }
}

TEST(Utf8Validation, EveryFourByteSequenceWithFourByteLeadMatchesReference) {
  std::string text(4, '\0');
  for (int lead = 0xF0; lead <= 0xF7; ++lead) {
    text[0] = static_cast<char>(lead);
    for (std::uint32_t n = 0; n < (1u << 24); ++n) {
      text[1] = static_cast<char>(n & 0xFF);
      text[2] = static_cast<char>((n >> 8) & 0xFF);
      text[3] = static_cast<char>(n >> 16);
      ASSERT_EQ(valid_utf8_prefix(text), reference_prefix(text)) << "lead " << lead << " n " << n;
    }
  }
}

// Each two-byte pattern (and a set of longer ones) at every offset of a
// 150-byte ASCII text: exercises the entry to and exit from the fast paths
// and sequences cut by the end of the text.
TEST(Utf8Validation, EveryOffsetAroundFastPaths) {
  std::vector<std::string> pieces;
  for (int n = 0; n < 0x10000; n += 7) pieces.push_back(bytes({n & 0xFF, n >> 8}));
  for (const auto& p :
       {bytes({0xE2, 0x82, 0xAC}), bytes({0xED, 0xA0, 0x80}), bytes({0xF0, 0x9F, 0x98, 0x80}),
        bytes({0xF4, 0x90, 0x80, 0x80}), bytes({0x80}), bytes({0xFF})}) {
    pieces.push_back(p);
  }
  for (const std::string& piece : pieces) {
    for (std::size_t offset = 0; offset <= 150; ++offset) {
      const std::string head(offset, 'a');
      // The piece inside ASCII text, then the piece cut at the end of the text.
      const std::string inside = head + piece + std::string(150 - offset, 'a');
      ASSERT_EQ(valid_utf8_prefix(inside), reference_prefix(inside)) << "offset " << offset;
      const std::string cut = head + piece.substr(0, piece.size() - 1);
      ASSERT_EQ(valid_utf8_prefix(cut), reference_prefix(cut)) << "offset " << offset;
    }
  }
}

TEST(Utf8Validation, LongMixedTextWithOneFault) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += (i % 3 == 0) ? "\xC3\xA9t\xC3\xA9 " : "plain ascii text ";
  text += "\xF0\x9F\x98\x80";
  EXPECT_TRUE(is_valid_utf8(text));
  for (std::size_t at :
       {std::size_t{0}, std::size_t{63}, std::size_t{64}, text.size() / 2, text.size() - 1}) {
    std::string broken = text;
    broken[at] = static_cast<char>(0xFF);
    EXPECT_EQ(valid_utf8_prefix(broken), reference_prefix(broken)) << at;
    EXPECT_FALSE(is_valid_utf8(broken)) << at;
  }
}

// A text cut anywhere, the bytes held back by utf8_complete_prefix put in
// front of the rest, is valid exactly when both pieces are: random texts over
// bytes of every kind (leads, continuations, bounds of the ranges).
TEST(Utf8Validation, PiecesCutAtTheCompletePrefixAgreeWithTheWhole) {
  const unsigned char alphabet[] = {0x41, 0x80, 0x8F, 0x90, 0xA0, 0xBF, 0xC1, 0xC2,
                                    0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::uint64_t state = 1;
  for (int n = 0; n < 200'000; ++n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::string text(1 + (state >> 61), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char>(alphabet[(state >> (4 * i + 8)) % sizeof alphabet]);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      const std::string_view piece = std::string_view(text).substr(0, cut);
      const std::size_t kept = utf8_complete_prefix(piece);
      ASSERT_LE(kept, cut);
      ASSERT_GE(kept + 3, cut);
      const bool pieces = is_valid_utf8(piece.substr(0, kept)) &&
                          is_valid_utf8(std::string_view(text).substr(kept));
      ASSERT_EQ(pieces, is_valid_utf8(text)) << n << " cut " << cut;
    }
  }
}

}  // namespace
