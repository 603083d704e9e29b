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
#include "text/failure.hpp"

namespace velmora::launcher {

inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

enum class DocumentFormat { json, yaml };

// By the ending of the path text, case-sensitively: ".json" is JSON;
// ".yaml" or ".yml" is YAML; anything else has no format.
std::optional<DocumentFormat> format_of(std::string_view path) noexcept;

// Reads the whole file at `path` into `text` and checks that it is UTF-8.
// Empty on success; otherwise the failure, its text without the message's
// prefix (a read error takes precedence).
// The read gives way when `cancel` asks for it.
std::optional<text::Failure> read_config_text(std::string_view path, text::ByteBuffer& text,
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
  std::optional<text::Failure> (*read_config_text)(std::string_view path, text::ByteBuffer& text,
                                                   platform::Cancellation* cancel) = nullptr;
  std::optional<text::Failure> (*run_trainer)(const TrainingRequest& request,
                                              SupervisionHost& host) = nullptr;
  // Tried first when given: an accepted file needs no more.
  StreamedCheck (*check_streamed)(std::string_view path, DocumentFormat format,
                                  platform::Cancellation* cancel) = nullptr;
};
const PipelineServices& default_pipeline_services() noexcept;

// The checks of a configuration file that come before any launch, in order:
// existence, read and UTF-8, name, document. Empty when the file passes them;
// otherwise the failure, its text the complete message (prefix included).
// Its kind tells the step: not_found, read, name, json or yaml (stopped when
// `cancel` asked for a stop).
std::optional<text::Failure> check_config_file(std::string_view path,
                                               const PipelineServices& services,
                                               platform::Cancellation* cancel = nullptr);

// The checks of a configuration text alone: UTF-8, then the document as
// `format`, with the same messages as check_config_file.
std::optional<text::Failure> check_config_text(std::string_view text, DocumentFormat format);

// Runs the request's steps in order; the first failing step decides the
// failure. Empty when the trainer ran and exited with status 0. The host is
// asked once more after the checks, before the trainer starts: a stop then
// (or during the read) ends the call with a failure of kind stopped, and no
// trainer runs.
std::optional<text::Failure> run_training_pipeline(
    const TrainingRequest& request, const PipelineServices& services = default_pipeline_services(),
    SupervisionHost& host = unattended_host());

}  // namespace velmora::launcher
