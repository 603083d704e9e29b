// Outcome of a configuration document check.
#pragma once

#include <optional>

#include "text/failure.hpp"

namespace velmora::documents {

using text::TextPosition;

// Empty on success; otherwise the failure, of kind json or yaml: its text (no
// trailing line break) ends in its position where the format has one, e.g.
// "trailing comma at line 1 column 4", and that position is also a value.
using CheckResult = std::optional<text::Failure>;

}  // namespace velmora::documents
