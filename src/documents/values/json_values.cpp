// The values of a checked JSON text. The text is trusted to be one valid
// value, yet every step is bounded: anything unexpected ends the reading as
// malformed rather than reading past the text.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "documents/json/json_bytes.hpp"
#include "documents/values/values.hpp"
#include "text/utf8.hpp"

namespace velmora::documents {
namespace {

constexpr int kMaxDepth = 128;

class Reader {
 public:
  Reader(std::string_view text, ValueSink& sink) : text_(text), sink_(sink) {}

  ReadValues run() {
    skip_space();
    if (!value(0)) return outcome_;
    skip_space();
    return at_ == text_.size() ? ReadValues::done : ReadValues::malformed;
  }

 private:
  bool malformed() {
    outcome_ = ReadValues::malformed;
    return false;
  }
  bool sent(bool accepted) {
    if (!accepted) outcome_ = ReadValues::stopped;
    return accepted;
  }

  // Where the byte at `at_` is: lines counted as the text goes by.
  TextPosition here() {
    for (; counted_ < at_; ++counted_) {
      if (text_[counted_] == '\n') {
        ++line_;
        line_start_ = counted_ + 1;
      }
    }
    return {line_, at_ - line_start_ + 1};
  }

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool take(char c) {
    skip_space();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  bool value(int depth) {
    skip_space();
    if (at_ >= text_.size()) return malformed();
    const TextPosition at = here();
    const char c = text_[at_];
    if (c == '{' || c == '[') return collection(c == '{', at, depth);
    Scalar scalar;
    if (c == '"') {
      if (!string()) return malformed();
      scalar.kind = ScalarKind::string;
      scalar.text = scalar.written = buffer_;
    } else if (!literal(scalar)) {
      return malformed();
    }
    return sent(sink_.scalar(scalar, at, {}));
  }

  bool collection(bool mapping, TextPosition at, int depth) {
    if (depth >= kMaxDepth) return malformed();
    ++at_;
    if (!sent(sink_.begin(mapping, at, {}))) return false;
    const char close = mapping ? '}' : ']';
    if (!take(close)) {
      do {
        if (mapping) {
          skip_space();
          if (at_ >= text_.size() || text_[at_] != '"') return malformed();
          const TextPosition key_at = here();
          if (!string()) return malformed();
          Scalar key;
          key.kind = ScalarKind::string;
          key.text = key.written = buffer_;
          if (!sent(sink_.scalar(key, key_at, {}))) return false;
          if (!take(':')) return malformed();
        }
        if (!value(depth + 1)) return false;
      } while (take(','));
      if (!take(close)) return malformed();
    }
    return sent(sink_.end());
  }

  // A string at `at_` into buffer_, escapes decoded; false when malformed.
  bool string() {
    buffer_.clear();
    ++at_;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        buffer_ += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      switch (text_[at_++]) {
        case '"':
          buffer_ += '"';
          break;
        case '\\':
          buffer_ += '\\';
          break;
        case '/':
          buffer_ += '/';
          break;
        case 'b':
          buffer_ += '\b';
          break;
        case 'f':
          buffer_ += '\f';
          break;
        case 'n':
          buffer_ += '\n';
          break;
        case 'r':
          buffer_ += '\r';
          break;
        case 't':
          buffer_ += '\t';
          break;
        case 'u': {
          std::uint32_t unit = 0;
          if (!hex4(unit)) return false;
          if (unit >= 0xD800 && unit < 0xDC00) {
            std::uint32_t low = 0;
            if (at_ + 2 > text_.size() || text_[at_] != '\\' || text_[at_ + 1] != 'u') return false;
            at_ += 2;
            if (!hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xDC00 && unit < 0xE000) {
            return false;
          }
          text::append_utf8(buffer_, unit);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool hex4(std::uint32_t& unit) {
    if (text_.size() - at_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      const int digit = json_bytes::hex_value(static_cast<unsigned char>(text_[at_++]));
      if (digit < 0) return false;
      unit = unit << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // true, false, null or a number.
  bool literal(Scalar& scalar) {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != ']' && text_[at_] != '}' &&
           text_[at_] != ' ' && text_[at_] != '\t' && text_[at_] != '\n' && text_[at_] != '\r')
      ++at_;
    const std::string_view word = text_.substr(start, at_ - start);
    scalar.text = scalar.written = word;
    if (word == "true" || word == "false") {
      scalar.kind = ScalarKind::boolean;
      scalar.flag = word == "true";
      return true;
    }
    if (word == "null") {
      scalar.kind = ScalarKind::null;
      return true;
    }
    if (word.empty()) return false;
    if (word.find_first_of(".eE") == std::string_view::npos) {
      scalar.kind = ScalarKind::integer;
      return word.find_first_not_of("-0123456789") == std::string_view::npos;
    }
    scalar.kind = ScalarKind::floating;
    const auto parsed = std::from_chars(word.data(), word.data() + word.size(), scalar.number);
    if (parsed.ptr != word.data() + word.size()) return false;
    // The check refuses magnitudes too large for a double: out of range here
    // is a magnitude too small, which reads as zero.
    if (parsed.ec == std::errc::result_out_of_range) {
      scalar.number = word.front() == '-' ? -0.0 : 0.0;
      return true;
    }
    return parsed.ec == std::errc{};
  }

  std::string_view text_;
  ValueSink& sink_;
  std::size_t at_ = 0;
  std::size_t counted_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
  std::string buffer_;
  ReadValues outcome_ = ReadValues::malformed;
};

}  // namespace

ReadValues read_json_values(std::string_view text, ValueSink& sink) {
  try {
    return Reader(text, sink).run();
  } catch (...) {  // allocation failures
    return ReadValues::no_memory;
  }
}

}  // namespace velmora::documents
