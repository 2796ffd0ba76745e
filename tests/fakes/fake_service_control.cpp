#include "fake_service_control.h"

#include "text.h"

namespace usqz::platform::fake {

namespace {

// Service names are not case-sensitive.
std::u16string keyOf(std::u16string_view name) { return toAsciiUpper(name); }

}  // namespace

FakeService& FakeServiceControl::addService(const std::u16string& name, const std::u16string& binaryPath,
                                            std::uint32_t state) {
  FakeService& service = services_[keyOf(name)];
  service.name = name;
  service.binaryPath = binaryPath;
  service.state = state;
  service.since = clock_.now();
  return service;
}

FakeService* FakeServiceControl::find(std::u16string_view name) {
  const auto it = services_.find(keyOf(name));
  return it == services_.end() ? nullptr : &it->second;
}

std::u16string FakeServiceControl::unquoted(const std::u16string& binaryPath) {
  if (binaryPath.size() >= 2 && binaryPath.front() == u'"' && binaryPath.back() == u'"') {
    return binaryPath.substr(1, binaryPath.size() - 2);
  }
  return binaryPath;
}

const FakeServiceControl::Handle* FakeServiceControl::handle(ServiceHandle value, bool manager) const {
  const auto it = handles_.find(value);
  if (it == handles_.end() || it->second.isManager != manager) return nullptr;
  return &it->second;
}

ServiceHandle FakeServiceControl::newHandle(Handle handle) {
  const ServiceHandle value(nextHandle_++);
  handles_[value] = std::move(handle);
  return value;
}

ServiceOpenResult FakeServiceControl::openManager(std::uint32_t access) {
  managerAccessRequests_.push_back(access);
  if (const auto error = faults_.onCall(ServiceOp::OpenManager)) return {{}, error};
  if ((access & ~grantedManagerRights_) != 0) return {{}, kErrorAccessDenied};
  return {newHandle({true, {}, access}), kOk};
}

ServiceOpenResult FakeServiceControl::openExisting(ServiceHandle manager, std::u16string_view name,
                                                   std::uint32_t access) {
  if (const auto error = faults_.onCall(ServiceOp::OpenExisting)) return {{}, error};
  if (handle(manager, true) == nullptr) return {{}, kErrorInvalidHandle};
  if (name.empty() || name.find_first_of(u"\\/") != std::u16string_view::npos) return {{}, kErrorInvalidName};
  const auto key = keyOf(name);
  if (services_.count(key) == 0) return {{}, kErrorServiceDoesNotExist};
  return {newHandle({false, key, access}), kOk};
}

ServiceOpenResult FakeServiceControl::registerService(ServiceHandle manager, std::u16string_view name,
                                                      std::u16string_view executablePath) {
  if (const auto error = faults_.onCall(ServiceOp::RegisterService)) return {{}, error};
  const Handle* owner = handle(manager, true);
  if (owner == nullptr) return {{}, kErrorInvalidHandle};
  if ((owner->access & kManagerCreateService) == 0) return {{}, kErrorAccessDenied};
  if (name.empty() || name.size() > 256 || name.find_first_of(u"\\/") != std::u16string_view::npos) {
    return {{}, kErrorInvalidName};
  }
  const auto key = keyOf(name);
  if (services_.count(key) != 0) return {{}, kErrorServiceExists};
  addService(std::u16string(name), u"\"" + std::u16string(executablePath) + u"\"");
  return {newHandle({false, key, kServiceAllAccess}), kOk};
}

void FakeServiceControl::markStopped(FakeService& service, std::uint32_t exitCode) {
  service.state = kServiceStopped;
  service.exitCode = exitCode;
  service.specificExitCode = 0;
  service.runningImage.reset();
  service.stoppedAt = clock_.now();
}

void FakeServiceControl::advance(FakeService& service) {
  const auto elapsed = clock_.now() - service.since;
  switch (service.state) {
    case kServiceStopPending:
      if (service.stop.takesMs != kNever && elapsed >= service.stop.takesMs) {
        markStopped(service, 0);
      } else if (service.stop.reportsProgress) {
        ++service.checkPoint;
      }
      break;
    case kServiceStartPending:
      if (service.start.pendingMs != kNever && elapsed >= service.start.pendingMs) {
        service.state = kServiceRunning;
        service.since = clock_.now();
      } else {
        ++service.checkPoint;
      }
      break;
    case kServiceRunning:
      if (service.start.diesAfterMs && elapsed >= *service.start.diesAfterMs) {
        markStopped(service, service.start.exitCode);
        service.specificExitCode = service.start.specificExitCode;
      }
      break;
    default:
      break;
  }
}

ServiceStatus FakeServiceControl::statusOf(const FakeService& service) const {
  ServiceStatus status;
  status.dwServiceType = service.serviceType;
  status.dwCurrentState = service.state;
  status.dwWin32ExitCode = service.exitCode;
  status.dwServiceSpecificExitCode = service.specificExitCode;
  if (service.state == kServiceStopPending) {
    status.dwCheckPoint = service.checkPoint;
    status.dwWaitHint = service.stop.waitHint;
  } else if (service.state == kServiceStartPending) {
    status.dwCheckPoint = service.checkPoint;
    status.dwWaitHint = service.start.waitHint;
  }
  if (service.state == kServiceRunning) status.dwControlsAccepted = service.stop.refused ? 0 : 1;
  return status;
}

OsError FakeServiceControl::queryStatus(ServiceHandle service, ServiceStatus& status) {
  if (const auto error = faults_.onCall(ServiceOp::QueryStatus)) return error;
  const Handle* owner = handle(service, false);
  if (owner == nullptr) return kErrorInvalidHandle;
  if ((owner->access & kServiceQueryStatus) == 0) return kErrorAccessDenied;
  auto& target = services_.at(owner->key);
  advance(target);
  status = statusOf(target);
  return kOk;
}

OsError FakeServiceControl::sendStop(ServiceHandle service, ServiceStatus& status) {
  if (const auto error = faults_.onCall(ServiceOp::SendStop)) return error;
  const Handle* owner = handle(service, false);
  if (owner == nullptr) return kErrorInvalidHandle;
  if ((owner->access & kServiceStop) == 0) return kErrorAccessDenied;
  auto& target = services_.at(owner->key);
  advance(target);
  ++target.stopRequests;
  if (target.state == kServiceStopped) return kErrorServiceNotActive;
  if (target.state != kServiceRunning) return kErrorServiceCannotAcceptControl;
  if (target.stop.refused) return target.stop.refusalCode;
  target.state = kServiceStopPending;
  target.since = clock_.now();
  target.checkPoint = 0;
  target.exitCode = 0;
  if (target.stop.takesMs == 0) markStopped(target, 0);
  status = statusOf(target);
  return kOk;
}

OsError FakeServiceControl::sendStart(ServiceHandle service) {
  if (const auto error = faults_.onCall(ServiceOp::SendStart)) return error;
  const Handle* owner = handle(service, false);
  if (owner == nullptr) return kErrorInvalidHandle;
  if ((owner->access & kServiceStart) == 0) return kErrorAccessDenied;
  auto& target = services_.at(owner->key);
  advance(target);
  ++target.startRequests;
  if (target.state != kServiceStopped) return kErrorServiceAlreadyRunning;
  if (clock_.now() < target.stoppedAt + target.stop.lingerMs) return kErrorServiceAlreadyRunning;
  std::optional<std::string> image = std::string();
  if (readExecutable_) image = readExecutable_(unquoted(target.binaryPath));
  if (!image) return kErrorFileNotFound;
  target.runningImage = std::move(image);
  target.exitCode = 0;
  target.checkPoint = 0;
  target.since = clock_.now();
  target.state = target.start.pendingMs == 0 ? kServiceRunning : kServiceStartPending;
  return kOk;
}

void FakeServiceControl::release(ServiceHandle value) {
  faults_.onCall(ServiceOp::Release);
  if (handles_.erase(value) == 0) ++badReleases_;
}

}  // namespace usqz::platform::fake
