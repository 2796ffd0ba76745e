// A run that died halfway is undone by the next one, before anything else:
// its journal says which versions were where, whether the service ran and
// which dependents it stopped. Nothing of the journal is taken at its word
// beyond what can be checked: it must be one only an administrator could
// have written, its service must run this very executable, a version is put
// back or started only when its bytes are the recorded ones, and a
// dependent is started again only when it depends on the service now.
//
// Every move is planned, and every destination checked, before anything is
// stopped. A new version copied again to its name (the deployment's own
// retry) is not an obstacle: those very bytes are already there. A plan is
// kept until it is carried out, so that a release's services are all
// planned before any of them is stopped; one routine carries out every
// plan, a single update's and a release's alike.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/service/health_check.h"
#include "common/names.h"
#include "common/options.h"
#include "common/console.h"
#include "platform/platform.h"
#include "run/service/dependents.h"
#include "run/transaction/executable_swap.h"
#include "run/transaction/restore.h"
#include "run/transaction/run_journal.h"

namespace usqz {

struct RecoveryEnd {
  enum class Kind {
    Nothing,    // no journal: the run goes on as any run
    Undone,     // put back as it was: the run goes on
    Finished,   // what the dead run was asked to do stands, and this run's retry of it is done
    // A dead release's, not carried out: nothing was touched, and every
    // service of it runs as its journal says it ran; the message says why.
    Refused,
    Failed,     // could not be undone (or not trusted, or may have left a service down): the message says why
    // Its new version failed the watch window, before this run or in the
    // rest of it: put back as it was, and the update failed (the message
    // says why); the run goes no further.
    RolledBack,
  } kind = Kind::Nothing;
  std::u16string message;
  // Where the new version would be once the recovery is done, for the
  // checks --check makes after it.
  std::u16string newVersionAt;
  // The dead run was a rollback.
  bool rollback = false;
  // The step its journal names.
  std::u16string deadRunStep;
  // The rest of a dead run's watch window (or a whole one), when this run
  // watched it: asked, watched (seconds), health rounds, failed rounds.
  struct Watched {
    std::uint32_t askedSeconds = 0;
    std::uint64_t watchedSeconds = 0;
    unsigned rounds = 0;
    unsigned failures = 0;
  };
  std::optional<Watched> watched;
};

// A refusal made before a dead run's journal was read, with the journal of
// one of `services` there: that run may have left its service down. What
// the refusal adds to say so (which journal, executable and service to look
// at); empty when there is no journal.
std::u16string journalsLeftUnread(platform::FileAndProcess& files, const std::vector<std::u16string>& services,
                                  std::u16string_view ownPath);

class Recovery {
 public:
  struct Plan;
  struct PlanDeleter {
    void operator()(Plan* plan) const;
  };

  // A recovery planned, every check made, nothing touched yet.
  struct Planned {
    // Nothing: no journal. Failed: not to be carried out, the message says
    // why. Otherwise how carrying it out ends when all goes well (with
    // where the new version is then, for --check).
    RecoveryEnd end;
    // For a plan that refused: why, without what the message puts before.
    std::u16string why;
    // The journal's facts and where the versions stand; none when the
    // journal could not be read or trusted.
    std::unique_ptr<Plan, PlanDeleter> plan;
    // Carried out far enough that its journal may go: every version where
    // the recovery puts it.
    bool settled = false;
  };

  // `names`: an update's; a rollback's journal is read with a rollback's.
  Recovery(platform::Platform& platform, Console& console, const Options& options, const Names& names,
           Dependents& dependents, HealthWait& health, RunJournal& journal);

  // Planned, then carried out.
  RecoveryEnd run();

  // The journal read (or as `found` says it) and the recovery planned.
  Planned prepare();
  Planned prepare(const JournalRead& found);
  // The plan carried out; a refusal is said as it stands. The journal goes
  // at the end, unless it is kept for a release.
  RecoveryEnd carryOut(Planned& planned);
  // For --check: what carrying it out would do, a line each.
  std::vector<std::u16string> describe(const Planned& planned) const;

  // For --check: what the recovery would do, a line each, or why it could
  // not; nothing is touched.
  RecoveryEnd plan(std::vector<std::u16string>& lines);

  // A dead release's service that was watching its new version: how its
  // window stands, as a single update's would be judged (the plan kept as
  // it is). A release finishes its window as a whole: the rest of it
  // watched for every service together, or, one having failed it, every
  // one put back, and that is its rollback.
  struct WatchVerdict {
    enum class Kind { None, Rest, Again, Failed } kind = Kind::None;
    std::uint32_t seconds = 0;  // Rest: what is left of the window
    std::u16string why;         // Failed
  };
  WatchVerdict watchVerdict(const Planned& planned);
  // The service's waits, its process adopted by watchVerdict (Rest).
  ServiceWaits* watchedWaits(const Planned& planned);
  // The window passed: the journal says confirmed.
  void confirmWatched(const Planned& planned);

  // A release's service confirmed while another of its services was not:
  // undone with the rest.
  void undoEvenIfConfirmed() { undoConfirmed_ = true; }
  // A release's: its journal stays when the recovery is carried out, until
  // every service of the release is (finishJournal).
  void keepJournal() { keepJournal_ = true; }
  // The journal gone; whether it is.
  bool finishJournal() { return journal_.finish(); }
  // Whether this run has read the journal (or found none).
  bool lookedAt() const { return lookedAt_; }

  // A release put back as a whole: a service the dead release may have
  // started on its new version goes down before any of it is put back, so
  // that those it depends on can stop too. Why it still runs, if it does.
  bool stopsFirst(const Planned& planned) const;
  // `underOne`: one it may depend on stops first, so it stops too, though
  // nothing of its own moves; its recovery starts it again.
  std::optional<std::u16string> stopFirst(Planned& planned, bool underOne = false);
  bool stopsUnderOne(const Planned& planned) const;
  // The services its service depends on, as the manager has them.
  std::vector<std::u16string> dependencies(const Planned& planned) const;
  // Another service's first stop failed, so nothing is put back: the one
  // this recovery stopped first runs again as it ran (held to its checks);
  // why not, if not. Nothing when it was not stopped here.
  std::optional<std::u16string> startAgain(Planned& planned);
  bool startsAgain(const Planned& planned) const;
  // The service (when its journal says it ran) and the dependents the
  // journal names: those not running now (what the dead run left down), and
  // those whose state cannot be told.
  struct LeftDown {
    std::vector<std::u16string> down;
    std::vector<std::u16string> untold;
  };
  LeftDown leftDown(const Planned& planned);

 private:
  RecoveryEnd refusalOf(const JournalRead& found);
  // Everything that can be known before anything is touched; the message
  // of a refusal, if there is one.
  std::optional<std::u16string> makePlan(const JournalRecord& facts, Plan& plan);
  std::optional<std::u16string> playBack(const JournalRecord& facts, Plan& plan, bool& settled);
  // A dead run that was watching its new version: how this one finishes
  // the window, as the service and the machine stand now.
  void judgeWatch(Plan& plan, bool evenUndone = false);
  // The rest of the window (or a whole one, the machine having restarted)
  // watched; why the new version failed it, if it did.
  std::optional<std::u16string> finishWatch(Plan& plan);
  RecoveryEnd::Kind endKind(const Plan& plan) const;
  // What the dead run was asked to do stands, and is finished.
  bool stands(const JournalRecord& facts) const;

  platform::Platform& p_;
  Console& console_;
  const Options& options_;
  const Names& names_;
  Dependents& dependents_;
  HealthWait& health_;
  RunJournal& journal_;
  bool undoConfirmed_ = false;
  bool keepJournal_ = false;
  bool lookedAt_ = false;
};

}  // namespace usqz
