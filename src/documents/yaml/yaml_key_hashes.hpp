// The keys of the open mappings, as hashes only, for the plain check.
//
// A mapping's key hashes are pushed as its keys come and are checked for a
// repeat when it closes. Pushing touches one sequential line, so parsing
// meets no table miss; the check at the close runs in cache: small mappings
// compare pairwise, larger ones go through a scratch set, and very large ones
// part by part, the parts given by the top bits of the hashes. Each chunk of
// a large mapping is partitioned as soon as it is full, while it is still
// in cache. Equal keys hash equally, so a repeated key is always seen; a
// repeated hash of unequal keys (the hash is keyed per process, so a document
// cannot choose one) only hands the document to the full check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::documents::yaml {

class KeyHashes {
 public:
  // Mappings up to this many keys are checked through one scratch set; larger
  // ones part by part.
  static constexpr std::uint64_t kDirectLimit = std::uint64_t{1} << 15;

  // A mapping opens: the keys pushed from now on are its own.
  void open() { marks_.push_back(size_); }
  void push(std::uint64_t hash) {
    if (next_ == end_) next_chunk();
    *next_++ = hash;
    ++size_;
  }
  // The innermost open mapping closes: whether its keys' hashes are all
  // different. They are dropped either way.
  bool close();

 private:
  static constexpr unsigned kChunkBits = 14;  // 128 KiB chunks: growing copies nothing
  static constexpr std::uint64_t kChunk = std::uint64_t{1} << kChunkBits;
  static constexpr unsigned kPartBits = 8;
  static constexpr std::size_t kParts = std::size_t{1} << kPartBits;
  // Where each part starts in a partitioned range, and where the last ends.
  using PartStarts = std::array<std::uint32_t, kParts + 1>;
  struct Chunk {
    std::unique_ptr<std::uint64_t[]> hashes;
    std::unique_ptr<PartStarts> parts;  // set while the full chunk is partitioned
  };

  std::uint64_t& at(std::uint64_t i) { return chunks_[i >> kChunkBits].hashes[i & (kChunk - 1)]; }
  void next_chunk();
  void truncate(std::uint64_t size);
  template <typename F>
  void for_each_piece(std::uint64_t begin, std::uint64_t end, F f);
  bool distinct_small(const std::uint64_t* hashes, std::uint32_t n);
  // Whether the hashes of the ranges (pointer, count) are all different.
  bool distinct_in_set(const std::uint64_t* const* data, const std::uint32_t* counts,
                       std::size_t ranges, std::size_t total);
  bool distinct_partitioned(std::uint64_t begin, std::uint64_t end);
  // Partitions `n` hashes in place by their top bits.
  void partition(std::uint64_t* hashes, std::uint32_t n, PartStarts& starts);

  std::vector<Chunk> chunks_;
  std::uint64_t* next_ = nullptr;
  std::uint64_t* end_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t partitioned_end_ = 0;  // no chunk from here on is partitioned
  std::vector<std::uint64_t> marks_;   // where each open mapping's keys start
  std::vector<std::uint64_t> set_;     // scratch open-addressing set, reused
  std::vector<std::uint64_t> spare_;   // scratch chunk for partitioning, reused
};

}  // namespace velmora::documents::yaml
