// A release: several services updated as one. Every service's lock, then
// the recovery of a release that died, then every check of every service
// before anything changes; then all stop (those that depend on others
// first), all new versions go in, all start (those depended on first) and
// are confirmed. Whatever fails after the first stop puts every service
// back on its previous version, and a release that dies is recovered as a
// whole by the next run that touches any of its services.
#pragma once

#include <string_view>
#include <vector>

#include "common/console.h"
#include "common/options.h"
#include "platform/platform.h"
#include "run/outcome.h"
#include "run/release/release_file.h"
#include "run/report/run_report.h"

namespace usqz {

// The services' reports and outcomes, one each, in the release file's
// order: the caller's reports, begun; the outcomes the run's.
struct ReleaseReports {
  std::vector<RunReport*> services;
  std::vector<Outcome> outcomes;
};

// How the run was asked for. One service named on the command line is a
// release of one whose transcript is the single update's: no service
// named before its lines, its journal naming no release, its dependents
// its own to refuse or carry.
enum class Asked { ReleaseFile, CommandLine };

// The one engine for one service and for many. `members`: each service's
// options, as its own run would take them, its health commands resolved
// and judged.
Outcome runRelease(platform::Platform& platform, Console& console, const Options& options,
                   const std::vector<Options>& members, std::u16string_view ownPath, ReleaseReports& reports,
                   Asked asked);

}  // namespace usqz
