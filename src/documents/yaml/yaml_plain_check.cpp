#include "documents/yaml/yaml_plain_check.hpp"

#include <string>

#include "documents/yaml/yaml_anchor_map.hpp"
#include "documents/yaml/yaml_key_hashes.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "documents/yaml/yaml_shape.hpp"
#include "text/keyed_hash.hpp"

namespace velmora::documents::yaml {
namespace {

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
      keys_.push(r.kind == ValueKind::String ? string_hash(value)
                                             : value_hash(r.kind, r.bits));
    } else if ((tag != TagClass::None && tag != TagClass::Local) ||
               untagged_may_fail(value, plain)) {  // values only matter if they fail
      if (resolve_scalar(value, plain, tag, failure_, false).kind == ValueKind::Failure)
        return false;
    }
    if (s.anchor != nullptr) anchors_.bind(reinterpret_cast<const char*>(s.anchor), {0, 0});
    shape_.scalar();
    return true;
  }

  // An alias as a value, its expansion within the depth budget here.
  bool alias(const yaml_event_t& e) {
    if (shape_.at_key()) return false;
    const AnchorBinding* target = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
    return target != nullptr && shape_.alias(target->expansion);
  }

  bool open(const yaml_event_t& e) {
    const bool is_map = e.type == YAML_MAPPING_START_EVENT;
    if (shape_.at_key() || shape_.depth() == kDepthBudget) return false;
    std::uint32_t expansion = 0;
    if (const yaml_char_t* anchor =
            is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor) {
      expansion = expansions_.open();
      anchors_.bind(reinterpret_cast<const char*>(anchor), {0, expansion});
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
  AnchorMap anchors_;
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
