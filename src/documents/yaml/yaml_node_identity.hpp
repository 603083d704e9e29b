// Node identity: hashing consistent with node equality, equality itself, and
// the table of the keys of one open mapping. Nodes are entries of the event
// log; aliases stand for their targets.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

// Seeds that keep the hashes of different kinds of node apart.
enum Seed : std::uint64_t {
  kSeedNull = 0x1000,
  kSeedBool = 0x2000,
  kSeedUInt = 0x3000,
  kSeedNegInt = 0x4000,
  kSeedFloat = 0x5000,
  kSeedString = 0x6000,
  kSeedSeq = 0x7000,
  kSeedMap = 0x8000,
  kSeedTag = 0x9000,
};

class NodeIdentity {
 public:
  NodeIdentity(const EventLog& log, CheckStats& stats) : log_(log), stats_(stats) {}

  // Equal nodes hash equally. Anchored nodes are hashed once.
  std::uint64_t hash(std::uint32_t node);
  // Same kind, same tag, same value; mappings regardless of entry order,
  // NaN equal to NaN, -0.0 equal to 0.0, 1 equal to 0x1 but not to 1.0.
  bool equal(std::uint32_t a, std::uint32_t b);
  // hash() of an untagged string scalar, without the call.
  std::uint64_t string_hash(const Event& e) const {
    return kSeedString ^ log_.string_hash(e.payload);
  }

  CheckStats& stats() { return stats_; }

 private:
  bool equal_mappings(std::uint32_t a, std::uint32_t b);

  struct CachedHash {
    std::uint64_t hash = 0;
    bool valid = false;
  };

  const EventLog& log_;
  CheckStats& stats_;
  std::vector<CachedHash> collection_hashes_;                       // by expansion id
  std::unordered_map<std::uint32_t, std::uint64_t> scalar_hashes_;  // anchored scalars
  std::unordered_set<std::uint64_t> equal_pairs_;  // anchored collections known equal
};

// Keys of one open mapping: a scan while few, then open addressing with
// linear probing, at most 70% full. A slot holds the key's entry and the upper
// half of its hash, whose top bits give its home slot (so growing needs no
// hash again). Probing is bounded: a key whose first kMaxProbes slots are
// taken goes to an ordered overflow by its full hash, so keys that collide in
// the table's bits cost a logarithm each, not a walk over the others. Slots
// fill up only, and growing tries the overflow's keys again, so the first
// kMaxProbes slots of a key in the overflow are always taken: a lookup that
// meets an empty slot before need not look there.
class KeyTable {
 public:
  // Empties the table, keeping its storage unless it grew large.
  void reset() {
    small_count_ = 0;
    if (indexed_) {
      count_ = 0;
      overflow_.clear();
      if (slots_.size() > kKeepSlots) {
        slots_ = {};
      }
      indexed_ = false;
    }
  }
  // The earlier key equal to `node` (whose hash is `hash`), or kNone after
  // adding `node`.
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t node, NodeIdentity& identity) {
    if (!indexed_) return find_or_insert_small(hash, node, identity);
    const std::uint64_t tag = hash >> 32;
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = static_cast<std::size_t>(tag >> shift_);
    for (std::size_t probes = 0;; ++probes, p = (p + 1) & mask) {
      const std::uint64_t slot = slots_[p];
      if (slot == 0) {  // not in the overflow either: see grow()
        slots_[p] = (tag << 32) | (std::uint64_t{node} + 1);
        if (++count_ * 10 > slots_.size() * 7) grow(identity);
        return kNone;
      }
      count(identity.stats().key_probes);
      if ((slot >> 32) == tag) {
        const auto k = static_cast<std::uint32_t>(slot) - 1;
        if (identity.equal(k, node)) return k;
      }
      if (probes == kMaxProbes) return find_or_insert_overflow(hash, node, identity);
    }
  }
  bool indexed() const { return indexed_; }
  // Fetches the slot where a key of hash `hash` is looked up (indexed tables).
  void prefetch(std::uint64_t hash) const {
    text::prefetch(slots_.data() + ((hash >> 32) >> shift_));
  }
  // Calls f(node) for every key.
  template <class F>
  void for_each_key(F&& f) const {
    if (!indexed_) {
      for (std::size_t i = 0; i < small_count_; ++i) f(small_[i].second);
      return;
    }
    for (const std::uint64_t s : slots_) {
      if (s != 0) f(static_cast<std::uint32_t>(s) - 1);
    }
    for (const auto& [h, k] : overflow_) f(k);
  }

 private:
  static constexpr std::size_t kSmall = 8;
  static constexpr std::size_t kMaxProbes = 32;
  static constexpr std::size_t kKeepSlots = 1 << 12;
  std::uint32_t find_or_insert_small(std::uint64_t hash, std::uint32_t node,
                                     NodeIdentity& identity);
  std::uint32_t find_or_insert_overflow(std::uint64_t hash, std::uint32_t node,
                                        NodeIdentity& identity);
  // Re-places every key in a table of twice the size (of 64 slots when
  // leaving the scan).
  void grow(NodeIdentity& identity);
  bool place(std::uint64_t slot);

  std::array<std::pair<std::uint64_t, std::uint32_t>, kSmall> small_;  // (hash, node)
  std::size_t small_count_ = 0;
  std::vector<std::uint64_t> slots_;  // (hash >> 32) << 32 | (node + 1); 0 = empty
  unsigned shift_ = 32;               // home slot = (hash >> 32) >> shift_
  std::size_t count_ = 0;             // keys in slots_ (not in the overflow)
  std::multimap<std::uint64_t, std::uint32_t> overflow_;  // full hash -> node
  bool indexed_ = false;
};

}  // namespace velmora::documents::yaml
