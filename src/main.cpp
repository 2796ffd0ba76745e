#include "platform/native.h"
#include "tool.h"

int main(int argc, char* argv[]) {
  using namespace usqz::platform;
  hardenProcess();
  const auto files = makeNativeFileAndProcess(argc, argv);
  const auto clock = makeNativeClock();
  const auto processes = makeNativeProcesses();
  const auto locks = makeNativeLocks();
  const auto interrupts = makeNativeInterrupts();
  const auto services = makeNativeServiceControl();
  const auto texts = makeNativeErrorTexts();
  const auto trust = makeNativeTrust();
  const auto probes = makeNativeHealthProbes();
  const auto security = makeNativeFileSecurity();
  const auto events = makeNativeEventLog();
  Platform platform{*files, *clock, *processes, *locks, *interrupts, *services, *texts, *trust, *probes, *security,
                    *events};
  return usqz::runTool(platform);
}
