// --check: every check the run makes before the stop, then what it would
// do, a line each; nothing is stopped, moved, registered or written (no
// journal, no result file). Refusals are reported as a run reports them,
// and the exit status is the one the run would have before its first step.
#pragma once

#include "run/outcome.h"
#include "run/run_context.h"

namespace usqz {

Outcome checkOnly(RunContext& c);

}  // namespace usqz
