// Anchor names and the latest node bound to each.
#pragma once

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
  // Binds `name` to `binding`, replacing its earlier binding unless `keep`.
  void bind(std::string_view name, AnchorBinding binding, bool keep = false) {
    const std::uint32_t found = index_.find_or_add(text::hash_bytes(name), is(name), probes_);
    if (found != HashIndex::kNotFound) {
      if (!keep) names_[found].binding = binding;
      return;
    }
    if (text_.size() + name.size() > 0xFFFFFFFFu) throw std::length_error("anchor names");
    names_.push_back({static_cast<std::uint32_t>(text_.size()),
                      static_cast<std::uint32_t>(name.size()), binding});
    text_.append(name);
  }
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const {
    const std::uint32_t found = index_.find(text::hash_bytes(name), is(name), probes_);
    return found == HashIndex::kNotFound ? nullptr : &names_[found].binding;
  }
  // Entries looked at (counted in test builds only).
  std::uint64_t probes() const { return probes_; }
  // The hash whose low bits pick a name's first slot (for tests and
  // benchmarks that choose colliding names).
  static std::uint64_t home_hash(std::string_view name) { return text::hash_bytes(name); }

 private:
  struct Name {
    std::uint32_t offset;  // in text_, which stays below 4 GiB
    std::uint32_t length;
    AnchorBinding binding;
  };
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

  HashIndex index_;
  std::vector<Name> names_;  // by number in index_
  std::string text_;         // the names, one after another
  mutable std::uint64_t probes_ = 0;
};

}  // namespace velmora::documents::yaml
