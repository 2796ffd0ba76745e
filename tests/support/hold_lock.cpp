// hold_lock EXECUTABLE SECONDS: holds the run lock UpdateServiceQZ takes
// for EXECUTABLE for that long, as a run under way would.
#include <cstdlib>
#include <string>

#include "platform/text.h"
#include "platform/native.h"
#include "platform/win32/windows_api.h"
#include "run/run_lock.h"

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  const auto files = usqz::platform::makeNativeFileAndProcess(argc, argv);
  const auto locks = usqz::platform::makeNativeLocks();
  const usqz::RunLock lock(*locks, *files, usqz::fromUtf8(argv[1]));
  if (!lock.held()) return 1;
  Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
  return 0;
}
