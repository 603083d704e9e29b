// The compact event log: texts in the arena are stored length-prefixed (7 bits
// a byte), string scalars with their hash in front.
#include "documents/yaml/yaml_event_log.hpp"

#include <algorithm>
#include <new>

namespace velmora::documents::yaml {

void EventLog::reserve_for(std::size_t text_size) {
  // Reserved, not touched: growing by copying would touch every page twice.
  events_.reserve(text_size / 6 + 16);
  if (!arena_.reserve(text_size + 64)) throw std::bad_alloc();
}

// Appends [hash,] the length of `s` (7 bits a byte, low first) and `s`.
std::uint64_t EventLog::store(std::string_view s, const std::uint64_t* hash) {
  char head[8 + 10];
  std::size_t k = 0;
  if (hash != nullptr) {
    std::memcpy(head, hash, 8);
    k = 8;
  }
  std::uint64_t n = s.size();
  do {
    head[k++] = static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
    n >>= 7;
  } while (n != 0);
  const std::uint64_t offset = arena_.size();
  const std::size_t need = offset + k + s.size();
  // Room for the whole head too, so that it is copied at a fixed size.
  const std::size_t room = offset + sizeof head + s.size();
  if (room > arena_.capacity() && !arena_.reserve(std::max(room, arena_.capacity() * 2)))
      [[unlikely]] {
    throw std::bad_alloc();
  }
  char* p = arena_.data() + offset;
  std::memcpy(p, head, sizeof head);
  if (!s.empty()) std::memcpy(p + k, s.data(), s.size());
  arena_.set_size(need);
  return offset;
}

std::string_view EventLog::text_at(std::uint64_t offset) const {
  std::uint64_t n = 0;
  int shift = 0;
  std::size_t i = offset;
  for (;;) {
    const auto b = static_cast<unsigned char>(arena_.data()[i++]);
    n |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) break;
    shift += 7;
  }
  return arena_.view().substr(i, n);
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
