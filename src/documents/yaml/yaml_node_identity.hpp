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
  std::vector<CachedHash> collection_hashes_;                       // by expansion id
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
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t node, NodeIdentity& identity) {
    if (!indexed_) return find_or_insert_linear(hash, node, identity);
    // The slot keeps the hash's upper half, so most probes never touch `keys_`.
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = hash & 0xFFFFFFFF00000000ull;
    std::size_t p = static_cast<std::size_t>(hash) & mask;
    for (; slots_[p] != 0; p = (p + 1) & mask) {
      count(identity.stats().key_probes);
      if ((slots_[p] & 0xFFFFFFFF00000000ull) != tag) continue;
      const auto& [h, k] = keys_[(slots_[p] & 0xFFFFFFFFu) - 1];
      if (h == hash && identity.equal(k, node)) return k;
    }
    keys_.emplace_back(hash, node);
    slots_[p] = tag | keys_.size();
    if (keys_.size() * 2 > slots_.size()) rebuild(slots_.size() * 2);
    return kNone;
  }
  bool indexed() const { return indexed_; }
  // Fetches the slot where a key of hash `hash` is looked up (indexed tables).
  void prefetch(std::uint64_t hash) const {
    text::prefetch(slots_.data() + (hash & (slots_.size() - 1)));
  }

 private:
  static constexpr std::size_t kLinear = 8;
  std::uint32_t find_or_insert_linear(std::uint64_t hash, std::uint32_t node,
                                      NodeIdentity& identity);
  // Index of `keys_` in `size` slots.
  void rebuild(std::size_t size);

  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys_;  // (hash, node)
  std::vector<std::uint64_t> slots_;  // (hash >> 32) << 32 | (key index + 1); 0 = empty
  bool indexed_ = false;
};

}  // namespace velmora::documents::yaml
