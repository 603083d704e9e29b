// The full YAML check, where the plain check (yaml_plain_check) could not
// decide: collects the first document's events into the event log
// (yaml_collector, yaml_event_log) and builds them (yaml_builder) a batch
// behind, while they are fresh in the cache; a building failure ends the
// check without reading the rest. Finally the stream must end.
#include "documents/yaml/yaml_check.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "documents/yaml/yaml_builder.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_collector.hpp"
#include "documents/yaml/yaml_diagnostics.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_plain_check.hpp"

namespace velmora::documents {
namespace yaml {
namespace {

CheckResult run(std::string_view text, CheckStats& stats, std::uint32_t batch) {
  const Source source = Source::of(text);
  Parser parser(source);
  if (!parser.ok()) return yaml_failure(std::string(kOutOfMemory));
  EventLog log;
  log.set_source(source.text);
  Builder builder(log, source, stats);
  Collector collector(log, parser.get());

  // Collect `batch` entries beyond the one building leaves for later, then build them.
  bool failed = false;
  for (;;) {
    std::uint32_t until = kNone;
    if (builder.can_advance()) {
      until = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(kNone, std::uint64_t{builder.position()} + batch + 1));
    }
    if (!collector.collect(until)) break;
    if (builder.step() == Builder::Progress::Failed) {
      failed = true;
      break;
    }
    log.release_below(std::min(builder.floor(), collector.anchor_floor()));
    if constexpr (kCounting) stats.kept_entries = std::max(stats.kept_entries, log.kept_entries());
  }
  stats.events = log.size();

  if (failed) return builder.failure();
  if (!builder.built() && builder.finish(collector.error()) == Builder::Progress::Failed)
    return builder.failure();
  if (collector.error()) return collector.error();
  if (collector.stream_ended()) return std::nullopt;
  ParsedEvent next;
  const bool parsed = yaml_parser_parse(parser.get(), next.get()) != 0;
  if (parsed && (*next).type == YAML_STREAM_END_EVENT) return std::nullopt;
  text::Failure failure = yaml_failure(std::string(kMoreThanOneDocument));
  if (parsed && (*next).type == YAML_DOCUMENT_START_EVENT) {
    failure.related = TextPosition{(*next).start_mark.line + 1, (*next).start_mark.column + 1};
  }
  return failure;
}

}  // namespace

CheckResult check_yaml_document_counted(std::string_view text, CheckStats& stats,
                                        std::uint32_t batch) {
  try {
    return run(text, stats, batch == 0 ? 1 : batch);
  } catch (...) {  // allocation failures (bad_alloc, length_error)
    return yaml_failure(std::string(kOutOfMemory));
  }
}

}  // namespace yaml

bool yaml_document_accepted(TextSource& source, bool bom) {
  // libyaml asks for input through a C callback; a failed read is its error.
  yaml_read_handler_t* const read = [](void* data, unsigned char* buffer, std::size_t size,
                                       std::size_t* size_read) -> int {
    return static_cast<TextSource*>(data)->read(buffer, size, *size_read) ? 1 : 0;
  };
  yaml::Parser parser(read, &source, bom);
  return yaml::plain_check(parser) == yaml::PlainVerdict::Accepted;
}

CheckResult check_yaml_document(std::string_view text) {
  if (yaml::plain_check(text) == yaml::PlainVerdict::Accepted) return std::nullopt;
  yaml::CheckStats stats;
  return yaml::check_yaml_document_counted(text, stats);
}

}  // namespace velmora::documents
