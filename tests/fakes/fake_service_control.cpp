#include "fake_service_control.h"

#include <algorithm>

#include "platform/text.h"

namespace usqz::platform::fake {

namespace {

// Service names are not case-sensitive.
std::u16string keyOf(std::u16string_view name) { return toAsciiUpper(name); }

}  // namespace

void FakeServiceControl::removeService(const std::u16string& name) { services_.erase(keyOf(name)); }

FakeService& FakeServiceControl::addService(const std::u16string& name, const std::u16string& binaryPath,
                                            std::uint32_t state) {
  FakeService& service = services_[keyOf(name)];
  service.name = name;
  service.binaryPath = binaryPath;
  service.state = state;
  service.since = clock_.now();
  if (state != kServiceStopped) {
    service.processId = nextProcessId_ += 4;
    processExits_[service.processId] = kNever;
  }
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
  if (service.processId != 0) {
    auto& exitsAt = processExits_[service.processId];
    exitsAt = std::min(exitsAt, clock_.now() + service.stop.lingerMs);
  }
  service.processId = 0;
}

void FakeServiceControl::advanceAll() {
  for (auto& [key, service] : services_) advance(service);
}

bool FakeServiceControl::processAlive(std::uint32_t processId) {
  advanceAll();
  const auto it = processExits_.find(processId);
  return it != processExits_.end() && clock_.now() < it->second;
}

ProcessStateResult FakeServiceControl::waitForProcessExit(std::uint32_t processId, std::uint32_t waitMs) {
  const auto started = clock_.now();
  while (processAlive(processId)) {
    if (clock_.now() - started >= waitMs) return {ProcessState::Running, kOk};
    clock_.advance(1);
  }
  return {ProcessState::Exited, kOk};
}

OsError FakeServiceControl::terminateProcess(std::uint32_t processId) {
  if (!processAlive(processId)) return kOk;
  processExits_[processId] = clock_.now();
  for (auto& [key, service] : services_) {
    if (service.processId == processId) {
      for (const auto& action : service.failureActions.actions) {
        if (action.type == kActionRestart) {
          ++service.endedWhileRestartArmed;
          break;
        }
      }
      service.stop.lingerMs = 0;
      markStopped(service, kErrorProcessAborted);
    }
  }
  return kOk;
}

FakeService* FakeServiceControl::serviceFor(ServiceHandle value, std::uint32_t right, OsError& error) {
  const Handle* owner = handle(value, false);
  if (owner == nullptr) {
    error = kErrorInvalidHandle;
    return nullptr;
  }
  if ((owner->access & right) == 0) {
    error = kErrorAccessDenied;
    return nullptr;
  }
  auto& target = services_.at(owner->key);
  advance(target);
  error = kOk;
  return &target;
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
      if (service.run.pendingMs != kNever && elapsed >= service.run.pendingMs) {
        service.state = kServiceRunning;
        service.since = clock_.now();
      } else {
        ++service.checkPoint;
      }
      break;
    case kServiceRunning:
      if (service.run.exitsSilentlyAfterMs && elapsed >= *service.run.exitsSilentlyAfterMs &&
          service.processId != 0) {
        auto& exitsAt = processExits_[service.processId];
        exitsAt = std::min(exitsAt, service.since + *service.run.exitsSilentlyAfterMs);
      }
      if (service.run.restartedAfterMs && elapsed >= *service.run.restartedAfterMs && service.processId != 0) {
        auto& exitsAt = processExits_[service.processId];
        exitsAt = std::min(exitsAt, service.since + *service.run.restartedAfterMs);
        service.processId = nextProcessId_ += 4;
        processExits_[service.processId] = kNever;
        service.since = clock_.now();
        service.run.restartedAfterMs.reset();
        break;
      }
      if (service.run.diesAfterMs && elapsed >= *service.run.diesAfterMs) {
        markStopped(service, service.run.exitCode);
        service.specificExitCode = service.run.specificExitCode;
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
    status.dwWaitHint = service.run.waitHint;
  }
  if (service.state == kServiceRunning || service.state == kServicePaused) {
    status.dwControlsAccepted = service.stop.refused ? 0 : kAcceptStop;
  }
  return status;
}

ServiceList FakeServiceControl::listServices(ServiceHandle manager) {
  if (const auto error = faults_.onCall(ServiceOp::ListServices)) return {{}, error};
  const Handle* owner = handle(manager, true);
  if (owner == nullptr) return {{}, kErrorInvalidHandle};
  if ((owner->access & kManagerEnumerateService) == 0) return {{}, kErrorAccessDenied};
  ServiceList list;
  for (const auto& [key, service] : services_) list.names.push_back(service.name);
  return list;
}

ServiceConfig FakeServiceControl::queryConfig(ServiceHandle service) {
  if (const auto error = faults_.onCall(ServiceOp::QueryConfig)) return {{}, 0, error, {}};
  OsError error = kOk;
  const FakeService* target = serviceFor(service, kServiceQueryConfig, error);
  if (target == nullptr) return {{}, 0, error, {}};
  return {target->binaryPath, target->startType, kOk, target->dependsOn};
}

FailureActions FakeServiceControl::queryFailureActions(ServiceHandle service) {
  if (const auto error = faults_.onCall(ServiceOp::QueryFailureActions)) return {0, {}, error};
  OsError error = kOk;
  const FakeService* target = serviceFor(service, kServiceQueryConfig, error);
  if (target == nullptr) return {0, {}, error};
  auto actions = target->failureActions;
  actions.error = kOk;
  return actions;
}

OsError FakeServiceControl::setFailureActions(ServiceHandle service, const FailureActions& actions) {
  if (const auto error = faults_.onCall(ServiceOp::SetFailureActions)) return error;
  OsError error = kOk;
  FakeService* target = serviceFor(service, kServiceChangeConfig, error);
  if (target == nullptr) return error;
  target->failureActions = actions;
  target->failureActions.error = kOk;
  return kOk;
}

void FakeServiceControl::collectActiveDependents(const std::u16string& key, std::vector<std::u16string>& found) {
  // A cycle (which the real manager refuses to register) ends where it began.
  if (std::find(visiting_.begin(), visiting_.end(), key) != visiting_.end()) return;
  visiting_.push_back(key);
  for (auto& [otherKey, other] : services_) {
    advance(other);
    const bool depends = std::any_of(other.dependsOn.begin(), other.dependsOn.end(),
                                     [&](const std::u16string& name) { return keyOf(name) == key; });
    if (!depends || other.state == kServiceStopped) continue;
    if (std::find(found.begin(), found.end(), other.name) != found.end()) continue;
    collectActiveDependents(otherKey, found);
    if (std::find(found.begin(), found.end(), other.name) == found.end()) found.push_back(other.name);
  }
  visiting_.pop_back();
}

ServiceList FakeServiceControl::listActiveDependents(ServiceHandle service) {
  if (const auto error = faults_.onCall(ServiceOp::ListDependents)) return {{}, error};
  OsError error = kOk;
  if (serviceFor(service, kServiceEnumerateDependents, error) == nullptr) return {{}, error};
  ServiceList list;
  collectActiveDependents(handle(service, false)->key, list.names);
  return list;
}

OsError FakeServiceControl::queryStatus(ServiceHandle service, ServiceStatus& status) {
  if (const auto error = faults_.onCall(ServiceOp::QueryStatus)) return error;
  OsError error = kOk;
  const FakeService* target = serviceFor(service, kServiceQueryStatus, error);
  if (target == nullptr) return error;
  status = statusOf(*target);
  return kOk;
}

OsError FakeServiceControl::queryProcess(ServiceHandle service, ServiceStatus& status, std::uint32_t& processId) {
  if (const auto error = faults_.onCall(ServiceOp::QueryProcess)) return error;
  OsError error = kOk;
  const FakeService* target = serviceFor(service, kServiceQueryStatus, error);
  if (target == nullptr) return error;
  status = statusOf(*target);
  processId = target->processId;
  return kOk;
}

OsError FakeServiceControl::sendStop(ServiceHandle service, ServiceStatus& status) {
  if (const auto error = faults_.onCall(ServiceOp::SendStop)) return error;
  OsError error = kOk;
  FakeService* found = serviceFor(service, kServiceStop, error);
  if (found == nullptr) return error;
  auto& target = *found;
  ++target.stopRequests;
  if (target.state == kServiceStopped) return kErrorServiceNotActive;
  if (target.state == kServiceStartPending || target.state == kServiceStopPending) {
    return kErrorServiceCannotAcceptControl;
  }
  std::vector<std::u16string> dependents;
  collectActiveDependents(keyOf(target.name), dependents);
  if (!dependents.empty()) return kErrorDependentServicesRunning;
  // A process that exited without a word cannot take the control; the
  // manager learns from the broken pipe that the service is gone.
  if (target.processId != 0 && !processAlive(target.processId)) {
    markStopped(target, kErrorProcessAborted);
    return kErrorNoData;
  }
  if (target.stop.refused) return target.stop.refusalCode;
  target.state = kServiceStopPending;
  target.since = clock_.now();
  target.checkPoint = 0;
  target.exitCode = 0;
  if (target.stop.takesMs == 0) markStopped(target, 0);
  status = statusOf(target);
  requests_.push_back(u"stop " + target.name);
  return kOk;
}

OsError FakeServiceControl::sendStart(ServiceHandle service) {
  if (const auto error = faults_.onCall(ServiceOp::SendStart)) return error;
  OsError error = kOk;
  FakeService* found = serviceFor(service, kServiceStart, error);
  if (found == nullptr) return error;
  auto& target = *found;
  ++target.startRequests;
  if (target.state != kServiceStopped) return kErrorServiceAlreadyRunning;
  if (clock_.now() < target.stoppedAt + target.stop.lingerMs) return kErrorServiceAlreadyRunning;
  if (target.startType == kServiceDisabled) return kErrorServiceDisabled;
  std::optional<std::string> image = std::string();
  if (readExecutable_) image = readExecutable_(unquoted(target.binaryPath));
  if (!image) return kErrorFileNotFound;
  target.runningImage = std::move(image);
  target.processId = nextProcessId_ += 4;
  processExits_[target.processId] = kNever;
  target.exitCode = 0;
  target.checkPoint = 0;
  target.since = clock_.now();
  const bool behaves = !target.startsThatBehave || *target.startsThatBehave > 0;
  if (target.startsThatBehave && *target.startsThatBehave > 0) --*target.startsThatBehave;
  target.run = !behaves || (target.startOnlyFor && target.runningImage != *target.startOnlyFor) ? StartBehaviour{}
                                                                                                : target.start;
  target.state = target.run.pendingMs == 0 ? kServiceRunning : kServiceStartPending;
  requests_.push_back(u"start " + target.name);
  return kOk;
}

StatusWait FakeServiceControl::waitForStatus(ServiceHandle service, std::uint32_t notifyMask,
                                             std::uint32_t timeoutMs) {
  faults_.onCall(ServiceOp::WaitForStatus);
  const Handle* owner = handle(service, false);
  const auto told = [&] {
    if (owner == nullptr || !notificationsDelivered_) return false;
    auto& target = services_.at(owner->key);
    advance(target);
    // A service whose process is gone reports nothing any more.
    if (target.processId != 0 && !processAlive(target.processId)) return false;
    return ((notifyMask & kNotifyStopped) != 0 && target.state == kServiceStopped) ||
           ((notifyMask & kNotifyRunning) != 0 && target.state == kServiceRunning);
  };
  for (std::uint32_t waited = 0; waited < timeoutMs; ++waited) {
    if (told()) {
      ++waitsNotified_;
      return StatusWait::Notified;
    }
    clock_.advance(1);
  }
  return StatusWait::TimedOut;
}

void FakeServiceControl::release(ServiceHandle value) {
  if (faults_.onCall(ServiceOp::Release, true) == kErrorProcessDead) return;
  if (handles_.erase(value) == 0) ++badReleases_;
}

void FakeServiceControl::restartMachine() {
  for (auto& [key, service] : services_) {
    if (service.processId != 0) processExits_[service.processId] = std::min(processExits_[service.processId], clock_.now());
    service.state = kServiceStopped;
    service.processId = 0;
    service.stoppedAt = clock_.now();
    if (service.startType != kServiceAutoStart) continue;
    std::optional<std::string> image = std::string();
    if (readExecutable_) image = readExecutable_(unquoted(service.binaryPath));
    if (!image) continue;
    service.runningImage = std::move(image);
    service.processId = nextProcessId_ += 4;
    processExits_[service.processId] = kNever;
    service.exitCode = 0;
    service.since = clock_.now();
    service.run = service.startOnlyFor && service.runningImage != *service.startOnlyFor ? StartBehaviour{} : service.start;
    service.state = service.run.pendingMs == 0 ? kServiceRunning : kServiceStartPending;
  }
}

void FakeServiceControl::afterDeath() {
  handles_.clear();
  processHandles_.clear();
}

// Like OpenProcess: a process that has exited can still be opened while
// the manager holds it, one that never was cannot.
ProcessOpenResult FakeServiceControl::openProcess(std::uint32_t processId) {
  if (const auto error = faults_.onCall(ServiceOp::OpenProcess)) return {{}, false, error};
  if (processExits_.count(processId) == 0) return {{}, true, kErrorInvalidParameter};
  const ProcessHandle handle(nextHandle_++);
  processHandles_[handle] = processId;
  return {handle, false, kOk};
}

ProcessStateResult FakeServiceControl::waitForExit(ProcessHandle process, std::uint32_t waitMs) {
  if (const auto error = faults_.onCall(ServiceOp::WaitProcess)) return {ProcessState::Unknown, error};
  const auto it = processHandles_.find(process);
  if (it == processHandles_.end()) return {ProcessState::Unknown, kErrorInvalidHandle};
  return waitForProcessExit(it->second, waitMs);
}

OsError FakeServiceControl::terminate(ProcessHandle process) {
  if (const auto error = faults_.onCall(ServiceOp::TerminateProcess)) return error;
  const auto it = processHandles_.find(process);
  if (it == processHandles_.end()) return kErrorInvalidHandle;
  return terminateProcess(it->second);
}

// Ids are never given twice here: the id stands for the creation, apart
// from a process a test gives the id of one before (reuseProcessId).
std::uint64_t FakeServiceControl::creationTime(ProcessHandle process) {
  if (faults_.onCall(ServiceOp::ProcessTimes)) return 0;
  const auto it = processHandles_.find(process);
  if (it == processHandles_.end()) return 0;
  const auto reused = creationOverride_.find(it->second);
  return reused != creationOverride_.end() ? reused->second : 0x1D0000000000000ull + it->second;
}

void FakeServiceControl::closeProcess(ProcessHandle process) {
  if (faults_.onCall(ServiceOp::CloseProcess, true) == kErrorProcessDead) return;
  processHandles_.erase(process);
}

}  // namespace usqz::platform::fake
