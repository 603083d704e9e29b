#include "launcher/launch.hpp"

#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdint>

#include "build_config.hpp"
#include "text/format.hpp"

namespace velmora::launcher {
namespace {

using text::decimal;
using text::has_nul;

// A request value as the trainer's option and its argument: texts verbatim,
// numbers in decimal, an absent optional value not at all.
void append_option(std::vector<std::string>& args, std::string_view option,
                   const std::string& value) {
  args.emplace_back(option);
  args.push_back(value);
}
void append_option(std::vector<std::string>& args, std::string_view option, std::uint64_t value) {
  args.emplace_back(option);
  args.push_back(decimal(value));
}
void append_option(std::vector<std::string>& args, std::string_view option, std::uint32_t value) {
  append_option(args, option, std::uint64_t{value});
}
template <class T>
void append_option(std::vector<std::string>& args, std::string_view option,
                   const std::optional<T>& value) {
  if (value) append_option(args, option, *value);
}

// Names of the signals a trainer is commonly ended by; others print as a number.
const char* signal_name(std::uint32_t number) {
  switch (number) {
#define VELMORA_SIGNAL(name) \
  case name:                 \
    return #name;
#ifdef SIGHUP
    VELMORA_SIGNAL(SIGHUP)
#endif
    VELMORA_SIGNAL(SIGINT)
#ifdef SIGQUIT
    VELMORA_SIGNAL(SIGQUIT)
#endif
    VELMORA_SIGNAL(SIGILL)
#ifdef SIGTRAP
    VELMORA_SIGNAL(SIGTRAP)
#endif
    VELMORA_SIGNAL(SIGABRT)
#ifdef SIGBUS
    VELMORA_SIGNAL(SIGBUS)
#endif
    VELMORA_SIGNAL(SIGFPE)
#ifdef SIGKILL
    VELMORA_SIGNAL(SIGKILL)
#endif
#ifdef SIGUSR1
    VELMORA_SIGNAL(SIGUSR1)
#endif
    VELMORA_SIGNAL(SIGSEGV)
#ifdef SIGUSR2
    VELMORA_SIGNAL(SIGUSR2)
#endif
#ifdef SIGPIPE
    VELMORA_SIGNAL(SIGPIPE)
#endif
#ifdef SIGALRM
    VELMORA_SIGNAL(SIGALRM)
#endif
    VELMORA_SIGNAL(SIGTERM)
#ifdef SIGXCPU
    VELMORA_SIGNAL(SIGXCPU)
#endif
#ifdef SIGXFSZ
    VELMORA_SIGNAL(SIGXFSZ)
#endif
#ifdef SIGSYS
    VELMORA_SIGNAL(SIGSYS)
#endif
#undef VELMORA_SIGNAL
    default:
      return nullptr;
  }
}

}  // namespace

std::vector<std::string> trainer_arguments(const TrainingRequest& request,
                                           std::string_view manifest_path) {
  std::vector<std::string> args;
  args.reserve(7 + 2 * kRequestFieldCount);
  args.emplace_back("run");
  args.emplace_back("--manifest-path");
  args.emplace_back(manifest_path);
  args.emplace_back("--release");
  args.emplace_back("--bin");
  args.emplace_back("train_generic");
  args.emplace_back("--");
  for_each_request_field(
      [&](const auto& field) { append_option(args, field.option, request.*field.member); });
  return args;
}

std::string render_exit_status(const platform::ExitStatus& status) {
  if (status.kind == platform::ExitStatus::Kind::signalled) {
    // A child ended by a signal has no exit code; the signal's number and
    // name tell the user what happened (for instance a kill by the system).
    std::string text = "signal: " + decimal(status.value);
    if (const char* name = signal_name(status.value)) text.append(" (").append(name).append(")");
    return text;
  }
  if ((status.value & 0x80000000u) != 0) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, status.value, 16).ptr;
    return "exit code: 0x" + std::string(digits, end);
  }
  return "exit code: " + decimal(status.value);
}

namespace {

class UnattendedHost final : public SupervisionHost {
  StopRequest poll() override { return StopRequest::none; }
};

}  // namespace

SupervisionHost& unattended_host() noexcept {
  static UnattendedHost host;
  return host;
}

platform::WaitOutcome supervise(platform::ChildProcess& child, SupervisionHost& host,
                                SupervisionTimes times) {
  using Clock = std::chrono::steady_clock;
  enum class Phase { running, interrupted, terminating };
  Phase phase = Phase::running;
  Clock::time_point kill_at{};
  bool killed = false;
  for (;;) {
    platform::WaitOutcome waited = host.wait(child, times.slice_ms);
    if (waited.state != platform::WaitOutcome::State::running) return waited;
    const StopRequest request = host.check();
    if (request == StopRequest::interrupt && phase == Phase::running) {
      child.interrupt();
      phase = Phase::interrupted;
    } else if (request != StopRequest::none && phase != Phase::terminating) {
      child.terminate();
      phase = Phase::terminating;
      kill_at = Clock::now() + std::chrono::milliseconds(times.grace_ms);
    }
    if (phase == Phase::terminating && !killed && Clock::now() >= kill_at) {
      child.kill();
      killed = true;
    }
  }
}

namespace {

// A launch failure: the message's prefix before the failure's own text.
text::Failure launch_failure(text::Failure failure) {
  failure.kind = text::FailureKind::launch;
  failure.text.insert(0, kLaunchFailurePrefix);
  return failure;
}

}  // namespace

std::optional<text::Failure> run_trainer_process(const TrainingRequest& request,
                                                 SupervisionHost& host) {
  const std::vector<std::string> args =
      trainer_arguments(request, build_config::trainer_manifest_path);
  const std::optional<std::string> program = platform::find_program(kTrainerProgram);
  if (!program) {
    return launch_failure(text::failure(text::FailureKind::launch, std::string(kProgramNotFound)));
  }
  for (const std::string& arg : args) {
    if (has_nul(arg)) {
      return launch_failure(text::failure(text::FailureKind::launch, std::string(kNulInArgument)));
    }
  }
  platform::ChildProcess child;
  if (auto failure = child.start(*program, kTrainerProgram, args)) {
    return launch_failure(std::move(*failure));
  }
  const platform::WaitOutcome outcome = supervise(child, host);
  // A stop the host asked for is reported by the host; the status it caused
  // is not the trainer's verdict.
  if (host.stopped()) return text::failure(text::FailureKind::stopped, "stopped");
  if (outcome.state == platform::WaitOutcome::State::failed) {
    return launch_failure(outcome.failure);
  }
  if (outcome.status.kind == platform::ExitStatus::Kind::exited && outcome.status.value == 0) {
    return std::nullopt;
  }
  return text::failure(text::FailureKind::exit,
                       std::string(kExitFailurePrefix).append(render_exit_status(outcome.status)));
}

}  // namespace velmora::launcher
