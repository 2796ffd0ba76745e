// A version of the service's executable as the report tells it: read from
// the disk, hashed, its version resource read, and its signer when the run
// checks signatures anyway.
#pragma once

#include <optional>
#include <string>

#include "run/report/run_report.h"
#include "run/run_context.h"

namespace usqz {

// Nothing when there is no file at `path`.
// `sha256`: the file's, when the run has it already. `held`: the file,
// open already (read through it, never again by its name, which others
// may have written since).
std::optional<VersionFacts> versionFactsOf(RunContext& c, const std::u16string& path, const std::u16string& sha256 = {},
                                           platform::FileHandle held = {});

}  // namespace usqz
