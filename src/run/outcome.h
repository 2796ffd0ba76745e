// How a run ended, and the exit status that tells it to a scheduler when
// asked (--exit-code). Without the option every handled outcome exits 0, as
// callers that read the result file expect.
#pragma once

namespace usqz {

enum class Outcome {
  Updated,      // the new version runs
  Escaped,      // an error escaped: no usable standard output
  Usage,        // no service name
  NothingToDo,  // the new version is missing
  Unchanged,    // failed before anything changed; the service is as it was
  RolledBack,   // failed; the previous version was restored and runs
  Down,         // failed, and the service (or a dependent) is not running
  Busy,         // another update of this service is under way
};

// What a failed or finished update left, as the run's state and a last look
// at the service tell it.
struct EndState {
  bool touched = false;           // an irreversible step was taken (registration, stop request, move)
  bool wasRunning = false;        // running, paused or starting when the run found it
  bool registered = false;        // the run registered the service
  bool newVersionConfirmed = false;
  bool previousInPlace = false;   // the versions stand where they stood before the run
  bool dependentsDown = false;    // a dependent the run stopped is not running
  bool runsAtEnd = false;         // the last status query says running
  bool restartsSuspended = false; // the failure actions the run suspended are not back
};

// 0 only when the new version runs; 11 only when the previous one runs
// after a rollback or restore; 10 only when the service and its files are
// as the run found them; 12 whenever the service (found running) or a
// dependent the run stopped is not running at the end, or the manager
// would no longer restart the service after a crash.
Outcome outcomeOf(const EndState& end);

int exitStatusFor(Outcome outcome, bool exitCodeAsked);

}  // namespace usqz
