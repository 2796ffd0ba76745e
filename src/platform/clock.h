// Time as the run needs it: a clock that never goes back, for bounded waits,
// the wall clock, for the journal a person reads, and pauses that use no
// processor. Portable header.
#pragma once

#include <cstdint>

namespace usqz::platform {

class Clock {
 public:
  virtual ~Clock() = default;

  virtual void pause(std::uint32_t milliseconds) = 0;
  // Milliseconds on a clock that never goes back; only differences count.
  virtual std::uint64_t monotonicMilliseconds() = 0;
  // Seconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t wallClockSeconds() = 0;
  // The wall clock less the time since the machine started: when it
  // started, within a second or two (and moved with any correction of the
  // wall clock). What tells a run that the machine restarted since another.
  virtual std::int64_t bootedAtSeconds() = 0;
};

}  // namespace usqz::platform
