// The checks a run and --check make before anything changes: the names,
// the new version (where it is, what it is, who could have written it),
// the manager and the service, and whether the very bytes offered already
// run. Each refusal is an error that leaves the service and its files as
// they were.
#pragma once

#include "run/run_context.h"

namespace usqz {

void refuseNamesOutsideTheToolsFolder(RunContext& c);
// `names.pathNewBin` is where the new version is: beside the tool, or where
// an interrupted update left it.
bool newVersionPasses(RunContext& c, const Names& names);
bool connect(RunContext& c);
bool openAndCheck(RunContext& c, bool mayRegister);
bool alreadyRuns(RunContext& c);

}  // namespace usqz
