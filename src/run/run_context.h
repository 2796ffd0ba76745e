// What one run holds, shared by its parts: the forward steps
// (update_run), the checks before the stop (before_the_stop), --check
// (check_plan), the rollback of a failed update and its end state
// (rollback), the recovery of a run that died (recovery), and what the
// run tells beyond its result file (report).
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/service/health_check.h"
#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/service/dependents.h"
#include "run/transaction/executable_swap.h"
#include "run/transaction/recovery.h"
#include "run/transaction/restore.h"
#include "run/transaction/run_journal.h"
#include "run/outcome.h"
#include "run/report/run_report.h"
#include "run/service/service_waits.h"

namespace usqz {

struct RunContext {
  RunContext(platform::Platform& platform, Console& console, const Options& options,
             std::u16string_view ownExecutablePath, RunReport& report);

  // The result file first, then the console: a console that fails cannot
  // cost the record of what the run did. A check writes no result file.
  void record(std::initializer_list<std::u16string> lines, std::u16string_view result);
  void recordError(const std::u16string& message);

  platform::Platform& p;
  Console& console;
  const Options& options;
  std::u16string ownPath;
  // The executables' names as an update sees them, and as this run does
  // (a rollback's own).
  Names updateNames;
  Names names;
  // The new version, checked and activated through this one handle when
  // its hash or signature are asked for.
  platform::OwnedFileHandle held;
  platform::OwnedServiceHandle manager;
  platform::OwnedServiceHandle service;
  ServiceWaits waits;
  ExecutableSwap swap;
  Dependents dependents;
  HealthWait health;
  Restore restore;
  // How far the run got: the one record of the run's state.
  RunJournal journal;
  Recovery recovery;
  // What the run did, for --report and --event-log.
  RunReport& report;
  // The new version's SHA-256 once an update has copied it: the copy's
  // one read serves the pin, the journal and the report.
  std::u16string nextSha256;
  // The new version as the report tells it, read through the checked
  // handle (the bytes the copy holds), once an update has copied it.
  std::optional<VersionFacts> nextFacts;
  // The copy waits at names.pathCopyBin until the first change, when it
  // takes the new version's place; removed if the run ends before.
  bool copyPending = false;
  // The services of the release this run is part of, in start order;
  // empty for a single update.
  std::vector<std::u16string> release;
  // Before the run undoes its own dead run: the dead release it may belong
  // to is recovered as a whole, setting `recovered`; an outcome when that
  // ends the run (another run holds one of the release's services).
  std::function<std::optional<Outcome>()> recoverRelease;
  // What became of the service when the dead release it belonged to was
  // recovered as a whole (for --check: what would).
  std::optional<RecoveryEnd> recovered;
  // For --check: what recovering that dead release would do, as this
  // service's check says it.
  std::vector<std::u16string> releaseRecoverySaid;
  // The run asked the service to stop, and it stopped.
  bool stoppedByRun = false;
  // The dependents it stopped run again through the watch window: a
  // rollback stops them with the new version, and starts them again.
  bool dependentsUpForWatch = false;
};

// How the run names a state the service is found in.
std::u16string_view stateName(std::uint32_t state);

}  // namespace usqz
