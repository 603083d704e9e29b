// Node identity: hashing consistent with node equality, equality itself, and
// the table of the keys of one open mapping. Nodes are entries of the event
// log; aliases stand for their targets.
#pragma once

#include <cstdint>
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
  std::vector<CachedHash> collection_hashes_;                // by expansion id
  std::unordered_map<std::uint32_t, std::uint64_t> scalar_hashes_;  // anchored scalars
  std::unordered_set<std::uint64_t> equal_pairs_;  // anchored collections known equal
};

// Keys of one open mapping: linear scan while small, open addressing beyond.
class KeyTable {
 public:
  void reset() {
    keys_.clear();
    indexed_ = false;
  }
  // The earlier key equal to `node` (whose hash is `hash`), or kNone after
  // adding `node`.
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t node, NodeIdentity& identity);
  bool indexed() const { return indexed_; }
  // Fetches the slot where a key of hash `hash` is looked up (indexed tables).
  void prefetch(std::uint64_t hash) const {
    text::prefetch(slots_.data() + (hash & (slots_.size() - 1)));
  }

 private:
  static constexpr std::size_t kLinear = 8;
  static void place(std::vector<std::uint64_t>& slots, std::uint64_t hash, std::size_t index);

  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys_;  // (hash, node)
  std::vector<std::uint64_t> slots_;  // (hash >> 32) << 32 | (key index + 1); 0 = empty
  bool indexed_ = false;
};

}  // namespace velmora::documents::yaml
