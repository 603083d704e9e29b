// The hand-off from collecting to building: the document's events in compact
// form and what collecting learnt about them. The collector appends; the
// builder, the key comparisons and the error texts only read.
//
// Entries are 16 bytes each and carry no marks (a failure that names a mark
// reads the text again up to its entry). Scalar texts live in one arena, and
// only for scalars that are or may become keys. A scalar value in a mapping
// that is neither in a key nor in an anchored node and cannot fail is not
// kept at all: the entry that completed its key carries kValueFollows, and
// entries() still counts it.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_scalar.hpp"
#include "text/byte_buffer.hpp"

namespace velmora::documents::yaml {

inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint32_t kInfiniteHeight = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t kInfiniteCount = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kInfiniteCount - b ? kInfiniteCount : a + b;
}

enum class Kind : std::uint8_t { Scalar, SeqStart, SeqEnd, MapStart, MapEnd, Alias };

enum : std::uint8_t {
  kHasText = 1,   // string scalar in the arena: its hash, then its text (payload = offset)
  kTagged = 2,    // local tag; aux = tag id
  kAnchored = 4,  // carries an anchor
  // Completes a mapping key whose value, a scalar outside keys and anchored
  // nodes that cannot fail, is not kept: nothing of it is ever read again.
  kValueFollows = 8,
};

// One collected entry.
struct Event {
  Kind kind;
  ValueKind value;  // scalars
  std::uint8_t flags;
  std::uint8_t reserved = 0;
  std::uint32_t aux;  // scalar, collection start: tag id; alias: target entry
  // Scalar: value bits, text offset (kHasText) or failure index (Failure).
  // Collection start: matching end entry | (expansion id << 32). Alias: the
  // target's expansion id (0 for a scalar).
  std::uint64_t payload;
};
static_assert(sizeof(Event) == 16);

// What a full expansion of an anchored collection does: its nesting height and
// the alias expansions inside it. kInfinite* while it is open (an alias to it
// then refers to itself).
struct Expansion {
  std::uint32_t height = kInfiniteHeight;
  std::uint64_t count = kInfiniteCount;
};

class EventLog {
 public:
  // ---- reading ----
  std::uint32_t size() const { return static_cast<std::uint32_t>(events_.size()); }
  bool empty() const { return events_.empty(); }
  const Event& operator[](std::uint32_t entry) const { return events_[entry]; }
  // Entries of the document, folded values included: the repetition limit's base.
  std::uint64_t entries() const { return entries_; }

  std::uint32_t end_of(std::uint32_t start) const {
    return static_cast<std::uint32_t>(events_[start].payload);
  }
  std::uint32_t expansion_id(std::uint32_t start) const {
    return static_cast<std::uint32_t>(events_[start].payload >> 32);
  }
  // Entry following the node that starts at `entry`.
  std::uint32_t next_node(std::uint32_t entry) const {
    const Kind k = events_[entry].kind;
    return (k == Kind::SeqStart || k == Kind::MapStart) ? end_of(entry) + 1 : entry + 1;
  }
  std::uint32_t resolve_alias(std::uint32_t entry) const {
    return events_[entry].kind == Kind::Alias ? events_[entry].aux : entry;
  }
  // Ids 1 .. expansion_count() - 1 are in use.
  std::uint32_t expansion_count() const { return static_cast<std::uint32_t>(expansions_.size()); }
  const Expansion& expansion(std::uint32_t id) const { return expansions_[id]; }

  // A kHasText scalar's text and hash.
  std::string_view string_at(std::uint64_t offset) const { return text_at(offset + 8); }
  std::uint64_t string_hash(std::uint64_t offset) const {
    std::uint64_t h;
    std::memcpy(&h, arena_.data() + offset, 8);
    return h;
  }
  // The text of a scalar that was a direct mapping key, as written.
  std::string_view key_text(std::uint32_t entry) const;
  // A Failure scalar's message.
  const std::string& failure(std::uint64_t index) const { return failures_[index]; }

  // ---- appending (the collector) ----
  void reserve_for(std::size_t text_size);
  // A new entry of `kind`; throws std::length_error when entry ids run out.
  std::uint32_t push(Kind kind) {
    const auto entry = static_cast<std::uint32_t>(events_.size());
    if (entry >= kNone - 1) [[unlikely]]
      throw std::length_error("too many events");
    events_.push_back(Event{kind, ValueKind::Null, 0, 0, kNone, 0});
    ++entries_;
    return entry;
  }
  Event& at(std::uint32_t entry) { return events_[entry]; }
  // A value that is not kept follows the last entry.
  void fold_value() {
    events_.back().flags |= kValueFollows;
    ++entries_;
  }
  std::uint64_t store_string(std::string_view s, std::uint64_t hash) { return store(s, &hash); }
  void store_key_text(std::uint32_t entry, std::string_view s) {
    raw_keys_.emplace_back(entry, store_text(s));
  }
  std::uint64_t store_failure(std::string&& message) {
    failures_.push_back(std::move(message));
    return failures_.size() - 1;
  }
  // A new expansion, open until set_expansion.
  std::uint32_t open_expansion();
  void set_expansion(std::uint32_t id, Expansion e) { expansions_[id] = e; }

 private:
  std::uint64_t store_text(std::string_view s) { return store(s, nullptr); }
  std::uint64_t store(std::string_view s, const std::uint64_t* hash);
  std::string_view text_at(std::uint64_t offset) const;

  std::vector<Event> events_;
  std::uint64_t entries_ = 0;
  platform::ByteBuffer arena_;  // grown by doubling, never zero-filled
  std::vector<std::string> failures_;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> raw_keys_;  // non-string key scalars' texts
  std::vector<Expansion> expansions_;                              // id 0 unused
};

}  // namespace velmora::documents::yaml
