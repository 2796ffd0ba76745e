// Healthy or rolled back: after its start is confirmed, a service is asked
// what it serves (an HTTP endpoint, a TCP port, a command) until every
// check the options name passes, or the time given runs out. The waiting
// uses no processor: between tries it waits on the service's process, so
// that a version that dies meanwhile is given up at once.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/service/service_waits.h"

namespace usqz {

// What a check answered last.
struct HealthResult {
  std::u16string check;   // as the console names it
  std::u16string answer;  // as the console says it
  bool passed = false;
};

class HealthWait {
 public:
  HealthWait(platform::Platform& platform, Console& console, const Options& options);

  bool asked() const { return !options_.health.empty(); }
  // Until every check passes; why not, if not. `waits` watches the process.
  std::optional<std::u16string> untilHealthy(ServiceWaits& waits);
  // Every check tried once, as a watch's round does; the first that did
  // not pass and why, if one did not. The answers are the last results.
  std::optional<std::u16string> oneRound(std::uint32_t budgetMs);
  // Whether the last wait ended without every check passing.
  bool lastFailed() const { return lastFailed_; }
  // Each check's last answer in the last wait, in the order given.
  const std::vector<HealthResult>& lastResults() const { return lastResults_; }

 private:
  std::u16string describe(const HealthCheck& check, const platform::ProbeAnswer& answer);
  // One try of the check, given `budgetMs` at most.
  platform::ProbeAnswer tryOnce(const HealthCheck& check, std::uint32_t budgetMs);

  platform::Platform& p_;
  Console& console_;
  const Options& options_;
  bool lastFailed_ = false;
  std::vector<HealthResult> lastResults_;
};

}  // namespace usqz
