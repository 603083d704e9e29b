// UTF-8 validation of whole configuration texts, and the encoding of one
// code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::text {

// True when `text` is well-formed UTF-8 (Unicode table 3-7: no overlong forms,
// no surrogates U+D800..U+DFFF, nothing above U+10FFFF, no truncated sequence).
bool is_valid_utf8(std::string_view text) noexcept;

// Offset of the first byte of the first ill-formed sequence, or text.size()
// when the whole text is valid.
std::size_t valid_utf8_prefix(std::string_view text) noexcept;

// For a text read in pieces: the length of `piece` without a multi-byte
// sequence that starts in its last three bytes and needs more bytes than it
// has (they may come with the next piece). Cut there, a text is valid
// exactly when each of its pieces, the held-back bytes put in front of the
// next, is.
std::size_t utf8_complete_prefix(std::string_view piece) noexcept;

// Appends `code_point` (at most U+10FFFF, no surrogate) as UTF-8.
void append_utf8(std::string& out, std::uint32_t code_point);

}  // namespace velmora::text
