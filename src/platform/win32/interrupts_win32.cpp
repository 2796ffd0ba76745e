// Ctrl+C and Ctrl+Break on Win32: a console control handler that takes them
// while they are deferred. The system calls it on a thread of its own.
#include <atomic>

#include "../native.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

std::atomic<bool> interruptArrived{false};

BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // close, logoff, shutdown
  interruptArrived = true;
  return TRUE;
}

class Win32Interrupts final : public Interrupts {
 public:
  void defer() override {
    if (!deferred_) deferred_ = SetConsoleCtrlHandler(onConsoleControl, TRUE) != FALSE;
  }
  void allow() override {
    if (deferred_) SetConsoleCtrlHandler(onConsoleControl, FALSE);
    deferred_ = false;
  }
  bool arrived() override { return interruptArrived; }

 private:
  bool deferred_ = false;
};

}  // namespace

std::unique_ptr<Interrupts> makeNativeInterrupts() { return std::make_unique<Win32Interrupts>(); }

}  // namespace usqz::platform
