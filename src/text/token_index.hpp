// The structural index of a JSON text, made 64 bytes at a time: where each
// token starts, found from masks of the bytes' classes with bit arithmetic
// only, without a step per byte.
//
// A token starts at each '{', '}', '[', ']', ':' and ',' outside strings, at
// each opening quote, and at the first byte of each scalar: a run of bytes
// outside strings that are neither whitespace, structural bytes nor quotes.
// A backslash escapes the byte after it unless it is escaped itself; the
// bytes from an unescaped quote up to the next one are inside a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::text {

// What one block hands to the next (a fresh scan starts outside a string,
// after no scalar byte).
struct TokenScan {
  std::uint64_t in_string = 0;          // all ones when the last block ended inside a string
  std::uint64_t after_scalar = 0;       // 1 when the last block ended with a scalar byte
  std::uint64_t escaped = 0;            // 1 when the next block's first byte is escaped
  std::uint64_t control_in_string = 0;  // nonzero once a control byte was inside a string
};

// Where the index goes: token starts, and the backslashes inside strings that
// lead an escape (for the caller to check).
struct TokenLists {
  std::uint32_t* tokens;
  std::uint32_t* escapes;
};

// The entries a list may be written past its new end.
inline constexpr std::size_t kTokenListSlack = 16;

// Indexes the `blocks` 64-byte blocks from p on (all readable), p being at
// offset `base`: appends the offsets to the lists and returns their new ends.
using IndexBlocks = TokenLists (*)(const unsigned char* p, std::size_t base, std::size_t blocks,
                                   TokenScan& scan, TokenLists out) noexcept;

// The fastest indexer the running processor has (asked once).
IndexBlocks block_indexer() noexcept;

// Every indexer this build has that the running processor can run, the
// portable one first: the tests hold each to the same index.
std::span<const IndexBlocks> block_indexers() noexcept;

namespace portable {
TokenLists index_blocks(const unsigned char* p, std::size_t base, std::size_t blocks,
                        TokenScan& scan, TokenLists out) noexcept;
}  // namespace portable

}  // namespace velmora::text
