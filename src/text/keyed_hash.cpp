#include "text/keyed_hash.hpp"

#include <chrono>
#include <random>

namespace velmora::text {

std::uint64_t random_hash_seed() {
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {  // no entropy source: address and clock alone
  }
  // Also the address of a local (randomised by the loader) and the clock, in
  // case the entropy source is deterministic.
  int local = 0;
  seed ^= mix(reinterpret_cast<std::uintptr_t>(&local));
  seed ^= mix(static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  return seed;
}

}  // namespace velmora::text
