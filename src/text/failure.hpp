// The one shape of a failure below the Python layer: what kind it is, the
// system's code where the system gave one, the position in the document
// where the document has one, and its text, made once where it is found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace velmora::text {

// Where a document failure is, counted from 1, exactly as written in its
// text's " at line L column C".
struct TextPosition {
  std::size_t line = 0;
  std::size_t column = 0;
  bool operator==(const TextPosition&) const = default;
};

enum class FailureKind : std::uint8_t {
  not_found,  // the configuration file does not exist
  read,       // it cannot be read, or is not UTF-8
  name,       // its name gives no format
  json,       // not exactly one JSON value
  yaml,       // not exactly one YAML document
  launch,     // the trainer could not be started or waited for
  exit,       // the trainer ended with a status other than 0
  stopped,    // the caller asked for a stop; the caller reports why
};

struct Failure {
  FailureKind kind = FailureKind::read;
  std::string text;
  std::optional<std::int32_t> os_code;
  std::optional<TextPosition> position;
  // A second place the failure concerns: a repeated key's own position (the
  // text names the mapping's), the start of a second document.
  std::optional<TextPosition> related = {};

  bool operator==(const Failure&) const = default;
};

inline Failure failure(FailureKind kind, std::string text) {
  return {kind, std::move(text), {}, {}};
}

}  // namespace velmora::text
