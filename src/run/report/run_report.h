// What a run did, kept for --report and --event-log: the versions before
// and after, each step with its time, the health checks' last answers, the
// recovery of a dead run, the outcome. Kept only when one of them is asked
// for: otherwise every call is a no-op and the run reads no clock and no
// file for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/outcome.h"
#include "run/service/health_check.h"

namespace usqz {

// One version of the service's executable as it was read.
struct VersionFacts {
  std::u16string path;
  std::uint64_t size = 0;
  std::u16string sha256;       // empty when it could not be read
  std::u16string fileVersion;  // empty when it has no version resource
  // When signed and a signature option asked for it.
  std::u16string signerSubject;
  std::u16string signerSha256;
};

struct ReportStep {
  std::u16string name;  // "stop-requested", "stopped", "moved", …
  std::int64_t atMs = 0;  // milliseconds since 1970, UTC
};

// A dead run's journal, and what this run made of it.
struct RecoveryFacts {
  std::u16string deadRunStep;  // the journal's step
  std::u16string outcome;      // "undone", "finished" or "failed"
  std::u16string message;
};

// The watch window, when one was asked for.
struct WatchFacts {
  std::uint32_t askedSeconds = 0;
  std::uint64_t watchedSeconds = 0;
  unsigned healthRounds = 0;
  unsigned failures = 0;  // failed rounds
};

enum class RunAction { Update, Rollback, Check };

class RunReport {
 public:
  RunReport(bool asked, platform::Clock& clock) : asked_(asked), clock_(clock) {}

  bool asked() const { return asked_; }
  void begin(RunAction action, std::u16string service, std::u16string host);
  void step(std::u16string_view name);
  // A step the run saw happen earlier, at a time of the monotonic clock.
  void stepAt(std::u16string_view name, std::uint64_t monotonicMs);
  void recovery(RecoveryFacts facts);
  void previous(std::optional<VersionFacts> facts) { previous_ = std::move(facts); }
  void next(std::optional<VersionFacts> facts) { next_ = std::move(facts); }
  void running(std::optional<VersionFacts> facts) { running_ = std::move(facts); }
  void health(const std::vector<HealthResult>& results) { health_ = results; }
  void result(std::u16string line) { result_ = std::move(line); }
  void watch(WatchFacts facts) {
    if (asked_) watch_ = facts;
  }
  const std::optional<WatchFacts>& watchFacts() const { return watch_; }
  // When the run ends: its outcome and the status --exit-code gives it.
  void end(Outcome outcome, int exitStatus);

  // From the stop request to the service running again (the new version,
  // or the previous one rolled back); nothing when it was not stopped or
  // does not run at the end.
  std::optional<std::int64_t> downtimeMs() const;
  // How the report and the event name the outcome.
  std::u16string outcomeName() const;

  RunAction action() const { return action_; }
  Outcome outcome() const { return outcome_; }
  const std::u16string& service() const { return service_; }
  const std::optional<std::u16string>& resultLine() const { return result_; }
  const std::optional<VersionFacts>& previousVersion() const { return previous_; }
  const std::optional<VersionFacts>& nextVersion() const { return next_; }
  const std::optional<VersionFacts>& runningVersion() const { return running_; }

  // The report as UTF-8 JSON (the README documents every field).
  std::string json() const;

 private:
  std::int64_t nowMs();

  bool asked_;
  platform::Clock& clock_;
  std::int64_t startWallMs_ = 0;
  std::uint64_t startMonotonic_ = 0;
  std::int64_t endWallMs_ = 0;
  RunAction action_ = RunAction::Update;
  std::u16string service_;
  std::u16string host_;
  Outcome outcome_ = Outcome::Unchanged;
  int exitStatus_ = 0;
  std::optional<std::u16string> result_;
  std::optional<VersionFacts> previous_, next_, running_;
  std::vector<ReportStep> steps_;
  std::vector<HealthResult> health_;
  std::optional<RecoveryFacts> recovery_;
  std::optional<WatchFacts> watch_;
};

// How the report and the event name an outcome of an action.
std::u16string outcomeNameOf(RunAction action, Outcome outcome);

// A release's report: its outcome, and each service's report as a single
// update's would be.
std::string releaseJson(std::u16string_view releasePath, RunAction action, Outcome outcome,
                        const std::vector<const RunReport*>& services);

}  // namespace usqz
