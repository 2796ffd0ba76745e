// Typed owners for the Win32 handles the platform code holds.
#pragma once

#include <memory>
#include <type_traits>

#include "windows_api.h"

namespace usqz::platform::win32 {

struct KernelHandleCloser {
  void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
struct FindHandleCloser {
  void operator()(HANDLE handle) const noexcept { FindClose(handle); }
};
struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};

using UniqueKernelHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, KernelHandleCloser>;
using UniqueFindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindHandleCloser>;
using UniqueServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

// File and search handles report failure as INVALID_HANDLE_VALUE, which a
// unique_ptr would take for a live handle.
inline HANDLE nullIfInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

}  // namespace usqz::platform::win32
