#include "documents/yaml/yaml_node_identity.hpp"

#include <algorithm>
#include <bit>

#include "documents/yaml/yaml_hash.hpp"

namespace velmora::documents::yaml {

std::uint64_t NodeIdentity::scalar_hash(ValueKind kind, std::uint64_t bits) {
  switch (kind) {
    case ValueKind::Null:
      return mix(kSeedNull);
    case ValueKind::Bool:
      return mix(kSeedBool + bits);
    case ValueKind::UInt:
      return mix(kSeedUInt ^ hash_word(bits));
    case ValueKind::NegInt:
      return mix(kSeedNegInt ^ hash_word(bits));
    case ValueKind::Float: {
      const double d = std::bit_cast<double>(bits);
      if (d != d) return mix(kSeedFloat + 1);  // every NaN alike
      return mix(kSeedFloat ^ hash_word(d == 0 ? 0 : bits));
    }
    default:
      return 0;
  }
}

std::uint64_t NodeIdentity::hash(std::uint32_t node) {
  node = log_.resolve_alias(node);
  const Event& e = log_[node];
  count(stats_.hashed_nodes);
  std::uint64_t h = 0;
  switch (e.kind) {
    case Kind::Scalar: {
      if (e.flags & kAnchored) {
        if (const auto it = scalar_hashes_.find(node); it != scalar_hashes_.end())
          return it->second;
      }
      h = e.value == ValueKind::String || e.value == ValueKind::Failure
              ? string_hash(e)
              : scalar_hash(e.value, e.payload);
      break;
    }
    case Kind::SeqStart:
    case Kind::MapStart: {
      const std::uint32_t id = log_.expansion_id(node);
      if (const CachedHash* cached = id != 0 ? cached_hash(id) : nullptr) return cached->hash;
      const std::uint32_t end = log_.end_of(node);
      if (e.kind == Kind::SeqStart) {
        h = kSeedSeq;
        for (std::uint32_t c = node + 1; c < end; c = log_.next_node(c))
          h = mix(h ^ hash(c)) + kMul;
      } else {
        std::uint64_t sum = 0, n = 0;
        for (std::uint32_t k = node + 1; k < end;) {
          const std::uint32_t v = log_.next_node(k);
          const std::uint64_t hk = hash(k);
          sum += mix(hk * kMul + hash(v));  // order-independent sum over entries
          ++n;
          k = log_.next_node(v);
        }
        h = mix(kSeedMap ^ mix(sum + n));
      }
      break;
    }
    default:
      break;
  }
  if (e.flags & kTagged) h = mix(h ^ mix(kSeedTag + e.aux));
  if (e.flags & kAnchored) {
    if (e.kind == Kind::Scalar) {
      scalar_hashes_.emplace(node, h);
    } else {
      const std::uint32_t id = log_.expansion_id(node);
      if (id >= collection_hashes_.size()) collection_hashes_.resize(log_.expansion_count());
      collection_hashes_[id] = {h, true};
    }
  }
  return h;
}

namespace {
// Scalars of one kind and tag: the same value.
bool equal_scalars(const EventLog& log, const Event& x, const Event& y) {
  if (x.value != y.value) return false;
  switch (x.value) {
    case ValueKind::Null:
      return true;
    case ValueKind::Float: {
      const double p = std::bit_cast<double>(x.payload), q = std::bit_cast<double>(y.payload);
      return p == q || (p != p && q != q);
    }
    case ValueKind::String:
    case ValueKind::Failure:
      return log.string_at(x.payload) == log.string_at(y.payload);
    default:  // Bool, UInt, NegInt
      return x.payload == y.payload;
  }
}
}  // namespace

bool NodeIdentity::equal(std::uint32_t a, std::uint32_t b) {
  a = log_.resolve_alias(a);
  b = log_.resolve_alias(b);
  count(stats_.node_compares);
  if (a == b) return true;
  const Event& x = log_[a];
  const Event& y = log_[b];
  if (x.kind != y.kind || (x.flags & kTagged) != (y.flags & kTagged)) return false;
  if ((x.flags & kTagged) && x.aux != y.aux) return false;
  if (x.kind == Kind::Scalar) return equal_scalars(log_, x, y);
  return (x.kind == Kind::SeqStart || x.kind == Kind::MapStart) && equal_collections(a, b);
}

bool NodeIdentity::equal_collections(std::uint32_t a, std::uint32_t b) {
  // Anchored collections: their hashes, once known, tell unequal ones apart,
  // and pairs found equal are kept.
  const std::uint32_t ia = log_.expansion_id(a), ib = log_.expansion_id(b);
  const std::uint64_t pair = (static_cast<std::uint64_t>(a) << 32) | b;
  const bool anchored = ia != 0 && ib != 0;
  if (anchored) {
    const CachedHash* ha = cached_hash(ia);
    const CachedHash* hb = cached_hash(ib);
    if (ha != nullptr && hb != nullptr && ha->hash != hb->hash) return false;
    if (equal_pairs_.count(pair)) return true;
  }
  const bool same = log_[a].kind == Kind::SeqStart ? equal_sequences(a, b) : equal_mappings(a, b);
  if (same && anchored) equal_pairs_.insert(pair);
  return same;
}

bool NodeIdentity::equal_sequences(std::uint32_t a, std::uint32_t b) {
  std::uint32_t i = a + 1, j = b + 1;
  const std::uint32_t ea = log_.end_of(a), eb = log_.end_of(b);
  for (; i < ea && j < eb; i = log_.next_node(i), j = log_.next_node(j)) {
    if (!equal(i, j)) return false;
  }
  return i == ea && j == eb;
}

bool NodeIdentity::equal_mappings(std::uint32_t a, std::uint32_t b) {
  struct Entry {
    std::uint64_t hash;
    std::uint32_t key, value;
  };
  std::vector<Entry> other;
  for (std::uint32_t k = b + 1, e = log_.end_of(b); k < e;) {
    const std::uint32_t v = log_.next_node(k);
    other.push_back({hash(k), k, v});
    k = log_.next_node(v);
  }
  std::sort(other.begin(), other.end(),
            [](const Entry& p, const Entry& q) { return p.hash < q.hash; });
  std::size_t n = 0;
  for (std::uint32_t k = a + 1, e = log_.end_of(a); k < e;) {
    const std::uint32_t v = log_.next_node(k);
    ++n;
    if (n > other.size()) return false;
    const std::uint64_t h = hash(k);
    auto it = std::lower_bound(other.begin(), other.end(), h,
                               [](const Entry& p, std::uint64_t x) { return p.hash < x; });
    bool found = false;
    for (; it != other.end() && it->hash == h; ++it) {
      if (equal(k, it->key)) {
        found = true;
        if (!equal(v, it->value)) return false;
        break;
      }
    }
    if (!found) return false;
    k = log_.next_node(v);
  }
  return n == other.size();
}

bool NodeIdentity::equal_text(std::uint32_t node, std::string_view text) {
  count(stats_.node_compares);
  const Event& e = log_[log_.resolve_alias(node)];
  return e.kind == Kind::Scalar && e.value == ValueKind::String && !(e.flags & kTagged) &&
         log_.string_at(e.payload) == text;
}

bool KeyTable::same(std::uint64_t a, std::uint64_t b, NodeIdentity& identity) {
  const auto text = [&](std::uint64_t s) {
    return identity.source().substr(offset_of(s), length_of(s));
  };
  if (is_text(a) && is_text(b)) return text(a) == text(b);
  if (is_text(a)) return identity.equal_text(node_of(b), text(a));
  if (is_text(b)) return identity.equal_text(node_of(a), text(b));
  return identity.equal(node_of(a), node_of(b));
}

std::uint64_t KeyTable::slot_hash(std::uint64_t slot, NodeIdentity& identity) {
  if (is_text(slot)) {
    return NodeIdentity::text_hash(identity.source().substr(offset_of(slot), length_of(slot)));
  }
  return identity.hash(node_of(slot));
}

void KeyTable::to_overflow(std::uint64_t hash, std::uint64_t slot) {
  if (overflowed_.empty()) overflowed_.assign(mark_words(), 0);
  mark(overflowed_, home(hash));
  overflow_.emplace(hash, slot);
}

std::uint64_t KeyTable::find_in_overflow(std::uint64_t hash, std::uint64_t slot,
                                         NodeIdentity& identity) {
  const auto [first, last] = overflow_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    count(identity.stats().key_probes);
    if (same(it->second, slot, identity)) return it->second;
  }
  return 0;
}

namespace {
// Slots in use in a bucket (they fill it from the front).
template <class Slots>
unsigned filled(const Slots& slots) {
  unsigned n = 0;
  while (n < slots.size() && slots[n] != 0) ++n;
  return n;
}
}  // namespace

bool KeyTable::place(std::uint64_t& hash, std::uint64_t& slot, NodeIdentity& identity) {
  const std::size_t first = home(hash), second = first ^ other(hash >> 40);
  for (const std::size_t b : {first, second}) {
    Bucket& to = bucket(b);
    if (const unsigned n = filled(to.slots); n < kSlots) {
      to.slots[n] = slot;
      if (b == second) mark(spilled_, first);
      ++count_;
      return true;
    }
  }
  // Both full: a key of one moves to its other bucket, which may move
  // another, and so on a few times. Its bucket is marked as if it was its
  // first (one of the two is: a spare mark costs a lookup a second line).
  std::uint64_t moving = slot;
  std::size_t at = (victim_ & 1) != 0 ? second : first;
  if (at == second) mark(spilled_, first);
  for (unsigned m = 0; m < kMaxMoves; ++m) {
    std::swap(moving, bucket(at).slots[victim_++ % kSlots]);
    mark(spilled_, at);
    at ^= other(moving >> 40);
    Bucket& to = bucket(at);
    if (const unsigned n = filled(to.slots); n < kSlots) {
      to.slots[n] = moving;
      ++count_;
      return true;
    }
  }
  if (moving != slot) {  // another key is left without room: its hash again
    slot = moving;
    hash = slot_hash(moving, identity);
  }
  return false;
}

void KeyTable::insert(std::uint64_t hash, std::uint64_t slot, NodeIdentity& identity) {
  if (full()) grow(identity);
  if (!place(hash, slot, identity)) to_overflow(hash, slot);
}

void KeyTable::grow(NodeIdentity& identity) {
  if (!indexed_) {
    // Storage kept by reset() is empty already.
    if (segments_.empty()) {
      bits_ = kFirstBits;
      segments_.push_back(std::make_unique<Bucket[]>(buckets()));
      spilled_.assign(mark_words(), 0);
    }
    indexed_ = true;
    count_ = 0;
    for (std::size_t i = 0; i < small_count_; ++i) {
      auto [hash, slot] = small_[i];
      if (!place(hash, slot, identity)) to_overflow(hash, slot);
    }
    small_count_ = 0;
    return;
  }
  const std::size_t old_count = buckets();
  ++bits_;
  // The new first bucket of a slot's key: from the stored tag while it has
  // the bits, else from the key's hash.
  const auto first_of = [&](std::uint64_t s) {
    if (bits_ <= kTagHomeBits) return static_cast<std::size_t>((s >> 40) >> (kTagBits - bits_));
    return home(slot_hash(s, identity));
  };
  // Bucket `from`'s keys go to its two halves, `from` * 2 and `from` * 2 + 1:
  // each to the half of the bucket it was in, its first or its second.
  // The halves are empty when `from` is split.
  std::vector<std::uint64_t> spilled(mark_words(), 0);
  const auto split = [&](const Bucket& from, std::size_t b) {
    Bucket* const half[2] = {&bucket(2 * b), &bucket(2 * b + 1)};
    unsigned used[2] = {0, 0};
    for (const std::uint64_t s : from.slots) {
      if (s == 0) break;
      const std::size_t f = first_of(s);
      const bool in_first = (f >> 1) == b;
      if (!in_first) mark(spilled, f);
      const std::size_t to = (in_first ? f : f ^ other(s >> 40)) & 1;
      half[to]->slots[used[to]++] = s;
    }
  };
  if (bits_ <= kSegmentBits) {
    std::unique_ptr<Bucket[]> old = std::move(segments_[0]);
    segments_[0] = std::make_unique<Bucket[]>(buckets());
    for (std::size_t b = 0; b < old_count; ++b) split(old[b], b);
  } else {
    // In place: the halves of bucket b are above it, and were emptied
    // before it (or are new), for every b but 0, whose halves are 0 and 1.
    while ((segments_.size() << kSegmentBits) < buckets()) {
      segments_.push_back(std::make_unique<Bucket[]>(std::size_t{1} << kSegmentBits));
    }
    for (std::size_t b = old_count; b-- > 0;) {
      const Bucket from = bucket(b);
      bucket(b) = Bucket{};
      split(from, b);
    }
  }
  spilled_.swap(spilled);
  // The overflow's keys again, those that now fit leaving it.
  if (!overflow_.empty()) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> waiting(overflow_.begin(),
                                                                 overflow_.end());
    overflow_.clear();
    overflowed_.assign(mark_words(), 0);
    for (auto [hash, slot] : waiting) {
      if (!place(hash, slot, identity)) to_overflow(hash, slot);
    }
  } else {
    overflowed_.clear();
  }
}

std::uint64_t KeyTable::find_or_insert_small(std::uint64_t hash, std::uint64_t slot,
                                             NodeIdentity& identity) {
  for (std::size_t i = 0; i < small_count_; ++i) {
    count(identity.stats().key_probes);
    if (small_[i].first == hash && same(small_[i].second, slot, identity)) {
      return small_[i].second;
    }
  }
  if (small_count_ < kSmall) {
    small_[small_count_++] = {hash, slot};
    return 0;
  }
  grow(identity);
  insert(hash, slot, identity);
  return 0;
}

}  // namespace velmora::documents::yaml
