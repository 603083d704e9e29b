// The range rule of JSON numbers, shared by the exact check and the indexed
// one: a magnitude that rounds to infinity as a double is out of range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::documents::json_number {

// Decimal exponent of the leading digit of the smallest magnitude that rounds
// to infinity: a number whose leading digit is of a lower order is in range.
inline constexpr std::int64_t kOverflowOrder = 308;
// Exponents are accumulated with saturation; any magnitude beyond this decides
// the outcome on its own, whatever the digits.
inline constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

// Whether the magnitude int.frac * 10^exponent stays below the overflow
// threshold, the digits being p[int_begin, int_end) and p[frac_begin,
// frac_end). Integers beyond 64 bits and tiny values are fine: they become
// doubles (tiny ones zero); only a magnitude that rounds to infinity is not.
bool in_range(const unsigned char* p, std::size_t int_begin, std::size_t int_end,
              std::size_t frac_begin, std::size_t frac_end, std::int64_t exponent);

}  // namespace velmora::documents::json_number
