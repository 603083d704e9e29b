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
// Up to kScan entries are scanned; beyond, open addressing at most half full,
// a slot holding the hash's high half and the number, so that most misses
// look at nothing else. A number whose first kMaxProbes slots are taken goes
// to an ordered overflow by full hash, for good, and its first slot is marked:
// keys chosen to collide cost a logarithm each even under a known key, and
// other lookups that meet an empty slot look no further.
class HashIndex {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  std::uint32_t size() const { return static_cast<std::uint32_t>(hashes_.size()); }
  std::uint64_t hash_of(std::uint32_t number) const { return hashes_[number]; }

  // The number of hash `hash` for which is(number) holds, or kNotFound; each
  // entry looked at counts in `probes` (in test builds).
  template <typename Is>
  std::uint32_t find(std::uint64_t hash, Is is, std::uint64_t& probes) const {
    if (slots_.empty()) {
      for (std::uint32_t n = 0; n < size(); ++n) {
        count(probes);
        if (hashes_[n] == hash && is(n)) return n;
      }
      return kNotFound;
    }
    const auto high = static_cast<std::uint32_t>(hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = hash & mask;
    for (std::size_t i = 0; i < kMaxProbes; ++i, p = (p + 1) & mask) {
      count(probes);
      const Slot s = slots_[p];
      if (s.number == kNotFound) {
        if (overflow_.empty() || !marked(hash & mask)) return kNotFound;
        break;
      }
      if (s.high == high && hashes_[s.number] == hash && is(s.number)) return s.number;
    }
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
    if (!slots_.empty() && hashes_.size() * 2 <= slots_.size()) {
      place(size() - 1);
    } else if (hashes_.size() > kScan) {
      grow();
    }
    return kNotFound;
  }

  // Fetches the slot where a lookup of `hash` starts.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) text::prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // Empties the index; large storage goes with it, so that emptying costs
  // the same after a large table as after a small one.
  void clear() {
    hashes_.clear();
    overflow_.clear();
    overflowed_.clear();
    if (slots_.size() > kKeptSlots) slots_ = {};
    slots_.clear();
  }

 private:
  static constexpr std::size_t kScan = 8;
  static constexpr std::size_t kMaxProbes = 16;
  static constexpr std::size_t kKeptSlots = 4096;
  struct Slot {
    std::uint32_t high;    // the hash's high half
    std::uint32_t number;  // kNotFound for none
  };

  // Puts `number` (in no slot yet) in its first free slot or the overflow.
  void place(std::uint32_t number) {
    const std::uint64_t hash = hashes_[number];
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = hash & mask;
    for (std::size_t i = 0; i < kMaxProbes; ++i, p = (p + 1) & mask) {
      if (slots_[p].number == kNotFound) {
        slots_[p] = {static_cast<std::uint32_t>(hash >> 32), number};
        return;
      }
    }
    overflow_.emplace(hash, number);
    mark(hash & mask);
  }
  // Doubles the slots and places every number again but those in the overflow.
  void grow() {
    slots_.assign(std::max<std::size_t>(32, slots_.size() * 2), Slot{0, kNotFound});
    std::vector<std::uint64_t> kept((size() + 63) / 64, 0);  // by number: in the overflow
    overflowed_.assign(overflow_.empty() ? 0 : (slots_.size() + 63) / 64, 0);
    for (const auto& [hash, number] : overflow_) {
      kept[number / 64] |= std::uint64_t{1} << (number % 64);
      mark(hash & (slots_.size() - 1));
    }
    for (std::uint32_t n = 0; n < size(); ++n) {
      if (!((kept[n / 64] >> (n % 64)) & 1)) place(n);
    }
  }
  // Marks by first slot: a number of it is in the overflow.
  bool marked(std::size_t slot) const { return (overflowed_[slot / 64] >> (slot % 64)) & 1; }
  void mark(std::size_t slot) {
    if (overflowed_.empty()) overflowed_.assign((slots_.size() + 63) / 64, 0);
    overflowed_[slot / 64] |= std::uint64_t{1} << (slot % 64);
  }

  std::vector<std::uint64_t> hashes_;                     // by number
  std::vector<Slot> slots_;                               // a power of two, at most half full
  std::multimap<std::uint64_t, std::uint32_t> overflow_;  // full hash -> number
  std::vector<std::uint64_t> overflowed_;                 // a bit by first slot, see mark()
};

}  // namespace velmora::documents::yaml
