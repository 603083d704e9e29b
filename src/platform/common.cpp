// The parts of the platform layer written once over the per-system primitives:
// the whole-file read and the unbounded wait for a child.
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "platform/os_file.hpp"
#include "platform/platform.hpp"

namespace velmora::platform {
namespace {

// Growth step for files whose length is unknown (/proc entries) or that grow.
constexpr std::size_t kUnknownSizeChunk = 8192;
// The most one read asks for, so that a cancellation is seen within one step.
constexpr std::size_t kReadStep = std::size_t{16} << 20;

text::Failure out_of_memory() { return text::failure(text::FailureKind::read, "out of memory"); }

}  // namespace

text::Failure os_failure(text::FailureKind kind, OsErrorCode code) {
  return {kind, render_os_error(code), code, std::nullopt};
}

text::Failure cancelled() { return text::failure(text::FailureKind::stopped, "cancelled"); }

std::optional<text::Failure> read_whole_file(std::string_view path, text::ByteBuffer& out,
                                             Cancellation* cancel) {
  out.set_size(0);
  detail::OsFile file;
  if (auto error = file.open(path)) return error;

  const std::uint64_t reported = file.reported_size();
  if (reported > std::numeric_limits<std::size_t>::max()) return out_of_memory();
  // Sized from the reported length; without one (empty files, /proc
  // entries) the loop probes before it allocates anything.
  if (reported > 0 && !out.reserve(static_cast<std::size_t>(reported))) return out_of_memory();
  detail::prepare_large_buffer(out);

  std::size_t size = 0;
  for (;;) {
    if (cancel != nullptr && cancel->requested()) return cancelled();
    if (size == out.capacity()) {
      // Full: probe for more before growing, so that a file of exactly the
      // reported length costs no reallocation.
      char probe[64];
      const detail::ReadStep step = file.read(probe, sizeof probe);
      if (step.interrupted) continue;
      if (step.error != 0) return os_failure(text::FailureKind::read, step.error);
      if (step.bytes == 0) break;
      const std::size_t capacity = out.capacity();
      const std::size_t grown =
          capacity + (capacity / 2 > kUnknownSizeChunk ? capacity / 2 : kUnknownSizeChunk);
      if (grown < capacity || !out.reserve(grown)) return out_of_memory();
      std::memcpy(out.data() + size, probe, step.bytes);
      size += step.bytes;
      out.set_size(size);
      continue;
    }
    const std::size_t room = out.capacity() - size;
    const detail::ReadStep step = file.read(out.data() + size, room < kReadStep ? room : kReadStep);
    if (step.interrupted) continue;
    if (step.error != 0) return os_failure(text::FailureKind::read, step.error);
    if (step.bytes == 0) break;
    size += step.bytes;
    out.set_size(size);
  }
  out.set_size(size);
  return std::nullopt;
}

FileReader::FileReader() = default;
FileReader::~FileReader() = default;

std::optional<text::Failure> FileReader::open(std::string_view path) {
  try {
    file_ = std::make_unique<detail::OsFile>();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
  return file_->open(path);
}

std::uint64_t FileReader::reported_size() const noexcept { return file_->reported_size(); }

std::optional<text::Failure> FileReader::read(char* into, std::size_t capacity, std::size_t& got,
                                              Cancellation* cancel) {
  got = 0;
  for (;;) {
    const detail::ReadStep step = file_->read(into, capacity);
    if (step.interrupted) {
      if (cancel != nullptr && cancel->requested()) return cancelled();
      continue;
    }
    if (step.error != 0) return os_failure(text::FailureKind::read, step.error);
    got = step.bytes;
    return std::nullopt;
  }
}

// The parts of ChildProcess that are the same on every system; the handle's
// meaning (and so the destructor and release) is the system's.
ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : id_(std::exchange(other.id_, -1)),
      handle_(std::exchange(other.handle_, -1)),
      job_(std::exchange(other.job_, -1)),
      waitable_(std::exchange(other.waitable_, false)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess gone(std::move(*this));
    id_ = std::exchange(other.id_, -1);
    handle_ = std::exchange(other.handle_, -1);
    job_ = std::exchange(other.job_, -1);
    waitable_ = std::exchange(other.waitable_, false);
  }
  return *this;
}

bool ChildProcess::running() const noexcept { return waitable_; }

RunOutcome run_and_wait(const std::string& program, std::string_view program_name,
                        std::span<const std::string> args) {
  RunOutcome outcome;
  ChildProcess child;
  if (auto error = child.start(program, program_name, args)) {
    outcome.failure = std::move(*error);
    return outcome;
  }
  for (;;) {
    WaitOutcome waited = child.wait_for(60'000);
    if (waited.state == WaitOutcome::State::ended) {
      outcome.status = waited.status;
      return outcome;
    }
    if (waited.state == WaitOutcome::State::failed) {
      outcome.failure = std::move(waited.failure);
      return outcome;
    }
  }
}

}  // namespace velmora::platform
