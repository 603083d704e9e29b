// Anchor names and the latest node bound to each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_hash_index.hpp"
#include "text/keyed_hash.hpp"

namespace velmora::documents::yaml {

// What an alias to a name denotes: the anchored entry and its expansion id
// (0 for a scalar).
struct AnchorBinding {
  std::uint32_t entry;
  std::uint32_t expansion;
};

// Each name is kept once, in order of first binding, with its latest binding.
class AnchorMap {
 public:
  // Binds `name` to `binding`, replacing its earlier binding. The binding
  // waits among the latest few while its slot of the index is fetched, so
  // that a name not seen before (most are) costs no wait on memory.
  void bind(std::string_view name, AnchorBinding binding) {
    if (waiting_count_ == kWaiting) settle();
    Waiting& w = waiting_[waiting_count_++];
    w.hash = text::hash_bytes(name);
    w.name.assign(name);
    w.binding = binding;
    waiting_bits_ |= bit_of(w.hash);
    index_.prefetch(w.hash);
  }
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const {
    const std::uint64_t hash = text::hash_bytes(name);
    for (std::size_t i = waiting_count_; (waiting_bits_ & bit_of(hash)) && i-- > 0;) {
      count(probes_);  // the latest first
      if (waiting_[i].hash == hash && waiting_[i].name == name) return &waiting_[i].binding;
    }
    const std::uint32_t found = index_.find(hash, is(name), probes_);
    return found == HashIndex::kNotFound ? nullptr : &names_[found].binding;
  }
  // Entries looked at (counted in test builds only).
  std::uint64_t probes() const { return probes_; }
  // The hash whose low bits pick a name's first slot (for tests and
  // benchmarks that choose colliding names).
  static std::uint64_t home_hash(std::string_view name) { return text::hash_bytes(name); }

 private:
  static constexpr std::size_t kWaiting = 16;
  struct Name {
    std::uint32_t offset;  // in text_, which stays below 4 GiB
    std::uint32_t length;
    AnchorBinding binding;
  };
  struct Waiting {
    std::uint64_t hash;
    std::string name;
    AnchorBinding binding;
  };
  // A hash's bit in waiting_bits_: most lookups of a name not waiting skip the waiting.
  static std::uint64_t bit_of(std::uint64_t hash) { return std::uint64_t{1} << (hash >> 58); }
  // Whether name number n is `name`.
  struct Is {
    const AnchorMap& map;
    std::string_view name;
    bool operator()(std::uint32_t n) const {
      const Name& at = map.names_[n];
      return std::string_view(map.text_).substr(at.offset, at.length) == name;
    }
  };
  Is is(std::string_view name) const { return {*this, name}; }

  // The waiting bindings into the index, in order.
  void settle() {
    for (std::size_t i = 0; i < waiting_count_; ++i) {
      const Waiting& w = waiting_[i];
      const std::uint32_t found = index_.find_or_add(w.hash, is(w.name), probes_);
      if (found != HashIndex::kNotFound) {
        names_[found].binding = w.binding;
      } else {
        if (text_.size() + w.name.size() > 0xFFFFFFFFu) throw std::length_error("anchor names");
        names_.push_back({static_cast<std::uint32_t>(text_.size()),
                          static_cast<std::uint32_t>(w.name.size()), w.binding});
        text_.append(w.name);
      }
    }
    waiting_count_ = 0;
    waiting_bits_ = 0;
  }

  HashIndex index_;
  std::vector<Name> names_;  // by number in index_
  std::string text_;         // the names, one after another
  std::array<Waiting, kWaiting> waiting_{};
  std::size_t waiting_count_ = 0;
  std::uint64_t waiting_bits_ = 0;  // bit_of() of the waiting names' hashes
  mutable std::uint64_t probes_ = 0;
};

}  // namespace velmora::documents::yaml
