// Interruptions on POSIX systems: SIGINT and SIGQUIT (the terminal's Ctrl+C
// and Ctrl+\) are caught while deferred.
#include <signal.h>

#include <atomic>

#include "../native.h"

namespace usqz::platform {

namespace {

volatile sig_atomic_t interruptArrived = 0;

extern "C" void onInterrupt(int) { interruptArrived = 1; }

class PosixInterrupts final : public Interrupts {
 public:
  void defer() override {
    if (deferred_) return;
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    deferred_ = ::sigaction(SIGINT, &action, &previousInt_) == 0 && ::sigaction(SIGQUIT, &action, &previousQuit_) == 0;
  }
  void allow() override {
    if (!deferred_) return;
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGQUIT, &previousQuit_, nullptr);
    deferred_ = false;
  }
  bool arrived() override { return interruptArrived != 0; }

 private:
  bool deferred_ = false;
  struct sigaction previousInt_{};
  struct sigaction previousQuit_{};
};

}  // namespace

std::unique_ptr<Interrupts> makeNativeInterrupts() { return std::make_unique<PosixInterrupts>(); }

}  // namespace usqz::platform
