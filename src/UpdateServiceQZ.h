// The tool itself: the argument scan, the usage text and the update run, on
// top of the platform's operations. Returns the process's exit status.
#pragma once

#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/service_control.h"

namespace usqz {

int runTool(platform::FileAndProcess& os, platform::ServiceControl& services, platform::ErrorTexts& texts);

}  // namespace usqz
