// POSIX implementation of the operating-system services.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "platform/os_file.hpp"
#include "platform/platform.hpp"
#include "text/utf8.hpp"

extern char** environ;

namespace velmora::platform {
namespace {

// strerror_r comes in two shapes: XSI (returns int, fills the buffer) and GNU
// (returns the message, which may or may not be the buffer).
[[maybe_unused]] const char* message_of(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* message_of(const char* result, const char*) { return result; }

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

#ifndef __linux__
// Spawn attributes, destroyed on every path out of the launch.
class SpawnAttributes {
 public:
  SpawnAttributes() noexcept { error_ = posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() {
    if (error_ == 0) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  int init_error() const noexcept { return error_; }
  posix_spawnattr_t* get() noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  int error_;
};
#endif

bool is_executable_file(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::access(path.c_str(), X_OK) == 0;
}

// The search list: PATH, or the system's default when PATH is unset.
std::string search_path() {
  if (const char* path = std::getenv("PATH")) return path;
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/bin:/usr/bin";
  std::string path(size, '\0');
  ::confstr(_CS_PATH, path.data(), size);
  path.resize(size - 1);
  return path;
}

// The system's messages come in the encoding of the locale the host set
// (Python's locale.setlocale, for one): decoded from it into UTF-8, as the
// interpreter decodes them, so that every locale gives valid UTF-8 text. A
// byte the locale cannot decode is written as \xNN.
std::string from_locale(const char* message) {
  const std::size_t length = std::strlen(message);
  std::string out;
  out.reserve(length);
  std::mbstate_t state{};
  for (std::size_t at = 0; at < length;) {
    const auto byte = static_cast<unsigned char>(message[at]);
    if (byte < 0x80 && std::mbsinit(&state)) {
      out += static_cast<char>(byte);
      ++at;
      continue;
    }
    char32_t point = 0;
    const std::size_t used = std::mbrtoc32(&point, message + at, length - at, &state);
    if (used == 0 || used > length - at || point > 0x10FFFF ||
        (point >= 0xD800 && point < 0xE000)) {
      static constexpr char kHex[] = "0123456789abcdef";
      out.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
      state = std::mbstate_t{};
      ++at;
      continue;
    }
    text::append_utf8(out, point);
    at += used;
  }
  return out;
}

}  // namespace

std::string render_os_error(OsErrorCode code) {
  char buffer[256] = {};
  const char* message = message_of(::strerror_r(code, buffer, sizeof buffer), buffer);
  std::string text =
      message != nullptr ? from_locale(message) : "Unknown error " + std::to_string(code);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                           text.back() == '\t' || text.back() == '\v' || text.back() == '\f')) {
    text.pop_back();
  }
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

// ---- files ----------------------------------------------------------------

namespace detail {

OsFile::~OsFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::optional<text::Failure> OsFile::open(std::string_view path) {
  if (has_nul(path)) return os_failure(text::FailureKind::read, EINVAL);
  const std::string terminated(path);
  // Opened without blocking, so that a FIFO with no writer cannot stall the
  // open; a terminal does not become the controlling one.
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_failure(text::FailureKind::read, errno);
  handle_ = fd;

  struct stat info {};
  if (::fstat(fd, &info) != 0) return os_failure(text::FailureKind::read, errno);
  // Only regular files are read (a directory goes on to fail in read() with
  // the system's own error). FIFOs, sockets and devices are refused before a
  // byte is read: /dev/zero or a pipe fed forever would otherwise fill memory
  // until the allocation fails, and a FIFO could block the call for good.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
    return os_failure(text::FailureKind::read, EINVAL);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    return os_failure(text::FailureKind::read, errno);
  reported_ = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return std::nullopt;
}

ReadStep OsFile::read(char* into, std::size_t capacity) noexcept {
  ReadStep step;
  const ssize_t n = ::read(static_cast<int>(handle_), into, capacity);
  if (n >= 0) {
    step.bytes = static_cast<std::size_t>(n);
  } else if (errno == EINTR) {
    step.interrupted = true;
  } else {
    step.error = errno;
  }
  return step;
}

// Large buffers are backed by huge pages where the system allows it: filling
// a fresh 100 MB buffer otherwise costs tens of thousands of page faults,
// more than the read itself.
void prepare_large_buffer(text::ByteBuffer& buffer) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (buffer.capacity() < 2 * kHugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t stop = (start + buffer.capacity()) & ~(kHugePage - 1);
  if (stop > aligned) ::madvise(buffer.data() + (aligned - start), stop - aligned, MADV_HUGEPAGE);
#else
  (void)buffer;
#endif
}

}  // namespace detail

bool path_exists(std::string_view path) {
  if (has_nul(path)) return false;
  const std::string terminated(path);
  struct stat info {};
  return ::stat(terminated.c_str(), &info) == 0;
}

std::optional<std::string> find_program(std::string_view name) {
  if (name.empty() || has_nul(name)) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    std::string path(name);
    if (is_executable_file(path)) return path;
    return std::nullopt;
  }
  const std::string directories = search_path();
  std::size_t start = 0;
  for (;;) {
    const std::size_t stop = directories.find(':', start);
    const std::size_t length = (stop == std::string::npos ? directories.size() : stop) - start;
    if (length > 0) {
      std::string candidate = directories.substr(start, length);
      if (candidate.back() != '/') candidate += '/';
      candidate.append(name);
      if (is_executable_file(candidate)) return candidate;
    }
    if (stop == std::string::npos) break;
    start = stop + 1;
  }
  return std::nullopt;
}

// ---- child processes ----------------------------------------------------------

namespace {

// A descriptor that becomes readable when the process ends (Linux 5.3 and
// later), so that a bounded wait needs no polling; -1 where there is none.
int open_process_descriptor(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd >= 0 ? static_cast<int>(fd) : -1;
#else
  (void)pid;
  return -1;
#endif
}

// The child starts with no blocked signals and with the default action for
// the signals an interpreter commonly ignores (a broken pipe must end a
// writer as usual). Handled signals are reset by exec itself; the
// environment, working directory and standard descriptors are inherited.
#ifdef __linux__

// Started with vfork, so that between fork and exec the child can ask the
// kernel for SIGKILL when the thread that started it ends: a caller killed
// outright, or an interpreter exiting while a call waits, takes its trainer
// with it. The calling thread waits in the call for the child's whole life,
// so it ends only with the process. The child borrows the parent's memory
// until exec: it makes system calls only, with every signal blocked until
// each handled one is back to its default, and reports a failed exec in
// `failure`. Returns 0 or the errno that kept the child from starting.
// The analyzer flags vfork itself and every step of the child; the steps
// here are the ones a vfork child may take (system calls, no allocation, one
// store to report a failed exec).
// NOLINTBEGIN(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)
int spawn_child(pid_t& pid, const char* program, char* const* argv) noexcept {
  sigset_t all, previous;
  sigfillset(&all);
  if (const int error = ::pthread_sigmask(SIG_SETMASK, &all, &previous)) return error;
  const pid_t parent = ::getpid();
  volatile int failure = 0;
  const pid_t child = ::vfork();
  if (child == 0) {
    struct sigaction reset {};
    reset.sa_handler = SIG_DFL;
    sigemptyset(&reset.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
      struct sigaction current {};
      if (number == SIGKILL || number == SIGSTOP || ::sigaction(number, nullptr, &current) != 0)
        continue;
      const bool handled = current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
      if (handled || number == SIGPIPE || number == SIGXFSZ) ::sigaction(number, &reset, nullptr);
    }
    // A parent already gone would never send the signal: end at once.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, argv, environ);
    failure = errno;
    ::_exit(127);
  }
  const int error = child < 0 ? errno : failure;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return error;
  if (error != 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return error;
  }
  pid = child;
  return 0;
}
// NOLINTEND(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)

#else

// Elsewhere the child is not tied to its caller's life: a caller killed
// outright leaves its trainer running.
int spawn_child(pid_t& pid, const char* program, char* const* argv) noexcept {
  SpawnAttributes attributes;
  if (attributes.init_error() != 0) return attributes.init_error();
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  int error = posix_spawnattr_setsigmask(attributes.get(), &empty);
  if (error == 0) error = posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  if (error == 0) {
    error = posix_spawnattr_setflags(
        attributes.get(), static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }
  if (error == 0) error = posix_spawn(&pid, program, nullptr, attributes.get(), argv, environ);
  return error;
}

#endif

}  // namespace

ChildProcess::~ChildProcess() {
  if (waitable_) {
    // Only reached when the owner gave up on the child (an unexpected path
    // out of the call): it must not outlive its owner or stay a zombie.
    ::kill(static_cast<pid_t>(id_), SIGKILL);
    int status = 0;
    while (::waitpid(static_cast<pid_t>(id_), &status, 0) < 0 && errno == EINTR) {
    }
  }
  release();
}

void ChildProcess::release() noexcept {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  waitable_ = false;
}

std::optional<text::Failure> ChildProcess::start(const std::string& program,
                                                 std::string_view program_name,
                                                 std::span<const std::string> args) {
  if (waitable_) return os_failure(text::FailureKind::launch, EBUSY);
  const std::string name(program_name);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(name.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (const int error = spawn_child(pid, program.c_str(), argv.data())) {
    return os_failure(text::FailureKind::launch, error);
  }
  id_ = pid;
  handle_ = open_process_descriptor(pid);
  waitable_ = true;
  return std::nullopt;
}

WaitOutcome ChildProcess::wait_for(std::uint32_t timeout_ms) {
  WaitOutcome outcome;
  if (!waitable_) {
    outcome.state = WaitOutcome::State::failed;
    outcome.failure = os_failure(text::FailureKind::launch, ECHILD);
    return outcome;
  }
  const auto pid = static_cast<pid_t>(id_);
  // Reaps the child if it has ended; false while it runs.
  const auto reap = [&] {
    int status = 0;
    pid_t waited;
    do {
      waited = ::waitpid(pid, &status, WNOHANG);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) return false;
    if (waited < 0) {
      // Reaped by someone else (another thread, or SIGCHLD ignored): its
      // status is gone, and only the failure can be reported.
      outcome.state = WaitOutcome::State::failed;
      outcome.failure = os_failure(text::FailureKind::launch, errno);
    } else {
      outcome.state = WaitOutcome::State::ended;
      if (WIFSIGNALED(status)) {
        outcome.status.kind = ExitStatus::Kind::signalled;
        outcome.status.value = static_cast<std::uint32_t>(WTERMSIG(status));
      } else {
        outcome.status.kind = ExitStatus::Kind::exited;
        outcome.status.value = static_cast<std::uint32_t>(WEXITSTATUS(status));
      }
    }
    release();
    return true;
  };
  // With a process descriptor, poll says whether the child has ended;
  // without one, ask waitpid first.
  if (handle_ < 0 && (reap() || timeout_ms == 0)) return outcome;

  if (handle_ >= 0) {
    pollfd ready{static_cast<int>(handle_), POLLIN, 0};
    const int polled =
        ::poll(&ready, 1, static_cast<int>(timeout_ms > 0x7fffffffu ? 0x7fffffffu : timeout_ms));
    // A signal ends the wait early so that its handler can act at once.
    if ((polled < 0 && errno == EINTR) || polled == 0) return outcome;
  } else {
    // No process descriptor: short naps, growing to 20 ms, until the time is up.
    std::uint32_t waited_ms = 0;
    std::uint32_t nap_ms = 1;
    while (waited_ms < timeout_ms) {
      const std::uint32_t step = nap_ms < timeout_ms - waited_ms ? nap_ms : timeout_ms - waited_ms;
      timespec nap{static_cast<time_t>(step / 1000), static_cast<long>(step % 1000) * 1'000'000L};
      if (::nanosleep(&nap, nullptr) != 0 && errno == EINTR) return outcome;
      waited_ms += step;
      if (reap()) return outcome;
      if (nap_ms < 20) nap_ms *= 2;
    }
    return outcome;
  }
  reap();
  return outcome;
}

void ChildProcess::interrupt() noexcept {
  if (waitable_) ::kill(static_cast<pid_t>(id_), SIGINT);
}

void ChildProcess::terminate() noexcept {
  if (waitable_) ::kill(static_cast<pid_t>(id_), SIGTERM);
}

void ChildProcess::kill() noexcept {
  if (waitable_) ::kill(static_cast<pid_t>(id_), SIGKILL);
}

[[noreturn]] void fail_fast() noexcept {
  // Immediate abnormal end: no atexit handlers, no flushing, no destructors.
  // SIGABRT is made fatal first, in case the host installed a handler or
  // blocked it, and abort() follows as the last resort.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGABRT, &action, nullptr);
  sigset_t abort_only;
  sigemptyset(&abort_only);
  sigaddset(&abort_only, SIGABRT);
  ::pthread_sigmask(SIG_UNBLOCK, &abort_only, nullptr);
  ::raise(SIGABRT);
  std::abort();
}

}  // namespace velmora::platform
