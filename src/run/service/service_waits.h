// Waiting on a service the run controls: for it to stop, to start, and for
// its process to be gone. Every wait is bounded, polls the manager as the
// source of truth, and takes a service whose process has exited for stopped,
// whatever the manager says (Wine's, for one, goes on reporting a service
// whose process exited without a word as running).
//
// The service's process is opened once, when a query first shows it, and
// that handle is what is waited on and, in a rollback, ended: a process
// reopened later by its id could be an unrelated one that was given the id
// of one that exited.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/processes.h"
#include "platform/service_control.h"

namespace usqz {

class ServiceWaits {
 public:
  ServiceWaits(platform::Clock& clock, platform::Processes& processes, platform::ServiceControl& services,
               platform::ErrorTexts& texts);

  void attach(platform::ServiceHandle service) { service_ = service; }

  // Whether the last query that went through saw it running.
  bool lastSeenRunning() const { return lastState_ == platform::kServiceRunning; }

  // The status and process now; a query that keeps failing is the run's
  // error.
  platform::ServiceStatus queryOrFail();
  // The same, false when the query failed.
  bool query(platform::ServiceStatus& status);

  // Passes of: query, pause, check, until the service reports stopped or its
  // process is gone. Queries that keep failing, no progress for too long,
  // or the whole limit, are an error.
  void waitForStop(platform::ServiceStatus& status);
  // While the service reports start-pending; an error at the bound.
  void waitWhileStarting(platform::ServiceStatus& status);
  // After a stop: the process the service ran in, gone (bounded).
  void waitForProcessExit();
  // Ends the process the service ran in (waitForProcessExit then waits for
  // it to be gone), only when the last status seen says it runs alone in
  // it: a process that hosts other services (or of a kind unknown) is
  // never ended. Whether it was.
  bool endProcess();
  // Whether the last status seen says the service has a process of its own.
  bool runsAlone() const;
  std::uint32_t lastType() const { return lastType_; }
  // Whether the process the service ran in is still there; true when no
  // process is known (the manager's word stands).
  bool processAlive();
  // Waits up to `waitMs` on the service's process (or, where none is known,
  // pauses and asks the manager): whether the service went down meanwhile.
  bool exitsWithin(std::uint32_t waitMs);

  // A start request, tried again while the process of the last run is still
  // on its way out (the manager refuses the start as "already running").
  platform::OsError startRetrying();
  // After a start request: waits out start-pending, then watches the
  // service for a moment; an error unless it still runs at the end.
  void confirmStart();
  // The same in two parts, for a release that starts several services at
  // once: each reaches running, then each is watched from when it did, the
  // watches overlapping.
  void reachRunning();
  void watchRunning();
  // When the last confirmed start first reported running (monotonic ms).
  std::uint64_t runningSince() const { return runningSince_; }
  // Once everything else is confirmed: whether the service still runs as
  // the process its watched start began, neither ended nor replaced since;
  // why not, if not.
  // `watching`: as a watch window words it.
  std::optional<std::u16string> stillRunsAsStarted(bool watching = false);
  // The process the last watched start began, and when it was created (0
  // when that cannot be told): what a later run holds it to.
  std::uint32_t startedAs() const { return startedAs_; }
  std::uint64_t startedAsCreated();
  // A later run's: the service runs as that very process (its id and
  // creation both), which is then the one watched. Whether it does.
  bool adoptStarted(std::uint32_t processId, std::uint64_t created);
  // The same for whatever process it runs as now.
  bool adoptRunning();

 private:
  // Opens the process a query showed, unless it is the one already held.
  void track(std::uint32_t processId);
  // `what`, with the exit code the manager gives for a service that ended.
  std::u16string withExitCode(std::u16string what, const platform::ServiceStatus& status);

  platform::Clock& clock_;
  platform::Processes& processes_;
  platform::ServiceControl& services_;
  platform::ErrorTexts& texts_;
  platform::ServiceHandle service_;
  // The process the service ran in when last seen, and whether it was
  // already gone when the run first saw it.
  std::uint32_t processId_ = 0;
  platform::OwnedProcessHandle process_;
  bool processGone_ = false;
  std::uint32_t lastState_ = 0;
  std::uint32_t lastType_ = 0;
  std::uint64_t runningSince_ = 0;
  // The process a watched start ran in, when the watch ended.
  std::uint32_t startedAs_ = 0;
  platform::ServiceStatus startStatus_{};
};

}  // namespace usqz
