// Keeps a Wine session alive for the length of a test run: Wine ends every
// service once its last ordinary process exits. Ended by `wineserver -k`.
#include <cstdio>

#include "platform/win32/windows_api.h"

int main() {
  // Tells the session script that Wine is up and this process runs.
  if (std::FILE* marker = std::fopen("C:\\keepalive.ready", "w")) std::fclose(marker);
  Sleep(INFINITE);
  return 0;
}
