#include "text/quoted_text.hpp"

#include <cstdint>

#include "text/unicode_escape_table.hpp"

namespace velmora::text {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the UTF-8 sequence at `text[i]`; `length` is set to its size. A
// malformed or truncated sequence gives U+FFFD with length 1.
char32_t decode(std::string_view text, std::size_t i, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  const std::size_t left = text.size() - i;
  char32_t cp = 0xFFFD;
  length = 1;
  if (lead < 0x80) {
    cp = lead;
  } else if (lead >= 0xC2 && lead < 0xE0 && left >= 2) {
    cp = (char32_t(lead & 0x1F) << 6) | (byte(1) & 0x3F);
    length = 2;
  } else if (lead >= 0xE0 && lead < 0xF0 && left >= 3) {
    cp = (char32_t(lead & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    length = 3;
  } else if (lead >= 0xF0 && lead < 0xF5 && left >= 4) {
    cp = (char32_t(lead & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) |
         (char32_t(byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    length = 4;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (!is_continuation(byte(k))) {
      length = 1;
      return 0xFFFD;
    }
  }
  return cp;
}

void append_code_point_form(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  auto value = static_cast<std::uint32_t>(cp);
  do {
    digits[count++] = kHex[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

}  // namespace

void append_quoted_text(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {  // printable ASCII: the common case
      if (c == '"' || c == '\\') out += '\\';
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t length = 1;
    const char32_t cp = decode(text, i, length);
    switch (cp) {
      case U'\0':
        out += "\\0";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      default:
        if (cp < 0x80 || needs_code_point_escape(cp)) {
          append_code_point_form(out, cp);  // ASCII controls and DEL
        } else if (cp == 0xFFFD && length == 1) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(text.substr(i, length));
        }
    }
    i += length;
  }
  out += '"';
}

}  // namespace velmora::text
