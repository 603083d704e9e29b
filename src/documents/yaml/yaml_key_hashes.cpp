#include "documents/yaml/yaml_key_hashes.hpp"

#include <array>
#include <bit>

namespace velmora::documents::yaml {

bool KeyHashes::close() {
  const std::size_t mark = marks_.back();
  marks_.pop_back();
  const std::uint64_t* h = hashes_.data() + mark;
  const std::size_t n = hashes_.size() - mark;
  bool distinct = true;
  if (n <= 16) {  // pairwise
    for (std::size_t i = 1; i < n && distinct; ++i) {
      for (std::size_t j = 0; j < i; ++j) distinct = distinct && h[i] != h[j];
    }
  } else {
    distinct = n <= kDirectLimit ? distinct_in_set(h, n) : distinct_partitioned(h, n);
  }
  hashes_.resize(mark);
  return distinct;
}

// Linear probing by the low bits (parts are given by the top ones); 0 marks
// an empty slot, so a hash of 0 is counted aside.
bool KeyHashes::distinct_in_set(const std::uint64_t* hashes, std::size_t n) {
  const std::size_t mask = std::bit_ceil(2 * n) - 1;
  set_.assign(mask + 1, 0);
  bool zero = false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t h = hashes[i];
    if (h == 0) {
      if (zero) return false;
      zero = true;
      continue;
    }
    std::size_t s = static_cast<std::size_t>(h) & mask;
    for (; set_[s] != 0; s = (s + 1) & mask) {
      if (set_[s] == h) return false;
    }
    set_[s] = h;
  }
  return true;
}

// A counting sort by the top bits into the spare, then each part through
// the set. Hashes are keyed, so the parts come out about even.
bool KeyHashes::distinct_partitioned(const std::uint64_t* hashes, std::size_t n) {
  constexpr unsigned kPartBits = 8;
  constexpr unsigned kShift = 64 - kPartBits;
  std::array<std::size_t, (std::size_t{1} << kPartBits) + 1> starts{};
  for (std::size_t i = 0; i < n; ++i) ++starts[(hashes[i] >> kShift) + 1];
  for (std::size_t p = 1; p < starts.size(); ++p) starts[p] += starts[p - 1];
  std::array<std::size_t, std::size_t{1} << kPartBits> next{};
  for (std::size_t p = 0; p < next.size(); ++p) next[p] = starts[p];
  spare_.resize(n);
  for (std::size_t i = 0; i < n; ++i) spare_[next[hashes[i] >> kShift]++] = hashes[i];
  for (std::size_t p = 0; p < next.size(); ++p) {
    if (!distinct_in_set(spare_.data() + starts[p], starts[p + 1] - starts[p])) return false;
  }
  return true;
}

}  // namespace velmora::documents::yaml
