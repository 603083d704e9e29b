// The values of a checked YAML text, read from libyaml's events with the
// scalars resolved by the check's own resolution.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "documents/values/values.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "documents/yaml/yaml_shape.hpp"

namespace velmora::documents {
namespace {

using yaml::ParsedEvent;
using yaml::Parser;
using yaml::PassEnd;
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
    PassEnd end = yaml::run_pass(parser_.get(), *this);
    if (end == PassEnd::DocumentEnd)
      end = yaml::run_pass(parser_.get(), *this);  // the stream's end
    if (end == PassEnd::Stopped) return outcome_;
    if (end != PassEnd::StreamEnd || !shape_.empty()) return ReadValues::malformed;
    if (shape_.entries() == 0) {  // an empty document is a null
      Scalar null;
      if (!sink_.scalar(null, last_, {})) return ReadValues::stopped;
    }
    return ReadValues::done;
  }

 private:
  template <typename Pass>
  friend PassEnd yaml::run_pass(yaml_parser_t* parser, Pass& pass);

  bool more() const { return true; }
  void seen(const yaml_event_t& e) { last_ = position_of(e.start_mark); }
  bool stop(ReadValues outcome) {
    outcome_ = outcome;
    return false;
  }

  bool alias(const yaml_event_t& e) {
    if (!sink_.alias(view(e.data.alias.anchor), last_)) return stop(ReadValues::stopped);
    shape_.alias(0);
    return true;
  }
  bool open(const yaml_event_t& e) {
    const bool mapping = e.type == YAML_MAPPING_START_EVENT;
    if (shape_.at_key()) return collection_key(e);
    const yaml_char_t* anchor =
        mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
    if (!sink_.begin(mapping, last_, view(anchor))) return stop(ReadValues::stopped);
    shape_.open(mapping, 0);
    return true;
  }
  bool close(const yaml_event_t&) {
    if (shape_.empty()) return stop(ReadValues::malformed);
    shape_.close();
    return sink_.end() || stop(ReadValues::stopped);
  }

  bool scalar(const yaml_event_t& e) {
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
        return stop(ReadValues::malformed);
    }
    if (!sink_.scalar(value, last_, view(s.anchor))) return stop(ReadValues::stopped);
    shape_.scalar();
    return true;
  }

  // A collection used as a key: handed over as its text as written.
  bool collection_key(const yaml_event_t& start) {
    std::size_t depth = 1;
    yaml_mark_t end_mark = start.end_mark;
    while (depth > 0) {
      ParsedEvent event;
      if (!yaml_parser_parse(parser_.get(), event.get())) return stop(ReadValues::malformed);
      const yaml_event_t& e = *event;
      if (e.type == YAML_SEQUENCE_START_EVENT || e.type == YAML_MAPPING_START_EVENT) ++depth;
      if (e.type == YAML_SEQUENCE_END_EVENT || e.type == YAML_MAPPING_END_EVENT) --depth;
      if (e.type == YAML_NO_EVENT || e.type == YAML_STREAM_END_EVENT)
        return stop(ReadValues::malformed);
      end_mark = e.end_mark;
    }
    const std::size_t from = offsets_.of(start.start_mark.index);
    const std::size_t to = offsets_.of(end_mark.index);
    if (from == yaml::TextOffsets::kNone || to == yaml::TextOffsets::kNone || to < from)
      return stop(ReadValues::malformed);
    Scalar key;
    key.kind = ScalarKind::string;
    key.text = key.written = source_.text.substr(from, to - from);
    if (!sink_.scalar(key, position_of(start.start_mark), {})) return stop(ReadValues::stopped);
    shape_.scalar();
    return true;
  }

  Source source_;
  yaml::TextOffsets offsets_;
  Parser parser_;
  ValueSink& sink_;
  yaml::Expansions expansions_;
  yaml::ShapeTracker<> shape_{expansions_};
  TextPosition last_;                      // of the latest event
  ReadValues outcome_ = ReadValues::done;  // why a handler stopped the pass
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
