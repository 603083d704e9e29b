// Anchor names and the latest node bound to each.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_hash.hpp"
#include "text/bits.hpp"

namespace velmora::documents::yaml {

// What an alias to a name denotes: the anchored entry and its expansion id
// (0 for a scalar).
struct AnchorBinding {
  std::uint32_t entry;
  std::uint32_t expansion;
};

// Names of up to eight bytes and no zero byte (most anchors; libyaml's
// names never hold one) are their own key: packed into one word, zero-padded,
// they are found by comparing words, with no text kept and no hash of the
// text (the word's keyed hash is one wide multiply).
// Their index holds the word and the binding in 16-byte slots; a name whose
// first kMaxProbes slots are taken goes to an ordered overflow by its word.
//
// Longer names are kept once each, in order of first binding: their hash,
// their text (in one shared string) and their latest binding. Their index is
// open addressing over hash_bytes with 8-byte slots (the low 32 bits of the
// hash and the name's number), so that a large table still fits in cache,
// with the same bound on probing and an ordered overflow by full hash.
//
// In both indexes slots fill up only, and growing places every name again,
// so a lookup that meets an empty slot within kMaxProbes need not look in
// the overflow. A new binding replaces the old one of its name. New
// bindings wait in a short queue, their slots fetched from memory meanwhile,
// and enter the index together: a large index then costs no wait on memory
// per binding (a small one, which stays in cache, takes them at once).
class AnchorTable {
 public:
  void bind(std::string_view name, AnchorBinding binding) {
    if (const std::uint64_t word = short_word(name)) {
      bind_short(word, binding);
    } else {
      bind_long(name, binding);
    }
  }
  // The latest binding of `name`, or nullptr; valid until the next bind.
  const AnchorBinding* find(std::string_view name) const {
    const std::uint64_t word = short_word(name);
    return word != 0 ? find_short(word) : find_long(name);
  }
  // Slots and overflow entries inspected (counted in test builds only).
  std::uint64_t probes() const { return probes_; }
  // The hash whose low bits pick the name's home slot (for tests that
  // choose colliding names).
  static std::uint64_t home_hash(std::string_view name);

  // Short names by their word, for callers that keep words: the word of
  // `name`, or 0 for a name that is not short (see short_word).
  static std::uint64_t word_of(std::string_view name) { return short_word(name); }
  void bind_word(std::uint64_t word, AnchorBinding binding) { bind_short(word, binding); }
  const AnchorBinding* find_word(std::uint64_t word) const {
    return has_short_names() ? find_short(word) : nullptr;
  }
  bool has_short_names() const { return short_count_ != 0 || short_waiting_count_ != 0; }

 private:
  static constexpr std::size_t kMaxProbes = 16;  // per name, in either index
  static constexpr std::size_t kWaiting = 16;    // bindings waiting, in either queue
  // An index of at most this many slots stays in cache: bindings enter it at
  // once, and lookups never scan a queue.
  static constexpr std::size_t kCachedSlots = 4096;

  // ---- short names: up to kShortMax bytes, none of them zero ----
  static constexpr std::size_t kShortMax = 8;
  struct ShortSlot {
    std::uint64_t word;  // 0 for none
    AnchorBinding binding;
  };
  // The 4 bytes at p, the first in the low bits.
  static std::uint64_t load_le4(const unsigned char* p) {
    if constexpr (std::endian::native == std::endian::little) {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    } else {
      return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) | (std::uint64_t{p[2]} << 16) |
             (std::uint64_t{p[3]} << 24);
    }
  }
  // The name's bytes, zero-padded (so never 0); 0 if the name is not short.
  static std::uint64_t short_word(std::string_view name) {
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const std::size_t n = name.size();
    if (n - 1 >= kShortMax) return 0;  // empty or long
    // Overlapping reads, each byte put in its place (a byte read twice lands
    // in the same place twice).
    std::uint64_t word;
    if (n >= 4) {
      word = load_le4(p) | (load_le4(p + n - 4) << (8 * (n - 4)));
    } else {
      word = std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) |
             (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
    }
    // A zero byte within the name would make it look shorter.
    const std::uint64_t v = word | (n == 8 ? 0 : ~std::uint64_t{0} << (8 * n));
    if ((v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull) return 0;
    return word;
  }
  // Keyed: one wide multiply, its halves folded.
  static std::uint64_t short_hash(std::uint64_t word) {
    return text::fold_multiply(word ^ hash_key().k4, hash_key().k2);
  }
  void bind_short(std::uint64_t word, AnchorBinding binding) {
    if (short_waiting_count_ == kWaiting) flush_short();
    const std::uint64_t hash = short_hash(word);
    if (!short_slots_.empty()) text::prefetch(&short_slots_[hash & (short_slots_.size() - 1)]);
    short_waiting_words_[short_waiting_count_] = word;
    short_waiting_[short_waiting_count_++] = binding;
    short_waiting_filter_ |= std::uint64_t{1} << (hash >> 58);
    if (short_slots_.size() <= kCachedSlots) flush_short();
  }
  const AnchorBinding* find_short(std::uint64_t word) const {
    const std::uint64_t hash = short_hash(word);
    if ((short_waiting_filter_ >> (hash >> 58)) & 1) {
      for (std::size_t i = short_waiting_count_; i-- > 0;) {  // newest first
        if (short_waiting_words_[i] == word) return &short_waiting_[i];
      }
    }
    if (short_slots_.empty()) return nullptr;
    const std::size_t mask = short_slots_.size() - 1;
    std::size_t p = hash & mask;
    for (std::size_t probes = 0; probes <= kMaxProbes; ++probes, p = (p + 1) & mask) {
      count(probes_);
      const ShortSlot& s = short_slots_[p];
      if (s.word == word) return &s.binding;
      if (s.word == 0) return nullptr;
    }
    return find_short_overflow(word);
  }
  const AnchorBinding* find_short_overflow(std::uint64_t word) const;
  // Enters `word`'s binding in its window or the overflow.
  void place_short(std::uint64_t word, AnchorBinding binding);
  // Doubles the index and places every name again, overflowed ones included.
  void grow_short();
  void flush_short();

  std::array<std::uint64_t, kWaiting> short_waiting_words_{};  // scanned by lookups
  std::array<AnchorBinding, kWaiting> short_waiting_{};
  std::size_t short_waiting_count_ = 0;
  std::uint64_t short_waiting_filter_ = 0;  // a bit for the top six bits of each waiting hash
  std::size_t short_count_ = 0;             // words in the index and the overflow
  std::vector<ShortSlot> short_slots_;      // size a power of two, at most half full
  std::map<std::uint64_t, AnchorBinding> short_overflow_;

  // ---- longer names ----
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
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

  void bind_long(std::string_view name, AnchorBinding binding);
  const AnchorBinding* find_long(std::string_view name) const;
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
