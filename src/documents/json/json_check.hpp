// Strict check that a text is exactly one JSON value (RFC 8259, nesting limit 127).
#pragma once

#include <string_view>

#include "documents/check_result.hpp"

namespace velmora::documents {

// Validates `text` (already known to be UTF-8) in one pass without building a tree.
CheckResult check_json_document(std::string_view text);

}  // namespace velmora::documents
