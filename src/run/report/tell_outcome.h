// Telling a run's outcome beyond the console and the result file, when
// asked: the report file (--report) and one event in the Application log
// (--event-log). Neither may change the run's outcome or status: what
// cannot be told is said on a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/report/run_report.h"

namespace usqz {

inline constexpr std::u16string_view kEventSource = u"UpdateServiceQZ";

// One event ID per outcome class; the executable's message table holds a
// text for each.
struct OutcomeEvent {
  std::uint32_t id = 0;
  platform::EventType type = platform::EventType::Information;
};

OutcomeEvent eventFor(const RunReport& report);
// The message's %1 to %6: service, result line, previous version, new
// version, the version running at the end, and the status.
std::vector<std::u16string> eventStrings(const RunReport& report);

// Why --report names a file the run works on (an executable, the journal,
// the result file, the tool itself, by final path), if it does: the report
// would replace it.
std::optional<std::u16string> reportOverwritesRunFiles(platform::FileAndProcess& files, const Options& options,
                                                      std::u16string_view ownPath);

// One event with these strings, the source registered first.
void tellEvent(platform::Platform& p, Console& console, const OutcomeEvent& event,
               const std::vector<std::u16string>& strings, std::u16string_view ownPath);

// A release's: one report with each service's, one event naming them all.
void tellReleaseOutcome(platform::Platform& p, Console& console, const Options& options, Outcome outcome,
                        const std::vector<const RunReport*>& services, std::u16string_view ownPath);

void tellOutcome(platform::Platform& p, Console& console, const Options& options, const RunReport& report,
                 std::u16string_view ownPath);

}  // namespace usqz
