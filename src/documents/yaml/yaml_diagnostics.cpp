#include "documents/yaml/yaml_diagnostics.hpp"

#include <bit>

#include "documents/yaml/yaml_collector.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "text/quoted_text.hpp"

namespace velmora::documents::yaml {
namespace {

void append_mark(text::Failure& out, Mark m) {
  if (!out.position) out.position = TextPosition{m.line + 1, m.column + 1};
  out.text += " at line ";
  out.text += std::to_string(m.line + 1);
  out.text += " column ";
  out.text += std::to_string(m.column + 1);
}

}  // namespace

void append_mark_unless_origin(text::Failure& out, Mark m) {
  if (m.line != 0 || m.column != 0) append_mark(out, m);
}

text::Failure yaml_failure(std::string text) {
  return text::failure(text::FailureKind::yaml, std::move(text));
}

text::Failure with_mark(std::string_view message, Mark m) {
  text::Failure out = yaml_failure(std::string(message));
  append_mark_unless_origin(out, m);
  return out;
}

text::Failure render_libyaml_error(const yaml_parser_t& p) {
  text::Failure out = yaml_failure(
      p.problem != nullptr ? p.problem : "libyaml parser failed but there is no error");
  const yaml_mark_t& pm = p.problem_mark;
  if (pm.line != 0 || pm.column != 0) {
    append_mark(out, {pm.line, pm.column});
  } else if (p.problem_offset != 0) {
    out.text += " at position ";
    out.text += std::to_string(p.problem_offset);
  }
  if (p.context != nullptr) {
    out.text += ", ";
    out.text += p.context;
    const yaml_mark_t& cm = p.context_mark;
    if ((cm.line != 0 || cm.column != 0) && (cm.line != pm.line || cm.column != pm.column)) {
      append_mark(out, {cm.line, cm.column});
    }
  }
  return out;
}

Mark find_mark(const Source& source, std::uint32_t entry) {
  Parser parser(source);
  if (!parser.ok()) return {};
  EventLog log;
  Collector collector(log, parser.get());
  collector.collect(entry + 1);
  return log.size() > entry ? collector.last_mark() : Mark{};
}

std::string render_path(const EventLog& log, std::span<const BuildFrame> frames) {
  std::string out;
  bool root = true;
  for (const BuildFrame& f : frames) {
    if (!f.is_map) {
      if (root) out += '.';  // out is still empty
      out += '[';
      out += std::to_string(f.elements);
      out += ']';
      root = false;
    } else if (!f.expect_key) {
      if (!root) out += '.';
      if (log[f.key_entry].kind == Kind::Scalar) {
        out += log.key_text(f.key_entry);
      } else {
        out += '?';
      }
      root = false;
    }
  }
  return root ? std::string(".") : out;
}

text::Failure building_failure(const EventLog& log, std::span<const BuildFrame> frames,
                               std::string_view message, Mark m) {
  text::Failure out = yaml_failure(render_path(log, frames));
  if (out.text == ".") {
    out.text.clear();
  } else {
    out.text += ": ";
  }
  out.text += message;
  append_mark_unless_origin(out, m);
  return out;
}

std::string render_key(const EventLog& log, std::uint32_t node) {
  const Event& e = log[node];
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
      append_double(out, std::bit_cast<double>(e.payload));
      break;
    case ValueKind::String:
    case ValueKind::Failure:
      text::append_quoted_text(out, log.string_at(e.payload));
      break;
  }
  return out;
}

}  // namespace velmora::documents::yaml
