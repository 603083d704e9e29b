// Bit, byte and wide-arithmetic helpers: the one home of compiler intrinsics
// and target-specific instructions. Every helper has a portable or MSVC branch,
// so the layers above are plain standard C++.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velmora::text {

// --- loads -------------------------------------------------------------------

// The 8 bytes at p as a native-endian word (no alignment required).
inline std::uint64_t load8(const void* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// --- wide arithmetic -----------------------------------------------------------

// --- 16-byte blocks ------------------------------------------------------------

// --- hints ---------------------------------------------------------------------

}  // namespace velmora::text
