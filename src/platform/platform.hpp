// The operating-system services the module uses, behind one interface.
// Implemented by posix.cpp and windows.cpp; exactly one is built per target.
// All texts are UTF-8; the Windows implementation converts to and from UTF-16.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/byte_buffer.hpp"

namespace velmora::platform {

// An operating-system error code: errno on POSIX, GetLastError() on Windows.
using OsErrorCode = std::int32_t;

// The system's message for `code` with trailing white space removed, then
// " (os error <code>)"; e.g. "No such file or directory (os error 2)".
std::string render_os_error(OsErrorCode code);

// Existence test: true when the metadata of `path` can be obtained, following
// symbolic links (directories included). False for every failure, including a
// path holding NUL or one that cannot be converted to the system's encoding.
bool path_exists(std::string_view path);

// Reads the whole file at `path` into `out` (replacing its contents), opened
// read-only while letting other processes read, write or delete it. The buffer
// starts at the reported file length and grows if the file is longer. POSIX:
// FIFOs, sockets and devices are refused with EINVAL's text, without blocking
// and before any read, as their contents may never end. On failure returns
// the error text: a rendered OS error, or "out of memory".
std::optional<std::string> read_whole_file(std::string_view path, ByteBuffer& out);

// Searches for the program `name` as the platform launches programs (Windows:
// directory of the running executable, system directory, Windows directory,
// then PATH entries, ".exe" appended; POSIX: the PATH entries, empty ones
// skipped). Returns the full path of the program, or nothing when not found.
std::optional<std::string> find_program(std::string_view name);

// How a child process ended.
struct ExitStatus {
  enum class Kind { exited, signalled };
  Kind kind = Kind::exited;
  // The exit code (Windows: the 32-bit code; POSIX: 0..255), or the signal number.
  std::uint32_t value = 0;
};

// Result of running a child: its status, or the rendered OS error that kept it
// from starting or from being waited for.
struct RunOutcome {
  std::optional<ExitStatus> status;
  std::string error;
};

// Starts `program` (a path from find_program) with the arguments `args`
// (argv[0] is `program_name`; `args` follow it, each arriving unchanged as one
// argument), inheriting the caller's standard streams, environment and working
// directory, then waits for it without a time limit. The child is always
// reaped: no process is left behind. Arguments must not contain NUL.
RunOutcome run_and_wait(const std::string& program, std::string_view program_name,
                        std::span<const std::string> args);

// Ends the process at once, abnormally, without any cleanup
// (Windows: __fastfail(FAST_FAIL_FATAL_APP_EXIT)).
[[noreturn]] void fail_fast() noexcept;

}  // namespace velmora::platform
