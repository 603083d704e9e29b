// Anchor names and the latest node bound to each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_hash.hpp"

namespace velmora::documents::yaml {

// What an alias to a name denotes: the anchored entry and its expansion id
// (0 for a scalar).
struct AnchorBinding {
  std::uint32_t entry;
  std::uint32_t expansion;
};

// Open addressing over the keyed hash. Each name is kept once, in order of
// first binding, with its latest binding; a slot holds the hash's high half
// and the name's number, so that most misses compare no text. A name whose
// first kMaxProbes slots are taken goes to an ordered overflow by full hash:
// names chosen to collide cost bounded work even under a known key. Slots
// only fill up, and growing places every name again, so a lookup that meets
// an empty slot within kMaxProbes need not look in the overflow.
class AnchorMap {
 public:
  // Binds `name` to `binding`, replacing its earlier binding.
  void bind(std::string_view name, AnchorBinding binding);
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const {
    const std::uint64_t hash = hash_bytes(name);
    const std::uint32_t number = lookup(name, hash);
    return number == kEmpty ? nullptr : &names_[number].binding;
  }
  // Slots and overflow entries inspected (counted in test builds only).
  std::uint64_t probes() const { return probes_; }
  // The hash whose low bits pick a name's home slot (for tests and
  // benchmarks that choose colliding names).
  static std::uint64_t home_hash(std::string_view name) { return hash_bytes(name); }

 private:
  static constexpr std::size_t kMaxProbes = 16;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Name {
    std::uint64_t hash;
    std::uint64_t offset;  // in text_
    std::uint32_t length;
    AnchorBinding binding;
  };
  struct Slot {
    std::uint32_t high;    // the hash's high half
    std::uint32_t number;  // in names_, kEmpty for none
  };

  bool holds(const Name& n, std::string_view name, std::uint64_t hash) const {
    return n.hash == hash && n.length == name.size() &&
           std::string_view(text_).substr(n.offset, n.length) == name;
  }
  // The number of `name`, or kEmpty.
  std::uint32_t lookup(std::string_view name, std::uint64_t hash) const;
  // Puts name `number` (in no slot yet) in its window or the overflow.
  void place(std::uint32_t number);
  void grow();
  void add(std::string_view name, std::uint64_t hash, AnchorBinding binding) {
    names_.push_back({hash, text_.size(), static_cast<std::uint32_t>(name.size()), binding});
    text_.append(name);
  }

  std::vector<Name> names_;
  std::string text_;                                      // the names, one after another
  std::vector<Slot> slots_;                               // size a power of two, at most half full
  std::multimap<std::uint64_t, std::uint32_t> overflow_;  // full hash -> number
  mutable std::uint64_t probes_ = 0;
};

}  // namespace velmora::documents::yaml
