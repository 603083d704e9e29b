#include "support.hpp"

#include <algorithm>
#include <atomic>
#include <string>

namespace velmora::wintest {

std::wstring wide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring exe_path() {
  wchar_t buffer[32768];
  return std::wstring(buffer, GetModuleFileNameW(nullptr, buffer, 32768));
}

std::wstring exe_directory() {
  std::wstring path = exe_path();
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring echo_program() { return exe_directory() + L"\\echo_args.exe"; }

namespace {

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree(child);
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(child.c_str());
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  std::wstring root(base, n);
  if (!root.empty() && root.back() == L'\\') root.pop_back();
  for (;;) {
    path_ = root + L"\\velmora-wintest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

TempDir::~TempDir() { remove_tree(path_); }

EnvOverride::EnvOverride(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
  wchar_t buffer[32768];
  SetLastError(ERROR_SUCCESS);
  const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND) saved_ = std::wstring(buffer, n);
  SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

EnvOverride::~EnvOverride() { SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }

bool write_file(const std::wstring& path, std::string_view bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  CloseHandle(file);
  return ok;
}

std::optional<std::string> read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
  CloseHandle(file);
  return out;
}

bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {

std::optional<std::wstring> unhex(std::string_view hex) {
  if (hex.size() % 4 != 0) return std::nullopt;
  std::wstring out;
  for (std::size_t i = 0; i < hex.size(); i += 4) {
    unsigned unit = 0;
    for (std::size_t j = i; j < i + 4; ++j) {
      const char c = hex[j];
      unit <<= 4;
      if (c >= '0' && c <= '9') unit |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') unit |= static_cast<unsigned>(c - 'a' + 10);
      else return std::nullopt;
    }
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}

}  // namespace

std::optional<EchoReport> read_echo_report(const std::wstring& path) {
  const std::optional<std::string> text = read_file(path);
  if (!text) return std::nullopt;
  EchoReport report;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (line.size() < 4 || line[3] != ' ') return std::nullopt;
    const std::optional<std::wstring> value = unhex(line.substr(4));
    if (!value) return std::nullopt;
    const std::string_view tag = line.substr(0, 3);
    if (tag == "exe") report.exe = *value;
    else if (tag == "cwd") report.cwd = *value;
    else if (tag == "env") report.env = *value;
    else if (tag == "arg") report.crt_argv.push_back(*value);
    else if (tag == "cmd") report.cmd_argv.push_back(*value);
    else return std::nullopt;
  }
  return report;
}

}  // namespace velmora::wintest
