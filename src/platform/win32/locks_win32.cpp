// Run locks on Win32: named mutexes, which the system lets go (abandoned)
// when their owner dies. Created for Administrators and SYSTEM only.
#include "../native.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

using win32::WideZ;

// Full access for the built-in Administrators and for SYSTEM, nobody else;
// protected, so that nothing is inherited.
constexpr wchar_t kAdministratorsOnly[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";

struct LocalFree_ {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

class Win32Locks final : public Locks {
 public:
  LockResult tryLock(std::u16string_view name) override {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
      return {{}, false, false, GetLastError()};
    }
    const std::unique_ptr<void, LocalFree_> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const HANDLE mutex = CreateMutexW(&attributes, FALSE, WideZ(name).get());
    const DWORD error = GetLastError();
    if (mutex == nullptr) return {{}, false, false, error};
    const DWORD waited = WaitForSingleObject(mutex, 0);
    const DWORD waitError = GetLastError();
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      return {LockHandle(reinterpret_cast<std::uintptr_t>(mutex)), false, waited == WAIT_ABANDONED, kOk};
    }
    CloseHandle(mutex);
    if (waited == WAIT_TIMEOUT) return {{}, true, false, kOk};
    return {{}, false, false, waitError};
  }

  void releaseLock(LockHandle lock) override {
    if (!lock) return;
    const auto mutex = reinterpret_cast<HANDLE>(lock.value());
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
};

}  // namespace

std::unique_ptr<Locks> makeNativeLocks() { return std::make_unique<Win32Locks>(); }

}  // namespace usqz::platform
