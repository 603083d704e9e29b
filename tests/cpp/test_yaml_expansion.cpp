// Differential test of the YAML document check against a literal reference:
// a builder that materialises the tree, expands every alias by building the
// anchored node again, and finds repeated keys by comparing every pair. The
// check must give the same outcome on generated documents rich in anchors,
// aliases (self-references included), nesting near the depth budget,
// expansions near the repetition limit, repeated keys, tags and broken syntax.
#include <gtest/gtest.h>
#include <yaml.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "documents/yaml/yaml_check.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "text/quoted_text.hpp"

namespace {

// A check's failure text, or nothing when it accepts.
std::optional<std::string> text_of(const velmora::documents::CheckResult& result) {
  if (!result) return std::nullopt;
  return result->text;
}

namespace yaml = velmora::documents::yaml;

struct RefEvent {
  yaml_event_type_t type;
  std::string value;
  bool plain = false;
  bool has_tag = false;
  std::string tag;
  std::size_t line = 0, column = 0;
  std::size_t target = 0;  // aliases
};

struct Node {
  enum Kind { Null, Bool, UInt, NegInt, Float, Str, Seq, Map, Tagged } kind = Null;
  std::uint64_t bits = 0;
  std::string text;         // strings; tag name of tagged nodes
  std::vector<Node> items;  // sequence elements; mapping keys and values alternating; tagged inner
};

std::string mark_suffix(std::size_t line, std::size_t column) {
  if (line == 0 && column == 0) return "";
  return " at line " + std::to_string(line + 1) + " column " + std::to_string(column + 1);
}

std::string libyaml_error(const yaml_parser_t& p) {
  std::string out = p.problem ? p.problem : "libyaml parser failed but there is no error";
  if (p.problem_mark.line != 0 || p.problem_mark.column != 0) {
    out += mark_suffix(p.problem_mark.line, p.problem_mark.column);
  } else if (p.problem_offset != 0) {
    out += " at position " + std::to_string(p.problem_offset);
  }
  if (p.context) {
    out += std::string(", ") + p.context;
    const auto& c = p.context_mark;
    if ((c.line != 0 || c.column != 0) &&
        (c.line != p.problem_mark.line || c.column != p.problem_mark.column)) {
      out += mark_suffix(c.line, c.column);
    }
  }
  return out;
}

bool equal(const Node& a, const Node& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Node::Null:
      return true;
    case Node::Bool:
    case Node::UInt:
    case Node::NegInt:
      return a.bits == b.bits;
    case Node::Float: {
      const double x = std::bit_cast<double>(a.bits), y = std::bit_cast<double>(b.bits);
      return x == y || (x != x && y != y);
    }
    case Node::Str:
      return a.text == b.text;
    case Node::Seq:
      if (a.items.size() != b.items.size()) return false;
      for (std::size_t i = 0; i < a.items.size(); ++i) {
        if (!equal(a.items[i], b.items[i])) return false;
      }
      return true;
    case Node::Map:
      if (a.items.size() != b.items.size()) return false;
      for (std::size_t i = 0; i < a.items.size(); i += 2) {
        bool found = false;
        for (std::size_t j = 0; j < b.items.size() && !found; j += 2) {
          if (equal(a.items[i], b.items[j])) {
            if (!equal(a.items[i + 1], b.items[j + 1])) return false;
            found = true;
          }
        }
        if (!found) return false;
      }
      return true;
    case Node::Tagged: {
      auto nobang = [](const std::string& t) {
        return t.size() > 1 && t[0] == '!' ? t.substr(1) : t;
      };
      return nobang(a.text) == nobang(b.text) && equal(a.items[0], b.items[0]);
    }
  }
  return false;
}

std::string render_key(const Node& k) {
  switch (k.kind) {
    case Node::Null:
      return "with null key";
    case Node::Bool:
      return k.bits ? "with key `true`" : "with key `false`";
    case Node::UInt:
      return "with key " + std::to_string(k.bits);
    case Node::NegInt:
      return "with key " + std::to_string(static_cast<std::int64_t>(k.bits));
    case Node::Float: {
      std::string s = "with key ";
      yaml::append_double(s, std::bit_cast<double>(k.bits));
      return s;
    }
    case Node::Str: {
      std::string s = "with key ";
      velmora::text::append_quoted_text(s, k.text);
      return s;
    }
    default:
      return "in YAML map";
  }
}

struct Path {
  bool root = true;
  std::string text;
  std::string display() const { return root ? "." : text; }
  std::string parent() const { return root ? "" : text + "."; }
  Path seq(std::size_t i) const { return {false, display() + "[" + std::to_string(i) + "]"}; }
  Path key(const std::string& k) const { return {false, parent() + k}; }
  Path unknown() const { return {false, parent() + "?"}; }
};

class Reference {
 public:
  std::optional<std::string> check(std::string_view text) {
    collect(text);
    std::size_t pos = 0;
    Node root;
    if (!build(pos, Path{}, 128, root)) return fail_;
    if (attached_) return attached_;
    if (stream_ended_ || next_is_stream_end_) return std::nullopt;
    return std::string(
        "deserializing from YAML containing more than one document is not supported");
  }

 private:
  void collect(std::string_view text) {
    yaml_parser_t p;
    yaml_parser_initialize(&p);
    if (!(text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF"))
      yaml_parser_set_encoding(&p, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    std::map<std::string, std::size_t> anchors;
    bool done = false;
    while (!done) {
      yaml_event_t e;
      if (!yaml_parser_parse(&p, &e)) {
        attached_ = libyaml_error(p);
        break;
      }
      RefEvent r;
      r.type = e.type;
      r.line = e.start_mark.line;
      r.column = e.start_mark.column;
      const yaml_char_t* anchor = nullptr;
      const yaml_char_t* tag = nullptr;
      switch (e.type) {
        case YAML_STREAM_START_EVENT:
        case YAML_DOCUMENT_START_EVENT:
          break;
        case YAML_DOCUMENT_END_EVENT: {
          done = true;
          yaml_event_t next;
          if (yaml_parser_parse(&p, &next)) {
            next_is_stream_end_ = next.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&next);
          }
          break;
        }
        case YAML_STREAM_END_EVENT:
          done = true;
          stream_ended_ = true;
          if (events_.empty()) {
            r.type = YAML_SCALAR_EVENT;
            r.plain = true;
            events_.push_back(r);
          }
          break;
        case YAML_ALIAS_EVENT: {
          const auto it = anchors.find(reinterpret_cast<const char*>(e.data.alias.anchor));
          if (it == anchors.end()) {
            attached_ = "unknown anchor" + mark_suffix(r.line, r.column);
            done = true;
            break;
          }
          r.target = it->second;
          events_.push_back(r);
          break;
        }
        case YAML_SCALAR_EVENT:
          r.value.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
          r.plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
          anchor = e.data.scalar.anchor;
          tag = e.data.scalar.tag;
          break;
        case YAML_SEQUENCE_START_EVENT:
          anchor = e.data.sequence_start.anchor;
          tag = e.data.sequence_start.tag;
          break;
        case YAML_MAPPING_START_EVENT:
          anchor = e.data.mapping_start.anchor;
          tag = e.data.mapping_start.tag;
          break;
        default:
          events_.push_back(r);
          break;
      }
      if (e.type == YAML_SCALAR_EVENT || e.type == YAML_SEQUENCE_START_EVENT ||
          e.type == YAML_MAPPING_START_EVENT) {
        if (tag) {
          r.has_tag = true;
          r.tag = reinterpret_cast<const char*>(tag);
        }
        if (anchor) anchors[reinterpret_cast<const char*>(anchor)] = events_.size();
        events_.push_back(r);
      }
      yaml_event_delete(&e);
    }
    yaml_parser_delete(&p);
  }

  bool failure(std::string message) {
    fail_ = std::move(message);
    return false;
  }
  bool building_failure(const Path& path, const std::string& message, const RefEvent& at) {
    const std::string p = path.display();
    return failure((p == "." ? "" : p + ": ") + message + mark_suffix(at.line, at.column));
  }
  bool list_ended() { return failure(attached_ ? *attached_ : "EOF while parsing a value"); }

  bool build(std::size_t& pos, const Path& path, int depth, Node& out) {
    if (pos >= events_.size()) return list_ended();
    const RefEvent& e = events_[pos];
    if (e.type == YAML_ALIAS_EVENT) {
      if (++counter_ > 100 * events_.size()) return failure("repetition limit exceeded");
      std::size_t target = e.target;
      ++pos;
      return build(target, path, depth, out);
    }
    const bool local = e.has_tag && e.tag[0] == '!';
    Node inner;
    if (e.type == YAML_SCALAR_EVENT) {
      ++pos;
      std::string message;
      const yaml::TagClass tc = yaml::classify_tag(e.has_tag ? e.tag.c_str() : nullptr);
      const yaml::Resolved r = yaml::resolve_scalar(e.value, e.plain, tc, message);
      switch (r.kind) {
        case yaml::ValueKind::Failure:
          return building_failure(path, message, e);
        case yaml::ValueKind::Null:
          inner.kind = Node::Null;
          break;
        case yaml::ValueKind::Bool:
          inner.kind = Node::Bool;
          break;
        case yaml::ValueKind::UInt:
          inner.kind = Node::UInt;
          break;
        case yaml::ValueKind::NegInt:
          inner.kind = Node::NegInt;
          break;
        case yaml::ValueKind::Float:
          inner.kind = Node::Float;
          break;
        case yaml::ValueKind::String:
          inner.kind = Node::Str;
          inner.text = e.value;
          break;
      }
      inner.bits = r.bits;
    } else {
      if (depth == 0) return failure("recursion limit exceeded" + mark_suffix(e.line, e.column));
      const bool is_map = e.type == YAML_MAPPING_START_EVENT;
      inner.kind = is_map ? Node::Map : Node::Seq;
      ++pos;
      for (std::size_t i = 0;; ++i) {
        if (pos >= events_.size()) return list_ended();
        const auto t = events_[pos].type;
        if (t == YAML_SEQUENCE_END_EVENT || t == YAML_MAPPING_END_EVENT) {
          ++pos;
          break;
        }
        if (!is_map) {
          inner.items.emplace_back();
          if (!build(pos, path.seq(i), depth - 1, inner.items.back())) return false;
          continue;
        }
        const RefEvent& key_event = events_[pos];
        Node key;
        if (!build(pos, path, depth - 1, key)) return false;
        for (std::size_t k = 0; k < inner.items.size(); k += 2) {
          if (equal(inner.items[k], key)) {
            return building_failure(path, "duplicate entry " + render_key(inner.items[k]), e);
          }
        }
        const Path value_path =
            key_event.type == YAML_SCALAR_EVENT ? path.key(key_event.value) : path.unknown();
        Node value;
        if (!build(pos, value_path, depth - 1, value)) return false;
        inner.items.push_back(std::move(key));
        inner.items.push_back(std::move(value));
      }
    }
    if (local) {
      out.kind = Node::Tagged;
      out.text = e.tag.size() > 1 ? e.tag.substr(1) : e.tag;
      out.items.push_back(std::move(inner));
    } else {
      out = std::move(inner);
    }
    return true;
  }

  std::vector<RefEvent> events_;
  std::optional<std::string> attached_;
  std::optional<std::string> fail_;
  bool stream_ended_ = false;
  bool next_is_stream_end_ = false;
  std::uint64_t counter_ = 0;
};

// Random flow-style documents.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::string document() {
    out_.clear();
    open_.clear();
    nodes_ = 0;
    const int items = pick(1, 12);
    out_ += pick(0, 1) ? "{" : "[";
    const bool map = out_ == "{";
    for (int i = 0; i < items; ++i) {
      if (i) out_ += ", ";
      if (map) {
        node(1, true);
        out_ += ": ";
      }
      switch (pick(0, 9)) {
        case 0:
          chain();
          break;
        case 1:
          deep();
          break;
        default:
          node(1, false);
          break;
      }
    }
    out_ += map ? "}" : "]";
    switch (pick(0, 9)) {
      case 0:
        out_.resize(static_cast<std::size_t>(pick(0, static_cast<int>(out_.size()))));
        break;
      case 1:
        out_ += "\n--- x\n";
        break;
      case 2:
        out_ += "\n...\n";
        break;
      case 3:
        out_ = "\xEF\xBB\xBF" + out_;
        break;
      default:
        break;
    }
    return out_;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string anchor_name() { return std::string(1, static_cast<char>('a' + pick(0, 4))); }

  void define(const std::string& name) {
    out_ += "&" + name + " ";
    open_[name] = true;
  }

  // An expansion that doubles at every level: near the repetition limit.
  void chain() {
    const int levels = pick(3, 15);
    const std::string base = "c" + std::to_string(pick(0, 2));
    out_ += "[&" + base + "0 [x]";
    for (int i = 1; i < levels; ++i) {
      const std::string prev = "*" + base + std::to_string(i - 1) + " ";
      out_ += ", &" + base + std::to_string(i) + " [" + prev + ", " + prev + "]";
    }
    open_[base] = false;
    out_ += "]";
  }

  // A deeply nested anchored node and aliases to it at various depths.
  void deep() {
    const int d = pick(10, 120);
    out_ += "[&deep " + std::string(static_cast<std::size_t>(d), '[') + "x" +
            std::string(static_cast<std::size_t>(d), ']');
    for (int i = 0, n = pick(1, 3); i < n; ++i) {
      const int around = pick(0, 40);
      out_ += ", " + std::string(static_cast<std::size_t>(around), '[') + "*deep " +
              std::string(static_cast<std::size_t>(around), ']');
    }
    out_ += "]";
  }

  void node(int nest, bool key) {
    ++nodes_;
    const int choice = (nest > 6 || nodes_ > 60) ? pick(0, 5) : pick(0, 9);
    if (choice <= 3) {
      static const char* const kScalars[] = {
          "1",         "0x1",       "+1",          "1.0",         "1.00",     "-0.0",
          "0.0",       "0",         "-0",          ".nan",        ".NaN",     "~",
          "null",      "''",        "true",        "True",        "a",        "'a'",
          "\"a\"",     "b",         "c",           "!!str 1",     "!t 1",     "!t a",
          "!u a",      "! a",       "-1",          "-0x1",        "1e3",      "1000.0",
          "0123",      "'0123'",    "!!float 1",   "!!bool true", "!!null ~", ".inf",
          "!!int 0o1", "\"a\\tb\"", "\"\\u00e9\"", "<<"};
      static const char* const kFailing[] = {"!!int x",    "18446744073709551616",
                                             "!!null ''",  "-9223372036854775809",
                                             "!!bool yes", "!!float x"};
      if (pick(0, 40) == 0) {
        out_ += kFailing[pick(0, 5)];
      } else {
        out_ += kScalars[pick(0, static_cast<int>(std::size(kScalars)) - 1)];
      }
      return;
    }
    if (choice <= 5 && !open_.empty()) {
      // Alias to a defined name; rarely to one still open (a self-reference).
      std::vector<std::string> closed, all;
      for (const auto& [name, is_open] : open_) {
        all.push_back(name);
        if (!is_open) closed.push_back(name);
      }
      const auto& from = (closed.empty() || pick(0, 30) == 0) ? all : closed;
      out_ +=
          "*" + from[static_cast<std::size_t>(pick(0, static_cast<int>(from.size()) - 1))] + " ";
      return;
    }
    std::string anchor;
    if (pick(0, 3) == 0) {
      anchor = anchor_name();
      define(anchor);
    }
    if (pick(0, 8) == 0) out_ += pick(0, 1) ? "!t " : "!!seq ";
    const bool map = pick(0, 1) == 1;
    const int n = pick(0, key ? 2 : 4);
    out_ += map ? "{" : "[";
    for (int i = 0; i < n; ++i) {
      if (i) out_ += ", ";
      if (map) {
        node(nest + 1, true);
        out_ += ": ";
      }
      node(nest + 1, false);
    }
    out_ += map ? "}" : "]";
    if (!anchor.empty()) open_[anchor] = false;
  }

  std::mt19937_64 rng_;
  std::string out_;
  std::map<std::string, bool> open_;  // anchor name -> its latest definition is still open
  int nodes_ = 0;
};

TEST(YamlCheckExpansion, MatchesLiteralReplayOnGeneratedDocuments) {
  const std::vector<std::string> kinds = {"repetition limit exceeded",
                                          "recursion limit exceeded",
                                          "duplicate entry",
                                          "more than one document",
                                          "invalid",
                                          "unknown anchor"};
  std::map<std::string, int> outcomes;
  for (std::uint64_t seed = 1; seed <= 3000; ++seed) {
    Generator gen(seed);
    const std::string text = gen.document();
    const auto expected = Reference().check(text);
    // Building in steps of one entry and of many while collecting, and
    // only after collecting, must agree.
    for (const std::uint32_t batch : {1u, 7u, yaml::kDefaultBuildBatch, ~0u}) {
      yaml::CheckStats stats;
      const auto actual = yaml::check_yaml_document_counted(text, stats, batch);
      ASSERT_EQ(text_of(actual), expected) << "seed " << seed << " batch " << batch << ": " << text;
    }
    if (!expected) ++outcomes["accepted"];
    for (const auto& k : kinds) {
      if (expected && expected->find(k) != std::string::npos) ++outcomes[k];
    }
  }
  // The generator must reach every kind of outcome this test is about.
  EXPECT_GT(outcomes["accepted"], 100);
  for (const auto& k : kinds) EXPECT_GT(outcomes[k], 10) << k;
}

}  // namespace
