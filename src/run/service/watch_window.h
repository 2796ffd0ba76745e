// The watch window: once its start is confirmed, a new version counts only
// when it has gone on running for the whole window as the very process its
// start began (not ended, not restarted by the manager or anyone else),
// and, with health checks, kept passing them: a round of every check each
// interval, the window failing only after so many failed rounds in a row,
// so that one slow answer rolls nothing back. A release's services are
// watched through one window together. The console says when it begins
// and ends, and once a minute how long is left.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/duration_text.h"
#include "platform/platform.h"
#include "run/service/health_check.h"
#include "run/service/service_waits.h"

namespace usqz {

// One service watched: its process through `waits`, its checks through
// `health` (none asked: none tried); `alsoRuns` says why what it carries
// no longer runs, if it does not.
struct Watched {
  ServiceWaits* waits = nullptr;
  HealthWait* health = nullptr;
  std::function<std::optional<std::u16string>()> alsoRuns;
};

struct WatchTerms {
  std::uint32_t seconds = 0;
  std::uint32_t intervalSeconds = 10;
  std::uint32_t failuresInARow = 3;
};

struct WatchResult {
  // The service that failed it, and why; nothing when the window passed.
  std::optional<std::size_t> failed;
  std::u16string why;
  std::uint64_t watchedMs = 0;
  unsigned rounds = 0;
  unsigned failures = 0;  // failed rounds, in all
};

// `rest`: the rest of a window a dead run began, said as such.
WatchResult watchWindow(platform::Platform& p, Console& console, const std::vector<Watched>& services,
                        const WatchTerms& terms, std::uint32_t seconds, bool rest);

}  // namespace usqz
