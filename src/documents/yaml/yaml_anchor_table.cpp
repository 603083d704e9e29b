#include "documents/yaml/yaml_anchor_table.hpp"

#include <algorithm>
#include <cstring>

#include "documents/yaml/yaml_hash.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

std::string_view AnchorTable::name_of(const Slot& s) const {
  if (s.length <= sizeof s.name) return std::string_view(s.name, s.length);
  return std::string_view(long_names_).substr(text::load8(s.name), s.length);
}

// The slot holding `name`, or the empty slot where it belongs.
std::size_t AnchorTable::find_slot(std::string_view name, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t p = hash & mask;; p = (p + 1) & mask) {
    const Slot& slot = slots_[p];
    if (slot.binding.entry == kEmpty || holds(slot, name, hash)) return p;
  }
}

const AnchorBinding* AnchorTable::find(std::string_view name) const {
  const std::uint64_t hash = hash_bytes(name);
  for (std::size_t i = recent_count_; i-- > 0;) {
    if (holds(recent_[i], name, hash)) return &recent_[i].binding;
  }
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[find_slot(name, hash)];
  return slot.binding.entry == kEmpty ? nullptr : &slot.binding;
}

void AnchorTable::flush() {
  if ((count_ + recent_count_) * 2 > slots_.size()) {
    std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
    while ((count_ + recent_count_) * 2 > old.size()) old.resize(old.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.binding.entry == kEmpty) continue;
      std::size_t p = s.hash & mask;
      while (slots_[p].binding.entry != kEmpty) p = (p + 1) & mask;
      slots_[p] = s;
    }
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = 0; i < recent_count_; ++i) text::prefetch(&slots_[recent_[i].hash & mask]);
  for (std::size_t i = 0; i < recent_count_; ++i) {
    const Slot& r = recent_[i];
    Slot& slot = slots_[find_slot(name_of(r), r.hash)];
    if (slot.binding.entry == kEmpty) ++count_;
    slot = r;
  }
  recent_count_ = 0;
}

void AnchorTable::bind(std::string_view name, AnchorBinding binding) {
  if (recent_count_ == recent_.size()) flush();
  Slot& slot = recent_[recent_count_++];
  slot = Slot{};
  slot.hash = hash_bytes(name);
  slot.length = static_cast<std::uint32_t>(name.size());
  if (name.size() <= sizeof slot.name) {
    std::memcpy(slot.name, name.data(), name.size());
  } else {
    const std::uint64_t offset = long_names_.size();
    long_names_.append(name);
    std::memcpy(slot.name, &offset, 8);
  }
  slot.binding = binding;
}

}  // namespace velmora::documents::yaml
