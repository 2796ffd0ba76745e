// The update run as its sequence of steps: undo an update that died
// halfway, check, stop, back up, swap, start, confirm, and roll back
// whatever fails once the service was touched.
#pragma once

#include <string_view>

#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/outcome.h"
#include "run/report/run_report.h"

namespace usqz {

// Runs the update for `options.serviceName` while the caller holds the lock
// on its executables. Everything is reported on the console and recorded in
// the result file; only a failure of that report escapes.
// What it did is kept in `report` when that was asked for.
Outcome runUpdate(platform::Platform& platform, Console& console, const Options& options,
                  std::u16string_view ownExecutablePath, RunReport& report);

}  // namespace usqz
