// The tool itself: the options, the usage text, the lock on the service's
// executables and the exit status, around the update run. Returns the
// process's exit status.
#pragma once

#include "platform/platform.h"

namespace usqz {

int runTool(platform::Platform& platform);

}  // namespace usqz
