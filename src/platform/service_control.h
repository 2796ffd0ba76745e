// The service control manager, as the update run needs it. Portable header:
// win32/ talks to the real manager; the tests bring an in-memory one.
//
// Every operation that can fail returns the OS error code of the failure
// (0 on success), taken right after the failing call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file_and_process.h"

namespace usqz::platform {

struct ServiceOpenResult {
  ServiceHandle handle;
  OsError error = kOk;
};

// What the manager has registered for a service.
struct ServiceConfig {
  std::u16string binaryPath;  // the command line, as registered
  std::uint32_t startType = 0;
  OsError error = kOk;
  // The services it needs to run (load-order groups left out).
  std::vector<std::u16string> dependencies;
};

struct ServiceList {
  std::vector<std::u16string> names;
  OsError error = kOk;
};

// What the manager does when the service's process fails: actions in
// order, one per failure, the last repeated, counted again after
// `resetSeconds` without a failure.
struct FailureAction {
  std::uint32_t type = 0;  // kActionNone, kActionRestart, …
  std::uint32_t delayMs = 0;
  friend bool operator==(const FailureAction&, const FailureAction&) = default;
};

struct FailureActions {
  std::uint32_t resetSeconds = 0;
  std::vector<FailureAction> actions;
  OsError error = kOk;
};

inline constexpr std::uint32_t kActionNone = 0;
inline constexpr std::uint32_t kActionRestart = 1;
inline constexpr std::uint32_t kActionReboot = 2;
inline constexpr std::uint32_t kActionRunCommand = 3;

// Field for field the platform's SERVICE_STATUS record.
struct ServiceStatus {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwCurrentState = 0;
  std::uint32_t dwControlsAccepted = 0;
  std::uint32_t dwWin32ExitCode = 0;
  std::uint32_t dwServiceSpecificExitCode = 0;
  std::uint32_t dwCheckPoint = 0;
  std::uint32_t dwWaitHint = 0;
};

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

// States a wait for a status change may ask to be told of.
inline constexpr std::uint32_t kNotifyStopped = 0x01;
inline constexpr std::uint32_t kNotifyRunning = 0x08;

enum class StatusWait {
  Notified,  // the service reported one of the states asked for
  TimedOut,  // nothing was told within the time (the state may still have changed)
};

// Manager rights.
inline constexpr std::uint32_t kManagerConnect = 0x0001;
inline constexpr std::uint32_t kManagerCreateService = 0x0002;
inline constexpr std::uint32_t kManagerEnumerateService = 0x0004;
// Service rights: query configuration and status, start and stop.
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;
inline constexpr std::uint32_t kServiceEnumerateDependents = 0x0008;
inline constexpr std::uint32_t kServiceStart = 0x0010;
inline constexpr std::uint32_t kServiceStop = 0x0020;
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

// Controls a service says it accepts (dwControlsAccepted).
inline constexpr std::uint32_t kAcceptStop = 0x0001;

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceDisabled = 4;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// Error codes of the service control manager the tool meets.
inline constexpr OsError kErrorServiceRequestTimeout = 1053;
inline constexpr OsError kErrorServiceDoesNotExist = 1060;
inline constexpr OsError kErrorServiceCannotAcceptControl = 1061;
inline constexpr OsError kErrorServiceNotActive = 1062;
inline constexpr OsError kErrorServiceAlreadyRunning = 1056;
inline constexpr OsError kErrorServiceExists = 1073;
inline constexpr OsError kErrorServiceSpecificError = 1066;
inline constexpr OsError kErrorDependentServicesRunning = 1051;
inline constexpr OsError kErrorProcessAborted = 1067;

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  // The local machine's default database.
  virtual ServiceOpenResult openManager(std::uint32_t access) = 0;
  virtual ServiceOpenResult openExisting(ServiceHandle manager, std::u16string_view name,
                                         std::uint32_t access) = 0;
  // Registers an own-process service that starts automatically, under the
  // platform's default account, with no display name and normal error
  // control. The executable path is registered enclosed in double quotes, so
  // that a path with blanks can never be read as a shorter program name.
  // The handle has all access.
  virtual ServiceOpenResult registerService(ServiceHandle manager, std::u16string_view name,
                                            std::u16string_view executablePath) = 0;

  // Own-process Win32 services of every state, by name.
  virtual ServiceList listServices(ServiceHandle manager) = 0;
  // Needs the query-configuration right.
  virtual ServiceConfig queryConfig(ServiceHandle service) = 0;
  // The services that depend on this one and are not stopped, in the order
  // the manager gives them: dependents of dependents before their own, the
  // order in which to stop them. Needs the enumerate-dependents right.
  virtual ServiceList listActiveDependents(ServiceHandle service) = 0;

  // Needs the query-configuration right.
  virtual FailureActions queryFailureActions(ServiceHandle service) = 0;
  // Replaces the actions and their reset period, nothing else (the reboot
  // message and the command stay). Needs the change-configuration right,
  // and the start right for restart actions.
  virtual OsError setFailureActions(ServiceHandle service, const FailureActions& actions) = 0;

  // Both overwrite `status` on success only.
  virtual OsError queryStatus(ServiceHandle service, ServiceStatus& status) = 0;
  // The same, and the id of the service's process (0 when it has none).
  virtual OsError queryProcess(ServiceHandle service, ServiceStatus& status, std::uint32_t& processId) = 0;
  virtual OsError sendStop(ServiceHandle service, ServiceStatus& status) = 0;
  // No arguments; does not wait for the service to run.
  virtual OsError sendStart(ServiceHandle service) = 0;

  // Waits up to `timeoutMs`, using no processor meanwhile, or until the
  // service reports one of the states in `notifyMask` (kNotify...). Only a
  // hint that it is time to query: some managers tell only of states the
  // service reports itself (not of a process that died), and one request
  // may be outstanding per handle, so a caller queries after every wait.
  virtual StatusWait waitForStatus(ServiceHandle service, std::uint32_t notifyMask, std::uint32_t timeoutMs) = 0;

  virtual void release(ServiceHandle handle) = 0;
};

// Owns a manager or service handle.
using OwnedServiceHandle = OwnedHandle<ServiceHandle, ServiceControl, &ServiceControl::release>;

}  // namespace usqz::platform
