// The streamed JSON check (json_document_accepted): a structural index of the
// text (text/token_index.hpp), taken by a descent that follows the grammar
// from one token to the next. A control byte inside a string, or an invalid
// escape, fails the text whatever its structure; of the other tokens only
// scalars (numbers, true, false, null) have their bytes read, and each must
// end at whitespace, a structural byte or a quote.
//
// The text comes in windows. The last token of a window is never taken: it
// may go on in the next one. The next window starts at its first byte, where
// the index starts afresh (outside a string, after no scalar byte): so the
// check accepts exactly what the whole text's check accepts.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "documents/json/json_bytes.hpp"
#include "documents/json/json_check.hpp"
#include "documents/json/json_number.hpp"
#include "documents/json/json_scanner.hpp"
#include "text/bits.hpp"
#include "text/token_index.hpp"

namespace velmora::documents {
namespace {

// The bytes a scalar starts with: those of numbers, true, false and null.
constexpr std::array<bool, 256> make_scalar_starts() {
  std::array<bool, 256> table{};
  for (const unsigned char c :
       {'t', 'f', 'n', '-', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'})
    table[c] = true;
  return table;
}
constexpr std::array<bool, 256> kScalarStart = make_scalar_starts();

// Bytes a scalar may end at: whitespace, structural bytes and quotes.
constexpr std::array<bool, 256> make_scalar_ends() {
  std::array<bool, 256> table{};
  for (const unsigned char c : {' ', '\t', '\n', '\r', '{', '}', '[', ']', ':', ',', '"'})
    table[c] = true;
  return table;
}
constexpr std::array<bool, 256> kScalarEnd = make_scalar_ends();

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The number of ASCII digits from q on, eight bytes a step: a byte's top bit
// marks a byte above '9' (or above 0x7F) or below '0', with no carry between
// bytes. The window's padding ends every run.
inline std::size_t digits_at(const unsigned char* q) {
  constexpr std::uint64_t kTops = 0x8080808080808080ULL, kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  std::size_t n = 0;
  for (;;) {
    const std::uint64_t w = text::load8(q + n);
    const std::uint64_t low = w & kLow7;
    const std::uint64_t non_digits =
        (w | (low + 0x4646464646464646ULL) | ~(low + 0x5050505050505050ULL)) & kTops;
    if (non_digits != 0) {
      // Bytes are in text order from the lowest (the load is little-endian).
      const unsigned first = std::endian::native == std::endian::little
                                 ? std::countr_zero(non_digits)
                                 : std::countl_zero(non_digits);
      return n + first / 8;
    }
    n += 8;
  }
}

// Whether the number at p[pos] (a "-" or a digit) is well formed, in the
// range of a double, and ends where a scalar may.
bool number_ok(const unsigned char* p, std::size_t pos) {
  const unsigned char* q = p + pos;
  q += *q == '-';
  const unsigned char* const int_begin = q;
  const std::size_t int_digits = digits_at(q);
  // A leading zero stands alone.
  if (int_digits == 0 || (*q == '0' && int_digits > 1)) return false;
  q += int_digits;
  const unsigned char* frac_begin = q;
  const unsigned char* frac_end = q;
  // The digits after a "." are counted whether it is there or not: a
  // branch on it would go either way at random.
  const bool point = *q == '.';
  const std::size_t frac_digits = digits_at(q + 1);
  if (point) {
    if (frac_digits == 0) return false;
    frac_begin = q + 1;
    q += 1 + frac_digits;
    frac_end = q;
  }
  std::int64_t exponent = 0;
  if ((*q | 0x20) == 'e') {
    ++q;
    const bool negative = *q == '-';
    q += *q == '-' || *q == '+';
    if (!is_digit(*q)) return false;
    for (; is_digit(*q); ++q) {
      if (exponent < json_number::kExponentCap) exponent = exponent * 10 + (*q - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (!kScalarEnd[*q]) return false;
  const std::int64_t highest_order = static_cast<std::int64_t>(int_digits) - 1 + exponent;
  return highest_order < json_number::kOverflowOrder ||
         json_number::in_range(p, int_begin - p, int_begin - p + int_digits, frac_begin - p,
                               frac_end - p, exponent);
}

// The usual number: no exponent, and its end within the 16 bytes from its
// start. Its parts are found in the masks of those bytes, with no branch on
// them (the shape of numbers changes at random from one value to the next);
// any other number goes to number_ok().
VELMORA_ALWAYS_INLINE bool short_number_ok(const unsigned char* p, std::size_t pos) {
  const unsigned char* const q = p + pos;
  unsigned digits = 0, points = 0;
  if constexpr (json_scan::kBlockScan) {
    digits = text::digit_mask16(q);
    points = text::byte_mask16(q, '.');
  } else {
    digits = text::portable::digit_mask16(q);
    points = text::portable::byte_mask16(q, '.');
  }
  // Set from bit 16 on, so that no run of digits goes past the 16 bytes: the
  // offsets below stay under 18 (the "& 31" says so to the analyser).
  const unsigned non_digits = ~digits;
  const unsigned int_begin = q[0] == '-' ? 1 : 0;
  const unsigned int_end = int_begin + std::countr_zero(non_digits >> int_begin);
  const bool point = ((points >> (int_end & 31)) & 1) != 0;
  const unsigned frac_begin = int_end + (point ? 1 : 0);
  const unsigned frac_end =
      point ? frac_begin + std::countr_zero(non_digits >> (frac_begin & 31)) : int_end;
  const unsigned char next = q[frac_end];
  if (frac_end >= 16 || (next | 0x20) == 'e') return number_ok(p, pos);
  // A leading zero stands alone; a "." needs a digit after it.
  const bool leading_zero = q[int_begin] == '0' && int_end - int_begin > 1;
  const bool empty_fraction = point && frac_end == frac_begin;
  return (int_end != int_begin) & !leading_zero & !empty_fraction & kScalarEnd[next];
}

// Whether the scalar at p[pos] is a number, true, false or null that ends
// where a scalar may.
VELMORA_ALWAYS_INLINE bool scalar_ok(const unsigned char* p, std::size_t pos) {
  const unsigned char* q = p + pos;
  switch (*q) {
    case 't':
      return std::memcmp(q, "true", 4) == 0 && kScalarEnd[q[4]];
    case 'f':
      return std::memcmp(q, "false", 5) == 0 && kScalarEnd[q[5]];
    case 'n':
      return std::memcmp(q, "null", 4) == 0 && kScalarEnd[q[4]];
    default:
      return short_number_ok(p, pos);
  }
}

// The escapes of one window's strings, checked in order.
class EscapeCheck {
 public:
  // `p` holds the window's `n` bytes; `last` when the text ends with them.
  EscapeCheck(const unsigned char* p, std::size_t n, bool last) : p_(p), n_(n), last_(last) {}

  // Checks the escapes led by the backslashes at the offsets [at, end).
  void check(const std::uint32_t* at, const std::uint32_t* end) {
    for (; at != end; ++at) {
      if (*at < pair_end_) continue;  // the second half of a surrogate pair, already checked
      const int length = escape_length(*at);
      if (length == 0 || (length < 0 && last_)) failed_ = true;
      if (length > 6) pair_end_ = *at + static_cast<std::size_t>(length);
    }
  }

  bool failed() const { return failed_; }

 private:
  // The length of the escape at the backslash p_[at]: 2, 6, or 12 for a
  // surrogate pair; 0 when it is invalid, -1 when the window ends first (it
  // is then checked again from the next window).
  int escape_length(std::size_t at) const {
    if (at + 1 >= n_) return -1;
    if (json_bytes::is_short_escape(p_[at + 1])) return 2;
    if (p_[at + 1] != 'u') return 0;
    const long code = hex4(at + 2);
    if (code < 0) return code == kCut ? -1 : 0;
    if (code >= 0xDC00 && code <= 0xDFFF) return 0;  // a low surrogate alone
    if (code < 0xD800 || code > 0xDBFF) return 6;
    // A high surrogate: the escape of a low one must follow at once.
    if (at + 7 >= n_) return -1;
    if (p_[at + 6] != '\\' || p_[at + 7] != 'u') return 0;
    const long low = hex4(at + 8);
    if (low < 0) return low == kCut ? -1 : 0;
    return low >= 0xDC00 && low <= 0xDFFF ? 12 : 0;
  }

  // The value of the four hex digits from p_[at] on; kInvalid when one is
  // not a hex digit, kCut when the window ends first (only the digits before
  // its end are judged).
  static constexpr long kInvalid = -2, kCut = -1;
  long hex4(std::size_t at) const {
    long code = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
      if (i >= n_) return kCut;
      const int v = json_bytes::hex_value(p_[i]);
      if (v < 0) return kInvalid;
      code = code * 16 + v;
    }
    return code;
  }

  const unsigned char* p_;
  std::size_t n_;
  bool last_;
  std::size_t pair_end_ = 0;  // the end of the last surrogate pair checked
  bool failed_ = false;
};

// The tokens of a text, read in windows, and the check that takes them. The
// window holds the text from the first byte of the token that ends it (which
// may go on past it), and grows, doubling, only for a token longer than
// itself. Its index is made a chunk of blocks at a time, as it is taken.
//
// The check is a descent: a function a kind of container, the container's
// state held by where it runs, so that each step is a branch the processor
// can predict. A cursor points at the index entry of the current token; a
// step past the last entry that may be taken makes the next ones (refill()).
class IndexedCheck {
 public:
  IndexedCheck(TextSource& source, std::size_t window_size)
      : source_(source),
        capacity_(std::max<std::size_t>(window_size, 1)),
        window_(capacity_ + kPadding),
        index_(kChunkBlocks * 64 + 1 + text::kTokenListSlack),
        escapes_(kChunkBlocks * 64),
        end_(index_.data()),
        escape_check_(window_.data(), 0, false) {}

  bool run() {
    const std::uint32_t* const at = value(refill(), 0);
    return at != nullptr && *at == size_ && ended_ && !failed_;
  }

 private:
  // The index is made this many blocks at a time.
  static constexpr std::size_t kChunkBlocks = 256;
  // Spaces after the window's bytes: the last block is whole, and a scan of
  // a scalar at the text's end stops there. At the text's end the cursor
  // points at them: they are no token.
  static constexpr std::size_t kPadding = 64;
  // At most 127 arrays and objects are open at once.
  static constexpr unsigned kMostOpen = 127;

  unsigned char byte(const std::uint32_t* at) const { return window_[*at]; }

  VELMORA_ALWAYS_INLINE const std::uint32_t* step(const std::uint32_t* at) {
    return at + 1 != end_ ? at + 1 : refill();
  }

  // At a value's first token: the cursor after the value, or null. Strings
  // and scalars are taken in the caller's loop, containers by a call.
  VELMORA_ALWAYS_INLINE const std::uint32_t* value(const std::uint32_t* at, unsigned depth) {
    const unsigned char c = byte(at);
    if (c == '"') return step(at);
    if (kScalarStart[c]) return scalar_ok(window_.data(), *at) ? step(at) : nullptr;
    if (depth == kMostOpen) return nullptr;
    if (c == '[') return array(step(at), depth + 1);
    return c == '{' ? object(step(at), depth + 1) : nullptr;
  }

  // After "[": the cursor after the array, or null.
  const std::uint32_t* array(const std::uint32_t* at, unsigned depth) {
    if (byte(at) == ']') return step(at);
    for (;;) {
      at = value(at, depth);
      if (at == nullptr) return nullptr;
      const unsigned char c = byte(at);
      if (c != ',') return c == ']' ? step(at) : nullptr;
      at = step(at);
    }
  }

  // After "{": the cursor after the object, or null.
  const std::uint32_t* object(const std::uint32_t* at, unsigned depth) {
    if (byte(at) == '}') return step(at);
    for (;;) {
      if (byte(at) != '"') return nullptr;  // a member name
      at = step(at);
      if (byte(at) != ':') return nullptr;
      at = value(step(at), depth);
      if (at == nullptr) return nullptr;
      const unsigned char c = byte(at);
      if (c != ',') return c == '}' ? step(at) : nullptr;
      at = step(at);
    }
  }

  // Makes the next entries of the index that may be taken, and returns a
  // cursor at the first: the next chunk of the window, or of the next
  // window. At the text's end (or once the text cannot be had), an entry at
  // the padding.
  const std::uint32_t* refill() {
    std::uint32_t* const index = index_.data();
    for (;;) {
      std::size_t count = 0;
      if (held_) index[count++] = *end_;
      held_ = false;
      if (indexed_ < size_ && !failed_) {
        count = index_chunk(index + count) - index;
        // The window's last token may go on in the next one: it is held.
        if (count != 0 && !(last_ && indexed_ >= size_)) held_ = true;
        end_ = index + count - (held_ ? 1 : 0);
        if (end_ != index) return index;
        continue;
      }
      if (last_ || failed_) {
        ended_ = true;
        index[0] = static_cast<std::uint32_t>(size_);
        end_ = index + 1;
        return index;
      }
      next_window(count != 0 ? index[0] : size_);
    }
  }

  // Indexes the next chunk of the window into `out`; returns the end.
  std::uint32_t* index_chunk(std::uint32_t* out) {
    const std::size_t blocks = std::min(kChunkBlocks, (size_ - indexed_ + 63) / 64);
    const text::TokenLists lists =
        index_blocks_(window_.data() + indexed_, indexed_, blocks, scan_, {out, escapes_.data()});
    escape_check_.check(escapes_.data(), lists.escapes);
    indexed_ += blocks * 64;
    if (indexed_ >= size_) {
      failed_ = failed_ || escape_check_.failed() || scan_.control_in_string != 0 ||
                (last_ && scan_.in_string != 0);
    }
    return lists.tokens;
  }

  // Moves the window on to `keep` (or doubles it when that is its start) and
  // fills it; the index starts afresh there.
  void next_window(std::size_t keep) {
    if (keep == 0 && size_ != 0) {
      // Offsets in the window are 32-bit.
      if (capacity_ > (std::size_t{1} << 30)) {
        failed_ = true;
        return;
      }
      capacity_ *= 2;
      window_.resize(capacity_ + kPadding);
    } else {
      std::memmove(window_.data(), window_.data() + keep, size_ - keep);
      size_ -= keep;
    }
    while (!last_ && size_ < capacity_) {
      std::size_t got = 0;
      if (!source_.read(window_.data() + size_, capacity_ - size_, got)) {
        failed_ = true;
        break;
      }
      last_ = got == 0;
      size_ += got;
    }
    std::memset(window_.data() + size_, ' ', kPadding);
    scan_ = {};
    escape_check_ = EscapeCheck(window_.data(), size_, last_);
    indexed_ = 0;
  }

  TextSource& source_;
#ifdef VELMORA_JSON_BYTEWISE
  const text::IndexBlocks index_blocks_ = text::portable::index_blocks;
#else
  const text::IndexBlocks index_blocks_ = text::block_indexer();
#endif
  std::size_t capacity_;  // of the window, less the padding
  std::size_t size_ = 0;  // bytes in the window
  bool last_ = false;     // the window ends the text
  std::vector<unsigned char> window_;
  std::vector<std::uint32_t> index_;
  std::vector<std::uint32_t> escapes_;
  std::uint32_t* end_;       // past the index entries that may be taken
  bool held_ = false;        // *end_ is the window's last token, not yet to be taken
  std::size_t indexed_ = 0;  // the window's bytes indexed so far
  text::TokenScan scan_;
  EscapeCheck escape_check_;
  bool ended_ = false;   // the whole text is indexed
  bool failed_ = false;  // the text is not one value, or could not be had
};

}  // namespace

bool json_document_accepted(TextSource& source, std::size_t window_size) {
  try {
    IndexedCheck check(source, window_size);
    return check.run();
  } catch (...) {  // out of memory: the whole read decides, and says so
    return false;
  }
}

}  // namespace velmora::documents
