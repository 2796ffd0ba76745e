// An in-memory service control manager for tests: services by name with
// state, registered path, start type and account; scripted stop and start
// behaviour on a virtual clock; fault injection at every operation. It runs
// the services' processes, so it also hands them out by handle.
#pragma once

#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "platform/processes.h"
#include "platform/service_control.h"

namespace usqz::platform::fake {

enum class ServiceOp {
  OpenManager,
  OpenExisting,
  RegisterService,
  ListServices,
  QueryConfig,
  ListDependents,
  QueryStatus,
  QueryProcess,
  SendStop,
  SendStart,
  OpenProcess,
  WaitProcess,
  TerminateProcess,
  ProcessTimes,
  QueryFailureActions,
  SetFailureActions,
  WaitForStatus,  // cannot fail; counted only
  CloseProcess,   // cannot fail; counted only
  Release,        // cannot fail; counted only
};

inline constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
inline constexpr OsError kErrorInvalidServiceControl = 1052;
inline constexpr OsError kErrorServiceDisabled = 1058;
inline constexpr OsError kErrorNoData = 232;  // "the pipe is being closed"

struct StopBehaviour {
  bool refused = false;
  OsError refusalCode = kErrorInvalidServiceControl;
  // How long the service stays stop-pending after the request (kNever: for
  // ever), and whether its checkpoint advances with every query meanwhile.
  std::uint64_t takesMs = 0;
  bool reportsProgress = true;
  std::uint32_t waitHint = 0;
  // The process goes on exiting this long after the service reports
  // stopped; meanwhile a start is refused as "already running".
  std::uint64_t lingerMs = 0;
};

struct StartBehaviour {
  std::uint64_t pendingMs = 0;  // start-pending this long (kNever: for ever)
  std::uint32_t waitHint = 0;
  // Reports stopped with `exitCode` this long after reaching running.
  std::optional<std::uint64_t> diesAfterMs;
  // Its process exits this long after reaching running without a word, and
  // the manager goes on reporting it running (as Wine's does).
  std::optional<std::uint64_t> exitsSilentlyAfterMs;
  // Its process ends this long after reaching running and the service is
  // started again at once in a new process (a restart action, an
  // operator), once.
  std::optional<std::uint64_t> restartedAfterMs;
  std::uint32_t exitCode = kErrorProcessAborted;
  // With exitCode 1066 (ERROR_SERVICE_SPECIFIC_ERROR): the service's own code.
  std::uint32_t specificExitCode = 0;
};

struct FakeService {
  std::u16string name;
  std::u16string binaryPath;  // as registered
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t startType = kServiceAutoStart;
  std::u16string account;  // empty: the platform's default account
  std::vector<std::u16string> dependsOn;  // names of the services it needs
  std::uint32_t state = kServiceStopped;
  std::uint32_t exitCode = 0;
  std::uint32_t specificExitCode = 0;
  StopBehaviour stop;
  StartBehaviour start;
  // When set, `start` applies only to starts of this executable; others run
  // as a healthy service does (a bad new version, a good previous one).
  std::optional<std::string> startOnlyFor;
  // When set, `start` applies only to this many starts from now on.
  std::optional<unsigned> startsThatBehave;
  // What the service ran from: the executable's content when it started.
  std::optional<std::string> runningImage;
  unsigned stopRequests = 0;
  unsigned startRequests = 0;
  // What the manager does when its process fails; how often its process
  // was ended while one of them would have restarted it.
  FailureActions failureActions;
  unsigned endedWhileRestartArmed = 0;
  // The process it runs in; 0 when it has none.
  std::uint32_t processId = 0;

  // Internal: how the current run behaves, when the pending state began,
  // and checkpoints reported.
  StartBehaviour run;
  std::uint64_t since = 0;
  std::uint32_t checkPoint = 0;
  std::uint64_t stoppedAt = 0;
};

class FakeServiceControl final : public ServiceControl, public Processes {
 public:
  explicit FakeServiceControl(VirtualClock& clock) : clock_(clock) {}

  // -- setting the scene --
  // binaryPath is stored as given; registerService quotes it.
  FakeService& addService(const std::u16string& name, const std::u16string& binaryPath,
                          std::uint32_t state = kServiceStopped);
  // Where the manager reads executables from when it starts a service; a
  // missing file makes the start fail with "file not found".
  void setExecutableReader(std::function<std::optional<std::string>(const std::u16string&)> reader) {
    readExecutable_ = std::move(reader);
  }
  // -- the services' processes, by id --
  // Waits on the virtual clock up to `waitMs` for the process to end.
  ProcessStateResult waitForProcessExit(std::uint32_t processId, std::uint32_t waitMs);
  // Ends it at once; the manager then reports its service stopped (1067).
  OsError terminateProcess(std::uint32_t processId);
  bool processAlive(std::uint32_t processId);
  // Another process created under an id already seen, as the system may
  // give an id again once its process is gone.
  void giveIdAgain(std::uint32_t processId) { creationOverride_[processId] = 0x1E0000000000000ull + processId; }
  // The tool's process died: the system closes its handles.
  void afterDeath();
  // The machine restarted: every process ended, and each service set to
  // start automatically started again in a new one, as it would behave.
  void restartMachine();
  std::size_t openProcessHandles() const { return processHandles_.size(); }
  // A manager that tells of no status change: every wait lasts its time.
  void setNotifications(bool delivered) { notificationsDelivered_ = delivered; }
  unsigned waitsNotified() const { return waitsNotified_; }
  // Rights the caller holds on the manager; asking for more is denied.
  void setGrantedManagerRights(std::uint32_t rights) { grantedManagerRights_ = rights; }
  // Deleted from the manager, as `sc delete` does.
  void removeService(const std::u16string& name);
  FaultPlan<ServiceOp>& faults() { return faults_; }

  // -- looking at the outcome --
  FakeService* find(std::u16string_view name);
  std::size_t serviceCount() const { return services_.size(); }
  std::size_t openHandles() const { return handles_.size(); }
  unsigned badReleases() const { return badReleases_; }
  unsigned calls(ServiceOp operation) const { return faults_.calls(operation); }
  std::vector<std::uint32_t> managerAccessRequests() const { return managerAccessRequests_; }
  // The stop and start requests the manager took, in order ("stop QZB").
  const std::vector<std::u16string>& requests() const { return requests_; }
  // The registered path without its enclosing quotes.
  static std::u16string unquoted(const std::u16string& binaryPath);

  // -- ServiceControl --
  ServiceOpenResult openManager(std::uint32_t access) override;
  ServiceOpenResult openExisting(ServiceHandle manager, std::u16string_view name, std::uint32_t access) override;
  ServiceOpenResult registerService(ServiceHandle manager, std::u16string_view name,
                                    std::u16string_view executablePath) override;
  ServiceList listServices(ServiceHandle manager) override;
  ServiceConfig queryConfig(ServiceHandle service) override;
  FailureActions queryFailureActions(ServiceHandle service) override;
  OsError setFailureActions(ServiceHandle service, const FailureActions& actions) override;
  // As Windows documents it: dependents of dependents before their own.
  ServiceList listActiveDependents(ServiceHandle service) override;
  OsError queryStatus(ServiceHandle service, ServiceStatus& status) override;
  OsError queryProcess(ServiceHandle service, ServiceStatus& status, std::uint32_t& processId) override;
  OsError sendStop(ServiceHandle service, ServiceStatus& status) override;
  OsError sendStart(ServiceHandle service) override;
  // Tells of the states a service reports itself, on the virtual clock.
  StatusWait waitForStatus(ServiceHandle service, std::uint32_t notifyMask, std::uint32_t timeoutMs) override;
  void release(ServiceHandle handle) override;

  // -- Processes --
  ProcessOpenResult openProcess(std::uint32_t processId) override;
  ProcessStateResult waitForExit(ProcessHandle process, std::uint32_t waitMs) override;
  OsError terminate(ProcessHandle process) override;
  void closeProcess(ProcessHandle process) override;
  std::uint64_t creationTime(ProcessHandle process) override;
  std::uint32_t currentProcessId() override { return 0x7A0; }
  // A fixed sequence, the same for every test.
  std::uint64_t unpredictableNumber() override { return 0x9E3779B97F4A7C15ULL * ++numbersGiven_; }

 private:
  struct Handle {
    bool isManager = false;
    std::u16string key;  // of the service
    std::uint32_t access = 0;
  };

  const Handle* handle(ServiceHandle value, bool manager) const;
  ServiceHandle newHandle(Handle handle);
  void advance(FakeService& service);
  void advanceAll();
  void collectActiveDependents(const std::u16string& key, std::vector<std::u16string>& found);
  // The service behind a handle with the right asked for, advanced to now.
  FakeService* serviceFor(ServiceHandle value, std::uint32_t right, OsError& error);
  void markStopped(FakeService& service, std::uint32_t exitCode);
  ServiceStatus statusOf(const FakeService& service) const;

  VirtualClock& clock_;
  FaultPlan<ServiceOp> faults_;
  std::map<std::u16string, FakeService> services_;  // by upper-case name
  std::map<ServiceHandle, Handle> handles_;
  std::vector<std::u16string> requests_;
  std::vector<std::u16string> visiting_;
  std::map<ProcessHandle, std::uint32_t> processHandles_;
  std::uintptr_t nextHandle_ = 0x5000;
  // When each process that ever ran exits (kNever: not yet known).
  std::map<std::uint32_t, std::uint64_t> processExits_;
  std::map<std::uint32_t, std::uint64_t> creationOverride_;
  std::uint32_t nextProcessId_ = 0x400;
  bool notificationsDelivered_ = true;
  unsigned waitsNotified_ = 0;
  unsigned badReleases_ = 0;
  std::uint32_t grantedManagerRights_ = 0xF003F;
  std::vector<std::uint32_t> managerAccessRequests_;
  std::function<std::optional<std::string>(const std::u16string&)> readExecutable_;
  std::uint64_t numbersGiven_ = 0;
};

}  // namespace usqz::platform::fake
