// Parts of the YAML check on their own: node identity through the key table
// (which keys are the same key), the anchor map, both under keys chosen to
// collide, the plain check against the full one, and the wide arithmetic
// that integer readings beyond 64 bits use.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "documents/yaml/yaml_anchor_map.hpp"
#include "documents/yaml/yaml_check.hpp"
#include "documents/yaml/yaml_collector.hpp"
#include "documents/yaml/yaml_event_log.hpp"
#include "documents/yaml/yaml_node_identity.hpp"
#include "documents/yaml/yaml_parser.hpp"
#include "documents/yaml/yaml_plain_check.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "text/bits.hpp"
#include "text/keyed_hash.hpp"

namespace {

// A check's failure text, or nothing when it accepts.
std::optional<std::string> text_of(const velmora::documents::CheckResult& result) {
  if (!result) return std::nullopt;
  return result->text;
}

namespace yaml = velmora::documents::yaml;
namespace text = velmora::text;
using velmora::documents::check_yaml_document;

// ---- the plain check -------------------------------------------------------------

// The plain check decides only documents that the full check accepts, and
// leaves the rest to it (collections and aliases as keys, locally tagged
// keys, any failure); check_yaml_document answers as the full check.
TEST(YamlPlainCheck, DecidesOnlyWhatTheFullCheckAccepts) {
  struct Case {
    std::string doc;
    bool plain;  // the plain check accepts it
  };
  std::string laughs = "l0: &l0 [1, 1, 1, 1, 1, 1, 1, 1, 1, 1]\n";  // beyond the repetition limit
  for (int i = 1; i < 9; ++i) {
    laughs += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int k = 0; k < 10; ++k) laughs += (k ? ", *l" : "*l") + std::to_string(i - 1);
    laughs += "]\n";
  }
  std::string scalars;  // more scalar anchors than the latest few the plain check looks among
  for (int i = 0; i < 20; ++i)
    scalars += "s" + std::to_string(i) + ": &s" + std::to_string(i) + " v\n";
  const std::string deep_x = "c: &x " + std::string(100, '[') + std::string(100, ']') + "\n";
  const std::string alias_x_at_40 = "b: " + std::string(40, '[') + "*x" + std::string(40, ']');
  std::string wide;  // a mapping whose table grows, then a repeated key
  for (int i = 0; i < 20'000; ++i)
    wide += "k" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  const Case cases[] = {
      {"a: 1\nb: [1, 2, {c: d}]\nc: !t 1\n", true},  // a local tag on a value changes nothing
      {"", true},
      {"---\nx\n...\n", true},
      {"'a': 1\n\"a\\tb\": 2\nb: |\n  text\n? c\n: 3\n1: x\n0.5: y\n~: z\n", true},
      {wide, true},
      {wide + "k19999: again\n", false},
      {"1: a\n0x1: b\n", false},
      {"a: 1\n'a': 2\n", false},
      {"\"a\\tb\": 1\n'a	b': 2\n", false},  // a copied key and a text one
      {"!!int 1: a\n1: b\n", false},
      {"a: !!int x\n", false},
      {"a: &x 1\nb: *x\nc: &y [1, {d: *x}]\ne: [*y, *y]\nf: &x [*y]\ng: *x\nh: 'x & y'\n", true},
      {"a: *x\n", false},
      {"a: &x 1\n" + scalars + "b: [*x, *s3, *s19, *x]\n", true},
      {scalars + "b: *s99\n", false},
      {"a: &x 1\n" + deep_x + scalars + "d: *s0\n" + alias_x_at_40, false},
      {"a: &x 1\n*x : 2\n", false},
      {"a: &x [1, *x]\n", false},
      {laughs, false},
      {"a: &x " + std::string(100, '[') + std::string(100, ']') + "\nb: " + std::string(40, '[') +
           "*x" + std::string(40, ']'),
       false},
      {"[a]: 1\n", false},
      {"!t a: 1\n", false},
      {"a: 1\n---\nb: 2\n", false},
      {"a: [1, 2\n", false},
      {std::string(128, '[') + std::string(128, ']'), true},
      {std::string(129, '[') + std::string(129, ']'), false},
  };
  for (const Case& c : cases) {
    yaml::CheckStats stats;
    const bool plain = yaml::plain_check(c.doc) == yaml::PlainVerdict::Accepted;
    EXPECT_EQ(plain, c.plain) << c.doc.substr(0, 80);
    const auto full = yaml::check_yaml_document_counted(c.doc, stats);
    if (plain) {
      EXPECT_FALSE(full.has_value()) << c.doc.substr(0, 80) << " -> " << full->text;
    }
    EXPECT_EQ(text_of(check_yaml_document(c.doc)), text_of(full)) << c.doc.substr(0, 80);
    EXPECT_TRUE(check_yaml_document(c.doc) == full) << c.doc.substr(0, 80);
  }
}

// Mappings opened and closed at random depths, of random sizes (so every way
// of checking: pairwise, one set, part by part), against a reference: a
// mapping's close reports a repeat exactly when one of its hashes came twice
// (0 included).
TEST(YamlKeyHashes, CloseFindsRepeatsAsAReference) {
  std::uint64_t state = 7;
  const auto next = [&state] {
    return text::fold_multiply(state += 0x9E3779B97F4A7C15ull, 0xD6E8FEB86659FD93ull);
  };
  constexpr std::uint64_t kBursts[] = {1, 12, 20'000, 70'000};
  for (int run = 0; run < 8; ++run) {
    yaml::KeyHashes keys;
    struct Open {
      std::unordered_set<std::uint64_t> hashes;
      bool repeated = false;
    };
    std::vector<Open> open(1);
    keys.open();
    for (int step = 0; !open.empty(); ++step) {
      const std::uint64_t r = next();
      const std::uint64_t op = step > 40 ? 2 : r % 3;  // then everything closes
      if (op == 0 && open.size() < 6) {
        keys.open();
        open.emplace_back();
      } else if (op != 2) {
        Open& m = open.back();
        for (std::uint64_t i = 0; i < kBursts[(r >> 8) % 4]; ++i) {
          const std::uint64_t h = (r >> 16) % 64 == 0 && i % 5000 == 0 ? 0 : next();
          keys.push(h);
          m.repeated |= !m.hashes.insert(h).second;
        }
        if ((r >> 24) % 6 == 0 && !m.hashes.empty()) {
          keys.push(*m.hashes.begin());
          m.repeated = true;
        }
      } else {
        EXPECT_EQ(keys.close(), !open.back().repeated) << run << " " << step;
        open.pop_back();
      }
    }
  }
  // A large mapping whose one repeat lies in part p (its hash's top byte), for every p.
  yaml::KeyHashes keys;
  for (std::uint64_t p = 0; p < 256; ++p) {
    keys.open();
    std::uint64_t repeat = 0;
    for (std::uint64_t i = 0; i <= yaml::KeyHashes::kDirectLimit; ++i) {
      const std::uint64_t h = next();
      keys.push(h);
      if (h >> 56 == p) repeat = h;
    }
    keys.push(repeat);
    EXPECT_FALSE(keys.close()) << p;
  }
}

// ---- node identity and the key table -------------------------------------------

yaml::EventLog collect(std::string_view doc) {
  const yaml::Source source = yaml::Source::of(doc);
  yaml::Parser parser(source);
  yaml::EventLog log;
  yaml::Collector collector(log, parser.get());
  while (collector.collect(yaml::kNone)) {
  }
  EXPECT_FALSE(collector.error().has_value()) << collector.error()->text;
  return log;
}

struct KeyCase {
  const char* a;
  const char* b;
  bool same;  // one key
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.a << " | " << c.b; }

class YamlKeyIdentity : public ::testing::TestWithParam<KeyCase> {};

// Both nodes go into a key table, small (scanned) or large (indexed): the
// second is found as the first exactly when they are one key, and equal
// nodes hash equally.
TEST_P(YamlKeyIdentity, SecondKeyFoundExactlyWhenSame) {
  const KeyCase& c = GetParam();
  constexpr int kFillers = 12;
  std::string doc = std::string("&doc [") + c.a + ", " + c.b;
  for (int i = 0; i < kFillers; ++i) doc += ", f" + std::to_string(i);
  doc += "]";
  const yaml::EventLog log = collect(doc);
  const std::uint32_t a = 1, b = log.next_node(a);
  std::vector<std::uint32_t> fillers{log.next_node(b)};
  while (fillers.size() < kFillers) fillers.push_back(log.next_node(fillers.back()));

  for (const bool indexed : {false, true}) {
    yaml::CheckStats stats;
    yaml::NodeIdentity identity(log, stats);
    yaml::KeyTable table;
    const auto insert = [&](std::uint32_t node) {
      const std::uint64_t* earlier = table.find_or_insert(identity.hash(node), node, identity);
      return earlier == nullptr ? yaml::kNone : static_cast<std::uint32_t>(*earlier);
    };
    for (std::size_t f = 0; indexed && f < fillers.size(); ++f)
      ASSERT_EQ(insert(fillers[f]), yaml::kNone);
    ASSERT_EQ(insert(a), yaml::kNone);
    EXPECT_EQ(insert(b), c.same ? a : yaml::kNone) << (indexed ? "indexed" : "scanned");
    EXPECT_EQ(identity.equal(b, a), c.same);
    if (c.same) {
      EXPECT_EQ(identity.hash(a), identity.hash(b));
    }
  }
  // Through the check, where keys written as they are in the text are kept
  // by the key table alone: in a small mapping and in a large one.
  for (const bool large : {false, true}) {
    std::string map;
    for (int i = 0; large && i < kFillers; ++i) map += "f" + std::to_string(i) + ": 0\n";
    map += std::string("? ") + c.a + "\n: 1\n? " + c.b + "\n: 2\n";
    const auto r = check_yaml_document(map);
    EXPECT_EQ(r.has_value() && r->text.find("duplicate entry") != std::string::npos, c.same)
        << (large ? "large: " : "small: ") << map << " -> " << (r ? r->text : "accepted");
  }
}

const KeyCase kKeyCases[] = {
    // integers: the value counts, not the form
    {"1", "0x1", true},
    {"1", "+1", true},
    {"-0x10", "-16", true},
    {"0", "-0", true},
    {"0o17", "0b1111", true},
    {"-1", "1", false},
    {"1", "1.0", false},
    {"1", "'1'", false},
    // other scalars
    {"~", "null", true},
    {"~", "''", false},
    {"true", "True", true},
    {"true", "'true'", false},
    {"1.0", "1.00", true},
    {"-0.0", "0.0", true},
    {"0.0001", "1e-4", true},
    {".nan", ".NaN", true},
    {".nan", "'.nan'", false},
    {"a b", "'a b'", true},
    {"a", "b", false},
    {"a", "\"\\x61\"", true},  // as written, and escaped (copied)
    {"'a'", "\"a\"", true},
    {"&s a", "*s", true},
    {"a", "!t a", false},
    // tags: local tags by name ("!a" and "!!a"-less forms alike), !!str is plain
    {"!!str 1", "'1'", true},
    {"!a 1", "!a 1", true},
    {"!a 1", "!b 1", false},
    {"!a 1", "1", false},
    {"!x 1", "!!str 1", false},
    // collections: mappings regardless of order, sequences in order
    {"{a: 1, b: 2}", "{b: 2, a: 1}", true},
    {"{a: 1}", "{a: 2}", false},
    {"{a: 1}", "{a: 1, b: 2}", false},
    {"{a: 1, b: 2}", "{a: 1}", false},
    {"[1, 2]", "[1, 0x2]", true},
    {"[1, 2]", "[2, 1]", false},
    {"[1]", "[1, 1]", false},
    {"[]", "{}", false},
    {"!t [1]", "[1]", false},
    // aliases stand for their targets; anchored nodes equal unanchored ones
    {"&k {a: [1]}", "*k", true},
    {"&k [1, {b: 2}]", "[0x1, {b: 2}]", true},
    {"&k 5", "0x5", true},
};
INSTANTIATE_TEST_SUITE_P(Cases, YamlKeyIdentity, ::testing::ValuesIn(kKeyCases));

// ---- anchor map -------------------------------------------------------------------

// Names short and long, sharing prefixes, rebound later; lookups right after
// each binding and after the map has grown several times.
TEST(YamlAnchorMap, FindsLatestBindingOfEachName) {
  const auto name = [](int i) {
    const std::string n = std::to_string(i);
    switch (i % 4) {
      case 0:
        return "n" + n;
      case 1:
        return std::string(8 - n.size(), 'y') + n;
      case 2:
        return std::string(21 - n.size(), 'x') + n;
      default:
        return "a_rather_long_anchor_name_" + n;
    }
  };
  constexpr int kNames = 6000;
  yaml::AnchorMap map;
  std::vector<std::uint32_t> latest(kNames, yaml::kNone);
  for (std::uint32_t step = 0; step < 2 * kNames; ++step) {
    const int i = step < kNames ? static_cast<int>(step) : static_cast<int>(step * 7) % kNames;
    map.bind(name(i), {step, step % 3});
    latest[static_cast<std::size_t>(i)] = step;
    for (const int j : {i, (i + kNames - 40) % kNames}) {
      const yaml::AnchorBinding* b = map.find(name(j));
      if (latest[static_cast<std::size_t>(j)] == yaml::kNone) {
        EXPECT_EQ(b, nullptr) << name(j);
      } else {
        ASSERT_NE(b, nullptr) << name(j);
        EXPECT_EQ(b->entry, latest[static_cast<std::size_t>(j)]) << name(j);
        EXPECT_EQ(b->expansion, latest[static_cast<std::size_t>(j)] % 3) << name(j);
      }
    }
  }
  using namespace std::string_view_literals;
  for (const std::string_view missing :
       {""sv, "n"sv, "x"sv, "a_rather_long_anchor_name_"sv, "n6000"sv, "n4\0"sv, "n\0"sv})
    EXPECT_EQ(map.find(missing), nullptr) << missing;
}

// ---- colliding keys ---------------------------------------------------------------

// Names "c0", "c1", ... whose hashes under the current key agree on the bits
// of `mask`, as an attacker knowing the key would choose them.
std::vector<std::string> colliding_names(std::size_t n, std::uint64_t mask) {
  std::vector<std::string> out;
  std::uint64_t target = 0;
  for (std::uint64_t i = 0; out.size() < n; ++i) {
    std::string name = "c" + std::to_string(i);
    const std::uint64_t h = yaml::AnchorMap::home_hash(name) & mask;
    if (out.empty()) target = h;
    if (h == target) out.push_back(std::move(name));
  }
  return out;
}

// Names chosen to collide under a fixed key cost a bounded number of probes
// each, under that key (the tables' bounds) and under a random one; the
// answers stay right. Unbounded probing would cost n^2 / 2 probes here.
TEST(YamlHashFlooding, CollidingNamesCostBoundedProbes) {
  constexpr std::uint32_t kNames = 2000;
  constexpr std::uint64_t kLow13 = 0x1FFF;  // a name's first slot, up to 8192 slots
  struct RandomKeyAfter {
    ~RandomKeyAfter() { text::set_hash_key(text::hash_key_from(text::random_hash_seed())); }
  } restore;
  for (const bool fixed : {true, false}) {
    text::set_hash_key(text::hash_key_from(1));
    // Mapping keys hash as names do but for a constant: they collide alike.
    const auto keys = colliding_names(kNames, kLow13);
    const auto& anchors = keys;
    if (!fixed) text::set_hash_key(text::hash_key_from(text::random_hash_seed()));

    // Mapping keys, through the check (all but 16 go to the overflow), then
    // ordinary ones (the table grows past 8192 slots, taking colliding keys
    // out of the overflow where they now fit): the repeated key is still found.
    constexpr std::uint32_t kOrdinary = 3 * kNames / 2;
    std::string doc;
    for (const std::string& k : keys) doc += k + ": 1\n";
    for (std::uint32_t i = 0; i < kOrdinary; ++i) doc += "o" + std::to_string(i) + ": 1\n";
    doc += keys[kNames / 2] + ": 2\n";
    yaml::CheckStats stats;
    EXPECT_EQ(text_of(yaml::check_yaml_document_counted(doc, stats)),
              "duplicate entry with key \"" + keys[kNames / 2] + "\"")
        << fixed;
    EXPECT_LT(stats.key_probes, 40 * (kNames + kOrdinary)) << fixed;

    // Anchor names: bound, then ordinary ones, some bound again, all found.
    yaml::AnchorMap table;
    for (std::uint32_t i = 0; i < kNames; ++i) table.bind(anchors[i], {i, 0});
    for (std::uint32_t i = 0; i < kNames; ++i) table.bind("o" + std::to_string(i), {i, 2});
    for (std::uint32_t i = 0; i < kNames; i += 3) table.bind(anchors[i], {kNames + i, 1});
    for (std::uint32_t i = 0; i < kNames; ++i) {
      const yaml::AnchorBinding* b = table.find(anchors[i]);
      ASSERT_NE(b, nullptr) << anchors[i];
      EXPECT_EQ(b->entry, i % 3 == 0 ? kNames + i : i) << anchors[i];
      const yaml::AnchorBinding* o = table.find("o" + std::to_string(i));
      ASSERT_NE(o, nullptr) << i;
      EXPECT_EQ(o->expansion, 2u) << i;
    }
    EXPECT_EQ(table.find("c"), nullptr);
    if constexpr (yaml::kCounting) {
      EXPECT_LT(table.probes(), 80 * 2 * kNames) << fixed;
    }
  }
}

// ---- wide arithmetic ---------------------------------------------------------------

TEST(YamlWideArithmetic, ProductsOfEveryBranchAgree) {
  struct Product {
    std::uint64_t a, b, hi, lo;
  };
  const Product cases[] = {
      {0, 0, 0, 0},
      {~0ull, 1, 0, ~0ull},
      {~0ull, ~0ull, 0xFFFFFFFFFFFFFFFEull, 1},
      {1ull << 32, 1ull << 32, 1, 0},
      {0x00000001FFFFFFFFull, 0xFFFFFFFF00000001ull, 0x1FFFFFFFDull, 0x2FFFFFFFFull},
      {0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull, 0x7641F3080FF92329ull, 0xD67411C46C86742Dull},
  };
  for (const Product& p : cases) {
    std::uint64_t hi = 0, hi_portable = 0;
    EXPECT_EQ(text::mul_wide(p.a, p.b, hi), p.lo);
    EXPECT_EQ(hi, p.hi);
    EXPECT_EQ(text::mul_wide_portable(p.a, p.b, hi_portable), p.lo);
    EXPECT_EQ(hi_portable, p.hi);
    EXPECT_EQ(text::fold_multiply(p.a, p.b), p.hi ^ p.lo);
  }
}

// Decimal text -> UInt128 by multiply-add, and back by division: exact up to
// 2^128 - 1, overflow refused one step beyond.
TEST(YamlWideArithmetic, DecimalRoundTripAndOverflow) {
  const auto read = [](std::string_view digits, text::UInt128& v) {
    v = {};
    for (const char c : digits) {
      if (!text::mul_add_checked(v, 10, static_cast<std::uint64_t>(c - '0'), v)) return false;
    }
    return true;
  };
  const auto render = [](text::UInt128 v) {
    std::string out;
    do {
      out.insert(out.begin(), static_cast<char>('0' + text::divide_small(v, 10)));
    } while (v != text::UInt128{});
    return out;
  };
  for (const char* digits :
       {"0", "18446744073709551615", "18446744073709551616",
        "170141183460469231731687303715884105728", "340282366920938463463374607431768211455"}) {
    text::UInt128 v;
    ASSERT_TRUE(read(digits, v)) << digits;
    EXPECT_EQ(render(v), digits);
  }
  text::UInt128 v;
  ASSERT_TRUE(read("340282366920938463463374607431768211455", v));
  EXPECT_EQ(v, text::UInt128::max());
  EXPECT_EQ(v.half(), (text::UInt128{0x7FFFFFFFFFFFFFFFull, ~0ull}));
  EXPECT_EQ(v.half().plus_one(), (text::UInt128{1ull << 63, 0}));
  EXPECT_FALSE(read("340282366920938463463374607431768211456", v));
  EXPECT_FALSE(read("3402823669209384634633746074317682114550", v));
  EXPECT_FALSE(text::mul_add_checked(text::UInt128::max(), 1, 1, v));
}

// The pre-filters summarise resolve_scalar by hand: a scalar they let pass
// without resolving must resolve as they assume. Every text of up to four
// characters over the characters that steer the resolution, plain and quoted,
// then every scalar of the fuzz corpus and of the public YAML test suite's
// inputs in the style libyaml reads it in.
TEST(YamlScalarPreFilters, AgreeWithTheResolution) {
  std::string failure;
  const auto check = [&failure](const std::string& text, bool plain) {
    const yaml::Resolved r = yaml::resolve_scalar(text, plain, yaml::TagClass::None, failure);
    if (!yaml::untagged_may_fail(text, plain)) {
      EXPECT_NE(r.kind, yaml::ValueKind::Failure) << "[" << text << "] plain " << plain;
    }
    if (yaml::untagged_is_string(text, plain)) {
      EXPECT_EQ(r.kind, yaml::ValueKind::String) << "[" << text << "] plain " << plain;
    }
  };
  const std::string alphabet = "0179+-._:xobeEfFnNtTyYlLaAsu~ /";
  std::vector<std::string> texts{""};
  for (std::size_t from = 0, length = 1; length <= 4; ++length) {
    const std::size_t to = texts.size();
    for (std::size_t i = from; i < to; ++i)
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    from = to;
  }
  for (const char* word : {"true", "False", "NULL", "null", ".inf", "-.Inf", ".NaN", "0x1F", "0o17",
                           "1_000", "+12", "1e3", "1.5e-3", "18446744073709551616", "~"})
    texts.emplace_back(word);
  for (const std::string& text : texts) {
    for (const bool plain : {true, false}) check(text, plain);
  }
  // A file libyaml rejects counts with the scalars before the error.
  for (const char* dir : {VELMORA_YAML_CORPUS_DIR, VELMORA_YAML_SUITE_DIR}) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".yaml") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string doc{std::istreambuf_iterator<char>(in), {}};
      yaml::Parser parser(yaml::Source::of(doc));
      ASSERT_TRUE(parser.ok());
      for (bool more = true; more;) {
        yaml::ParsedEvent event;
        more =
            yaml_parser_parse(parser.get(), event.get()) && (*event).type != YAML_STREAM_END_EVENT;
        if (!more || (*event).type != YAML_SCALAR_EVENT) continue;
        const auto& scalar = (*event).data.scalar;
        check(std::string(reinterpret_cast<const char*>(scalar.value), scalar.length),
              scalar.style == YAML_PLAIN_SCALAR_STYLE);
      }
      ++files;
    }
    EXPECT_GT(files, 0u) << dir;
  }
}

}  // namespace
