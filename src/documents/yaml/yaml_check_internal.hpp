// Work counters of the YAML document check, for tests that verify how the
// work grows with the input (alias expansion, key lookups). They are counted
// only in builds that define VELMORA_YAML_COUNTERS (the test builds); other
// builds leave every counter but `events` at 0.
#pragma once

#include <cstdint>
#include <string_view>

#include "documents/check_result.hpp"

namespace velmora::documents::yaml {

struct CheckStats {
  std::uint64_t events = 0;           // entries in the collected list
  std::uint64_t built_events = 0;     // entries visited while building
  std::uint64_t replayed_events = 0;  // entries walked again to expand aliases
  std::uint64_t key_probes = 0;       // key table entries inspected
  std::uint64_t node_compares = 0;    // node equality comparisons
  std::uint64_t hashed_nodes = 0;     // nodes hashed (anchored ones once)
  std::uint64_t kept_entries = 0;     // most entries kept at once (pages, keys, anchored copies)
};

#if defined(VELMORA_YAML_COUNTERS)
inline constexpr bool kCounting = true;
#else
inline constexpr bool kCounting = false;
#endif

// Adds to a work counter in counting builds; nothing otherwise.
inline void count(std::uint64_t& counter) {
  if constexpr (kCounting) ++counter;
}

// Entries collected between two steps of building while collecting goes on.
inline constexpr std::uint32_t kDefaultBuildBatch = 1024;

// check_yaml_document, also filling `stats`; `batch` as above.
CheckResult check_yaml_document_counted(std::string_view text, CheckStats& stats,
                                        std::uint32_t batch = kDefaultBuildBatch);

}  // namespace velmora::documents::yaml
