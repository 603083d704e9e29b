// Launch of the training program: `cargo run` of the trainer's manifest with
// the request's values, waited for to the end.
#pragma once

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

// Runs the trainer for `request` with the build-time manifest path and waits
// for it. Empty on exit status 0; otherwise the complete RuntimeError message.
std::optional<std::string> run_trainer_process(const TrainingRequest& request);

}  // namespace velmora::launcher
