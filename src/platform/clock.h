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
  // Milliseconds since the machine started, which no correction of the
  // wall clock moves: a later run that reads less knows the machine
  // restarted since, and how long a window has lasted, whatever the wall
  // clock says.
  virtual std::uint64_t sinceBootMilliseconds() = 0;
};

}  // namespace usqz::platform
