// A Windows service for tests, built twice (TEST_SERVICE_BUILD "v1" and "v2")
// so that a test can tell the old version from the new one.
//
// Its behaviour comes from test_service.cfg beside the executable, one
// key=value a line (all times in milliseconds, all optional); a line
// "v2:key=value" applies to that build only, "qz_B.exe:key=value" to that
// executable only (and "qz_B.exe:v2:key=value" to both):
//   start_pending_ms  report start-pending, with progress, this long
//   start_stall_ms    then stay start-pending without progress this long
//   refuse_stop=1     do not accept the stop control
//   stop_ms           report stop-pending, with progress, this long
//   stall_ms          then stay stop-pending without progress this long
//   die_after_ms      after running this long, report stopped with
//   exit_code         this Win32 exit code (default 1067) and exit
//   vanish_after_ms   after running this long, exit without a word
//   health_port       once running, answer HTTP on 127.0.0.1 at this port,
//                     until the stop is asked for
//   health_status     with this status (default 200; 0: do not listen),
//                     the build ("v1", "v2") as the body
//   health_delay_ms   only after this long
//   health_fail_after_ms
//                     once running this long, answer 503 instead
//   health_fail_count to this many requests only (default 0: to every one
//                     from then on), each logged as "health failed"
// Control code 200 makes it report stopped and exit at once, whatever it was
// told, so that test cleanup can always remove it.
//
// It appends each event to events.log beside it, and to
// events-<executable>.log: "<build> started",
// "<build> stop requested", "<build> stopped", "<build> died".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32/windows_api.h"
// After windows.h (kept lean), which it needs.
#include <winsock2.h>

#ifndef TEST_SERVICE_BUILD
#define TEST_SERVICE_BUILD "v1"
#endif

namespace {

constexpr DWORD kControlExitNow = 200;

struct Behaviour {
  DWORD startPendingMs = 0;
  DWORD startStallMs = 0;
  DWORD vanishAfterMs = 0;
  bool refuseStop = false;
  DWORD stopMs = 0;
  DWORD stallMs = 0;
  DWORD dieAfterMs = 0;
  DWORD exitCode = ERROR_PROCESS_ABORTED;
  DWORD healthPort = 0;
  DWORD healthStatus = 200;
  DWORD healthDelayMs = 0;
  DWORD healthFailAfterMs = 0;
  DWORD healthFailCount = 0;
};

std::string folder;
Behaviour behaviour;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
// The health endpoint's listening socket: closed when the stop is asked
// for, as a service that stops taking work does.
SOCKET listening = INVALID_SOCKET;
// Its own file name, for the lines of test_service.cfg meant for it alone.
std::string executable;
SERVICE_STATUS status{};
// When it reported running, for the health endpoint's failures that come
// after a while.
ULONGLONG runningSince = 0;

void logEvent(const char* event) {
  // The folder's log, and one of its own for each executable: several
  // services may share a folder.
  for (const auto& path : {folder + "events.log", folder + "events-" + executable + ".log"}) {
    if (std::FILE* log = std::fopen(path.c_str(), "a")) {
      std::fprintf(log, "%llu %s %s\n", static_cast<unsigned long long>(GetTickCount64()), TEST_SERVICE_BUILD, event);
      std::fclose(log);
    }
  }
}

void readBehaviour() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH + 1);
  folder.assign(path, length);
  executable = folder.substr(folder.find_last_of('\\') + 1);
  folder.erase(folder.find_last_of('\\') + 1);
  std::FILE* config = std::fopen((folder + "test_service.cfg").c_str(), "r");
  if (config == nullptr) return;
  char line[256];
  while (std::fgets(line, sizeof line, config) != nullptr) {
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) continue;
    *equals = '\0';
    const auto value = static_cast<DWORD>(std::strtoul(equals + 1, nullptr, 10));
    std::string key = line;
    bool mine = true;
    for (auto colon = key.find(':'); colon != std::string::npos; colon = key.find(':')) {
      const auto scope = key.substr(0, colon);
      mine = mine && (scope == TEST_SERVICE_BUILD || lstrcmpiA(scope.c_str(), executable.c_str()) == 0);
      key.erase(0, colon + 1);
    }
    if (!mine) continue;
    if (key == "start_pending_ms") behaviour.startPendingMs = value;
    if (key == "start_stall_ms") behaviour.startStallMs = value;
    if (key == "vanish_after_ms") behaviour.vanishAfterMs = value;
    if (key == "refuse_stop") behaviour.refuseStop = value != 0;
    if (key == "stop_ms") behaviour.stopMs = value;
    if (key == "stall_ms") behaviour.stallMs = value;
    if (key == "die_after_ms") behaviour.dieAfterMs = value;
    if (key == "exit_code") behaviour.exitCode = value;
    if (key == "health_port") behaviour.healthPort = value;
    if (key == "health_status") behaviour.healthStatus = value;
    if (key == "health_delay_ms") behaviour.healthDelayMs = value;
    if (key == "health_fail_after_ms") behaviour.healthFailAfterMs = value;
    if (key == "health_fail_count") behaviour.healthFailCount = value;
  }
  std::fclose(config);
}

// A health endpoint as small as can be: every request gets the status,
// and the build's name as its body.
DWORD WINAPI serveHealth(void*) {
  Sleep(behaviour.healthDelayMs);
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  listening = listener;
  BOOL reuse = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(behaviour.healthPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, SOMAXCONN) != 0) {
    logEvent("health endpoint failed");
    return 1;
  }
  logEvent("health endpoint listening");
  // The build answers, so that a load test can tell which version served.
  const std::string build = TEST_SERVICE_BUILD;
  const auto answer = [&build](DWORD code) {
    return "HTTP/1.0 " + std::to_string(code) + " Health\r\nContent-Length: " + std::to_string(build.size()) +
           "\r\nConnection: close\r\n\r\n" + build;
  };
  DWORD failed = 0;
  for (;;) {
    const SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return 1;
    char request[1024];
    recv(client, request, sizeof request, 0);
    // Counted by request, not by time, so that a test knows how many of a
    // caller's rounds met the failure whatever the machine's pace.
    const bool failing = behaviour.healthFailAfterMs != 0 &&
                         GetTickCount64() - runningSince >= behaviour.healthFailAfterMs &&
                         (behaviour.healthFailCount == 0 || failed < behaviour.healthFailCount);
    if (failing) {
      ++failed;
      logEvent("health failed");
    }
    const auto reply = answer(failing ? 503 : behaviour.healthStatus);
    send(client, reply.data(), static_cast<int>(reply.size()), 0);
    shutdown(client, SD_SEND);
    closesocket(client);
  }
}

void report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = NO_ERROR) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING && !behaviour.refuseStop ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
  if (control == kControlExitNow) {
    logEvent("stopped");
    report(SERVICE_STOPPED);
    ExitProcess(0);
  }
  if (control == SERVICE_CONTROL_STOP) {
    logEvent("stop requested");
    if (listening != INVALID_SOCKET) closesocket(listening);
    // As well-behaved services do, so the manager's reply says stop-pending.
    report(SERVICE_STOP_PENDING, 1, 1000);
    SetEvent(stopEvent);
    return NO_ERROR;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, wchar_t** arguments) {
  statusHandle = RegisterServiceCtrlHandlerExW(arguments[0], onControl, nullptr);
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD checkPoint = 1;
  for (DWORD elapsed = 0; elapsed < behaviour.startPendingMs; elapsed += 100) {
    report(SERVICE_START_PENDING, checkPoint++, 2000);
    Sleep(100);
  }
  if (behaviour.startStallMs != 0) logEvent("stalled");
  for (DWORD elapsed = 0; elapsed < behaviour.startStallMs; elapsed += 100) {
    report(SERVICE_START_PENDING, checkPoint, 2000);
    Sleep(100);
  }
  report(SERVICE_RUNNING);
  runningSince = GetTickCount64();
  logEvent("started");
  if (behaviour.healthPort != 0 && behaviour.healthStatus != 0) {
    CloseHandle(CreateThread(nullptr, 0, serveHealth, nullptr, 0, nullptr));
  }

  if (behaviour.vanishAfterMs != 0 && WaitForSingleObject(stopEvent, behaviour.vanishAfterMs) == WAIT_TIMEOUT) {
    logEvent("vanished");
    ExitProcess(0);
  }
  const DWORD wait = behaviour.dieAfterMs != 0 ? behaviour.dieAfterMs : INFINITE;
  if (WaitForSingleObject(stopEvent, wait) == WAIT_TIMEOUT) {
    // Wine's manager does not notice a process that just exits: say so first.
    logEvent("died");
    report(SERVICE_STOPPED, 0, 0, behaviour.exitCode);
    return;
  }

  // To the millisecond, so that a benchmark can place the stop anywhere
  // between two of a caller's status queries.
  checkPoint = 2;
  for (DWORD elapsed = 0; elapsed < behaviour.stopMs;) {
    report(SERVICE_STOP_PENDING, checkPoint++, 1000);
    const DWORD step = behaviour.stopMs - elapsed < 100 ? behaviour.stopMs - elapsed : 100;
    Sleep(step);
    elapsed += step;
  }
  for (DWORD elapsed = 0; elapsed < behaviour.stallMs; elapsed += 100) {
    report(SERVICE_STOP_PENDING, checkPoint, 1000);
    Sleep(100);
  }
  logEvent("stopped");
  report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  readBehaviour();
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
