// Scalar resolution and the text renderings used by the YAML document check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/keyed_hash.hpp"

namespace velmora::documents::yaml {

// Kind of a resolved scalar. Non-negative integers are UInt, negative ones NegInt.
enum class ValueKind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Failure };

// How the tag of a scalar event affects its resolution.
enum class TagClass : std::uint8_t { None, Local, Bool, Int, Float, Null, OtherGlobal };

// `bits` holds the bool (0/1), the uint64, the int64 or the double's bit pattern.
struct Resolved {
  ValueKind kind;
  std::uint64_t bits;
};

// Classifies the tag text libyaml reports (nullptr when the event has none).
TagClass classify_tag(const char* tag);

// Whether a scalar without a tag of the core schema (untagged or locally
// tagged) can fail to resolve: only a plain one that starts like an integer.
inline bool untagged_may_fail(std::string_view value, bool plain) {
  if (!plain || value.empty()) return false;
  const char c = value.front();
  return (c >= '0' && c <= '9') || c == '+' || c == '-';
}

// Whether an untagged scalar resolves to a string, told from its style and
// first character alone (false: resolve it to know).
inline bool untagged_is_string(std::string_view value, bool plain) {
  if (!plain) return true;
  if (value.empty()) return false;
  // Digits, '+', '-', '.', '~' and the first letters of nulls and booleans.
  constexpr std::uint64_t kLow = (0x3FFull << '0') | (1ull << '+') | (1ull << '-') | (1ull << '.');
  constexpr std::uint64_t kHigh =
      (1ull << ('F' - 64)) | (1ull << ('N' - 64)) | (1ull << ('T' - 64)) | (1ull << ('f' - 64)) |
      (1ull << ('n' - 64)) | (1ull << ('t' - 64)) | (1ull << ('~' - 64));
  const auto c = static_cast<unsigned char>(value.front());
  if (c < 64) return ((kLow >> c) & 1) == 0;
  if (c < 128) return ((kHigh >> (c - 64)) & 1) == 0;
  return true;
}

// Resolves a scalar by its tag and style. On ValueKind::Failure the building
// failure's message is stored in `failure` (which is otherwise left alone).
// With `need_value` false only the failure matters: other untagged plain
// scalars may then come back as String whatever they would resolve to.
Resolved resolve_scalar(std::string_view value, bool plain, TagClass tag, std::string& failure,
                        bool need_value = true);

// Hash seeds that keep kinds of node apart: a scalar's is 0x1000 times its
// ValueKind plus one (0x6000 for strings); collections and tags follow.
inline constexpr std::uint64_t kSeedString = 0x6000;
inline constexpr std::uint64_t kSeedSeq = 0x7000, kSeedMap = 0x8000, kSeedTag = 0x9000;

// The hash of an untagged scalar resolved to `kind` (not String) and `bits`,
// consistent with its equality: every NaN alike, -0.0 as 0.0.
std::uint64_t value_hash(ValueKind kind, std::uint64_t bits);
// The hash of an untagged string scalar of text `s`.
inline std::uint64_t string_hash(std::string_view s) { return kSeedString ^ text::hash_bytes(s); }

// Appends a double: ".nan", ".inf", "-.inf", or the shortest text that reads
// back as the same value ("1.0", "0.001", "1e100", "1.5e-7").
void append_double(std::string& out, double value);

}  // namespace velmora::documents::yaml
