// Test child: reports what it received and exits with a chosen code.
//   VELMORA_ECHO_OUT    file to write the report to (nothing is written without it)
//   VELMORA_ECHO_EXIT   exit code, decimal or 0x-hex (default 0)
//   VELMORA_ECHO_STDOUT text written to the standard output handle
//   VELMORA_ECHO_PROBE  echoed back in the report
//   VELMORA_ECHO_SLEEP_MS  milliseconds to sleep before exiting
// Report lines, each value as hex UTF-16 code units (4 digits each):
//   exe <module path> / cwd <current directory> / env <VELMORA_ECHO_PROBE>
//   arg <argv[i]> per element of the C runtime's argv
//   cmd <argv[i]> per element of CommandLineToArgvW(GetCommandLineW())
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

std::wstring env(const wchar_t* name, bool* present = nullptr) {
  wchar_t buffer[32768];
  SetLastError(ERROR_SUCCESS);
  const DWORD got = GetEnvironmentVariableW(name, buffer, 32768);
  if (present) *present = got != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  return got < 32768 ? std::wstring(buffer, got) : std::wstring();
}

void line(std::string& out, const char* tag, const std::wstring& value) {
  static const char digits[] = "0123456789abcdef";
  out += tag;
  out += ' ';
  for (wchar_t c : value) {
    const auto unit = static_cast<unsigned>(c);
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(unit >> shift) & 0xF];
  }
  out += '\n';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Sleep(static_cast<DWORD>(std::wcstoul(env(L"VELMORA_ECHO_SLEEP_MS").c_str(), nullptr, 10)));
  const UINT exit_code = static_cast<UINT>(std::wcstoul(env(L"VELMORA_ECHO_EXIT").c_str(), nullptr, 0));

  bool has_stdout_text = false;
  const std::wstring stdout_text = env(L"VELMORA_ECHO_STDOUT", &has_stdout_text);
  if (has_stdout_text) {
    char narrow[65536];
    const int n = WideCharToMultiByte(CP_UTF8, 0, stdout_text.data(), static_cast<int>(stdout_text.size()), narrow,
                                      sizeof narrow, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow, static_cast<DWORD>(n), &written, nullptr);
  }

  const std::wstring out_path = env(L"VELMORA_ECHO_OUT");
  if (!out_path.empty()) {
    std::string report;
    wchar_t buffer[32768];
    line(report, "exe", std::wstring(buffer, GetModuleFileNameW(nullptr, buffer, 32768)));
    line(report, "cwd", std::wstring(buffer, GetCurrentDirectoryW(32768, buffer)));
    line(report, "env", env(L"VELMORA_ECHO_PROBE"));
    for (int i = 0; i < argc; ++i) line(report, "arg", argv[i]);
    int count = 0;
    if (wchar_t** parsed = CommandLineToArgvW(GetCommandLineW(), &count)) {
      for (int i = 0; i < count; ++i) line(report, "cmd", parsed[i]);
      LocalFree(parsed);
    }
    HANDLE file = CreateFileW(out_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) ExitProcess(0xE0000001u);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != report.size()) ExitProcess(0xE0000002u);
  }
  ExitProcess(exit_code);
}
