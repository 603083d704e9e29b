// The values of a checked YAML text, read from libyaml's events with the
// scalars resolved by the check's own resolution.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "documents/values.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents {
namespace {

using yaml::ParsedEvent;
using yaml::Parser;
using yaml::Source;

TextPosition position_of(const yaml_mark_t& mark) { return {mark.line + 1, mark.column + 1}; }

std::string_view view(const yaml_char_t* text) {
  return text == nullptr ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(text));
}

class Reader {
 public:
  explicit Reader(std::string_view text, ValueSink& sink)
      : source_(Source::of(text)), offsets_(source_), parser_(source_), sink_(sink) {}

  ReadValues run() {
    if (!parser_.ok()) return ReadValues::malformed;
    bool seen_node = false;
    for (;;) {
      ParsedEvent event;
      if (!yaml_parser_parse(parser_.get(), event.get())) return ReadValues::malformed;
      const yaml_event_t& e = *event;
      switch (e.type) {
        case YAML_STREAM_START_EVENT:
        case YAML_DOCUMENT_START_EVENT:
        case YAML_DOCUMENT_END_EVENT:
          continue;
        case YAML_NO_EVENT:
        case YAML_STREAM_END_EVENT:
          // An empty document is a null.
          if (!seen_node && !send_null(e)) return ReadValues::stopped;
          return frames_.empty() ? ReadValues::done : ReadValues::malformed;
        default:
          break;
      }
      seen_node = true;
      if (const ReadValues outcome = node(e); outcome != ReadValues::done) return outcome;
    }
  }

 private:
  struct Frame {
    bool mapping;
    bool expect_key;
  };

  bool in_key_position() const {
    return !frames_.empty() && frames_.back().mapping && frames_.back().expect_key;
  }
  void node_done() {
    if (!frames_.empty() && frames_.back().mapping) frames_.back().expect_key ^= true;
  }

  bool send_null(const yaml_event_t& e) {
    Scalar null;
    return sink_.scalar(null, position_of(e.start_mark), {});
  }

  ReadValues node(const yaml_event_t& e) {
    switch (e.type) {
      case YAML_SCALAR_EVENT:
        return scalar(e);
      case YAML_ALIAS_EVENT:
        if (!sink_.alias(view(e.data.alias.anchor), position_of(e.start_mark)))
          return ReadValues::stopped;
        node_done();
        return ReadValues::done;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        const bool mapping = e.type == YAML_MAPPING_START_EVENT;
        if (in_key_position()) return collection_key(e);
        const yaml_char_t* anchor =
            mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
        if (!sink_.begin(mapping, position_of(e.start_mark), view(anchor)))
          return ReadValues::stopped;
        frames_.push_back({mapping, true});
        return ReadValues::done;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        if (frames_.empty()) return ReadValues::malformed;
        frames_.pop_back();
        if (!sink_.end()) return ReadValues::stopped;
        node_done();
        return ReadValues::done;
      default:
        return ReadValues::malformed;
    }
  }

  ReadValues scalar(const yaml_event_t& e) {
    const auto& s = e.data.scalar;
    const std::string_view written(reinterpret_cast<const char*>(s.value), s.length);
    const yaml::TagClass tag = s.tag == nullptr
                                   ? yaml::TagClass::None
                                   : yaml::classify_tag(reinterpret_cast<const char*>(s.tag));
    const yaml::Resolved resolved =
        yaml::resolve_scalar(written, s.style == YAML_PLAIN_SCALAR_STYLE, tag, failure_);
    Scalar value;
    value.text = value.written = written;
    char digits[24];
    switch (resolved.kind) {
      case yaml::ValueKind::Null:
        value.kind = ScalarKind::null;
        break;
      case yaml::ValueKind::Bool:
        value.kind = ScalarKind::boolean;
        value.flag = resolved.bits != 0;
        break;
      case yaml::ValueKind::UInt:
      case yaml::ValueKind::NegInt: {
        value.kind = ScalarKind::integer;
        const auto end = resolved.kind == yaml::ValueKind::UInt
                             ? std::to_chars(digits, digits + sizeof digits, resolved.bits).ptr
                             : std::to_chars(digits, digits + sizeof digits,
                                             static_cast<std::int64_t>(resolved.bits))
                                   .ptr;
        value.text = std::string_view(digits, static_cast<std::size_t>(end - digits));
        break;
      }
      case yaml::ValueKind::Float:
        value.kind = ScalarKind::floating;
        value.number = std::bit_cast<double>(resolved.bits);
        break;
      case yaml::ValueKind::String:
        value.kind = ScalarKind::string;
        break;
      case yaml::ValueKind::Failure:
        return ReadValues::malformed;
    }
    if (!sink_.scalar(value, position_of(e.start_mark), view(s.anchor))) return ReadValues::stopped;
    node_done();
    return ReadValues::done;
  }

  // A collection used as a key: handed over as its text as written.
  ReadValues collection_key(const yaml_event_t& start) {
    std::size_t depth = 1;
    yaml_mark_t end_mark = start.end_mark;
    while (depth > 0) {
      ParsedEvent event;
      if (!yaml_parser_parse(parser_.get(), event.get())) return ReadValues::malformed;
      const yaml_event_t& e = *event;
      if (e.type == YAML_SEQUENCE_START_EVENT || e.type == YAML_MAPPING_START_EVENT) ++depth;
      if (e.type == YAML_SEQUENCE_END_EVENT || e.type == YAML_MAPPING_END_EVENT) --depth;
      if (e.type == YAML_NO_EVENT || e.type == YAML_STREAM_END_EVENT) return ReadValues::malformed;
      end_mark = e.end_mark;
    }
    const std::size_t from = offsets_.of(start.start_mark.index);
    const std::size_t to = offsets_.of(end_mark.index);
    if (from == yaml::TextOffsets::kNone || to == yaml::TextOffsets::kNone || to < from)
      return ReadValues::malformed;
    Scalar key;
    key.kind = ScalarKind::string;
    key.text = key.written = source_.text.substr(from, to - from);
    if (!sink_.scalar(key, position_of(start.start_mark), {})) return ReadValues::stopped;
    node_done();
    return ReadValues::done;
  }

  Source source_;
  yaml::TextOffsets offsets_;
  Parser parser_;
  ValueSink& sink_;
  std::vector<Frame> frames_;
  std::string failure_;
};

}  // namespace

ReadValues read_yaml_values(std::string_view text, ValueSink& sink) {
  try {
    return Reader(text, sink).run();
  } catch (...) {  // allocation failures
    return ReadValues::no_memory;
  }
}

}  // namespace velmora::documents
