// POSIX systems have no Windows service control manager. The tool still
// builds and runs there (usage, names, result file); any run that needs the
// manager fails at connecting, as it would on a Windows machine without one.
#include "../native.h"

namespace usqz::platform {

namespace {

class UnavailableServiceControl final : public ServiceControl {
 public:
  ServiceOpenResult openManager(std::uint32_t) override { return {{}, kErrorCallNotImplemented}; }
  ServiceOpenResult openExisting(ServiceHandle, std::u16string_view, std::uint32_t) override {
    return {{}, kErrorInvalidHandle};
  }
  ServiceOpenResult registerService(ServiceHandle, std::u16string_view, std::u16string_view) override {
    return {{}, kErrorInvalidHandle};
  }
  ServiceList listServices(ServiceHandle) override { return {{}, kErrorInvalidHandle}; }
  ServiceConfig queryConfig(ServiceHandle) override { return {{}, 0, kErrorInvalidHandle, {}}; }
  ServiceList listActiveDependents(ServiceHandle) override { return {{}, kErrorInvalidHandle}; }
  FailureActions queryFailureActions(ServiceHandle) override { return {0, {}, kErrorInvalidHandle}; }
  OsError setFailureActions(ServiceHandle, const FailureActions&) override { return kErrorInvalidHandle; }
  OsError queryStatus(ServiceHandle, ServiceStatus&) override { return kErrorInvalidHandle; }
  OsError queryProcess(ServiceHandle, ServiceStatus&, std::uint32_t&) override { return kErrorInvalidHandle; }
  OsError sendStop(ServiceHandle, ServiceStatus&) override { return kErrorInvalidHandle; }
  OsError sendStart(ServiceHandle) override { return kErrorInvalidHandle; }
  StatusWait waitForStatus(ServiceHandle, std::uint32_t, std::uint32_t) override { return StatusWait::TimedOut; }
  void release(ServiceHandle) override {}
};

}  // namespace

std::unique_ptr<ServiceControl> makeNativeServiceControl() { return std::make_unique<UnavailableServiceControl>(); }

}  // namespace usqz::platform
