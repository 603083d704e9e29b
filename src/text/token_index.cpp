// Block indexers: portable, SSE2 and, with GCC and Clang on x86 (chosen at
// run time, by what the processor has), AVX2 and AVX-512, each with the bit
// manipulation instructions (not on Windows, where GCC does not align the
// stack for spills of the wide registers). Each makes the same index; they
// differ in how the bytes are classified and the positions written.
#include "text/token_index.hpp"

#include <array>
#include <bit>

#include "text/bits.hpp"

#if defined(VELMORA_SSE2) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#include <immintrin.h>
#define VELMORA_WIDE_DISPATCH 1
#endif

namespace velmora::text {
namespace {

// One mask a class, bit i for byte i of a block.
struct BlockClasses {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t control = 0;     // below 0x20
  std::uint64_t whitespace = 0;  // space, tab, line feed, carriage return
  std::uint64_t structural = 0;  // '{', '}', '[', ']', ':', ','
};

BlockClasses classify_portable(const unsigned char* p) noexcept {
  BlockClasses k;
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned char c = p[i];
    const std::uint64_t bit = std::uint64_t{1} << i;
    k.quote |= c == '"' ? bit : 0;
    k.backslash |= c == '\\' ? bit : 0;
    k.control |= c < 0x20 ? bit : 0;
    k.whitespace |= c == ' ' || c == '\t' || c == '\n' || c == '\r' ? bit : 0;
    const bool structural = c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',';
    k.structural |= structural ? bit : 0;
  }
  return k;
}

// The prefix XOR of x: bit i is the parity of bits 0 to i.
VELMORA_ALWAYS_INLINE std::uint64_t prefix_xor(std::uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The bytes of the block that a backslash escapes: every backslash is looked
// at in turn (backslashes are rare).
std::uint64_t escaped_bytes(std::uint64_t backslash, TokenScan& scan) noexcept {
  std::uint64_t escaped = scan.escaped;
  scan.escaped = 0;
  for (std::uint64_t rest = backslash; rest != 0; rest &= rest - 1) {
    const std::uint64_t bit = rest & (0 - rest);
    if ((escaped & bit) != 0) continue;  // an escaped backslash escapes nothing
    if (bit >> 63 != 0) {
      scan.escaped = 1;
    } else {
      escaped |= bit << 1;
    }
  }
  return escaped;
}

// Appends base + i for each bit i set in `bits`; returns the new end. Twelve
// entries are written whatever their number (a block of a pretty-printed text
// has 9 to 12 tokens), so that a usual block takes no branch.
template <bool kCountInstructions>
VELMORA_ALWAYS_INLINE std::uint32_t* append_positions(std::uint32_t* out, std::size_t base,
                                                      std::uint64_t bits) noexcept {
  unsigned count = 0;
  if constexpr (kCountInstructions) {
    count = static_cast<unsigned>(std::popcount(bits));
  } else {
    count = popcount64(bits);
  }
  const auto first = static_cast<std::uint32_t>(base);
  // With the top bit set the count of trailing zeros is never that of zero,
  // which the compiler would otherwise branch on.
  constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
  for (unsigned i = 0; i < 12; ++i, bits &= bits - 1)
    out[i] = first + std::countr_zero(bits | kTop);
  for (unsigned i = 12; bits != 0; ++i, bits &= bits - 1) out[i] = first + std::countr_zero(bits);
  return out + count;
}

// The token starts of one block of classes `c` at offset `base`; the
// escapes inside strings are appended to `escapes`.
VELMORA_ALWAYS_INLINE std::uint64_t block_tokens(const BlockClasses& c, std::size_t base,
                                                 TokenScan& scan,
                                                 std::uint32_t*& escapes) noexcept {
  const std::uint64_t escaped =
      (c.backslash | scan.escaped) != 0 ? escaped_bytes(c.backslash, scan) : 0;
  const std::uint64_t quotes = c.quote & ~escaped;
  const std::uint64_t in_string = prefix_xor(quotes) ^ scan.in_string;
  scan.in_string = 0 - (in_string >> 63);
  scan.control_in_string |= c.control & in_string;
  for (std::uint64_t rest = c.backslash & ~escaped & in_string; rest != 0; rest &= rest - 1) {
    *escapes++ = static_cast<std::uint32_t>(base + std::countr_zero(rest));
  }
  const std::uint64_t scalar = ~(c.structural | c.whitespace | c.quote | in_string);
  const std::uint64_t starts = scalar & ~(scalar << 1 | scan.after_scalar);
  scan.after_scalar = scalar >> 63;
  return (c.structural & ~in_string) | (quotes & in_string) | starts;
}

// Indexes one block of classes `c` at offset `base`. kCountInstructions:
// the target counts bits in one instruction.
template <bool kCountInstructions>
VELMORA_ALWAYS_INLINE TokenLists index_block(const BlockClasses& c, std::size_t base,
                                             TokenScan& scan, TokenLists out) noexcept {
  const std::uint64_t tokens = block_tokens(c, base, scan, out.escapes);
  out.tokens = append_positions<kCountInstructions>(out.tokens, base, tokens);
  return out;
}

#ifdef VELMORA_SSE2
// The classes of 16 bytes, in the low 16 bits of each mask.
VELMORA_ALWAYS_INLINE BlockClasses classify16(const unsigned char* p) noexcept {
  const __m128i v = load16(p);
  const auto mask = [](__m128i m) { return static_cast<std::uint64_t>(_mm_movemask_epi8(m)); };
  const auto is = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  // '[' and ']' with bit 5 set are '{' and '}'; no other byte becomes either.
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i brackets = _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                        _mm_cmpeq_epi8(folded, _mm_set1_epi8('}')));
  BlockClasses k;
  k.quote = mask(is('"'));
  k.backslash = mask(is('\\'));
  // Unsigned byte <= 0x1F: the minimum with 0x1F leaves it unchanged.
  k.control = mask(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
  k.whitespace =
      mask(_mm_or_si128(_mm_or_si128(is(' '), is('\n')), _mm_or_si128(is('\t'), is('\r'))));
  k.structural = mask(_mm_or_si128(brackets, _mm_or_si128(is(':'), is(','))));
  return k;
}

VELMORA_ALWAYS_INLINE BlockClasses classify_sse2(const unsigned char* p) noexcept {
  BlockClasses k;
  for (unsigned i = 0; i < 4; ++i) {
    const BlockClasses part = classify16(p + std::size_t{16} * i);
    const unsigned shift = 16 * i;
    k.quote |= part.quote << shift;
    k.backslash |= part.backslash << shift;
    k.control |= part.control << shift;
    k.whitespace |= part.whitespace << shift;
    k.structural |= part.structural << shift;
  }
  return k;
}

TokenLists index_blocks_sse2(const unsigned char* p, std::size_t base, std::size_t blocks,
                             TokenScan& scan, TokenLists out) noexcept {
  TokenScan s = scan;
  for (std::size_t b = 0; b < blocks; ++b, p += 64, base += 64) {
    out = index_block<false>(classify_sse2(p), base, s, out);
  }
  scan = s;
  return out;
}
#endif

#ifdef VELMORA_WIDE_DISPATCH
#define VELMORA_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))

VELMORA_AVX2 inline std::uint64_t mask32(__m256i m) noexcept {
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(m))};
}

VELMORA_AVX2 inline __m256i bytes_equal(__m256i v, char c) noexcept {
  return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
}

// The bytes of v that have none of `bits` set.
VELMORA_AVX2 inline __m256i none_of(__m256i v, char bits) noexcept {
  return _mm256_cmpeq_epi8(_mm256_and_si256(v, _mm256_set1_epi8(bits)), _mm256_setzero_si256());
}

// The classes of 32 bytes, in the low 32 bits of each mask. Whitespace and
// structural bytes come from two lookups, by the low and the high half of
// each byte, whose results share a bit only for those bytes: bit 0 ',', bit
// 1 ':', bit 2 brackets and braces ('[' ']' '{' '}': high half 5 or 7, low B
// or D), bit 3 space, bit 4 tab, line feed and carriage return.
VELMORA_AVX2 inline BlockClasses classify32(const unsigned char* p) noexcept {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i by_low = _mm256_setr_epi8(8, 0, 0, 0, 0, 0, 0, 0, 0, 16, 18, 4, 1, 20, 0, 0,  //
                                          8, 0, 0, 0, 0, 0, 0, 0, 0, 16, 18, 4, 1, 20, 0, 0);
  const __m256i by_high = _mm256_setr_epi8(16, 0, 9, 2, 0, 4, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                           16, 0, 9, 2, 0, 4, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i low = _mm256_and_si256(v, nibble);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
  const __m256i classes =
      _mm256_and_si256(_mm256_shuffle_epi8(by_low, low), _mm256_shuffle_epi8(by_high, high));
  BlockClasses k;
  k.quote = mask32(bytes_equal(v, '"'));
  k.backslash = mask32(bytes_equal(v, '\\'));
  k.control = mask32(_mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v));
  k.whitespace = ~mask32(none_of(classes, 0x18)) & 0xFFFFFFFFu;
  k.structural = ~mask32(none_of(classes, 0x07)) & 0xFFFFFFFFu;
  return k;
}

VELMORA_AVX2 TokenLists index_blocks_avx2(const unsigned char* p, std::size_t base,
                                          std::size_t blocks, TokenScan& scan,
                                          TokenLists out) noexcept {
  TokenScan s = scan;
  for (std::size_t b = 0; b < blocks; ++b, p += 64, base += 64) {
    const BlockClasses low = classify32(p);
    const BlockClasses high = classify32(p + 32);
    const BlockClasses c{low.quote | high.quote << 32, low.backslash | high.backslash << 32,
                         low.control | high.control << 32, low.whitespace | high.whitespace << 32,
                         low.structural | high.structural << 32};
    out = index_block<true>(c, base, s, out);
  }
  scan = s;
  return out;
}

// AVX-512 (with byte compression): one register a block, the masks made in
// mask registers, and a block's token positions packed by one compression of
// the byte offsets 0 to 63.
#define VELMORA_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,popcnt")))

// A 16-byte table four times over: pshufb looks up within each 16 bytes.
constexpr std::array<std::uint8_t, 64> four_times(const std::array<std::uint8_t, 16>& table) {
  std::array<std::uint8_t, 64> out{};
  for (std::size_t i = 0; i < 64; ++i) out[i] = table[i % 16];
  return out;
}
alignas(64) constexpr std::array<std::uint8_t, 64> kByLow = four_times({8, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                        16, 18, 4, 1, 20, 0, 0});
alignas(64) constexpr std::array<std::uint8_t, 64> kByHigh = four_times({16, 0, 9, 2, 0, 4, 0, 4, 0,
                                                                         0, 0, 0, 0, 0, 0, 0});

constexpr std::array<std::uint8_t, 64> make_offsets() {
  std::array<std::uint8_t, 64> out{};
  for (std::size_t i = 0; i < 64; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}
alignas(64) constexpr std::array<std::uint8_t, 64> kOffsets = make_offsets();

VELMORA_AVX512 inline BlockClasses classify64_avx512(const unsigned char* p) noexcept {
  const __m512i v = _mm512_loadu_si512(p);
  const __m512i by_low = _mm512_load_si512(kByLow.data());
  const __m512i by_high = _mm512_load_si512(kByHigh.data());
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i classes = _mm512_and_si512(
      _mm512_shuffle_epi8(by_low, _mm512_and_si512(v, nibble)),
      _mm512_shuffle_epi8(by_high, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble)));
  BlockClasses k;
  k.quote = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"'));
  k.backslash = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
  k.control = _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F));
  k.whitespace = _mm512_test_epi8_mask(classes, _mm512_set1_epi8(0x18));
  k.structural = _mm512_test_epi8_mask(classes, _mm512_set1_epi8(0x07));
  return k;
}

// base + the 16 bytes at `offsets`, as 16 positions at out.
VELMORA_AVX512 inline void store_positions(std::uint32_t* out, __m512i base,
                                           const std::uint8_t* offsets) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(offsets));
  _mm512_storeu_si512(out, _mm512_add_epi32(base, _mm512_maskz_cvtepu8_epi32(0xFFFF, bytes)));
}

// The offsets base + i of the bits i set: the offsets i packed into the
// low bytes of a register, then widened 16 at a time (16 are written
// whatever their number: kTokenListSlack).
VELMORA_AVX512 inline std::uint32_t* append_positions_avx512(std::uint32_t* out, std::size_t base,
                                                             std::uint64_t bits) noexcept {
  const auto count = static_cast<unsigned>(std::popcount(bits));
  alignas(64) std::uint8_t packed[64];
  _mm512_store_si512(packed, _mm512_maskz_compress_epi8(bits, _mm512_load_si512(kOffsets.data())));
  const __m512i first = _mm512_set1_epi32(static_cast<int>(base));
  store_positions(out, first, packed);
  // A block has more than 16 tokens only where it is dense with them.
  for (unsigned i = 16; i < count; i += 16) store_positions(out + i, first, packed + i);
  return out + count;
}

VELMORA_AVX512 TokenLists index_blocks_avx512(const unsigned char* p, std::size_t base,
                                              std::size_t blocks, TokenScan& scan,
                                              TokenLists out) noexcept {
  TokenScan s = scan;
  for (std::size_t b = 0; b < blocks; ++b, p += 64, base += 64) {
    const BlockClasses c = classify64_avx512(p);
    const std::uint64_t tokens = block_tokens(c, base, s, out.escapes);
    out.tokens = append_positions_avx512(out.tokens, base, tokens);
  }
  scan = s;
  return out;
}

bool has_avx512() noexcept {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("popcnt");
}

bool has_avx2() noexcept {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}
#endif

struct Indexers {
  std::array<IndexBlocks, 4> all{};
  std::size_t count = 0;

  Indexers() noexcept {
    all[count++] = portable::index_blocks;
#ifdef VELMORA_SSE2
    all[count++] = index_blocks_sse2;
#endif
#ifdef VELMORA_WIDE_DISPATCH
    if (has_avx2()) all[count++] = index_blocks_avx2;
    if (has_avx512()) all[count++] = index_blocks_avx512;
#endif
  }
};

const Indexers& indexers() noexcept {
  static const Indexers found;
  return found;
}

}  // namespace

namespace portable {

TokenLists index_blocks(const unsigned char* p, std::size_t base, std::size_t blocks,
                        TokenScan& scan, TokenLists out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, p += 64, base += 64) {
    out = index_block<false>(classify_portable(p), base, scan, out);
  }
  return out;
}

}  // namespace portable

IndexBlocks block_indexer() noexcept {
  const Indexers& found = indexers();
  return found.all[found.count - 1];
}

std::span<const IndexBlocks> block_indexers() noexcept {
  const Indexers& found = indexers();
  return {found.all.data(), found.count};
}

}  // namespace velmora::text
