// The platform the tool was built for: Win32 on Windows, POSIX elsewhere.
// Which source defines these is chosen by the build, not by #ifdef.
#pragma once

#include <memory>

#include "platform.h"

namespace usqz::platform {

// argc/argv are used only where the platform hands over split arguments;
// on Windows the tool reads the whole command line itself.
std::unique_ptr<FileAndProcess> makeNativeFileAndProcess(int argc, char* argv[]);
// First thing at start: the tool runs elevated from folders others may be
// able to write to, so no library may ever be loaded from there.
void hardenProcess();
std::unique_ptr<Clock> makeNativeClock();
std::unique_ptr<Processes> makeNativeProcesses();
std::unique_ptr<Locks> makeNativeLocks();
std::unique_ptr<Interrupts> makeNativeInterrupts();
std::unique_ptr<ServiceControl> makeNativeServiceControl();
std::unique_ptr<ErrorTexts> makeNativeErrorTexts();
std::unique_ptr<Trust> makeNativeTrust();
std::unique_ptr<HealthProbes> makeNativeHealthProbes();
std::unique_ptr<FileSecurity> makeNativeFileSecurity();
std::unique_ptr<EventLog> makeNativeEventLog();

}  // namespace usqz::platform
