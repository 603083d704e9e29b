// The plain check: one pass over libyaml's events, for documents without
// collections or aliases as keys or locally tagged keys (most configuration
// files). It keeps only the key hashes of the open mappings and, for aliases,
// the height and alias count of every anchored collection's expansion (as
// collecting does); nothing is collected for building later. Aliases need
// no replay: a document within the depth budget at every alias is within
// the repetition limit exactly when the alias expansions of the whole
// document, counted at its end, are.
//
// It accepts only what the full check accepts. Anything else, a failure
// included, leaves it undecided: the full check then runs from the start,
// and words the failure.
#pragma once

#include <string_view>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_parser.hpp"

namespace velmora::documents::yaml {

enum class PlainVerdict { Accepted, Undecided };

PlainVerdict plain_check(std::string_view text);
// The same on a text read through `parser` as it goes.
PlainVerdict plain_check(Parser& parser);

}  // namespace velmora::documents::yaml
