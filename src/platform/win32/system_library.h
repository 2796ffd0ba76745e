// A library of the system's, loaded by its full System32 path only when an
// option needs it, so that the default run imports nothing more and a DLL
// planted elsewhere is never the one loaded. Once loaded it stays for the
// life of the process: some (WinHTTP, for one) leave threads of their own
// running after their last handle is closed.
#pragma once

#include <string>

#include "windows_api.h"

namespace usqz::platform::win32 {

class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
      error_ = GetLastError();
      return;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    module_ = LoadLibraryExW(path.c_str(), nullptr, 0);
    error_ = module_ == nullptr ? GetLastError() : 0;
  }
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  template <typename Function>
  Function find(const char* name) {
    if (module_ == nullptr) return nullptr;
    const auto found = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    if (found == nullptr && error_ == 0) error_ = GetLastError();
    return found;
  }
  DWORD error() const { return error_; }

 private:
  HMODULE module_ = nullptr;
  DWORD error_ = 0;
};

}  // namespace usqz::platform::win32
