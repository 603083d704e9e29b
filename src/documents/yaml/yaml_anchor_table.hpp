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

// Each name is kept once, in order of first binding: its hash, its text (in
// one shared string) and its latest binding; a new binding of a name
// replaces the old one. The index is open addressing over hash_bytes with
// 8-byte slots (the low 32 bits of the hash and the name's number), so that
// a large table still fits in cache, and probing is bounded: a name whose
// first kMaxProbes slots are taken goes to an ordered overflow by its full
// hash. Slots fill up only, and growing places every name again, so a
// lookup that meets an empty slot within kMaxProbes need not look in the
// overflow. New bindings wait in a short queue, their slots fetched from
// memory meanwhile, and enter the index together: a large index then costs
// no wait on memory per binding.
class AnchorTable {
 public:
  void bind(std::string_view name, AnchorBinding binding);
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const;
  // Slots and overflow entries inspected (counted in test builds only).
  std::uint64_t probes() const { return probes_; }

 private:
  struct Name {
    std::uint64_t hash;
    std::uint64_t offset;  // in names_
    std::uint32_t length;
    AnchorBinding binding;
  };
  struct Slot {
    std::uint32_t low;   // the hash's low 32 bits
    std::uint32_t name;  // index in names_by_number_, kEmpty for none
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr std::size_t kMaxProbes = 16;  // two cache lines
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

  bool holds(const Name& n, std::string_view name, std::uint64_t hash) const {
    return n.hash == hash && n.length == name.size() &&
           std::string_view(names_).substr(n.offset, n.length) == name;
  }
  // The slot holding `name`, or the empty slot where it belongs, or kNoSlot
  // past kMaxProbes.
  std::size_t find_slot(std::string_view name, std::uint64_t hash) const;
  // The name's number in the overflow, or kEmpty.
  std::uint32_t find_overflow(std::string_view name, std::uint64_t hash) const;
  // Puts name number `number` (not in the table) in its window or the overflow.
  void place(std::uint32_t number);
  void grow();
  // Enters the waiting bindings into the index, in order.
  void flush();

  struct Waiting {
    std::uint64_t hash;
    std::uint64_t offset;  // in names_, past the names entered
    std::uint32_t length;
    AnchorBinding binding;
  };
  static constexpr std::size_t kWaiting = 16;
  std::array<std::uint64_t, kWaiting> waiting_hashes_{};  // scanned by lookups
  std::array<Waiting, kWaiting> waiting_{};
  std::size_t waiting_count_ = 0;
  std::uint64_t waiting_filter_ = 0;  // a bit for the top six bits of each waiting hash

  std::vector<Name> names_by_number_;
  std::string names_;                                     // the names entered, then those waiting
  std::vector<Slot> slots_;                               // size a power of two, at most half full
  std::multimap<std::uint64_t, std::uint32_t> overflow_;  // full hash -> name number
  mutable std::uint64_t probes_ = 0;
};

}  // namespace velmora::documents::yaml
