// The train_from_config pipeline after its arguments are converted: existence,
// read and UTF-8 check, extension, document check, launch.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "documents/check_result.hpp"
#include "launcher/launch.hpp"
#include "launcher/training_request.hpp"
#include "text/byte_buffer.hpp"

namespace velmora::launcher {

// Which built-in exception a failure is reported as.
enum class FailureKind {
  file_not_found,  // FileNotFoundError
  read_failed,     // OSError itself, never a subclass
  invalid_value,   // ValueError
  runtime,         // RuntimeError
  cancelled,       // the host asked for a stop; the host reports why
};

// The step that failed, finer than the exception class: the checks are also
// reported on their own (without launching), by kind of finding.
enum class Stage { exists, read, name, json, yaml, launch, cancelled };

struct PipelineFailure {
  std::string message;  // complete, prefix included
  Stage stage = Stage::launch;
  // A document failure's " at line L column C", as values; empty otherwise.
  std::optional<documents::TextPosition> position;

  // The exception class follows from the stage.
  FailureKind kind() const noexcept {
    switch (stage) {
      case Stage::exists:
        return FailureKind::file_not_found;
      case Stage::read:
        return FailureKind::read_failed;
      case Stage::name:
      case Stage::json:
      case Stage::yaml:
        return FailureKind::invalid_value;
      case Stage::cancelled:
        return FailureKind::cancelled;
      case Stage::launch:
        break;
    }
    return FailureKind::runtime;
  }
};

inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

enum class DocumentFormat { json, yaml };

// By the ending of the path text, case-sensitively: ".json" is JSON;
// ".yaml" or ".yml" is YAML; anything else has no format.
std::optional<DocumentFormat> format_of(std::string_view path) noexcept;

// Reads the whole file at `path` into `text` and checks that it is UTF-8.
// Empty on success; otherwise the error text (a read error takes precedence).
// The read gives way when `cancel` asks for it.
std::optional<std::string> read_config_text(std::string_view path, text::ByteBuffer& text,
                                            platform::Cancellation* cancel = nullptr);

// What checking a file as it is read found.
enum class StreamedCheck {
  accepted,   // readable, UTF-8 and an acceptable document
  undecided,  // anything else: the whole text must be read and checked
  cancelled,  // the caller asked the read to stop
};

// Reads the file at `path` in steps, checking UTF-8 and the document as
// `format` as it goes, without holding the text whole.
StreamedCheck check_file_streamed(std::string_view path, DocumentFormat format,
                                  platform::Cancellation* cancel = nullptr) noexcept;

// The services the pipeline uses; tests substitute their own.
struct PipelineServices {
  bool (*path_exists)(std::string_view path) = nullptr;
  std::optional<std::string> (*read_config_text)(std::string_view path, text::ByteBuffer& text,
                                                 platform::Cancellation* cancel) = nullptr;
  std::optional<std::string> (*run_trainer)(const TrainingRequest& request,
                                            SupervisionHost& host) = nullptr;
  // Tried first when given: an accepted file needs no more.
  StreamedCheck (*check_streamed)(std::string_view path, DocumentFormat format,
                                  platform::Cancellation* cancel) = nullptr;
};
const PipelineServices& default_pipeline_services() noexcept;

// The checks of a configuration file that come before any launch, in order:
// existence, read and UTF-8, name, document. Empty when the file passes them.
std::optional<PipelineFailure> check_config_file(std::string_view path,
                                                 const PipelineServices& services,
                                                 platform::Cancellation* cancel = nullptr);

// The checks of a configuration text alone: UTF-8, then the document as
// `format`, with the same messages as check_config_file.
std::optional<PipelineFailure> check_config_text(std::string_view text, DocumentFormat format);

// Runs the request's steps in order; the first failing step decides the
// failure. Empty when the trainer ran and exited with status 0. The host is
// asked once more after the checks, before the trainer starts: a stop then
// (or during the read) ends the call with `cancelled` and no trainer runs.
std::optional<PipelineFailure> run_training_pipeline(
    const TrainingRequest& request, const PipelineServices& services = default_pipeline_services(),
    SupervisionHost& host = unattended_host());

}  // namespace velmora::launcher
