#include "documents/yaml/yaml_anchor_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_hash.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

// ---- short names ----

std::uint64_t AnchorTable::home_hash(std::string_view name) {
  const std::uint64_t word = short_word(name);
  return word != 0 ? short_hash(word) : hash_bytes(name);
}

const AnchorBinding* AnchorTable::find_short_overflow(std::uint64_t word) const {
  count(probes_);
  const auto it = short_overflow_.find(word);
  return it == short_overflow_.end() ? nullptr : &it->second;
}

void AnchorTable::place_short(std::uint64_t word, AnchorBinding binding) {
  const std::size_t mask = short_slots_.size() - 1;
  std::size_t p = short_hash(word) & mask;
  for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    ShortSlot& s = short_slots_[p];
    if (s.word == word) {
      s.binding = binding;
      return;
    }
    if (s.word == 0) {
      s = {word, binding};
      ++short_count_;
      return;
    }
  }
  count(probes_);
  if (short_overflow_.insert_or_assign(word, binding).second) ++short_count_;
}

void AnchorTable::grow_short() {
  std::vector<ShortSlot> old(std::max<std::size_t>(64, short_slots_.size() * 2), ShortSlot{});
  old.swap(short_slots_);
  std::map<std::uint64_t, AnchorBinding> overflowed;
  overflowed.swap(short_overflow_);
  short_count_ = 0;
  for (const ShortSlot& s : old) {
    if (s.word != 0) place_short(s.word, s.binding);
  }
  for (const auto& [word, binding] : overflowed) place_short(word, binding);
}

void AnchorTable::flush_short() {
  for (std::size_t i = 0; i < short_waiting_count_; ++i) {
    if ((short_count_ + 1) * 2 > short_slots_.size()) grow_short();
    place_short(short_waiting_words_[i], short_waiting_[i]);
  }
  short_waiting_count_ = 0;
  short_waiting_filter_ = 0;
}

// ---- longer names ----

std::size_t AnchorTable::find_slot(std::string_view name, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const auto low = static_cast<std::uint32_t>(hash);
  std::size_t p = hash & mask;
  for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
    count(probes_);
    const Slot s = slots_[p];
    if (s.name == kEmpty || (s.low == low && holds(names_by_number_[s.name], name, hash))) return p;
  }
  return kNoSlot;
}

std::uint32_t AnchorTable::find_overflow(std::string_view name, std::uint64_t hash) const {
  const auto [first, last] = overflow_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    count(probes_);
    if (holds(names_by_number_[it->second], name, hash)) return it->second;
  }
  return kEmpty;
}

const AnchorBinding* AnchorTable::find_long(std::string_view name) const {
  const std::uint64_t hash = hash_bytes(name);
  const bool maybe_waiting = (waiting_filter_ >> (hash >> 58)) & 1;
  for (std::size_t i = maybe_waiting ? waiting_count_ : 0; i-- > 0;) {  // newest first
    if (waiting_hashes_[i] != hash) continue;
    const Waiting& w = waiting_[i];
    if (std::string_view(names_).substr(w.offset, w.length) == name) return &w.binding;
  }
  if (slots_.empty()) return nullptr;
  std::uint32_t number = kEmpty;
  if (const std::size_t p = find_slot(name, hash); p != kNoSlot) {
    number = slots_[p].name;
  } else {
    number = find_overflow(name, hash);
  }
  return number == kEmpty ? nullptr : &names_by_number_[number].binding;
}

void AnchorTable::place(std::uint32_t number) {
  const std::uint64_t hash = names_by_number_[number].hash;
  const std::size_t mask = slots_.size() - 1;
  std::size_t p = hash & mask;
  for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
    if (slots_[p].name == kEmpty) {
      slots_[p] = {static_cast<std::uint32_t>(hash), number};
      return;
    }
  }
  overflow_.emplace(hash, number);
}

// Doubles the index and places every name again, overflowed ones included
// (those that now fit leave the overflow).
void AnchorTable::grow() {
  slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), Slot{0, kEmpty});
  overflow_.clear();
  for (std::uint32_t i = 0; i < names_by_number_.size(); ++i) place(i);
}

void AnchorTable::bind_long(std::string_view name, AnchorBinding binding) {
  // Lengths and numbers are 32 bits.
  if (name.size() >= kEmpty) throw std::bad_alloc();
  if (waiting_count_ == kWaiting) flush();
  const std::uint64_t hash = hash_bytes(name);
  if (!slots_.empty()) text::prefetch(&slots_[hash & (slots_.size() - 1)]);
  waiting_hashes_[waiting_count_] = hash;
  waiting_filter_ |= std::uint64_t{1} << (hash >> 58);
  waiting_[waiting_count_++] = {hash, names_.size(), static_cast<std::uint32_t>(name.size()),
                                binding};
  names_.append(name);
  if (slots_.size() <= kCachedSlots) flush();
}

// New names keep their text, moved down over the texts of names that were
// bound again.
void AnchorTable::flush() {
  std::uint64_t kept = waiting_count_ == 0 ? names_.size() : waiting_[0].offset;
  for (std::size_t i = 0; i < waiting_count_; ++i) {
    const Waiting& w = waiting_[i];
    const std::string_view name = std::string_view(names_).substr(w.offset, w.length);
    if ((names_by_number_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t p = find_slot(name, w.hash);
    std::uint32_t number = p == kNoSlot ? find_overflow(name, w.hash) : slots_[p].name;
    if (number != kEmpty) {
      names_by_number_[number].binding = w.binding;
      continue;
    }
    if (names_by_number_.size() >= kEmpty) throw std::bad_alloc();
    number = static_cast<std::uint32_t>(names_by_number_.size());
    if (kept != w.offset) std::memmove(names_.data() + kept, names_.data() + w.offset, w.length);
    names_by_number_.push_back({w.hash, kept, w.length, w.binding});
    kept += w.length;
    if (p != kNoSlot) {
      slots_[p] = {static_cast<std::uint32_t>(w.hash), number};
    } else {
      overflow_.emplace(w.hash, number);
    }
  }
  names_.resize(kept);
  waiting_count_ = 0;
  waiting_filter_ = 0;
}

}  // namespace velmora::documents::yaml
