// Time on Win32: the tick count for waits, the system time for the journal.
#include "../native.h"
#include "windows_api.h"

namespace usqz::platform {

namespace {

class Win32Clock final : public Clock {
 public:
  void pause(std::uint32_t milliseconds) override { Sleep(milliseconds); }
  std::uint64_t monotonicMilliseconds() override { return GetTickCount64(); }
  std::int64_t wallClockSeconds() override {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // 100 ns units since 1601-01-01.
    const auto ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;
    return static_cast<std::int64_t>(ticks / 10'000'000) - kSecondsFrom1601To1970;
  }
  std::int64_t bootedAtSeconds() override {
    return wallClockSeconds() - static_cast<std::int64_t>(GetTickCount64() / 1000);
  }
};

}  // namespace

std::unique_ptr<Clock> makeNativeClock() { return std::make_unique<Win32Clock>(); }

}  // namespace usqz::platform
