// Double-quoted, escaped rendering of a text, as used by TrainerConfig's repr
// and the YAML check's messages.
#pragma once

#include <string>
#include <string_view>

namespace velmora::text {

// Appends `text` (UTF-8) in double quotes: \0 \t \r \n for those characters,
// a backslash before '"' and '\', the code-point form \u{hex} for characters
// that needs_code_point_escape() selects (and other ASCII controls), and every
// other character as itself. A malformed byte is written as U+FFFD.
void append_quoted_text(std::string& out, std::string_view text);

}  // namespace velmora::text
