// POSIX implementation of the operating-system services.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.hpp"

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

// Closes the descriptor on every path out of the read.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

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

// read(2), retried when a signal interrupts it.
ssize_t read_retrying(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

constexpr std::size_t kUnknownSizeChunk = 8192;

// Large buffers are backed by huge pages where the system allows it: filling
// a fresh 100 MB buffer otherwise costs tens of thousands of page faults,
// more than the read itself.
void prefer_huge_pages(ByteBuffer& buffer) {
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

}  // namespace

std::string render_os_error(OsErrorCode code) {
  char buffer[256] = {};
  const char* message = message_of(::strerror_r(code, buffer, sizeof buffer), buffer);
  std::string text = message != nullptr ? message : "Unknown error " + std::to_string(code);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                           text.back() == '\t' || text.back() == '\v' || text.back() == '\f')) {
    text.pop_back();
  }
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

bool path_exists(std::string_view path) {
  if (has_nul(path)) return false;
  const std::string terminated(path);
  struct stat info {};
  return ::stat(terminated.c_str(), &info) == 0;
}

std::optional<std::string> read_whole_file(std::string_view path, ByteBuffer& out) {
  out.set_size(0);
  if (has_nul(path)) return render_os_error(EINVAL);
  const std::string terminated(path);
  // Opened without blocking, so that a FIFO with no writer cannot stall the
  // open; a terminal does not become the controlling one.
  int raw;
  do {
    raw = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return render_os_error(errno);
  const FileDescriptor fd(raw);

  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return render_os_error(errno);
  // Only regular files are read (a directory goes on to fail in read() with
  // the system's own error). FIFOs, sockets and devices are refused before a
  // byte is read: /dev/zero or a pipe fed forever would otherwise fill memory
  // until the allocation fails, and a FIFO could block the call for good.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return render_os_error(EINVAL);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return render_os_error(errno);
  // The reported length sizes the buffer; files whose length is unknown
  // (/proc entries) or that grow are read in further chunks.
  const std::size_t reported = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  if (!out.reserve(reported > 0 ? reported : kUnknownSizeChunk))
    return std::string("out of memory");
  prefer_huge_pages(out);

  std::size_t size = 0;
  for (;;) {
    if (size == out.capacity()) {
      // Full: probe for more before growing, so that a file of exactly the
      // reported length costs no reallocation.
      char probe[64];
      const ssize_t n = read_retrying(fd.get(), probe, sizeof probe);
      if (n < 0) return render_os_error(errno);
      if (n == 0) break;
      const std::size_t grown =
          out.capacity() +
          (out.capacity() / 2 > kUnknownSizeChunk ? out.capacity() / 2 : kUnknownSizeChunk);
      if (grown < out.capacity() || !out.reserve(grown)) return std::string("out of memory");
      std::memcpy(out.data() + size, probe, static_cast<std::size_t>(n));
      size += static_cast<std::size_t>(n);
      out.set_size(size);
      continue;
    }
    const ssize_t n = read_retrying(fd.get(), out.data() + size, out.capacity() - size);
    if (n < 0) return render_os_error(errno);
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
    out.set_size(size);
  }
  out.set_size(size);
  return std::nullopt;
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

RunOutcome run_and_wait(const std::string& program, std::string_view program_name,
                        std::span<const std::string> args) {
  RunOutcome outcome;
  const std::string name(program_name);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(name.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  SpawnAttributes attributes;
  if (attributes.init_error() != 0) {
    outcome.error = render_os_error(attributes.init_error());
    return outcome;
  }
  // The child starts with no blocked signals and with the default action for
  // the signals an interpreter commonly ignores (a broken pipe must end a
  // writer as usual). Handled signals are reset by exec itself; the
  // environment, working directory and standard descriptors are inherited.
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
  pid_t pid = -1;
  if (error == 0)
    error = posix_spawn(&pid, program.c_str(), nullptr, attributes.get(), argv.data(), environ);
  if (error != 0) {
    outcome.error = render_os_error(error);
    return outcome;
  }

  // Wait for as long as the child runs; a handled signal interrupting the
  // wait is noted by its handler and the wait resumes.
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    outcome.error = render_os_error(errno);
    return outcome;
  }
  ExitStatus exit_status;
  if (WIFSIGNALED(status)) {
    exit_status.kind = ExitStatus::Kind::signalled;
    exit_status.value = static_cast<std::uint32_t>(WTERMSIG(status));
  } else {
    exit_status.kind = ExitStatus::Kind::exited;
    exit_status.value = static_cast<std::uint32_t>(WEXITSTATUS(status));
  }
  outcome.status = exit_status;
  return outcome;
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
