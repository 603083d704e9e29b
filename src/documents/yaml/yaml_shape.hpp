// The shape rules of a YAML document, written once for every pass over
// libyaml's events (the plain check, collecting, reading values): the
// limits, the arithmetic of alias expansions, a tracker of the open
// collections, and the loop that feeds events to a pass.
//
// A document is refused when building it would nest deeper than
// kDepthBudget, or would expand aliases more than kRepetitionFactor times
// its entries (its events; an empty document counts as one entry, a null).
// Every anchored collection's full expansion is summed up when it closes,
// as its height and the alias expansions inside it, so an alias to it costs
// O(1).
#pragma once

#include <yaml.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "documents/yaml/yaml_parser.hpp"

namespace velmora::documents::yaml {

inline constexpr std::uint32_t kDepthBudget = 128;
inline constexpr std::uint64_t kRepetitionFactor = 100;
inline constexpr std::uint32_t kInfiniteHeight = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t kInfiniteCount = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kInfiniteCount - b ? kInfiniteCount : a + b;
}

// The most alias expansions a document of `entries` entries may make.
inline std::uint64_t repetition_limit(std::uint64_t entries) {
  return kRepetitionFactor * std::max<std::uint64_t>(entries, 1);
}

// What a full expansion of an anchored collection does: its nesting height
// and the alias expansions inside it. Infinite while it is open (an alias to
// it then refers to itself).
struct Expansion {
  std::uint32_t height = kInfiniteHeight;
  std::uint64_t count = kInfiniteCount;
};

// Expansions by id; id 0 stands for an anchored scalar (height 0, nothing inside).
class Expansions {
 public:
  // A new id, open (infinite) until close(); throws std::length_error when ids run out.
  std::uint32_t open() {
    if (table_.size() >= std::numeric_limits<std::uint32_t>::max())
      throw std::length_error("too many anchors");
    table_.emplace_back();
    return static_cast<std::uint32_t>(table_.size() - 1);
  }
  void close(std::uint32_t id, Expansion x) { table_[id] = x; }
  const Expansion& operator[](std::uint32_t id) const { return table_[id]; }
  // Ids 1 .. size() - 1 are in use.
  std::uint32_t size() const { return static_cast<std::uint32_t>(table_.size()); }

 private:
  std::vector<Expansion> table_ = std::vector<Expansion>(1, Expansion{0, 0});
};

struct NoExtra {};

// The open collections as events come, each with what a pass keeps of its
// own (`Extra`): whether the next child is a mapping key, and the height and
// alias expansions of what is complete inside. Nodes complete through
// scalar(), alias() and close(); one completed outside every collection is
// the document's root, whose alias expansions are the document's.
template <typename Extra = NoExtra>
class ShapeTracker {
 public:
  struct Frame {
    Extra extra;
    bool is_map = false;
    std::uint32_t expansion = 0;  // anchored: its id; else 0
    bool expect_key = true;       // mappings: the next child is a key
    std::uint32_t height = 0;
    std::uint64_t count = 0;  // alias expansions inside
  };

  explicit ShapeTracker(Expansions& expansions) : expansions_(expansions) {}

  bool empty() const { return frames_.empty(); }
  std::size_t depth() const { return frames_.size(); }
  const Frame* top() const { return frames_.empty() ? nullptr : &frames_.back(); }
  // The next node is a key of the innermost collection, a mapping.
  bool at_key() const {
    return !frames_.empty() && frames_.back().is_map && frames_.back().expect_key;
  }
  // The next node is a value of the innermost collection, a mapping.
  bool at_value() const {
    return !frames_.empty() && frames_.back().is_map && !frames_.back().expect_key;
  }

  // A scalar completes.
  void scalar() {
    ++entries_;
    child_done(0, 0);
  }
  // An alias to `expansion` completes; whether its expansion fits the depth budget here.
  bool alias(std::uint32_t expansion) {
    ++entries_;
    const Expansion& x = expansions_[expansion];
    child_done(x.height, saturating_add(x.count, 1));
    return x.height != kInfiniteHeight && x.height <= kDepthBudget - frames_.size();
  }
  void open(bool is_map, std::uint32_t expansion, Extra extra = {}) {
    ++entries_;
    frames_.push_back({extra, is_map, expansion});
  }
  // The innermost collection completes; returns it (libyaml keeps events
  // balanced, so there is one).
  Frame close() {
    ++entries_;
    const Frame f = frames_.back();
    frames_.pop_back();
    const std::uint32_t height = f.height == kInfiniteHeight ? kInfiniteHeight : f.height + 1;
    if (f.expansion != 0) expansions_.close(f.expansion, {height, f.count});
    child_done(height, f.count);
    return f;
  }
  // Events so far: the repetition limit's base.
  std::uint64_t entries() const { return entries_; }
  // Whether the document, complete, is within the repetition limit.
  bool within_limit() const { return repetitions_ <= repetition_limit(entries_); }

 private:
  void child_done(std::uint32_t height, std::uint64_t count) {
    if (frames_.empty()) {
      repetitions_ = saturating_add(repetitions_, count);
      return;
    }
    Frame& f = frames_.back();
    f.height = std::max(f.height, height);
    f.count = saturating_add(f.count, count);
    if (f.is_map) f.expect_key = !f.expect_key;
  }

  Expansions& expansions_;
  std::vector<Frame> frames_;
  std::uint64_t repetitions_ = 0;
  std::uint64_t entries_ = 0;
};

// How a pass over the events ended.
enum class PassEnd { Paused, Stopped, ParseError, DocumentEnd, StreamEnd };

// Feeds libyaml's events of the first document to `pass` until the document
// or the stream ends, libyaml fails, `pass.more()` is false (Paused) or a
// handler returns false (Stopped). `pass` has bool more(), and bool
// scalar(e), alias(e), open(e), close(e), each told the event first through
// seen(e).
template <typename Pass>
PassEnd run_pass(yaml_parser_t* parser, Pass& pass) {
  for (;;) {
    if (!pass.more()) return PassEnd::Paused;
    ParsedEvent event;
    if (!yaml_parser_parse(parser, event.get())) return PassEnd::ParseError;
    const yaml_event_t& e = *event;
    pass.seen(e);
    bool go = true;
    switch (e.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        break;
      case YAML_DOCUMENT_END_EVENT:
        return PassEnd::DocumentEnd;
      case YAML_NO_EVENT:
      case YAML_STREAM_END_EVENT:
        return PassEnd::StreamEnd;
      case YAML_ALIAS_EVENT:
        go = pass.alias(e);
        break;
      case YAML_SCALAR_EVENT:
        go = pass.scalar(e);
        break;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        go = pass.open(e);
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        go = pass.close(e);
        break;
    }
    if (!go) return PassEnd::Stopped;
  }
}

}  // namespace velmora::documents::yaml
