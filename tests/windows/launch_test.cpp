// The trainer launch on Windows: status texts and whole runs of a stand-in
// "cargo" (a copy of echo_args.exe found on PATH).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build_config.hpp"
#include "launcher/launch.hpp"
#include "support.hpp"

namespace velmora::launcher {
namespace {

using wintest::EnvOverride;
using wintest::TempDir;
using wintest::wide;

TEST(RenderExitStatus, DecimalOrHexByBit31) {
  struct Row {
    std::uint32_t code;
    const char* text;
  };
  const Row rows[] = {
      {0, "exit code: 0"},
      {1, "exit code: 1"},
      {3, "exit code: 3"},
      {2147483647u, "exit code: 2147483647"},
      {0x80000000u, "exit code: 0x80000000"},
      {0xC0000005u, "exit code: 0xc0000005"},
      {0xC0000409u, "exit code: 0xc0000409"},
      {0xFFFFFFFFu, "exit code: 0xffffffff"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(render_exit_status({platform::ExitStatus::Kind::exited, row.code}), row.text);
  }
}

// A folder holding cargo.exe, made the only PATH entry.
struct FakeCargo {
  TempDir dir;
  std::wstring cargo = dir.file(L"cargo.exe");
  bool placed = CopyFileW(wintest::echo_program().c_str(), cargo.c_str(), TRUE) != 0;
  EnvOverride path{L"PATH", dir.path()};
  std::wstring report = dir.file(L"report.txt");
  EnvOverride out{L"VELMORA_ECHO_OUT", report};
};

TEST(RunTrainerProcess, ArgumentsReachTheTool) {
  FakeCargo fake;
  ASSERT_TRUE(fake.placed);
  EnvOverride code(L"VELMORA_ECHO_EXIT", L"0");
  const TrainingRequest requests[] = {
      {"cfg.yaml", "out", 1000, 42, std::nullopt},
      {"my configs\\cfg \xc3\xa9t\xc3\xa9.json", "C:\\out dir\\", 18446744073709551615u, 4294967295u, ""},
      {"\"quoted\".json", "trailing\\\\", 0, 0, "ckpt \\\"x\\"},
  };
  for (const TrainingRequest& request : requests) {
    SCOPED_TRACE(request.config_path);
    DeleteFileW(fake.report.c_str());
    EXPECT_EQ(wintest::text_of(run_trainer_process(request)), std::nullopt);
    const auto report = wintest::read_echo_report(fake.report);
    ASSERT_TRUE(report.has_value());
    std::vector<std::wstring> expected{L"cargo"};
    for (const std::string& arg : trainer_arguments(request, build_config::trainer_manifest_path)) {
      expected.push_back(wide(arg));
    }
    EXPECT_EQ(report->crt_argv, expected);
    EXPECT_EQ(report->exe, fake.cargo);
  }
}

TEST(RunTrainerProcess, NonZeroExitCodes) {
  FakeCargo fake;
  ASSERT_TRUE(fake.placed);
  struct Row {
    const wchar_t* code;
    std::optional<std::string> message;
  };
  const Row rows[] = {
      {L"0", std::nullopt},
      {L"1", "train_generic exited with status: exit code: 1"},
      {L"2147483647", "train_generic exited with status: exit code: 2147483647"},
      {L"0x80000000", "train_generic exited with status: exit code: 0x80000000"},
      {L"3221225477", "train_generic exited with status: exit code: 0xc0000005"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(wintest::utf8(row.code));
    EnvOverride code(L"VELMORA_ECHO_EXIT", std::wstring(row.code));
    EXPECT_EQ(wintest::text_of(run_trainer_process({"c.json", "out", 1, 2, std::nullopt})), row.message);
  }
}

TEST(RunTrainerProcess, LaunchFailures) {
  FakeCargo fake;
  ASSERT_TRUE(fake.placed);
  {
    // NUL in a value: refused before anything starts.
    const auto message = wintest::text_of(run_trainer_process({"c.json", std::string("out\0put", 7), 1, 2, std::nullopt}));
    EXPECT_EQ(message, "Failed to launch train_generic command: nul byte found in provided data");
    EXPECT_FALSE(wintest::file_exists(fake.report));
  }
  {
    TempDir empty;
    EnvOverride path(L"PATH", empty.path());
    EXPECT_EQ(wintest::text_of(run_trainer_process({"c.json", "out", 1, 2, std::nullopt})),
              "Failed to launch train_generic command: program not found");
  }
}

}  // namespace
}  // namespace velmora::launcher
