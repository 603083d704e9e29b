// libyaml's parser and events as owned resources, and the input set-up that
// every reading of a text shares (the check and the re-reading that finds a mark).
#pragma once

#include <yaml.h>

#include <cstddef>
#include <string_view>

#include "text/bits.hpp"

namespace velmora::documents::yaml {

// The text being checked, and whether it starts with a byte-order mark.
struct Source {
  std::string_view text;
  bool bom = false;

  static Source of(std::string_view text) {
    return {text, text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF"};
  }
};

// The byte offset in the text of the character at a mark's index (libyaml
// counts characters, a byte-order mark included). Marks are asked for in
// order, so a walk over the text goes on from the last answer.
class TextOffsets {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit TextOffsets(const Source& source) : text_(source.text), byte_(source.bom ? 3 : 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    std::size_t i = 0;
    bool ascii = true;
    for (; ascii && i + 64 <= text_.size(); i += 64) ascii = !text::any_non_ascii64(p + i);
    for (; ascii && i < text_.size(); ++i) ascii = p[i] < 0x80;
    ascii_ = ascii;
  }

  // kNone if the text has no such character, or (in a text not ASCII) if
  // `index` is below the last one asked for.
  std::size_t of(std::size_t index) {
    if (ascii_) return index <= text_.size() ? index : kNone;
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t n = text_.size();
    while (index_ < index && byte_ < n) {
      if (index - index_ >= 8 && n - byte_ >= 8 &&
          (text::load8(p + byte_) & 0x8080808080808080ull) == 0) {
        index_ += 8;
        byte_ += 8;
        continue;
      }
      const unsigned char b = p[byte_];
      byte_ += b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      ++index_;
    }
    return index_ == index ? byte_ : kNone;
  }

  // Where a string scalar's value starts if written as it is: plain ones
  // at their mark, quoted ones one character after; kNone for block scalars.
  std::size_t value_start(const yaml_event_t& e) {
    const yaml_scalar_style_t style = e.data.scalar.style;
    if (style == YAML_PLAIN_SCALAR_STYLE) return of(e.start_mark.index);
    if (style != YAML_SINGLE_QUOTED_SCALAR_STYLE && style != YAML_DOUBLE_QUOTED_SCALAR_STYLE)
      return kNone;
    const std::size_t at = of(e.start_mark.index);
    return at == kNone ? kNone : at + 1;
  }

 private:
  std::string_view text_;
  std::size_t index_ = 0;  // the last answer: a mark's index
  std::size_t byte_;       // and its offset
  bool ascii_ = false;     // the text is ASCII: offsets are indexes
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
  // A parser reading from `handler`, which libyaml calls for more input.
  Parser(yaml_read_handler_t* handler, void* data, bool bom)
      : ok_(yaml_parser_initialize(&parser_) != 0) {
    if (!ok_) return;
    if (!bom) yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    yaml_parser_set_input(&parser_, handler, data);
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

// Only the type is set before parsing: yaml_parser_parse clears the whole
// event itself (zeroing it here too cost a few percent of the check).
class ParsedEvent {
 public:
  ParsedEvent() { event_.type = YAML_NO_EVENT; }  // NOLINT(cppcoreguidelines-pro-type-member-init)
  ~ParsedEvent() { yaml_event_delete(&event_); }
  ParsedEvent(const ParsedEvent&) = delete;
  ParsedEvent& operator=(const ParsedEvent&) = delete;
  yaml_event_t* get() { return &event_; }
  const yaml_event_t& operator*() const { return event_; }

 private:
  yaml_event_t event_;
};

}  // namespace velmora::documents::yaml
