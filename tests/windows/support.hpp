// Helpers of the Windows platform tests: text conversion, scratch folders,
// environment overrides and the report of the echo_args test child.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "text/failure.hpp"

namespace velmora::wintest {

std::wstring wide(std::string_view utf8);
std::string utf8(std::wstring_view text);

// Directory of this test program (where echo_args.exe is built too).
std::wstring exe_directory();
std::wstring exe_path();
std::wstring echo_program();  // full path of echo_args.exe

// A fresh folder under the temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }
  std::string file_utf8(std::wstring_view name) const { return utf8(file(name)); }

 private:
  std::wstring path_;
};

// Sets (or, with nullopt, removes) an environment variable; restores it on exit.
class EnvOverride {
 public:
  EnvOverride(const wchar_t* name, std::optional<std::wstring> value);
  ~EnvOverride();
  EnvOverride(const EnvOverride&) = delete;
  EnvOverride& operator=(const EnvOverride&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> saved_;
};

// Deletes a file on exit (for copies placed outside a TempDir).
class FileRemover {
 public:
  explicit FileRemover(std::wstring path) : path_(std::move(path)) {}
  ~FileRemover() { DeleteFileW(path_.c_str()); }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;

 private:
  std::wstring path_;
};

bool write_file(const std::wstring& path, std::string_view bytes);
std::optional<std::string> read_file(const std::wstring& path);

// A failure's text, or nothing (tests compare messages as the user sees them).
inline std::optional<std::string> text_of(const std::optional<text::Failure>& failure) {
  if (!failure) return std::nullopt;
  return failure->text;
}
bool file_exists(const std::wstring& path);

// What echo_args.exe reported.
struct EchoReport {
  std::wstring exe, cwd, env;
  std::vector<std::wstring> crt_argv;  // the C runtime's argv
  std::vector<std::wstring> cmd_argv;  // CommandLineToArgvW's split
};
std::optional<EchoReport> read_echo_report(const std::wstring& path);

}  // namespace velmora::wintest
