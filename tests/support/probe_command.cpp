// A command for health-check tests: "probe_command exit N [words…]" prints
// the words and exits with N; "probe_command hang" does not end for a
// minute (far longer than any try, and no longer: a process left behind
// would hold the test runner's output open); "probe_command spawn FILE"
// starts a hanging child that inherits every handle it can, writes the
// child's process id to FILE, and hangs itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/windows_api.h"

int main(int argc, char* argv[]) {
  if (argc >= 2 && std::strcmp(argv[1], "hang") == 0) {
    std::puts("hanging");
    std::fflush(stdout);
    Sleep(60'000);
    return 1;
  }
  if (argc >= 3 && std::strcmp(argv[1], "spawn") == 0) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t line[] = L"probe_command hang";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(self, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) return 65;
    if (FILE* out = std::fopen(argv[2], "w")) {
      std::fprintf(out, "%lu\n", child.dwProcessId);
      std::fclose(out);
    }
    Sleep(60'000);
    return 1;
  }
  if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) {
    std::puts("checking");
    for (int i = 3; i < argc; ++i) std::printf(i + 1 < argc ? "%s " : "%s\n", argv[i]);
    return std::atoi(argv[2]);
  }
  return 64;
}
