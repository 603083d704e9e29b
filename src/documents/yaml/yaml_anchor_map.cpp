#include "documents/yaml/yaml_anchor_map.hpp"

#include <algorithm>
#include <new>

namespace velmora::documents::yaml {

std::uint32_t AnchorMap::lookup(std::string_view name, std::uint64_t hash) const {
  if (slots_.empty()) return kEmpty;
  const std::size_t mask = slots_.size() - 1;
  const auto high = static_cast<std::uint32_t>(hash >> 32);
  std::size_t p = hash & mask;
  for (std::size_t probes = 0; probes < kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    const Slot s = slots_[p];
    if (s.number == kEmpty) return kEmpty;
    if (s.high == high && holds(names_[s.number], name, hash)) return s.number;
  }
  for (auto [it, end] = overflow_.equal_range(hash); it != end; ++it) {
    count(probes_);
    if (holds(names_[it->second], name, hash)) return it->second;
  }
  return kEmpty;
}

void AnchorMap::place(std::uint32_t number) {
  const std::uint64_t hash = names_[number].hash;
  const std::size_t mask = slots_.size() - 1;
  std::size_t p = hash & mask;
  for (std::size_t probes = 0; probes < kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    if (slots_[p].number == kEmpty) {
      slots_[p] = {static_cast<std::uint32_t>(hash >> 32), number};
      return;
    }
  }
  overflow_.emplace(hash, number);
}

void AnchorMap::grow() {
  slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), Slot{0, kEmpty});
  overflow_.clear();
  for (std::uint32_t n = 0; n < names_.size(); ++n) place(n);
}

void AnchorMap::bind(std::string_view name, AnchorBinding binding) {
  // Numbers and lengths are 32 bits.
  if (names_.size() >= kEmpty - 1 || name.size() >= kEmpty) throw std::bad_alloc();
  if ((names_.size() + 1) * 2 > slots_.size()) grow();
  const std::uint64_t hash = hash_bytes(name);
  const auto high = static_cast<std::uint32_t>(hash >> 32);
  const auto number = static_cast<std::uint32_t>(names_.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t p = hash & mask;
  // The name's slot, or the empty one where it goes.
  for (std::size_t probes = 0; probes < kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    Slot& s = slots_[p];
    if (s.number == kEmpty) {
      s = {high, number};
      return add(name, hash, binding);
    }
    if (s.high == high && holds(names_[s.number], name, hash)) {
      names_[s.number].binding = binding;
      return;
    }
  }
  for (auto [it, end] = overflow_.equal_range(hash); it != end; ++it) {
    count(probes_);
    if (holds(names_[it->second], name, hash)) {
      names_[it->second].binding = binding;
      return;
    }
  }
  overflow_.emplace(hash, number);
  add(name, hash, binding);
}

}  // namespace velmora::documents::yaml
