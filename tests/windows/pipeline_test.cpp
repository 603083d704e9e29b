// The whole train_from_config pipeline on Windows, from the configuration file
// to the exit of a stand-in "cargo" (a copy of echo_args.exe found on PATH).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/pipeline.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

namespace velmora::launcher {
namespace {

using wintest::EnvOverride;
using wintest::TempDir;
using wintest::utf8;
using wintest::write_file;
using text::FailureKind;

TEST(TrainingPipeline, FromFileToExitStatus) {
  TempDir dir;
  const std::wstring cargo = dir.file(L"bin\\cargo.exe");
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"bin").c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(wintest::echo_program().c_str(), cargo.c_str(), TRUE));
  EnvOverride path(L"PATH", dir.file(L"bin"));
  const std::wstring report = dir.file(L"report.txt");
  EnvOverride out(L"VELMORA_ECHO_OUT", report);

  ASSERT_TRUE(write_file(dir.file(L"ok.json"), "{\"lr\": 0.1}"));
  ASSERT_TRUE(write_file(dir.file(L"\u00e9t\u00e9 cfg.yml"), "lr: 0.1\n"));
  ASSERT_TRUE(write_file(dir.file(L"two.yaml"), "a: 1\n---\nb: 2\n"));
  ASSERT_TRUE(write_file(dir.file(L"bad.json"), "{"));
  ASSERT_TRUE(write_file(dir.file(L"latin1.json"), "\"\xe9\""));
  ASSERT_TRUE(write_file(dir.file(L"cfg.txt"), "{}"));
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"d.json").c_str(), nullptr));
  const std::string base = utf8(dir.path()) + "\\";
  const std::string nul_path = base + "ok.json" + std::string(1, '\0');

  struct Row {
    std::string config;
    const wchar_t* exit_code;
    std::optional<FailureKind> kind;
    std::string message;  // whole message, or its prefix when it ends in "..."
    bool trainer_runs;
  };
  const Row rows[] = {
      {base + "ok.json", L"0", std::nullopt, "", true},
      {base + "\xc3\xa9t\xc3\xa9 cfg.yml", L"0", std::nullopt, "", true},
      {base + "ok.json", L"3221225477", FailureKind::exit,
       "train_generic exited with status: exit code: 0xc0000005", true},
      {base + "missing.txt", L"0", FailureKind::not_found, "Config file not found: " + base + "missing.txt",
       false},
      {nul_path, L"0", FailureKind::not_found, "Config file not found: " + nul_path, false},
      {base + "d.json", L"0", FailureKind::read,
       "Failed to read config: " + platform::render_os_error(ERROR_ACCESS_DENIED), false},
      {base + "latin1.json", L"0", FailureKind::read,
       "Failed to read config: stream did not contain valid UTF-8", false},
      {base + "cfg.txt", L"0", FailureKind::name, "Config must be .json or .yaml", false},
      {base + "bad.json", L"0", FailureKind::json, "Invalid JSON config: ...", false},
      {base + "two.yaml", L"0", FailureKind::yaml, "Invalid YAML config: ...", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.config);
    DeleteFileW(report.c_str());
    EnvOverride code(L"VELMORA_ECHO_EXIT", std::wstring(row.exit_code));
    const TrainingRequest request{row.config, "out dir\\", 10, 7, std::nullopt};
    const std::optional<text::Failure> failure = run_training_pipeline(request);
    if (!row.kind) {
      EXPECT_FALSE(failure.has_value()) << failure->text;
    } else {
      ASSERT_TRUE(failure.has_value());
      EXPECT_EQ(failure->kind, *row.kind);
      if (row.message.ends_with("...")) {
        EXPECT_TRUE(failure->text.starts_with(row.message.substr(0, row.message.size() - 3))) << failure->text;
      } else {
        EXPECT_EQ(failure->text, row.message);
      }
    }
    const auto echoed = wintest::read_echo_report(report);
    EXPECT_EQ(echoed.has_value(), row.trainer_runs);
    if (echoed && echoed->crt_argv.size() > 9) {
      EXPECT_EQ(echoed->crt_argv[9], wintest::wide(row.config));  // --config <path>
      EXPECT_EQ(echoed->crt_argv[11], L"out dir\\");
    }
  }
}

}  // namespace
}  // namespace velmora::launcher
