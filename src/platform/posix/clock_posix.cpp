// Time on POSIX systems: the steady clock for waits, the system clock for
// the journal.
#include <chrono>
#include <thread>

#include <time.h>

#include "../native.h"

namespace usqz::platform {

namespace {

class PosixClock final : public Clock {
 public:
  void pause(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::uint64_t monotonicMilliseconds() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  std::int64_t wallClockSeconds() override {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(now).count();
  }
  std::int64_t bootedAtSeconds() override {
    timespec sinceBoot{};
    if (clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) return 0;
    return wallClockSeconds() - static_cast<std::int64_t>(sinceBoot.tv_sec);
  }
};

}  // namespace

std::unique_ptr<Clock> makeNativeClock() { return std::make_unique<PosixClock>(); }

}  // namespace usqz::platform
