// Node identity: hashing consistent with node equality, equality itself, and
// the table of the keys of one open mapping. Nodes are entries of the event
// log; aliases stand for their targets.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <map>
#include <memory>
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
  // hash() of an untagged scalar of a kind other than String, from its value bits.
  static std::uint64_t scalar_hash(ValueKind kind, std::uint64_t bits);
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

// Keys of one open mapping: a scan while few, then a table of buckets of
// eight 8-byte slots in which every key has two buckets: it goes into its
// first if that has room, else into its second, else it moves a key of one
// of them to that key's other bucket, a bounded number of times. A bit of
// the first bucket says whether any of its keys went to the second, so a
// lookup usually reads one cache line. The table fills to 7/8 before it
// grows, so it needs about 9 bytes per key.
//
// A slot holds the top 24 bits of the key's hash and either the key's node
// or, for a string written as it is in the document (untagged, short, below
// 4 GiB), its length and offset there: such keys need no copy. A key's first
// bucket is given by the top bits of its hash, its second by the first
// bucket and the 24 bits alone, so that doubling the table splits every
// bucket into its two halves in place: no key moves anywhere else, nothing is
// hashed again (up to 2^24 buckets) and no second table is held meanwhile.
// Buckets are kept in segments, so that growing copies nothing.
//
// A key that finds no room even after the moves goes to an ordered overflow
// by its full hash, and a bit of its first bucket says so: keys chosen to
// collide cost a logarithm each, and ordinary lookups never look there.
class KeyTable {
 public:
  static constexpr std::uint32_t kMaxTextLength = 254;
  static constexpr std::uint64_t kMaxTextOffset = 0xFFFFFFFFu;
  // The slot of node `node`.
  // `node` is an entry of the log, never kNone (whose slot would read as empty).
  static std::uint64_t node_slot(std::uint64_t hash, std::uint32_t node) {
    assert(node != kNone);
    return ((hash >> 40) << 40) | (std::uint64_t{node} + 1);
  }
  // The slot of an untagged string key written as it is at `offset` of the
  // document: `offset` <= kMaxTextOffset, `length` <= kMaxTextLength (the
  // length and its mark share the byte above the offset's 32 bits).
  static std::uint64_t text_slot(std::uint64_t hash, std::uint32_t offset, std::uint32_t length) {
    assert(length <= kMaxTextLength);
    return ((hash >> 40) << 40) | (std::uint64_t{length + 1} << 32) | offset;
  }
  static bool is_text(std::uint64_t slot) { return ((slot >> 32) & 0xFF) != 0; }
  static std::uint32_t node_of(std::uint64_t slot) { return static_cast<std::uint32_t>(slot) - 1; }
  static std::uint32_t offset_of(std::uint64_t slot) { return static_cast<std::uint32_t>(slot); }
  static std::uint32_t length_of(std::uint64_t slot) {
    return static_cast<std::uint32_t>((slot >> 32) & 0xFF) - 1;
  }

  // Empties the table, keeping its storage only at the first size (so that
  // emptying costs the same after a large mapping as after a small one).
  void reset() {
    small_count_ = 0;
    if (indexed_) {
      if (bits_ > kFirstBits) {
        segments_.clear();
        segments_.shrink_to_fit();
        spilled_ = {};
        bits_ = kFirstBits;
      } else {
        for (std::size_t b = 0; b < buckets(); ++b) bucket(b) = Bucket{};
        std::fill(spilled_.begin(), spilled_.end(), 0);
      }
      count_ = 0;
      overflow_.clear();
      overflowed_.clear();
      indexed_ = false;
    }
  }
  // The slot of the earlier key equal to the one of `slot` (whose hash is
  // `hash`), or 0 after adding it.
  std::uint64_t find_or_insert_slot(std::uint64_t hash, std::uint64_t slot,
                                    NodeIdentity& identity) {
    if (!indexed_) return find_or_insert_small(hash, slot, identity);
    const std::uint64_t tag = hash >> 40;
    const std::size_t first = home(hash);
    Bucket& in = bucket(first);
    unsigned filled = 0;
    if (const std::uint64_t s = find_in_bucket(in, tag, slot, filled, identity)) return s;
    if (spilled(first)) {
      unsigned unused;
      if (const std::uint64_t s =
              find_in_bucket(bucket(first ^ other(tag)), tag, slot, unused, identity))
        return s;
    }
    if (!overflow_.empty() && marked(overflowed_, first)) {
      if (const std::uint64_t s = find_in_overflow(hash, slot, identity)) return s;
    }
    // Where the first bucket has room and no growing is due, the key goes in at once.
    if (filled < kSlots && !full()) {
      in.slots[filled] = slot;
      ++count_;
    } else {
      insert(hash, slot, identity);
    }
    return 0;
  }
  // The earlier key equal to `node`, or kNone after adding `node`.
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t node, NodeIdentity& identity) {
    const std::uint64_t earlier = find_or_insert_slot(hash, node_slot(hash, node), identity);
    return earlier == 0 ? kNone : node_of(earlier);
  }
  bool indexed() const { return indexed_; }
  // A key's first and second bucket in a table of 2^bits buckets.
  static std::pair<std::size_t, std::size_t> buckets_of(std::uint64_t hash, unsigned bits) {
    const auto first = static_cast<std::size_t>(hash >> (64 - bits));
    return {first, first ^ other(hash >> 40, bits)};
  }
  // Fetches the buckets where a key of hash `hash` is looked up (indexed tables).
  void prefetch(std::uint64_t hash) const {
    const std::size_t first = home(hash);
    text::prefetch(&bucket(first));
    if (spilled(first)) text::prefetch(&bucket(first ^ other(hash >> 40)));
  }

 private:
  static constexpr std::size_t kSmall = 8;
  static constexpr unsigned kSlots = 8;         // per bucket: one cache line
  static constexpr unsigned kFirstBits = 3;     // 8 buckets when leaving the scan
  static constexpr unsigned kSegmentBits = 13;  // 8192 buckets (512 KiB) a segment
  static constexpr unsigned kMaxMoves = 16;     // keys moved to make room for one
  static constexpr unsigned kTagBits = 24;
  // Growing takes first buckets from the stored tag up to 2^kTagHomeBits
  // buckets, from the key's hash beyond (test and fuzz builds go there early).
#if defined(VELMORA_YAML_SMALL_PAGES)
  static constexpr unsigned kTagHomeBits = 8;
#else
  static constexpr unsigned kTagHomeBits = kTagBits;
#endif

  struct alignas(64) Bucket {
    std::array<std::uint64_t, kSlots> slots{};  // filled from the front; 0 = empty
  };

  std::size_t buckets() const { return std::size_t{1} << bits_; }
  // Words of a bit per bucket.
  std::size_t mark_words() const { return (buckets() + 63) / 64; }
  // Whether one more key makes the table grow first.
  bool full() const { return (count_ + 1) * 8 > buckets() * kSlots * 7; }
  Bucket& bucket(std::size_t b) { return segments_[b >> kSegmentBits][b & kSegmentMask]; }
  const Bucket& bucket(std::size_t b) const {
    return segments_[b >> kSegmentBits][b & kSegmentMask];
  }
  static constexpr std::size_t kSegmentMask = (std::size_t{1} << kSegmentBits) - 1;
  // A key's first bucket, from its full hash.
  std::size_t home(std::uint64_t hash) const {
    return static_cast<std::size_t>(hash >> (64 - bits_));
  }
  // What turns a key's first bucket into its second: never 0.
  static std::size_t other(std::uint64_t tag, unsigned bits) {
    return static_cast<std::size_t>(((tag * kMul) | (std::uint64_t{1} << 63)) >> (64 - bits));
  }
  std::size_t other(std::uint64_t tag) const { return other(tag, bits_); }
  // Bits by bucket.
  static bool marked(const std::vector<std::uint64_t>& bits, std::size_t b) {
    return (bits[b >> 6] >> (b & 63)) & 1;
  }
  static void mark(std::vector<std::uint64_t>& bits, std::size_t b) {
    bits[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  bool spilled(std::size_t first) const { return marked(spilled_, first); }
  // The slot of a key equal to the one of `slot` (of tag `tag`) in `b`, or
  // 0, with the number of slots `b` fills.
  std::uint64_t find_in_bucket(const Bucket& b, std::uint64_t tag, std::uint64_t slot,
                               unsigned& filled, NodeIdentity& identity) {
    count(identity.stats().key_probes);
    unsigned n = 0;
    for (; n < kSlots; ++n) {
      const std::uint64_t s = b.slots[n];
      if (s == 0) break;
      if ((s >> 40) == tag) {
        count(identity.stats().key_probes);
        if (same(s, slot, identity)) return s;
      }
    }
    filled = n;
    return 0;
  }
  // Whether the keys of two slots are one key.
  static bool same(std::uint64_t a, std::uint64_t b, NodeIdentity& identity);
  // The full hash of a slot's key.
  static std::uint64_t slot_hash(std::uint64_t slot, NodeIdentity& identity);
  std::uint64_t find_or_insert_small(std::uint64_t hash, std::uint64_t slot,
                                     NodeIdentity& identity);
  std::uint64_t find_in_overflow(std::uint64_t hash, std::uint64_t slot, NodeIdentity& identity);
  // Adds a key not in the table, growing it first when it is full enough.
  void insert(std::uint64_t hash, std::uint64_t slot, NodeIdentity& identity);
  // Puts a key into one of its buckets, moving others if need be; false
  // (with `slot` and `hash` then a key left without room) if it cannot.
  bool place(std::uint64_t& hash, std::uint64_t& slot, NodeIdentity& identity);
  void to_overflow(std::uint64_t hash, std::uint64_t slot);
  // Doubles the bucket count (to 2^kFirstBits when leaving the scan).
  void grow(NodeIdentity& identity);

  std::array<std::pair<std::uint64_t, std::uint64_t>, kSmall> small_;  // (hash, slot)
  std::size_t small_count_ = 0;
  std::vector<std::unique_ptr<Bucket[]>> segments_;
  unsigned bits_ = kFirstBits;                            // buckets() == 1 << bits_ (when indexed)
  std::size_t count_ = 0;                                 // keys in buckets (not in the overflow)
  unsigned victim_ = 0;                                   // which slot of a full bucket moves next
  std::multimap<std::uint64_t, std::uint64_t> overflow_;  // full hash -> slot
  std::vector<std::uint64_t> overflowed_;  // by first bucket: a key of it is in the overflow
  // By first bucket: a key of it may be in its second bucket (kept with the buckets).
  std::vector<std::uint64_t> spilled_;
  bool indexed_ = false;
};

}  // namespace velmora::documents::yaml
