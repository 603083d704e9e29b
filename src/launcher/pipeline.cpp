#include "launcher/pipeline.hpp"

#include "documents/json/json_check.hpp"
#include "documents/yaml/yaml_check.hpp"
#include "launcher/launch.hpp"
#include "platform/platform.hpp"
#include "text/utf8.hpp"

namespace velmora::launcher {
namespace {

constexpr std::string_view kNotFoundPrefix = "Config file not found: ";
constexpr std::string_view kReadPrefix = "Failed to read config: ";
constexpr std::string_view kBadExtension = "Config must be .json or .yaml";
constexpr std::string_view kInvalidJsonPrefix = "Invalid JSON config: ";
constexpr std::string_view kInvalidYamlPrefix = "Invalid YAML config: ";

PipelineFailure failure(Stage stage, std::string_view prefix, std::string_view detail) {
  std::string message;
  message.reserve(prefix.size() + detail.size());
  message.append(prefix).append(detail);
  return PipelineFailure{std::move(message), stage, std::nullopt};
}

// The document check of a UTF-8 text.
std::optional<PipelineFailure> check_document(std::string_view text, DocumentFormat format) {
  const bool json = format == DocumentFormat::json;
  const documents::CheckResult error =
      json ? documents::check_json_document(text) : documents::check_yaml_document(text);
  if (!error) return std::nullopt;
  PipelineFailure failed = failure(json ? Stage::json : Stage::yaml,
                                   json ? kInvalidJsonPrefix : kInvalidYamlPrefix, *error);
  failed.position = error->position;
  return failed;
}

PipelineFailure cancelled() { return PipelineFailure{"cancelled", Stage::cancelled, std::nullopt}; }

}  // namespace

std::optional<DocumentFormat> format_of(std::string_view path) noexcept {
  if (path.ends_with(".json")) return DocumentFormat::json;
  if (path.ends_with(".yaml") || path.ends_with(".yml")) return DocumentFormat::yaml;
  return std::nullopt;
}

std::optional<std::string> read_config_text(std::string_view path, platform::ByteBuffer& text,
                                            platform::Cancellation* cancel) {
  if (auto error = platform::read_whole_file(path, text, cancel)) return error;
  if (!is_valid_utf8(text.view())) return std::string(kInvalidUtf8);
  return std::nullopt;
}

const PipelineServices& default_pipeline_services() noexcept {
  static const PipelineServices services{&platform::path_exists, &read_config_text,
                                         &run_trainer_process};
  return services;
}

std::optional<PipelineFailure> check_config_file(std::string_view path,
                                                 const PipelineServices& services,
                                                 platform::Cancellation* cancel) {
  if (!services.path_exists(path)) {
    return failure(Stage::exists, kNotFoundPrefix, path);
  }
  // The text lives only until its document check is done.
  platform::ByteBuffer text;
  if (auto error = services.read_config_text(path, text, cancel)) {
    if (*error == platform::kCancelled) return cancelled();
    return failure(Stage::read, kReadPrefix, *error);
  }
  const std::optional<DocumentFormat> format = format_of(path);
  if (!format) {
    return PipelineFailure{std::string(kBadExtension), Stage::name, std::nullopt};
  }
  return check_document(text.view(), *format);
}

std::optional<PipelineFailure> check_config_text(std::string_view text, DocumentFormat format) {
  if (!is_valid_utf8(text)) {
    return failure(Stage::read, kReadPrefix, kInvalidUtf8);
  }
  return check_document(text, format);
}

std::optional<PipelineFailure> run_training_pipeline(const TrainingRequest& request,
                                                     const PipelineServices& services,
                                                     SupervisionHost& host) {
  if (auto failed = check_config_file(request.config_path, services, &host)) return failed;
  if (host.check() != StopRequest::none) return cancelled();
  if (auto message = services.run_trainer(request, host)) {
    return PipelineFailure{std::move(*message), Stage::launch, std::nullopt};
  }
  if (host.stopped()) return cancelled();
  return std::nullopt;
}

}  // namespace velmora::launcher
