// Existence test, whole-file read and error texts against the real file system.
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.hpp"
#include "support.hpp"

#include <winioctl.h>

namespace velmora::platform {
namespace {

using text::ByteBuffer;
using wintest::TempDir;
using wintest::utf8;
using wintest::write_file;

// Handle owned by a test.
struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

// "<message> (os error <code>)": a message without trailing white space.
void expect_os_error_form(const std::string& text, OsErrorCode code) {
  const std::string suffix = " (os error " + std::to_string(code) + ")";
  ASSERT_GT(text.size(), suffix.size()) << text;
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix) << text;
  const std::string message = text.substr(0, text.size() - suffix.size());
  EXPECT_FALSE(std::isspace(static_cast<unsigned char>(message.back()))) << text;
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(RenderOsError, SystemMessagesTrimmedAndNumbered) {
  // The English texts of Windows and of wine; the test runs under either.
  struct Row {
    OsErrorCode code;
    std::vector<std::string> known;
  };
  const Row rows[] = {
      {ERROR_FILE_NOT_FOUND, {"The system cannot find the file specified.", "File not found."}},
      {ERROR_ACCESS_DENIED, {"Access is denied.", "Access denied."}},
      {ERROR_SHARING_VIOLATION,
       {"The process cannot access the file because it is being used by another process.", "Sharing violation."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    const std::string text = render_os_error(row.code);
    expect_os_error_form(text, row.code);
    const std::string message = text.substr(0, text.find(" (os error "));
    bool known = false;
    for (const std::string& candidate : row.known) known = known || message == candidate;
    // Other display languages give other texts; only the form is fixed then.
    if (GetUserDefaultUILanguage() == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) {
      EXPECT_TRUE(known) << text;
    }
  }
}

TEST(RenderOsError, CodesWithoutMessage) {
  // Customer-defined codes have no system message; negative codes are shown signed.
  EXPECT_EQ(render_os_error(0x2000ABCD), "Unknown error (os error 536914893)");
  const std::string negative = render_os_error(-1);
  EXPECT_EQ(negative.substr(negative.size() - 14), " (os error -1)") << negative;
}

TEST(PathExists, Table) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file(L"file.json"), "{}"));
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"sub.json").c_str(), nullptr));
  ASSERT_TRUE(write_file(dir.file(L"sch\u00f6n \u4e2d \U0001F600.yaml"), "a: 1"));
  const std::string base = utf8(dir.path());
  struct Row {
    std::string path;
    bool exists;
  };
  const Row rows[] = {
      {base + "\\file.json", true},
      {base + "/file.json", true},
      {base + "\\sub.json", true},
      {base + "\\sub.json\\", true},
      {base + "\\sch\xc3\xb6n \xe4\xb8\xad \xf0\x9f\x98\x80.yaml", true},
      {"C:\\", true},
      {base + "\\missing.json", false},
      {base + "\\missing\\file.json", false},
      {base + "\\file.json\\inner", false},
      {"", false},
      // NUL: the part before it exists, the whole path does not.
      {base + "\\file.json" + std::string(1, '\0') + "x", false},
      {base + std::string(1, '\0'), false},
      // Not UTF-8: stray continuation byte, overlong '/', encoded surrogate, truncated sequence.
      {base + "\\file.json\x80", false},
      {base + "\xc0\xaf" "file.json", false},
      {base + "\\\xed\xa0\x80", false},
      {base + "\\sch\xc3", false},
      {base + "\\fi?e.json", false},
      {base + "\\*", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(path_exists(row.path), row.exists);
  }
}

TEST(PathExists, FileLockedByAnotherHandle) {
  TempDir dir;
  const std::wstring path = dir.file(L"locked.json");
  ASSERT_TRUE(write_file(path, "{}"));
  Handle exclusive(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(exclusive.h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(path_exists(utf8(path)));
  // Reading needs read access, which the exclusive handle denies.
  ByteBuffer buffer;
  const auto error = wintest::text_of(read_whole_file(utf8(path), buffer));
  ASSERT_TRUE(error.has_value());
  expect_os_error_form(*error, ERROR_SHARING_VIOLATION);
}

TEST(PathExists, EntryThatRefusesEveryOpen) {
  // A file whose deletion is pending cannot be opened at all on Windows
  // (access denied) while its directory entry remains: it still exists.
  TempDir dir;
  const std::wstring path = dir.file(L"pending.json");
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO disposition{TRUE};
  ASSERT_TRUE(SetFileInformationByHandle(file.h, FileDispositionInfo, &disposition, sizeof disposition));
  Handle probe(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const DWORD probe_error = GetLastError();
  if (probe.h != INVALID_HANDLE_VALUE || probe_error != ERROR_ACCESS_DENIED) {
    GTEST_SKIP() << "this system opens files whose deletion is pending (wine does)";
  }
  EXPECT_TRUE(path_exists(utf8(path)));
  ByteBuffer buffer;
  const auto error = wintest::text_of(read_whole_file(utf8(path), buffer));
  ASSERT_TRUE(error.has_value());
  expect_os_error_form(*error, ERROR_ACCESS_DENIED);
}

TEST(PathExists, SymbolicLinks) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file(L"target.json"), "{}"));
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  const bool made = CreateSymbolicLinkW(dir.file(L"good.json").c_str(), dir.file(L"target.json").c_str(), flags) &&
                    CreateSymbolicLinkW(dir.file(L"dangling.json").c_str(), dir.file(L"gone.json").c_str(), flags);
  // Some systems (wine) report success without making the link.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!made || !GetFileAttributesExW(dir.file(L"dangling.json").c_str(), GetFileExInfoStandard, &data)) {
    GTEST_SKIP() << "symbolic links cannot be created here";
  }
  EXPECT_TRUE(path_exists(dir.file_utf8(L"good.json")));
  EXPECT_FALSE(path_exists(dir.file_utf8(L"dangling.json")));
  ByteBuffer buffer;
  EXPECT_FALSE(wintest::text_of(read_whole_file(dir.file_utf8(L"good.json"), buffer)).has_value());
  EXPECT_EQ(buffer.view(), "{}");
}

TEST(PathExists, LinksOfTheHostFileSystem) {
  // Under wine, make test-windows prepares a folder of host symbolic links
  // (good.json -> target.json, dangling.json -> gone.json, loop.json -> itself)
  // that wine follows like the system would.
  const std::wstring dir = []() {
    wchar_t buffer[32768];
    return std::wstring(buffer, GetEnvironmentVariableW(L"VELMORA_WINTEST_HOST_LINKS", buffer, 32768));
  }();
  if (dir.empty()) GTEST_SKIP() << "VELMORA_WINTEST_HOST_LINKS not set";
  const std::string base = utf8(dir);
  EXPECT_TRUE(path_exists(base + "\\target.json"));
  EXPECT_TRUE(path_exists(base + "\\good.json"));
  EXPECT_FALSE(path_exists(base + "\\dangling.json"));
  EXPECT_FALSE(path_exists(base + "\\loop.json"));
  ByteBuffer buffer;
  EXPECT_FALSE(wintest::text_of(read_whole_file(base + "\\good.json", buffer)).has_value());
  EXPECT_EQ(buffer.view(), "{}");
}

std::string pattern_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

TEST(ReadWholeFile, ContentsExactlyAsStored) {
  TempDir dir;
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"empty", ""},
      {"one", "x"},
      {"bom-and-crlf", "\xef\xbb\xbf{\r\n}\r\n"},
      {"nul-and-high-bytes", std::string("a\0b\xff\xfe", 5)},
      {"exactly-64k", pattern_bytes(65536)},
      {"three-megabytes", pattern_bytes(3 * 1024 * 1024 + 7)},
      {"\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80.json", "[1]"},  // a name beyond ASCII
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::wstring path = dir.file(wintest::wide(row.name));
    ASSERT_TRUE(write_file(path, row.bytes));
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.reserve(3));
    std::copy_n("old", 3, buffer.data());
    buffer.set_size(3);  // earlier contents are replaced, not appended to
    const auto error = wintest::text_of(read_whole_file(utf8(path), buffer));
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_TRUE(buffer.view() == row.bytes) << "size " << buffer.size() << " expected " << row.bytes.size();
    // One buffer sized from the reported length: no growth past it.
    EXPECT_EQ(buffer.capacity(), std::max<std::size_t>(row.bytes.size(), 3));
  }
}

TEST(ReadWholeFile, WhileOthersHoldItOpen) {
  TempDir dir;
  const std::wstring path = dir.file(L"shared.json");
  ASSERT_TRUE(write_file(path, "{\"a\": 1}"));
  struct Row {
    const char* what;
    DWORD access, share;
  };
  const Row rows[] = {
      {"writer sharing read and write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
      {"writer sharing everything", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
      {"deleter sharing everything", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
      {"reader sharing only reading", GENERIC_READ, FILE_SHARE_READ},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Handle other(CreateFileW(path.c_str(), row.access, row.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    ASSERT_NE(other.h, INVALID_HANDLE_VALUE);
    ByteBuffer buffer;
    const auto error = wintest::text_of(read_whole_file(utf8(path), buffer));
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(buffer.view(), "{\"a\": 1}");
    EXPECT_TRUE(path_exists(utf8(path)));
  }
}

TEST(ReadWholeFile, LengthNotReported) {
  // Files of the /proc kind report length 0 yet have contents (wine maps / to Z:).
  const std::string path = "Z:\\proc\\self\\status";
  if (!path_exists(path)) GTEST_SKIP() << "no file with an unreported length here";
  ByteBuffer buffer;
  const auto error = wintest::text_of(read_whole_file(path, buffer));
  ASSERT_FALSE(error.has_value()) << *error;
  EXPECT_GT(buffer.size(), 64u);
  EXPECT_EQ(buffer.view().substr(0, 5), "Name:");
}

TEST(ReadWholeFile, Failures) {
  TempDir dir;
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"d.json").c_str(), nullptr));
  struct Row {
    std::string path;
    OsErrorCode code;
  };
  const Row rows[] = {
      {dir.file_utf8(L"missing.json"), ERROR_FILE_NOT_FOUND},
      {dir.file_utf8(L"no\\such\\dir.json"), ERROR_PATH_NOT_FOUND},
      {dir.file_utf8(L"d.json"), ERROR_ACCESS_DENIED},
      {dir.file_utf8(L"a") + std::string(1, '\0'), ERROR_INVALID_NAME},
      {utf8(dir.path()) + "\\\xff.json", ERROR_NO_UNICODE_TRANSLATION},
      // Devices are refused before any read: their contents may never end.
      {"NUL", ERROR_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    ByteBuffer buffer;
    const auto error = wintest::text_of(read_whole_file(row.path, buffer));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, render_os_error(row.code));
    expect_os_error_form(*error, row.code);
    EXPECT_EQ(buffer.size(), 0u);
  }
}

TEST(ReadWholeFile, OutOfMemoryWhenTheLengthCannotBeBuffered) {
  TempDir dir;
  const std::wstring path = dir.file(L"huge.json");
  {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(file.h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = 8LL << 40;  // 8 TiB, sparse: more than any machine here can allocate
    if (!SetFilePointerEx(file.h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.h)) {
      GTEST_SKIP() << "cannot make a sparse 8 TiB file here (error " << GetLastError() << ")";
    }
  }
  ByteBuffer buffer;
  const auto error = wintest::text_of(read_whole_file(utf8(path), buffer));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, "out of memory");
  EXPECT_EQ(buffer.size(), 0u);
}

}  // namespace
}  // namespace velmora::platform
