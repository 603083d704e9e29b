// libyaml's parser and events as owned resources, and the input set-up that
// every reading of a text shares (the check and the re-reading that finds a mark).
#pragma once

#include <yaml.h>

#include <string_view>

namespace velmora::documents::yaml {

// The text being checked, and whether it starts with a byte-order mark.
struct Source {
  std::string_view text;
  bool bom = false;

  static Source of(std::string_view text) {
    return {text, text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF"};
  }
};

// A parser reading `source`; ok() is false when libyaml could not allocate it.
class Parser {
 public:
  explicit Parser(const Source& source) : ok_(yaml_parser_initialize(&parser_) != 0) {
    if (!ok_) return;
    // A leading byte-order mark is not content: let libyaml detect it (it then
    // skips the mark, counting it in offsets only). Every other text is read
    // as UTF-8 without detection.
    if (!source.bom) yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(
        &parser_, reinterpret_cast<const unsigned char*>(source.text.data()), source.text.size());
  }
  ~Parser() {
    if (ok_) yaml_parser_delete(&parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  bool ok() const { return ok_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_{};
  bool ok_;
};

class ParsedEvent {
 public:
  ParsedEvent() { event_.type = YAML_NO_EVENT; }  // yaml_parser_parse clears it
  ~ParsedEvent() { yaml_event_delete(&event_); }
  ParsedEvent(const ParsedEvent&) = delete;
  ParsedEvent& operator=(const ParsedEvent&) = delete;
  yaml_event_t* get() { return &event_; }
  const yaml_event_t& operator*() const { return event_; }

 private:
  yaml_event_t event_{};
};

}  // namespace velmora::documents::yaml
