// The one index of the YAML check's tables (anchor names, mapping keys).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

// The numbers 0, 1, 2, ... of a caller's entries, in order of adding, by
// their keyed hashes; the caller says whether an entry is the one looked for.
// Open addressing at most half full, a slot holding 31 high bits of the hash
// and the number, so that most misses look at nothing else. A number whose
// first kMaxProbes slots are taken goes to an ordered overflow by full hash,
// for good, and its first slot (full or empty) is marked: keys chosen to
// collide cost a logarithm each even under a known key, and other lookups
// that meet an empty slot look no further.
class HashIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  std::uint32_t size() const { return static_cast<std::uint32_t>(hashes_.size()); }

  // The number of hash `hash` for which is(number) holds, or kNotFound; each
  // entry looked at counts in `probes` (in test builds).
  template <typename Is>
  std::uint32_t find(std::uint64_t hash, Is is, std::uint64_t& probes) const {
    if (slots_.empty()) return kNotFound;
    const std::uint32_t high = high_of(hash);
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = hash & mask;
    const bool marked = (slots_[p].high & kMark) != 0;
    for (std::size_t i = 0; i < kMaxProbes; ++i, p = (p + 1) & mask) {
      count(probes);
      const Slot s = slots_[p];
      if (s.number == kNotFound) break;
      if ((s.high & ~kMark) == high && hashes_[s.number] == hash && is(s.number)) return s.number;
    }
    if (!marked) return kNotFound;  // not in the overflow either
    for (auto [it, end] = overflow_.equal_range(hash); it != end; ++it) {
      count(probes);
      if (is(it->second)) return it->second;
    }
    return kNotFound;
  }

  // find(), or kNotFound after adding the next number with hash `hash`.
  template <typename Is>
  std::uint32_t find_or_add(std::uint64_t hash, Is is, std::uint64_t& probes) {
    const std::uint32_t found = find(hash, is, probes);
    if (found != kNotFound) return found;
    if (hashes_.size() >= kNotFound - 1) throw std::bad_alloc();  // numbers are 32 bits
    hashes_.push_back(hash);
    if (hashes_.size() * 2 > slots_.size()) {
      grow();
    } else {
      place(size() - 1);
    }
    return kNotFound;
  }

  // Empties the index; large storage goes with it, so that emptying costs
  // the same after a large table as after a small one.
  void clear() {
    hashes_.clear();
    overflow_.clear();
    if (slots_.size() > kKeptSlots) slots_ = {};
    slots_.clear();
  }

 private:
  static constexpr std::size_t kMaxProbes = 16;
  static constexpr std::size_t kKeptSlots = 4096;
  static constexpr std::uint32_t kMark = 1;  // in Slot::high: see place()
  struct Slot {
    std::uint32_t high;    // high_of() the hash, | kMark
    std::uint32_t number;  // kNotFound for none
  };
  static std::uint32_t high_of(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash >> 32) & ~kMark;
  }

  // Puts `number` (in no slot yet) in its first free slot or the overflow.
  void place(std::uint32_t number) {
    const std::uint64_t hash = hashes_[number];
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = hash & mask;
    for (std::size_t i = 0; i < kMaxProbes; ++i, p = (p + 1) & mask) {
      if (slots_[p].number == kNotFound) {
        slots_[p] = {high_of(hash) | (slots_[p].high & kMark), number};
        return;
      }
    }
    overflow_.emplace(hash, number);
    slots_[hash & mask].high |= kMark;
  }
  // Doubles the slots and places every number again but those in the
  // overflow, whose first slots are marked again.
  void grow() {
    slots_.assign(std::max<std::size_t>(32, slots_.size() * 2), Slot{0, kNotFound});
    const std::size_t mask = slots_.size() - 1;
    std::vector<std::uint64_t> kept((size() + 63) / 64, 0);  // by number: in the overflow
    for (const auto& [hash, number] : overflow_) {
      kept[number / 64] |= std::uint64_t{1} << (number % 64);
      slots_[hash & mask].high |= kMark;
    }
    constexpr std::uint32_t kAhead = 8;  // slots fetched ahead of placing
    for (std::uint32_t n = 0; n < size(); ++n) {
      if (n + kAhead < size()) text::prefetch(&slots_[hashes_[n + kAhead] & mask]);
      if (!((kept[n / 64] >> (n % 64)) & 1)) place(n);
    }
  }

  std::vector<std::uint64_t> hashes_;                     // by number
  std::vector<Slot> slots_;                               // a power of two, at most half full
  std::multimap<std::uint64_t, std::uint32_t> overflow_;  // full hash -> number
};

}  // namespace velmora::documents::yaml
