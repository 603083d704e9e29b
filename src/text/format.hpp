// Small text helpers shared by every layer: decimal digits and the NUL test.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::text {

// Appends `value` in decimal: no sign, no leading zeros, no separators.
inline void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

inline std::string decimal(std::uint64_t value) {
  std::string out;
  append_decimal(out, value);
  return out;
}

// True when `text` holds a NUL character (which no C string can carry).
inline bool has_nul(std::string_view text) noexcept {
  return text.find('\0') != std::string_view::npos;
}

}  // namespace velmora::text
