// Node identity: hashing consistent with node equality, equality itself, and
// the table of the keys of one open mapping. Nodes are entries of the event
// log; aliases stand for their targets.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_hash_index.hpp"

namespace velmora::documents::yaml {

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
    return kSeedString ^ log_.text_hash(e.payload);
  }
  // Whether `node` is an untagged string scalar of text `text`.
  bool equal_text(std::uint32_t node, std::string_view text);
  // The document's text (keys may refer into it).
  std::string_view source() const { return log_.source(); }

  CheckStats& stats() { return stats_; }

 private:
  // Parts of equal(): collections of one kind and tag, then by kind.
  bool equal_collections(std::uint32_t a, std::uint32_t b);
  bool equal_sequences(std::uint32_t a, std::uint32_t b);
  bool equal_mappings(std::uint32_t a, std::uint32_t b);

  struct CachedHash {
    std::uint64_t hash = 0;
    bool valid = false;
  };
  // The hash of anchored collection `id` once computed, else nullptr.
  const CachedHash* cached_hash(std::uint32_t id) const {
    return id < collection_hashes_.size() && collection_hashes_[id].valid ? &collection_hashes_[id]
                                                                          : nullptr;
  }

  const EventLog& log_;
  CheckStats& stats_;
  std::vector<CachedHash> collection_hashes_;                       // by expansion id
  std::unordered_map<std::uint32_t, std::uint64_t> scalar_hashes_;  // anchored scalars
  std::unordered_set<std::uint64_t> equal_pairs_;  // anchored collections known equal
};

// Keys of one open mapping. A string written as it is in the document is
// kept as its EventLog::source_ref payload (no copy needed), any other key as
// its node: source_ref() tells them apart.
class KeyTable {
 public:
  void reset() {
    index_.clear();
    keys_.clear();
  }
  // The earlier key equal to `key` (of hash `hash`), or nullptr after adding
  // it. `key` is a source_ref payload or a node, never kNone.
  const std::uint64_t* find_or_insert(std::uint64_t hash, std::uint64_t key,
                                      NodeIdentity& identity);

 private:
  HashIndex index_;
  std::vector<std::uint64_t> keys_;  // by number in index_
};

}  // namespace velmora::documents::yaml
