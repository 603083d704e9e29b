// Byte classes of the JSON check: the tables its main loop and scanners index.
#pragma once

#include <array>
#include <cstdint>

namespace velmora::documents::json_bytes {

enum CharClass : std::uint8_t {
  kWhitespace = 1,  // space, tab, line feed, carriage return
  kStringStop = 2,  // '"', '\\' or a control character: ends a run of plain string bytes
};

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = kStringStop;
  table['"'] = kStringStop;
  table['\\'] = kStringStop;
  table[' '] = kWhitespace;
  table['\t'] |= kWhitespace;
  table['\n'] |= kWhitespace;
  table['\r'] |= kWhitespace;
  return table;
}
inline constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

// What a value starting with a given byte is: the main loop branches on this
// small dense code (one indirect jump) rather than on the byte itself.
enum ValueKind : std::uint8_t { kNoValue, kNumber, kString, kArray, kObject, kTrue, kFalse, kNull };

constexpr std::array<std::uint8_t, 256> make_value_kinds() {
  std::array<std::uint8_t, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = kNumber;
  table['-'] = kNumber;
  table['"'] = kString;
  table['['] = kArray;
  table['{'] = kObject;
  table['t'] = kTrue;
  table['f'] = kFalse;
  table['n'] = kNull;
  return table;
}
inline constexpr std::array<std::uint8_t, 256> kValueKinds = make_value_kinds();

// The value of a hexadecimal digit, or -1.
constexpr int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether `c` after a backslash makes a whole escape (a "u" needs four hex digits).
constexpr bool is_short_escape(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return true;
    default:
      return false;
  }
}

}  // namespace velmora::documents::json_bytes
