// Collecting: libyaml's events of the first document into the event log,
// with tags interned, anchors bound and, for every anchored collection, the
// height and alias count of its full expansion.
#pragma once

#include <yaml.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents/yaml/yaml_anchor_map.hpp"
#include "documents/yaml/yaml_diagnostics.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_shape.hpp"

namespace velmora::documents::yaml {

class Collector {
 public:
  // String texts may refer into log.source(), which is set before.
  Collector(EventLog& log, yaml_parser_t* parser);

  // Collects until the log holds `until` entries or collecting ends. Returns
  // whether it can go on; it ends at the end of the document or of the
  // stream, or with an error. Not called again once it has ended.
  bool collect(std::uint32_t until);

  // The error that ended collecting (libyaml's, or an unknown anchor).
  const CheckResult& error() const { return error_; }
  // The stream ended within the document (nothing can follow it).
  bool stream_ended() const { return stream_ended_; }
  // Start mark of the latest libyaml event.
  Mark last_mark() const { return last_mark_; }
  // Entries from here on may still be read through an anchor that is open
  // (kNone: none is open).
  std::uint32_t anchor_floor() const { return anchor_floor_; }

 private:
  template <typename Pass>
  friend PassEnd run_pass(yaml_parser_t* parser, Pass& pass);

  // What collecting keeps of each open collection.
  struct Open {
    std::uint32_t start;
    bool in_key;     // inside a key
    bool in_anchor;  // inside an anchored node
  };

  // The pass's handlers (see run_pass).
  bool more() const { return log_.size() < until_; }
  void seen(const yaml_event_t& e) { last_mark_ = {e.start_mark.line, e.start_mark.column}; }
  bool scalar(const yaml_event_t& e);
  bool alias(const yaml_event_t& e);
  bool open(const yaml_event_t& e);
  bool close(const yaml_event_t& e);
  std::uint32_t intern_tag(const char* tag);

  EventLog& log_;
  yaml_parser_t* parser_;
  ShapeTracker<Open> shape_;
  AnchorMap anchors_;
  std::map<std::string, std::uint32_t, std::less<>> tag_ids_;  // local tags are few
  std::string failure_;  // a scalar's failure message, before it is stored
  CheckResult error_;
  bool stream_ended_ = false;
  std::uint32_t until_ = 0;             // see more()
  std::uint32_t anchor_floor_ = kNone;  // start of the outermost open anchored collection
  std::size_t anchor_depth_ = 0;        // its depth
  TextOffsets offsets_;
  Mark last_mark_;
};

}  // namespace velmora::documents::yaml
