// libFuzzer target for the YAML document check: any input must give either
// acceptance or one well-formed error text, without sanitizer reports.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "documents/yaml/yaml_check.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_plain_check.hpp"

namespace {

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80           ? 1
                    : (c >> 5) == 0x6  ? 2
                    : (c >> 4) == 0xE  ? 3
                    : (c >> 3) == 0x1E ? 4
                                       : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

// Every " at line L column C" that ends the text or precedes ", " (where the
// renderings put marks; quoted values and path keys may contain anything) has
// L, C >= 1, unless the document itself holds that text (a key in the path).
// Numbers with leading zeros are never rendered: such text comes from the
// document, not from a mark.
bool marks_well_formed(const std::string& s, std::string_view document) {
  for (std::size_t at = s.find(" at line "); at != std::string::npos;
       at = s.find(" at line ", at + 1)) {
    std::size_t i = at + 9;
    bool zero = false;
    const auto number = [&](std::size_t& p) {
      const std::size_t start = p;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
      if (p - start > 1 && s[start] == '0') return false;
      if (p > start && s[start] == '0') zero = true;
      return p > start;
    };
    if (!number(i) || s.compare(i, 8, " column ") != 0) continue;
    i += 8;
    if (!number(i)) continue;
    const bool ends_mark = i == s.size() || s.compare(i, 2, ", ") == 0;
    if (ends_mark && zero && document.find(s.substr(at, i - at)) == std::string_view::npos)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = velmora::documents::check_yaml_document(text);
  // The plain check accepts only what the full check accepts, and the answer
  // is the full check's.
  namespace yaml = velmora::documents::yaml;
  yaml::CheckStats stats;
  const bool plain = yaml::plain_check(text) == yaml::PlainVerdict::Accepted;
  const auto full = yaml::check_yaml_document_counted(text, stats);
  if ((plain && full) || full != result) std::abort();
  // Read in small pieces, as a file is read in steps, the plain check says
  // the same.
  struct Pieces final : velmora::documents::TextSource {
    std::string_view rest;
    std::size_t step = 1;
    bool read(unsigned char* into, std::size_t capacity, std::size_t& got) noexcept override {
      got = std::min({capacity, step, rest.size()});
      std::memcpy(into, rest.data(), got);
      rest.remove_prefix(got);
      return true;
    }
  } pieces;
  pieces.rest = text;
  pieces.step = 1 + size % 13;
  if (velmora::documents::yaml_document_accepted(pieces, text.starts_with("\xEF\xBB\xBF")) != plain)
    std::abort();
  if (!result) return 0;
  const std::string& e = result->text;
  const bool ok = !e.empty() && e.back() != '\n' && e.back() != ' ' && marks_well_formed(e, text) &&
                  (valid_utf8(e) || !valid_utf8(text));
  if (!ok) std::abort();
  // The position value is one of the text's marks, where marks are written.
  if (result->position) {
    const std::string mark = " at line " + std::to_string(result->position->line) + " column " +
                             std::to_string(result->position->column);
    bool found = false;
    for (std::size_t at = e.find(mark); at != std::string::npos && !found;
         at = e.find(mark, at + 1)) {
      const std::size_t end = at + mark.size();
      found = end == e.size() || e.compare(end, 2, ", ") == 0;
    }
    if (!found) std::abort();
  }
  // The check keeps no state: a second run gives the same text.
  if (velmora::documents::check_yaml_document(text) != result) std::abort();
  return 0;
}
