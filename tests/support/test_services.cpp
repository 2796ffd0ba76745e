#include "test_services.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/unique_handles.h"
#include "platform/win32/windows_api.h"
#include "platform/text.h"

namespace usqz::testing {

namespace {

using platform::win32::UniqueScHandle;
using platform::win32::WideZ;

UniqueScHandle openService(const std::u16string& name, DWORD access) {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  return UniqueScHandle(OpenServiceW(manager.get(), WideZ(name).get(), access));
}

}  // namespace

ServiceConfig queryServiceConfig(const std::u16string& name) {
  const auto service = openService(name, SERVICE_QUERY_CONFIG);
  if (!service) {
    ADD_FAILURE() << "cannot open " << toUtf8(name) << ": " << GetLastError();
    return {};
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
    ADD_FAILURE() << "cannot read the configuration of " << toUtf8(name) << ": " << GetLastError();
    return {};
  }
  const auto text = [](const wchar_t* value) {
    return value == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(value));
  };
  return {text(config->lpBinaryPathName), text(config->lpServiceStartName), config->dwServiceType,
          config->dwStartType};
}

std::uint32_t queryServiceState(const std::u16string& name) {
  const auto service = openService(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

void installService(const std::u16string& name, const std::u16string& executable, bool start,
                    const std::u16string& dependsOn) {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  ASSERT_TRUE(manager) << GetLastError();
  const std::u16string quoted = u"\"" + executable + u"\"";
  // A list of names, each ended by a NUL, and one more NUL at the end.
  const std::u16string dependencies = dependsOn.empty() ? std::u16string() : dependsOn + std::u16string(2, u'\0');
  const UniqueScHandle service(CreateServiceW(manager.get(), WideZ(name).get(), nullptr, SERVICE_ALL_ACCESS,
                                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                   SERVICE_ERROR_NORMAL, WideZ(quoted).get(), nullptr, nullptr,
                                                   dependsOn.empty() ? nullptr
                                                                     : reinterpret_cast<const wchar_t*>(dependencies.data()),
                                                   nullptr, nullptr));
  ASSERT_TRUE(service) << "cannot register " << toUtf8(name) << ": " << GetLastError();
  if (!start) return;
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  SERVICE_STATUS status{};
  for (int pass = 0; pass < 200 && QueryServiceStatus(service.get(), &status); ++pass) {
    if (status.dwCurrentState == SERVICE_RUNNING) return;
    Sleep(50);
  }
  FAIL() << toUtf8(name) << " did not start";
}

void disableService(const std::u16string& name) {
  const auto service = openService(name, SERVICE_CHANGE_CONFIG);
  ASSERT_TRUE(service && ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      << GetLastError();
}

void requestStop(const std::u16string& name) {
  const auto service = openService(name, SERVICE_STOP);
  SERVICE_STATUS status{};
  ASSERT_TRUE(service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
}

void removeService(const std::u16string& name) {
  const auto service = openService(name, DELETE | SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL);
  if (!service) return;
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.get(), kTestServiceExitNow, &status);
    for (int pass = 0; pass < 100 && QueryServiceStatus(service.get(), &status); ++pass) {
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      Sleep(50);
    }
  }
  DeleteService(service.get());
}

ServiceNames::~ServiceNames() {
  for (const auto& name : names_) removeService(name);
}

std::u16string ServiceNames::make(const std::u16string& prefix) {
  // Wine reuses process ids from one session to the next: the start time
  // keeps names apart, and a leftover of a crashed run is removed first.
  static const auto session = toDecimal(static_cast<std::int64_t>(GetTickCount64() % 1'000'000));
  static unsigned counter = 0;
  names_.push_back(prefix + session + u"p" + toDecimal(GetCurrentProcessId()) + u"n" + toDecimal(++counter));
  removeService(names_.back());
  return names_.back();
}

void ServiceNames::remove(const std::u16string& name) {
  removeService(name);
  names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
}

}  // namespace usqz::testing
