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
// retry) is not an obstacle: those very bytes are already there.
#pragma once

#include <optional>
#include <string>

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
    Failed,     // could not be undone (or not trusted): the message says why
  } kind = Kind::Nothing;
  std::u16string message;
  // Where the new version would be once the recovery is done, for the
  // checks --check makes after it.
  std::u16string newVersionAt;
  // The dead run was a rollback.
  bool rollback = false;
  // The step its journal names.
  std::u16string deadRunStep;
};

class Recovery {
 public:
  // `names`: an update's; a rollback's journal is read with a rollback's.
  Recovery(platform::Platform& platform, Console& console, const Options& options, const Names& names,
           Dependents& dependents, HealthWait& health, RunJournal& journal);

  RecoveryEnd run();

  // For --check: what the recovery would do, a line each, or why it could
  // not; nothing is touched.
  RecoveryEnd plan(std::vector<std::u16string>& lines);

  // A release's service confirmed while another of its services was not:
  // undone with the rest.
  void undoEvenIfConfirmed() { undoConfirmed_ = true; }

 private:
  struct Plan;
  RecoveryEnd refusalOf(const JournalRead& found);
  // Everything that can be known before anything is touched; the message
  // of a refusal, if there is one.
  std::optional<std::u16string> makePlan(const JournalRecord& facts, Plan& plan);
  std::optional<std::u16string> carryOut(const JournalRecord& facts, Plan& plan);
  bool finishes(const JournalRecord& facts, const Plan& plan) const;
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
};

}  // namespace usqz
