// The keys of the open mappings, as hashes only, for the plain check.
//
// A mapping's key hashes are pushed as its keys come and are checked for a
// repeat when it closes. Pushing touches one sequential line, so parsing
// meets no table miss; the check at the close runs in cache: small mappings
// compare pairwise, larger ones go through a scratch set, and very large ones
// are first partitioned in place by the top bits of their hashes so that
// each part's set fits in cache. Equal keys hash equally, so a repeated key
// is always seen; a repeated hash of unequal keys (the hash is keyed per
// process, so a document cannot choose one) only hands the document to the
// full check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::documents::yaml {

class KeyHashes {
 public:
  // Mappings up to this many keys are checked through one scratch set; larger
  // ones are partitioned first (their parts hold about half as many).
  static constexpr std::uint64_t kDirectLimit = std::uint64_t{1} << 15;

  std::uint64_t size() const { return size_; }
  void push(std::uint64_t hash) {
    if (next_ == end_) next_chunk();
    *next_++ = hash;
    ++size_;
  }
  // Whether the hashes pushed since size() was `mark` are all different;
  // they are dropped either way.
  bool pop_distinct(std::uint64_t mark);

 private:
  static constexpr unsigned kChunkBits = 14;  // 128 KiB chunks: growing copies nothing
  static constexpr std::uint64_t kChunk = std::uint64_t{1} << kChunkBits;

  std::uint64_t& at(std::uint64_t i) { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
  void next_chunk();
  void truncate(std::uint64_t size);
  bool distinct_small(std::uint64_t begin, std::uint64_t end);
  bool distinct_in_set(std::uint64_t begin, std::uint64_t end);
  bool distinct_partitioned(std::uint64_t begin, std::uint64_t end);

  std::vector<std::unique_ptr<std::uint64_t[]>> chunks_;
  std::uint64_t* next_ = nullptr;
  std::uint64_t* end_ = nullptr;
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> set_;  // scratch open-addressing set, reused
};

}  // namespace velmora::documents::yaml
