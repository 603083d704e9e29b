// JSON document check: accepted language, error texts and their positions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "documents/json/json_check.hpp"
#include "text/utf8.hpp"

namespace {

using velmora::documents::check_json_document;

// Empty expectation: the text is accepted.
struct JsonCase {
  std::string text;
  std::string expected;
};

std::string outcome(std::string_view text) {
  const auto result = check_json_document(text);
  return result ? result->text : std::string();
}

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

std::string nested_arrays(int depth) { return repeat("[", depth) + repeat("]", depth); }

// The streamed check of `text`, read five bytes at a time into a window of
// `window` bytes at first.
bool streamed_accepts(std::string_view text, std::size_t window) {
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
  return velmora::documents::json_document_accepted(pieces, window);
}

// The streamed check accepts exactly what the exact check accepts, whatever
// its window: one byte (a window that grows), a block, and the default.
void expect_streamed_agrees(std::string_view text, bool accepted) {
  for (const std::size_t window : {std::size_t{1}, std::size_t{64}, std::size_t{256} << 10}) {
    EXPECT_EQ(streamed_accepts(text, window), accepted) << "window " << window << ": " << text;
  }
}

void expect_cases(const std::vector<JsonCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(c.text), c.expected) << "text: " << c.text;
    expect_streamed_agrees(c.text, c.expected.empty());
  }
}

TEST(JsonCheckTest, AcceptedTexts) {
  expect_cases({
      {"42", ""},
      {"null", ""},
      {"true", ""},
      {"false", ""},
      {"[]", ""},
      {"{}", ""},
      {"\"text\"", ""},
      {" \t\r\n{ \"a\" : [ 1 , -2.5e+3 , 0 , -0 , 0.0E-0 ] , \"b\" : { } } \r\n\t ", ""},
      {"{\"a\":1,\"a\":2}", ""},
      {"\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\uABCD \\uD834\\uDD1E\"", ""},
      {"\"é \x7f \xe2\x80\x94\"", ""},
      {"18446744073709551615", ""},
      {"18446744073709551616", ""},
      {"-9223372036854775808", ""},
      {"-9223372036854775809", ""},
      {"1e-400", ""},
      {"0e999999999999999999999999", ""},
      {"0.000e1000", ""},
      {std::string("1").append(308, '0'), ""},
      {"[[[]],{\"k\":[{}]}]", ""},
  });
}

TEST(JsonCheckTest, RejectedTextsWithPositions) {
  expect_cases({
      // Ends of text.
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n", "EOF while parsing a value at line 2 column 0"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"ab\\", "EOF while parsing a string at line 1 column 4"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\u1x", "EOF while parsing a string at line 1 column 5"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\uD800\\uDC0", "EOF while parsing a string at line 1 column 12"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"[nul", "EOF while parsing a value at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1E-", "EOF while parsing a value at line 1 column 3"},
      // Structure.
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,b:2}", "key must be a string at line 1 column 8"},
      {"[,1]", "expected value at line 1 column 2"},
      {"]", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"True", "expected value at line 1 column 1"},
      {"/* c */ 1", "expected value at line 1 column 1"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
      {"\f1", "expected value at line 1 column 1"},
      {"trux", "expected ident at line 1 column 4"},
      {"[nulL]", "expected ident at line 1 column 5"},
      {"fals e", "expected ident at line 1 column 5"},
      // Numbers.
      {"01", "invalid number at line 1 column 2"},
      {"-00", "invalid number at line 1 column 3"},
      {"[-x]", "invalid number at line 1 column 3"},
      {"- 1", "invalid number at line 1 column 2"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"-.5", "invalid number at line 1 column 2"},
      {".5", "expected value at line 1 column 1"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1.5e+9999]", "number out of range at line 1 column 11"},
      {"1e99999999999999999999999999", "number out of range at line 1 column 28"},
      {std::string("1").append(309, '0'), "number out of range at line 1 column 310"},
      {"0.00001e314", "number out of range at line 1 column 11"},
      // Strings.
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"{\"k\x1f\":1}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\U0041\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12\"  \"", "invalid escape at line 1 column 6"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uDBFF\\uDBFF\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      // Lines and columns: only a line feed starts a line; columns count bytes.
      {"{\n  \"a\" 1\n}", "expected `:` at line 2 column 7"},
      {"[1,\r\n]", "trailing comma at line 2 column 1"},
      {"[1\r 2]", "expected `,` or `]` at line 1 column 5"},
      {"[\"é\" x]", "expected `,` or `]` at line 1 column 7"},
      {"[\n\n", "EOF while parsing a list at line 3 column 0"},
      {"[1,\n  2", "EOF while parsing a list at line 2 column 3"},
      {"\"ab\n\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"[tr\n", "expected ident at line 2 column 0"},
      {"x\n[", "expected value at line 1 column 1"},
  });
}

// Runs of whitespace, string bytes and digits of every length up to past two
// 64-byte blocks, each starting anywhere in one: where a run ends (a failing
// byte, or the text's end) gives the column.
TEST(JsonCheckTest, RunsAcrossBlocks) {
  std::vector<JsonCase> cases;
  for (int n = 0; n <= 140; ++n) {
    const std::string pad(static_cast<std::size_t>(n % 67), ' ');
    const std::string run(static_cast<std::size_t>(n), 'a');
    const auto column = [&](std::size_t before) {
      return " at line 1 column " + std::to_string(before + 1);
    };
    cases.push_back({"[" + pad + "\"" + run + "\x01\"]",
                     "control character (\\u0000-\\u001F) found while parsing a string" +
                         column(2 + pad.size() + run.size())});
    cases.push_back({"[" + pad + "1" + std::string(run.size(), '7') + "x]",
                     "expected `,` or `]`" + column(2 + pad.size() + run.size())});
    cases.push_back({"[" + std::string(run.size(), '\n') + pad + "x]",
                     "expected value at line " + std::to_string(n + 1) + " column " +
                         std::to_string(pad.size() + (n == 0 ? 2 : 1))});
    cases.push_back({pad + "\"" + run, "EOF while parsing a string" + column(pad.size() + n)});
    cases.push_back({pad + "\"" + run + "\"" + pad, ""});
  }
  expect_cases(cases);
}

// What the streamed check finds from the bits of a block's masks, placed
// across a block's end: runs of backslashes before a quote (an even run
// leaves it closing the string), escapes and surrogate pairs, and numbers of
// the lengths either side of the ones read from one 16-byte mask.
TEST(JsonStreamedTest, AcrossBlockEnds) {
  const std::vector<std::string> values = {
      R"("\\")",
      R"("\\\")",
      R"("a\"b")",
      R"("\\"])",
      R"("\uD834\uDD1E")",
      R"("\uD834\u0041")",
      R"("\uDD1E")",
      R"("\uD834")",
      R"("\u00e9\/\t")",
      R"("\x")",
      R"("\u12G4")",
      "123456789012345",
      "1234567890123456",
      "-0.12345678901234",
      "0.000000000000001",
      "1.5e+300",
      "1.5e+400",
      "1E-0099999",
      "-01",
      "1.e5",
      "0.1.2",
      "tru",
      "nullx",
      "9\"",
  };
  for (const std::string& value : values) {
    for (std::size_t pad = 50; pad < 70; ++pad) {
      const std::string text = "[" + std::string(pad, ' ') + value + "]";
      expect_streamed_agrees(text, !check_json_document(text).has_value());
    }
  }
}

TEST(JsonCheckTest, NestingLimit) {
  const std::string deepest = repeat("[", 126) + repeat("]", 126);
  const std::string mixed = repeat("{\"k\":[", 63) + "{}" + repeat("]}", 63);  // 127 open
  expect_cases({
      {nested_arrays(127), ""},
      {repeat("[", 128), "recursion limit exceeded at line 1 column 128"},
      {nested_arrays(128), "recursion limit exceeded at line 1 column 128"},
      {mixed, ""},
      {"[" + mixed + "]", "recursion limit exceeded at line 1 column 380"},
      // Units come back when a container ends, so siblings may each go deep.
      {"[" + deepest + "," + deepest + "," + deepest + "]", ""},
      {"{\"a\":" + deepest + ",\"b\":" + deepest + "}", ""},
      {"[" + deepest + ",[" + deepest + "]]", "recursion limit exceeded at line 1 column 381"},
      // The limit is checked before anything after the bracket.
      {repeat("[", 127) + "{", "recursion limit exceeded at line 1 column 128"},
      {repeat("\n[", 128), "recursion limit exceeded at line 129 column 1"},
      {repeat("[\n", 128) + repeat("]\n", 128), "recursion limit exceeded at line 128 column 1"},
      {repeat("{\"a\":", 128) + "1" + repeat("}", 128),
       "recursion limit exceeded at line 1 column 636"},
  });
}

// The range of numbers is exactly that of a double under round-to-nearest:
// whatever strtod turns into an infinity is out of range, all else is accepted.
TEST(JsonCheckTest, NumberRangeMatchesDoubleRounding) {
  const std::string max_double =
      "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863"
      "2766878171540"
      "45895351438246423432132688946418276846754670353751698604991057655128207624549009038932894407"
      "5868508455133"
      "94230458323690322294816580855933212334827479782620414472316873817718091929988125040402618412"
      "4858368";
  const std::string threshold =  // halfway between the largest double and 2^1024
      "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797"
      "7587207096330"
      "28641669288791094655554785194040263065748867150582068190890200070838367627385484581771153176"
      "4475730270069"
      "85557136695962284291481986083493647529271907416844436551070434271155969950809304288017790417"
      "4497792";
  const std::string below = threshold.substr(0, threshold.size() - 1) + "1";
  const std::vector<std::string> numbers = {
      max_double,
      threshold,
      below,
      "-" + threshold,
      "-" + below,
      below + ".99999999999999999999",
      threshold + ".00000000000000000001",
      threshold + ".0000",
      "1.7976931348623157e308",
      "1.7976931348623158e308",
      "1.7976931348623159e308",
      "-1."
      "79769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977"
      "58720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484"
      "58177115317644757302700698555713669596228429148198608349364752927190741684443655107043427115"
      "596995080930428801779041744977919e308",
      "1."
      "79769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977"
      "58720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484"
      "58177115317644757302700698555713669596228429148198608349364752927190741684443655107043427115"
      "596995080930428801779041744977920e308",
      "0.17976931348623158e309",
      "17976931348623158e292",
      "0.000000000000000000000000017976931348623157e334",
      "1e308",
      "9.99e308",
      "1e309",
      "2e-324",
      "1e-99999",
      "123456789012345678901234567890",
  };
  for (const auto& number : numbers) {
    const bool finite = !std::isinf(std::strtod(number.c_str(), nullptr));
    const std::string result = outcome(number);
    expect_streamed_agrees("[" + number + "]", finite);
    if (finite) {
      EXPECT_EQ(result, "") << number;
    } else {
      EXPECT_EQ(result, "number out of range at line 1 column " + std::to_string(number.size()))
          << number;
    }
  }
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

// The vendored parsing suite (tests/data): y_ files are accepted, n_ files are rejected, and
// the i_ files that are UTF-8 (the only texts the check is ever given) have
// the outcomes listed here.
TEST(JsonSuiteTest, ParsingSuite) {
#ifndef VELMORA_JSON_SUITE_DIR
  GTEST_SKIP() << "VELMORA_JSON_SUITE_DIR is not defined";
#else
  const std::filesystem::path dir = VELMORA_JSON_SUITE_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  const std::map<std::string, std::string> implementation_defined = {
      {"i_number_double_huge_neg_exp.json", ""},
      {"i_number_huge_exp.json", "number out of range at line 1 column 136"},
      {"i_number_neg_int_huge_exp.json", "number out of range at line 1 column 9"},
      {"i_number_pos_double_huge_exp.json", "number out of range at line 1 column 10"},
      {"i_number_real_neg_overflow.json", "number out of range at line 1 column 15"},
      {"i_number_real_pos_overflow.json", "number out of range at line 1 column 14"},
      {"i_number_real_underflow.json", ""},
      {"i_number_too_big_neg_int.json", ""},
      {"i_number_too_big_pos_int.json", ""},
      {"i_number_very_big_negative_int.json", ""},
      {"i_object_key_lone_2nd_surrogate.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_1st_surrogate_but_2nd_missing.json",
       "unexpected end of hex escape at line 1 column 9"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_incomplete_surrogate_and_escape_valid.json",
       "unexpected end of hex escape at line 1 column 10"},
      {"i_string_incomplete_surrogate_pair.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_incomplete_surrogates_escape_valid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_invalid_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_inverted_surrogates_U+1D11E.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_lone_second_surrogate.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_structure_500_nested_arrays.json", "recursion limit exceeded at line 1 column 128"},
      {"i_structure_UTF-8_BOM_empty_object.json", "expected value at line 1 column 1"},
  };
  int accepted = 0, rejected = 0, listed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const std::string text = read_file(entry.path());
    const auto result = check_json_document(text);
    expect_streamed_agrees(text, !result.has_value());
    if (name.starts_with("y_")) {
      EXPECT_FALSE(result.has_value()) << name << ": " << result->text;
      ++accepted;
    } else if (name.starts_with("n_")) {
      EXPECT_TRUE(result.has_value()) << name << " was accepted";
      ++rejected;
    } else if (name.starts_with("i_") && velmora::text::is_valid_utf8(text)) {
      const auto it = implementation_defined.find(name);
      if (it == implementation_defined.end()) {
        ADD_FAILURE() << name << " has no listed outcome; it gave: "
                      << (result ? result->text : "accepted");
        continue;
      }
      EXPECT_EQ(result ? result->text : "", it->second) << name;
      ++listed;
    }
  }
  EXPECT_GE(accepted, 90);
  EXPECT_GE(rejected, 180);
  EXPECT_EQ(listed, static_cast<int>(implementation_defined.size()));
#endif
}

}  // namespace
