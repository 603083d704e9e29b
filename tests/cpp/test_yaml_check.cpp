// YAML document check: accepted texts, every error form with exact texts,
// paths and marks, scalar resolution, key rendering, and work counts on large
// and alias-heavy documents.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "documents/yaml/yaml_check.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "text/quoted_text.hpp"

#if !defined(VELMORA_YAML_COUNTERS)
#error "the work-count tests need the counters: build with VELMORA_YAML_COUNTERS"
#endif

namespace {

// A check's failure text, or nothing when it accepts.
std::optional<std::string> text_of(const velmora::documents::CheckResult& result) {
  if (!result) return std::nullopt;
  return result->text;
}

using velmora::documents::check_yaml_document;
namespace yaml = velmora::documents::yaml;

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct Case {
  const char* name;
  std::string text;
  const char* error;  // nullptr: accepted
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class YamlCheckTable : public ::testing::TestWithParam<Case> {};

TEST_P(YamlCheckTable, GivesExactOutcome) {
  const Case& c = GetParam();
  const auto result = check_yaml_document(c.text);
  if (c.error == nullptr) {
    EXPECT_FALSE(result.has_value()) << result->text;
  } else {
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->text, c.error);
  }
}

const Case kAccepted[] = {
    {"empty", "", nullptr},
    {"comments_only", "# one\n  # two\n", nullptr},
    {"explicit_end", "a: 1\n...\n", nullptr},
    {"explicit_start", "--- \na: 1\n", nullptr},
    {"u64_and_i64_edges", "a: 18446744073709551615\nb: -9223372036854775808\n", nullptr},
    {"forty_digits", "a: 1234567890123456789012345678901234567890\n", nullptr},
    {"leading_zero_strings", "a: 0123\nb: -0123\nc: +007\n", nullptr},
    {"overflowing_float_is_string", "a: 1e999\n", nullptr},
    {"merge_key_is_plain", "<<: {a: 1}\nb: 2\n", nullptr},
    {"merge_key_twice_differs_from_string", "<<: 1\n'<<x': 2\n", nullptr},
    {"alias_to_earlier", "a: &x {b: 1}\nc: *x\n", nullptr},
    {"tags_local_and_global", "a: !point {x: 1}\nb: !!str 12\nc: ! 3\nd: !!map {e: 1}\n", nullptr},
    {"nested_128", repeat("[", 128) + repeat("]", 128), nullptr},
    {"float_tag_on_int", "a: !!float 1\nb: !!float 0123\nc: !!float .NaN\n", nullptr},
    {"int_tag_forms", "a: !!int 0x1F\nb: !!int -0o17\nc: !!int +0b101\n", nullptr},
    {"bool_null_tags", "a: !!bool FALSE\nb: !!null ~\nc: !!null NULL\n", nullptr},
    {"bom_multiline",
     "\xEF\xBB\xBF"
     "a: 1\nb: 2\n",
     nullptr},
    {"bom_only", "\xEF\xBB\xBF", nullptr},
};
INSTANTIATE_TEST_SUITE_P(Accepted, YamlCheckTable, ::testing::ValuesIn(kAccepted),
                         [](const auto& info) { return std::string(info.param.name); });

const Case kRejected[] = {
    // duplicate keys and their rendering
    {"dup_root_no_position", "a: 1\na: 2", "duplicate entry with key \"a\""},
    {"dup_nested_mapping_mark", "x:\n  a: 1\n  a: 2\n",
     "x: duplicate entry with key \"a\" at line 2 column 3"},
    {"dup_int_forms", "1: a\n0x1: b\n", "duplicate entry with key 1"},
    {"dup_negative", "-0x10: a\n-16: b\n", "duplicate entry with key -16"},
    {"dup_minus_zero_is_zero", "0: a\n-0: b\n", "duplicate entry with key 0"},
    {"dup_null", "~: a\nnull: b\n", "duplicate entry with null key"},
    {"dup_empty_null", "? \n: a\n~: b\n", "duplicate entry with null key"},
    {"dup_bool", "true: 1\nTrue: 2\n", "duplicate entry with key `true`"},
    {"dup_false", "false: 1\n!!bool FALSE: 2\n", "duplicate entry with key `false`"},
    {"dup_float_plain", "1.0: a\n1.00: b\n", "duplicate entry with key 1.0"},
    {"dup_float_zero_signs", "-0.0: a\n0.0: b\n", "duplicate entry with key -0.0"},
    {"dup_nan", ".nan: a\n.NaN: b\n", "duplicate entry with key .nan"},
    {"dup_inf", "-.inf: a\n-.Inf: b\n", "duplicate entry with key -.inf"},
    {"dup_float_small", "0.0001: a\n1e-4: b\n", "duplicate entry with key 0.0001"},
    {"dup_float_exponent", "1e100: a\n1.0e+100: b\n", "duplicate entry with key 1e100"},
    {"dup_float_tag", "!!float 2: a\n2.0: b\n", "duplicate entry with key 2.0"},
    {"dup_string_escapes",
     "\"q\\\"b\\\\\\t\\r\\n\\0\\x01\\x7f\\u00e9\\u00a0\\u200b'\": 1\n"
     "\"q\\\"b\\\\\\t\\r\\n\\0\\x01\\x7f\\u00e9\\u00a0\\u200b'\": 2\n",
     "duplicate entry with key \"q\\\"b\\\\\\t\\r\\n\\0\\u{1}\\u{7f}\xC3\xA9\\u{a0}\\u{200b}'\""},
    {"dup_string_quoted_vs_plain", "'a b': 1\na b: 2\n", "duplicate entry with key \"a b\""},
    {"dup_string_vs_str_tag", "!!str 1: a\n'1': b\n", "duplicate entry with key \"1\""},
    {"dup_sequence_key", "? [1, 2]\n: a\n? [1, 0x2]\n: b\n", "duplicate entry in YAML map"},
    {"dup_mapping_key_reordered", "{a: 1, b: 2}: x\n{b: 2, a: 1}: y\n",
     "duplicate entry in YAML map"},
    {"dup_tagged_key", "{!a 1: x, !a 1: y}", "duplicate entry in YAML map"},
    {"dup_tag_bang_forms", "%TAG !e! !!\n---\n{!e!x 1: x, !x 1: y}",
     "duplicate entry in YAML map at line 3 column 1"},
    {"dup_alias_key", "a: &k v\nv: 1\n*k : b\n", "duplicate entry with key \"v\""},
    {"dup_in_flow_seq", "- {a: 1}\n- {b: 1, b: 2}\n",
     ".[1]: duplicate entry with key \"b\" at line 2 column 3"},
    {"dup_before_syntax_error", "a: 1\na: 2\n]\n", "duplicate entry with key \"a\""},
    // invalid values and integers beyond 64 bits
    {"u128", "big: 18446744073709551616",
     "big: invalid type: integer `18446744073709551616` as u128, expected any YAML value at line 1 "
     "column 6"},
    {"u128_hex", "h: 0x10000000000000000",
     "h: invalid type: integer `18446744073709551616` as u128, expected any YAML value at line 1 "
     "column 4"},
    {"i128", "n: -9223372036854775809",
     "n: invalid type: integer `-9223372036854775809` as i128, expected any YAML value at line 1 "
     "column 4"},
    {"i128_hex", "n: -0x8000000000000001",
     "n: invalid type: integer `-9223372036854775809` as i128, expected any YAML value at line 1 "
     "column 4"},
    {"int_tag_bad", "x: !!int abc",
     "x: invalid value: string \"abc\", expected an integer at line 1 column 4"},
    {"int_tag_leading_zero", "x: !!int 012",
     "x: invalid value: string \"012\", expected an integer at line 1 column 4"},
    {"int_tag_u128", "x: !!int '18446744073709551616'",
     "x: invalid type: integer `18446744073709551616` as u128, expected any YAML value at line 1 "
     "column 4"},
    {"null_tag_empty", "x: !!null",
     "x: invalid value: string \"\", expected null at line 1 column 4"},
    {"null_tag_word", "x: !!null none",
     "x: invalid value: string \"none\", expected null at line 1 column 4"},
    {"bool_tag", "x: !!bool yes",
     "x: invalid value: string \"yes\", expected a boolean at line 1 column 4"},
    {"float_tag_word", "x: !!float inf",
     "x: invalid value: string \"inf\", expected a float at line 1 column 4"},
    {"float_tag_plus_nan", "x: !!float +.nan",
     "x: invalid value: string \"+.nan\", expected a float at line 1 column 4"},
    {"float_tag_quoted_escaped", "x: !!float \"a\\tb\"",
     "x: invalid value: string \"a\\tb\", expected a float at line 1 column 4"},
    {"failure_at_origin", "!!int x", "invalid value: string \"x\", expected an integer"},
    {"local_tag_inner_u128", "x: !t 18446744073709551616",
     "x: invalid type: integer `18446744073709551616` as u128, expected any YAML value at line 1 "
     "column 4"},
    // paths
    {"path_root_sequence", "- 1\n- !!int q\n",
     ".[1]: invalid value: string \"q\", expected an integer at line 2 column 3"},
    {"path_nested", "server:\n  port: !!int p\n",
     "server.port: invalid value: string \"p\", expected an integer at line 2 column 9"},
    {"path_seq_in_map", "layers:\n  - {size: 1}\n  - {size: 2}\n  - {size: !!int s}\n",
     "layers[2].size: invalid value: string \"s\", expected an integer at line 4 column 12"},
    {"path_root_seq_map", "- name: !!bool n\n",
     ".[0].name: invalid value: string \"n\", expected a boolean at line 1 column 9"},
    {"path_key_text_unresolved", "0x1: !!null x\n",
     "0x1: invalid value: string \"x\", expected null at line 1 column 6"},
    {"path_complex_key_value", "? [a]\n: !!int x\n",
     "?: invalid value: string \"x\", expected an integer at line 2 column 3"},
    {"path_alias_key_value", "a: &k v\nb:\n  *k : !!int x\n",
     "b.?: invalid value: string \"x\", expected an integer at line 3 column 8"},
    {"path_key_uses_mapping_path", "m:\n  ? [1, !!int z]\n  : 1\n",
     "m[1]: invalid value: string \"z\", expected an integer at line 2 column 9"},
    {"path_empty_key_text", "'': !!bool q",
     ": invalid value: string \"q\", expected a boolean at line 1 column 5"},
    {"dup_path_nested_seq", "a:\n  - b:\n      c: 1\n      c: 2\n",
     "a[0].b: duplicate entry with key \"c\" at line 3 column 7"},
    // limits and anchors
    {"recursion_129", repeat("[", 129) + repeat("]", 129),
     "recursion limit exceeded at line 1 column 129"},
    {"recursion_in_mapping", "a: " + repeat("[", 128) + repeat("]", 128),
     "recursion limit exceeded at line 1 column 131"},
    {"self_alias", "&a [*a]", "recursion limit exceeded"},
    {"self_alias_in_mapping", "x: &a {k: *a}", "recursion limit exceeded at line 1 column 4"},
    {"alias_too_deep",
     "a: &x " + repeat("[", 100) + repeat("]", 100) + "\nb: " + repeat("[", 30) + "*x" +
         repeat("]", 30),
     "recursion limit exceeded at line 1 column 104"},
    {"unknown_anchor", "a: *x", "unknown anchor at line 1 column 4"},
    {"unknown_anchor_at_origin", "*x", "unknown anchor"},
    {"dup_key_before_unknown_anchor", "a: 1\na: *x\n", "duplicate entry with key \"a\""},
    {"dup_then_unknown_anchor", "a: 1\na: 2\nb: *x\n", "duplicate entry with key \"a\""},
    {"anchor_redefined", "a: &x 1\nb: &x 2\nc: &y 3\nd: {*x: 1, 2: 2}\n",
     "d: duplicate entry with key 2 at line 4 column 4"},
    {"repetition",
     "a: &a [1]\nb: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\nc: &c [*b, *b, *b, *b, *b, *b, "
     "*b, *b, *b, *b]\n"
     "d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\ne: [*d, *d, *d, *d, *d, *d, *d, *d, *d, "
     "*d]\n",
     "repetition limit exceeded"},
    // documents
    {"two_documents", "a: 1\n---\nb: 2\n",
     "deserializing from YAML containing more than one document is not supported"},
    {"trailing_start", "a: 1\n---\n",
     "deserializing from YAML containing more than one document is not supported"},
    {"second_document_broken", "a: 1\n--- [\n",
     "deserializing from YAML containing more than one document is not supported"},
    // libyaml errors
    {"flow_sequence_unclosed", "a: [1, 2\n",
     "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line 1 "
     "column 4"},
    {"context_same_mark", "a: @",
     "found character that cannot start any token at line 1 column 4, while scanning for the next "
     "token"},
    {"reader_error_offset", "a: \x01", "control characters are not allowed at position 3"},
    {"reader_error_after_bom",
     "\xEF\xBB\xBF"
     "a: \x01",
     "control characters are not allowed at position 6"},
    {"invalid_utf8", "a: \xC3", "incomplete UTF-8 octet sequence at position 3"},
    {"problem_at_origin", "%YAML 2.0\n---\na\n", "found incompatible YAML document"},
    {"content_after_root", "[1] ]",
     "deserializing from YAML containing more than one document is not supported"},
    {"bom_duplicate_no_position",
     "\xEF\xBB\xBF"
     "a: 1\na: 2\n",
     "duplicate entry with key \"a\""},
    {"bom_nested_mark",
     "\xEF\xBB\xBF"
     "x:\n  a: 1\n  a: 2\n",
     "x: duplicate entry with key \"a\" at line 2 column 3"},
};
INSTANTIATE_TEST_SUITE_P(Rejected, YamlCheckTable, ::testing::ValuesIn(kRejected),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- scalar resolution ---------------------------------------------------------

struct ResolveCase {
  const char* value;
  yaml::ValueKind kind;
  double number;  // UInt, NegInt and Float values
};

class YamlCheckResolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(YamlCheckResolve, PlainScalar) {
  const ResolveCase& c = GetParam();
  std::string failure;
  const yaml::Resolved r = yaml::resolve_scalar(c.value, true, yaml::TagClass::None, failure);
  ASSERT_EQ(static_cast<int>(r.kind), static_cast<int>(c.kind)) << c.value;
  switch (r.kind) {
    case yaml::ValueKind::UInt:
      EXPECT_EQ(static_cast<double>(r.bits), c.number) << c.value;
      break;
    case yaml::ValueKind::NegInt:
      EXPECT_EQ(static_cast<double>(static_cast<std::int64_t>(r.bits)), c.number) << c.value;
      break;
    case yaml::ValueKind::Float: {
      const double d = std::bit_cast<double>(r.bits);
      if (std::isnan(c.number)) {
        EXPECT_TRUE(std::isnan(d)) << c.value;
      } else {
        EXPECT_EQ(d, c.number) << c.value;
        EXPECT_EQ(std::signbit(d), std::signbit(c.number)) << c.value;
      }
      break;
    }
    default:
      break;
  }
}

using K = yaml::ValueKind;
const double kInf = HUGE_VAL;
const ResolveCase kResolveCases[] = {
    {"", K::Null, 0},
    {"~", K::Null, 0},
    {"null", K::Null, 0},
    {"Null", K::Null, 0},
    {"NULL", K::Null, 0},
    {"nULL", K::String, 0},
    {"true", K::Bool, 0},
    {"TRUE", K::Bool, 0},
    {"False", K::Bool, 0},
    {"yes", K::String, 0},
    {"tRue", K::String, 0},
    {"0", K::UInt, 0},
    {"+0", K::UInt, 0},
    {"-0", K::UInt, 0},
    {"00", K::String, 0},
    {"-00", K::String, 0},
    {"12", K::UInt, 12},
    {"+12", K::UInt, 12},
    {"++12", K::String, 0},
    {"+-12", K::String, 0},
    {"--12", K::String, 0},
    {"-12", K::NegInt, -12},
    {"1_000", K::String, 0},
    {"1 000", K::String, 0},
    {"0x1F", K::UInt, 31},
    {"0X1F", K::String, 0},
    {"0xff", K::UInt, 255},
    {"+0x1F", K::UInt, 31},
    {"-0x1F", K::NegInt, -31},
    {"0x-1", K::String, 0},
    {"0x+1", K::String, 0},
    {"-0x+1", K::String, 0},
    {"-0x-1", K::String, 0},
    {"0x", K::String, 0},
    {"0o17", K::UInt, 15},
    {"0o18", K::String, 0},
    {"-0o17", K::NegInt, -15},
    {"0b101", K::UInt, 5},
    {"-0b101", K::NegInt, -5},
    {"0b2", K::String, 0},
    {"-0x0", K::UInt, 0},
    {"0x0001", K::UInt, 1},
    {"9223372036854775807", K::UInt, 9223372036854775807.0},
    {"-9223372036854775808", K::NegInt, -9223372036854775808.0},
    {"18446744073709551615", K::UInt, 18446744073709551615.0},
    {"0xFFFFFFFFFFFFFFFF", K::UInt, 18446744073709551615.0},
    {"18446744073709551616", K::Failure, 0},
    {"-9223372036854775809", K::Failure, 0},
    {"340282366920938463463374607431768211455", K::Failure, 0},
    {"340282366920938463463374607431768211456", K::Float,
     340282366920938463463374607431768211456.0},
    {"-170141183460469231731687303715884105728", K::Failure, 0},
    {"-170141183460469231731687303715884105729", K::Float,
     -170141183460469231731687303715884105729.0},
    {"1.5", K::Float, 1.5},
    {"+1.5", K::Float, 1.5},
    {"-1.5", K::Float, -1.5},
    {".5", K::Float, 0.5},
    {"5.", K::Float, 5.0},
    {"-.5", K::Float, -0.5},
    {"1e3", K::Float, 1000},
    {"1E+3", K::Float, 1000},
    {"1e-3", K::Float, 0.001},
    {"1e", K::String, 0},
    {"1e+", K::String, 0},
    {".", K::String, 0},
    {"-", K::String, 0},
    {"+", K::String, 0},
    {"e3", K::String, 0},
    {"1.5.2", K::String, 0},
    {"00.5", K::Float, 0.5},
    {"0123", K::String, 0},
    {"1e999", K::String, 0},
    {"-1e999", K::String, 0},
    {"1e-999", K::Float, 0.0},
    {"-1e-999", K::Float, -0.0},
    {"-0.0", K::Float, -0.0},
    {".inf", K::Float, kInf},
    {"+.Inf", K::Float, kInf},
    {"-.INF", K::Float, -kInf},
    {"+-.inf", K::String, 0},
    {".nan", K::Float, NAN},
    {".NaN", K::Float, NAN},
    {"+.nan", K::String, 0},
    {"-.nan", K::String, 0},
    {"inf", K::String, 0},
    {"Infinity", K::String, 0},
    {"nan", K::String, 0},
    {"NaN", K::String, 0},
    {".Nan", K::String, 0},
    {"1.5 ", K::String, 0},
    {"0x1.8p1", K::String, 0},
    {"<<", K::String, 0},
};
INSTANTIATE_TEST_SUITE_P(Values, YamlCheckResolve, ::testing::ValuesIn(kResolveCases));

TEST(YamlCheckResolveStyle, QuotedAndTaggedScalars) {
  std::string failure;
  EXPECT_EQ(yaml::resolve_scalar("12", false, yaml::TagClass::None, failure).kind, K::String);
  EXPECT_EQ(yaml::resolve_scalar("12", false, yaml::TagClass::Local, failure).kind, K::String);
  EXPECT_EQ(yaml::resolve_scalar("12", true, yaml::TagClass::Local, failure).kind, K::UInt);
  EXPECT_EQ(yaml::resolve_scalar("12", true, yaml::TagClass::OtherGlobal, failure).kind, K::String);
  EXPECT_EQ(yaml::resolve_scalar("12", false, yaml::TagClass::Int, failure).kind, K::UInt);
  EXPECT_EQ(yaml::resolve_scalar("true", false, yaml::TagClass::Bool, failure).kind, K::Bool);
  EXPECT_EQ(yaml::classify_tag("tag:yaml.org,2002:int"), yaml::TagClass::Int);
  EXPECT_EQ(yaml::classify_tag("tag:yaml.org,2002:str"), yaml::TagClass::OtherGlobal);
  EXPECT_EQ(yaml::classify_tag("!int"), yaml::TagClass::Local);
  EXPECT_EQ(yaml::classify_tag(nullptr), yaml::TagClass::None);
}

struct DoubleCase {
  double value;
  const char* text;
};
class YamlCheckDouble : public ::testing::TestWithParam<DoubleCase> {};
TEST_P(YamlCheckDouble, ShortestText) {
  std::string out;
  yaml::append_double(out, GetParam().value);
  EXPECT_EQ(out, GetParam().text);
}
const DoubleCase kDoubles[] = {
    {1.0, "1.0"},
    {-1.0, "-1.0"},
    {0.0, "0.0"},
    {-0.0, "-0.0"},
    {1.5, "1.5"},
    {0.1, "0.1"},
    {123456.0, "123456.0"},
    {1e15, "1000000000000000.0"},
    {1e16, "1e16"},
    {1.5e16, "1.5e16"},
    {0.0001, "0.0001"},
    {0.00001, "0.00001"},
    {0.000001, "1e-6"},
    {1.25e-7, "1.25e-7"},
    {1e100, "1e100"},
    {5e-324, "5e-324"},
    {1.7976931348623157e308, "1.7976931348623157e308"},
    {0.3, "0.3"},
    {HUGE_VAL, ".inf"},
    {-HUGE_VAL, "-.inf"},
    {NAN, ".nan"},
    {123.456, "123.456"},
};
INSTANTIATE_TEST_SUITE_P(Values, YamlCheckDouble, ::testing::ValuesIn(kDoubles));

TEST(YamlCheckQuoted, EscapesNonPrintingOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\"\\\t\r\n'", "\"\\\"\\\\\\t\\r\\n'\""},
      {"\x1b\x7f", "\"\\u{1b}\\u{7f}\""},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},  // é € 😀
      {"\xC2\x85\xC2\xA0\xE2\x80\xA8\xEF\xBB\xBF", "\"\\u{85}\\u{a0}\\u{2028}\\u{feff}\""},
      {"e\xCC\x81", "\"e\\u{301}\""},          // combining acute accent
      {"\xEE\x80\x80", "\"\\u{e000}\""},       // private use
      {"\xF3\xA0\x80\x81", "\"\\u{e0001}\""},  // language tag
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    velmora::text::append_quoted_text(out, in);
    EXPECT_EQ(out, want);
  }
}

// Many bindings, names reused and long: an alias denotes the latest binding of
// its name before it, seen through duplicate keys.
TEST(YamlCheckAnchors, AliasDenotesLatestBinding) {
  const auto name = [](int k) {
    return k % 3 == 0 ? "a_rather_long_anchor_name_number_" + std::to_string(k)
                      : "n" + std::to_string(k);
  };
  std::string defs;
  int latest[50] = {};
  for (int i = 0; i < 500; ++i) {
    const int k = (i * 7) % 50;
    defs += "- &" + name(k) + " v" + std::to_string(i) + "\n";
    latest[k] = i;
  }
  for (const int k : {0, 3, 7, 48}) {
    const std::string alias = "*" + name(k) + " ";
    const std::string now = "- {" + alias + ": 1, v" + std::to_string(latest[k]) + ": 2}\n";
    const auto r = check_yaml_document(defs + now);
    ASSERT_TRUE(r.has_value()) << k;
    EXPECT_EQ(r->text, ".[500]: duplicate entry with key \"v" + std::to_string(latest[k]) +
                           "\" at line 501 column 3");
    const std::string older = "- {" + alias + ": 1, v" + std::to_string(latest[k] - 350) + ": 2}\n";
    EXPECT_FALSE(check_yaml_document(defs + older).has_value()) << k;
  }
  EXPECT_EQ(text_of(check_yaml_document(defs + "- *missing\n")),
            "unknown anchor at line 501 column 3");
}

// ---- work grows linearly -----------------------------------------------------------

std::string flat_mapping(int keys) {
  std::string s;
  for (int i = 0; i < keys; ++i) s += "key_" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  return s;
}

TEST(YamlCheckScaling, KeyLookupsGrowLinearly) {
  yaml::CheckStats small, large, repeated;
  ASSERT_FALSE(yaml::check_yaml_document_counted(flat_mapping(10'000), small).has_value());
  ASSERT_FALSE(yaml::check_yaml_document_counted(flat_mapping(100'000), large).has_value());
  EXPECT_LT(large.key_probes, 20 * small.key_probes);
  EXPECT_LT(large.key_probes, 300'000u);
  // Distinct keys are compared only where the upper halves of their hashes meet.
  EXPECT_LT(large.node_compares, 16u);
  // Scalar values that are neither keys nor anchored are not kept.
  EXPECT_EQ(large.events, 100'000u + 2);
  // A repeat after them all is found, with as few comparisons.
  EXPECT_EQ(text_of(yaml::check_yaml_document_counted(flat_mapping(100'000) + "key_99999: again\n",
                                                      repeated)),
            "duplicate entry with key \"key_99999\"");
  EXPECT_LT(repeated.node_compares, 16u);
}

// Only what building can still read is kept: entries behind building go
// (a batch of entries ahead of it is collected at a time); anchored
// collections stay, and so do the keys of open mappings: as copies, unless
// written as they are in the text (the key table then holds them alone).
TEST(YamlCheckScaling, KeepsOnlyWhatCanStillBeRead) {
  const auto lines = [](int n, auto line) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line(std::to_string(i));
    return s;
  };
  struct Case {
    const char* name;
    std::string text;
    std::uint64_t least, most;  // bounds of the most entries kept at once
  };
  const Case cases[] = {
      {"empty sequences", "[" + lines(20'000, [](const std::string&) { return "[], "; }) + "[]]", 0,
       2'000},
      {"records",
       lines(5'000, [](const std::string& i) { return "- {id: " + i + ", ok: true}\n"; }), 0,
       2'000},
      {"nested blocks",
       lines(3'000,
             [](const std::string& i) {
               return "run_" + i + ":\n  model: {kind: t, layers: [1, 2]}\n  lr: 0.1\n";
             }),
       0, 2'000},
      {"flat mapping, keys as written", flat_mapping(10'000), 0, 2'000},
      {"flat mapping, integer keys copied",
       lines(10'000, [](const std::string& i) { return "0x" + i + ": 1\n"; }), 9'000, 12'000},
      {"flat mapping, escaped keys copied",
       lines(10'000, [](const std::string& i) { return "\"k\\t" + i + "\": 1\n"; }), 9'000, 12'000},
      {"anchored sequence named at the end",
       "a: &a [" + lines(5'000, [](const std::string& i) { return i + ", "; }) + "0]\nb: [" +
           lines(20'000, [](const std::string&) { return "x, "; }) + "x]\nc: *a\n",
       5'000, 8'000},
  };
  for (const Case& c : cases) {
    yaml::CheckStats stats;
    ASSERT_FALSE(yaml::check_yaml_document_counted(c.text, stats).has_value()) << c.name;
    EXPECT_GE(stats.kept_entries, c.least) << c.name;
    EXPECT_LE(stats.kept_entries, c.most) << c.name << " of " << stats.events;
  }
}

// The document of the issue: one anchored 50,000-element list and 50,000
// aliases to it; each expansion would rebuild 50,000 nodes.
std::string alias_flood(int n) {
  std::string s = "base: &b [";
  for (int i = 0; i < n; ++i) s += (i ? ",1" : "1");
  s += "]\nuses:\n";
  for (int i = 0; i < n; ++i) s += "- *b\n";
  return s;
}

TEST(YamlCheckScaling, AliasesToLargeAnchorAreNotReplayed) {
  yaml::CheckStats stats;
  const std::string text = alias_flood(50'000);
  EXPECT_FALSE(yaml::check_yaml_document_counted(text, stats).has_value());
  EXPECT_EQ(stats.replayed_events, 0u);
  EXPECT_LE(stats.built_events, stats.events);
}

TEST(YamlCheckScaling, AliasesAsKeysHashAnchorOnce) {
  // 2,000 mappings each keyed by the same large anchored mapping.
  std::string s = "base: &b {";
  for (int i = 0; i < 5'000; ++i)
    s += (i ? ", k" : "k") + std::to_string(i) + ": " + std::to_string(i);
  s += "}\nuses:\n";
  for (int i = 0; i < 2'000; ++i) s += "- {*b : " + std::to_string(i) + ", x: 1}\n";
  yaml::CheckStats stats;
  EXPECT_FALSE(yaml::check_yaml_document_counted(s, stats).has_value());
  EXPECT_LT(stats.hashed_nodes, 2 * stats.events);
}

TEST(YamlCheckScaling, ExponentialAliasesStopCheaply) {
  // Each level doubles the expansion; the counter limit ends it.
  std::string s = "l0: &l0 [x]\n";
  for (int i = 1; i < 60; ++i) {
    s += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [*l" + std::to_string(i - 1) +
         ", *l" + std::to_string(i - 1) + "]\n";
  }
  yaml::CheckStats stats;
  const auto r = yaml::check_yaml_document_counted(s, stats);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->text, "repetition limit exceeded");
  EXPECT_LT(stats.replayed_events, 100 * stats.events);
}

TEST(YamlCheckScaling, EqualKeysFromDifferentAnchorsCompareOncePerPair) {
  // Two equal keys whose expansions double at every level, built from
  // different anchors: equal anchored pairs are compared once.
  std::string s;
  for (const std::string side : {"a", "b"}) {
    s += side + "0: &" + side + "0 {v: 1}\n";
    for (int i = 1; i <= 8; ++i) {
      const std::string prev = "*" + side + std::to_string(i - 1);
      s += side + std::to_string(i) + ": &" + side + std::to_string(i) + " [" + prev + ", " + prev +
           "]\n";
    }
  }
  s += "k:\n  ? *a8\n  : 1\n  ? *b8\n  : 2\n";
  yaml::CheckStats stats;
  const auto r = yaml::check_yaml_document_counted(s, stats);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->text, "k: duplicate entry in YAML map at line 20 column 3");
  EXPECT_LT(stats.node_compares, 100u);
}

TEST(YamlCheckScaling, LargeDocumentsComplete) {
  std::string s;
  for (int i = 0; s.size() < 20'000'000; ++i) {
    s += "- name: item" + std::to_string(i) + "\n  size: " + std::to_string(i) + "\n  ratio: 0." +
         std::to_string(i % 1000) + "\n";
  }
  EXPECT_FALSE(check_yaml_document(s).has_value());
  const std::string deep = "a:\n" + repeat("- ", 127) + "x\n";
  EXPECT_FALSE(check_yaml_document(deep).has_value());
}

}  // namespace
