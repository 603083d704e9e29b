#include "documents/yaml/yaml_plain_check.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_anchor_table.hpp"
#include "documents/yaml/yaml_builder.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_node_identity.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents::yaml {
namespace {

class PlainChecker {
 public:
  PlainChecker(const Source& source, CheckStats& stats)
      : offsets_(source), identity_(keys_, stats) {
    keys_.set_source(source.text);
  }

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
    if (key) {
      const Resolved r = resolve_scalar(value, plain, tag, failure_, true);
      if (r.kind == ValueKind::Failure || !add_key(e, value, r)) return false;
    } else if ((tag != TagClass::None && tag != TagClass::Local) ||
               untagged_may_fail(value, plain)) {  // values only matter if they fail
      if (resolve_scalar(value, plain, tag, failure_, false).kind == ValueKind::Failure)
        return false;
    }
    if (s.anchor != nullptr) anchors_.bind(reinterpret_cast<const char*>(s.anchor), {0, 0});
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
    if (!flush()) return false;
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
      anchors_.bind(reinterpret_cast<const char*>(anchor), {0, expansion});
    }
    frames_.push_back({is_map, true, keys_.key_mark(), expansion});
    if (is_map) {
      if (tables_.size() < frames_.size()) tables_.resize(frames_.size());
      tables_[frames_.size() - 1].reset();
    }
    return true;
  }

  bool collection_end() {
    if (!flush()) return false;
    ++entries_;
    if (frames_.empty()) return true;  // libyaml keeps events balanced
    const Frame f = frames_.back();
    if (f.is_map) {
      tables_[frames_.size() - 1].reset();
      keys_.pop_keys(f.key_mark);
    }
    frames_.pop_back();
    const std::uint32_t height = f.height == kInfiniteHeight ? kInfiniteHeight : f.height + 1;
    if (f.expansion != 0) expansions_[f.expansion] = {height, f.count};
    child_done(height, f.count);
    return true;
  }

  // Whether the document ended acceptably: all its collections closed, the
  // last keys looked up, and its alias expansions within the repetition
  // limit (an empty document counts as one entry, a null).
  bool complete() {
    if (!flush() || !frames_.empty()) return false;
    const std::uint64_t limit = kRepetitionFactor * std::max<std::uint64_t>(entries_, 1);
    return repetitions_ <= limit;
  }

 private:
  struct Frame {
    bool is_map;
    bool expect_key;
    std::uint32_t key_mark;
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

  // Adds a scalar key to its mapping: false if an equal one is there. Keys
  // compare and hash as the full check's do: a string written as it is in
  // the text by its place there, any other by a copy on the key stack. Keys
  // wait a little before they are looked up, their buckets fetched meanwhile,
  // and are looked up before the mapping's structure changes.
  bool add_key(const yaml_event_t& e, std::string_view value, const Resolved& r) {
    KeyTable& table = tables_[frames_.size() - 1];
    const auto wait = [&](std::uint64_t hash, std::uint64_t slot) {
      if (table.indexed()) table.prefetch(hash);
      waiting_[waiting_count_++] = {hash, slot};
      return waiting_count_ < waiting_.size() || flush();
    };
    Event key{Kind::Scalar, r.kind, 0, 0, kNone, r.bits};
    if (r.kind == ValueKind::String) {
      key.flags = kHasText;
      key.payload = keys_.store_string(value, offsets_.value_start(e));
      std::uint64_t offset = 0;
      std::uint32_t length = 0;
      if (EventLog::source_ref(key.payload, offset, length) && length <= KeyTable::kMaxTextLength &&
          offset <= 0xFFFFFFFFu) {
        const std::uint64_t hash = NodeIdentity::text_hash(value);
        return wait(hash, KeyTable::text_slot(hash, static_cast<std::uint32_t>(offset), length));
      }
    }
    const std::uint32_t id = keys_.push_key(key);
    const std::uint64_t hash = identity_.hash(id);
    return wait(hash, KeyTable::node_slot(hash, id));
  }

  // Looks the waiting keys up in the innermost mapping: false on a repeated key.
  bool flush() {
    if (waiting_count_ == 0) return true;
    KeyTable& table = tables_[frames_.size() - 1];
    bool unique = true;
    for (std::size_t i = 0; i < waiting_count_ && unique; ++i) {
      unique = table.find_or_insert_slot(waiting_[i].first, waiting_[i].second, identity_) == 0;
    }
    waiting_count_ = 0;
    return unique;
  }

  TextOffsets offsets_;
  EventLog keys_;  // only its key stack (and the texts of copied keys)
  NodeIdentity identity_;
  std::vector<Frame> frames_;
  std::vector<KeyTable> tables_;  // one per open mapping depth, reused
  AnchorTable anchors_;
  std::vector<Expansion> expansions_;  // by id (0 unused)
  std::uint64_t entries_ = 0;          // nodes' events: the repetition limit's base
  std::uint64_t repetitions_ = 0;      // alias expansions of the document
  std::array<std::pair<std::uint64_t, std::uint64_t>, 32> waiting_{};  // (hash, slot)
  std::size_t waiting_count_ = 0;
  std::string failure_;
};

PlainVerdict check(std::string_view text, CheckStats& stats) {
  const Source source = Source::of(text);
  Parser parser(source);
  if (!parser.ok()) return PlainVerdict::Undecided;
  PlainChecker checker(source, stats);
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

PlainVerdict plain_check(std::string_view text, CheckStats& stats) {
  try {
    return check(text, stats);
  } catch (...) {  // allocation failures: the full check says so
    return PlainVerdict::Undecided;
  }
}

}  // namespace velmora::documents::yaml
