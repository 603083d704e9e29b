// Strict check that a text is exactly one JSON value (RFC 8259, nesting limit 127).
#pragma once

#include <cstddef>
#include <string_view>

#include "documents/check_result.hpp"
#include "documents/text_source.hpp"

namespace velmora::documents {

// Validates `text` (already known to be UTF-8) in one pass without building a tree.
CheckResult check_json_document(std::string_view text);

// Whether the text read from `source` (UTF-8) is one JSON value, checked in a
// window that slides over it: only the longest single token (a string or a
// number) is ever held whole. False decides nothing: check_json_document on
// the whole text then decides, and words any failure. `window_size` is the
// window's starting size. Defined in json_index.cpp.
bool json_document_accepted(TextSource& source, std::size_t window_size = std::size_t{256} << 10);

}  // namespace velmora::documents
