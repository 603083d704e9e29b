// Strict check that a text is exactly one YAML document, through libyaml's events.
#pragma once

#include <cstddef>
#include <string_view>

#include "documents/check_result.hpp"
#include "documents/text_source.hpp"

namespace velmora::documents {

// Validates `text` (already known to be UTF-8): one document, unique mapping keys,
// known anchors, nesting and alias-expansion limits, typed scalars.
CheckResult check_yaml_document(std::string_view text);

// Whether the document read from `source` (UTF-8, with a leading byte-order
// mark when `bom`) is accepted by a check that keeps only what it must, never
// the text. False decides nothing: check_yaml_document on the whole text
// then decides, and words any failure.
bool yaml_document_accepted(TextSource& source, bool bom);

}  // namespace velmora::documents
