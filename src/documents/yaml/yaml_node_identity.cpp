#include "documents/yaml/yaml_node_identity.hpp"

#include <algorithm>
#include <bit>

#include "documents/yaml/yaml_hash.hpp"

namespace velmora::documents::yaml {

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
      switch (e.value) {
        case ValueKind::Null:
          h = mix(kSeedNull);
          break;
        case ValueKind::Bool:
          h = mix(kSeedBool + e.payload);
          break;
        case ValueKind::UInt:
          h = mix(kSeedUInt ^ mix(e.payload));
          break;
        case ValueKind::NegInt:
          h = mix(kSeedNegInt ^ mix(e.payload));
          break;
        case ValueKind::Float: {
          const double d = std::bit_cast<double>(e.payload);
          if (d != d) {
            h = mix(kSeedFloat + 1);
          } else {
            h = mix(kSeedFloat ^ mix(d == 0 ? 0 : e.payload));
          }
          break;
        }
        case ValueKind::String:
        case ValueKind::Failure:
          h = string_hash(e);
          break;
      }
      break;
    }
    case Kind::SeqStart:
    case Kind::MapStart: {
      const std::uint32_t id = log_.expansion_id(node);
      if (id != 0 && id < collection_hashes_.size() && collection_hashes_[id].valid)
        return collection_hashes_[id].hash;
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

bool NodeIdentity::equal(std::uint32_t a, std::uint32_t b) {
  a = log_.resolve_alias(a);
  b = log_.resolve_alias(b);
  count(stats_.node_compares);
  if (a == b) return true;
  const Event& x = log_[a];
  const Event& y = log_[b];
  if (x.kind != y.kind) return false;
  if ((x.flags & kTagged) != (y.flags & kTagged)) return false;
  if ((x.flags & kTagged) && x.aux != y.aux) return false;
  switch (x.kind) {
    case Kind::Scalar: {
      if (x.value != y.value) return false;
      switch (x.value) {
        case ValueKind::Null:
          return true;
        case ValueKind::Bool:
        case ValueKind::UInt:
        case ValueKind::NegInt:
          return x.payload == y.payload;
        case ValueKind::Float: {
          const double p = std::bit_cast<double>(x.payload), q = std::bit_cast<double>(y.payload);
          return p == q || (p != p && q != q);
        }
        case ValueKind::String:
        case ValueKind::Failure:
          return log_.string_at(x.payload) == log_.string_at(y.payload);
      }
      return false;
    }
    case Kind::SeqStart:
    case Kind::MapStart: {
      const std::uint32_t ia = log_.expansion_id(a), ib = log_.expansion_id(b);
      const std::uint64_t pair = (static_cast<std::uint64_t>(a) << 32) | b;
      if (ia != 0 && ib != 0) {
        const auto cached = [&](std::uint32_t id) -> const CachedHash* {
          return id < collection_hashes_.size() && collection_hashes_[id].valid
                     ? &collection_hashes_[id]
                     : nullptr;
        };
        const CachedHash* ha = cached(ia);
        const CachedHash* hb = cached(ib);
        if (ha != nullptr && hb != nullptr && ha->hash != hb->hash) return false;
        if (equal_pairs_.count(pair)) return true;
      }
      bool same;
      if (x.kind == Kind::SeqStart) {
        same = true;
        std::uint32_t i = a + 1, j = b + 1;
        const std::uint32_t ea = log_.end_of(a), eb = log_.end_of(b);
        for (; i < ea && j < eb; i = log_.next_node(i), j = log_.next_node(j)) {
          if (!equal(i, j)) {
            same = false;
            break;
          }
        }
        same = same && i == ea && j == eb;
      } else {
        same = equal_mappings(a, b);
      }
      if (same && ia != 0 && ib != 0) equal_pairs_.insert(pair);
      return same;
    }
    default:
      return false;
  }
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

void KeyTable::rebuild(std::size_t size) {
  slots_.assign(size, 0);
  const std::size_t mask = size - 1;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    const std::uint64_t hash = keys_[i].first;
    std::size_t p = static_cast<std::size_t>(hash) & mask;
    while (slots_[p] != 0) p = (p + 1) & mask;
    slots_[p] = (hash & 0xFFFFFFFF00000000ull) | (i + 1);
  }
}

std::uint32_t KeyTable::find_or_insert_linear(std::uint64_t hash, std::uint32_t node,
                                              NodeIdentity& identity) {
  for (const auto& [h, k] : keys_) {
    count(identity.stats().key_probes);
    if (h == hash && identity.equal(k, node)) return k;
  }
  keys_.emplace_back(hash, node);
  if (keys_.size() > kLinear) {
    indexed_ = true;
    rebuild(64);
  }
  return kNone;
}

}  // namespace velmora::documents::yaml
