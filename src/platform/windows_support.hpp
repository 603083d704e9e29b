// Windows helpers of the platform layer: owners of kernel handles and the
// UTF-8 <-> UTF-16 conversions every system call needs. Included by
// windows.cpp only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::platform::detail {

// ---- handles ----------------------------------------------------------------

// Owns a kernel handle; closes it when it goes out of scope.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  // Null and INVALID_HANDLE_VALUE both mean "no handle".
  bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const noexcept { return handle_; }
  // Gives up ownership: the caller closes the handle.
  HANDLE release() noexcept { return std::exchange(handle_, nullptr); }
  void reset() noexcept {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Owns a directory-search handle of FindFirstFileExW.
class UniqueFind {
 public:
  explicit UniqueFind(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueFind() {
    if (valid()) FindClose(handle_);
  }
  UniqueFind(const UniqueFind&) = delete;
  UniqueFind& operator=(const UniqueFind&) = delete;
  bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// ---- text conversion --------------------------------------------------------

// Strict UTF-8 -> UTF-16; nothing when the bytes are not valid UTF-8 (the
// reason is left in GetLastError) or too long for the conversion routine.
inline std::optional<std::wstring> to_wide(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  const int in_len = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, wide.data(),
                          needed) != needed) {
    return std::nullopt;
  }
  return wide;
}

// Strict UTF-16 -> UTF-8; nothing when the text holds an unpaired surrogate.
inline std::optional<std::string> to_utf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  const int in_len = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), in_len,
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::nullopt;
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), in_len, narrow.data(), needed,
                          nullptr, nullptr) != needed) {
    return std::nullopt;
  }
  return narrow;
}

// UTF-16 -> UTF-8 for display texts: unpaired surrogates become U+FFFD.
inline std::string to_utf8_lossy(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return {};
  const int in_len = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, narrow.data(), needed, nullptr, nullptr);
  return narrow;
}

}  // namespace velmora::platform::detail
