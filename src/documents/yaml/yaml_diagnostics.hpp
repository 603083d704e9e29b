// Texts of the YAML check's failures: messages, marks, paths and key renderings.
#pragma once

#include <yaml.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "documents/check_result.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_parser.hpp"

namespace velmora::documents::yaml {

inline constexpr const char kRepetitionLimit[] = "repetition limit exceeded";
inline constexpr const char kRecursionLimit[] = "recursion limit exceeded";
inline constexpr const char kEndOfList[] = "EOF while parsing a value";
inline constexpr const char kMoreThanOneDocument[] =
    "deserializing from YAML containing more than one document is not supported";
inline constexpr const char kOutOfMemory[] = "out of memory";
inline constexpr const char kUnknownAnchor[] = "unknown anchor";

// A position in the text, counted from 0.
struct Mark {
  std::size_t line = 0;
  std::size_t column = 0;
};

// An open collection while building; a failure's path is rendered from the
// stack of these.
struct BuildFrame {
  std::uint32_t start;
  bool is_map;
  bool expect_key;
  std::uint32_t elements;   // sequences: completed elements
  std::uint32_t key_entry;  // mappings: entry of the current key
};

// " at line L column C", counted from 1; nothing for the origin. The
// failure's position is the first mark written into its text.
void append_mark_unless_origin(text::Failure& out, Mark m);

// A failure of the YAML check with `text`.
text::Failure yaml_failure(std::string text);

// `message` followed by its mark.
text::Failure with_mark(std::string_view message, Mark m);

// libyaml's problem and context, with their marks (or the reader's offset).
text::Failure render_libyaml_error(const yaml_parser_t& p);

// The start mark of an entry: the text is collected again, without building,
// up to that entry (entries keep no marks). The origin if it is not reached.
Mark find_mark(const Source& source, std::uint32_t entry);

// "key.sub[2].name", "." for the root; "?" stands for a key that is not a scalar.
std::string render_path(const EventLog& log, std::span<const BuildFrame> frames);

// A failure inside the collections `frames`: "path: message at line L column C".
text::Failure building_failure(const EventLog& log, std::span<const BuildFrame> frames,
                               std::string_view message, Mark m);

// How a repeated key is named: "with key ...", "with null key", "in YAML map".
std::string render_key(const EventLog& log, std::uint32_t node);

}  // namespace velmora::documents::yaml
