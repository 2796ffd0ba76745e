// Typed owners for the raw Win32 handles that Win32 code holds itself. The
// core never sees these: it owns the platform's opaque handles through
// OwnedServiceHandle (service_control.h).
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
struct ScHandleCloser {
  void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};

struct RegKeyCloser {
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
struct EventSourceCloser {
  void operator()(HANDLE source) const noexcept { DeregisterEventSource(source); }
};

using UniqueKernelHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, KernelHandleCloser>;
using UniqueFindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindHandleCloser>;
using UniqueScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;
using UniqueRegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;
using UniqueEventSource = std::unique_ptr<std::remove_pointer_t<HANDLE>, EventSourceCloser>;

// File and search handles report failure as INVALID_HANDLE_VALUE, which a
// unique_ptr would take for a live handle.
inline HANDLE nullIfInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

}  // namespace usqz::platform::win32
