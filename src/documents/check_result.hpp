// Outcome of a configuration document check.
#pragma once

#include <optional>
#include <string>

namespace velmora::documents {

// Empty on success; otherwise the error text (no trailing line break), ending
// in its position where the format has one, e.g. "trailing comma at line 1 column 4".
using CheckResult = std::optional<std::string>;

}  // namespace velmora::documents
