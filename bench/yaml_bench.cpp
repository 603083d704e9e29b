// The YAML bench's documents and libyaml's bare event loop (bench/yaml_bench.py
// times the check itself through train_from_config on the same files).
//
//   yaml_bench DIR [SIZES_MB=1,20] [ROUNDS=5]
//   yaml_bench --flood
//
// Generates deterministic documents of five shapes and the given sizes, checks
// that each passes, writes each to DIR/<shape>-<size>mb.yaml and prints one
// tab-separated line per document:
//   shape  size_mb  bytes  raw_seconds  floor_seconds  check_seconds  path
// Times are the best of ROUNDS runs (3 from 10 MB) on the text already in
// memory. The raw loop pulls and deletes every event with the check's parser
// set-up, nothing else. The floor loop also does what no check can skip:
// it resolves every scalar and hashes every mapping key (keeping nothing).
// check_seconds is the check itself on the same text in memory.
//
// --flood times the check on keys and anchor names chosen to collide, as an
// attacker who knew the hash key would choose them (the check runs with that
// fixed key), against ordinary ones of the same count and lengths; "keys-full" times the
// full check alone, which keys of equal hashes would hand the document to:
//   flood  what  count  bytes  chosen_seconds  ordinary_seconds
#include <yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/yaml/yaml_anchor_map.hpp"
#include "documents/yaml/yaml_check.hpp"
#include "documents/yaml/yaml_check_internal.hpp"
#include "documents/yaml/yaml_scalar.hpp"
#include "text/keyed_hash.hpp"

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

const char* const kWords[] = {"relu",    "gelu",      "adamw",     "cosine",     "linear",
                              "bf16",    "fp32",      "tokenizer", "checkpoint", "warmup",
                              "dropout", "attention", "rotary",    "shard",      "wiki",
                              "code",    "dialogue",  "schedule",  "gradient",   "embedding"};

std::string word(Rng& r) { return kWords[r.below(20)]; }
std::string num(Rng& r) { return std::to_string(r.below(100000)); }
std::string flt(Rng& r) {
  return std::to_string(r.below(1000)) + "." + std::to_string(r.below(100000)) +
         (r.below(4) == 0 ? "e-4" : "");
}

// A realistic nested training configuration, repeated under distinct keys.
std::string config(std::size_t size) {
  Rng r{42};
  std::string s;
  for (int i = 0; s.size() < size; ++i) {
    s += "experiment_" + std::to_string(i) + ":\n";
    s += "  name: \"run " + word(r) + " " + num(r) + "\"\n";
    s += "  seed: " + num(r) + "\n";
    s += "  model:\n    kind: transformer\n    hidden: " + num(r) + "\n    heads: " + num(r) + "\n";
    s += "    activation: " + word(r) + "\n    dropout: " + flt(r) + "\n    layers:\n";
    for (int l = 0; l < 4; ++l) {
      s += "      - {index: " + std::to_string(l) + ", width: " + num(r) +
           ", norm: " + (r.below(2) ? "true" : "false") + ", act: " + word(r) + "}\n";
    }
    s += "  optimizer:\n    name: adamw\n    lr: " + flt(r) + "\n    betas: [0.9, 0.999]\n";
    s += "    weight_decay: " + flt(r) + "\n    schedule: {kind: " + word(r) +
         ", warmup: " + num(r) + ", total: " + num(r) + "}\n";
    s += "  data:\n    paths:\n      - /data/" + word(r) + "/" + num(r) +
         ".jsonl\n      - '/data/" + word(r) + "/shard-" + num(r) + ".jsonl'\n    mix: {" +
         word(r) + ": " + flt(r) + ", " + word(r) + "x: " + flt(r) + "}\n    max_len: " + num(r) +
         "\n";
    s += "  notes: |\n    Trained with " + word(r) + " and " + word(r) + ".\n    Evaluate on " +
         word(r) + ".\n";
    s += "  resume: ~\n";
  }
  return s;
}

// One mapping with many keys.
std::string flat(std::size_t size) {
  Rng r{7};
  std::string s;
  for (int i = 0; s.size() < size; ++i) {
    s += "key_" + std::to_string(i) + ": ";
    switch (i % 4) {
      case 0:
        s += num(r);
        break;
      case 1:
        s += flt(r);
        break;
      case 2:
        s += word(r) + "_" + num(r);
        break;
      default:
        s += "\"" + word(r) + " " + word(r) + "\"";
        break;
    }
    s += "\n";
  }
  return s;
}

// A long sequence of small mappings.
std::string records(std::size_t size) {
  Rng r{9};
  std::string s;
  for (int i = 0; s.size() < size; ++i) {
    s += "- id: " + std::to_string(i) + "\n  name: " + word(r) + "\n  score: " + flt(r) +
         "\n  ok: " + (r.below(2) ? "true" : "false") + "\n";
  }
  return s;
}

// The shape real configurations have: many top-level blocks, each holding
// two small block mappings of two to four keys, a flow sequence and a flow
// mapping (the work per small mapping dominates).
std::string blocks(std::size_t size) {
  Rng r{13};
  std::string s;
  for (int i = 0; s.size() < size; ++i) {
    s += "block_" + std::to_string(i) + ":\n";
    s += "  model:\n    kind: " + word(r) + "\n    width: " + num(r) + "\n";
    if (r.below(2)) s += "    act: " + word(r) + "\n";
    s += "  train:\n    lr: " + flt(r) + "\n    steps: " + num(r) + "\n";
    if (r.below(2)) s += "    clip: " + flt(r) + "\n";
    if (r.below(2))
      s += "    warm: " + (r.below(2) ? std::string("true") : std::string("false")) + "\n";
    s += "  tags: [" + word(r) + ", " + word(r) + ", " + num(r) + "]\n";
    s += "  limits: {cpu: " + num(r) + ", mem: " + word(r) + "}\n";
  }
  return s;
}

// Anchored defaults reused through aliases.
std::string anchors(std::size_t size) {
  Rng r{11};
  std::string s = "defaults:\n";
  for (int d = 0; d < 16; ++d) {
    s += "  d" + std::to_string(d) + ": &d" + std::to_string(d) +
         "\n    optimizer: {name: adamw, lr: " + flt(r) + "}\n    layers: [" + num(r) + ", " +
         num(r) + ", " + num(r) + "]\n    act: " + word(r) + "\n";
  }
  s += "runs:\n";
  for (int i = 0; s.size() < size; ++i) {
    const std::string a = std::to_string(r.below(16)), b = std::to_string(r.below(16));
    s += "  run_" + std::to_string(i) + ":\n    base: *d" + a + "\n    extra: [*d" + b + ", *d" +
         a + "]\n    lr: " + flt(r) + "\n    tag: &t" + std::to_string(i) + " " + word(r) +
         "\n    same: *t" + std::to_string(i) + "\n";
  }
  return s;
}

double seconds_of(const auto& f, int rounds) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

// A parser reading `text` as the check sets it up (without a byte-order mark).
void start_parser(yaml_parser_t& parser, const std::string& text) {
  yaml_parser_initialize(&parser);
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
}

std::size_t raw_event_loop(const std::string& text) {
  yaml_parser_t parser;
  start_parser(parser, text);
  std::size_t events = 0;
  for (;;) {
    yaml_event_t event;
    if (!yaml_parser_parse(&parser, &event)) break;
    const bool end = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    ++events;
    if (end) break;
  }
  yaml_parser_delete(&parser);
  return events;
}

namespace yaml = velmora::documents::yaml;
namespace text = velmora::text;

std::size_t floor_loop(const std::string& text) {
  yaml_parser_t parser;
  start_parser(parser, text);
  std::vector<std::pair<bool, bool>> open;  // (mapping, a key comes next)
  std::string failure;
  std::uint64_t sink = 0;
  for (;;) {
    yaml_event_t event;
    if (!yaml_parser_parse(&parser, &event)) break;
    const bool end = event.type == YAML_STREAM_END_EVENT;
    const bool key = !open.empty() && open.back().first && open.back().second;
    const bool node = event.type == YAML_SCALAR_EVENT || event.type == YAML_ALIAS_EVENT;
    if (event.type == YAML_SCALAR_EVENT) {
      const auto& s = event.data.scalar;
      const std::string_view value(reinterpret_cast<const char*>(s.value), s.length);
      const yaml::Resolved r = yaml::resolve_scalar(
          value, s.style == YAML_PLAIN_SCALAR_STYLE,
          yaml::classify_tag(reinterpret_cast<const char*>(s.tag)), failure, key);
      sink += static_cast<std::uint64_t>(r.kind) + (key ? text::hash_bytes(value) : 0);
    } else if (event.type == YAML_MAPPING_START_EVENT || event.type == YAML_SEQUENCE_START_EVENT) {
      open.emplace_back(event.type == YAML_MAPPING_START_EVENT, true);
    } else if (event.type == YAML_MAPPING_END_EVENT || event.type == YAML_SEQUENCE_END_EVENT) {
      open.pop_back();
    }
    if ((node || event.type == YAML_MAPPING_END_EVENT || event.type == YAML_SEQUENCE_END_EVENT) &&
        !open.empty() && open.back().first) {
      open.back().second = !open.back().second;
    }
    yaml_event_delete(&event);
    if (end) break;
  }
  yaml_parser_delete(&parser);
  return static_cast<std::size_t>(sink);
}

// `n` names "c0", "c1", ... whose hashes under the current key agree on `mask`.
std::vector<std::string> colliding_names(std::size_t n, std::uint64_t mask,
                                         std::uint64_t (*hash)(std::string_view)) {
  std::vector<std::string> out;
  std::uint64_t target = 0;
  for (std::uint64_t i = 0; out.size() < n; ++i) {
    std::string name = "c" + std::to_string(i);
    const std::uint64_t h = hash(name) & mask;
    if (out.empty()) target = h;
    if (h == target) out.push_back(std::move(name));
  }
  return out;
}

int flood() {
  text::set_hash_key(text::hash_key_from(1));
  struct Case {
    const char* what;
    std::size_t count;
    std::uint64_t mask;                       // hash bits that pick a first slot (the low ones)
    std::uint64_t (*hash)(std::string_view);  // what picks the home slot
    std::string (*line)(const std::string&);
    bool full;  // the full check alone (what keys with equal hashes would hand them to)
  };
  const auto key_line = [](const std::string& k) { return k + ": 1\n"; };
  // Anchored collections: the plain check enters their names in its table.
  const auto anchor_line = [](const std::string& k) { return "- &" + k + " []\n"; };
  const auto key_hash = text::hash_bytes;  // under the string seed: equal bits stay equal
  const auto anchor_hash = yaml::AnchorMap::home_hash;
  const Case cases[] = {{"keys", 100'000, 0x3FF, key_hash, key_line, false},
                        {"keys", 300'000, 0x3FF, key_hash, key_line, false},
                        {"keys-full", 100'000, 0x3FF, key_hash, key_line, true},
                        {"keys-full", 300'000, 0x3FF, key_hash, key_line, true},
                        {"anchors", 100'000, 0x3FF, anchor_hash, anchor_line, false}};
  for (const Case& c : cases) {
    std::string chosen, ordinary;
    // Ordinary names as long as the chosen ones ("c123" and "o123").
    for (const std::string& k : colliding_names(c.count, c.mask, c.hash)) {
      chosen += c.line(k);
      ordinary += c.line("o" + k.substr(1));
    }
    const auto time = [&c](const std::string& text) {
      return seconds_of(
          [&] {
            yaml::CheckStats stats;
            if (const auto r = c.full ? yaml::check_yaml_document_counted(text, stats)
                                      : velmora::documents::check_yaml_document(text)) {
              std::fprintf(stderr, "flood document rejected: %s\n", r->text.c_str());
              std::exit(1);
            }
          },
          3);
    };
    std::printf("flood\t%s\t%zu\t%zu\t%.6f\t%.6f\n", c.what, c.count, chosen.size(), time(chosen),
                time(ordinary));
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

// The raw loop (or, with `check`, the check in memory) alone on FILE, best
// of `rounds`: for timing it beside the check of the same file through the
// module, and for counting instructions (0 rounds: the file read alone).
int one_file(const char* path, int rounds, bool check) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const double s = seconds_of(
      [&] {
        if (check) {
          (void)velmora::documents::check_yaml_document(text);
        } else {
          (void)raw_event_loop(text);
        }
      },
      rounds);
  std::printf("%.6f\n", rounds > 0 ? s : 0.0);
  return in ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--flood") return flood();
  if (argc == 4 && (std::string(argv[1]) == "--raw" || std::string(argv[1]) == "--check"))
    return one_file(argv[2], std::atoi(argv[3]), std::string(argv[1]) == "--check");
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [SIZES_MB=1,20] [ROUNDS=5]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<int> sizes;
  for (const char* p = argc > 2 ? argv[2] : "1,20"; *p;) {
    char* end;
    sizes.push_back(static_cast<int>(std::strtol(p, &end, 10)));
    p = *end ? end + 1 : end;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  struct Shape {
    const char* name;
    std::string (*make)(std::size_t);
  };
  const Shape shapes[] = {{"config", config},
                          {"flat", flat},
                          {"records", records},
                          {"blocks", blocks},
                          {"anchors", anchors}};
  for (const int mb : sizes) {
    for (const Shape& shape : shapes) {
      const std::string text = shape.make(static_cast<std::size_t>(mb) * 1'000'000);
      const std::string path = dir + "/" + shape.name + "-" + std::to_string(mb) + "mb.yaml";
      std::ofstream(path, std::ios::binary) << text;
      if (const auto r = velmora::documents::check_yaml_document(text)) {
        std::fprintf(stderr, "%s rejected: %s\n", path.c_str(), r->text.c_str());
        return 1;
      }
      const int n = mb >= 10 ? 3 : rounds;
      // Rounds alternate between the loops, so that a slower spell of the
      // machine weighs on each alike.
      double raw = 1e300, floor = 1e300, check = 1e300;
      for (int i = 0; i < n; ++i) {
        raw = std::min(raw, seconds_of([&] { (void)raw_event_loop(text); }, 1));
        floor = std::min(floor, seconds_of([&] { (void)floor_loop(text); }, 1));
        check = std::min(
            check, seconds_of([&] { (void)velmora::documents::check_yaml_document(text); }, 1));
      }
      std::printf("%s\t%d\t%zu\t%.6f\t%.6f\t%.6f\t%s\n", shape.name, mb, text.size(), raw, floor,
                  check, path.c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}
