// Reading the start of an open file on Win32: what the file operations and
// the security inspection both need.
#pragma once

#include <algorithm>

#include "../file_and_process.h"
#include "windows_api.h"

namespace usqz::platform::win32 {

// Up to `maxBytes` from the start of `file`, and its whole size.
inline FileHead readHeadOf(HANDLE file, std::size_t maxBytes) {
  FileHead head;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    head.error = GetLastError();
    return head;
  }
  const LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    head.error = GetLastError();
    return head;
  }
  head.size = static_cast<std::uint64_t>(size.QuadPart);
  head.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(head.size, maxBytes)));
  std::size_t filled = 0;
  while (filled < head.bytes.size()) {
    DWORD read = 0;
    const BOOL ok =
        ReadFile(file, head.bytes.data() + filled, static_cast<DWORD>(head.bytes.size() - filled), &read, nullptr);
    const DWORD readError = GetLastError();
    if (!ok) {
      head.error = readError;
      return head;
    }
    if (read == 0) break;
    filled += read;
  }
  head.bytes.resize(filled);
  return head;
}

}  // namespace usqz::platform::win32
