#include "documents/yaml/yaml_builder.hpp"

#include <cassert>
#include <optional>
#include <span>
#include <string>

namespace velmora::documents::yaml {

CheckResult Builder::list_ended() const {
  if (list_error_ != nullptr && *list_error_) return *list_error_;
  return yaml_failure(std::string(kEndOfList));
}

// Whether expanding the target of `alias` with `budget` levels left and the
// repetition counter at `counter` stays within both limits; if so and `take`,
// the counter takes the expansions inside it.
bool Builder::expansion_fits(std::uint32_t alias, std::uint32_t budget, std::uint64_t counter,
                             bool take) {
  const auto id = static_cast<std::uint32_t>(log_[alias].payload);
  if (id == 0) return true;  // a scalar
  const Expansion& x = log_.expansion(id);
  if (x.height == kInfiniteHeight || x.height > budget) return false;
  if (counter > limit_ || x.count > limit_ - counter) return false;
  if (take) counter_ += x.count;
  return true;
}

// Walks the expansion of `target` the way building it would, tracking only
// depth and repetitions: nothing else can fail in a node already built once.
CheckResult Builder::replay(std::uint32_t target, std::uint32_t budget) {
  if (log_[target].kind == Kind::Scalar) return std::nullopt;
  std::uint32_t nest = 0;
  for (std::uint32_t i = target; i < log_.size(); ++i) {
    count(stats_.replayed_events);
    const Event& e = log_[i];
    switch (e.kind) {
      case Kind::SeqStart:
      case Kind::MapStart:
        if (nest == budget) return with_mark(kRecursionLimit, find_mark(source_, i));
        ++nest;
        break;
      case Kind::SeqEnd:
      case Kind::MapEnd:
        if (--nest == 0) return std::nullopt;
        break;
      case Kind::Alias:
        if (++counter_ > limit_) return yaml_failure(std::string(kRepetitionLimit));
        if (!expansion_fits(i, budget - nest, counter_, true)) {
          if (auto failure = replay(e.aux, budget - nest)) return failure;
        }
        break;
      case Kind::Scalar:
        break;
    }
  }
  return list_ended();
}

Builder::Progress Builder::advance(bool final) {
  const std::uint32_t size = log_.size();
  const std::uint32_t n = final || size == 0 ? size : size - 1;
  limit_ = repetition_limit(log_.entries());
  for (; pos_ < n; ++pos_) {
    const std::uint32_t i = pos_;
    count(stats_.built_events);
    const Event& e = log_[i];
    std::uint32_t node = i;  // the node that entry i completes
    std::optional<Progress> stop;
    switch (e.kind) {
      case Kind::Scalar:
        stop = on_scalar(i, e);
        break;
      case Kind::Alias:
        node = e.aux;
        stop = on_alias(i, node, final);
        break;
      case Kind::SeqStart:
      case Kind::MapStart:
        if ((stop = on_open(i, e))) return *stop;
        continue;  // nothing is complete yet
      case Kind::SeqEnd:
      case Kind::MapEnd:
        node = on_close(e);
        break;
    }
    if (stop) return *stop;
    if (frames_.empty()) {
      ++pos_;
      built_ = true;
      return Progress::Built;
    }
    if ((stop = on_complete(i, e, node))) return *stop;
  }
  if (!final) return Progress::NeedMore;
  return fail(list_ended());
}

// A scalar that failed to resolve ends the building.
std::optional<Builder::Progress> Builder::on_scalar(std::uint32_t i, const Event& e) {
  if (e.value != ValueKind::Failure) return std::nullopt;
  return fail(building_failure(log_, frames_, log_.failure(e.payload), find_mark(source_, i)));
}

// An alias expands its target within the depth budget and the repetition
// limit. While collecting goes on, the limit is only known from below: an
// alias that might reach it pauses the building for good.
std::optional<Builder::Progress> Builder::on_alias(std::uint32_t i, std::uint32_t target,
                                                   bool final) {
  const auto budget = static_cast<std::uint32_t>(kDepthBudget - frames_.size());
  if (!final && (counter_ >= limit_ || !expansion_fits(i, budget, counter_ + 1, false))) {
    paused_ = true;
    return Progress::NeedMore;
  }
  if (++counter_ > limit_) return fail(yaml_failure(std::string(kRepetitionLimit)));
  if (!expansion_fits(i, budget, counter_, true)) {
    if ((result_ = replay(target, budget))) return Progress::Failed;
  }
  return std::nullopt;
}

// A collection opens a frame within the depth budget; a mapping takes a
// fresh key table. A collection that is a key pins the log from its start
// until it is complete and copied.
std::optional<Builder::Progress> Builder::on_open(std::uint32_t i, const Event& e) {
  if (frames_.size() == kDepthBudget) {
    return fail(with_mark(kRecursionLimit, find_mark(source_, i)));
  }
  if (key_depth_ == 0 && !frames_.empty() && frames_.back().is_map && frames_.back().expect_key) {
    key_floor_ = i;
    key_depth_ = frames_.size() + 1;
  }
  frames_.push_back({i, e.kind == Kind::MapStart, true, 0, kNone});
  if (e.kind != Kind::MapStart) return std::nullopt;
  const std::size_t depth = frames_.size() - 1;
  if (maps_.size() <= depth) maps_.resize(depth + 1);
  maps_[depth].table.reset();
  maps_[depth].mark = log_.key_mark();
  maps_[depth].naming_copy = kNone;
  return std::nullopt;
}

// A collection's end closes its frame (a mapping drops its keys) and
// completes the node it opened.
std::uint32_t Builder::on_close(const Event& e) {
  assert(!frames_.empty());  // the collector's events are balanced
  const std::uint32_t node = frames_.back().start;
  if (e.kind == Kind::MapEnd) {
    maps_[frames_.size() - 1].table.reset();
    log_.pop_keys(maps_[frames_.size() - 1].mark);
  }
  if (frames_.size() == key_depth_) {
    key_depth_ = 0;
    key_floor_ = kNone;
  }
  frames_.pop_back();
  return node;
}

// `node`, completed by entry i, takes its place in the open collection: an
// element, a mapping's key (which must be new to it) or a value.
std::optional<Builder::Progress> Builder::on_complete(std::uint32_t i, const Event& e,
                                                      std::uint32_t node) {
  BuildFrame& f = frames_.back();
  if (!f.is_map) {
    ++f.elements;
    return std::nullopt;
  }
  if (!f.expect_key) {
    f.expect_key = true;
    return std::nullopt;
  }
  return insert_key(i, e, node);
}

// A string written as it is in the document is kept by the table alone (its
// copy only names the current key); other keys are kept as copies while
// their mapping is open (an alias key by its target, which is kept anyway).
// The copy of entry i completes the key. A key already in the table is a
// duplicate entry, reported at the mapping.
std::optional<Builder::Progress> Builder::insert_key(std::uint32_t i, const Event& e,
                                                     std::uint32_t node) {
  assert(!frames_.empty() && frames_.back().is_map && frames_.back().expect_key);
  BuildFrame& f = frames_.back();
  const std::size_t depth = frames_.size() - 1;
  MapKeys& keys = maps_[depth];
  if (keys.naming_copy != kNone && keys.naming_copy + 1 == log_.key_mark()) {
    log_.pop_keys(keys.naming_copy);
  }
  keys.naming_copy = kNone;
  const std::uint32_t first = e.kind == Kind::Alias ? i : node;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  const bool text = e.kind == Kind::Scalar && e.value == ValueKind::String &&
                    (e.flags & (kHasText | kTagged)) == kHasText &&
                    log_.source_ref(e.payload, offset, length);
  if (text) keys.naming_copy = log_.key_mark();
  const std::uint32_t copy = log_.copy_key(first, i);
  const std::uint32_t key = e.kind == Kind::Alias ? node : copy;
  const std::uint64_t hash = identity_.hash(key);
  const std::uint64_t* earlier = keys.table.find_or_insert(hash, text ? e.payload : key, identity_);
  if (earlier == nullptr) {
    f.key_entry = copy + (i - first);
    f.expect_key = (e.flags & kValueFollows) != 0;
    return std::nullopt;
  }
  const std::uint32_t earlier_node = EventLog::source_ref(*earlier, offset, length)
                                         ? log_.push_key(EventLog::text_event(offset, length))
                                         : log_.resolve_alias(static_cast<std::uint32_t>(*earlier));
  const std::span<const BuildFrame> outer(frames_.data(), frames_.size() - 1);
  text::Failure failure =
      building_failure(log_, outer, "duplicate entry " + render_key(log_, earlier_node),
                       find_mark(source_, f.start));
  // The message names the mapping; the repeated key's own place goes beside it.
  // (A repeated key is never the document's first character: the origin
  // means the mark was not found.)
  const Mark repeated = find_mark(source_, first);
  if (repeated.line != 0 || repeated.column != 0)
    failure.related = TextPosition{repeated.line + 1, repeated.column + 1};
  return fail(std::move(failure));
}

}  // namespace velmora::documents::yaml
