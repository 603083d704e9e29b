// Throughput driver for bench/bench_json.py: for each file named on the command
// line, reads it into memory once, makes sure the check accepts it, then times
// the check and a memchr scan of the same bytes (the ceiling: one pass that
// looks at every byte and does nothing else).
//
//   json_throughput [--reps N] FILE...
//
// One line per file on stdout, tab-separated:
//   FILE  BYTES  CHECK_SECONDS  MEMCHR_SECONDS
// where each time is the best of N calls, in CPU time of this thread so that
// time spent waiting for a core on a busy machine does not count. Without
// --reps, N is chosen so that each measurement covers about 200 MB. Exit
// status 1 if any file is rejected.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "documents/json/json_check.hpp"

namespace {

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Keeps a result alive so that the timed call cannot be dropped.
volatile std::size_t g_sink = 0;

// Best time of one call over `reps` samples; a sample makes `batch` calls, so
// that very short calls are not dominated by reading the clock.
template <typename F>
double best_seconds(int reps, int batch, F&& call) {
  double best = 1e300;
  for (int i = 0; i < reps; ++i) {
    const double start = thread_seconds();
    for (int j = 0; j < batch; ++j) {
      call();
      // The calls take the same arguments; keep the compiler from merging them.
      asm volatile("" ::: "memory");
    }
    best = std::min(best, (thread_seconds() - start) / batch);
  }
  return best;
}

bool read_file(const char* path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

}  // namespace

int main(int argc, char** argv) {
  int fixed_reps = 0;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      fixed_reps = std::atoi(argv[++i]);
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: %s [--reps N] FILE...\n", argv[0]);
    return 2;
  }

  int status = 0;
  for (const char* path : paths) {
    std::string text;
    if (!read_file(path, text)) {
      std::fprintf(stderr, "%s: cannot read\n", path);
      return 2;
    }
    const auto verdict = velmora::documents::check_json_document(text);
    if (verdict) {
      std::fprintf(stderr, "%s: rejected: %s\n", path, verdict->text.c_str());
      status = 1;
      continue;
    }

    const std::size_t size = text.size();
    const int reps = fixed_reps > 0 ? fixed_reps
                                    : static_cast<int>(std::clamp<std::size_t>(
                                          200'000'000 / std::max<std::size_t>(size, 1), 5, 500));

    bool all_accepted = true;
    const double check = best_seconds(reps, 1, [&] {
      const auto again = velmora::documents::check_json_document(text);
      all_accepted = all_accepted && !again;
    });
    if (!all_accepted) {
      std::fprintf(stderr, "%s: rejected on a repeated call\n", path);
      status = 1;
      continue;
    }
    // A zero byte never occurs in an accepted text (raw control characters are
    // rejected inside strings, and only whitespace may stand outside them), so
    // memchr has to look at every byte.
    const int batch =
        static_cast<int>(std::max<std::size_t>(1, 16'000'000 / std::max<std::size_t>(size, 1)));
    const double scan = best_seconds(reps, batch, [&] {
      const void* hit = std::memchr(text.data(), '\0', size);
      g_sink = g_sink + (hit == nullptr ? size : 0);
    });
    std::printf("%s\t%zu\t%.9f\t%.9f\n", path, size, check, scan);
    std::fflush(stdout);
  }
  return status;
}
