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

int exitStatusFor(Outcome outcome, bool exitCodeAsked);

}  // namespace usqz
