// Outcome of a configuration document check.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace velmora::documents {

// Where a failure is, counted from 1, exactly as written in its text's
// " at line L column C".
struct TextPosition {
  std::size_t line = 0;
  std::size_t column = 0;
  bool operator==(const TextPosition&) const = default;
};

// A failure: its text (no trailing line break), which ends in its position
// where the format has one, e.g. "trailing comma at line 1 column 4", and that
// position as a value, set where the text's mark is written. The text is the
// string itself, so callers that only want the text read it as a string.
class Diagnostic : public std::string {
 public:
  using std::string::string;
  Diagnostic(std::string text) : std::string(std::move(text)) {}  // NOLINT: implicit by design
  Diagnostic(std::string text, std::optional<TextPosition> at)
      : std::string(std::move(text)), position(at) {}

  const std::string& text() const noexcept { return *this; }

  std::optional<TextPosition> position;
};

// Empty on success; otherwise the failure.
using CheckResult = std::optional<Diagnostic>;

}  // namespace velmora::documents
