// Entry point of the Windows platform tests. Prints "N passed, N failed" as
// its last line. Started with --fail-fast-child it is instead the child of the
// fail-fast test: it arranges for visible clean-up and then fails fast. Started
// with --tied-parent it starts echo_args.exe as the module starts a trainer
// and waits until it is killed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.hpp"
#include "support.hpp"

#include <shellapi.h>

namespace {

std::wstring g_exit_marker;

void write_exit_marker() { velmora::wintest::write_file(g_exit_marker, "clean-up ran"); }

// argv[2]: file an exit handler would create; argv[3]: file given buffered,
// unflushed output. Neither may appear once the process has failed fast.
[[noreturn]] void fail_fast_child() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 4) std::_Exit(3);
  g_exit_marker = argv[2];
  std::atexit(write_exit_marker);
  if (std::FILE* buffered = _wfopen(argv[3], L"w")) {
    std::setvbuf(buffered, nullptr, _IOFBF, 4096);
    std::fputs("buffered, never flushed", buffered);
  }
  velmora::platform::fail_fast();
}

[[noreturn]] void tied_parent() {
  velmora::platform::ChildProcess child;
  if (child.start(velmora::wintest::utf8(velmora::wintest::echo_program()), "echo", {})) std::_Exit(3);
  Sleep(INFINITE);
  std::_Exit(4);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--fail-fast-child") == 0) fail_fast_child();
  if (argc >= 2 && std::strcmp(argv[1], "--tied-parent") == 0) tied_parent();

  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
  if (unit.skipped_test_count() > 0) std::printf("%d skipped\n", unit.skipped_test_count());
  std::printf("%d passed, %d failed\n", unit.successful_test_count(), unit.failed_test_count());
  return result == 0 && unit.failed_test_count() == 0 ? 0 : 1;
}
