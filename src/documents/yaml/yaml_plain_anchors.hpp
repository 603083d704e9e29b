// Anchor names for the plain check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_anchor_table.hpp"

namespace velmora::documents::yaml {

// Most aliases name an anchored collection, or a scalar anchored shortly
// before. So a short name bound to a scalar is only written down (its word,
// in order) and kept in a small cache of recent ones, rather than entered in
// a table that would grow with every such name; the table holds the names
// bound to a collection, every later binding of those, and long names. An
// alias whose name is in neither is taken for a scalar on trust and
// verified against the written words once the document is read (a name
// bound only after the alias, or never, fails). A name is trusted once: its
// first alias decides for the later ones, which the cache then answers.
class PlainAnchors {
 public:
  void bind_scalar(std::string_view name) {
    const std::uint64_t word = AnchorTable::word_of(name);
    if (word == 0) {
      table_.bind(name, kScalar);
    } else if (table_.find_word(word) != nullptr) {
      table_.bind_word(word, kScalar);  // a name the table holds keeps its latest binding there
    } else {
      write_scalar(word);
    }
  }
  void bind_collection(std::string_view name, std::uint32_t expansion) {
    table_.bind(name, {0, expansion});
  }
  // What an alias to `name` denotes now: its binding, a scalar's (expansion
  // 0) when taken on trust, or nullptr for a long name never bound.
  const AnchorBinding* find(std::string_view name) {
    const std::uint64_t word = AnchorTable::word_of(name);
    if (word == 0) return table_.find(name);
    if (const AnchorBinding* b = table_.find_word(word)) return b;
    if (std::uint64_t& recent = recent_[recent_slot(word)]; recent != word) {
      trust(word);
      recent = word;
    }
    return &kScalar;
  }
  // Whether every alias taken on trust named a scalar anchored before it
  // (once, when the document has been read).
  bool verify();

 private:
  static constexpr AnchorBinding kScalar{0, 0};
  static constexpr std::size_t kRecent = 256;
  static std::size_t recent_slot(std::uint64_t word) {
    return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ull) >> 56);
  }
  void write_scalar(std::uint64_t word);
  void trust(std::uint64_t word);

  AnchorTable table_;
  std::vector<std::uint64_t> scalars_;           // short names bound to a scalar, not in table_
  std::array<std::uint64_t, kRecent> recent_{};  // words of scalars_ or trusted_, by slot
  // Names taken on trust: entry, how many scalar names were written at the
  // first alias; expansion, 1 once verified.
  AnchorTable trusted_;
  std::size_t unverified_ = 0;
};

}  // namespace velmora::documents::yaml
