#include "test_services.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/unique_handles.h"
#include "platform/win32/windows_api.h"
#include "text.h"

namespace usqz::testing {

namespace {

using platform::win32::UniqueServiceHandle;
using platform::win32::WideZ;

UniqueServiceHandle openService(const std::u16string& name, DWORD access) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  return UniqueServiceHandle(OpenServiceW(manager.get(), WideZ(name).get(), access));
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
  static unsigned counter = 0;
  names_.push_back(prefix + toDecimal(GetCurrentProcessId()) + u"n" + toDecimal(++counter));
  return names_.back();
}

void ServiceNames::remove(const std::u16string& name) {
  removeService(name);
  names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
}

}  // namespace usqz::testing
