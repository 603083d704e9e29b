// Trainer launch: the argument list, status rendering, the POSIX platform
// services (error texts, program search, spawning and waiting) and supervision.
// The whole launch against a stand-in for the build tool (messages, argument
// vector, program search before the NUL check, start failures) is checked
// through the module by tests/python/test_launch.py.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/launch.hpp"
#include "platform/platform.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::launcher::render_exit_status;
using velmora::launcher::trainer_arguments;
using velmora::launcher::TrainingRequest;
using velmora::platform::ExitStatus;
namespace platform = velmora::platform;

using Args = std::vector<std::string>;

Args fixed_head(const std::string& manifest) {
  return {"run", "--manifest-path", manifest, "--release", "--bin", "train_generic", "--"};
}

Args concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(LaunchArguments, FollowTheRequest) {
  struct Case {
    TrainingRequest request;
    Args tail;
  };
  const std::vector<Case> cases = {
      {{"cfg.yaml", "out", 1000, 42, std::nullopt},
       {"--config", "cfg.yaml", "--output-dir", "out", "--steps", "1000", "--seed", "42"}},
      {{"c.json", "o", 0, 0, std::nullopt},
       {"--config", "c.json", "--output-dir", "o", "--steps", "0", "--seed", "0"}},
      {{"a b.json", "", 18446744073709551615ull, 4294967295u, std::string()},
       {"--config", "a b.json", "--output-dir", "", "--steps", "18446744073709551615", "--seed",
        "4294967295", "--base-ckpt", ""}},
      {{"-x.yml", "\"q\" \\ é", 10, 7, std::string("ckpt/base.bin")},
       {"--config", "-x.yml", "--output-dir", "\"q\" \\ é", "--steps", "10", "--seed", "7",
        "--base-ckpt", "ckpt/base.bin"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trainer_arguments(c.request, "M/Cargo.toml"),
              concat(fixed_head("M/Cargo.toml"), c.tail));
  }
}

// TrainerConfig builds the record by aggregate initialisation in table order:
// the rows must name the members in the order they are declared.
TEST(RequestTable, RowsFollowTheMembersInOrder) {
  const TrainingRequest request{"c", "o", 3, 4, "b"};
  std::vector<std::string> seen;
  velmora::launcher::for_each_request_field([&](const auto& field) {
    const auto& value = request.*field.member;
    using Value = std::remove_cvref_t<decltype(value)>;
    if constexpr (std::is_same_v<Value, std::string>) {
      seen.push_back(value);
    } else if constexpr (std::is_same_v<Value, std::optional<std::string>>) {
      seen.push_back(value.value_or("-"));
    } else {
      seen.push_back(std::to_string(value));
    }
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"c", "o", "3", "4", "b"}));
}

TEST(LaunchStatus, Rendering) {
  struct Case {
    ExitStatus status;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{ExitStatus::Kind::exited, 1}, "exit code: 1"},
      {{ExitStatus::Kind::exited, 255}, "exit code: 255"},
      {{ExitStatus::Kind::exited, 2147483647u}, "exit code: 2147483647"},
      {{ExitStatus::Kind::exited, 2147483648u}, "exit code: 0x80000000"},
      {{ExitStatus::Kind::exited, 3221225477u}, "exit code: 0xc0000005"},
      {{ExitStatus::Kind::exited, 4294967295u}, "exit code: 0xffffffff"},
      {{ExitStatus::Kind::signalled, SIGKILL}, "signal: 9 (SIGKILL)"},
      {{ExitStatus::Kind::signalled, SIGSEGV}, "signal: 11 (SIGSEGV)"},
      {{ExitStatus::Kind::signalled, SIGINT}, "signal: 2 (SIGINT)"},
      {{ExitStatus::Kind::signalled, 64}, "signal: 64"},
  };
  for (const Case& c : cases) EXPECT_EQ(render_exit_status(c.status), c.text);
}

TEST(PosixPlatform, RendersOsErrors) {
  EXPECT_EQ(platform::render_os_error(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(platform::render_os_error(EISDIR), "Is a directory (os error 21)");
  EXPECT_EQ(platform::render_os_error(123456), "Unknown error 123456 (os error 123456)");
}

void exit_quietly(int) { ::_exit(0); }

TEST(PosixPlatformDeathTest, FailFastEndsTheProcessWhateverTheHostDid) {
  // Even with SIGABRT caught and blocked, the process dies of SIGABRT at once.
  EXPECT_EXIT(
      {
        ::signal(SIGABRT, exit_quietly);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGABRT);
        ::sigprocmask(SIG_BLOCK, &block, nullptr);
        platform::fail_fast();
      },
      ::testing::KilledBySignal(SIGABRT), "");
}

// A scratch directory removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-launch-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  fs::path write(const std::string& name, const std::string& text, fs::perms perms) const {
    const fs::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << text;
    fs::permissions(file, perms);
    return file;
  }

 private:
  fs::path path_;
};

constexpr auto kExecutable = fs::perms::owner_all;
constexpr auto kPlain = fs::perms::owner_read | fs::perms::owner_write;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PosixPlatform, FindsProgramsOnThePath) {
  TempDir a, b;
  fs::create_directory(a.path() / "tool");  // a directory is not a program
  a.write("plain", "", kPlain);             // not executable
  const fs::path in_b = b.write("tool", "#!/bin/sh\n", kExecutable);
  b.write("plain", "#!/bin/sh\n", kExecutable);
  const std::string path = "::" + a.path().string() + "::" + b.path().string() + ":";
  ScopedEnv env("PATH", path.c_str());
  EXPECT_EQ(platform::find_program("tool"), in_b.string());
  EXPECT_EQ(platform::find_program("plain"), (b.path() / "plain").string());
  EXPECT_EQ(platform::find_program("absent"), std::nullopt);
  EXPECT_EQ(platform::find_program(""), std::nullopt);
}

TEST(PosixPlatform, SearchesTheSystemDefaultWithoutPath) {
  ScopedEnv env("PATH", nullptr);
  const auto found = platform::find_program("sh");
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->ends_with("/sh"));
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(PosixPlatform, RunsAndReportsHowTheChildEnded) {
  struct Case {
    std::string script;
    std::optional<ExitStatus> status;
  };
  const std::vector<Case> cases = {
      {"exit 0", ExitStatus{ExitStatus::Kind::exited, 0}},
      {"exit 3", ExitStatus{ExitStatus::Kind::exited, 3}},
      {"exit 255", ExitStatus{ExitStatus::Kind::exited, 255}},
      {"kill -9 $$", ExitStatus{ExitStatus::Kind::signalled, 9}},
      {"kill -TERM $$", ExitStatus{ExitStatus::Kind::signalled, 15}},
  };
  for (const Case& c : cases) {
    const Args args = {"-c", c.script};
    const auto outcome = platform::run_and_wait("/bin/sh", "sh", args);
    ASSERT_TRUE(outcome.status) << c.script << ": "
                                << (outcome.failure ? outcome.failure->text : "");
    EXPECT_EQ(outcome.status->kind, c.status->kind) << c.script;
    EXPECT_EQ(outcome.status->value, c.status->value) << c.script;
  }
  const auto missing = platform::run_and_wait("/nonexistent/prog", "prog", {});
  EXPECT_FALSE(missing.status);
  EXPECT_EQ((missing.failure ? missing.failure->text : ""),
            "No such file or directory (os error 2)");
}

TEST(PosixPlatform, ArgumentsArriveUnchanged) {
  // The child's own argument vector, as the kernel holds it, NUL-separated.
  TempDir dir;
  const fs::path out = dir.path() / "argv";
  const std::string script = "cat /proc/$$/cmdline > \"$OUT\"; exit 0";
  const Args args = {"-c", script, "name0", "", "a b", "\"q\"", "back\\slash", "\xC3\xA9t\xC3\xA9",
                     "-x"};
  ScopedEnv env("OUT", out.c_str());
  const auto outcome = platform::run_and_wait("/bin/sh", "velmora-sh", args);
  ASSERT_TRUE(outcome.status) << (outcome.failure ? outcome.failure->text : "");
  std::string expected = "velmora-sh";
  expected.push_back('\0');
  for (const std::string& arg : args) expected.append(arg).push_back('\0');
  EXPECT_EQ(slurp(out), expected);
}

// A host that asks for the stops of its script, one per poll, then nothing.
class ScriptedHost final : public velmora::launcher::SupervisionHost {
 public:
  explicit ScriptedHost(std::vector<velmora::launcher::StopRequest> script)
      : script_(std::move(script)) {}

 private:
  velmora::launcher::StopRequest poll() override {
    if (next_ == script_.size()) return velmora::launcher::StopRequest::none;
    return script_[next_++];
  }
  std::vector<velmora::launcher::StopRequest> script_;
  std::size_t next_ = 0;
};

TEST(Supervision, StopsEscalateAndTheChildIsAlwaysReaped) {
  using velmora::launcher::StopRequest;
  constexpr auto none = StopRequest::none, interrupt = StopRequest::interrupt,
                 terminate = StopRequest::terminate;
  // A child that ends only when the supervisor makes it (or after 30 s).
  const std::string loop =
      "; echo > \"$READY\"; i=0; while [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done";
  struct Case {
    std::string traps;
    std::vector<StopRequest> requests;  // one per poll, after the child started
    ExitStatus status;
  };
  const std::vector<Case> cases = {
      {"trap 'exit 130' INT", {none, interrupt}, {ExitStatus::Kind::exited, 130}},
      {"trap 'exit 143' TERM", {terminate}, {ExitStatus::Kind::exited, 143}},
      // An interrupt the child ignores, then a second request: terminate.
      {"trap '' INT; trap 'exit 143' TERM",
       {interrupt, none, none, interrupt},
       {ExitStatus::Kind::exited, 143}},
      // Deaf to both: killed once the grace time is over.
      {"trap '' INT TERM", {interrupt, terminate}, {ExitStatus::Kind::signalled, 9}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path ready = dir.path() / "ready";
    ScopedEnv env("READY", ready.c_str());
    platform::ChildProcess child;
    ASSERT_EQ(child.start("/bin/sh", "sh", Args{"-c", c.traps + loop}), std::nullopt);
    while (!fs::exists(ready))
      ASSERT_EQ(child.wait_for(10).state, platform::WaitOutcome::State::running);
    ScriptedHost host(c.requests);
    const auto outcome = velmora::launcher::supervise(child, host, {20, 300});
    ASSERT_EQ(outcome.state, platform::WaitOutcome::State::ended)
        << c.traps << outcome.failure.text;
    EXPECT_EQ(outcome.status.kind, c.status.kind) << c.traps;
    EXPECT_EQ(outcome.status.value, c.status.value) << c.traps;
    EXPECT_TRUE(host.stopped());
    EXPECT_FALSE(child.running());
  }
}

TEST(Supervision, ChildReapedElsewhereIsAFailureAndAnAbandonedChildIsKilled) {
  {
    platform::ChildProcess child;
    ASSERT_EQ(child.start("/bin/sh", "sh", Args{"-c", "exit 7"}), std::nullopt);
    ASSERT_EQ(::waitpid(-1, nullptr, 0) > 0, true);  // someone else reaps it
    const auto outcome = child.wait_for(1000);
    EXPECT_EQ(outcome.state, platform::WaitOutcome::State::failed);
    EXPECT_EQ(outcome.failure.text, "No child processes (os error 10)");
    EXPECT_EQ(outcome.failure.os_code, ECHILD);
  }
  {
    platform::ChildProcess child;
    ASSERT_EQ(child.start("/bin/sh", "sh", Args{"-c", "sleep 30"}), std::nullopt);
    EXPECT_EQ(child.wait_for(20).state, platform::WaitOutcome::State::running);
    platform::ChildProcess moved(std::move(child));
    EXPECT_FALSE(child.running());
    EXPECT_TRUE(moved.running());
  }  // destroyed while running: killed and reaped, so no child is left to wait for
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
