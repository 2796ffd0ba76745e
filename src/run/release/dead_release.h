// A release that died halfway is recovered as a whole by the next run that
// touches any of its services, a single update's included: the journal of
// every service with work names all of those. The release stands only when every journal it
// left says confirmed; otherwise each service is put back, those that
// depend on others stopped first and started after them.
//
// Every service is planned before any is stopped, each held to the checks
// its journal keeps (the release's, whoever runs the recovery): when one
// plan refuses, nothing is touched. The journals go only once every
// service's recovery is carried out, so that a run that dies meanwhile
// leaves the release to be found by a run of any of its services.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/options.h"
#include "platform/platform.h"
#include "run/outcome.h"
#include "run/run_lock.h"
#include "run/transaction/recovery.h"

namespace usqz {

// The locks a run holds, one per set of executables, taken in the order
// asked and kept to the run's end.
class RunLocks {
 public:
  RunLocks(platform::Platform& platform, std::u16string_view ownPath) : p_(platform), ownPath_(ownPath) {}

  enum class Taken { Held, Busy, Failed };
  // Taken, or already held by this run.
  Taken take(const std::u16string& serviceName);
  // For Failed: why.
  platform::OsError error() const { return error_; }

 private:
  platform::Platform& p_;
  std::u16string ownPath_;
  std::vector<std::pair<std::u16string, std::unique_ptr<RunLock>>> held_;
  platform::OsError error_ = platform::kOk;
};

// Takes the locks of `services` in one order every run agrees on (their
// executables' names), so that two releases never wait for each other;
// the service it could not have, if any.
std::optional<std::u16string> takeLocksInOrder(platform::Platform& platform, RunLocks& locks,
                                               std::vector<std::u16string> services, std::u16string_view ownPath,
                                               RunLocks::Taken& why);

// What a run that could not have `service`'s lock says, busy (another run
// holds it) or not; its outcome. `services`: those whose dead runs' journals
// it leaves unread (any of them there, a service may be down).
Outcome lockNotHad(platform::Platform& platform, Console& console, const std::u16string& service, bool busy,
                   platform::OsError error, const std::vector<std::u16string>& services, std::u16string_view ownPath);

struct DeadRelease {
  enum class Kind { Nothing, Recovered, Busy, LockFailed } kind = Kind::Nothing;
  // For Busy and LockFailed: the service whose lock was not had, and all
  // those the dead release names.
  std::u16string service;
  std::vector<std::u16string> services;
  // What became of each of its services, by name (for --check: what
  // would).
  std::vector<std::pair<std::u16string, RecoveryEnd>> ends;
  // For --check: what recovering it would do, for the first of its
  // services that is checked to say (each service's lines under its
  // name), and for the others to point there.
  std::vector<std::u16string> said;
  std::vector<std::u16string> saidAbove;

  // The end of `name`'s recovery, when it was one of them.
  std::optional<RecoveryEnd> endOf(platform::FileAndProcess& files, const std::u16string& name) const;
};

// Recovers the dead releases whose journals any of `services` keep,
// holding the locks of all their services; for --check (`run.checkOnly`),
// plans them and says how, touching nothing. Each service is held to the
// checks its journal keeps; the rest of `run`'s options are every one's.
DeadRelease recoverDeadReleases(platform::Platform& platform, Console& console, const Options& run,
                                std::u16string_view ownPath, const std::vector<std::u16string>& services,
                                RunLocks& locks);

}  // namespace usqz
