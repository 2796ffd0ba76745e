// The end of an update that failed: what the run had changed is put back
// (the one restore routine), the dependents it took down come back, the
// service's failure actions are restored with the journal's end; and what
// the run left, read from its journal and a last look at the service.
#pragma once

#include <string>

#include "run/outcome.h"
#include "run/run_context.h"

namespace usqz {

// What putting things back says, added to the cause.
std::u16string recover(RunContext& c);
// The failure actions back, then the journal gone; why the actions are
// not back, if they are not (the journal then stays: it holds them).
std::u16string finishTransaction(RunContext& c);
// Whether the run may have moved a file.
bool movesTaken(const RunContext& c);
EndState endState(RunContext& c);

}  // namespace usqz
