// Test child: reports what it received and exits with a chosen code.
//   VELMORA_ECHO_OUT    file to write the report to (nothing is written without it)
//   VELMORA_ECHO_EXIT   exit code, decimal or 0x-hex (default 0)
//   VELMORA_ECHO_STDOUT text written to the standard output handle
//   VELMORA_ECHO_PROBE  echoed back in the report
//   VELMORA_ECHO_SLEEP_MS  milliseconds to sleep before exiting
//   VELMORA_ECHO_PIDS   file to write "<own pid> <grandchild pid>" to, after
//                       starting a copy of itself (without this variable) that
//                       sleeps as long
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

// Starts a copy of this program, which sleeps as this one does, and notes
// both process ids in `pids_path`.
void start_grandchild(const std::wstring& pids_path) {
  SetEnvironmentVariableW(L"VELMORA_ECHO_PIDS", nullptr);
  wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created)) {
    ExitProcess(0xE0000003u);
  }
  CloseHandle(created.hThread);
  CloseHandle(created.hProcess);
  const std::string pids = std::to_string(GetCurrentProcessId()) + " " + std::to_string(created.dwProcessId);
  HANDLE file = CreateFileW(pids_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ExitProcess(0xE0000004u);
  DWORD written = 0;
  WriteFile(file, pids.data(), static_cast<DWORD>(pids.size()), &written, nullptr);
  CloseHandle(file);
}

int wmain(int argc, wchar_t** argv) {
  const std::wstring pids_path = env(L"VELMORA_ECHO_PIDS");
  if (!pids_path.empty()) start_grandchild(pids_path);
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
