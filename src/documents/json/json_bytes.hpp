// Byte classes of the JSON check: the tables its main loop and scanners index,
// and the word-at-a-time forms of its scans (8 bytes in a 64-bit word).
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

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit of each byte of `word` that is zero. Only the lowest flag is
// exact (a borrow can flag bytes above a zero byte), which is all the
// scanners use.
constexpr std::uint64_t zero_bytes(std::uint64_t word) { return (word - kOnes) & ~word & kHighs; }

// High bit of each byte that is not an ASCII digit; exact for every byte.
constexpr std::uint64_t non_digit_bytes(std::uint64_t word) {
  const std::uint64_t offset = word ^ (kOnes * '0');  // digits become 0..9
  return ((((offset & ~kHighs) + kOnes * 0x76) | offset) & kHighs);
}

// High bit of the first byte that ends a run of plain string bytes ('"',
// '\\' or a control character), or 0 when there is none in the word. As with
// zero_bytes, only the lowest flag is exact.
constexpr std::uint64_t string_stop_bytes(std::uint64_t word) {
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;  // below 0x20
  return control | zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\'));
}

}  // namespace velmora::documents::json_bytes
