// The run's journal: how far an update got, on disk beside the executables,
// so that a run that dies at any instant (ended from outside, a reboot, a
// closed console) is undone by the next run for the same executables.
//
// It is written before the run's first irreversible step and rewritten
// before each next one, each time to a temporary file that is flushed and
// then put in place in one step, so that what is on disk is always a whole
// journal; it is deleted once the run has ended in a known state. It is text
// a person can read:
//
//   UpdateServiceQZ journal 2
//   service: QZAgent
//   process: 4242
//   mode: rollback                     (only for a rollback)
//   time: 2026-12-08 10:15:00 UTC
//   was-running: yes
//   dependent: QZB                     (one line each, in the order stopped)
//   release: QZAgent                   (for a release: each of its services,
//   release: QZSync                     in the order they start)
//   health-url: http://127.0.0.1:8080/health   (for a release: the service's
//   health-tcp: 127.0.0.1:8081                  checks as the release gave
//   health-command: C:\svc\check.cmd           them, in order, their time
//   health-timeout: 30                          limit and its pin, each only
//   pin-sha256: <SHA-256>                       when it had one)
//   previous: 6A1F20C3 0001000000004F21 2048 133781233000000000 <SHA-256>
//   new: 6A1F20C3 0001000000004F22 2304 133781240000000000 <SHA-256>
//   failure-actions: 86400 1/60000 1/60000 0/0   (only while suspended)
//   watch: 600 1796774400 1796770000 10 3      (only while watched: length,
//   watched: 5124 133781240000000000            start and boot, in seconds
//                                               since 1970, health interval
//                                               and failures in a row; the
//                                               process and its creation)
//   step: swapping
//   end
//
// A version is known by its volume, file index, size and last write
// ("none" where there was no previous executable), and vouched for by its
// SHA-256: a version whose bytes are not the recorded ones is never put
// back or started. The step names the irreversible step that may have been
// taken last. A release's services with work each keep a journal that
// names all of those (one with nothing to do keeps none):
// the release is confirmed only when every one of them says so, and is
// otherwise undone as a whole, each service held to the checks its journal
// keeps, whoever runs the recovery (a journal without them had none). The
// service's own failure actions, when the run suspended its restarts, are
// the ones to put back: reset period, then type/delay.
//
// It is created so that only SYSTEM, Administrators and its owner may read
// or change it, never through a link, and it is acted upon only when
// nobody else could have written it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/options.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/file_and_process.h"
#include "platform/file_security.h"
#include "platform/service_control.h"

namespace usqz {

// In the order a run takes them.
enum class Step {
  Registering,         // the service is being registered
  StoppingDependents,  // dependents are being stopped
  Stopping,            // the service has been asked to stop
  Swapping,            // the executables are being moved
  Starting,            // the service has been asked to start
  Watching,            // it runs, and is watched through its window
  Confirmed,           // the new version runs; its dependents come back
  RollingBack,         // the executables are being put back
};

std::u16string_view stepName(Step step);

// Whether a run at this step may have moved an executable.
inline bool movesMayHaveBegun(Step step) {
  return step == Step::Swapping || step == Step::Starting || step == Step::Watching || step == Step::RollingBack;
}

struct JournalRecord {
  std::u16string serviceName;
  std::uint32_t processId = 0;
  std::int64_t time = 0;  // seconds since 1970, UTC
  bool wasRunning = false;
  // The run registers the service: its own to know, not recovery's.
  bool registered = false;
  // A rollback's: its versions are placed by the rollback's names.
  bool rollback = false;
  std::vector<std::u16string> dependents;
  // The services of the release this run belongs to, in start order;
  // empty for a single update.
  std::vector<std::u16string> release;
  // A release's: what its service was held to, as the release file gave
  // it (health checks unresolved, their time limit when there are any, the
  // pin empty when there was none).
  std::vector<HealthCheck> health;
  std::optional<std::uint32_t> healthTimeoutSeconds;
  std::u16string pin;
  std::optional<platform::FileIdentity> previous;
  platform::FileIdentity next;
  // Lower-case hex; the previous version's empty where there was none.
  std::u16string previousSha256;
  std::u16string nextSha256;
  // The service's failure actions as they were, while suspended.
  std::optional<platform::FailureActions> failureActions;
  // The window the new version is watched through, once it began.
  struct Watch {
    std::uint32_t seconds = 0;
    std::int64_t startedAt = 0;  // wall clock, seconds since 1970
    std::int64_t bootedAt = 0;   // when the machine had started, then
    std::uint32_t intervalSeconds = 10;
    std::uint32_t failures = 3;
    std::uint32_t processId = 0;
    std::uint64_t processCreated = 0;
  };
  std::optional<Watch> watch;
  Step step = Step::Stopping;
};

std::string formatJournal(const JournalRecord& record);
// Nothing when the text is not a whole journal of this format.
std::optional<JournalRecord> parseJournal(std::string_view text);

// What reading the journal found.
struct JournalRead {
  // Untrusted: someone other than an administrator could have written it,
  // or it is not a plain file of its own.
  enum class Kind { None, Found, Unreadable, Untrusted } kind = Kind::None;
  JournalRecord record;
  platform::OsError error = platform::kOk;  // for Unreadable: why, when the system said
  std::u16string why;                       // for Untrusted
};

// The journal of one set of executables. Its record is the run's state:
// one object says how far the run got.
class RunJournal {
 public:
  RunJournal(platform::FileAndProcess& files, platform::FileSecurity& security, platform::Clock& clock,
             platform::ErrorTexts& texts, std::u16string path);

  static JournalRead read(platform::FileAndProcess& files, platform::FileSecurity& security,
                          platform::Clock& clock, const std::u16string& path);

  // The facts of this run, before its first irreversible step; nothing is
  // written yet.
  void prepare(JournalRecord record);
  // Taken over from a run that died, as its journal on disk says.
  void adopt(JournalRecord record);
  // Written before the step is taken; an error when it cannot reach the
  // disk, so that no step is taken without it.
  void advance(Step step);
  void addDependent(const std::u16string& name);
  // Written before the service's restarts are suspended: what to put back.
  void recordFailureActions(const platform::FailureActions& actions);
  // Written before the watch begins, with its step.
  void recordWatch(const JournalRecord::Watch& watch);
  // The suspension was refused, and changed nothing: nothing to put back.
  // In memory only: the copy on disk, if the run dies, puts back the
  // very actions the service has.
  void forgetFailureActions() { record_.failureActions.reset(); }
  // The step the next write names, for a write that comes before the step
  // a run announces first.
  void nextWriteSays(Step step) { record_.step = step; }
  // The step has taken effect (a request the system refused has not): in
  // memory only, the last step known to have changed anything.
  void taken(Step step) { taken_ = step; }
  // Gone: the run has ended in a known state. Whether it is (one that
  // cannot be removed stays for the next run, which recovers again).
  bool finish();
  // A release's: finish() ends the journal for the run, but its file stays
  // until removeKept(), once every service of the release has ended, so
  // that a run that dies meanwhile is found from any of them.
  void keepUntilRemoved() { keep_ = true; }
  bool kept() const { return kept_; }
  bool removeKept();
  // For --check: an error when the run could not write its journal (a
  // folder it may not create files in, someone else's file at the
  // temporary name); nothing stays behind.
  void probeWritable();

  bool prepared() const { return prepared_; }
  // Written, and not finished: the disk says a transaction is open.
  bool active() const { return active_; }
  // Nothing when the run has changed nothing yet.
  std::optional<Step> lastTaken() const { return taken_; }
  const JournalRecord& record() const { return record_; }
  const std::u16string& path() const { return path_; }

 private:
  void write();

  // Creates the temporary file, clearing one a dead run of the tool left.
  platform::FileOpenResult createTemporary(const std::u16string& temporary);

  platform::FileAndProcess& files_;
  platform::FileSecurity& security_;
  platform::Clock& clock_;
  platform::ErrorTexts& texts_;
  std::u16string path_;
  JournalRecord record_;
  bool prepared_ = false;
  bool active_ = false;
  bool keep_ = false;
  bool kept_ = false;
  std::optional<Step> taken_;
};

}  // namespace usqz
