#include "documents/yaml/yaml_plain_check.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "documents/yaml/yaml_builder.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_key_hashes.hpp"
#include "documents/yaml/yaml_node_identity.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_plain_anchors.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents::yaml {
namespace {

class PlainChecker {
 public:
  PlainChecker() = default;

  // Whether the event leaves the document acceptable so far; false means undecided.
  bool scalar(const yaml_event_t& e) {
    const auto& s = e.data.scalar;
    ++entries_;
    const bool key = in_key_position();
    const TagClass tag =
        s.tag == nullptr ? TagClass::None : classify_tag(reinterpret_cast<const char*>(s.tag));
    if (key && tag == TagClass::Local) return false;
    const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
    const bool plain = s.style == YAML_PLAIN_SCALAR_STYLE;
    if (key && tag == TagClass::None && untagged_is_string(value, plain)) {
      keys_.push(NodeIdentity::text_hash(value));
    } else if (key) {
      const Resolved r = resolve_scalar(value, plain, tag, failure_, true);
      if (r.kind == ValueKind::Failure) return false;
      keys_.push(r.kind == ValueKind::String ? NodeIdentity::text_hash(value)
                                             : NodeIdentity::scalar_hash(r.kind, r.bits));
    } else if ((tag != TagClass::None && tag != TagClass::Local) ||
               untagged_may_fail(value, plain)) {  // values only matter if they fail
      if (resolve_scalar(value, plain, tag, failure_, false).kind == ValueKind::Failure)
        return false;
    }
    if (s.anchor != nullptr) anchors_.bind_scalar(reinterpret_cast<const char*>(s.anchor));
    child_done(0, 0);
    return true;
  }

  // An alias as a value: its expansion must fit the depth budget here.
  bool alias(const yaml_event_t& e) {
    ++entries_;
    if (in_key_position()) return false;
    const AnchorBinding* target = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
    if (target == nullptr) return false;
    if (target->expansion == 0) {  // a scalar
      child_done(0, 1);
      return true;
    }
    const Expansion& x = expansions_[target->expansion];
    if (x.height == kInfiniteHeight || x.height > kDepthBudget - frames_.size()) return false;
    child_done(x.height, saturating_add(x.count, 1));
    return true;
  }

  bool collection_start(const yaml_event_t& e) {
    ++entries_;
    const bool is_map = e.type == YAML_MAPPING_START_EVENT;
    if (in_key_position()) return false;
    if (frames_.size() == kDepthBudget) return false;
    std::uint32_t expansion = 0;
    if (const yaml_char_t* anchor =
            is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor) {
      if (expansions_.empty()) expansions_.emplace_back();  // id 0: none
      if (expansions_.size() >= kNone) return false;
      expansion = static_cast<std::uint32_t>(expansions_.size());
      expansions_.emplace_back();  // infinite until the collection ends
      anchors_.bind_collection(reinterpret_cast<const char*>(anchor), expansion);
    }
    frames_.push_back({is_map, true, expansion});
    if (is_map) keys_.open();
    return true;
  }

  bool collection_end() {
    ++entries_;
    if (frames_.empty()) return true;  // libyaml keeps events balanced
    const Frame f = frames_.back();
    if (f.is_map && !keys_.close()) return false;
    frames_.pop_back();
    const std::uint32_t height = f.height == kInfiniteHeight ? kInfiniteHeight : f.height + 1;
    if (f.expansion != 0) expansions_[f.expansion] = {height, f.count};
    child_done(height, f.count);
    return true;
  }

  // Whether the document ended acceptably: all its collections closed, its
  // alias expansions within the repetition limit (an empty document counts
  // as one entry, a null) and its aliases taken on trust verified.
  bool complete() {
    if (!frames_.empty()) return false;
    const std::uint64_t limit = kRepetitionFactor * std::max<std::uint64_t>(entries_, 1);
    return repetitions_ <= limit && anchors_.verify();
  }

 private:
  struct Frame {
    bool is_map;
    bool expect_key;
    std::uint32_t expansion;  // anchored: its id
    std::uint32_t height = 0;
    std::uint64_t count = 0;  // alias expansions inside
  };

  bool in_key_position() const {
    return !frames_.empty() && frames_.back().is_map && frames_.back().expect_key;
  }

  // A node of this height and alias expansion count is complete.
  void child_done(std::uint32_t height, std::uint64_t count) {
    if (frames_.empty()) {
      repetitions_ = saturating_add(repetitions_, count);
      return;
    }
    Frame& f = frames_.back();
    if (height > f.height) f.height = height;
    f.count = saturating_add(f.count, count);
    if (f.is_map) f.expect_key = !f.expect_key;
  }

  KeyHashes keys_;  // of the open mappings, checked for a repeat as each closes
  std::vector<Frame> frames_;
  PlainAnchors anchors_;
  std::vector<Expansion> expansions_;  // by id (0 unused)
  std::uint64_t entries_ = 0;          // nodes' events: the repetition limit's base
  std::uint64_t repetitions_ = 0;      // alias expansions of the document
  std::string failure_;
};

PlainVerdict check(Parser& parser) {
  if (!parser.ok()) return PlainVerdict::Undecided;
  PlainChecker checker;
  for (;;) {
    ParsedEvent ev;
    if (!yaml_parser_parse(parser.get(), ev.get())) return PlainVerdict::Undecided;
    const yaml_event_t& e = *ev;
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        continue;
      case YAML_DOCUMENT_END_EVENT: {
        if (!checker.complete()) return PlainVerdict::Undecided;
        // Nothing may follow the first document.
        ParsedEvent next;
        return yaml_parser_parse(parser.get(), next.get()) && (*next).type == YAML_STREAM_END_EVENT
                   ? PlainVerdict::Accepted
                   : PlainVerdict::Undecided;
      }
      case YAML_NO_EVENT:
      case YAML_STREAM_END_EVENT:
        return checker.complete() ? PlainVerdict::Accepted : PlainVerdict::Undecided;
      case YAML_ALIAS_EVENT:
        if (!checker.alias(e)) return PlainVerdict::Undecided;
        continue;
      case YAML_SCALAR_EVENT:
        if (!checker.scalar(e)) return PlainVerdict::Undecided;
        continue;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        if (!checker.collection_start(e)) return PlainVerdict::Undecided;
        continue;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        if (!checker.collection_end()) return PlainVerdict::Undecided;
        continue;
    }
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
