// libFuzzer target for the JSON document check.
//
// Under the sanitizers it looks for memory and undefined-behaviour faults, and
// it holds the check to three properties:
//  - a rejection is one of the known messages, followed by " at line L column C"
//    with L and C inside the text;
//  - the same text gives the same outcome twice;
//  - read in small windows, the text is accepted exactly when it is whole;
//  - on UTF-8 input (all the check is ever given), acceptance agrees with
//    nlohmann::json::accept, except where the two differ by design: a leading
//    byte-order mark (which that reader skips), a NUL byte (which it takes
//    for the end of the text) and nesting beyond the limit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "documents/json/json_check.hpp"
#include "text/utf8.hpp"

namespace {

constexpr std::string_view kMessages[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

[[noreturn]] void fault(const char* what, std::string_view text, const std::string& result) {
  std::fprintf(stderr, "%s\ninput (%zu bytes): %.*s\nresult: %s\n", what, text.size(),
               static_cast<int>(text.size() > 400 ? 400 : text.size()), text.data(),
               result.c_str());
  std::abort();
}

void check_shape(std::string_view text, const std::string& result) {
  const std::size_t at = result.rfind(" at line ");
  if (at == std::string::npos) fault("no position", text, result);
  const std::string_view message(result.data(), at);
  bool known = false;
  for (const auto m : kMessages) known = known || m == message;
  if (!known) fault("unknown message", text, result);

  unsigned long line = 0, column = 0;
  char tail = 0;
  if (std::sscanf(result.c_str() + at, " at line %lu column %lu%c", &line, &column, &tail) != 2) {
    fault("malformed position", text, result);
  }
  std::size_t lines = 1, longest = 0, current = 0;
  for (const char c : text) {
    if (c == '\n') {
      ++lines;
      longest = current + 1 > longest ? current + 1 : longest;
      current = 0;
    } else {
      ++current;
    }
  }
  longest = current > longest ? current : longest;
  if (line < 1 || line > lines || column > longest)
    fault("position outside the text", text, result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto first = velmora::documents::check_json_document(text);
  const auto second = velmora::documents::check_json_document(text);
  const std::string said = first ? first->text : "accepted";
  if (first != second) fault("outcome differs between two calls", text, said);
  if (first) check_shape(text, first->text);
  if (first && (!first->position ||
                !first->text.ends_with(" at line " + std::to_string(first->position->line) +
                                       " column " + std::to_string(first->position->column)))) {
    fault("position value differs from the text", text, said);
  }

  // Checked in small windows, the text is accepted exactly when it is whole.
  for (const std::size_t window : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
    struct Pieces final : velmora::documents::TextSource {
      std::string_view rest;
      bool read(unsigned char* into, std::size_t capacity, std::size_t& got) noexcept override {
        got = std::min({capacity, rest.size(), std::size_t{5}});
        std::memcpy(into, rest.data(), got);
        rest.remove_prefix(got);
        return true;
      }
    } pieces;
    pieces.rest = text;
    const bool streamed = velmora::documents::json_document_accepted(pieces, window);
    if (streamed && first) fault("streamed check accepts what the whole check refuses", text, said);
    if (!streamed && !first)
      fault("streamed check refuses what the whole check accepts", text, "accepted");
  }

  const bool bom = text.starts_with("\xef\xbb\xbf");
  const bool nul = text.find('\0') != std::string_view::npos;
  const bool too_deep = first && first->text.starts_with("recursion limit exceeded");
  if (velmora::text::is_valid_utf8(text) && !bom && !nul && !too_deep) {
    const bool peer = nlohmann::json::accept(text);
    if (peer != !first)
      fault(peer ? "peer accepts, check rejects" : "peer rejects, check accepts", text, said);
  }
  return 0;
}
