// Service control on Win32: one advapi32 call for each operation, and the
// last error read on the line after a failure.
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "../native.h"
#include "unique_handles.h"
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

// One status-change request per service handle. The system writes into the
// buffer until the callback has run, and an APC already queued runs at the
// next alertable wait even after the handle is closed: a request's state
// lives as long as the ServiceControl, whatever becomes of its handle.
struct StatusRequest {
  SERVICE_NOTIFYW buffer{};
  bool outstanding = false;
  bool told = false;
};

void CALLBACK onStatusChange(void* parameter) {
  auto* request = static_cast<StatusRequest*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext);
  request->outstanding = false;
  request->told = true;
}

class Win32ServiceControl final : public ServiceControl {
 public:
  ServiceOpenResult openManager(std::uint32_t access) override {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    return opened(manager, GetLastError());
  }

  ServiceOpenResult openExisting(ServiceHandle manager, std::u16string_view name, std::uint32_t access) override {
    const SC_HANDLE service = OpenServiceW(toNative(manager), WideZ(name).get(), access);
    const DWORD error = GetLastError();
    if (service != nullptr) names_[reinterpret_cast<std::uintptr_t>(service)] = std::u16string(name);
    return opened(service, error);
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

  ServiceList listServices(ServiceHandle manager) override {
    ServiceList list;
    std::vector<unsigned char> buffer;
    DWORD resume = 0;
    for (;;) {
      DWORD needed = 0;
      DWORD count = 0;
      const BOOL listed =
          EnumServicesStatusExW(toNative(manager), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                buffer.empty() ? nullptr : buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                                &count, &resume, nullptr);
      const DWORD error = GetLastError();
      if (!listed && error != ERROR_MORE_DATA) {
        list.error = error;
        return list;
      }
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
      for (DWORD i = 0; i < count; ++i) {
        list.names.push_back(fromWide(entries[i].lpServiceName, wcslen(entries[i].lpServiceName)));
      }
      if (listed) return list;
      // Some managers leave the needed size unset: grow anyway.
      buffer.resize(std::max<std::size_t>({static_cast<std::size_t>(needed) + buffer.size(), 2 * buffer.size(), 4096}));
    }
  }

  // Sized first, as documented; some managers (Wine's) list none and leave
  // the needed size unset, which reads as none here too.
  ServiceList listActiveDependents(ServiceHandle service) override {
    ServiceList list;
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumDependentServicesW(toNative(service), SERVICE_ACTIVE, nullptr, 0, &needed, &count)) return list;
    const DWORD sizeError = GetLastError();
    if (sizeError != ERROR_MORE_DATA) {
      list.error = sizeError;
      return list;
    }
    // A dependent that starts between the two calls makes the list grow:
    // read it again, with room for what is needed now.
    for (;;) {
      if (needed == 0) return list;
      std::vector<unsigned char> buffer(needed);
      auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
      const BOOL listed = EnumDependentServicesW(toNative(service), SERVICE_ACTIVE, entries, needed, &needed, &count);
      const DWORD error = GetLastError();
      if (!listed && error == ERROR_MORE_DATA) continue;
      if (!listed) {
        list.error = error;
        return list;
      }
      for (DWORD i = 0; i < count; ++i) {
        list.names.push_back(fromWide(entries[i].lpServiceName, wcslen(entries[i].lpServiceName)));
      }
      return list;
    }
  }

  ServiceConfig queryConfig(ServiceHandle service) override {
    ServiceConfig config;
    DWORD needed = 0;
    QueryServiceConfigW(toNative(service), nullptr, 0, &needed);
    const DWORD sizeError = GetLastError();
    if (sizeError != ERROR_INSUFFICIENT_BUFFER) {
      config.error = sizeError;
      return config;
    }
    std::vector<unsigned char> buffer(needed);
    auto* native = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    const BOOL queried = QueryServiceConfigW(toNative(service), native, needed, &needed);
    const DWORD error = GetLastError();
    if (!queried) {
      config.error = error;
      return config;
    }
    if (native->lpBinaryPathName != nullptr) {
      config.binaryPath = fromWide(native->lpBinaryPathName, wcslen(native->lpBinaryPathName));
    }
    config.startType = native->dwStartType;
    for (const wchar_t* name = native->lpDependencies; name != nullptr && *name != L'\0'; name += wcslen(name) + 1) {
      if (*name != SC_GROUP_IDENTIFIERW) config.dependencies.push_back(fromWide(name, wcslen(name)));
    }
    // Some managers (Wine's) answer without the list, yet keep it where
    // Windows itself stores it: the service's own registry key.
    if (config.dependencies.empty()) {
      if (const auto it = names_.find(service.value()); it != names_.end()) config.dependencies = registeredDependencies(it->second);
    }
    return config;
  }

  FailureActions queryFailureActions(ServiceHandle service) override {
    FailureActions result;
    DWORD needed = 0;
    QueryServiceConfig2W(toNative(service), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    const DWORD sizeError = GetLastError();
    if (sizeError != ERROR_INSUFFICIENT_BUFFER) {
      result.error = sizeError;
      return result;
    }
    std::vector<unsigned char> buffer(needed);
    const BOOL queried =
        QueryServiceConfig2W(toNative(service), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed);
    const DWORD error = GetLastError();
    if (!queried) {
      result.error = error;
      return result;
    }
    const auto* native = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    result.resetSeconds = native->dwResetPeriod;
    for (DWORD i = 0; i < native->cActions && native->lpsaActions != nullptr; ++i) {
      result.actions.push_back({static_cast<std::uint32_t>(native->lpsaActions[i].Type), native->lpsaActions[i].Delay});
    }
    return result;
  }

  OsError setFailureActions(ServiceHandle service, const FailureActions& actions) override {
    std::vector<SC_ACTION> native;
    for (const auto& action : actions.actions) native.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
    SERVICE_FAILURE_ACTIONSW config{};
    config.dwResetPeriod = actions.resetSeconds;
    config.cActions = static_cast<DWORD>(native.size());
    // None at all is said with an empty list, not a null one (which would
    // change nothing).
    SC_ACTION none{};
    config.lpsaActions = native.empty() ? &none : native.data();
    const BOOL changed = ChangeServiceConfig2W(toNative(service), SERVICE_CONFIG_FAILURE_ACTIONS, &config);
    return changed ? kOk : GetLastError();
  }

  OsError queryProcess(ServiceHandle service, ServiceStatus& status, std::uint32_t& processId) override {
    SERVICE_STATUS_PROCESS native{};
    DWORD needed = 0;
    const BOOL queried = QueryServiceStatusEx(toNative(service), SC_STATUS_PROCESS_INFO,
                                              reinterpret_cast<BYTE*>(&native), sizeof native, &needed);
    const DWORD error = GetLastError();
    if (!queried) return error;
    status = {native.dwServiceType,           native.dwCurrentState, native.dwControlsAccepted, native.dwWin32ExitCode,
              native.dwServiceSpecificExitCode, native.dwCheckPoint,   native.dwWaitHint};
    processId = native.dwProcessId;
    return kOk;
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

  StatusWait waitForStatus(ServiceHandle service, std::uint32_t notifyMask, std::uint32_t timeoutMs) override {
    auto& request = requests_[service.value()];
    if (!request) request = std::make_unique<StatusRequest>();
    // A request still outstanding (for other states, say) cannot be made
    // again: the wait is then a plain alertable sleep.
    if (!request->outstanding) {
      request->buffer = {};
      request->buffer.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
      request->buffer.pfnNotifyCallback = onStatusChange;
      request->buffer.pContext = request.get();
      request->told = false;
      request->outstanding =
          NotifyServiceStatusChangeW(toNative(service), notifyMask, &request->buffer) == ERROR_SUCCESS;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (ULONGLONG now = GetTickCount64(); !request->told && now < deadline; now = GetTickCount64()) {
      SleepEx(static_cast<DWORD>(deadline - now), TRUE);
    }
    if (!request->told) return StatusWait::TimedOut;
    request->told = false;
    return StatusWait::Notified;
  }

  void release(ServiceHandle handle) override {
    if (!handle) return;
    CloseServiceHandle(toNative(handle));
    names_.erase(handle.value());
    // No new request may reuse a closed handle's state: the system may still
    // hold on to it.
    if (auto it = requests_.find(handle.value()); it != requests_.end()) {
      retired_.push_back(std::move(it->second));
      requests_.erase(it);
    }
  }

 private:
  // DependOnService: the names, each ended by a NUL, and one more at the end.
  static std::vector<std::u16string> registeredDependencies(const std::u16string& name) {
    std::vector<std::u16string> found;
    const WideZ path(u"SYSTEM\\CurrentControlSet\\Services\\" + name);
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return found;
    const win32::UniqueRegKey key(raw);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), L"DependOnService", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size == 0) {
      return found;
    }
    std::vector<wchar_t> list(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key.get(), L"DependOnService", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size) !=
        ERROR_SUCCESS) {
      return found;
    }
    for (const wchar_t* at = list.data(); *at != L'\0'; at += wcslen(at) + 1) {
      if (*at != SC_GROUP_IDENTIFIERW) found.push_back(fromWide(at, wcslen(at)));
    }
    return found;
  }

  // The name each open service handle was opened by.
  std::map<std::uintptr_t, std::u16string> names_;
  std::map<std::uintptr_t, std::unique_ptr<StatusRequest>> requests_;
  std::vector<std::unique_ptr<StatusRequest>> retired_;
};

}  // namespace

std::unique_ptr<ServiceControl> makeNativeServiceControl() { return std::make_unique<Win32ServiceControl>(); }

}  // namespace usqz::platform
