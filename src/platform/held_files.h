// Files held by a virus scanner, a copy still being written or a service
// process on its way out are let go within moments; anything else will not
// change by waiting. The one rule for every file step that meets a held
// file: try again every 100 ms for up to 5 s.
#pragma once

#include <cstdint>

#include "clock.h"
#include "file_and_process.h"

namespace usqz {

inline bool isHeldFileError(platform::OsError error) {
  return error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
}

// Calls `attempt` (which returns an OsError) until it gives anything but a
// held-file error, or 5 s have passed; returns the last error.
template <typename Attempt>
platform::OsError retryWhileHeld(platform::Clock& clock, Attempt attempt) {
  constexpr std::uint32_t kPollMs = 100;
  constexpr std::uint64_t kLetGoMs = 5'000;
  const auto started = clock.monotonicMilliseconds();
  for (;;) {
    const auto error = attempt();
    if (!isHeldFileError(error) || clock.monotonicMilliseconds() - started >= kLetGoMs) return error;
    clock.pause(kPollMs);
  }
}

}  // namespace usqz
