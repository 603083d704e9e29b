// Program search and child processes, checked with the echo_args test child.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.hpp"
#include "support.hpp"

namespace velmora::platform {
namespace {

using wintest::EchoReport;
using wintest::EnvOverride;
using wintest::TempDir;
using wintest::utf8;
using wintest::wide;

// Runs echo_args.exe (or `program`) with `args`, its report going to a file in `dir`.
struct EchoRun {
  RunOutcome outcome;
  std::optional<EchoReport> report;
};

EchoRun run_echo(const TempDir& dir, const std::vector<std::string>& args, std::uint32_t exit_code = 0,
                 std::string_view program_name = "cargo", const std::wstring& program = wintest::echo_program()) {
  const std::wstring report_path = dir.file(L"report.txt");
  DeleteFileW(report_path.c_str());
  EnvOverride out(L"VELMORA_ECHO_OUT", report_path);
  EnvOverride code(L"VELMORA_ECHO_EXIT", std::to_wstring(exit_code));
  EchoRun run;
  run.outcome = run_and_wait(utf8(program), program_name, args);
  run.report = wintest::read_echo_report(report_path);
  return run;
}

std::vector<std::wstring> widened(std::string_view program_name, const std::vector<std::string>& args) {
  std::vector<std::wstring> out{wide(program_name)};
  for (const std::string& arg : args) out.push_back(wide(arg));
  return out;
}

void expect_exited(const RunOutcome& outcome, std::uint32_t code) {
  ASSERT_TRUE(outcome.status.has_value()) << wintest::text_of(outcome.failure).value_or("");
  EXPECT_EQ(outcome.status->kind, ExitStatus::Kind::exited);
  EXPECT_EQ(outcome.status->value, code);
  EXPECT_EQ(wintest::text_of(outcome.failure), std::nullopt);
}

// Arguments that a careless command line mangles.
const std::vector<std::string> nasty_arguments = {
    "",
    " ",
    "plain",
    "two words",
    "tab\there",
    "\t",
    "line\nbreak",
    "vertical\vtab",
    "\"",
    "\"\"",
    "\"quoted words\"",
    "in\"side",
    "\\",
    "\\\\",
    "trailing\\",
    "trailing two\\\\",
    "C:\\Program Files\\trainer\\",
    "\\\\server\\share\\",
    "back\\slash in\\ middle",
    "before quote\\\"",
    "two before quote\\\\\"x",
    "\\\"leading",
    "a\\\\b",
    "ends in space ",
    "--",
    "-",
    "%PATH%",
    "^&|<>()",
    "*.json",
    "?",
    "'single'",
    "sch\xc3\xb6n",
    "\xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80",
    "D:\\a\\orvek_trainer\\orvek_trainer/Cargo.toml",
};

TEST(RunAndWait, NastyArgumentsArriveUnchanged) {
  TempDir dir;
  const EchoRun run = run_echo(dir, nasty_arguments);
  expect_exited(run.outcome, 0);
  ASSERT_TRUE(run.report.has_value());
  const std::vector<std::wstring> expected = widened("cargo", nasty_arguments);
  EXPECT_EQ(run.report->crt_argv, expected);
  EXPECT_EQ(run.report->cmd_argv, expected);
}

TEST(RunAndWait, EachNastyArgumentAloneAndLast) {
  // Alone, each argument is also the last one on the command line.
  TempDir dir;
  for (const std::string& arg : nasty_arguments) {
    SCOPED_TRACE("argument: [" + arg + "]");
    const std::vector<std::string> args{"first", arg};
    const EchoRun run = run_echo(dir, args);
    expect_exited(run.outcome, 0);
    ASSERT_TRUE(run.report.has_value());
    EXPECT_EQ(run.report->crt_argv, widened("cargo", args));
    EXPECT_EQ(run.report->cmd_argv, widened("cargo", args));
  }
}

TEST(RunAndWait, ProgramNameIsArgvZero) {
  TempDir dir;
  for (const std::string name : {"cargo", "my cargo", "C:\\tools dir\\", "\xc3\xbc"}) {
    SCOPED_TRACE(name);
    const EchoRun run = run_echo(dir, {"x"}, 0, name);
    expect_exited(run.outcome, 0);
    ASSERT_TRUE(run.report.has_value());
    EXPECT_EQ(run.report->cmd_argv, widened(name, {"x"}));
    // wine's C runtime applies the backslash rules to argv[0] as well, unlike
    // Windows; a program name never ends in a backslash in practice.
    if (name.back() != '\\') {
      EXPECT_EQ(run.report->crt_argv, widened(name, {"x"}));
    }
    // The program started is `program`, whatever argv[0] says.
    EXPECT_EQ(run.report->exe, wintest::echo_program());
  }
}

TEST(RunAndWait, LongArguments) {
  TempDir dir;
  // Close to the system's 32767-character limit, with quoting and backslashes.
  const std::vector<std::string> fits{std::string(16000, 'a'), "x y" + std::string(7000, '\\')};
  const EchoRun run = run_echo(dir, fits);
  expect_exited(run.outcome, 0);
  ASSERT_TRUE(run.report.has_value());
  EXPECT_EQ(run.report->crt_argv, widened("cargo", fits));

  // Past the limit nothing is started and the system's error is given.
  const EchoRun too_long = run_echo(dir, {std::string(40000, 'b')});
  EXPECT_FALSE(too_long.outcome.status.has_value());
  EXPECT_EQ(wintest::text_of(too_long.outcome.failure), render_os_error(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_FALSE(too_long.report.has_value());
}

TEST(RunAndWait, ExitCodesKeepAllBits) {
  TempDir dir;
  const std::uint32_t codes[] = {0, 1, 2, 255, 256, 2147483647u, 0x80000000u, 0xC0000005u, 0xFFFFFFFEu};
  for (std::uint32_t code : codes) {
    SCOPED_TRACE(code);
    const EchoRun run = run_echo(dir, {}, code);
    expect_exited(run.outcome, code);
    // Without arguments the command line holds the program name alone.
    ASSERT_TRUE(run.report.has_value());
    EXPECT_EQ(run.report->crt_argv, widened("cargo", {}));
    EXPECT_EQ(run.report->cmd_argv, widened("cargo", {}));
  }
}

TEST(RunAndWait, InheritsEnvironmentDirectoryAndStandardOutput) {
  TempDir dir;
  const std::wstring probe = L"gr\u00fc\u00df \U0001F600 ; \"x\"";
  EnvOverride env(L"VELMORA_ECHO_PROBE", probe);
  EnvOverride text(L"VELMORA_ECHO_STDOUT", L"hello from the child\n");

  wchar_t saved_cwd[32768];
  GetCurrentDirectoryW(32768, saved_cwd);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));

  // Standard output goes to a file through a handle that is not inheritable.
  const std::wstring out_path = dir.file(L"stdout.txt");
  HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  const HANDLE saved_out = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  const EchoRun run = run_echo(dir, {"a"});
  SetStdHandle(STD_OUTPUT_HANDLE, saved_out);
  CloseHandle(out);
  SetCurrentDirectoryW(saved_cwd);

  expect_exited(run.outcome, 0);
  ASSERT_TRUE(run.report.has_value());
  EXPECT_EQ(run.report->env, probe);
  EXPECT_EQ(run.report->cwd, dir.path());
  EXPECT_EQ(wintest::read_file(out_path).value_or("<missing>"), "hello from the child\n");
}

TEST(RunAndWait, RefusedOrNotStarted) {
  TempDir dir;
  ASSERT_TRUE(wintest::write_file(dir.file(L"text.exe"), "not a program"));
  struct Row {
    const char* what;
    std::string name;
    std::vector<std::string> args;
    std::string error;
    std::wstring program = wintest::echo_program();
  };
  const Row rows[] = {
      {"NUL in an argument", "cargo", {"--output-dir", std::string("out\0dir", 7)}, "nul byte found in provided data"},
      {"NUL in the last, empty-ended argument", "cargo", {std::string(1, '\0')}, "nul byte found in provided data"},
      {"quote in argv[0]", "car\"go", {}, render_os_error(ERROR_INVALID_PARAMETER)},
      {"argument not UTF-8", "cargo", {"\xff"}, render_os_error(ERROR_NO_UNICODE_TRANSLATION)},
      {"missing program", "cargo", {}, render_os_error(ERROR_FILE_NOT_FOUND), dir.file(L"missing.exe")},
      {"not a program", "cargo", {}, render_os_error(ERROR_BAD_EXE_FORMAT), dir.file(L"text.exe")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const EchoRun run = run_echo(dir, row.args, 0, row.name, row.program);
    EXPECT_FALSE(run.outcome.status.has_value());
    EXPECT_EQ(wintest::text_of(run.outcome.failure), row.error);
    EXPECT_FALSE(run.report.has_value()) << "a process was started";
  }
}

// Open kernel handles of this process, found by probing every handle value
// (GetProcessHandleCount is not available everywhere, e.g. under wine).
std::size_t count_open_handles() {
  std::size_t count = 0;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

TEST(RunAndWait, LeavesNoHandlesBehind) {
  TempDir dir;
  run_echo(dir, {"warm-up"});  // first-use allocations of the runtime
  const std::size_t before = count_open_handles();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 3; ++i) {
    expect_exited(run_echo(dir, {"x"}, static_cast<std::uint32_t>(i)).outcome, static_cast<std::uint32_t>(i));
    EXPECT_FALSE(run_echo(dir, {}, 0, "cargo", dir.file(L"missing.exe")).outcome.status.has_value());
  }
  EXPECT_EQ(count_open_handles(), before);
}

TEST(FailFast, EndsAtOnceWithoutCleanUp) {
  TempDir dir;
  const std::string marker = dir.file_utf8(L"exit-handler-ran");
  const std::string buffered = dir.file_utf8(L"buffered.txt");
  const RunOutcome outcome =
      run_and_wait(utf8(wintest::exe_path()), "tests", std::vector<std::string>{"--fail-fast-child", marker, buffered});
  // STATUS_STACK_BUFFER_OVERRUN is the exit code of every fail-fast exit.
  expect_exited(outcome, 0xC0000409u);
  EXPECT_FALSE(wintest::file_exists(wide(marker))) << "an exit handler ran";
  EXPECT_EQ(wintest::read_file(wide(buffered)).value_or(""), "") << "buffered output was flushed";
}

TEST(ChildProcess, TrainerTreeEndsWithTheCallersProcess) {
  // A parent starts echo_args.exe as the module starts a trainer; the child
  // starts a grandchild. Killing the parent outright ends both within 1 s.
  TempDir dir;
  const std::wstring pids_path = dir.file(L"pids.txt");
  EnvOverride pids(L"VELMORA_ECHO_PIDS", pids_path);
  EnvOverride sleep(L"VELMORA_ECHO_SLEEP_MS", L"60000");
  std::wstring command = L"\"" + wintest::exe_path() + L"\" --tied-parent";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION parent{};
  ASSERT_TRUE(CreateProcessW(wintest::exe_path().c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &parent));
  CloseHandle(parent.hThread);
  std::optional<std::string> written;
  for (int waited = 0; waited < 30000 && !(written = wintest::read_file(pids_path)); waited += 20) Sleep(20);
  ASSERT_TRUE(written.has_value()) << "the child never reported";
  DWORD child_id = 0, grandchild_id = 0;
  ASSERT_EQ(std::sscanf(written->c_str(), "%lu %lu", &child_id, &grandchild_id), 2) << *written;
  HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child_id);
  HANDLE grandchild = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, grandchild_id);
  ASSERT_NE(child, nullptr);
  ASSERT_NE(grandchild, nullptr);
  ASSERT_EQ(WaitForSingleObject(child, 200), static_cast<DWORD>(WAIT_TIMEOUT)) << "the child ended early";
  ASSERT_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the grandchild ended early";
  TerminateProcess(parent.hProcess, 9);
  WaitForSingleObject(parent.hProcess, INFINITE);
  EXPECT_EQ(WaitForSingleObject(child, 1000), WAIT_OBJECT_0) << "the child outlived its caller";
  EXPECT_EQ(WaitForSingleObject(grandchild, 1000), WAIT_OBJECT_0) << "the grandchild outlived the caller";
  TerminateProcess(child, 1);
  TerminateProcess(grandchild, 1);
  CloseHandle(child);
  CloseHandle(grandchild);
  CloseHandle(parent.hProcess);
}

// ---- program search -------------------------------------------------------------

// Copies echo_args.exe to `directory\name`, removing the copy on exit.
struct ProbeCopy {
  std::wstring path;
  bool placed;
  std::optional<wintest::FileRemover> remover;
  ProbeCopy(const std::wstring& directory, const std::wstring& name)
      : path(directory + L"\\" + name), placed(CopyFileW(wintest::echo_program().c_str(), path.c_str(), TRUE) != 0) {
    if (placed) remover.emplace(path);
  }
};

std::wstring system_directory() {
  wchar_t buffer[MAX_PATH + 1];
  return std::wstring(buffer, GetSystemDirectoryW(buffer, MAX_PATH + 1));
}

std::wstring windows_directory() {
  wchar_t buffer[MAX_PATH + 1];
  return std::wstring(buffer, GetWindowsDirectoryW(buffer, MAX_PATH + 1));
}

TEST(FindProgram, CargoOnPathGetsExeAndRuns) {
  TempDir dir;
  ProbeCopy cargo(dir.path(), L"cargo.exe");
  ASSERT_TRUE(cargo.placed);
  EnvOverride path(L"PATH", dir.path());
  const auto found = find_program("cargo");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, utf8(cargo.path));
  // The found program is the one that runs.
  const EchoRun run = run_echo(dir, {"run"}, 7, "cargo", wide(*found));
  expect_exited(run.outcome, 7);
  ASSERT_TRUE(run.report.has_value());
  EXPECT_EQ(run.report->exe, cargo.path);
}

TEST(FindProgram, SearchOrder) {
  TempDir first, second, cwd;
  const std::wstring name = L"velmora-probe-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring file = name + L".exe";
  enum Place { exe_dir, system_dir, windows_dir, path_first, path_second };
  const std::wstring places[] = {wintest::exe_directory(), system_directory(), windows_directory(), first.path(),
                                 second.path()};
  const char* labels[] = {"executable directory", "system directory", "Windows directory", "first PATH entry",
                          "second PATH entry"};
  EnvOverride path(L"PATH", L";" + first.path() + L";;" + second.path() + L";");
  struct Row {
    Place winner, loser;
  };
  const Row rows[] = {
      {exe_dir, system_dir},     {exe_dir, path_first},      {system_dir, windows_dir},
      {system_dir, path_first},  {windows_dir, path_first},  {path_first, path_second},
  };
  int skipped = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(labels[row.winner]) + " before " + labels[row.loser]);
    ProbeCopy winner(places[row.winner], file);
    ProbeCopy loser(places[row.loser], file);
    if (!winner.placed || !loser.placed) {
      ++skipped;  // e.g. the system directory is not writable without elevation
      continue;
    }
    EXPECT_EQ(find_program(utf8(name)), utf8(winner.path));
  }
  {
    // Alone in the last PATH entry it is still found; nowhere, it is not.
    ProbeCopy last(second.path(), file);
    ASSERT_TRUE(last.placed);
    EXPECT_EQ(find_program(utf8(name)), utf8(last.path));
  }
  EXPECT_EQ(find_program(utf8(name)), std::nullopt);
  if (skipped > 0) {
    std::printf("note: %d search-order cases skipped (directory not writable)\n", skipped);
  }
}

TEST(FindProgram, PathEntries) {
  TempDir dir, cwd;
  const std::wstring semicolon_dir = dir.file(L"with;semicolon");
  ASSERT_TRUE(CreateDirectoryW(semicolon_dir.c_str(), nullptr));
  ProbeCopy in_cwd(cwd.path(), L"velmora-here.exe");
  ProbeCopy quoted(semicolon_dir, L"velmora-quoted.exe");
  ProbeCopy slashed(dir.path(), L"velmora-slash.exe");
  ASSERT_TRUE(in_cwd.placed && quoted.placed && slashed.placed);

  wchar_t saved_cwd[32768];
  GetCurrentDirectoryW(32768, saved_cwd);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.path().c_str()));
  {
    // Empty entries do not mean the current directory; quotes group an entry
    // holding ';'; an entry may end with a separator.
    EnvOverride path(L"PATH", L";;\"" + semicolon_dir + L"\";" + dir.path() + L"\\;");
    EXPECT_EQ(find_program("velmora-here"), std::nullopt);
    EXPECT_EQ(find_program("velmora-quoted"), utf8(quoted.path));
    EXPECT_EQ(find_program("velmora-slash"), utf8(slashed.path));
  }
  {
    EnvOverride path(L"PATH", std::nullopt);
    EXPECT_EQ(find_program("velmora-quoted"), std::nullopt);
  }
  SetCurrentDirectoryW(saved_cwd);
}

TEST(FindProgram, Names) {
  TempDir dir;
  ProbeCopy probe(dir.path(), L"velmora-name.exe");
  ASSERT_TRUE(probe.placed);
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"cargo.exe").c_str(), nullptr));
  EnvOverride path(L"PATH", dir.path());
  const std::string base = utf8(dir.path());
  struct Row {
    std::string name;
    std::optional<std::string> found;
  };
  const Row rows[] = {
      {"velmora-name", base + "\\velmora-name.exe"},
      {"velmora-name.exe", base + "\\velmora-name.exe"},  // ".exe" is not added twice
      {"velmora-name.com", std::nullopt},
      {base + "\\velmora-name", base + "\\velmora-name.exe"},  // a path is not searched
      {base + "/velmora-name.exe", base + "/velmora-name.exe"},
      {"sub\\velmora-name", std::nullopt},
      {"", std::nullopt},
      {std::string("velmora-name\0x", 14), std::nullopt},
      {"velmora-\xff", std::nullopt},
      // An entry named cargo.exe exists here, even though it is a directory.
      {"cargo", base + "\\cargo.exe"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(find_program(row.name), row.found);
  }
}

// A bounded wait sees a running child; terminating ends it with code 1, and
// the wait then reports it ended.
TEST(ChildProcess, BoundedWaitAndTermination) {
  EnvOverride sleep(L"VELMORA_ECHO_SLEEP_MS", L"30000");
  ChildProcess child;
  ASSERT_EQ(child.start(utf8(wintest::echo_program()), "cargo", {}), std::nullopt);
  EXPECT_EQ(child.wait_for(50).state, WaitOutcome::State::running);
  child.interrupt();  // nothing to send on Windows: still running
  EXPECT_EQ(child.wait_for(50).state, WaitOutcome::State::running);
  child.terminate();
  const WaitOutcome ended = child.wait_for(10000);
  ASSERT_EQ(ended.state, WaitOutcome::State::ended) << ended.failure.text;
  EXPECT_EQ(ended.status.value, 1u);
  EXPECT_FALSE(child.running());
}

}  // namespace
}  // namespace velmora::platform
