// Node identity: hashing consistent with node equality, equality itself, and
// the table of the keys of one open mapping. Nodes are entries of the event
// log; aliases stand for their targets.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_hash.hpp"
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
  // hash() of an untagged string scalar of text `text`.
  static std::uint64_t text_hash(std::string_view text) { return kSeedString ^ hash_bytes(text); }
  // Whether `node` is an untagged string scalar of text `text`.
  bool equal_text(std::uint32_t node, std::string_view text);
  // The document's text (keys may refer into it).
  std::string_view source() const { return log_.source(); }

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
// linear probing, at most 70% full. A slot is 8 bytes: the top 24 bits of the
// key's hash, whose top bits give its home slot (so growing needs no hash
// again up to 2^24 slots), and either the key's node or, for a string written
// as it is in the document (untagged, short, below 4 GiB), its length and
// offset there: such keys need no copy. Probing is bounded: a key whose first
// kMaxProbes slots are taken goes to an ordered overflow by its full hash, so
// keys that collide in the table's bits cost a logarithm each, not a walk
// over the others. Slots fill up only, and growing tries the overflow's keys
// again, so the first kMaxProbes slots of a key in the overflow are always
// taken: a lookup that meets an empty slot before need not look there.
class KeyTable {
 public:
  static constexpr std::uint32_t kMaxTextLength = 254;
  // The slot of node `node`.
  static std::uint64_t node_slot(std::uint64_t hash, std::uint32_t node) {
    return ((hash >> 40) << 40) | (std::uint64_t{node} + 1);
  }
  // The slot of an untagged string key written as it is at `offset` of the
  // document, `length` <= kMaxTextLength.
  static std::uint64_t text_slot(std::uint64_t hash, std::uint32_t offset, std::uint32_t length) {
    return ((hash >> 40) << 40) | (std::uint64_t{length + 1} << 32) | offset;
  }
  static bool is_text(std::uint64_t slot) { return ((slot >> 32) & 0xFF) != 0; }
  static std::uint32_t node_of(std::uint64_t slot) { return static_cast<std::uint32_t>(slot) - 1; }
  static std::uint32_t offset_of(std::uint64_t slot) { return static_cast<std::uint32_t>(slot); }
  static std::uint32_t length_of(std::uint64_t slot) {
    return static_cast<std::uint32_t>((slot >> 32) & 0xFF) - 1;
  }

  // Empties the table, keeping its storage unless it grew large.
  void reset() {
    small_count_ = 0;
    if (indexed_) {
      count_ = 0;
      overflow_.clear();
      if (slots_.size() > kKeepSlots) slots_ = {};
      indexed_ = false;
    }
  }
  // The slot of the earlier key equal to the one of `slot` (whose hash is
  // `hash`), or 0 after adding it.
  std::uint64_t find_or_insert_slot(std::uint64_t hash, std::uint64_t slot,
                                    NodeIdentity& identity) {
    if (!indexed_) return find_or_insert_small(hash, slot, identity);
    const std::uint64_t tag = hash >> 40;
    const std::size_t mask = slots_.size() - 1;
    std::size_t p = home(hash);
    for (std::size_t probes = 0;; ++probes, p = (p + 1) & mask) {
      const std::uint64_t s = slots_[p];
      if (s == 0) {  // not in the overflow either: see grow()
        slots_[p] = slot;
        if (++count_ * 10 > slots_.size() * 7) grow(identity);
        return 0;
      }
      count(identity.stats().key_probes);
      if ((s >> 40) == tag && same(s, slot, identity)) return s;
      if (probes == kMaxProbes) return find_or_insert_overflow(hash, slot, identity);
    }
  }
  // The earlier key equal to `node`, or kNone after adding `node`.
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t node, NodeIdentity& identity) {
    const std::uint64_t earlier = find_or_insert_slot(hash, node_slot(hash, node), identity);
    return earlier == 0 ? kNone : node_of(earlier);
  }
  bool indexed() const { return indexed_; }
  // Fetches the slot where a key of hash `hash` is looked up (indexed tables).
  void prefetch(std::uint64_t hash) const { text::prefetch(slots_.data() + home(hash)); }

 private:
  static constexpr std::size_t kSmall = 8;
  static constexpr std::size_t kMaxProbes = 32;
  static constexpr std::size_t kKeepSlots = 1 << 12;
  static constexpr unsigned kTagBits = 24;
  // Growing takes home slots from the stored tag up to 2^kTagHomeBits slots,
  // from the key's hash beyond (test and fuzz builds go there early).
#if defined(VELMORA_YAML_SMALL_PAGES)
  static constexpr unsigned kTagHomeBits = 8;
#else
  static constexpr unsigned kTagHomeBits = kTagBits;
#endif

  std::size_t home(std::uint64_t hash) const {
    return static_cast<std::size_t>(hash >> (64 - bits_));
  }
  // Whether the keys of two slots are one key.
  static bool same(std::uint64_t a, std::uint64_t b, NodeIdentity& identity);
  // The full hash of a slot's key.
  static std::uint64_t slot_hash(std::uint64_t slot, NodeIdentity& identity);
  std::uint64_t find_or_insert_small(std::uint64_t hash, std::uint64_t slot,
                                     NodeIdentity& identity);
  std::uint64_t find_or_insert_overflow(std::uint64_t hash, std::uint64_t slot,
                                        NodeIdentity& identity);
  // Re-places every key in a table of twice the size (of 64 slots when
  // leaving the scan).
  void grow(NodeIdentity& identity);
  bool place(std::uint64_t slot, std::size_t home);

  std::array<std::pair<std::uint64_t, std::uint64_t>, kSmall> small_;  // (hash, slot)
  std::size_t small_count_ = 0;
  std::vector<std::uint64_t> slots_;                      // 0 = empty
  unsigned bits_ = 6;                                     // slots_.size() == 1 << bits_ (indexed)
  std::size_t count_ = 0;                                 // keys in slots_ (not in the overflow)
  std::multimap<std::uint64_t, std::uint64_t> overflow_;  // full hash -> slot
  bool indexed_ = false;
};

}  // namespace velmora::documents::yaml
