// Processes on Linux, by handle: a pidfd refers to one process for as long
// as it is open, whatever becomes of its id.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <random>

#include "../native.h"

namespace usqz::platform {

namespace {

int toFd(ProcessHandle process) { return static_cast<int>(process.value()) - 1; }

class PosixProcesses final : public Processes {
 public:
  ProcessOpenResult openProcess(std::uint32_t processId) override {
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0);
    if (fd < 0) {
      const int error = errno;
      if (error == ESRCH) return {{}, true, kErrorInvalidParameter};
      return {{}, false, static_cast<OsError>(error)};
    }
    return {ProcessHandle(static_cast<std::uintptr_t>(fd) + 1), false, kOk};
  }

  ProcessStateResult waitForExit(ProcessHandle process, std::uint32_t waitMs) override {
    pollfd watch{toFd(process), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(waitMs));
    if (ready < 0) return {ProcessState::Unknown, static_cast<OsError>(errno)};
    return {ready > 0 ? ProcessState::Exited : ProcessState::Running, kOk};
  }

  OsError terminate(ProcessHandle process) override {
    if (::syscall(SYS_pidfd_send_signal, toFd(process), SIGKILL, nullptr, 0) != 0 && errno != ESRCH) {
      return static_cast<OsError>(errno);
    }
    waitForExit(process, 5'000);
    return kOk;
  }

  void closeProcess(ProcessHandle process) override { ::close(toFd(process)); }
  // No service manager here, and no process watched across runs.
  std::uint64_t creationTime(ProcessHandle) override { return 0; }

  std::uint32_t currentProcessId() override { return static_cast<std::uint32_t>(::getpid()); }

  std::uint64_t unpredictableNumber() override {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }
};

}  // namespace

std::unique_ptr<Processes> makeNativeProcesses() { return std::make_unique<PosixProcesses>(); }

}  // namespace usqz::platform
