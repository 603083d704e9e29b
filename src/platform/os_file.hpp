// The two per-system primitives under the whole-file read: open a regular
// file for reading, and read from it. posix.cpp and windows.cpp implement
// them; common.cpp writes the read loop (sizing, growth, out of memory,
// cancellation) once over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace velmora::platform::detail {

// The result of one read: bytes read (0 at the end of the file), or an OS
// error, or an interruption by a signal before anything was read.
struct ReadStep {
  std::size_t bytes = 0;
  OsErrorCode error = 0;
  bool interrupted = false;
};

class OsFile {
 public:
  OsFile() noexcept = default;
  ~OsFile();
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  // Opens `path` read-only, sharing it with other processes, and refuses
  // anything but a regular file (a directory is let through, to fail in its
  // first read with the system's own error). Empty on success, else the
  // failure, of kind read.
  std::optional<text::Failure> open(std::string_view path);
  // The length the system reports, 0 when it reports none.
  std::uint64_t reported_size() const noexcept { return reported_; }
  // Reads up to `capacity` bytes into `into`.
  ReadStep read(char* into, std::size_t capacity) noexcept;

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t reported_ = 0;
};

// A hint that a large buffer is about to be filled (POSIX: huge pages).
void prepare_large_buffer(text::ByteBuffer& buffer) noexcept;

}  // namespace velmora::platform::detail
