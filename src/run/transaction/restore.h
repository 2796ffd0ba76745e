// The one way back to the version that ran before an update, for a new
// version that failed its start and for a run that died halfway alike:
// the version the service runs now is stopped (a start still pending is
// waited out first; its process is ended when it will not stop, unless
// dependents run or it hosts other services: then nothing moves), the
// versions move back to where they were, and the previous version is
// started, confirmed and held to the same health checks as the new one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/service/health_check.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/transaction/executable_swap.h"
#include "run/service/service_waits.h"

namespace usqz {

// How a restore ended.
struct Restored {
  std::u16string moveFailure;  // a version could not be moved back: where each is
  bool started = false;        // the previous version was started and runs
  // Why it did not start and keep running, or did not pass its health
  // checks (`unhealthy`), when it was to be started.
  std::optional<std::u16string> notStarted;
  bool unhealthy = false;
};

class Restore {
 public:
  Restore(platform::Platform& platform, Console& console, ExecutableSwap& swap, HealthWait& health);

  // `service` may be none (a service that is not registered runs nothing);
  // `placement`, where the versions are now; `start`, whether the previous
  // version is to run at the end; `announceRestore`, whether moving the
  // backup into place is said even when the new version was not active;
  // `startWaitedFor`, whether the run waited out the last start itself (a
  // dead run's start is let finish first).
  Restored restore(ServiceWaits& waits, platform::ServiceHandle service, const Placement& placement, bool start,
                   bool announceRestore, bool startWaitedFor);

  // The service stopped, whatever it runs now: a start still pending that
  // nobody waited for is let finish first (a service ended while it starts
  // may be reported as starting long after), then a stop request, and its
  // process ended when it will not stop (a service stuck starting accepts
  // no controls). Never ended: one whose stop the manager refuses because
  // dependents run (ending it would take them down unasked), and one whose
  // process hosts other services. Why it still runs, if it does: one
  // whose process could not be ended too.
  std::optional<std::u16string> stopWhatRuns(ServiceWaits& waits, platform::ServiceHandle service,
                                             bool startWaitedFor);
  // The dependents the run being undone stopped and brings back: should
  // one run again (a release starts the members it carried before it is
  // confirmed), it is stopped again for the service to stop. Any other
  // running dependent still refuses the stop.
  void mayStopDependents(platform::ServiceHandle manager, std::vector<std::u16string> names) {
    manager_ = manager;
    ours_ = std::move(names);
  }
  // Started and confirmed running; why not, if not.
  std::optional<std::u16string> startAndConfirm(ServiceWaits& waits);

 private:
  platform::Platform& p_;
  Console& console_;
  ExecutableSwap& swap_;
  HealthWait& health_;
  platform::ServiceHandle manager_;
  std::vector<std::u16string> ours_;
  // The dependents stopped for the service's stop, in the order stopped.
  std::vector<std::u16string> stoppedHere_;
  std::optional<std::u16string> stopIt(ServiceWaits& waits, platform::ServiceHandle service, bool startWaitedFor);
  // The running dependents, when every one is ours to stop, stopped:
  // whether they are.
  bool stopOurDependents(platform::ServiceHandle service);
};

}  // namespace usqz
