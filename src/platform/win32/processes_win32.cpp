// Processes on Win32, by handle: one OpenProcess when the process is first
// seen, and every wait and termination on that handle.
#include "../native.h"
#include "windows_api.h"
// After windows.h, which it needs.
#include <ntsecapi.h>

namespace usqz::platform {

namespace {

HANDLE toNative(ProcessHandle process) { return reinterpret_cast<HANDLE>(process.value()); }

class Win32Processes final : public Processes {
 public:
  ProcessOpenResult openProcess(std::uint32_t processId) override {
    const HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    const DWORD error = GetLastError();
    if (process == nullptr) return {{}, error == ERROR_INVALID_PARAMETER, error};
    return {ProcessHandle(reinterpret_cast<std::uintptr_t>(process)), false, kOk};
  }

  ProcessStateResult waitForExit(ProcessHandle process, std::uint32_t waitMs) override {
    const DWORD waited = WaitForSingleObject(toNative(process), waitMs);
    const DWORD error = GetLastError();
    if (waited == WAIT_OBJECT_0) return {ProcessState::Exited, kOk};
    if (waited == WAIT_TIMEOUT) return {ProcessState::Running, kOk};
    return {ProcessState::Unknown, error};
  }

  OsError terminate(ProcessHandle process) override {
    const BOOL ended = TerminateProcess(toNative(process), ERROR_PROCESS_ABORTED);
    const DWORD error = GetLastError();
    if (!ended) return error;
    // Ended only once the system has let go of its files.
    WaitForSingleObject(toNative(process), 5'000);
    return kOk;
  }

  void closeProcess(ProcessHandle process) override { CloseHandle(toNative(process)); }

  std::uint64_t creationTime(ProcessHandle process) override {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(toNative(process), &created, &exited, &kernel, &user)) return 0;
    return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
  }

  std::uint32_t currentProcessId() override { return GetCurrentProcessId(); }

  // RtlGenRandom (advapi32's SystemFunction036): the system's generator,
  // with nothing more to load.
  std::uint64_t unpredictableNumber() override {
    std::uint64_t number = 0;
    if (!RtlGenRandom(&number, sizeof number)) {
      // Never seen to fail. Whatever the name, it is created new: a guess
      // could only keep a report from being written.
      FILETIME now{};
      GetSystemTimeAsFileTime(&now);
      number = (std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) ^ (std::uint64_t{GetCurrentProcessId()} << 17) ^
               GetTickCount64();
    }
    return number;
  }
};

}  // namespace

std::unique_ptr<Processes> makeNativeProcesses() { return std::make_unique<Win32Processes>(); }

}  // namespace usqz::platform
