// The checks a run and --check make before anything changes: the names,
// the new version (where it is, what it is, who could have written it),
// the manager and the service, and whether the very bytes offered already
// run. Each refusal is an error that leaves the service and its files as
// they were.
#pragma once

#include <optional>

#include "checks/file_version.h"
#include "run/run_context.h"

namespace usqz {

void refuseNamesOutsideTheToolsFolder(RunContext& c);
// `names.pathNewBin` is where the new version is: beside the tool, or where
// an interrupted update left it.
bool newVersionPasses(RunContext& c, const Names& names);
bool connect(RunContext& c);
bool openAndCheck(RunContext& c, bool mayRegister);
bool alreadyRuns(RunContext& c);
// The file version of the executable at `path` (through `held`, when it is
// open), when it has one.
std::optional<FileVersion> versionOf(RunContext& c, const std::u16string& path, platform::FileHandle held);
// --no-downgrade: the new version's file version is not lower than the
// current one's.
void refuseDowngrade(RunContext& c, const Names& names);

}  // namespace usqz
