#include "documents/yaml/yaml_collector.hpp"

#include <utility>

#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents::yaml {

Collector::Collector(EventLog& log, yaml_parser_t* parser)
    : log_(log), parser_(parser), shape_(log.expansions()), offsets_(Source::of(log.source())) {}

std::uint32_t Collector::intern_tag(const char* tag) {
  // Tags compare without the leading "!" (kept when the tag is "!" alone), so
  // equal tags share one id.
  std::string_view name(tag);
  if (name.size() > 1) name.remove_prefix(1);
  if (name.size() > 1 && name.front() == '!') name.remove_prefix(1);
  if (const auto it = tag_ids_.find(name); it != tag_ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(tag_ids_.size());
  tag_ids_.emplace(std::string(name), id);
  return id;
}

bool Collector::scalar(const yaml_event_t& e) {
  const auto& s = e.data.scalar;
  const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
  const auto* parent = shape_.top();
  const bool direct_key = shape_.at_key();
  const bool in_key = direct_key || (parent != nullptr && parent->extra.in_key);
  const bool in_anchor = s.anchor != nullptr || (parent != nullptr && parent->extra.in_anchor);
  const TagClass tag = classify_tag(reinterpret_cast<const char*>(s.tag));
  // Outside keys and anchored nodes a scalar only matters if it fails.
  const Resolved r =
      resolve_scalar(value, s.style == YAML_PLAIN_SCALAR_STYLE, tag, failure_, in_key || in_anchor);
  if (shape_.at_value() && !in_key && !in_anchor && r.kind != ValueKind::Failure) {
    log_.fold_value();
    shape_.scalar();
    return true;
  }
  const std::uint32_t entry = log_.push(Kind::Scalar);
  Event& out = log_.at(entry);
  out.value = r.kind;
  if (r.kind == ValueKind::Failure) {
    out.payload = log_.store_failure(std::move(failure_));
  } else if (r.kind == ValueKind::String) {
    if (in_key || in_anchor) {
      out.payload = log_.store_string(value, offsets_.value_start(e));
      out.flags |= kHasText;
    }
  } else {
    out.payload = r.bits;
    if (direct_key) log_.store_key_text(entry, value);
  }
  if (tag == TagClass::Local) {
    out.aux = intern_tag(reinterpret_cast<const char*>(s.tag));
    out.flags |= kTagged;
  }
  if (s.anchor != nullptr) {
    out.flags |= kAnchored;
    anchors_.bind(reinterpret_cast<const char*>(s.anchor), {log_.copy_anchored_scalar(entry), 0});
  }
  shape_.scalar();
  return true;
}

bool Collector::alias(const yaml_event_t& e) {
  const AnchorBinding* target = anchors_.find(reinterpret_cast<const char*>(e.data.alias.anchor));
  if (target == nullptr) {
    error_ = with_mark(kUnknownAnchor, last_mark_);
    return false;
  }
  const std::uint32_t entry = log_.push(Kind::Alias);
  log_.at(entry).aux = target->entry;
  log_.at(entry).payload = target->expansion;
  shape_.alias(target->expansion);  // building checks the depth budget
  return true;
}

bool Collector::open(const yaml_event_t& e) {
  const bool is_map = e.type == YAML_MAPPING_START_EVENT;
  const yaml_char_t* anchor = is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
  const yaml_char_t* tag = is_map ? e.data.mapping_start.tag : e.data.sequence_start.tag;
  const auto* parent = shape_.top();
  const bool in_key = shape_.at_key() || (parent != nullptr && parent->extra.in_key);
  const bool in_anchor = anchor != nullptr || (parent != nullptr && parent->extra.in_anchor);
  const std::uint32_t entry = log_.push(is_map ? Kind::MapStart : Kind::SeqStart);
  Event& out = log_.at(entry);
  if (tag != nullptr && tag[0] == '!') {
    out.aux = intern_tag(reinterpret_cast<const char*>(tag));
    out.flags |= kTagged;
  }
  std::uint32_t id = 0;
  if (anchor != nullptr) {
    id = log_.expansions().open();
    out.payload = static_cast<std::uint64_t>(id) << 32;
    out.flags |= kAnchored;
    anchors_.bind(reinterpret_cast<const char*>(anchor), {entry, id});
    if (anchor_floor_ == kNone) {
      anchor_floor_ = entry;
      anchor_depth_ = shape_.depth();
    }
  }
  log_.pin(entry, entry);  // completed at its end
  shape_.open(is_map, id, {entry, in_key, in_anchor});
  return true;
}

bool Collector::close(const yaml_event_t& e) {
  const std::uint32_t entry =
      log_.push(e.type == YAML_MAPPING_END_EVENT ? Kind::MapEnd : Kind::SeqEnd);
  if (shape_.empty()) return true;  // libyaml keeps events balanced
  const std::uint32_t start = shape_.close().extra.start;
  log_.at(start).payload |= entry;
  if (log_.expansion_id(start) != 0) {
    log_.pin(start, entry);  // an alias may name it
    if (shape_.depth() == anchor_depth_) anchor_floor_ = kNone;
  }
  log_.unpin(start, start);
  return true;
}

bool Collector::collect(std::uint32_t until) {
  until_ = until;
  switch (run_pass(parser_, *this)) {
    case PassEnd::Paused:
      return true;
    case PassEnd::ParseError:
      error_ = render_libyaml_error(*parser_);
      return false;
    case PassEnd::StreamEnd:
      stream_ended_ = true;
      if (log_.size() == 0) log_.push(Kind::Scalar);  // builds as null
      return false;
    default:  // the document ended, or an unknown anchor did
      return false;
  }
}

}  // namespace velmora::documents::yaml
