// One service's update as its sequence of steps: undo an update that died
// halfway, check, stop, back up, swap, start, confirm, and roll back
// whatever fails once the service was touched. The release engine takes
// them, one step for all of its services at a time, a single update being
// a release of one.
#pragma once

#include <optional>
#include <string_view>

#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/outcome.h"
#include "run/report/run_report.h"
#include "run/run_context.h"
#include "run/service/watch_window.h"

namespace usqz {

class UpdateRun {
 public:
  UpdateRun(platform::Platform& platform, Console& console, const Options& options,
            std::u16string_view ownExecutablePath, RunReport& report);

  // --check, its error handler included.
  Outcome check();

  // The service's part in a release (of one, or of many), a step at a
  // time; each step throws what the update would fail with, and fail()
  // undoes what it took.
  enum class Found {
    Work,         // checked: a new version to put in place
    NothingToDo,  // no new version
    AlreadyRuns,  // the service runs these very bytes
    Ended,        // a dead run's recovery ended the run: endedWith() says how
  };
  // The result file cleared, or the run refused: a release clears every
  // service's before a dead release's recovery may change any of them.
  void checkResultFile();
  Found checkBeforeTheStop();
  Outcome endedWith() const { return ended_; }
  // A release's: the journal of every service with work on disk, naming
  // all of those, before the first one stops, so that a run of any of them
  // finds the release; and its restarts suspended, before anything stops.
  void writeJournal();
  // Registered if it must be, then asked to stop (the journal written
  // first); finishStop waits until its process is gone.
  void requestStop();
  void finishStop();
  void swapIn();
  // Asked to start; reachRunning waits until it says it runs,
  // confirmStarted until it has kept running a while and is healthy.
  void requestStart();
  void reachRunning();
  void confirmStarted();
  // A release's: the members carried round this service started again,
  // once every service runs.
  void startCarried();
  // Once every service the run started is confirmed: this one still runs
  // as the process its start began.
  void confirmStillRunning();
  // A watch asked for: the journal says the window began (when, how long,
  // the process watched) before it does, so that a run that dies in it
  // leaves the next one to finish it.
  void beginWatch(const WatchTerms& terms, std::int64_t startedAt, std::int64_t bootedAt);
  // The dependents the run stopped, started again for the window: down
  // through minutes of it would be down for nothing.
  void startDependentsForWatch();
  Watched watched();
  void watchEnded(const WatchResult& result, std::uint32_t askedSeconds);
  // The journal says the new version is confirmed; what is left is the
  // service's own finishing.
  void recordConfirmed();
  // The update's end: Updated, or Down when the service's restart actions
  // could not be put back (its journal then stays, holding them).
  Outcome finish();
  void dropRunningCopy();
  // Before a release puts its services back: this one no longer runs what
  // the release started.
  void stopForRollback();
  void stopCarriedForRollback();
  Outcome fail(const std::u16string& message);
  // A service of a dead release whose recovery refused or failed: ended as
  // that recovery says (recorded); nothing for any other.
  std::optional<Outcome> endedWithDeadRelease();
  // What every run does at its end, whatever the outcome.
  void close();

  RunContext& context() { return c; }

 private:
  void recordSuccess();
  void registerTheService();
  void activateOwnCopy();
  void dropOwnCopy();
  void prepareJournal(bool wasRunning, bool registers);
  void bringDown();
  std::optional<Outcome> undoInterruptedRun();
  std::optional<Outcome> endAsRecovered(const RecoveryEnd& end);
  void readVersionsForTheReport(bool andTheNewOne);
  void reportNewVersion();

  RunContext c;
  bool newVersionReported_ = false;
  bool resultChecked_ = false;
  bool needsRegistration_ = false;
  bool stopRequested_ = false;
  bool reachedRunning_ = false;
  platform::ServiceStatus stopStatus_{};
  Outcome ended_ = Outcome::Updated;
};

}  // namespace usqz
