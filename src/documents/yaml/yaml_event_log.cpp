// The compact event log: pages of entries, the key stack, and texts in the
// arena after their length, string scalars' with their hash in front.
#include "documents/yaml/yaml_event_log.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "text/keyed_hash.hpp"

namespace velmora::documents::yaml {

void EventLog::add_page() {
  if (size_ >= kKeyBit - 1) throw std::length_error("too many events");
  pages_.push_back(std::make_unique_for_overwrite<Event[]>(kPageSize));
  pins_.push_back(0);
  ++kept_pages_;
}

void EventLog::unpin(std::uint32_t first, std::uint32_t last) {
  for (std::uint32_t p = first >> kPageBits; p <= last >> kPageBits; ++p) {
    if (--pins_[p] == 0 && (std::uint64_t{p} + 1) * kPageSize <= floor_) free_page(p);
  }
}

void EventLog::release_below(std::uint32_t floor) {
  if (floor > size_) floor = size_;
  if (floor <= floor_) return;
  floor_ = floor;
  const std::uint32_t pages = floor_ >> kPageBits;
  for (; released_to_ < pages; ++released_to_) {
    if (pins_[released_to_] == 0) free_page(released_to_);
  }
}

std::uint32_t EventLog::copy_key(std::uint32_t first, std::uint32_t last) {
  const auto base = static_cast<std::uint32_t>(keys_.size());
  if (base + (last - first) >= kCopyMask - 1) throw std::length_error("too many keys");
  for (std::uint32_t i = first; i <= last; ++i) {
    Event e = (*this)[i];
    if (e.kind == Kind::SeqStart || e.kind == Kind::MapStart) {
      const auto end = static_cast<std::uint32_t>(e.payload);
      e.payload = (e.payload & 0xFFFFFFFF00000000ull) | ((end - first + base) | kKeyBit);
    }
    keys_.push_back(e);
  }
  const Event& e = keys_[base];
  if (first == last && e.kind == Kind::Scalar && !(e.flags & kHasText)) {
    const auto it = std::lower_bound(raw_keys_.begin() + static_cast<std::ptrdiff_t>(raw_consumed_),
                                     raw_keys_.end(), first,
                                     [](const auto& p, std::uint32_t x) { return p.first < x; });
    if (it != raw_keys_.end() && it->first == first) {
      key_raw_keys_.emplace_back(base | kKeyBit, it->second);
      raw_consumed_ = static_cast<std::size_t>(it - raw_keys_.begin()) + 1;
      if (raw_consumed_ >= 1024 && raw_consumed_ * 2 >= raw_keys_.size()) {
        raw_keys_.erase(raw_keys_.begin(),
                        raw_keys_.begin() + static_cast<std::ptrdiff_t>(raw_consumed_));
        raw_consumed_ = 0;
      }
    }
  }
  return base | kKeyBit;
}

void EventLog::pop_keys(std::uint32_t mark) {
  keys_.truncate(mark);
  while (!key_raw_keys_.empty() && (key_raw_keys_.back().first & kCopyMask) >= mark)
    key_raw_keys_.pop_back();
}

std::uint64_t EventLog::text_hash(std::uint64_t payload) const {
  if (payload & kSourceRef) return text::hash_bytes(string_at(payload));
  std::uint64_t h;
  std::memcpy(&h, arena_.data() + payload, 8);
  return h;
}

// Appends [the hash of `s`,] the length of `s` and `s`, 8 bytes each but `s`.
std::uint64_t EventLog::store(std::string_view s, bool with_hash) {
  const std::uint64_t offset = arena_.size();
  const std::size_t need = offset + (with_hash ? 16 : 8) + s.size();
  if (need > arena_.capacity() && !arena_.reserve(std::max(need, arena_.capacity() * 2)))
      [[unlikely]] {
    throw std::bad_alloc();
  }
  char* p = arena_.data() + offset;
  if (with_hash) {
    const std::uint64_t hash = text::hash_bytes(s);
    std::memcpy(p, &hash, 8);
    p += 8;
  }
  const std::uint64_t n = s.size();
  std::memcpy(p, &n, 8);
  if (!s.empty()) std::memcpy(p + 8, s.data(), s.size());
  arena_.set_size(need);
  return offset;
}

std::string_view EventLog::text_at(std::uint64_t offset) const {
  std::uint64_t n = 0;
  std::memcpy(&n, arena_.data() + offset, 8);
  return arena_.view().substr(offset + 8, n);
}

std::string_view EventLog::key_text(std::uint32_t entry) const {
  const Event& e = (*this)[entry];
  if (e.flags & kHasText) return string_at(e.payload);
  const auto& raw = (entry & kKeyBit) ? key_raw_keys_ : raw_keys_;
  const auto it = std::lower_bound(raw.begin(), raw.end(), entry,
                                   [](const auto& p, std::uint32_t x) { return p.first < x; });
  return text_at(it->second);
}

}  // namespace velmora::documents::yaml
