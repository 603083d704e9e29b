// The train_from_config pipeline: step order and messages with substituted
// services, and the real read + UTF-8 step against files.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "launcher/pipeline.hpp"
#include "platform/platform.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::launcher::DocumentFormat;
using velmora::launcher::format_of;
using velmora::launcher::PipelineServices;
using velmora::launcher::read_config_text;
using velmora::launcher::run_training_pipeline;
using velmora::launcher::SupervisionHost;
using velmora::launcher::TrainingRequest;
using velmora::platform::Cancellation;
using velmora::text::ByteBuffer;
using velmora::text::Failure;
using velmora::text::FailureKind;

// What the substituted services see and answer.
struct World {
  bool exists = true;
  std::optional<Failure> read_error;
  std::string text = "{}";
  std::optional<Failure> trainer_error;
  std::vector<std::string> calls;
};
World* g_world = nullptr;

const PipelineServices kFakeServices{
    [](std::string_view) {
      g_world->calls.push_back("exists");
      return g_world->exists;
    },
    [](std::string_view, ByteBuffer& text, Cancellation*) -> std::optional<Failure> {
      g_world->calls.push_back("read");
      if (g_world->read_error) return g_world->read_error;
      text.reserve(g_world->text.size() + 1);
      std::copy(g_world->text.begin(), g_world->text.end(), text.data());
      text.set_size(g_world->text.size());
      return std::nullopt;
    },
    [](const TrainingRequest&, SupervisionHost&) -> std::optional<Failure> {
      g_world->calls.push_back("run");
      return g_world->trainer_error;
    },
};

struct Expected {
  std::optional<FailureKind> kind;
  std::string message;  // full, or a prefix when ending in "…"
  std::vector<std::string> calls;
};

void check(World world, const std::string& path, const Expected& expected) {
  g_world = &world;
  const auto failure = run_training_pipeline({path, "out", 1, 2, std::nullopt}, kFakeServices);
  g_world = nullptr;
  EXPECT_EQ(world.calls, expected.calls) << path;
  ASSERT_EQ(failure.has_value(), expected.kind.has_value())
      << path << ": " << (failure ? failure->text : "");
  if (!failure) return;
  EXPECT_EQ(failure->kind, *expected.kind) << path;
  const std::string ellipsis = "\xE2\x80\xA6";
  if (expected.message.ends_with(ellipsis)) {
    const std::string prefix =
        expected.message.substr(0, expected.message.size() - ellipsis.size());
    EXPECT_TRUE(failure->text.starts_with(prefix)) << failure->text;
    EXPECT_GT(failure->text.size(), prefix.size()) << failure->text;
  } else {
    EXPECT_EQ(failure->text, expected.message) << path;
  }
}

const std::vector<std::string> kExists = {"exists"};
const std::vector<std::string> kRead = {"exists", "read"};
const std::vector<std::string> kAll = {"exists", "read", "run"};

TEST(PipelineOrder, FirstFailingStepDecides) {
  World missing;
  missing.exists = false;
  World unreadable;
  unreadable.read_error = Failure{FailureKind::read, "Is a directory (os error 21)", 21, {}};
  World yaml_text;
  yaml_text.text = "a: 1\nb: [2]\n";
  World two_docs;
  two_docs.text = "a: 1\n---\nb: 2\n";
  World number;
  number.text = "12";
  World trainer_fails;
  trainer_fails.trainer_error =
      Failure{FailureKind::exit, "train_generic exited with status: exit code: 1", {}, {}};

  check(World{}, "c.json", {std::nullopt, "", kAll});
  check(number, "c.json", {std::nullopt, "", kAll});
  check(yaml_text, "c.yaml", {std::nullopt, "", kAll});
  check(yaml_text, "c.yml", {std::nullopt, "", kAll});
  check(missing, "missing.txt",
        {FailureKind::not_found, "Config file not found: missing.txt", kExists});
  check(missing, "", {FailureKind::not_found, "Config file not found: ", kExists});
  check(unreadable, "d.txt",
        {FailureKind::read, "Failed to read config: Is a directory (os error 21)", kRead});
  check(World{}, "cfg.txt", {FailureKind::name, "Config must be .json or .yaml", kRead});
  check(World{}, "cfg.JSON", {FailureKind::name, "Config must be .json or .yaml", kRead});
  check(World{}, "cfg.json.bak", {FailureKind::name, "Config must be .json or .yaml", kRead});
  check(yaml_text, "c.json", {FailureKind::json, "Invalid JSON config: \xE2\x80\xA6", kRead});
  check(two_docs, "c.yaml", {FailureKind::yaml, "Invalid YAML config: \xE2\x80\xA6", kRead});
  check(trainer_fails, "c.json",
        {FailureKind::exit, "train_generic exited with status: exit code: 1", kAll});
}

TEST(PipelineFormat, ByEndingOfThePathText) {
  EXPECT_EQ(format_of("a.json"), DocumentFormat::json);
  EXPECT_EQ(format_of("dir.yaml/a.json"), DocumentFormat::json);
  EXPECT_EQ(format_of(".json"), DocumentFormat::json);
  EXPECT_EQ(format_of("a.yaml"), DocumentFormat::yaml);
  EXPECT_EQ(format_of("a.yml"), DocumentFormat::yaml);
  for (const char* path : {"a.Json", "a.jsonl", "a.yaml ", "a", "", "json", "a.json/"}) {
    EXPECT_EQ(format_of(path), std::nullopt) << path;
  }
}

class ConfigRead : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmora-pipeline-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path file = dir_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }
  fs::path dir_;
};

TEST_F(ConfigRead, TextsAndErrors) {
  struct Case {
    std::string path;
    std::optional<std::string> error;
    std::optional<std::int32_t> code;  // the system's, where it gave one
  };
  std::string big(3 * 1024 * 1024 + 17, 'x');
  big += "\xC3\xA9";
  fs::create_directory(dir_ / "d.json");
  const std::vector<Case> cases = {
      {write("empty.json", ""), std::nullopt, std::nullopt},
      {write("ok.json", "{\"\xC3\xA9\": 1}"), std::nullopt, std::nullopt},
      {write("big.json", big), std::nullopt, std::nullopt},
      {write("bad.txt", "{\"a\": \"\xFF\"}"), "stream did not contain valid UTF-8", std::nullopt},
      {write("cut.json", "[\"\xE2\x82"), "stream did not contain valid UTF-8", std::nullopt},
      {(dir_ / "d.json").string(), "Is a directory (os error 21)", 21},
      {(dir_ / "gone.json").string(), "No such file or directory (os error 2)", 2},
      {std::string("a\0b.json", 8), "Invalid argument (os error 22)", 22},
  };
  for (const Case& c : cases) {
    ByteBuffer text;
    const std::optional<Failure> failure = read_config_text(c.path, text);
    ASSERT_EQ(failure.has_value(), c.error.has_value()) << c.path;
    if (!failure) continue;
    EXPECT_EQ(*failure, (Failure{FailureKind::read, *c.error, c.code, std::nullopt})) << c.path;
  }
  ByteBuffer text;
  ASSERT_EQ(read_config_text((dir_ / "big.json").string(), text), std::nullopt);
  EXPECT_EQ(text.view(), big);
}

// A file checked as it is read gives what the whole read gives; the
// streamed check alone accepts the acceptable ones. Texts past one step of
// the read (1 MiB is the end of one) put a character, a fault or an error
// across or after its end; JSON values longer than the check's window, or
// cut by its end, are resumed or held whole.
TEST_F(ConfigRead, StreamedCheckAgreesWithTheWholeRead) {
  using velmora::launcher::check_config_file;
  using velmora::launcher::check_file_streamed;
  using velmora::launcher::DocumentFormat;
  using velmora::launcher::StreamedCheck;
  const std::size_t step = std::size_t{1} << 20;
  std::string lines;  // just over one step, then a key that may repeat
  for (int i = 0; lines.size() < step + 100; ++i) lines += "k" + std::to_string(i) + ": v\n";
  std::string scalars = "a: &x 1\n";  // more anchored scalars than the cache of recent ones
  for (int i = 0; i < 2000; ++i)
    scalars += "s" + std::to_string(i) + ": &s" + std::to_string(i) + " 1\n";
  const auto across =
      [&](std::string character) {  // `character` starts one byte before the step's end
        std::string text = "t: " + std::string(step - 4, 'x');
        return text + character + "\n";
      };
  std::string numbers = "[";  // numbers and strings cut by the window's end
  for (int i = 0; numbers.size() < 3 * step; ++i)
    numbers += std::to_string(i * 7919) + ".25e-3, \"s" + std::to_string(i) + "\", ";
  numbers += "{\"last\": [true, false, null]}]";
  std::string deep(127, '[');
  deep += std::string(127, ']');
  struct Case {
    std::string text;
    bool accepted;  // by the streamed check
    const char* suffix = ".yaml";
  };
  const std::vector<Case> cases = {
      {"a: 1\nb: [x, y]\n", true},
      {"\xEF\xBB\xBF"
       "a: \xC3\xA9\n",
       true},
      {"", true},
      {lines, true},
      {across("\xC3\xA9"), true},
      {across("\xF0\x9F\x98\x80"), true},
      {scalars + "b: *x\n", true},
      {scalars + "b: *y\n", false},
      {"b: *x\na: &x 1\n", false},
      {lines + "k7: again\n", false},
      {across("\xC3("), false},
      {lines + "c: \xE2\x82", false},
      {"a: [1\n", false},
      {R"({"a": 1, "b": [1, 2.5e3, "x"]})", true, ".json"},
      {numbers, true, ".json"},
      {"[\"" + std::string(3 * step, 'x') + "\"]", true, ".json"},
      {std::string(step, ' ') + "7" + std::string(step, ' '), true, ".json"},
      {"7" + std::string(step, ' ') + "x", false, ".json"},
      {deep, true, ".json"},
      {"[" + deep + "]", false, ".json"},
      {numbers.substr(0, numbers.size() - 1) + ",]", false, ".json"},
      {numbers + " x", false, ".json"},
      {numbers.substr(0, numbers.size() - 1), false, ".json"},
      {std::string(step, ' '), false, ".json"},
      {"", false, ".json"},
      {"\xEF\xBB\xBF{}", false, ".json"},
      {"[1e400]", false, ".json"},
  };
  const PipelineServices whole_read_only{&velmora::platform::path_exists, &read_config_text,
                                         nullptr, nullptr};
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = write("c" + std::to_string(n++) + c.suffix, c.text);
    const DocumentFormat format =
        std::string_view(c.suffix) == ".json" ? DocumentFormat::json : DocumentFormat::yaml;
    EXPECT_EQ(check_file_streamed(path, format) == StreamedCheck::accepted, c.accepted) << path;
    const auto streamed = check_config_file(path, velmora::launcher::default_pipeline_services());
    const auto whole = check_config_file(path, whole_read_only);
    ASSERT_EQ(streamed.has_value(), whole.has_value()) << path;
    EXPECT_EQ(whole.has_value(), !c.accepted) << path;
    if (whole) {
      EXPECT_EQ(*streamed, *whole) << path;
    }
  }
  struct Stop : Cancellation {
    bool requested() override { return true; }
  } stop;
  EXPECT_EQ(check_file_streamed(write("s.yaml", "a: 1\n"), DocumentFormat::yaml, &stop),
            StreamedCheck::cancelled);
}

TEST_F(ConfigRead, FilesOfUnknownLengthAreReadToTheEnd) {
  // /proc files report length 0 and are read in chunks.
  ByteBuffer text;
  ASSERT_EQ(velmora::platform::read_whole_file("/proc/self/status", text), std::nullopt);
  EXPECT_TRUE(text.view().starts_with("Name:"));
  EXPECT_TRUE(text.view().ends_with("\n"));
}

TEST_F(ConfigRead, FileRemovedAfterTheExistenceTestIsAReadFailure) {
  // The existence test answers yes, then the file is gone when it is read.
  const PipelineServices racing{
      [](std::string_view) { return true; }, &read_config_text,
      [](const TrainingRequest&, SupervisionHost&) -> std::optional<Failure> {
        ADD_FAILURE() << "trainer started";
        return std::nullopt;
      }};
  const auto failure =
      run_training_pipeline({(dir_ / "vanished.json").string(), "out", 1, 2, std::nullopt}, racing);
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, (Failure{FailureKind::read,
                               "Failed to read config: No such file or directory (os error 2)", 2,
                               std::nullopt}));
}

TEST_F(ConfigRead, ExistenceFollowsSymlinks) {
  const std::string target = write("t.json", "{}");
  fs::create_symlink(target, dir_ / "link.json");
  fs::create_symlink(dir_ / "nowhere.json", dir_ / "dangling.json");
  EXPECT_TRUE(velmora::platform::path_exists((dir_ / "link.json").string()));
  EXPECT_FALSE(velmora::platform::path_exists((dir_ / "dangling.json").string()));
  EXPECT_TRUE(velmora::platform::path_exists(dir_.string()));
  EXPECT_FALSE(velmora::platform::path_exists(""));
  EXPECT_FALSE(velmora::platform::path_exists(std::string(target + '\0' + "x")));
}

}  // namespace
