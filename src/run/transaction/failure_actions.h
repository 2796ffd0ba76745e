// The service's own recovery: the manager restarts a service whose process
// fails, when its failure actions say so. A run that ends a new version's
// process (a rollback) or takes the service down on purpose must not have
// the manager start it again while its files move: the restarts are
// suspended for the transaction, the original actions recorded in the
// journal first, and put back at its end (or by the recovery of a run that
// died). A manager that keeps no failure actions leaves nothing to do.
#pragma once

#include <string>

#include "platform/platform.h"
#include "run/transaction/run_journal.h"

namespace usqz {

// Before the run stops anything (the service's dependents included) or
// starts the service: its restarts suspended, once. An error when they
// cannot be.
void suspendRestarts(platform::Platform& platform, platform::ServiceHandle manager, platform::ServiceHandle service,
                     const std::u16string& serviceName, RunJournal& journal);

// The recorded actions put back; empty when done, else why not, with the
// actions to put back by hand.
std::u16string restoreFailureActions(platform::Platform& platform, platform::ServiceHandle manager,
                                     const std::u16string& serviceName, const platform::FailureActions& actions);

// As a person restores them: the reset period, then each failure's action
// and its delay, the last one repeated.
std::u16string describeFailureActions(const platform::FailureActions& actions);

}  // namespace usqz
