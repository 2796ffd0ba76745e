// The floor for the downtime benchmark: the least any tool can do to swap a
// service's executable. Stops the service, polls as fast as the platform
// answers, moves the two files (again at once while they are held) and
// starts it (again at once while the old process is still exiting).
//   floor_swap NAME CURRENT NEW BACKUP
#include <cstdio>

#include "platform/win32/unique_handles.h"
#include "platform/win32/windows_api.h"

using usqz::platform::win32::UniqueScHandle;

namespace {

constexpr ULONGLONG kGiveUpMs = 20'000;

bool moveSoon(const char* from, const char* to) {
  const ULONGLONG started = GetTickCount64();
  while (!MoveFileA(from, to)) {
    if (GetTickCount64() - started > kGiveUpMs) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: floor_swap NAME CURRENT NEW BACKUP\n");
    return 2;
  }
  const UniqueScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 3;
  const UniqueScHandle service(
      OpenServiceA(manager.get(), argv[1], SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS));
  if (!service) return 4;
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return 5;
  const ULONGLONG started = GetTickCount64();
  while (status.dwCurrentState != SERVICE_STOPPED) {
    if (!QueryServiceStatus(service.get(), &status) || GetTickCount64() - started > kGiveUpMs) return 6;
  }
  if (!moveSoon(argv[2], argv[4]) || !moveSoon(argv[3], argv[2])) return 7;
  while (!StartServiceA(service.get(), 0, nullptr)) {
    if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING || GetTickCount64() - started > kGiveUpMs) return 8;
  }
  return 0;
}
