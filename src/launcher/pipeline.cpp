#include "launcher/pipeline.hpp"

#include <algorithm>
#include <cstring>

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

// `failure` with the message's prefix before its own text.
text::Failure prefixed(std::string_view prefix, text::Failure failure) {
  failure.text.insert(0, prefix);
  return failure;
}

// The document check of a UTF-8 text.
std::optional<text::Failure> check_document(std::string_view text, DocumentFormat format) {
  const bool json = format == DocumentFormat::json;
  documents::CheckResult failed =
      json ? documents::check_json_document(text) : documents::check_yaml_document(text);
  if (!failed) return std::nullopt;
  return prefixed(json ? kInvalidJsonPrefix : kInvalidYamlPrefix, std::move(*failed));
}

text::Failure read_failure(std::string_view detail) {
  return text::failure(text::FailureKind::read, std::string(kReadPrefix).append(detail));
}

// A file handed to the document check in steps through a reused buffer,
// each step checked for UTF-8 first (a sequence cut by the step's end waits
// for the next). Any failure ends it: the whole read then finds and words
// what went wrong.
class FileTextSource final : public documents::TextSource {
 public:
  // The most one step holds; a smaller file takes a buffer of its length
  // (one without a reported length, the whole step).
  static constexpr std::size_t kStep = std::size_t{256} << 10;
  // Asked between this many bytes read, and whenever a signal interrupts.
  static constexpr std::uint64_t kCancelEvery = std::uint64_t{16} << 20;

  FileTextSource(platform::FileReader& file, platform::Cancellation* cancel)
      : file_(file), cancel_(cancel) {}

  // False when the buffer could not be had or the first bytes not read.
  bool start() noexcept {
    const std::uint64_t reported = file_.reported_size();
    const std::size_t size =
        reported != 0 && reported < kStep ? static_cast<std::size_t>(reported) + 64 : kStep;
    if (!buffer_.reserve(size)) return false;
    return fill_or_fail();
  }
  bool starts_with_bom() const noexcept {
    return end_ >= 3 && std::string_view(buffer_.data(), 3) == "\xEF\xBB\xBF";
  }
  bool cancelled() const noexcept { return cancelled_; }

  bool read(unsigned char* into, std::size_t capacity, std::size_t& got) noexcept override {
    got = 0;
    if (begin_ == end_ && !fill_or_fail()) return false;
    got = std::min(capacity, end_ - begin_);
    std::memcpy(into, buffer_.data() + begin_, got);
    begin_ += got;
    return true;
  }

 private:
  // fill(), an exception (a read error's text that could not be had) being
  // a failure: libyaml, which calls read(), cannot pass one on.
  bool fill_or_fail() noexcept {
    try {
      return fill();
    } catch (...) {
      return false;
    }
  }

  // Refills the buffer with checked text after the held-back bytes; false
  // on any failure. At the end of the file nothing is checked and begin_ ==
  // end_, unless bytes were held back (a truncated sequence: a failure).
  bool fill() {
    char* const data = buffer_.data();
    std::memmove(data, data + end_, held_);
    std::size_t size = held_;
    begin_ = end_ = 0;
    held_ = 0;
    for (;;) {
      if (read_since_asked_ >= kCancelEvery) {
        read_since_asked_ = 0;
        if (cancel_ != nullptr && cancel_->requested()) {
          cancelled_ = true;
          return false;
        }
      }
      std::size_t got = 0;
      if (auto failure = file_.read(data + size, buffer_.capacity() - size, got, cancel_)) {
        cancelled_ = failure->kind == text::FailureKind::stopped;
        return false;
      }
      read_since_asked_ += got;
      size += got;
      if (got == 0) return size == 0;  // the end
      const std::size_t complete = text::utf8_complete_prefix({data, size});
      if (complete == 0) continue;  // only the start of a sequence so far
      if (!text::is_valid_utf8({data, complete})) return false;
      end_ = complete;
      held_ = size - complete;
      return true;
    }
  }

  platform::FileReader& file_;
  platform::Cancellation* cancel_;
  text::ByteBuffer buffer_;
  std::size_t begin_ = 0, end_ = 0;  // checked text not yet handed over
  std::size_t held_ = 0;             // bytes after end_ waiting for the rest of their sequence
  std::uint64_t read_since_asked_ = 0;
  bool cancelled_ = false;
};

}  // namespace

std::optional<DocumentFormat> format_of(std::string_view path) noexcept {
  if (path.ends_with(".json")) return DocumentFormat::json;
  if (path.ends_with(".yaml") || path.ends_with(".yml")) return DocumentFormat::yaml;
  return std::nullopt;
}

std::optional<text::Failure> read_config_text(std::string_view path, text::ByteBuffer& text,
                                              platform::Cancellation* cancel) {
  if (auto failure = platform::read_whole_file(path, text, cancel)) return failure;
  if (!text::is_valid_utf8(text.view())) {
    return text::failure(text::FailureKind::read, std::string(kInvalidUtf8));
  }
  return std::nullopt;
}

StreamedCheck check_file_streamed(std::string_view path, DocumentFormat format,
                                  platform::Cancellation* cancel) noexcept {
  if (cancel != nullptr && cancel->requested()) return StreamedCheck::cancelled;
  try {
    platform::FileReader file;
    if (file.open(path)) return StreamedCheck::undecided;
    FileTextSource source(file, cancel);
    if (source.start() &&
        (format == DocumentFormat::json
             ? documents::json_document_accepted(source)
             : documents::yaml_document_accepted(source, source.starts_with_bom()))) {
      return StreamedCheck::accepted;
    }
    return source.cancelled() ? StreamedCheck::cancelled : StreamedCheck::undecided;
  } catch (...) {  // out of memory: the whole read finds it again, and says so
    return StreamedCheck::undecided;
  }
}

const PipelineServices& default_pipeline_services() noexcept {
  static const PipelineServices services{&platform::path_exists, &read_config_text,
                                         &run_trainer_process, &check_file_streamed};
  return services;
}

std::optional<text::Failure> check_config_file(std::string_view path,
                                               const PipelineServices& services,
                                               platform::Cancellation* cancel) {
  if (!services.path_exists(path)) {
    return text::failure(text::FailureKind::not_found, std::string(kNotFoundPrefix).append(path));
  }
  // A file is first checked as it is read: an accepted one is never held
  // whole. Anything else is read whole and checked again from the start,
  // which finds and words the failure in the order below.
  const std::optional<DocumentFormat> named = format_of(path);
  if (services.check_streamed != nullptr && named) {
    switch (services.check_streamed(path, *named, cancel)) {
      case StreamedCheck::accepted:
        return std::nullopt;
      case StreamedCheck::cancelled:
        return platform::cancelled();
      case StreamedCheck::undecided:
        break;
    }
  }
  // The text lives only until its document check is done.
  text::ByteBuffer text;
  if (auto failure = services.read_config_text(path, text, cancel)) {
    if (failure->kind == text::FailureKind::stopped) return failure;
    return prefixed(kReadPrefix, std::move(*failure));
  }
  if (!named) return text::failure(text::FailureKind::name, std::string(kBadExtension));
  return check_document(text.view(), *named);
}

std::optional<text::Failure> check_config_text(std::string_view text, DocumentFormat format) {
  if (!text::is_valid_utf8(text)) return read_failure(kInvalidUtf8);
  return check_document(text, format);
}

std::optional<text::Failure> run_training_pipeline(const TrainingRequest& request,
                                                   const PipelineServices& services,
                                                   SupervisionHost& host) {
  if (auto failed = check_config_file(request.config_path, services, &host)) return failed;
  if (host.check() != StopRequest::none) return platform::cancelled();
  if (auto failed = services.run_trainer(request, host)) return failed;
  if (host.stopped()) return platform::cancelled();
  return std::nullopt;
}

}  // namespace velmora::launcher
