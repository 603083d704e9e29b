// Windows implementation of the platform interface (UTF-16 system calls).
// Every text crosses the interface as UTF-8 and is converted here;
// <windows.h> comes, lean, through windows_support.hpp.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os_file.hpp"
#include "platform/platform.hpp"
#include "platform/windows_support.hpp"
#include "text/bits.hpp"

namespace velmora::platform {
namespace {

using detail::to_utf8;
using detail::to_utf8_lossy;
using detail::to_wide;
using detail::UniqueFind;
using detail::UniqueHandle;

bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A path for a system call: valid UTF-8 without NUL, as UTF-16. Otherwise
// nothing, with a matching error code in GetLastError.
std::optional<std::wstring> to_system_path(std::string_view path) {
  if (holds_nul(path)) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  return to_wide(path);
}

// ---- error texts ------------------------------------------------------------

// The Unicode White_Space characters (all within the BMP).
bool is_white_space(wchar_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// ---- existence test ---------------------------------------------------------

// Name-surrogate reparse points (symbolic links, junctions) point elsewhere;
// their own directory entry does not prove that the target exists.
bool is_link_tag(DWORD reparse_tag) { return IsReparseTagNameSurrogate(reparse_tag); }

bool exists_wide(const std::wstring& path) {
  // No access rights are needed for the metadata; backup semantics let
  // directories open too. Symbolic links are followed.
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueHandle file(CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.valid()) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file.get(), &info) != FALSE;
  }
  const DWORD open_error = GetLastError();

  if (open_error == ERROR_CANT_ACCESS_FILE) {
    // A reparse point the system cannot follow: it exists unless it is a link
    // (whose target is then what is missing).
    UniqueHandle point(CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!point.valid()) return false;
    FILE_ATTRIBUTE_TAG_INFO tag_info;
    if (!GetFileInformationByHandleEx(point.get(), FileAttributeTagInfo, &tag_info,
                                      sizeof tag_info)) {
      return false;
    }
    return (tag_info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
           !is_link_tag(tag_info.ReparseTag);
  }

  if (open_error == ERROR_SHARING_VIOLATION || open_error == ERROR_ACCESS_DENIED) {
    // The file is locked or closed to us; its directory entry still shows it.
    // FindFirstFileExW treats * and ? as wildcards; a real name never holds them.
    if (path.find_first_of(L"*?") != std::wstring::npos) return false;
    WIN32_FIND_DATAW entry;
    UniqueFind find(
        FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!find.valid()) return false;
    const bool is_link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                         is_link_tag(entry.dwReserved0);
    return !is_link;
  }
  return false;
}

// ---- program search ---------------------------------------------------------

// Calls `fill(buffer, size)` of the Get...DirectoryW kind (returns the length
// written, or the size needed when the buffer is too small, or 0 on failure).
template <typename Fill>
std::optional<std::wstring> query_directory(Fill fill) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const UINT got = fill(buffer.data(), static_cast<UINT>(buffer.size()));
    if (got == 0) return std::nullopt;
    if (got < buffer.size()) {
      buffer.resize(got);
      return buffer;
    }
    buffer.resize(got);
  }
  return std::nullopt;
}

std::optional<std::wstring> executable_directory() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= 0x10000) {
    const DWORD got = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0) return std::nullopt;
    if (got < buffer.size()) {
      buffer.resize(got);
      const std::size_t slash = buffer.find_last_of(L"\\/");
      if (slash == std::wstring::npos) return std::nullopt;
      buffer.resize(slash);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
  }
  return std::nullopt;
}

std::wstring environment_variable(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD got = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (got == 0) return {};
    if (got < value.size()) {
      value.resize(got);
      return value;
    }
    value.resize(got);  // `got` counts the terminating NUL here
  }
  return {};
}

// Splits a PATH value at ';'. Double quotes group a part holding ';' and are
// themselves dropped. Empty entries are skipped.
std::vector<std::wstring> split_search_path(std::wstring_view value) {
  std::vector<std::wstring> entries;
  std::wstring current;
  bool quoted = false;
  for (wchar_t c : value) {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      if (!current.empty()) entries.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) entries.push_back(std::move(current));
  return entries;
}

std::wstring join_path(std::wstring directory, std::wstring_view name) {
  if (!directory.empty() && directory.back() != L'\\' && directory.back() != L'/')
    directory.push_back(L'\\');
  directory.append(name);
  return directory;
}

// ---- command line -----------------------------------------------------------

// Appends one argument so that the C runtime's argv parsing (and
// CommandLineToArgvW) yields it unchanged: quoted when empty or holding white
// space or quotes; inside quotes, a run of backslashes is doubled when a quote
// or the closing quote follows it, and every quote is escaped.
void append_argument(std::wstring& line, std::wstring_view arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    line.append(arg);
    return;
  }
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

// The system's limit on a command line, terminating NUL included.
constexpr std::size_t max_command_line = 32767;

// An inheritable duplicate of one of the caller's standard handles, so the
// child receives it even when the original is not marked inheritable.
// A missing standard handle is passed on as it is.
bool inheritable_std_handle(DWORD which, UniqueHandle& owned, HANDLE& out) {
  const HANDLE original = GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) {
    out = original;
    return true;
  }
  HANDLE duplicate = nullptr;
  const HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, original, self, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
    return false;
  owned = UniqueHandle(duplicate);
  out = duplicate;
  return true;
}

text::Failure last_error(text::FailureKind kind) {
  return os_failure(kind, static_cast<OsErrorCode>(GetLastError()));
}

}  // namespace

// ---- interface ----------------------------------------------------------------

std::string render_os_error(OsErrorCode code) {
  const DWORD system_code = static_cast<DWORD>(code);
  wchar_t buffer[2048];
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     system_code, 0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  std::wstring_view message(buffer, length);
  while (!message.empty() && is_white_space(message.back())) message.remove_suffix(1);
  std::string text = to_utf8_lossy(message);
  if (text.empty()) text = "Unknown error";
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

bool path_exists(std::string_view path) {
  const std::optional<std::wstring> wide = to_system_path(path);
  return wide.has_value() && exists_wide(*wide);
}

// ---- files --------------------------------------------------------------------

namespace detail {

OsFile::~OsFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::optional<text::Failure> OsFile::open(std::string_view path) {
  const std::optional<std::wstring> wide = to_system_path(path);
  if (!wide) return last_error(text::FailureKind::read);
  const HANDLE file = CreateFileW(wide->c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_error(text::FailureKind::read);
  handle_ = reinterpret_cast<std::intptr_t>(file);
  // Only disk files are read: a console, a pipe or a device may never end
  // (or block for input), so they are refused before a byte is read.
  if (GetFileType(file) != FILE_TYPE_DISK)
    return os_failure(text::FailureKind::read, ERROR_INVALID_PARAMETER);
  LARGE_INTEGER reported;
  if (GetFileSizeEx(file, &reported) && reported.QuadPart > 0) {
    reported_ = static_cast<std::uint64_t>(reported.QuadPart);
  }
  return std::nullopt;
}

ReadStep OsFile::read(char* into, std::size_t capacity) noexcept {
  ReadStep step;
  const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 30));
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(handle_), into, chunk, &got, nullptr)) {
    step.bytes = got;
    return step;
  }
  // The end of the file is also reported as an error by some handles.
  const DWORD error = GetLastError();
  if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE)
    step.error = static_cast<OsErrorCode>(error);
  return step;
}

void prepare_large_buffer(text::ByteBuffer&) noexcept {}

}  // namespace detail

std::optional<std::string> find_program(std::string_view name) {
  const std::optional<std::wstring> wide = to_system_path(name);
  if (!wide || wide->empty()) return std::nullopt;

  const std::size_t last_separator = wide->find_last_of(L"\\/");
  std::wstring file_name = *wide;
  const std::wstring_view last_part = last_separator == std::wstring::npos
                                          ? std::wstring_view(*wide)
                                          : std::wstring_view(*wide).substr(last_separator + 1);
  if (last_part.find(L'.') == std::wstring_view::npos) file_name += L".exe";

  // A name with a directory part is not searched for.
  if (last_separator != std::wstring::npos) {
    if (!exists_wide(file_name)) return std::nullopt;
    return to_utf8(file_name);
  }

  std::vector<std::wstring> directories;
  if (auto dir = executable_directory()) directories.push_back(std::move(*dir));
  if (auto dir = query_directory([](wchar_t* b, UINT n) { return GetSystemDirectoryW(b, n); })) {
    directories.push_back(std::move(*dir));
  }
  if (auto dir = query_directory([](wchar_t* b, UINT n) { return GetWindowsDirectoryW(b, n); })) {
    directories.push_back(std::move(*dir));
  }
  for (std::wstring& entry : split_search_path(environment_variable(L"PATH"))) {
    directories.push_back(std::move(entry));
  }

  for (const std::wstring& directory : directories) {
    const std::wstring candidate = join_path(directory, file_name);
    if (!exists_wide(candidate)) continue;
    // The interface speaks UTF-8: a path that has no UTF-8 form cannot be
    // handed back, so the search goes on.
    if (std::optional<std::string> found = to_utf8(candidate)) return found;
  }
  return std::nullopt;
}

namespace {

// A job object whose last handle, when closed, ends every process in it: held
// only by the caller, it ends the trainer and its descendants however the
// caller's process ends. Null when the system refuses one.
UniqueHandle tied_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) return {};
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return {};
  }
  return job;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (waitable_) {
    // Only reached when the owner gave up on the child (an unexpected path
    // out of the call): it must not outlive its owner, nor its tree (the
    // job, still armed, ends it as it closes).
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
    WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
    if (job_ != -1) CloseHandle(reinterpret_cast<HANDLE>(job_));
    job_ = -1;
  }
  release();
}

void ChildProcess::release() noexcept {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  if (job_ != -1) {
    // The trainer has ended: what it left running is its own to stop, so the
    // job is disarmed before its handle closes.
    const HANDLE job = reinterpret_cast<HANDLE>(job_);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    CloseHandle(job);
  }
  job_ = -1;
  waitable_ = false;
}

std::optional<text::Failure> ChildProcess::start(const std::string& program,
                                                 std::string_view program_name,
                                                 std::span<const std::string> args) {
  if (waitable_) return os_failure(text::FailureKind::launch, ERROR_BUSY);
  if (holds_nul(program) || holds_nul(program_name) ||
      std::any_of(args.begin(), args.end(),
                  [](const std::string& arg) { return holds_nul(arg); })) {
    return text::failure(text::FailureKind::launch, "nul byte found in provided data");
  }

  const std::optional<std::wstring> application = to_wide(program);
  if (!application) return last_error(text::FailureKind::launch);

  // argv[0] is read up to the next quote without escapes, so it is always
  // quoted and cannot itself hold a quote.
  const std::optional<std::wstring> name = to_wide(program_name);
  if (!name) return last_error(text::FailureKind::launch);
  if (name->find(L'"') != std::wstring::npos) {
    return os_failure(text::FailureKind::launch, ERROR_INVALID_PARAMETER);
  }
  std::wstring command_line;
  command_line.push_back(L'"');
  command_line.append(*name);
  command_line.push_back(L'"');
  for (const std::string& arg : args) {
    const std::optional<std::wstring> wide_arg = to_wide(arg);
    if (!wide_arg) return last_error(text::FailureKind::launch);
    command_line.push_back(L' ');
    append_argument(command_line, *wide_arg);
  }
  if (command_line.size() >= max_command_line) {
    return os_failure(text::FailureKind::launch, ERROR_FILENAME_EXCED_RANGE);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  UniqueHandle std_in, std_out, std_err;
  if (!inheritable_std_handle(STD_INPUT_HANDLE, std_in, startup.hStdInput) ||
      !inheritable_std_handle(STD_OUTPUT_HANDLE, std_out, startup.hStdOutput) ||
      !inheritable_std_handle(STD_ERROR_HANDLE, std_err, startup.hStdError)) {
    return last_error(text::FailureKind::launch);
  }

  // Same console, the caller's environment and current directory. The child
  // starts suspended, so that it is in its job before it can start anything.
  UniqueHandle job = tied_job();
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(application->c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &created)) {
    return last_error(text::FailureKind::launch);
  }
  // A caller inside a job that allows no nested one runs the child untied.
  if (job.valid() && !AssignProcessToJobObject(job.get(), created.hProcess)) job.reset();
  UniqueHandle thread(created.hThread);
  UniqueHandle process(created.hProcess);
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    text::Failure error = last_error(text::FailureKind::launch);
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
    return error;
  }
  if (job.valid()) job_ = reinterpret_cast<std::intptr_t>(job.release());
  handle_ = reinterpret_cast<std::intptr_t>(process.release());
  id_ = static_cast<std::intptr_t>(created.dwProcessId);
  waitable_ = true;
  // The child holds its own copies of the standard handles now.
  std_in.reset();
  std_out.reset();
  std_err.reset();

  return std::nullopt;
}

WaitOutcome ChildProcess::wait_for(std::uint32_t timeout_ms) {
  WaitOutcome outcome;
  if (!waitable_) {
    outcome.state = WaitOutcome::State::failed;
    outcome.failure = os_failure(text::FailureKind::launch, ERROR_INVALID_HANDLE);
    return outcome;
  }
  const HANDLE process = reinterpret_cast<HANDLE>(handle_);
  const DWORD waited = WaitForSingleObject(process, timeout_ms);
  if (waited == WAIT_TIMEOUT) return outcome;
  DWORD exit_code = 0;
  if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &exit_code)) {
    outcome.state = WaitOutcome::State::failed;
    outcome.failure = last_error(text::FailureKind::launch);
    // The child cannot be waited for any more: end it rather than leave it.
    TerminateProcess(process, 1);
    release();
    return outcome;
  }
  outcome.state = WaitOutcome::State::ended;
  outcome.status = ExitStatus{ExitStatus::Kind::exited, static_cast<std::uint32_t>(exit_code)};
  release();
  return outcome;
}

// The console's Ctrl-C reaches every process attached to it, the trainer
// included; there is no narrower equivalent of SIGINT to send.
void ChildProcess::interrupt() noexcept {}

void ChildProcess::terminate() noexcept {
  if (waitable_) TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
}

void ChildProcess::kill() noexcept {
  if (waitable_) TerminateProcess(reinterpret_cast<HANDLE>(handle_), 1);
}

[[noreturn]] void fail_fast() noexcept {
  text::windows_fast_fail(FAST_FAIL_FATAL_APP_EXIT);
  // Not reached on systems with the service; end the process without cleanup anyway.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
  text::unreachable();
}

}  // namespace velmora::platform
