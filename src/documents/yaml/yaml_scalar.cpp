// Scalar resolution (null, bool, integers, floats, strings; the four acting
// global tags) and the renderings of strings and doubles in error texts.
#include "documents/yaml/yaml_scalar.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "text/bits.hpp"
#include "text/quoted_text.hpp"

namespace velmora::documents::yaml {
namespace {

using u128 = text::UInt128;

constexpr std::string_view kTagPrefix = "tag:yaml.org,2002:";

bool starts_with_sign(std::string_view s) {
  return !s.empty() && (s.front() == '+' || s.front() == '-');
}

// After one leading sign, longer than one character, a leading "0" and ASCII
// digits only: such a value is neither an integer nor an untagged float.
bool digits_with_leading_zero(std::string_view s) {
  if (starts_with_sign(s)) s.remove_prefix(1);
  if (s.size() <= 1 || s.front() != '0') return false;
  return std::all_of(s.begin() + 1, s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Digits only (no sign), at least one, value at most `limit`.
std::optional<u128> parse_magnitude(std::string_view digits, unsigned radix, u128 limit) {
  if (digits.empty()) return std::nullopt;
  u128 value;
  for (char c : digits) {
    const int d = digit_value(c);
    if (d >= static_cast<int>(radix)) return std::nullopt;
    u128 next;
    if (!text::mul_add_checked(value, radix, static_cast<std::uint64_t>(d), next) || next > limit) {
      return std::nullopt;
    }
    value = next;
  }
  return value;
}

struct Prefix {
  std::string_view text;
  unsigned radix;
};
constexpr Prefix kPrefixes[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};

struct Signed {
  bool negative;
  u128 magnitude;
};

// Reading of an integer: one optional sign, then decimal digits without a
// leading zero, or a radix prefix and digits; magnitudes up to `limit` when
// positive, `negative` when negative.
std::optional<Signed> read_integer(std::string_view s, u128 limit, u128 negative) {
  std::string_view u = s;
  if (!u.empty() && u.front() == '+') {
    u.remove_prefix(1);
    if (starts_with_sign(u)) return std::nullopt;
  }
  const bool minus = s.size() >= 3 && s.front() == '-';
  for (const Prefix& p : kPrefixes) {
    for (const bool neg : {false, true}) {
      if (neg && !minus) continue;
      if ((neg ? s.substr(1, 2) : u.substr(0, 2)) != p.text) continue;
      const std::string_view rest = neg ? s.substr(3) : u.substr(2);
      if (starts_with_sign(rest)) continue;  // a second sign
      if (auto v = parse_magnitude(rest, p.radix, neg ? negative : limit)) return Signed{neg, *v};
    }
  }
  if (digits_with_leading_zero(s)) return std::nullopt;
  if (!u.empty() && u.front() == '-') {
    if (auto v = parse_magnitude(u.substr(1), 10, negative)) return Signed{true, *v};
    return std::nullopt;
  }
  if (auto v = parse_magnitude(u, 10, limit)) return Signed{false, *v};
  return std::nullopt;
}

std::string decimal(bool negative, u128 magnitude) {
  char buf[48];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + text::divide_small(magnitude, 10));
  } while (magnitude != u128{});
  if (negative) *--p = '-';
  return std::string(p, buf + sizeof buf);
}

// The integer reading of `s`: a value within 64 bits, a failure (message in
// `failure`) within 128, or nothing when `s` is not an integer.
std::optional<Resolved> integer_reading(std::string_view s, std::string& failure) {
  constexpr u128 kU64Max{0, std::numeric_limits<std::uint64_t>::max()};
  constexpr u128 kI64Max{0, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())};
  constexpr u128 kU128Max = u128::max();
  constexpr u128 kI128Max = kU128Max.half();
  if (auto v = read_integer(s, kU64Max, kI64Max.plus_one())) {
    if (!v->negative || v->magnitude == u128{}) return Resolved{ValueKind::UInt, v->magnitude.lo};
    return Resolved{ValueKind::NegInt, 0 - v->magnitude.lo};  // the two's complement
  }
  if (auto v = read_integer(s, kU128Max, kI128Max.plus_one())) {
    const bool negative = v->negative && v->magnitude != u128{};
    failure = "invalid type: integer `" + decimal(negative, v->magnitude) + "` as " +
              (negative ? "i128" : "u128") + ", expected any YAML value";
    return Resolved{ValueKind::Failure, 0};
  }
  return std::nullopt;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of the run of digits from `i`.
std::size_t skip_digits(std::string_view s, std::size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

// An exponent at `i`, if any: "e" or "E", an optional sign, at least one digit
// (its magnitude capped at about 10^9, far beyond any double's). False when
// malformed; `i` then ends the exponent.
bool scan_exponent(std::string_view s, std::size_t& i, long long& exponent) {
  if (i >= s.size() || (s[i] != 'e' && s[i] != 'E')) return true;
  const bool negative = ++i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t start = i;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
  }
  if (negative) exponent = -exponent;
  return i != start;
}

// Decimal number syntax: optional "-", digits with an optional "." (at least
// one digit), optional exponent with at least one digit. Sets whether the
// value's magnitude is at least one (for telling overflow from underflow).
bool decimal_float_syntax(std::string_view s, bool& large) {
  const std::size_t int_start = !s.empty() && s.front() == '-' ? 1 : 0;
  const std::size_t int_end = skip_digits(s, int_start);
  const bool dot = int_end < s.size() && s[int_end] == '.';
  const std::size_t mantissa_end = dot ? skip_digits(s, int_end + 1) : int_end;
  if (mantissa_end - int_start == std::size_t{dot}) return false;  // no digit
  std::size_t i = mantissa_end;
  long long exponent = 0;
  if (!scan_exponent(s, i, exponent) || i != s.size()) return false;
  large = false;
  if (const std::size_t first = s.find_first_not_of("0.", int_start); first < mantissa_end) {
    // The decimal exponent of the first significant digit, plus one.
    const long long lead = static_cast<long long>(int_end) - static_cast<long long>(first);
    large = lead + (first > int_end ? 1 : 0) + exponent > 0;
  }
  return true;
}

// The float forms; the result is empty when the value is not a float.
std::optional<double> parse_float(std::string_view s) {
  std::string_view u = s;
  if (!u.empty() && u.front() == '+') {
    u.remove_prefix(1);
    if (starts_with_sign(u)) return std::nullopt;
  }
  if (u == ".inf" || u == ".Inf" || u == ".INF") return std::numeric_limits<double>::infinity();
  if (s == "-.inf" || s == "-.Inf" || s == "-.INF") return -std::numeric_limits<double>::infinity();
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
  bool large = false;
  if (!decimal_float_syntax(u, large)) return std::nullopt;
  double value = 0;
  const auto [ptr, ec] =
      std::from_chars(u.data(), u.data() + u.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    if (large) return std::nullopt;  // overflow to infinity
    return u.front() == '-' ? -0.0 : 0.0;
  }
  if (ec != std::errc() || ptr != u.data() + u.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<bool> parse_bool(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

bool parse_null(std::string_view s) {
  return s == "~" || s == "null" || s == "Null" || s == "NULL";
}

Resolved float_value(double d) { return {ValueKind::Float, std::bit_cast<std::uint64_t>(d)}; }

Resolved invalid_value(std::string_view value, const char* expected, std::string& failure) {
  failure = "invalid value: string ";
  text::append_quoted_text(failure, value);
  failure += ", expected ";
  failure += expected;
  return {ValueKind::Failure, 0};
}

// A plain scalar that starts with neither a digit, a sign nor ".": a null,
// a boolean or a string.
Resolved resolve_word(std::string_view s) {
  const char c = s.front();
  if ((c == '~' || c == 'n' || c == 'N') && parse_null(s)) return {ValueKind::Null, 0};
  if (c == 't' || c == 'T' || c == 'f' || c == 'F') {
    if (auto b = parse_bool(s)) return {ValueKind::Bool, *b ? 1u : 0u};
  }
  return {ValueKind::String, 0};
}

// The common integer, an optional sign and 1 to 18 decimal digits (which
// cannot overflow); empty for any other text.
std::optional<Resolved> short_decimal(std::string_view s) {
  const std::size_t first = starts_with_sign(s) ? 1 : 0;
  const std::size_t digits = s.size() - first;
  if (digits < 1 || digits > 18) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = first; i < s.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
    if (d > 9) return std::nullopt;
    v = v * 10 + d;
  }
  if (digits > 1 && s[first] == '0') return Resolved{ValueKind::String, 0};  // leading zero
  if (s.front() == '-' && v != 0) return Resolved{ValueKind::NegInt, 0 - v};
  return Resolved{ValueKind::UInt, v};
}

// A plain scalar that starts with a digit, a sign or ".": an integer, a float
// or a string.
Resolved resolve_number(std::string_view s, std::string& failure, bool need_value) {
  if (auto r = short_decimal(s)) return *r;
  // No integer form contains a ".".
  if (s.find('.') == std::string_view::npos) {
    if (auto reading = integer_reading(s, failure)) return *reading;
  }
  // Floats cannot fail.
  if (!need_value || digits_with_leading_zero(s)) return {ValueKind::String, 0};
  if (auto d = parse_float(s)) return float_value(*d);
  return {ValueKind::String, 0};
}

Resolved resolve_untagged_plain(std::string_view s, std::string& failure, bool need_value) {
  // No pre-filter here: the resolution stands alone, so that the pre-filters
  // can be tested against it.
  if (s.empty()) return {ValueKind::Null, 0};
  const char c = s.front();
  const bool numeric_start = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  if (!need_value && (c == '.' || !numeric_start)) return {ValueKind::String, 0};  // cannot fail
  return numeric_start ? resolve_number(s, failure, need_value) : resolve_word(s);
}

}  // namespace

TagClass classify_tag(const char* tag) {
  if (tag == nullptr) return TagClass::None;
  if (tag[0] == '!') return TagClass::Local;
  const std::string_view t(tag);
  if (t.substr(0, kTagPrefix.size()) != kTagPrefix) return TagClass::OtherGlobal;
  const std::string_view name = t.substr(kTagPrefix.size());
  if (name == "bool") return TagClass::Bool;
  if (name == "int") return TagClass::Int;
  if (name == "float") return TagClass::Float;
  if (name == "null") return TagClass::Null;
  return TagClass::OtherGlobal;
}

Resolved resolve_scalar(std::string_view value, bool plain, TagClass tag, std::string& failure,
                        bool need_value) {
  switch (tag) {
    case TagClass::Bool:
      if (auto b = parse_bool(value)) return {ValueKind::Bool, *b ? 1u : 0u};
      return invalid_value(value, "a boolean", failure);
    case TagClass::Int: {
      if (auto reading = integer_reading(value, failure)) return *reading;
      return invalid_value(value, "an integer", failure);
    }
    case TagClass::Float:
      if (auto d = parse_float(value)) return float_value(*d);
      return invalid_value(value, "a float", failure);
    case TagClass::Null:
      if (parse_null(value)) return {ValueKind::Null, 0};
      return invalid_value(value, "null", failure);
    case TagClass::OtherGlobal:
      return {ValueKind::String, 0};
    case TagClass::None:
    case TagClass::Local:
      break;
  }
  if (!plain) return {ValueKind::String, 0};
  return resolve_untagged_plain(value, failure, need_value);
}

std::uint64_t value_hash(ValueKind kind, std::uint64_t bits) {
  const std::uint64_t seed = 0x1000 * (static_cast<std::uint64_t>(kind) + 1);
  switch (kind) {
    case ValueKind::Null:
      return text::mix(seed);
    case ValueKind::Bool:
      return text::mix(seed + bits);
    case ValueKind::Float: {
      const double d = std::bit_cast<double>(bits);
      if (d != d) return text::mix(seed + 1);  // every NaN alike
      return text::mix(seed ^ text::hash_word(d == 0 ? 0 : bits));
    }
    default:  // UInt, NegInt
      return text::mix(seed ^ text::hash_word(bits));
  }
}

void append_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out += ".nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-.inf" : ".inf";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits and exponent, laid out below: plain notation for
  // decimal exponents from -5 to 15, otherwise "d.ddde±x" without a "+".
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp10 = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exp10);
  const int length = static_cast<int>(digits.size());
  const int kk = exp10 + 1;  // position of the decimal point
  const int k = kk - length;
  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<size_t>(kk - length), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, 0, static_cast<size_t>(kk));
    out += '.';
    out.append(digits, static_cast<size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
}

}  // namespace velmora::documents::yaml
