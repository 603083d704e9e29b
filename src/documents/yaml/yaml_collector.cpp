#include "documents/yaml/yaml_collector.hpp"

#include <utility>

#include "documents/yaml/yaml_builder.hpp"
#include "documents/yaml/yaml_hash.hpp"
#include "documents/yaml/yaml_node_identity.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents::yaml {

Collector::Collector(EventLog& log, yaml_parser_t* parser, Builder* builder)
    : log_(log), parser_(parser), builder_(builder), offsets_(Source::of(log.source())) {}

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

inline void Collector::on_scalar(const yaml_event_t& e) {
  const auto& s = e.data.scalar;
  const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
  const Frame* parent = stack_.empty() ? nullptr : &stack_.back();
  const bool direct_key = parent != nullptr && parent->is_map && parent->expect_key;
  const bool in_key = direct_key || (parent != nullptr && parent->in_key);
  const bool in_anchor = s.anchor != nullptr || (parent != nullptr && parent->in_anchor);
  const TagClass tag = classify_tag(reinterpret_cast<const char*>(s.tag));
  // Outside keys and anchored nodes a scalar only matters if it fails.
  const Resolved r =
      resolve_scalar(value, s.style == YAML_PLAIN_SCALAR_STYLE, tag, failure_, in_key || in_anchor);
  if (parent != nullptr && parent->is_map && !parent->expect_key && !in_key && !in_anchor &&
      r.kind != ValueKind::Failure) {
    log_.fold_value();
    child_done(0, 0);
    return;
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
      if (direct_key && builder_ != nullptr && tag == TagClass::None && s.anchor == nullptr) {
        builder_->expect_key(entry, stack_.size() - 1, NodeIdentity::text_hash(value));
      }
    }
  } else {
    out.payload = r.bits;
    if (direct_key) log_.store_key_text(entry, value);
  }
  if (tag == TagClass::Local) {
    const std::uint32_t id = intern_tag(reinterpret_cast<const char*>(s.tag));
    log_.at(entry).aux = id;
    log_.at(entry).flags |= kTagged;
  }
  if (s.anchor != nullptr) {
    log_.at(entry).flags |= kAnchored;
    anchors_.bind(reinterpret_cast<const char*>(s.anchor), {log_.copy_anchored_scalar(entry), 0});
  }
  child_done(0, 0);
}

inline void Collector::on_collection_start(const yaml_event_t& e) {
  const bool is_map = e.type == YAML_MAPPING_START_EVENT;
  const yaml_char_t* anchor = is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
  const yaml_char_t* tag = is_map ? e.data.mapping_start.tag : e.data.sequence_start.tag;
  const Frame* parent = stack_.empty() ? nullptr : &stack_.back();
  const bool in_key =
      parent != nullptr && ((parent->is_map && parent->expect_key) || parent->in_key);
  const bool in_anchor = anchor != nullptr || (parent != nullptr && parent->in_anchor);
  const std::uint32_t entry = log_.push(is_map ? Kind::MapStart : Kind::SeqStart);
  if (tag != nullptr && tag[0] == '!') {
    const std::uint32_t id = intern_tag(reinterpret_cast<const char*>(tag));
    log_.at(entry).aux = id;
    log_.at(entry).flags |= kTagged;
  }
  if (anchor != nullptr) {
    const std::uint32_t id = log_.open_expansion();  // infinite until the collection ends
    log_.at(entry).payload = static_cast<std::uint64_t>(id) << 32;
    log_.at(entry).flags |= kAnchored;
    anchors_.bind(reinterpret_cast<const char*>(anchor), {entry, id});
    if (anchor_floor_ == kNone) {
      anchor_floor_ = entry;
      anchor_depth_ = stack_.size();
    }
  }
  log_.pin(entry, entry);  // completed at its end
  stack_.push_back({entry, is_map, true, in_key, in_anchor});
}

inline void Collector::on_collection_end(const yaml_event_t& e) {
  const std::uint32_t entry =
      log_.push(e.type == YAML_MAPPING_END_EVENT ? Kind::MapEnd : Kind::SeqEnd);
  if (stack_.empty()) return;  // libyaml keeps events balanced
  const Frame f = stack_.back();
  stack_.pop_back();
  log_.at(f.start).payload |= entry;
  const std::uint32_t height = f.height == kInfiniteHeight ? kInfiniteHeight : f.height + 1;
  if (const std::uint32_t id = log_.expansion_id(f.start); id != 0) {
    log_.set_expansion(id, {height, f.count});
    log_.pin(f.start, entry);  // an alias may name it
    if (stack_.size() == anchor_depth_) anchor_floor_ = kNone;
  }
  log_.unpin(f.start, f.start);
  child_done(height, f.count);
}

bool Collector::collect(std::uint32_t until) {
  for (;;) {
    if (log_.size() >= until) return true;
    ParsedEvent ev;
    if (!yaml_parser_parse(parser_, ev.get())) {
      error_ = render_libyaml_error(*parser_);
      return false;
    }
    const yaml_event_t& e = *ev;
    last_mark_ = {e.start_mark.line, e.start_mark.column};
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        continue;
      case YAML_DOCUMENT_END_EVENT:
        return false;
      case YAML_NO_EVENT:
      case YAML_STREAM_END_EVENT:
        stream_ended_ = true;
        if (log_.empty()) log_.push(Kind::Scalar);  // builds as null
        return false;
      case YAML_ALIAS_EVENT: {
        const std::string_view name(reinterpret_cast<const char*>(e.data.alias.anchor));
        const AnchorBinding* target = anchors_.find(name);
        if (target == nullptr) {
          error_ = with_mark(kUnknownAnchor, last_mark_);
          return false;
        }
        const std::uint32_t entry = log_.push(Kind::Alias);
        log_.at(entry).aux = target->entry;
        log_.at(entry).payload = target->expansion;
        if (target->expansion == 0) {
          child_done(0, 1);
        } else {
          const Expansion& x = log_.expansion(target->expansion);
          child_done(x.height, saturating_add(x.count, 1));
        }
        continue;
      }
      case YAML_SCALAR_EVENT:
        on_scalar(e);
        continue;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        on_collection_start(e);
        continue;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        on_collection_end(e);
        continue;
    }
  }
}

}  // namespace velmora::documents::yaml
