// The plain check: one pass over libyaml's events that accepts documents
// without collections, aliases or locally tagged scalars as keys (most
// configuration files), keeping only the key hashes of the open mappings and
// the anchors' expansions. Aliases need no replay: a document within the
// depth budget at every alias is within the repetition limit exactly when
// the alias expansions of the whole document, counted at its end, are.
//
// It accepts only what the full check accepts. Anything else, a failure
// included, leaves it undecided: the full check then runs from the start,
// and words the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_parser.hpp"

namespace velmora::documents::yaml {

// The key hashes of the open mappings. A mapping's are pushed as its keys
// come and checked for a repeat when it closes: small mappings pairwise,
// larger ones through a scratch set, very large ones part by part (a
// counting sort by the top bits first) so that the set stays in cache. Equal
// keys hash equally, so a repeated key is always seen; equal hashes of
// unequal keys (keyed per process: a document cannot choose them) only hand
// the document to the full check.
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

enum class PlainVerdict { Accepted, Undecided };

PlainVerdict plain_check(std::string_view text);
// The same on a text read through `parser` as it goes.
PlainVerdict plain_check(Parser& parser);

}  // namespace velmora::documents::yaml
