// The compact event log: texts in the arena are stored length-prefixed (7 bits
// a byte), string scalars with their hash in front.
#include "documents/yaml/yaml_event_log.hpp"

#include <algorithm>

namespace velmora::documents::yaml {

void EventLog::reserve_for(std::size_t text_size) {
  // Reserved, not touched: growing by copying would touch every page twice.
  events_.reserve(text_size / 6 + 16);
  arena_.reserve(text_size + 64);
}

std::uint64_t EventLog::store_text(std::string_view s) {
  const std::uint64_t offset = arena_.size();
  std::uint64_t n = s.size();
  char len[10];
  int k = 0;
  do {
    len[k++] = static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
    n >>= 7;
  } while (n != 0);
  arena_.append(len, static_cast<std::size_t>(k));
  arena_.append(s);
  return offset;
}

std::uint64_t EventLog::store_string(std::string_view s, std::uint64_t hash) {
  const std::uint64_t offset = arena_.size();
  char h[8];
  std::memcpy(h, &hash, 8);
  arena_.append(h, 8);
  store_text(s);
  return offset;
}

std::string_view EventLog::text_at(std::uint64_t offset) const {
  std::uint64_t n = 0;
  int shift = 0;
  std::size_t i = offset;
  for (;;) {
    const auto b = static_cast<unsigned char>(arena_[i++]);
    n |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) break;
    shift += 7;
  }
  return std::string_view(arena_).substr(i, n);
}

std::string_view EventLog::key_text(std::uint32_t entry) const {
  const Event& e = events_[entry];
  if (e.flags & kHasText) return string_at(e.payload);
  const auto it = std::lower_bound(raw_keys_.begin(), raw_keys_.end(), entry,
                                   [](const auto& p, std::uint32_t x) { return p.first < x; });
  return text_at(it->second);
}

std::uint32_t EventLog::open_expansion() {
  if (expansions_.empty()) expansions_.emplace_back();
  expansions_.emplace_back();
  return static_cast<std::uint32_t>(expansions_.size() - 1);
}

}  // namespace velmora::documents::yaml
