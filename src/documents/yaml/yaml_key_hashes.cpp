#include "documents/yaml/yaml_key_hashes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace velmora::documents::yaml {

// Called when the current chunk is full (or none is there yet). A full chunk
// that holds keys of the innermost open mapping only is partitioned now: it
// is still in cache, and whatever pops it pops the whole chunk.
void KeyHashes::next_chunk() {
  const std::uint64_t index = size_ >> kChunkBits;
  if (index > 0 && !marks_.empty() && marks_.back() <= (index - 1) * kChunk) {
    Chunk& full = chunks_[index - 1];
    if (!full.parts) full.parts = std::make_unique<PartStarts>();
    partition(full.hashes.get(), kChunk, *full.parts);
    partitioned_end_ = index;
  }
  if (index == chunks_.size())
    chunks_.emplace_back().hashes = std::make_unique_for_overwrite<std::uint64_t[]>(kChunk);
  next_ = chunks_[index].hashes.get();
  end_ = next_ + kChunk;
}

void KeyHashes::truncate(std::uint64_t size) {
  size_ = size;
  const std::uint64_t index = size >> kChunkBits;
  // From the new top on, no chunk is partitioned any more.
  for (; partitioned_end_ > index; --partitioned_end_) chunks_[partitioned_end_ - 1].parts.reset();
  if (index < chunks_.size()) {
    next_ = chunks_[index].hashes.get() + (size & (kChunk - 1));
    end_ = chunks_[index].hashes.get() + kChunk;
    // Chunks past the top are freed, but for one spare.
    if (chunks_.size() > index + 2) chunks_.resize(index + 2);
  } else {
    next_ = end_ = nullptr;  // the top is a chunk boundary not yet allocated
  }
}

// Calls f(chunk index, first hash, count) for the piece of [begin, end) in
// each chunk it covers, in order.
template <typename F>
void KeyHashes::for_each_piece(std::uint64_t begin, std::uint64_t end, F f) {
  for (std::uint64_t pos = begin; pos < end;) {
    const std::uint64_t c = pos >> kChunkBits;
    const std::uint64_t stop = std::min(end, (c + 1) << kChunkBits);
    f(c, &at(pos), static_cast<std::uint32_t>(stop - pos));
    pos = stop;
  }
}

bool KeyHashes::close() {
  const std::uint64_t mark = marks_.back();
  marks_.pop_back();
  const std::uint64_t n = size_ - mark;
  bool distinct = true;
  if (n > kDirectLimit) {
    distinct = distinct_partitioned(mark, size_);
  } else if (n > 1) {
    // The keys' pieces in each chunk they cover (at most three).
    std::array<const std::uint64_t*, 3> data{};
    std::array<std::uint32_t, 3> counts{};
    std::size_t pieces = 0;
    for_each_piece(mark, size_, [&](std::uint64_t, const std::uint64_t* h, std::uint32_t count) {
      data[pieces] = h;
      counts[pieces++] = count;
    });
    // Pairwise while few and in one chunk (a few keys across two go through the set).
    distinct = n <= 16 && pieces == 1 ? distinct_small(data[0], counts[0])
                                      : distinct_in_set(data.data(), counts.data(), pieces,
                                                        static_cast<std::size_t>(n));
  }
  truncate(mark);
  return distinct;
}

bool KeyHashes::distinct_small(const std::uint64_t* h, std::uint32_t n) {
  for (std::uint32_t i = 1; i < n; ++i) {
    for (std::uint32_t j = 0; j < i; ++j) {
      if (h[i] == h[j]) return false;
    }
  }
  return true;
}

// Linear probing by the low bits (parts are given by the top ones); 0 marks
// an empty slot, so a hash of 0 is counted aside.
bool KeyHashes::distinct_in_set(const std::uint64_t* const* data, const std::uint32_t* counts,
                                std::size_t ranges, std::size_t total) {
  if (total < 2) return true;
  const std::size_t capacity = std::bit_ceil(2 * total);
  const std::size_t mask = capacity - 1;
  set_.assign(capacity, 0);
  std::uint64_t* set = set_.data();
  bool zero = false;
  for (std::size_t r = 0; r < ranges; ++r) {
    for (std::uint32_t i = 0; i < counts[r]; ++i) {
      const std::uint64_t h = data[r][i];
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
  }
  return true;
}

// A counting sort by the top bits through the spare chunk.
void KeyHashes::partition(std::uint64_t* hashes, std::uint32_t n, PartStarts& starts) {
  constexpr unsigned kShift = 64 - kPartBits;
  std::array<std::uint32_t, kParts> next{};
  for (std::uint32_t i = 0; i < n; ++i) ++next[hashes[i] >> kShift];
  std::uint32_t at = 0;
  for (std::size_t p = 0; p < kParts; ++p) {
    starts[p] = at;
    at += next[p];
    next[p] = starts[p];
  }
  starts[kParts] = at;
  if (spare_.size() < kChunk) spare_.resize(kChunk);
  std::uint64_t* out = spare_.data();
  for (std::uint32_t i = 0; i < n; ++i) out[next[hashes[i] >> kShift]++] = hashes[i];
  std::memcpy(hashes, out, n * sizeof *hashes);
}

// The mapping's chunks, each partitioned (now, unless it was when it
// filled), then every part through the set, its pieces gathered from all
// chunks. Hashes are keyed, so the parts come out about even.
bool KeyHashes::distinct_partitioned(std::uint64_t begin, std::uint64_t end) {
  struct Piece {
    std::uint64_t* hashes;
    const PartStarts* starts;
  };
  std::vector<Piece> pieces;
  std::vector<PartStarts> local;  // starts of the pieces partitioned here
  local.reserve(((end - begin) >> kChunkBits) + 2);
  for_each_piece(begin, end, [&](std::uint64_t c, std::uint64_t* hashes, std::uint32_t count) {
    if (chunks_[c].parts && count == kChunk) {
      pieces.push_back({hashes, chunks_[c].parts.get()});
    } else {
      local.emplace_back();
      partition(hashes, count, local.back());
      pieces.push_back({hashes, &local.back()});
    }
  });
  std::vector<const std::uint64_t*> data(pieces.size());
  std::vector<std::uint32_t> counts(pieces.size());
  for (std::size_t p = 0; p < kParts; ++p) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const PartStarts& s = *pieces[i].starts;
      data[i] = pieces[i].hashes + s[p];
      counts[i] = s[p + 1] - s[p];
      total += counts[i];
    }
    if (!distinct_in_set(data.data(), counts.data(), pieces.size(), total)) return false;
  }
  return true;
}

}  // namespace velmora::documents::yaml
