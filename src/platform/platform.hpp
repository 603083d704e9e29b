// The operating-system services the module uses, behind one interface.
// Implemented by posix.cpp and windows.cpp; exactly one is built per target.
// All texts are UTF-8; the Windows implementation converts to and from UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/byte_buffer.hpp"
#include "text/failure.hpp"

namespace velmora::platform {

// An operating-system error code: errno on POSIX, GetLastError() on Windows.
using OsErrorCode = std::int32_t;

// The system's message for `code` with trailing white space removed, then
// " (os error <code>)"; e.g. "No such file or directory (os error 2)".
std::string render_os_error(OsErrorCode code);

// A failure of `kind` with the system's `code` and its rendered text.
text::Failure os_failure(text::FailureKind kind, OsErrorCode code);

// Existence test: true when the metadata of `path` can be obtained, following
// symbolic links (directories included). False for every failure, including a
// path holding NUL or one that cannot be converted to the system's encoding.
bool path_exists(std::string_view path);

// Asked between the steps of a long operation whether the caller wants it
// abandoned (for instance because a signal handler raised an exception).
class Cancellation {
 public:
  virtual ~Cancellation() = default;
  virtual bool requested() = 0;

 protected:
  Cancellation() = default;
  Cancellation(const Cancellation&) = default;
  Cancellation(Cancellation&&) = default;
  Cancellation& operator=(const Cancellation&) = default;
  Cancellation& operator=(Cancellation&&) = default;
};

// The failure of an operation abandoned at the caller's request: of kind
// stopped (the caller knows why).
text::Failure cancelled();

// Reads the whole file at `path` into `out` (replacing its contents), opened
// read-only while letting other processes read, write or delete it. The buffer
// starts at the reported file length and grows if the file is longer. Only
// regular (disk) files are read: FIFOs, sockets, devices, consoles and pipes
// are refused with the system's invalid-argument text, without blocking and
// before any read, as their contents may never end. The file is read in steps;
// between steps, and whenever a signal interrupts a read, `cancel` (when
// given) is asked, and a request ends the read with cancelled(). On failure
// returns it: an OS error, "out of memory" (both of kind read) or cancelled().
std::optional<text::Failure> read_whole_file(std::string_view path, text::ByteBuffer& out,
                                             Cancellation* cancel = nullptr);

namespace detail {
class OsFile;
}  // namespace detail

// A file read in steps, for callers that need no more of it at once: opened
// and refused as read_whole_file opens and refuses it.
class FileReader {
 public:
  FileReader();
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Empty on success, else the failure (of kind read): an OS error or "out of memory".
  std::optional<text::Failure> open(std::string_view path);
  // After a successful open: reads up to `capacity` bytes into `into`; `got`
  // is 0 at the end of the file. A signal that interrupts the read asks
  // `cancel` (when given), and the read goes on unless it asks to stop
  // (cancelled()). Empty on success, else the failure.
  std::optional<text::Failure> read(char* into, std::size_t capacity, std::size_t& got,
                                    Cancellation* cancel);
  // After a successful open: the length the system reports, 0 when none.
  std::uint64_t reported_size() const noexcept;

 private:
  std::unique_ptr<detail::OsFile> file_;
};

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

// Result of running a child: its status, or the failure (of kind launch)
// that kept it from starting or from being waited for.
struct RunOutcome {
  std::optional<ExitStatus> status;
  std::optional<text::Failure> failure;
};

// What a bounded wait for a child found.
struct WaitOutcome {
  enum class State {
    running,  // still running when the wait ended (time up, or a signal arrived)
    ended,    // ended and reaped: `status` tells how
    failed,   // could not be waited for (e.g. reaped by someone else): `failure`
  };
  State state = State::running;
  ExitStatus status;
  text::Failure failure;  // of kind launch
};

// One child process, started with the caller's standard streams, environment
// and working directory. Move-only. The child is always reaped: a child still
// running when its owner goes away is killed and waited for, so no process or
// handle is ever left behind. Nor does it outlive the caller's process: on
// Linux the child is killed (SIGKILL) when the thread that started it ends,
// which, as that thread waits for the child, happens only when the process
// itself ends; on Windows a job object ends the child and its descendants
// when the caller's process ends. Other systems have no such tie.
class ChildProcess {
 public:
  ChildProcess() noexcept = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (a path from find_program) with argv[0] `program_name`
  // and then `args`, each arriving unchanged as one argument. Empty on
  // success; otherwise the failure, of kind launch (nothing was started).
  // Arguments must not contain NUL.
  std::optional<text::Failure> start(const std::string& program, std::string_view program_name,
                                     std::span<const std::string> args);

  // Waits at most `timeout_ms` milliseconds for the child to end. Returns
  // early, still running, when a signal interrupts the wait, so that the
  // caller can act on it at once.
  WaitOutcome wait_for(std::uint32_t timeout_ms);

  // Asks the child to stop as a terminal's Ctrl-C would (POSIX: SIGINT;
  // Windows: nothing more, the console's Ctrl-C reaches every process on it).
  void interrupt() noexcept;
  // Asks the child to end (POSIX: SIGTERM; Windows: TerminateProcess).
  void terminate() noexcept;
  // Ends the child at once (POSIX: SIGKILL; Windows: TerminateProcess).
  void kill() noexcept;

  // True between a successful start and the end of the child being seen.
  bool running() const noexcept;

 private:
  void release() noexcept;
  // POSIX: the process id and a process descriptor (or -1); Windows: the
  // process handle in `handle_`, and in `job_` the job object (or -1) that
  // ends the child's tree when the caller's process ends.
  std::intptr_t id_ = -1;
  std::intptr_t handle_ = -1;
  std::intptr_t job_ = -1;
  bool waitable_ = false;
};

// Starts a child as ChildProcess::start does and waits for it without a time
// limit (an interrupting signal is noted by its handler and the wait resumes).
RunOutcome run_and_wait(const std::string& program, std::string_view program_name,
                        std::span<const std::string> args);

// Ends the process at once, abnormally, without any cleanup
// (Windows: __fastfail(FAST_FAIL_FATAL_APP_EXIT)).
[[noreturn]] void fail_fast() noexcept;

}  // namespace velmora::platform
