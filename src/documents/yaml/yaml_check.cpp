// YAML document check: collects the first document's events from libyaml,
// then builds it under the depth budget and the repetition limit, checking
// scalars and mapping keys, and finally requires the stream to end.
//
// The tree itself is never materialised. Entries are kept compactly (16 bytes
// each, no marks; scalar texts in one arena, and only for scalars that are or
// may become keys). Building follows collecting closely while no alias could
// reach the repetition limit, whose value depends on the final length of the
// list, and finishes once collecting has ended. Aliases are not re-walked:
// every anchored collection records, at collection time, the height and the
// alias count of its full expansion, so an alias costs O(1) unless one of the
// limits could be reached inside it; only then is the expansion replayed, and
// that replay ends in the failure. Keys are hashed consistently with node
// equality and compared only on equal hashes.
#include "documents/yaml/yaml_check.hpp"

#include <yaml.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "text/quoted_text.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_scalar.hpp"

namespace velmora::documents {
namespace {

using yaml::CheckStats;
using yaml::Resolved;
using yaml::TagClass;
using yaml::ValueKind;

constexpr std::uint32_t kDepthBudget = 128;
constexpr std::uint64_t kRepetitionFactor = 100;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kInfiniteHeight = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kInfiniteCount = std::numeric_limits<std::uint64_t>::max();

constexpr const char kRepetitionLimit[] = "repetition limit exceeded";
constexpr const char kRecursionLimit[] = "recursion limit exceeded";
constexpr const char kEndOfList[] = "EOF while parsing a value";
constexpr const char kMoreThanOneDocument[] =
    "deserializing from YAML containing more than one document is not supported";
constexpr const char kOutOfMemory[] = "out of memory";

enum class Kind : std::uint8_t { Scalar, SeqStart, SeqEnd, MapStart, MapEnd, Alias };

enum : std::uint8_t {
  kHasText = 1,   // string scalar in the arena: its hash, then its text (payload = offset)
  kTagged = 2,    // local tag; aux = tag id
  kAnchored = 4,  // carries an anchor
  // Completes a mapping key whose value, a scalar outside keys and anchored
  // nodes that cannot fail, is not kept: nothing of it is ever read again.
  kValueFollows = 8,
};

// One collected entry. Marks are not kept: the rare failure that names one
// finds it by parsing the text again up to that entry.
struct Event {
  Kind kind;
  ValueKind value;  // scalars
  std::uint8_t flags;
  std::uint8_t reserved = 0;
  std::uint32_t aux;  // scalar, collection start: tag id; alias: target entry
  // Scalar: value bits, text offset or failure index.
  // Collection start: matching end entry | (memo id << 32). Alias: the
  // target's memo id (0 for a scalar).
  std::uint64_t payload;
};
static_assert(sizeof(Event) == 16);

struct Mark {
  std::size_t line = 0;
  std::size_t column = 0;
};

// What a full expansion of an anchored collection does: its nesting height and
// the alias expansions inside it. kInfinite* when it refers to itself.
struct Memo {
  std::uint32_t height = kInfiniteHeight;
  bool hash_valid = false;
  std::uint64_t count = kInfiniteCount;
  std::uint64_t hash = 0;
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kInfiniteCount - b ? kInfiniteCount : a + b;
}

void append_mark(std::string& out, Mark m) {
  out += " at line ";
  out += std::to_string(m.line + 1);
  out += " column ";
  out += std::to_string(m.column + 1);
}

void append_mark_unless_origin(std::string& out, Mark m) {
  if (m.line != 0 || m.column != 0) append_mark(out, m);
}

// libyaml's problem and context, with their marks (or the reader's offset).
std::string render_libyaml_error(const yaml_parser_t& p) {
  std::string out =
      p.problem != nullptr ? p.problem : "libyaml parser failed but there is no error";
  const yaml_mark_t& pm = p.problem_mark;
  if (pm.line != 0 || pm.column != 0) {
    append_mark(out, {pm.line, pm.column});
  } else if (p.problem_offset != 0) {
    out += " at position ";
    out += std::to_string(p.problem_offset);
  }
  if (p.context != nullptr) {
    out += ", ";
    out += p.context;
    const yaml_mark_t& cm = p.context_mark;
    if ((cm.line != 0 || cm.column != 0) && (cm.line != pm.line || cm.column != pm.column)) {
      append_mark(out, {cm.line, cm.column});
    }
  }
  return out;
}

class Parser {
 public:
  Parser() : ok_(yaml_parser_initialize(&parser_) != 0) {}
  ~Parser() {
    if (ok_) yaml_parser_delete(&parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  bool ok() const { return ok_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_{};
  bool ok_;
};

class ParsedEvent {
 public:
  ParsedEvent() { event_.type = YAML_NO_EVENT; }  // yaml_parser_parse clears it
  ~ParsedEvent() { yaml_event_delete(&event_); }
  ParsedEvent(const ParsedEvent&) = delete;
  ParsedEvent& operator=(const ParsedEvent&) = delete;
  yaml_event_t* get() { return &event_; }
  const yaml_event_t& operator*() const { return event_; }

 private:
  yaml_event_t event_{};
};

// Transparent string hashing for the tag table.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

// ---- hashing consistent with node equality -------------------------------

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Multiply-fold hash over 16-byte blocks; the tail reads overlap the last block.
std::uint64_t hash_bytes(std::string_view s) {
  constexpr std::uint64_t k1 = 0xA0761D6478BD642Full, k2 = 0xE7037ED1A0B428DBull,
                          k3 = 0x8EBC6AF09C88C6E3ull;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::uint64_t h = k3 ^ n;
  std::uint64_t a = 0, b = 0;
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 16 < n; i += 16) h = fold_multiply(load8(p + i) ^ k1, load8(p + i + 8) ^ h);
    a = load8(p + (n - i > 8 ? i : n - 8));
    b = load8(p + n - 8);
  } else if (n >= 4) {
    std::uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else if (n > 0) {
    a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
        (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
        static_cast<unsigned char>(p[n - 1]);
  }
  return fold_multiply(k1 ^ n, fold_multiply(a ^ k1, b ^ h ^ k2));
}

enum Seed : std::uint64_t {
  kSeedNull = 0x1000,
  kSeedBool = 0x2000,
  kSeedUInt = 0x3000,
  kSeedNegInt = 0x4000,
  kSeedFloat = 0x5000,
  kSeedString = 0x6000,
  kSeedSeq = 0x7000,
  kSeedMap = 0x8000,
  kSeedTag = 0x9000,
};

// ---- the check ---------------------------------------------------------------

struct CollectFrame {
  std::uint32_t start;
  bool is_map;
  bool expect_key;  // mappings: the next child is a key
  bool in_key;      // inside a key
  bool in_anchor;   // inside an anchored node
  std::uint32_t height = 0;
  std::uint64_t count = 0;
};

struct BuildFrame {
  std::uint32_t start;
  bool is_map;
  bool expect_key;
  std::uint32_t elements;   // sequences: completed elements
  std::uint32_t key_entry;  // mappings: entry of the current key
};

// Keys of one open mapping: linear scan while small, open addressing beyond.
struct KeyTable {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys;  // (hash, node)
  std::vector<std::uint64_t> slots;  // (hash >> 32) << 32 | (key index + 1); 0 = empty
  bool indexed = false;

  void reset() {
    keys.clear();
    indexed = false;
  }
};

class Checker {
 public:
  Checker(CheckStats& stats, std::uint32_t batch) : stats_(stats), batch_(batch) {}

  CheckResult run(std::string_view text);

 private:
  // collecting
  void collect(yaml_parser_t* parser);
  std::uint32_t push_event(Kind kind) {
    const auto entry = static_cast<std::uint32_t>(events_.size());
    if (entry >= kNone - 1) [[unlikely]]
      throw std::length_error("too many events");
    events_.push_back(Event{kind, ValueKind::Null, 0, 0, kNone, 0});
    ++entries_;
    return entry;
  }
  void child_done(std::uint32_t height, std::uint64_t count);

  std::uint64_t store_text(std::string_view s);
  std::uint64_t store_string(std::string_view s, std::uint64_t hash);
  std::string_view string_at(std::uint64_t offset) const { return text_at(offset + 8); }
  std::uint64_t string_hash(std::uint64_t offset) const {
    std::uint64_t h;
    std::memcpy(&h, arena_.data() + offset, 8);
    return h;
  }
  std::uint32_t intern_tag(const char* tag);
  void bind_anchor(const yaml_char_t* anchor, std::uint32_t entry, std::uint32_t memo);

  // building
  enum class Progress { NeedMore, Built, Failed };
  Progress advance(bool final);
  bool expansion_fits(std::uint32_t alias, std::uint32_t budget, std::uint64_t counter, bool take);
  CheckResult replay(std::uint32_t target, std::uint32_t budget);
  CheckResult list_ended() const;
  CheckResult building_failure(std::string_view message, std::size_t frames, Mark mark) const;
  std::string path(std::size_t frames) const;
  std::string render_key(std::uint32_t node) const;

  // keys
  std::uint64_t hash_node(std::uint32_t node);
  bool equal_nodes(std::uint32_t a, std::uint32_t b);
  bool equal_mappings(std::uint32_t a, std::uint32_t b);
  std::uint32_t find_or_insert(KeyTable& table, std::uint64_t hash, std::uint32_t node);

  // access
  Mark mark(std::uint32_t entry) const;
  std::string_view text_at(std::uint64_t offset) const;
  std::string_view key_text(std::uint32_t entry) const;
  std::uint32_t resolve_alias(std::uint32_t entry) const {
    return events_[entry].kind == Kind::Alias ? events_[entry].aux : entry;
  }
  std::uint32_t end_of(std::uint32_t start) const {
    return static_cast<std::uint32_t>(events_[start].payload);
  }
  std::uint32_t memo_id(std::uint32_t start) const {
    return static_cast<std::uint32_t>(events_[start].payload >> 32);
  }
  // Entry following the node that starts at `entry`.
  std::uint32_t next_node(std::uint32_t entry) const {
    const Kind k = events_[entry].kind;
    return (k == Kind::SeqStart || k == Kind::MapStart) ? end_of(entry) + 1 : entry + 1;
  }

  CheckStats& stats_;
  std::uint32_t batch_;  // entries collected between two building steps
  std::string_view text_;
  bool bom_ = false;

  std::vector<Event> events_;
  std::uint64_t entries_ = 0;  // entries of the document's list, folded values included
  // Finding a mark: collecting again stops once entry mark_target_ exists.
  std::uint32_t mark_target_ = kNone;
  Mark last_mark_;
  std::string arena_;
  std::vector<std::string> failures_;                              // scalar failure messages
  std::vector<std::pair<std::uint32_t, std::uint64_t>> raw_keys_;  // non-string key scalars' texts
  std::vector<Memo> memos_;                                        // id 0 unused
  // Anchor table: open addressing; short names are kept in the slot itself,
  // longer ones in the arena (offset in the first 8 bytes of `name`).
  struct AnchorSlot {
    std::uint64_t hash = 0;
    std::uint32_t entry = kNone;  // the anchored entry
    std::uint32_t memo = 0;       // its memo id (0 for scalars)
    std::uint32_t length = 0;
    char name[20] = {};
    std::string_view name_text(const Checker& c) const;
    bool holds(std::string_view n, std::uint64_t h, const Checker& c) const;
  };
  std::array<AnchorSlot, 32> recent_;  // latest bindings, not yet in anchors_
  std::size_t recent_count_ = 0;
  const AnchorSlot* lookup_anchor(std::string_view name) const;
  void flush_anchors();
  std::vector<AnchorSlot> anchors_;
  std::size_t anchor_count_ = 0;
  AnchorSlot* find_anchor(std::string_view name, std::uint64_t hash);
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> tag_ids_;
  std::unordered_map<std::uint32_t, std::uint64_t> scalar_hashes_;  // anchored scalars
  std::vector<CollectFrame> collect_stack_;
  std::optional<std::string> attached_;
  bool stream_ended_ = false;

  std::uint64_t counter_ = 0;
  std::uint64_t limit_ = 0;
  std::uint32_t pos_ = 0;  // next entry to build
  bool paused_ = false;    // building waits for the end of collecting
  bool built_ = false;     // the root node is complete
  CheckResult result_;     // building failure
  std::vector<BuildFrame> frames_;
  std::vector<KeyTable> tables_;
  std::unordered_set<std::uint64_t> equal_pairs_;  // anchored collections known equal
};

void set_up(yaml_parser_t* parser, std::string_view text, bool bom) {
  // A leading byte-order mark is not content: let libyaml detect it (it then
  // skips the mark, counting it in offsets only). Every other text is read
  // as UTF-8 without detection.
  if (!bom) yaml_parser_set_encoding(parser, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
}

// The start mark of a kept entry: the text is collected again, without
// building, up to that entry.
Mark Checker::mark(std::uint32_t entry) const {
  CheckStats stats;
  Checker probe(stats, kNone);
  probe.mark_target_ = entry;
  probe.text_ = text_;
  probe.bom_ = bom_;
  Parser parser;
  if (!parser.ok()) return {};
  set_up(parser.get(), text_, bom_);
  probe.collect(parser.get());
  return probe.events_.size() > entry ? probe.last_mark_ : Mark{};
}

std::uint64_t Checker::store_text(std::string_view s) {
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

std::uint64_t Checker::store_string(std::string_view s, std::uint64_t hash) {
  const std::uint64_t offset = arena_.size();
  char h[8];
  std::memcpy(h, &hash, 8);
  arena_.append(h, 8);
  store_text(s);
  return offset;
}

std::string_view Checker::text_at(std::uint64_t offset) const {
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

std::string_view Checker::key_text(std::uint32_t entry) const {
  const Event& e = events_[entry];
  if (e.flags & kHasText) return string_at(e.payload);
  const auto it = std::lower_bound(raw_keys_.begin(), raw_keys_.end(), entry,
                                   [](const auto& p, std::uint32_t x) { return p.first < x; });
  return text_at(it->second);
}

std::uint32_t Checker::intern_tag(const char* tag) {
  // Tags compare without the leading "!" (kept when the tag is "!" alone), so
  // equal tags share one id.
  std::string_view name(tag);
  if (name.size() > 1) name.remove_prefix(1);
  if (name.size() > 1 && name.front() == '!') name.remove_prefix(1);
  if (const auto it = tag_ids_.find(name); it != tag_ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(tag_ids_.size());
  tag_ids_.emplace(std::string(name), id);
  return id;
}

// The slot holding `name`, or the empty slot where it belongs.
std::string_view Checker::AnchorSlot::name_text(const Checker& c) const {
  if (length <= sizeof name) return std::string_view(name, length);
  return c.text_at(load8(name));
}

bool Checker::AnchorSlot::holds(std::string_view n, std::uint64_t h, const Checker& c) const {
  return hash == h && length == n.size() && name_text(c) == n;
}

// The table slot holding `name`, or the empty slot where it belongs.
Checker::AnchorSlot* Checker::find_anchor(std::string_view name, std::uint64_t hash) {
  const std::size_t mask = anchors_.size() - 1;
  for (std::size_t p = hash & mask;; p = (p + 1) & mask) {
    AnchorSlot& slot = anchors_[p];
    if (slot.entry == kNone || slot.holds(name, hash, *this)) return &slot;
  }
}

// The latest binding of `name`, or nullptr.
const Checker::AnchorSlot* Checker::lookup_anchor(std::string_view name) const {
  const std::uint64_t hash = hash_bytes(name);
  for (std::size_t i = recent_count_; i-- > 0;) {
    if (recent_[i].holds(name, hash, *this)) return &recent_[i];
  }
  if (anchors_.empty()) return nullptr;
  const AnchorSlot* slot = const_cast<Checker*>(this)->find_anchor(name, hash);
  return slot->entry == kNone ? nullptr : slot;
}

// New bindings wait in a short list and enter the table in groups, their
// slots fetched from memory together rather than one miss at a time.
void Checker::flush_anchors() {
  if ((anchor_count_ + recent_count_) * 2 > anchors_.size()) {
    std::vector<AnchorSlot> old(std::max<std::size_t>(64, anchors_.size() * 2));
    while ((anchor_count_ + recent_count_) * 2 > old.size()) old.resize(old.size() * 2);
    old.swap(anchors_);
    const std::size_t mask = anchors_.size() - 1;
    for (const AnchorSlot& s : old) {
      if (s.entry == kNone) continue;
      std::size_t p = s.hash & mask;
      while (anchors_[p].entry != kNone) p = (p + 1) & mask;
      anchors_[p] = s;
    }
  }
  const std::size_t mask = anchors_.size() - 1;
  for (std::size_t i = 0; i < recent_count_; ++i)
    __builtin_prefetch(&anchors_[recent_[i].hash & mask]);
  for (std::size_t i = 0; i < recent_count_; ++i) {
    const AnchorSlot& r = recent_[i];
    AnchorSlot* slot = find_anchor(r.name_text(*this), r.hash);
    if (slot->entry == kNone) ++anchor_count_;
    *slot = r;
  }
  recent_count_ = 0;
}

void Checker::bind_anchor(const yaml_char_t* anchor, std::uint32_t entry, std::uint32_t memo) {
  const std::string_view name(reinterpret_cast<const char*>(anchor));
  if (recent_count_ == recent_.size()) flush_anchors();
  AnchorSlot& slot = recent_[recent_count_++];
  slot = AnchorSlot{};
  slot.hash = hash_bytes(name);
  slot.length = static_cast<std::uint32_t>(name.size());
  if (name.size() <= sizeof slot.name) {
    std::memcpy(slot.name, name.data(), name.size());
  } else {
    const std::uint64_t offset = store_text(name);
    std::memcpy(slot.name, &offset, 8);
  }
  slot.entry = entry;
  slot.memo = memo;
}

inline void Checker::child_done(std::uint32_t height, std::uint64_t count) {
  if (collect_stack_.empty()) return;
  CollectFrame& f = collect_stack_.back();
  f.height = std::max(f.height, height);
  f.count = saturating_add(f.count, count);
  if (f.is_map) f.expect_key = !f.expect_key;
}

void Checker::collect(yaml_parser_t* parser) {
  std::string failure;
  for (;;) {
    if (events_.size() > mark_target_) return;
    // Build along while the entries are fresh in the cache; a building
    // failure ends the check without reading the rest.
    if (!paused_ && !built_ && events_.size() - pos_ >= batch_) {
      switch (advance(false)) {
        case Progress::Failed:
          return;
        case Progress::Built:
          built_ = true;
          break;
        case Progress::NeedMore:
          break;
      }
    }
    ParsedEvent ev;
    if (!yaml_parser_parse(parser, ev.get())) {
      attached_ = render_libyaml_error(*parser);
      return;
    }
    const yaml_event_t& e = *ev;
    last_mark_ = {e.start_mark.line, e.start_mark.column};
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        continue;
      case YAML_DOCUMENT_END_EVENT:
        return;
      case YAML_NO_EVENT:
      case YAML_STREAM_END_EVENT:
        stream_ended_ = true;
        if (events_.empty()) push_event(Kind::Scalar);  // builds as null
        return;
      case YAML_ALIAS_EVENT: {
        const std::string_view name(reinterpret_cast<const char*>(e.data.alias.anchor));
        const AnchorSlot* slot = lookup_anchor(name);
        if (slot == nullptr) {
          std::string msg = "unknown anchor";
          append_mark_unless_origin(msg, {e.start_mark.line, e.start_mark.column});
          attached_ = std::move(msg);
          return;
        }
        const std::uint32_t entry = push_event(Kind::Alias);
        events_[entry].aux = slot->entry;
        events_[entry].payload = slot->memo;
        if (slot->memo == 0) {
          child_done(0, 1);
        } else {
          const Memo& m = memos_[slot->memo];
          child_done(m.height, saturating_add(m.count, 1));
        }
        continue;
      }
      case YAML_SCALAR_EVENT: {
        const auto& s = e.data.scalar;
        const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
        const CollectFrame* parent = collect_stack_.empty() ? nullptr : &collect_stack_.back();
        const bool direct_key = parent != nullptr && parent->is_map && parent->expect_key;
        const bool in_key = direct_key || (parent != nullptr && parent->in_key);
        const bool in_anchor = s.anchor != nullptr || (parent != nullptr && parent->in_anchor);
        const TagClass tag = yaml::classify_tag(reinterpret_cast<const char*>(s.tag));
        // Outside keys and anchored nodes a scalar only matters if it fails.
        const Resolved r = yaml::resolve_scalar(value, s.style == YAML_PLAIN_SCALAR_STYLE, tag,
                                                failure, in_key || in_anchor);
        if (parent != nullptr && parent->is_map && !parent->expect_key && !in_key && !in_anchor &&
            r.kind != ValueKind::Failure) {
          events_.back().flags |= kValueFollows;  // the entry that completed the key
          // If building has already taken that key, it now waits for the
          // value, which is complete.
          if (pos_ == events_.size() && !frames_.empty()) frames_.back().expect_key = true;
          ++entries_;
          child_done(0, 0);
          continue;
        }
        const std::uint32_t entry = push_event(Kind::Scalar);
        Event& ev_out = events_[entry];
        ev_out.value = r.kind;
        if (r.kind == ValueKind::Failure) {
          ev_out.payload = failures_.size();
          failures_.push_back(std::move(failure));
        } else if (r.kind == ValueKind::String) {
          if (in_key || in_anchor) {
            const std::uint64_t hash = hash_bytes(value);
            ev_out.payload = store_string(value, hash);
            ev_out.flags |= kHasText;
          }
        } else {
          ev_out.payload = r.bits;
          if (direct_key) raw_keys_.emplace_back(entry, store_text(value));
        }
        if (tag == TagClass::Local) {
          const std::uint32_t id = intern_tag(reinterpret_cast<const char*>(s.tag));
          events_[entry].aux = id;
          events_[entry].flags |= kTagged;
        }
        if (s.anchor != nullptr) {
          events_[entry].flags |= kAnchored;
          bind_anchor(s.anchor, entry, 0);
        }
        child_done(0, 0);
        continue;
      }
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT: {
        const bool is_map = e.type == YAML_MAPPING_START_EVENT;
        const yaml_char_t* anchor =
            is_map ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
        const yaml_char_t* tag = is_map ? e.data.mapping_start.tag : e.data.sequence_start.tag;
        const CollectFrame* parent = collect_stack_.empty() ? nullptr : &collect_stack_.back();
        const bool in_key =
            parent != nullptr && ((parent->is_map && parent->expect_key) || parent->in_key);
        const bool in_anchor = anchor != nullptr || (parent != nullptr && parent->in_anchor);
        const std::uint32_t entry = push_event(is_map ? Kind::MapStart : Kind::SeqStart);
        if (tag != nullptr && tag[0] == '!') {
          events_[entry].aux = intern_tag(reinterpret_cast<const char*>(tag));
          events_[entry].flags |= kTagged;
        }
        if (anchor != nullptr) {
          if (memos_.empty()) memos_.emplace_back();
          events_[entry].payload = static_cast<std::uint64_t>(memos_.size()) << 32;
          memos_.emplace_back();  // infinite until the collection ends
          events_[entry].flags |= kAnchored;
          bind_anchor(anchor, entry, memo_id(entry));
        }
        collect_stack_.push_back({entry, is_map, true, in_key, in_anchor});
        continue;
      }
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT: {
        const std::uint32_t entry =
            push_event(e.type == YAML_MAPPING_END_EVENT ? Kind::MapEnd : Kind::SeqEnd);
        if (collect_stack_.empty()) continue;  // libyaml keeps events balanced
        const CollectFrame f = collect_stack_.back();
        collect_stack_.pop_back();
        events_[f.start].payload |= entry;
        const std::uint32_t height = f.height == kInfiniteHeight ? kInfiniteHeight : f.height + 1;
        if (const std::uint32_t id = memo_id(f.start); id != 0) {
          memos_[id].height = height;
          memos_[id].count = f.count;
        }
        child_done(height, f.count);
        continue;
      }
    }
  }
}

CheckResult Checker::list_ended() const {
  if (attached_) return attached_;
  return std::string(kEndOfList);
}

std::string Checker::path(std::size_t frames) const {
  std::string out;
  bool root = true;
  for (std::size_t i = 0; i < frames; ++i) {
    const BuildFrame& f = frames_[i];
    if (!f.is_map) {
      if (root) out = ".";
      out += '[';
      out += std::to_string(f.elements);
      out += ']';
      root = false;
    } else if (!f.expect_key) {
      if (!root) out += '.';
      if (events_[f.key_entry].kind == Kind::Scalar) {
        out += key_text(f.key_entry);
      } else {
        out += '?';
      }
      root = false;
    }
  }
  return root ? std::string(".") : out;
}

CheckResult Checker::building_failure(std::string_view message, std::size_t frames, Mark m) const {
  std::string out = path(frames);
  if (out == ".") {
    out.clear();
  } else {
    out += ": ";
  }
  out += message;
  append_mark_unless_origin(out, m);
  return out;
}

std::string Checker::render_key(std::uint32_t node) const {
  const Event& e = events_[node];
  if (e.kind != Kind::Scalar || (e.flags & kTagged)) return "in YAML map";
  std::string out = "with key ";
  switch (e.value) {
    case ValueKind::Null:
      return "with null key";
    case ValueKind::Bool:
      return e.payload ? "with key `true`" : "with key `false`";
    case ValueKind::UInt:
      out += std::to_string(e.payload);
      break;
    case ValueKind::NegInt:
      out += std::to_string(static_cast<std::int64_t>(e.payload));
      break;
    case ValueKind::Float:
      yaml::append_double(out, std::bit_cast<double>(e.payload));
      break;
    case ValueKind::String:
    case ValueKind::Failure:
      unicode::append_quoted_text(out, string_at(e.payload));
      break;
  }
  return out;
}

std::uint64_t Checker::hash_node(std::uint32_t node) {
  node = resolve_alias(node);
  const Event& e = events_[node];
  ++stats_.hashed_nodes;
  std::uint64_t h = 0;
  switch (e.kind) {
    case Kind::Scalar: {
      if (e.flags & kAnchored) {
        if (const auto it = scalar_hashes_.find(node); it != scalar_hashes_.end())
          return it->second;
      }
      switch (e.value) {
        case ValueKind::Null:
          h = mix(kSeedNull);
          break;
        case ValueKind::Bool:
          h = mix(kSeedBool + e.payload);
          break;
        case ValueKind::UInt:
          h = mix(kSeedUInt ^ mix(e.payload));
          break;
        case ValueKind::NegInt:
          h = mix(kSeedNegInt ^ mix(e.payload));
          break;
        case ValueKind::Float: {
          const double d = std::bit_cast<double>(e.payload);
          if (d != d) {
            h = mix(kSeedFloat + 1);
          } else {
            h = mix(kSeedFloat ^ mix(d == 0 ? 0 : e.payload));
          }
          break;
        }
        case ValueKind::String:
        case ValueKind::Failure:
          h = kSeedString ^ string_hash(e.payload);
          break;
      }
      break;
    }
    case Kind::SeqStart:
    case Kind::MapStart: {
      const std::uint32_t id = memo_id(node);
      if (id != 0 && memos_[id].hash_valid) return memos_[id].hash;
      const std::uint32_t end = end_of(node);
      if (e.kind == Kind::SeqStart) {
        h = kSeedSeq;
        for (std::uint32_t c = node + 1; c < end; c = next_node(c))
          h = mix(h ^ hash_node(c)) + kMul;
      } else {
        std::uint64_t sum = 0, n = 0;
        for (std::uint32_t k = node + 1; k < end;) {
          const std::uint32_t v = next_node(k);
          const std::uint64_t hk = hash_node(k);
          sum += mix(hk * kMul + hash_node(v));  // order-independent sum over entries
          ++n;
          k = next_node(v);
        }
        h = mix(kSeedMap ^ mix(sum + n));
      }
      break;
    }
    default:
      break;
  }
  if (e.flags & kTagged) h = mix(h ^ mix(kSeedTag + e.aux));
  if (e.flags & kAnchored) {
    if (e.kind == Kind::Scalar) {
      scalar_hashes_.emplace(node, h);
    } else {
      Memo& m = memos_[memo_id(node)];
      m.hash = h;
      m.hash_valid = true;
    }
  }
  return h;
}

bool Checker::equal_nodes(std::uint32_t a, std::uint32_t b) {
  a = resolve_alias(a);
  b = resolve_alias(b);
  ++stats_.node_compares;
  if (a == b) return true;
  const Event& x = events_[a];
  const Event& y = events_[b];
  if (x.kind != y.kind) return false;
  if ((x.flags & kTagged) != (y.flags & kTagged)) return false;
  if ((x.flags & kTagged) && x.aux != y.aux) return false;
  switch (x.kind) {
    case Kind::Scalar: {
      if (x.value != y.value) return false;
      switch (x.value) {
        case ValueKind::Null:
          return true;
        case ValueKind::Bool:
        case ValueKind::UInt:
        case ValueKind::NegInt:
          return x.payload == y.payload;
        case ValueKind::Float: {
          const double p = std::bit_cast<double>(x.payload), q = std::bit_cast<double>(y.payload);
          return p == q || (p != p && q != q);
        }
        case ValueKind::String:
        case ValueKind::Failure:
          return string_at(x.payload) == string_at(y.payload);
      }
      return false;
    }
    case Kind::SeqStart:
    case Kind::MapStart: {
      const std::uint32_t ia = memo_id(a), ib = memo_id(b);
      const std::uint64_t pair = (static_cast<std::uint64_t>(a) << 32) | b;
      if (ia != 0 && ib != 0) {
        if (memos_[ia].hash_valid && memos_[ib].hash_valid && memos_[ia].hash != memos_[ib].hash)
          return false;
        if (equal_pairs_.count(pair)) return true;
      }
      bool equal;
      if (x.kind == Kind::SeqStart) {
        equal = true;
        std::uint32_t i = a + 1, j = b + 1;
        const std::uint32_t ea = end_of(a), eb = end_of(b);
        for (; i < ea && j < eb; i = next_node(i), j = next_node(j)) {
          if (!equal_nodes(i, j)) {
            equal = false;
            break;
          }
        }
        equal = equal && i == ea && j == eb;
      } else {
        equal = equal_mappings(a, b);
      }
      if (equal && ia != 0 && ib != 0) equal_pairs_.insert(pair);
      return equal;
    }
    default:
      return false;
  }
}

bool Checker::equal_mappings(std::uint32_t a, std::uint32_t b) {
  struct Entry {
    std::uint64_t hash;
    std::uint32_t key, value;
  };
  std::vector<Entry> other;
  for (std::uint32_t k = b + 1, e = end_of(b); k < e;) {
    const std::uint32_t v = next_node(k);
    other.push_back({hash_node(k), k, v});
    k = next_node(v);
  }
  std::sort(other.begin(), other.end(),
            [](const Entry& p, const Entry& q) { return p.hash < q.hash; });
  std::size_t count = 0;
  for (std::uint32_t k = a + 1, e = end_of(a); k < e;) {
    const std::uint32_t v = next_node(k);
    ++count;
    if (count > other.size()) return false;
    const std::uint64_t h = hash_node(k);
    auto it = std::lower_bound(other.begin(), other.end(), h,
                               [](const Entry& p, std::uint64_t x) { return p.hash < x; });
    bool found = false;
    for (; it != other.end() && it->hash == h; ++it) {
      if (equal_nodes(k, it->key)) {
        found = true;
        if (!equal_nodes(v, it->value)) return false;
        break;
      }
    }
    if (!found) return false;
    k = next_node(v);
  }
  return count == other.size();
}

std::uint32_t Checker::find_or_insert(KeyTable& t, std::uint64_t hash, std::uint32_t node) {
  constexpr std::size_t kLinear = 8;
  const auto place = [](std::vector<std::uint64_t>& slots, std::uint64_t h, std::size_t index) {
    const std::size_t mask = slots.size() - 1;
    std::size_t p = static_cast<std::size_t>(h) & mask;
    while (slots[p] != 0) p = (p + 1) & mask;
    slots[p] = (h & 0xFFFFFFFF00000000ull) | (index + 1);
  };
  if (!t.indexed) {
    for (const auto& [h, k] : t.keys) {
      ++stats_.key_probes;
      if (h == hash && equal_nodes(k, node)) return k;
    }
    t.keys.emplace_back(hash, node);
    if (t.keys.size() > kLinear) {
      t.indexed = true;
      t.slots.assign(64, 0);
      for (std::size_t i = 0; i < t.keys.size(); ++i) place(t.slots, t.keys[i].first, i);
    }
    return kNone;
  }
  // The slot keeps the hash's upper half, so most probes never touch `keys`.
  const std::size_t mask = t.slots.size() - 1;
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000ull;
  std::size_t p = static_cast<std::size_t>(hash) & mask;
  for (; t.slots[p] != 0; p = (p + 1) & mask) {
    ++stats_.key_probes;
    if ((t.slots[p] & 0xFFFFFFFF00000000ull) != tag) continue;
    const auto& [h, k] = t.keys[(t.slots[p] & 0xFFFFFFFFu) - 1];
    if (h == hash && equal_nodes(k, node)) return k;
  }
  t.keys.emplace_back(hash, node);
  t.slots[p] = tag | t.keys.size();
  if (t.keys.size() * 2 > t.slots.size()) {
    t.slots.assign(t.slots.size() * 2, 0);
    for (std::size_t i = 0; i < t.keys.size(); ++i) place(t.slots, t.keys[i].first, i);
  }
  return kNone;
}

// Whether expanding the target of `alias` with `budget` levels left and the repetition
// counter at `counter` stays within both limits; if so and `take`, the
// counter takes the expansions inside it.
bool Checker::expansion_fits(std::uint32_t alias, std::uint32_t budget, std::uint64_t counter,
                             bool take) {
  const auto id = static_cast<std::uint32_t>(events_[alias].payload);
  if (id == 0) return true;  // a scalar
  const Memo& m = memos_[id];
  if (m.height == kInfiniteHeight || m.height > budget) return false;
  if (counter > limit_ || m.count > limit_ - counter) return false;
  if (take) counter_ += m.count;
  return true;
}

// Walks the expansion of `target` the way building it would, tracking only
// depth and repetitions: nothing else can fail in a node already built once.
CheckResult Checker::replay(std::uint32_t target, std::uint32_t budget) {
  if (events_[target].kind == Kind::Scalar) return std::nullopt;
  std::uint32_t nest = 0;
  for (std::size_t i = target; i < events_.size(); ++i) {
    ++stats_.replayed_events;
    const Event& e = events_[i];
    switch (e.kind) {
      case Kind::SeqStart:
      case Kind::MapStart:
        if (nest == budget) {
          std::string msg = kRecursionLimit;
          append_mark_unless_origin(msg, mark(static_cast<std::uint32_t>(i)));
          return msg;
        }
        ++nest;
        break;
      case Kind::SeqEnd:
      case Kind::MapEnd:
        if (--nest == 0) return std::nullopt;
        break;
      case Kind::Alias:
        if (++counter_ > limit_) return std::string(kRepetitionLimit);
        if (!expansion_fits(static_cast<std::uint32_t>(i), budget - nest, counter_, true)) {
          if (auto failure = replay(e.aux, budget - nest)) return failure;
        }
        break;
      case Kind::Scalar:
        break;
    }
  }
  return list_ended();
}

// Builds from entry pos_ on. While collecting (`final` false) the list is
// still growing and its final length, hence the repetition limit, is only
// known from below: building pauses for good at the first alias whose outcome
// could depend on it, and goes on once collecting has ended.
Checker::Progress Checker::advance(bool final) {
  const auto n = static_cast<std::uint32_t>(events_.size());
  limit_ = kRepetitionFactor * entries_;
  constexpr std::uint32_t kAhead = 16;
  for (; pos_ < n; ++pos_) {
    const std::uint32_t i = pos_;
    ++stats_.built_events;
    // Large mappings: fetch the table slot of a string key a few entries
    // ahead, so that its lookup does not wait for memory.
    if (i + kAhead < n && !frames_.empty() && frames_.back().is_map) {
      const Event& ahead = events_[i + kAhead];
      const KeyTable& t = tables_[frames_.size() - 1];
      if (t.indexed && (ahead.flags & (kHasText | kTagged)) == kHasText) {
        __builtin_prefetch(t.slots.data() +
                           ((kSeedString ^ string_hash(ahead.payload)) & (t.slots.size() - 1)));
      }
    }
    const Event& e = events_[i];
    std::uint32_t node = i;
    switch (e.kind) {
      case Kind::Scalar:
        if (e.value == ValueKind::Failure) {
          result_ = building_failure(failures_[e.payload], frames_.size(), mark(i));
          return Progress::Failed;
        }
        break;
      case Kind::Alias: {
        node = e.aux;
        const auto budget = static_cast<std::uint32_t>(kDepthBudget - frames_.size());
        if (!final && (counter_ >= limit_ || !expansion_fits(i, budget, counter_ + 1, false))) {
          paused_ = true;
          return Progress::NeedMore;
        }
        if (++counter_ > limit_) {
          result_ = std::string(kRepetitionLimit);
          return Progress::Failed;
        }
        if (!expansion_fits(i, budget, counter_, true)) {
          if ((result_ = replay(node, budget))) return Progress::Failed;
        }
        break;
      }
      case Kind::SeqStart:
      case Kind::MapStart:
        if (frames_.size() == kDepthBudget) {
          std::string msg = kRecursionLimit;
          append_mark_unless_origin(msg, mark(i));
          result_ = std::move(msg);
          return Progress::Failed;
        }
        frames_.push_back({i, e.kind == Kind::MapStart, true, 0, kNone});
        if (e.kind == Kind::MapStart) {
          if (tables_.size() < frames_.size()) tables_.resize(frames_.size());
          tables_[frames_.size() - 1].reset();
        }
        continue;
      case Kind::SeqEnd:
      case Kind::MapEnd:
        node = frames_.back().start;
        frames_.pop_back();
        break;
    }
    // `node` is complete.
    if (frames_.empty()) {
      ++pos_;
      return Progress::Built;
    }
    BuildFrame& f = frames_.back();
    if (!f.is_map) {
      ++f.elements;
    } else if (f.expect_key) {
      KeyTable& table = tables_[frames_.size() - 1];
      const std::uint32_t earlier = find_or_insert(table, hash_node(node), node);
      if (earlier != kNone) {
        result_ = building_failure("duplicate entry " + render_key(resolve_alias(earlier)),
                                   frames_.size() - 1, mark(f.start));
        return Progress::Failed;
      }
      f.key_entry = i;
      f.expect_key = (e.flags & kValueFollows) != 0;
    } else {
      f.expect_key = true;
    }
  }
  if (!final) return Progress::NeedMore;
  result_ = list_ended();
  return Progress::Failed;
}

CheckResult Checker::run(std::string_view text) {
  Parser parser;
  if (!parser.ok()) return std::string(kOutOfMemory);
  text_ = text;
  bom_ = text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF";
  set_up(parser.get(), text, bom_);

  // Reserved, not touched: growing by copying would touch every page twice.
  events_.reserve(text.size() / 6 + 16);
  arena_.reserve(text.size() + 64);
  collect(parser.get());
  collect_stack_.clear();
  collect_stack_.shrink_to_fit();
  stats_.events = events_.size();

  if (result_) return result_;
  if (!built_ && advance(true) == Progress::Failed) return result_;
  if (attached_) return attached_;
  if (stream_ended_) return std::nullopt;
  ParsedEvent next;
  if (yaml_parser_parse(parser.get(), next.get()) && (*next).type == YAML_STREAM_END_EVENT) {
    return std::nullopt;
  }
  return std::string(kMoreThanOneDocument);
}

}  // namespace

namespace yaml {

CheckResult check_yaml_document_counted(std::string_view text, CheckStats& stats,
                                        std::uint32_t batch) {
  try {
    Checker checker(stats, batch == 0 ? 1 : batch);
    return checker.run(text);
  } catch (...) {  // allocation failures (bad_alloc, length_error)
    return std::string(kOutOfMemory);
  }
}

}  // namespace yaml

CheckResult check_yaml_document(std::string_view text) {
  yaml::CheckStats stats;
  return yaml::check_yaml_document_counted(text, stats);
}

}  // namespace velmora::documents
