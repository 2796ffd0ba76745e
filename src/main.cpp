#include "UpdateServiceQZ.h"
#include "platform/native.h"

int main(int argc, char* argv[]) {
  usqz::platform::hardenProcess();
  const auto os = usqz::platform::makeNativeFileAndProcess(argc, argv);
  const auto services = usqz::platform::makeNativeServiceControl();
  const auto texts = usqz::platform::makeNativeErrorTexts();
  return usqz::runTool(*os, *services, *texts);
}
