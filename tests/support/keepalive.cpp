// Keeps a Wine session alive for the length of a test run: Wine ends every
// service once its last ordinary process exits. It ends when C:\keepalive.stop
// appears or after the number of seconds it is given (by default two hours),
// whichever comes first, so that an interrupted run cannot leave it behind
// for ever; `wineserver -k` ends it at once.
#include <cstdio>
#include <cstdlib>

#include "platform/win32/windows_api.h"

int main(int argc, char* argv[]) {
  const unsigned long long limitMs = 1000ULL * (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 7200);
  // Wine starts its desktop process (explorer.exe /desktop) for the first
  // process that asks for the desktop, with that process's output: started
  // here, it holds this detached output, never a test's, which the test
  // runner would otherwise wait on until the test's time limit.
  GetDesktopWindow();
  // Tells the session script that Wine is up and this process runs.
  if (std::FILE* marker = std::fopen("C:\\keepalive.ready", "w")) std::fclose(marker);
  const auto started = GetTickCount64();
  while (GetFileAttributesW(L"C:\\keepalive.stop") == INVALID_FILE_ATTRIBUTES && GetTickCount64() - started < limitMs) {
    Sleep(250);
  }
  return 0;
}
