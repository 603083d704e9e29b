// Strict check that a text is exactly one YAML document, through libyaml's events.
#pragma once

#include <string_view>

#include "documents/check_result.hpp"

namespace velmora::documents {

// Validates `text` (already known to be UTF-8): one document, unique mapping keys,
// known anchors, nesting and alias-expansion limits, typed scalars.
CheckResult check_yaml_document(std::string_view text);

}  // namespace velmora::documents
