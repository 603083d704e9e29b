// libFuzzer target for the UTF-8 validation of configuration texts.
//
// The validator scans ASCII in 16- and 64-byte blocks and checks each
// multi-byte sequence against byte ranges. Here a plain decoder, written the
// other way round (assemble the code point, then reject overlong forms,
// surrogates and values above U+10FFFF), gives the reference answer:
//  - valid_utf8_prefix must equal the length of the longest well-formed prefix
//    that ends on a character boundary;
//  - is_valid_utf8 must agree with the prefix covering the whole text.
// Each input is also checked at every offset of its first 80 bytes, so that
// the block scans meet sequences at every alignment.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "text/utf8.hpp"

namespace {

// Length of the well-formed prefix of `text`, decoding one character at a time.
std::size_t reference_prefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t code_point;
    std::uint32_t smallest;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code_point = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code_point = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code_point = lead & 0x07, smallest = 0x10000;
    } else {
      return i;  // a continuation byte or F8..FF where a character should start
    }
    if (text.size() - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < smallest) return i;                         // overlong
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return i;  // surrogate
    if (code_point > 0x10FFFF) return i;                         // beyond Unicode
    i += length;
  }
  return i;
}

[[noreturn]] void fault(const char* what, std::string_view text, std::size_t offset,
                        std::size_t got, std::size_t expected) {
  std::fprintf(stderr, "%s at offset %zu: got %zu, expected %zu; input (%zu bytes):", what, offset,
               got, expected, text.size());
  for (const char c : text.substr(0, 256))
    std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\n");
  std::abort();
}

void check(std::string_view whole, std::size_t offset) {
  const std::string_view text = whole.substr(offset);
  const std::size_t expected = reference_prefix(text);
  const std::size_t got = velmora::text::valid_utf8_prefix(text);
  if (got != expected) fault("valid_utf8_prefix disagrees", whole, offset, got, expected);
  const bool valid = velmora::text::is_valid_utf8(text);
  if (valid != (expected == text.size())) {
    fault("is_valid_utf8 disagrees", whole, offset, valid, expected == text.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t offsets = size < 80 ? size : 80;
  for (std::size_t offset = 0; offset <= offsets; ++offset) check(text, offset);
  return 0;
}
