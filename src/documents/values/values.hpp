// The values of a document that passed its check, handed over in document
// order with where each node starts, for checks of meaning (a schema) made
// by the layers above. One reading per format; the scalars are typed as the
// check types them.
#pragma once

#include <cstdint>
#include <string_view>

#include "documents/check_result.hpp"

namespace velmora::documents {

enum class ScalarKind : std::uint8_t { null, boolean, integer, floating, string };

// A scalar as the check resolves it. The views live until the sink returns.
struct Scalar {
  ScalarKind kind = ScalarKind::null;
  // string: its value; integer: its decimal digits, '-' first when negative
  // (JSON integers have any size); other kinds: the scalar as written.
  std::string_view text;
  // The scalar as written in the document (YAML: its value before typing;
  // JSON: a string's value or a literal's text). Keys that are not strings
  // are known by it.
  std::string_view written;
  double number = 0;  // floating
  bool flag = false;  // boolean
};

// Receives the nodes of one document. In a mapping, nodes alternate key and
// value. Positions are those of the format's messages: 1-based lines, and
// columns in bytes for JSON, in characters for YAML. A node's position is its
// first character: a scalar's first character or opening quote, a flow
// collection's bracket, a block collection's first key or dash (or the anchor
// or tag written before it). Each call returns false to stop the reading.
class ValueSink {
 public:
  virtual ~ValueSink() = default;
  // `anchor`: the name the node is bound to, empty when none.
  virtual bool scalar(const Scalar& value, TextPosition at, std::string_view anchor) = 0;
  virtual bool begin(bool mapping, TextPosition at, std::string_view anchor) = 0;
  virtual bool end() = 0;
  // A YAML alias: the node last bound to `anchor`, used again here.
  virtual bool alias(std::string_view anchor, TextPosition at) = 0;

 protected:
  ValueSink() = default;
  ValueSink(const ValueSink&) = default;
  ValueSink(ValueSink&&) = default;
  ValueSink& operator=(const ValueSink&) = default;
  ValueSink& operator=(ValueSink&&) = default;
};

// How a reading ended.
enum class ReadValues : std::uint8_t {
  done,       // every node was handed over
  stopped,    // the sink returned false
  malformed,  // the text is not a document the check accepts
  no_memory,  // an allocation failed
};

// Reads the single value of a JSON text that passed the JSON check.
ReadValues read_json_values(std::string_view text, ValueSink& sink);

// Reads the single document of a YAML text that passed the YAML check. A key
// that is a collection is handed over as a string: its text as written.
ReadValues read_yaml_values(std::string_view text, ValueSink& sink);

}  // namespace velmora::documents
