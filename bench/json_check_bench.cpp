// Throughput of the JSON document check against two validating peers measured
// in the same run: RapidJSON's SAX reader with a no-op handler, and
// nlohmann::json::accept. Each peer only validates, as the check does.
//
// Output: one line per corpus, with MB/s and the ratio peer time / check time
// (above 1: the check is faster).

#include <rapidjson/reader.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "documents/json/json_check.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string config_corpus(std::mt19937_64& rng, std::size_t target) {
  std::string out = "[";
  std::uniform_int_distribution<int> small(0, 9999);
  std::uniform_real_distribution<double> real(-1e3, 1e3);
  char buf[64];
  for (int i = 0; out.size() < target; ++i) {
    if (i) out += ",\n";
    std::snprintf(buf, sizeof buf, "%.17g", real(rng));
    out += "  {\"name\": \"run-" + std::to_string(small(rng)) +
           "\", \"steps\": " + std::to_string(small(rng)) + ", \"lr\": " + buf +
           ", \"enabled\": true, \"base\": null,\n   \"layers\": [" + std::to_string(small(rng)) +
           ", " + std::to_string(small(rng)) + ", " + std::to_string(small(rng)) +
           "], \"optimizer\": {\"kind\": \"adam\", \"betas\": [0.9, 0.999], \"eps\": 1e-8,"
           " \"note\": \"warm-up \\u00e9t\\u00e9 \\\"quoted\\\" \\n é — ok\"}}";
  }
  return out + "]";
}

std::string number_corpus(std::mt19937_64& rng, std::size_t target) {
  std::string out = "[";
  std::uniform_real_distribution<double> real(-1e6, 1e6);
  std::uniform_int_distribution<long long> whole(-1'000'000'000'000LL, 1'000'000'000'000LL);
  char buf[64];
  for (int i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    if (i % 2) {
      std::snprintf(buf, sizeof buf, "%.17g", real(rng));
      out += buf;
    } else {
      out += std::to_string(whole(rng));
    }
  }
  return out + "]";
}

std::string string_corpus(std::mt19937_64& rng, std::size_t target) {
  std::string out = "[";
  std::uniform_int_distribution<int> letter('a', 'z');
  for (int i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    out += '"';
    for (int k = 0; k < 200; ++k) out += static_cast<char>(letter(rng));
    out += " \\\\ \\t \\uD834\\uDD1E Grüße 日本語 \"";
  }
  return out + "]";
}

std::string nested_corpus(std::size_t target) {
  std::string out = "[";
  for (int i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    out += R"({"a":[[1,[2,{"b":[[],{}]}]],{"c":{"d":[true,false,null]}}]})";
  }
  return out + "]";
}

// Best of `rounds` timings of one pass over `text`, in seconds.
double best_time(const std::function<bool()>& pass, int rounds) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    if (!pass()) {
      std::fprintf(stderr, "a validator rejected the corpus\n");
      std::exit(1);
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8) << 20;  // MiB
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  std::mt19937_64 rng(20240607);
  const std::vector<std::pair<const char*, std::string>> corpora = {
      {"config", config_corpus(rng, size)},
      {"numbers", number_corpus(rng, size)},
      {"strings", string_corpus(rng, size)},
      {"nested", nested_corpus(size)},
  };

  std::printf("%-8s %9s %12s %12s %12s %14s %14s\n", "corpus", "MiB", "check MB/s", "rapid MB/s",
              "nlohm MB/s", "rapid/check", "nlohm/check");
  for (const auto& [name, text] : corpora) {
    const double check = best_time(
        [&] { return !velmora::documents::check_json_document(text).has_value(); }, rounds);
    const double rapid = best_time(
        [&] {
          rapidjson::Reader reader;
          rapidjson::BaseReaderHandler<> handler;
          rapidjson::StringStream stream(text.c_str());
          return !reader.Parse(stream, handler).IsError();
        },
        rounds);
    const double nlohm = best_time([&] { return nlohmann::json::accept(text); }, rounds);
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("%-8s %9.1f %12.0f %12.0f %12.0f %14.2f %14.2f\n", name,
                static_cast<double>(text.size()) / (1 << 20), mb / check, mb / rapid, mb / nlohm,
                rapid / check, nlohm / check);
  }
  return 0;
}
