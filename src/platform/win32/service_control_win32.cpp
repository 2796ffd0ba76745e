// Service control on Win32: one advapi32 call for each operation, and the
// last error read on the line after a failure.
#include "../native.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

using win32::fromWide;
using win32::WideZ;

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));

SC_HANDLE toNative(ServiceHandle handle) { return reinterpret_cast<SC_HANDLE>(handle.value()); }
ServiceHandle fromNative(SC_HANDLE handle) { return ServiceHandle(reinterpret_cast<std::uintptr_t>(handle)); }

ServiceOpenResult opened(SC_HANDLE handle, DWORD error) {
  if (handle == nullptr) return {{}, error};
  return {fromNative(handle), kOk};
}

void copyStatus(const SERVICE_STATUS& from, ServiceStatus& to) {
  to = {from.dwServiceType,           from.dwCurrentState, from.dwControlsAccepted, from.dwWin32ExitCode,
        from.dwServiceSpecificExitCode, from.dwCheckPoint,   from.dwWaitHint};
}

class Win32ServiceControl final : public ServiceControl {
 public:
  ServiceOpenResult openManager(std::uint32_t access) override {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    return opened(manager, GetLastError());
  }

  ServiceOpenResult openExisting(ServiceHandle manager, std::u16string_view name, std::uint32_t access) override {
    const SC_HANDLE service = OpenServiceW(toNative(manager), WideZ(name).get(), access);
    return opened(service, GetLastError());
  }

  ServiceOpenResult registerService(ServiceHandle manager, std::u16string_view name,
                                    std::u16string_view executablePath) override {
    std::u16string quoted = u"\"";
    quoted += executablePath;
    quoted += u"\"";
    const SC_HANDLE service =
        CreateServiceW(toNative(manager), WideZ(name).get(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, WideZ(quoted).get(), nullptr, nullptr, nullptr,
                       nullptr, nullptr);
    return opened(service, GetLastError());
  }

  OsError queryStatus(ServiceHandle service, ServiceStatus& status) override {
    SERVICE_STATUS native{};
    const BOOL queried = QueryServiceStatus(toNative(service), &native);
    const DWORD error = GetLastError();
    if (!queried) return error;
    copyStatus(native, status);
    return kOk;
  }

  OsError sendStop(ServiceHandle service, ServiceStatus& status) override {
    SERVICE_STATUS native{};
    const BOOL sent = ControlService(toNative(service), SERVICE_CONTROL_STOP, &native);
    const DWORD error = GetLastError();
    if (!sent) return error;
    copyStatus(native, status);
    return kOk;
  }

  OsError sendStart(ServiceHandle service) override {
    const wchar_t* noArguments[] = {nullptr};
    const BOOL started = StartServiceW(toNative(service), 0, noArguments);
    const DWORD error = GetLastError();
    return started ? kOk : error;
  }

  void release(ServiceHandle handle) override {
    if (handle) CloseServiceHandle(toNative(handle));
  }
};

}  // namespace

std::unique_ptr<ServiceControl> makeNativeServiceControl() { return std::make_unique<Win32ServiceControl>(); }

}  // namespace usqz::platform
