// The keys of the open mappings, as hashes only, for the plain check.
//
// A mapping's key hashes are pushed as its keys come and are checked for a
// repeat when it closes: small mappings pairwise, larger ones through a
// scratch set, and very large ones part by part (a counting sort by the top
// bits first), so that the set stays in cache. Equal keys hash equally, so a
// repeated key is always seen; a repeated hash of unequal keys (the hash is
// keyed per process, so a document cannot choose one) only hands the
// document to the full check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::documents::yaml {

class KeyHashes {
 public:
  // Mappings up to this many keys are checked through one scratch set; larger
  // ones part by part.
  static constexpr std::size_t kDirectLimit = std::size_t{1} << 15;

  // A mapping opens: the keys pushed from now on are its own.
  void open() { marks_.push_back(hashes_.size()); }
  void push(std::uint64_t hash) { hashes_.push_back(hash); }
  // The innermost open mapping closes: whether its keys' hashes are all
  // different. They are dropped either way.
  bool close();

 private:
  bool distinct_in_set(const std::uint64_t* hashes, std::size_t n);
  bool distinct_partitioned(const std::uint64_t* hashes, std::size_t n);

  std::vector<std::uint64_t> hashes_;
  std::vector<std::size_t> marks_;    // where each open mapping's keys start
  std::vector<std::uint64_t> set_;    // scratch open-addressing set, reused
  std::vector<std::uint64_t> spare_;  // scratch for partitioning, reused
};

}  // namespace velmora::documents::yaml
