// The train_from_config pipeline after its arguments are converted: existence,
// read and UTF-8 check, extension, document check, launch.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "launcher/training_request.hpp"
#include "text/byte_buffer.hpp"

namespace velmora::launcher {

// Which built-in exception a failure is reported as.
enum class FailureKind {
  file_not_found,  // FileNotFoundError
  read_failed,     // OSError itself, never a subclass
  invalid_value,   // ValueError
  runtime,         // RuntimeError
};

struct PipelineFailure {
  FailureKind kind;
  std::string message;  // complete, prefix included
};

inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

enum class DocumentFormat { json, yaml };

// By the ending of the path text, case-sensitively: ".json" is JSON;
// ".yaml" or ".yml" is YAML; anything else has no format.
std::optional<DocumentFormat> format_of(std::string_view path) noexcept;

// Reads the whole file at `path` into `text` and checks that it is UTF-8.
// Empty on success; otherwise the error text (a read error takes precedence).
std::optional<std::string> read_config_text(std::string_view path, platform::ByteBuffer& text);

// The services the pipeline uses; tests substitute their own.
struct PipelineServices {
  bool (*path_exists)(std::string_view path);
  std::optional<std::string> (*read_config_text)(std::string_view path, platform::ByteBuffer& text);
  std::optional<std::string> (*run_trainer)(const TrainingRequest& request);
};
const PipelineServices& default_pipeline_services() noexcept;

// Runs the request's steps in order; the first failing step decides the
// failure. Empty when the trainer ran and exited with status 0.
std::optional<PipelineFailure> run_training_pipeline(
    const TrainingRequest& request, const PipelineServices& services = default_pipeline_services());

}  // namespace velmora::launcher
