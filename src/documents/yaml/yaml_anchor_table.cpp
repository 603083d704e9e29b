#include "documents/yaml/yaml_anchor_table.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_hash.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

std::string_view AnchorTable::name_of(const Slot& s) const {
  if (s.length <= sizeof s.name) return std::string_view(s.name, s.length);
  return std::string_view(long_names_).substr(text::load8(s.name), s.length);
}

std::size_t AnchorTable::find_slot(std::string_view name, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t p = hash & mask;
  for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    const Slot& slot = slots_[p];
    if (slot.binding.entry == kEmpty || holds(slot, name, hash)) return p;
  }
  return kNoSlot;
}

AnchorTable::Slot* AnchorTable::find_overflow(std::string_view name, std::uint64_t hash) const {
  const auto [first, last] = overflow_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    count(probes_);
    if (holds(it->second, name, hash)) return &it->second;
  }
  return nullptr;
}

const AnchorBinding* AnchorTable::find(std::string_view name) const {
  const std::uint64_t hash = hash_bytes(name);
  for (std::size_t i = recent_count_; i-- > 0;) {
    if (holds(recent_[i], name, hash)) return &recent_[i].binding;
  }
  if (slots_.empty()) return nullptr;
  const std::size_t p = find_slot(name, hash);
  if (p != kNoSlot) return slots_[p].binding.entry == kEmpty ? nullptr : &slots_[p].binding;
  const Slot* s = find_overflow(name, hash);
  return s == nullptr ? nullptr : &s->binding;
}

// Puts a new name within kMaxProbes of its home; false if it does not fit.
bool AnchorTable::place(const Slot& s) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t p = s.hash & mask;
  for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
    if (slots_[p].binding.entry == kEmpty) {
      slots_[p] = s;
      return true;
    }
  }
  return false;
}

void AnchorTable::flush() {
  if ((count_ + recent_count_) * 2 > slots_.size()) {
    std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
    while ((count_ + recent_count_) * 2 > old.size()) old.resize(old.size() * 2);
    old.swap(slots_);
    // The overflow's names first, those that now fit leaving it.
    for (auto it = overflow_.begin(); it != overflow_.end();) {
      it = place(it->second) ? overflow_.erase(it) : std::next(it);
    }
    for (const Slot& s : old) {
      if (s.binding.entry != kEmpty && !place(s)) overflow_.emplace(s.hash, s);
    }
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = 0; i < recent_count_; ++i) text::prefetch(&slots_[recent_[i].hash & mask]);
  for (std::size_t i = 0; i < recent_count_; ++i) {
    const Slot& r = recent_[i];
    const std::string_view name = name_of(r);
    const std::size_t p = find_slot(name, r.hash);
    if (p != kNoSlot) {
      if (slots_[p].binding.entry == kEmpty) ++count_;
      slots_[p] = r;
      continue;
    }
    const auto first = overflow_.lower_bound(r.hash);
    auto it = first;
    while (it != overflow_.end() && it->first == r.hash && !holds(it->second, name, r.hash)) ++it;
    if (it != overflow_.end() && it->first == r.hash) {
      it->second = r;
      continue;
    }
    ++count_;
    overflow_.emplace_hint(first, r.hash, r);
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
