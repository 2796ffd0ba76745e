#include "run/service/service_waits.h"

#include <algorithm>

#include "platform/text.h"
#include "common/tool_error.h"

namespace usqz {

namespace {

using platform::kOk;
using platform::ProcessState;
using platform::ServiceStatus;

// Longest wait between two status queries. A wait ends sooner when the
// manager tells of the state waited for (or the process waited on ends), so
// this bounds only how late a change that nobody tells of is seen.
constexpr std::uint32_t kPollMs = 100;
// A wait gives up when the service shows no progress for longer than the
// larger of its wait hint and this, or when it has lasted the whole limit.
constexpr std::uint64_t kMinPatienceMs = 30'000;
constexpr std::uint64_t kWaitLimitMs = 600'000;
// How long a freshly started service is watched before it counts as running.
constexpr std::uint64_t kStartWatchMs = 1'500;
// An exiting process is gone within milliseconds, and the service is down
// meanwhile: its start is tried again sooner than the status is polled, for
// at most this long.
constexpr std::uint32_t kStartRetryMs = 10;
constexpr std::uint64_t kStartRetryLimitMs = 5'000;
// How long a stopped service's process is given to exit before the files
// move (the moves' own retries take over after that).
constexpr std::uint32_t kProcessExitMs = 5'000;
// A query that fails now and then is passed over; one that keeps failing
// this many times in a row while the run waits for the stop is an error.
constexpr unsigned kFailedQueriesInARow = 10;
// Where a run needs the answer now.
constexpr unsigned kQueryAttempts = 3;

// Whether a service that is changing state is still worth waiting for.
class ProgressWatch {
 public:
  ProgressWatch(std::uint64_t now, const ServiceStatus& status)
      : started_(now), lastProgress_(now), state_(status.dwCurrentState), checkPoint_(status.dwCheckPoint) {}

  bool stillPatient(const ServiceStatus& status, std::uint64_t now) {
    if (status.dwCurrentState != state_ || status.dwCheckPoint != checkPoint_) {
      state_ = status.dwCurrentState;
      checkPoint_ = status.dwCheckPoint;
      lastProgress_ = now;
    }
    const std::uint64_t patience = std::max<std::uint64_t>(status.dwWaitHint, kMinPatienceMs);
    return now - lastProgress_ <= patience && now - started_ <= kWaitLimitMs;
  }

 private:
  std::uint64_t started_;
  std::uint64_t lastProgress_;
  std::uint32_t state_;
  std::uint32_t checkPoint_;
};

}  // namespace

ServiceWaits::ServiceWaits(platform::Clock& clock, platform::Processes& processes,
                           platform::ServiceControl& services, platform::ErrorTexts& texts)
    : clock_(clock), processes_(processes), services_(services), texts_(texts), process_(processes) {}

void ServiceWaits::track(std::uint32_t processId) {
  if (processId == 0 || processId == processId_) return;
  processId_ = processId;
  const auto opened = processes_.openProcess(processId);
  process_.reset(opened.handle);
  processGone_ = opened.gone;
}

bool ServiceWaits::query(ServiceStatus& status) {
  std::uint32_t processId = 0;
  if (services_.queryProcess(service_, status, processId) != kOk) return false;
  lastState_ = status.dwCurrentState;
  lastType_ = status.dwServiceType;
  track(processId);
  return true;
}

// A query that fails once is asked again: one lost answer must not fail a
// run, or count a service that runs as down.
ServiceStatus ServiceWaits::queryOrFail() {
  ServiceStatus status;
  for (unsigned attempt = 1; !query(status); ++attempt) {
    if (attempt == kQueryAttempts) throw toolError(u"Service :: status: Erro ao verificar o status do serviço");
    clock_.pause(kPollMs);
  }
  return status;
}

bool ServiceWaits::processAlive() {
  if (processGone_) return false;
  if (!process_) return true;  // nothing known: the manager's word stands
  return processes_.waitForExit(process_.get(), 0).state != ProcessState::Exited;
}

// Passes of: query, check, wait to be told of the stop (or for the poll).
void ServiceWaits::waitForStop(ServiceStatus& status) {
  ProgressWatch watch(clock_.monotonicMilliseconds(), status);
  unsigned failedInARow = 0;
  for (;;) {
    if (!query(status)) {
      if (process_ && !processAlive()) return;
      if (++failedInARow >= kFailedQueriesInARow) {
        throw toolError(u"Service :: status: Erro ao verificar o status do serviço");
      }
    } else {
      failedInARow = 0;
      if (status.dwCurrentState == platform::kServiceStopped || !processAlive()) return;
    }
    if (!watch.stillPatient(status, clock_.monotonicMilliseconds())) {
      throw toolError(u"Tempo esgotado aguardando a parada do serviço");
    }
    services_.waitForStatus(service_, platform::kNotifyStopped, kPollMs);
  }
}

void ServiceWaits::waitWhileStarting(ServiceStatus& status) {
  ProgressWatch watch(clock_.monotonicMilliseconds(), status);
  while (status.dwCurrentState == platform::kServiceStartPending) {
    if (!watch.stillPatient(status, clock_.monotonicMilliseconds())) {
      throw toolError(u"Tempo esgotado aguardando o início do serviço");
    }
    services_.waitForStatus(service_, platform::kNotifyRunning | platform::kNotifyStopped, kPollMs);
    status = queryOrFail();
  }
}

bool ServiceWaits::exitsWithin(std::uint32_t waitMs) {
  if (processGone_) return true;
  if (process_) {
    const auto waited = processes_.waitForExit(process_.get(), waitMs);
    if (waited.state == ProcessState::Exited) return true;
    if (waited.state == ProcessState::Running) return false;
  } else {
    services_.waitForStatus(service_, platform::kNotifyStopped, waitMs);
  }
  ServiceStatus status;
  return query(status) && status.dwCurrentState != platform::kServiceRunning;
}

void ServiceWaits::waitForProcessExit() {
  if (process_) processes_.waitForExit(process_.get(), kProcessExitMs);
}

bool ServiceWaits::runsAlone() const {
  return (lastType_ & platform::kServiceWin32OwnProcess) != 0 && (lastType_ & platform::kServiceWin32ShareProcess) == 0;
}

bool ServiceWaits::endProcess() {
  if (!process_ || !runsAlone()) return false;
  processes_.terminate(process_.get());
  return true;
}

platform::OsError ServiceWaits::startRetrying() {
  const auto started = clock_.monotonicMilliseconds();
  for (;;) {
    const auto error = services_.sendStart(service_);
    if (error != platform::kErrorServiceAlreadyRunning ||
        clock_.monotonicMilliseconds() - started >= kStartRetryLimitMs) {
      return error;
    }
    ServiceStatus current;
    if (!query(current) || current.dwCurrentState != platform::kServiceStopped) return error;
    clock_.pause(kStartRetryMs);
  }
}

// The watch starts when the service reports running; during it the run
// waits on the service's process, which ends however the service goes
// down, with a query at least every poll.
void ServiceWaits::confirmStart() {
  reachRunning();
  watchRunning();
}

void ServiceWaits::reachRunning() {
  // The process of the last run is no guide to this one.
  processId_ = 0;
  process_.reset();
  processGone_ = false;
  startStatus_ = queryOrFail();
  waitWhileStarting(startStatus_);
  runningSince_ = clock_.monotonicMilliseconds();
}

void ServiceWaits::watchRunning() {
  auto status = startStatus_;
  const auto runningSince = runningSince_;
  bool alive = true;
  while (status.dwCurrentState == platform::kServiceRunning) {
    const auto watched = clock_.monotonicMilliseconds() - runningSince;
    if (watched >= kStartWatchMs) break;
    const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPollMs, kStartWatchMs - watched));
    const auto process = processGone_ ? ProcessState::Exited
                         : process_   ? processes_.waitForExit(process_.get(), slice).state
                                      : ProcessState::Unknown;
    if (process == ProcessState::Exited) {
      alive = false;
      break;
    }
    // A process that cannot be waited on leaves the manager to tell.
    if (process == ProcessState::Unknown) services_.waitForStatus(service_, platform::kNotifyStopped, slice);
    status = queryOrFail();
  }
  if (status.dwCurrentState == platform::kServiceRunning && alive && processAlive()) {
    startedAs_ = processId_;
    return;
  }
  // The manager may have learnt of the end meanwhile, and with it the code.
  if (status.dwCurrentState == platform::kServiceRunning) query(status);
  throw toolError(withExitCode(u"O serviço parou logo após ser iniciado", status));
}

std::u16string ServiceWaits::withExitCode(std::u16string message, const ServiceStatus& status) {
  if (status.dwCurrentState != platform::kServiceRunning && status.dwWin32ExitCode != 0) {
    auto text = texts_.describe(status.dwWin32ExitCode);
    if (status.dwWin32ExitCode == platform::kErrorServiceSpecificError) {
      if (!text.empty()) text += u" ";
      text += u"(código do serviço: " + toDecimal(status.dwServiceSpecificExitCode) + u")";
    }
    message += u": " + text;
  }
  return message;
}

// A service confirmed early can still die, or be restarted by someone else,
// while the services after it start and are watched: what counts is how it
// stands once they all have been.
std::uint64_t ServiceWaits::startedAsCreated() {
  if (!process_ || startedAs_ == 0 || processId_ != startedAs_) return 0;
  return processes_.creationTime(process_.get());
}

bool ServiceWaits::adoptStarted(std::uint32_t processId, std::uint64_t created) {
  ServiceStatus status;
  if (!query(status) || status.dwCurrentState != platform::kServiceRunning) return false;
  if (processId == 0 || created == 0 || processId_ != processId || !process_ || !processAlive()) return false;
  if (processes_.creationTime(process_.get()) != created) return false;
  startedAs_ = processId;
  runningSince_ = clock_.monotonicMilliseconds();
  return true;
}

bool ServiceWaits::adoptRunning() {
  ServiceStatus status;
  if (!query(status) || status.dwCurrentState != platform::kServiceRunning || !processAlive()) return false;
  startedAs_ = processId_;
  runningSince_ = clock_.monotonicMilliseconds();
  return true;
}

std::optional<std::u16string> ServiceWaits::stillRunsAsStarted(bool watching) {
  const auto startedAs = startedAs_;
  // The start's own process, held since: asked before a query can show
  // (and track) another one.
  const bool alive = processAlive();
  ServiceStatus status;
  bool answered = query(status);
  for (unsigned attempt = 1; !answered && attempt < kQueryAttempts; ++attempt) {
    clock_.pause(kPollMs);
    answered = query(status);
  }
  if (!answered) return u"Service :: status: Erro ao verificar o status do serviço";
  const bool running = status.dwCurrentState == platform::kServiceRunning;
  if (running && startedAs != 0 && processId_ != startedAs) {
    return (watching ? u"O serviço foi reiniciado durante a observação: o processo "
                     : u"O serviço foi reiniciado depois de iniciado: o processo ") +
           toDecimal(startedAs) + u" deu lugar ao " + toDecimal(processId_);
  }
  if (running && alive) return std::nullopt;
  if (running) query(status);
  return withExitCode(watching ? u"A nova versão parou durante a observação" : u"O serviço parou depois de iniciado",
                      status);
}

}  // namespace usqz
