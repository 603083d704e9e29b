// The read position of the JSON check and the runs it steps over: whitespace,
// plain string bytes and digits.
//
// Each run ends where a mask of the 64-byte block that holds the position says
// (a shift and a count of trailing zeros): the next position then follows
// from the last one in a few instructions, without a load on the way. Each
// class has its mask made when a run of it first meets a block, so that a
// text without indentation or strings makes no mask of theirs. The masks come
// from SIMD registers where the target has them; defining VELMORA_JSON_BYTEWISE
// forces the portable byte-at-a-time masks, so that the tests can cover them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "documents/json/json_bytes.hpp"
#include "text/bits.hpp"

namespace velmora::documents::json_scan {

#ifdef VELMORA_JSON_BYTEWISE
inline constexpr bool kBlockScan = false;
#else
inline constexpr bool kBlockScan = text::kSimdBlocks;
#endif

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The scanners run once per value; inlining them into the check's main loop
// (VELMORA_ALWAYS_INLINE) keeps the position and the masks in registers.
class Scanner {
 protected:
  explicit Scanner(std::string_view text) { start(text); }

  // Scans `text` from its start.
  void start(std::string_view text) {
    p_ = reinterpret_cast<const unsigned char*>(text.data());
    n_ = text.size();
    pos_ = 0;
    text_ = TextBlock{};
    digits_ = DigitBlock{};
  }

  bool at_end() const { return pos_ >= n_; }
  bool whitespace_at(std::size_t i) const {
    return i < n_ && (json_bytes::kClasses[p_[i]] & json_bytes::kWhitespace);
  }

  // Most values follow no whitespace or a single space; longer runs (line
  // breaks and indentation) end where the block's mask says.
  VELMORA_ALWAYS_INLINE void skip_whitespace() {
    if (!whitespace_at(pos_)) return;
    ++pos_;
    if (!whitespace_at(pos_)) return;
    skip_until<kWhitespace, text_ends>(text_);
  }

  // Steps over plain string bytes up to the next '"', '\\' or control
  // character, or to the end of the text.
  VELMORA_ALWAYS_INLINE void skip_plain_string_bytes() {
    skip_until<kStringBytes, text_ends>(text_);
  }

  // Steps over a run of ASCII digits.
  VELMORA_ALWAYS_INLINE void skip_digits() { skip_until<kDigits, digit_ends>(digits_); }

  const unsigned char* p_ = nullptr;
  std::size_t n_ = 0;
  std::size_t pos_ = 0;

 private:
  // Where runs end in the 64 bytes from `base` on: a mask a class. A base of
  // -64 makes the masks at the first use.
  template <std::size_t kClasses>
  struct Block {
    using Ends = std::array<std::uint64_t, kClasses>;
    std::size_t base = ~std::size_t{63};
    Ends ends{};
  };
  // Whitespace and plain string bytes (both runs of a pretty-printed text),
  // and digits.
  using TextBlock = Block<2>;
  using DigitBlock = Block<1>;
  static constexpr std::size_t kWhitespace = 0, kStringBytes = 1, kDigits = 0;

  // Steps to the first byte from pos_ on that ends a run of class kClass, as
  // kEnds says of the 64 bytes at a position; the padding past the text's end
  // ends every run. The block after the current one is the usual next, and
  // its start does not wait for pos_.
  template <std::size_t kClass, auto kEnds, std::size_t kClasses>
  VELMORA_ALWAYS_INLINE void skip_until(Block<kClasses>& block) {
    for (;;) {
      const std::size_t ahead = pos_ - block.base;
      if (ahead >= 64) {
        if (ahead < 128) {
          block.base += 64;
        } else {
          block.base = pos_ & ~std::size_t{63};
        }
        block.ends = ends_at<kEnds>(block.base);
      }
      const std::uint64_t rest = block.ends[kClass] >> (pos_ - block.base);
      if (rest != 0) {
        pos_ += static_cast<std::size_t>(std::countr_zero(rest));
        return;
      }
      pos_ = block.base + 64;
    }
  }

  // kEnds of the 64 bytes from `at` on; past the text's end, of NUL bytes
  // (a control character: no whitespace, digit or plain string byte).
  template <auto kEnds>
  auto ends_at(std::size_t at) const {
    if (n_ - at >= 64) return kEnds(p_ + at);
    std::array<unsigned char, 64> block{};
    if (n_ != at) std::memcpy(block.data(), p_ + at, n_ - at);
    return kEnds(block.data());
  }

  static TextBlock::Ends text_ends(const unsigned char* p) noexcept {
    if constexpr (kBlockScan) {
      return {~text::mask64<text::whitespace_mask16>(p), text::mask64<text::string_stop_mask16>(p)};
    }
    return {~text::mask64<text::portable::whitespace_mask16>(p),
            text::mask64<text::portable::string_stop_mask16>(p)};
  }
  static DigitBlock::Ends digit_ends(const unsigned char* p) noexcept {
    if constexpr (kBlockScan) return {~text::mask64<text::digit_mask16>(p)};
    return {~text::mask64<text::portable::digit_mask16>(p)};
  }

  TextBlock text_;
  DigitBlock digits_;
};

}  // namespace velmora::documents::json_scan
