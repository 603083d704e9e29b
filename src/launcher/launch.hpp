// Launch of the training program: `cargo run` of the trainer's manifest with
// the request's values, waited for to the end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/training_request.hpp"
#include "platform/platform.hpp"

namespace velmora::launcher {

inline constexpr std::string_view kLaunchFailurePrefix = "Failed to launch train_generic command: ";
inline constexpr std::string_view kExitFailurePrefix = "train_generic exited with status: ";
inline constexpr std::string_view kProgramNotFound = "program not found";
inline constexpr std::string_view kNulInArgument = "nul byte found in provided data";
inline constexpr std::string_view kTrainerProgram = "cargo";

// The arguments after the program name, in order: run, --manifest-path,
// <manifest>, --release, --bin, train_generic, --, --config, <config_path>,
// --output-dir, <output_dir>, --steps, <steps>, --seed, <seed>, and
// --base-ckpt, <base_ckpt> when a base checkpoint is present (even if empty).
std::vector<std::string> trainer_arguments(const TrainingRequest& request,
                                           std::string_view manifest_path);

// "exit code: N" (N in decimal, or "0x" and lower-case hex when bit 31 is
// set); a child ended by a signal is "signal: N (SIGNAME)", or "signal: N"
// for a signal without a known name.
std::string render_exit_status(const platform::ExitStatus& status);

// What the caller wants done with a running trainer, asked between waits.
enum class StopRequest {
  none,       // keep waiting
  interrupt,  // as Ctrl-C: interrupt the trainer, then wait for it to end
  terminate,  // end the trainer: terminate it, kill it after the grace time
};

// The caller's side of a trainer run: how to wait (a host may release a lock
// around the wait) and, between waits, whether to stop the trainer. As a
// Cancellation it also lets a long read give way.
class SupervisionHost : public platform::Cancellation {
 public:
  // Waits for the child for at most `timeout_ms`; the default waits directly.
  virtual platform::WaitOutcome wait(platform::ChildProcess& child, std::uint32_t timeout_ms) {
    return child.wait_for(timeout_ms);
  }
  // Asks the host what to do now, and remembers a request to stop.
  StopRequest check() {
    const StopRequest request = poll();
    if (request != StopRequest::none) stopped_ = true;
    return request;
  }
  // True once the host has asked for a stop.
  bool stopped() const noexcept { return stopped_; }
  bool requested() override { return check() != StopRequest::none; }

 protected:
  SupervisionHost() = default;

 private:
  virtual StopRequest poll() = 0;
  bool stopped_ = false;
};

// A host that never asks for a stop (native callers without signals to serve).
SupervisionHost& unattended_host() noexcept;

struct SupervisionTimes {
  std::uint32_t slice_ms = 50;     // longest wait before the host is asked again
  std::uint32_t grace_ms = 5'000;  // from terminate to kill
};

// Waits for `child` to end, asking `host` after every slice. The first
// interrupt request interrupts the child and the wait goes on; a second
// request, or a terminate request, terminates it, and it is killed when it
// outlives the grace time. Returns only once the child has ended (or can no
// longer be waited for).
platform::WaitOutcome supervise(platform::ChildProcess& child, SupervisionHost& host,
                                SupervisionTimes times = {});

// Runs the trainer for `request` with the build-time manifest path and
// supervises it to its end. Empty on exit status 0; otherwise the failure
// with its complete message: of kind launch (it could not be started or
// waited for), exit (a status other than 0) or stopped (the host asked for a
// stop; the status that caused is not the trainer's verdict).
std::optional<text::Failure> run_trainer_process(const TrainingRequest& request,
                                                 SupervisionHost& host = unattended_host());

}  // namespace velmora::launcher
