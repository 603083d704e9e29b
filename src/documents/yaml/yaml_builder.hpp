// Building: walks the event log as building the tree would, under the depth
// budget and the repetition limit, checking scalars and mapping keys; the
// tree itself is never made. An alias costs O(1) through its target's
// expansion (yaml_shape.hpp) unless a limit could be reached inside it; only
// then is the expansion replayed, and that replay ends in the failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "documents/check_result.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_diagnostics.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_node_identity.hpp"
#include "documents/yaml/yaml_parser.hpp"

namespace velmora::documents::yaml {

class Builder {
 public:
  // `source` is read again only to find the mark of a failure.
  Builder(EventLog& log, const Source& source, CheckStats& stats)
      : log_(log), source_(source), stats_(stats), identity_(log, stats) {}

  enum class Progress { NeedMore, Built, Failed };

  // Builds on from position() while collecting goes on. The log is still
  // growing: its last entry is left for later (a value folded into it may
  // still follow), and the repetition limit, which depends on the final
  // length, is only known from below, so building pauses for good at the
  // first alias whose outcome could depend on it.
  Progress step() { return advance(false); }
  // Builds the rest once collecting has ended: Built or Failed. The list ends
  // with `list_error` (the collector's error) if there is one.
  Progress finish(const CheckResult& list_error) {
    list_error_ = &list_error;
    return advance(true);
  }

  // Whether step() can make progress: not paused, root not complete.
  bool can_advance() const { return !paused_ && !built_; }
  bool built() const { return built_; }
  // The next entry to build.
  std::uint32_t position() const { return pos_; }
  // The entries from here on may still be read (those below, not pinned, may go).
  std::uint32_t floor() const { return key_floor_ < pos_ ? key_floor_ : pos_; }
  // The failure, after Progress::Failed.
  const CheckResult& failure() const { return result_; }

 private:
  // One entry at a time, each kind by its own rule below; a step gives a
  // Progress when building stops there.
  Progress advance(bool final);
  std::optional<Progress> on_scalar(std::uint32_t i, const Event& e);
  std::optional<Progress> on_alias(std::uint32_t i, std::uint32_t target, bool final);
  std::optional<Progress> on_open(std::uint32_t i, const Event& e);
  std::uint32_t on_close(const Event& e);
  std::optional<Progress> on_complete(std::uint32_t i, const Event& e, std::uint32_t node);
  std::optional<Progress> insert_key(std::uint32_t i, const Event& e, std::uint32_t node);
  bool expansion_fits(std::uint32_t alias, std::uint32_t budget, std::uint64_t counter, bool take);
  CheckResult replay(std::uint32_t target, std::uint32_t budget);
  CheckResult list_ended() const;
  Progress fail(CheckResult failure) {
    result_ = std::move(failure);
    return Progress::Failed;
  }

  EventLog& log_;  // building copies keys into it
  const Source& source_;
  CheckStats& stats_;
  NodeIdentity identity_;
  const CheckResult* list_error_ = nullptr;  // see finish()

  std::uint64_t counter_ = 0;  // alias expansions so far
  std::uint64_t limit_ = 0;
  std::uint32_t pos_ = 0;
  bool paused_ = false;
  bool built_ = false;
  CheckResult result_;
  std::vector<BuildFrame> frames_;  // the open collections, innermost last
  // What an open mapping keeps of its keys, by depth (reused).
  struct MapKeys {
    KeyTable table;
    std::uint32_t mark = 0;  // the key stack's height at the mapping's start
    // The copy that only names the current key (its key is in the table as
    // text), dropped with the next key; kNone if there is none.
    std::uint32_t naming_copy = kNone;
  };
  std::vector<MapKeys> maps_;
  std::uint32_t key_floor_ = kNone;  // start of the outermost collection being built as a key
  std::size_t key_depth_ = 0;        // its depth (0: none)
};

}  // namespace velmora::documents::yaml
