#include "documents/yaml/yaml_plain_check.hpp"

#include <array>
#include <bit>
#include <optional>
#include <string>

#include "documents/yaml/yaml_anchor_map.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "documents/yaml/yaml_shape.hpp"

namespace velmora::documents::yaml {

bool KeyHashes::close() {
  const std::size_t mark = marks_.back();
  marks_.pop_back();
  const std::uint64_t* h = hashes_.data() + mark;
  const std::size_t n = hashes_.size() - mark;
  bool distinct = true;
  if (n <= 16) {  // pairwise
    for (std::size_t i = 1; i < n && distinct; ++i) {
      for (std::size_t j = 0; j < i; ++j) distinct = distinct && h[i] != h[j];
    }
  } else {
    distinct = n <= kDirectLimit ? distinct_in_set(h, n) : distinct_partitioned(h, n);
  }
  hashes_.resize(mark);
  return distinct;
}

// Linear probing by the low bits (parts are given by the top ones); 0 marks
// an empty slot, so a hash of 0 is counted aside.
bool KeyHashes::distinct_in_set(const std::uint64_t* hashes, std::size_t n) {
  const std::size_t mask = std::bit_ceil(2 * n) - 1;
  set_.assign(mask + 1, 0);
  bool zero = false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t h = hashes[i];
    if (h == 0) {
      if (zero) return false;
      zero = true;
      continue;
    }
    std::size_t s = static_cast<std::size_t>(h) & mask;
    for (; set_[s] != 0; s = (s + 1) & mask) {
      if (set_[s] == h) return false;
    }
    set_[s] = h;
  }
  return true;
}

// A counting sort by the top bits into the spare, then each part through
// the set. Hashes are keyed, so the parts come out about even.
bool KeyHashes::distinct_partitioned(const std::uint64_t* hashes, std::size_t n) {
  constexpr unsigned kPartBits = 8;
  constexpr unsigned kShift = 64 - kPartBits;
  std::array<std::size_t, (std::size_t{1} << kPartBits) + 1> starts{};
  for (std::size_t i = 0; i < n; ++i) ++starts[(hashes[i] >> kShift) + 1];
  for (std::size_t p = 1; p < starts.size(); ++p) starts[p] += starts[p - 1];
  std::array<std::size_t, std::size_t{1} << kPartBits> next{};
  for (std::size_t p = 0; p < next.size(); ++p) next[p] = starts[p];
  spare_.resize(n);
  for (std::size_t i = 0; i < n; ++i) spare_[next[hashes[i] >> kShift]++] = hashes[i];
  for (std::size_t p = 0; p < next.size(); ++p) {
    if (!distinct_in_set(spare_.data() + starts[p], starts[p + 1] - starts[p])) return false;
  }
  return true;
}

namespace {

// The anchors of the plain check. Names bound to scalars (most anchors) stay
// out of the anchor map, written down in order, until an alias finds its name
// neither in the map nor among the latest few of them; they then all go in.
// A name keeps its latest collection binding even when bound to a scalar
// again: an alias to it then counts more than the full check would, which
// can only leave the document undecided.
class PlainAnchors {
 public:
  void bind_scalar(std::string_view name) {
    text_.append(name);
    ends_.push_back(text_.size());
  }
  void bind_collection(std::string_view name, std::uint32_t expansion) {
    map_.bind(name, {0, expansion});
  }
  // The expansion an alias to `name` counts, or nullopt for a name not bound.
  std::optional<std::uint32_t> find(std::string_view name) {
    if (const AnchorBinding* b = map_.find(name)) return b->expansion;
    constexpr std::size_t kLatest = 16;
    for (std::size_t i = ends_.size(); i > 0 && i + kLatest > ends_.size(); --i) {
      if (written(i - 1) == name) return 0;
    }
    for (std::size_t i = 0; i < ends_.size(); ++i) map_.bind(written(i), {0, 0}, /*keep=*/true);
    text_.clear();
    ends_.clear();
    const AnchorBinding* b = map_.find(name);
    return b == nullptr ? std::nullopt : std::optional<std::uint32_t>(b->expansion);
  }

 private:
  std::string_view written(std::size_t i) const {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(start, ends_[i] - start);
  }

  AnchorMap map_;
  std::string text_;               // names bound to scalars, not yet in map_
  std::vector<std::size_t> ends_;  // where each of them ends in text_
};

// Each handler returns whether the document is acceptable so far; false
// means undecided.
class PlainPass {
 public:
  bool more() const { return true; }
  void seen(const yaml_event_t&) {}

  bool scalar(const yaml_event_t& e) {
    const auto& s = e.data.scalar;
    const bool key = shape_.at_key();
    const TagClass tag =
        s.tag == nullptr ? TagClass::None : classify_tag(reinterpret_cast<const char*>(s.tag));
    if (key && tag == TagClass::Local) return false;
    const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
    const bool plain = s.style == YAML_PLAIN_SCALAR_STYLE;
    if (key && tag == TagClass::None && untagged_is_string(value, plain)) {
      keys_.push(string_hash(value));
    } else if (key) {
      const Resolved r = resolve_scalar(value, plain, tag, failure_, true);
      if (r.kind == ValueKind::Failure) return false;
      keys_.push(r.kind == ValueKind::String ? string_hash(value) : value_hash(r.kind, r.bits));
    } else if ((tag != TagClass::None && tag != TagClass::Local) ||
               untagged_may_fail(value, plain)) {  // values only matter if they fail
      if (resolve_scalar(value, plain, tag, failure_, false).kind == ValueKind::Failure)
        return false;
    }
    if (s.anchor != nullptr) anchors_.bind_scalar(reinterpret_cast<const char*>(s.anchor));
    shape_.scalar();
    return true;
  }

  // An alias as a value, its expansion within the depth budget here.
  bool alias(const yaml_event_t& e) {
    if (shape_.at_key()) return false;
    const auto expansion = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
    return expansion && shape_.alias(*expansion);
  }

  bool open(const yaml_event_t& e) {
    const bool is_map = e.type == YAML_MAPPING_START_EVENT;
    if (shape_.at_key() || shape_.depth() == kDepthBudget) return false;
    std::uint32_t expansion = 0;
    if (const yaml_char_t* anchor =
            is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor) {
      expansion = expansions_.open();
      anchors_.bind_collection(reinterpret_cast<const char*>(anchor), expansion);
    }
    shape_.open(is_map, expansion);
    if (is_map) keys_.open();
    return true;
  }

  bool close(const yaml_event_t&) { return !shape_.close().is_map || keys_.close(); }

  // Whether the document ended acceptably: all its collections closed and
  // its alias expansions within the repetition limit.
  bool complete() const { return shape_.empty() && shape_.within_limit(); }

 private:
  Expansions expansions_;
  ShapeTracker<> shape_{expansions_};
  KeyHashes keys_;  // of the open mappings, checked for a repeat as each closes
  PlainAnchors anchors_;
  std::string failure_;
};

PlainVerdict check(Parser& parser) {
  if (!parser.ok()) return PlainVerdict::Undecided;
  PlainPass pass;
  switch (run_pass(parser.get(), pass)) {
    case PassEnd::StreamEnd:
      return pass.complete() ? PlainVerdict::Accepted : PlainVerdict::Undecided;
    case PassEnd::DocumentEnd: {
      if (!pass.complete()) return PlainVerdict::Undecided;
      // Nothing may follow the first document.
      ParsedEvent next;
      return yaml_parser_parse(parser.get(), next.get()) && (*next).type == YAML_STREAM_END_EVENT
                 ? PlainVerdict::Accepted
                 : PlainVerdict::Undecided;
    }
    default:
      return PlainVerdict::Undecided;
  }
}

}  // namespace

PlainVerdict plain_check(Parser& parser) {
  try {
    return check(parser);
  } catch (...) {  // allocation failures: the full check says so
    return PlainVerdict::Undecided;
  }
}

PlainVerdict plain_check(std::string_view text) {
  Parser parser(Source::of(text));
  return plain_check(parser);
}

}  // namespace velmora::documents::yaml
