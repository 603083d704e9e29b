#include "documents/yaml/yaml_node_identity.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <optional>

#include "text/keyed_hash.hpp"

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
      h = e.value == ValueKind::String || e.value == ValueKind::Failure
              ? string_hash(e)
              : value_hash(e.value, e.payload);
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
          h = text::mix(h ^ hash(c)) + text::kMul;
      } else {
        std::uint64_t sum = 0, n = 0;
        for (std::uint32_t k = node + 1; k < end;) {
          const std::uint32_t v = log_.next_node(k);
          const std::uint64_t hk = hash(k);
          sum += text::mix(hk * text::kMul + hash(v));  // order-independent sum over entries
          ++n;
          k = log_.next_node(v);
        }
        h = text::mix(kSeedMap ^ text::mix(sum + n));
      }
      break;
    }
    default:
      break;
  }
  if (e.flags & kTagged) h = text::mix(h ^ text::mix(kSeedTag + e.aux));
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

const std::uint64_t* KeyTable::find_or_insert(std::uint64_t hash, std::uint64_t key,
                                              NodeIdentity& identity) {
  assert(key != kNone);
  // A text key's text, else nullopt.
  const auto text = [&](std::uint64_t k) -> std::optional<std::string_view> {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    if (!EventLog::source_ref(k, offset, length)) return std::nullopt;
    return identity.source().substr(offset, length);
  };
  const std::optional<std::string_view> key_text = text(key);
  const auto is = [&](std::uint32_t n) {
    const std::optional<std::string_view> earlier_text = text(keys_[n]);
    const auto node = [](std::uint64_t k) { return static_cast<std::uint32_t>(k); };
    if (earlier_text && key_text) return *earlier_text == *key_text;
    if (earlier_text) return identity.equal_text(node(key), *earlier_text);
    if (key_text) return identity.equal_text(node(keys_[n]), *key_text);
    return identity.equal(node(keys_[n]), node(key));
  };
  const std::uint32_t found = index_.find_or_add(hash, is, identity.stats().key_probes);
  if (found != HashIndex::kNotFound) return &keys_[found];
  keys_.push_back(key);
  return nullptr;
}

}  // namespace velmora::documents::yaml
