// Anchor names and the latest node bound to each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::documents::yaml {

// What an alias to a name denotes: the anchored entry and its expansion id
// (0 for a scalar).
struct AnchorBinding {
  std::uint32_t entry;
  std::uint32_t expansion;
};

// Open addressing over hash_bytes; short names are kept in the slot itself,
// longer ones in a string of their own. A new binding of a name replaces the
// old one. Probing is bounded: a name whose first kMaxProbes slots are taken
// goes to an ordered overflow by its full hash. Slots fill up only, and
// growing tries the overflow's names again, so a lookup that meets an empty
// slot within kMaxProbes need not look in the overflow.
class AnchorTable {
 public:
  void bind(std::string_view name, AnchorBinding binding);
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const;
  // Slots and overflow entries inspected (counted in test builds only).
  std::uint64_t probes() const { return probes_; }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;  // entry of an empty slot
  struct Slot {
    std::uint64_t hash = 0;
    AnchorBinding binding{kEmpty, 0};
    std::uint32_t length = 0;
    char name[20] = {};  // the name, or (longer ones) its offset in long_names_
  };

  std::string_view name_of(const Slot& s) const;
  bool holds(const Slot& s, std::string_view name, std::uint64_t hash) const {
    return s.hash == hash && s.length == name.size() && name_of(s) == name;
  }
  static constexpr std::size_t kMaxProbes = 16;  // slots are 40 bytes: 16 span 10 cache lines
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  // The slot holding `name`, or the empty slot where it belongs, or kNoSlot
  // past kMaxProbes.
  std::size_t find_slot(std::string_view name, std::uint64_t hash) const;
  Slot* find_overflow(std::string_view name, std::uint64_t hash) const;
  bool place(const Slot& s);
  void flush();

  // New bindings wait here and enter the table in groups, their slots fetched
  // from memory together rather than one miss at a time.
  std::array<Slot, 32> recent_;
  std::size_t recent_count_ = 0;
  std::vector<Slot> slots_;  // size a power of two, at most half full
  std::size_t count_ = 0;
  std::string long_names_;
  mutable std::multimap<std::uint64_t, Slot> overflow_;  // full hash -> binding
  mutable std::uint64_t probes_ = 0;
};

}  // namespace velmora::documents::yaml
