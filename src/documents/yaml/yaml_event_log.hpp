// The hand-off from collecting to building: the document's events in compact
// form and what collecting learnt about them. The collector appends; the
// builder, the key comparisons and the error texts only read.
//
// Entries are 16 bytes each and carry no marks (a failure that names a mark
// reads the text again up to its entry). A scalar value in a mapping that is
// neither in a key nor in an anchored node and cannot fail is not kept at
// all: the entry that completed its key carries kValueFollows, and entries()
// still counts it. String texts are kept only for scalars that are or may
// become keys: as a reference into the document's text where the value is
// written there as it is, else copied into one arena.
//
// Only what building can still read is kept. Entries live in pages that are
// freed once building has passed them (release_below), unless pinned: the
// open collections' starts (the collector completes them) and anchored nodes
// (an alias may name them). The keys of open mappings are copied into a key
// stack that building pushes and pops, anchored scalars into a store of their
// own, so that neither holds a page.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_scalar.hpp"
#include "documents/yaml/yaml_shape.hpp"
#include "text/byte_buffer.hpp"

namespace velmora::documents::yaml {

inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// Ids of copies (kKeyBit set; entries of the document stay below it): copied
// keys, and with kAnchorBit too, copied anchored scalars. kCopyMask gives the
// index among them.
inline constexpr std::uint32_t kKeyBit = 0x80000000u;
inline constexpr std::uint32_t kAnchorBit = 0x40000000u;
inline constexpr std::uint32_t kCopyMask = kAnchorBit - 1;

enum class Kind : std::uint8_t { Scalar, SeqStart, SeqEnd, MapStart, MapEnd, Alias };

enum : std::uint8_t {
  kHasText = 1,   // string scalar with its text kept (payload: see EventLog::string_at)
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
  std::uint8_t reserved;
  std::uint32_t aux;  // scalar, collection start: tag id; alias: target entry
  // Scalar: value bits, text offset (kHasText) or failure index (Failure).
  // Collection start: matching end entry | (expansion id << 32). Alias: the
  // target's expansion id (0 for a scalar).
  std::uint64_t payload;
};
static_assert(sizeof(Event) == 16);

// A stack of entries in pages of 4096: growing copies nothing and touches
// only what it fills; shrinking frees the pages left empty.
class EventStack {
 public:
  std::size_t size() const { return size_; }
  const Event& operator[](std::size_t i) const { return pages_[i >> kBits][i & kMask]; }
  void push_back(const Event& e) {
    if ((size_ & kMask) == 0 && (size_ >> kBits) == pages_.size()) {
      pages_.push_back(std::make_unique_for_overwrite<Event[]>(std::size_t{1} << kBits));
    }
    pages_[size_ >> kBits][size_ & kMask] = e;
    ++size_;
  }
  void truncate(std::size_t size) {
    size_ = size;
    // One empty page stays, so that a key pushed and popped again allocates nothing.
    while (pages_.size() > ((size_ + kMask) >> kBits) + 1) pages_.pop_back();
  }

 private:
  static constexpr unsigned kBits = 12;
  static constexpr std::size_t kMask = (std::size_t{1} << kBits) - 1;
  std::vector<std::unique_ptr<Event[]>> pages_;
  std::size_t size_ = 0;
};

class EventLog {
 public:
  // ---- reading ----
  // Entries of the document so far (copied keys not counted).
  std::uint32_t size() const { return size_; }
  // An entry of the document (not released) or a copied key.
  const Event& operator[](std::uint32_t entry) const {
    if (entry & kKeyBit) [[unlikely]]
      return (entry & kAnchorBit) ? anchored_[entry & kCopyMask] : keys_[entry & kCopyMask];
    return pages_[entry >> kPageBits][entry & kPageMask];
  }
  // Entries of the document, folded values included: the repetition limit's base.
  std::uint64_t entries() const { return entries_; }

  std::uint32_t end_of(std::uint32_t start) const {
    return static_cast<std::uint32_t>((*this)[start].payload);
  }
  std::uint32_t expansion_id(std::uint32_t start) const {
    return static_cast<std::uint32_t>((*this)[start].payload >> 32);
  }
  // Entry following the node that starts at `entry`.
  std::uint32_t next_node(std::uint32_t entry) const {
    const Kind k = (*this)[entry].kind;
    return (k == Kind::SeqStart || k == Kind::MapStart) ? end_of(entry) + 1 : entry + 1;
  }
  std::uint32_t resolve_alias(std::uint32_t entry) const {
    const Event& e = (*this)[entry];
    return e.kind == Kind::Alias ? e.aux : entry;
  }
  // The anchored collections' expansions (the collector fills them in).
  Expansions& expansions() { return expansions_; }
  // Ids 1 .. expansion_count() - 1 are in use.
  std::uint32_t expansion_count() const { return expansions_.size(); }
  const Expansion& expansion(std::uint32_t id) const { return expansions_[id]; }

  // A kHasText scalar's text and hash, from its payload: with kSourceRef set,
  // the text's offset in the document << 24 | its length; else its offset in
  // the arena, which holds its hash, its length and its text.
  std::string_view string_at(std::uint64_t payload) const {
    if (payload & kSourceRef) {
      return source_.substr((payload & ~kSourceRef) >> 24, payload & 0xFFFFFF);
    }
    return text_at(payload + 8);
  }
  // hash_bytes() of string_at(payload), stored beside copied texts.
  std::uint64_t text_hash(std::uint64_t payload) const;
  // Whether a kHasText payload refers into the document; if so, where.
  static bool source_ref(std::uint64_t payload, std::uint64_t& offset, std::uint32_t& length) {
    if (!(payload & kSourceRef)) return false;
    offset = (payload & ~kSourceRef) >> 24;
    length = static_cast<std::uint32_t>(payload & 0xFFFFFF);
    return true;
  }
  // An untagged string scalar written as it is at `offset` of the document.
  static Event text_event(std::uint64_t offset, std::uint32_t length) {
    return Event{
        Kind::Scalar, ValueKind::String, kHasText, 0, kNone, kSourceRef | (offset << 24) | length};
  }
  // The text of a scalar that was a direct mapping key, as written.
  std::string_view key_text(std::uint32_t entry) const;
  // A Failure scalar's message.
  const std::string& failure(std::uint64_t index) const { return failures_[index]; }

  // ---- appending (the collector) ----
  // `source` is the document's text: string texts may refer into it.
  void set_source(std::string_view source) { source_ = source; }
  std::string_view source() const { return source_; }
  // A new entry of `kind`; throws std::length_error when entry ids run out.
  std::uint32_t push(Kind kind) {
    const std::uint32_t entry = size_;
    if ((entry & kPageMask) == 0) [[unlikely]]
      add_page();
    pages_[entry >> kPageBits][entry & kPageMask] = Event{kind, ValueKind::Null, 0, 0, kNone, 0};
    ++size_;
    ++entries_;
    return entry;
  }
  Event& at(std::uint32_t entry) { return pages_[entry >> kPageBits][entry & kPageMask]; }
  // A value that is not kept follows the last entry.
  void fold_value() {
    at(size_ - 1).flags |= kValueFollows;
    ++entries_;
  }
  // The payload of a string scalar's text: a reference if `value` is written
  // as it is at `offset` of the document, else a copy with its hash.
  std::uint64_t store_string(std::string_view value, std::size_t offset) {
    if (offset <= source_.size() && value.size() <= source_.size() - offset &&
        value.size() < (1u << 24) && offset < (std::uint64_t{1} << 39) &&
        (value.empty() || std::memcmp(source_.data() + offset, value.data(), value.size()) == 0)) {
      return kSourceRef | (std::uint64_t{offset} << 24) | value.size();
    }
    return store(value, true);
  }
  void store_key_text(std::uint32_t entry, std::string_view s) {
    raw_keys_.emplace_back(entry, store(s, false));
  }
  std::uint64_t store_failure(std::string&& message) {
    failures_.push_back(std::move(message));
    return failures_.size() - 1;
  }

  // ---- keeping only what can still be read ----
  // Keeps the pages of entries first .. last until unpin of the same range.
  void pin(std::uint32_t first, std::uint32_t last) {
    for (std::uint32_t p = first >> kPageBits; p <= last >> kPageBits; ++p) ++pins_[p];
  }
  void unpin(std::uint32_t first, std::uint32_t last);
  // Frees the pages wholly below `floor` that are not pinned (and later, once
  // unpinned, those that are).
  void release_below(std::uint32_t floor);

  // Entries held now: in pages not freed, in the key stack, anchored copies.
  std::uint64_t kept_entries() const {
    return std::uint64_t{kept_pages_} * kPageSize + keys_.size() + anchored_.size();
  }

  // Copies the node first .. last (complete) to the key stack; returns the
  // copy's id of `first`.
  std::uint32_t copy_key(std::uint32_t first, std::uint32_t last);
  // Copies the anchored scalar `entry`; returns the copy's id.
  std::uint32_t copy_anchored_scalar(std::uint32_t entry) {
    if (anchored_.size() >= kCopyMask - 1) throw std::length_error("too many anchors");
    anchored_.push_back(at(entry));
    return static_cast<std::uint32_t>(anchored_.size() - 1) | kKeyBit | kAnchorBit;
  }
  // Pushes `e` on the key stack; returns its id.
  std::uint32_t push_key(const Event& e) {
    if (keys_.size() >= kCopyMask - 1) throw std::length_error("too many keys");
    keys_.push_back(e);
    return static_cast<std::uint32_t>(keys_.size() - 1) | kKeyBit;
  }
  // Height of the key stack; pop_keys(mark) drops every copy made since.
  std::uint32_t key_mark() const { return static_cast<std::uint32_t>(keys_.size()); }
  void pop_keys(std::uint32_t mark);

 private:
#if defined(VELMORA_YAML_SMALL_PAGES)
  static constexpr unsigned kPageBits = 2;  // test and fuzz builds: pages of 4 entries
#else
  static constexpr unsigned kPageBits = 12;
#endif
  static constexpr std::uint32_t kPageSize = 1u << kPageBits;
  static constexpr std::uint32_t kPageMask = kPageSize - 1;
  static constexpr std::uint64_t kSourceRef = std::uint64_t{1} << 63;

  void add_page();
  void free_page(std::size_t page) {
    --kept_pages_;
#if defined(VELMORA_YAML_SMALL_PAGES)
    // Scribbled over rather than freed, so that a later read gives a wrong
    // result instead of reading freed memory unnoticed.
    std::memset(static_cast<void*>(pages_[page].get()), 0xA5, kPageSize * sizeof(Event));
#else
    pages_[page].reset();
#endif
  }
  std::uint64_t store(std::string_view s, bool with_hash);
  std::string_view text_at(std::uint64_t offset) const;

  std::vector<std::unique_ptr<Event[]>> pages_;  // null once released
  std::vector<std::uint32_t> pins_;              // by page
  std::uint32_t size_ = 0;
  std::uint32_t kept_pages_ = 0;   // pages not freed
  std::uint32_t floor_ = 0;        // pages wholly below it go once unpinned
  std::uint32_t released_to_ = 0;  // pages below it were visited by release_below
  std::uint64_t entries_ = 0;
  std::string_view source_;
  text::ByteBuffer arena_;  // grown by doubling, never zero-filled
  std::vector<std::string> failures_;
  // Non-string key scalars' texts by entry; by key id (kKeyBit set) for copies.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> raw_keys_;
  std::size_t raw_consumed_ = 0;  // raw_keys_ of entries already copied
  std::vector<std::pair<std::uint32_t, std::uint64_t>> key_raw_keys_;
  EventStack keys_;      // the key stack
  EventStack anchored_;  // copied anchored scalars
  Expansions expansions_;
};

}  // namespace velmora::documents::yaml
