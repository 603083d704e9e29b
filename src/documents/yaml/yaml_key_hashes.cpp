#include "documents/yaml/yaml_key_hashes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>

namespace velmora::documents::yaml {

void KeyHashes::next_chunk() {
  const std::uint64_t index = size_ >> kChunkBits;
  if (index == chunks_.size())
    chunks_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(kChunk));
  next_ = chunks_[index].get();
  end_ = next_ + kChunk;
}

void KeyHashes::truncate(std::uint64_t size) {
  size_ = size;
  const std::uint64_t index = size >> kChunkBits;
  if (index < chunks_.size()) {
    next_ = chunks_[index].get() + (size & (kChunk - 1));
    end_ = chunks_[index].get() + kChunk;
    // Chunks past the top are freed, but for one spare.
    if (chunks_.size() > index + 2) chunks_.resize(index + 2);
  } else {
    next_ = end_ = nullptr;  // the top is a chunk boundary not yet allocated
  }
}

bool KeyHashes::pop_distinct(std::uint64_t mark) {
  const std::uint64_t n = size_ - mark;
  bool distinct = true;
  if (n <= 16) {
    distinct = n < 2 || distinct_small(mark, size_);
  } else if (n <= kDirectLimit) {
    distinct = distinct_in_set(mark, size_);
  } else {
    distinct = distinct_partitioned(mark, size_);
  }
  truncate(mark);
  return distinct;
}

bool KeyHashes::distinct_small(std::uint64_t begin, std::uint64_t end) {
  std::array<std::uint64_t, 16> h{};
  const auto n = static_cast<std::size_t>(end - begin);
  for (std::size_t i = 0; i < n; ++i) h[i] = at(begin + i);
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (h[i] == h[j]) return false;
    }
  }
  return true;
}

// Linear probing by the low bits (partitioning uses the top ones); 0 marks an
// empty slot, so a hash of 0 is counted aside.
bool KeyHashes::distinct_in_set(std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t n = end - begin;
  const std::size_t capacity = std::bit_ceil(static_cast<std::size_t>(2 * n));
  const std::size_t mask = capacity - 1;
  set_.assign(capacity, 0);
  std::uint64_t* set = set_.data();
  bool zero = false;
  for (std::uint64_t i = begin; i < end; ++i) {
    const std::uint64_t h = at(i);
    if (h == 0) {
      if (zero) return false;
      zero = true;
      continue;
    }
    std::size_t s = static_cast<std::size_t>(h) & mask;
    while (set[s] != 0) {
      if (set[s] == h) return false;
      s = (s + 1) & mask;
    }
    set[s] = h;
  }
  return true;
}

// In-place partition by the top `bits` bits (each element moves once, along
// cycles), then each part through the set. Hashes are keyed, so the parts
// come out about even.
bool KeyHashes::distinct_partitioned(std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t n = end - begin;
  const unsigned bits = std::min(
      16u,
      static_cast<unsigned>(std::bit_width(n / (kDirectLimit / 2))));  // parts of ~kDirectLimit/2
  const unsigned shift = 64 - bits;
  const std::size_t parts = std::size_t{1} << bits;
  std::vector<std::uint64_t> head(parts + 1, 0), tail(parts, 0);
  for (std::uint64_t i = begin; i < end; ++i) ++head[(at(i) >> shift) + 1];
  head[0] = begin;
  for (std::size_t p = 1; p <= parts; ++p) head[p] += head[p - 1];
  for (std::size_t p = 0; p < parts; ++p) tail[p] = head[p + 1];
  const std::vector<std::uint64_t> start(head.begin(), head.end());
  for (std::size_t p = 0; p < parts; ++p) {
    while (head[p] < tail[p]) {
      std::uint64_t v = at(head[p]);
      for (std::size_t d = v >> shift; d != p; d = v >> shift) std::swap(v, at(head[d]++));
      at(head[p]++) = v;
    }
  }
  for (std::size_t p = 0; p < parts; ++p) {
    if (start[p + 1] - start[p] > 1 && !distinct_in_set(start[p], start[p + 1])) return false;
  }
  return true;
}

}  // namespace velmora::documents::yaml
