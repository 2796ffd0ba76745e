// One service's part in a run, as its forward steps: undo an update that
// died halfway, check, stop, back up, swap, start, confirm. The release
// engine (release_run) takes them for one service or many. What fails once
// the service was touched is rolled back (rollback); the checks before the
// stop (before_the_stop), --check (check_plan) and the recovery of a dead
// run (recovery) have files of their own.
#include "run/update_run.h"

#include <exception>
#include <new>

#include "common/result_file.h"
#include "platform/text.h"
#include "common/tool_error.h"
#include "run/before_the_stop.h"
#include "run/check_plan.h"
#include "checks/location_trust.h"
#include "checks/preflight.h"
#include "run/report/version_facts.h"
#include "run/transaction/failure_actions.h"
#include "run/transaction/rollback.h"
#include "run/run_context.h"
#include "run/service/service_rights.h"

namespace usqz {

namespace {

using platform::ServiceStatus;

// What stands at the result file's name would outlive the run and tell
// of another: the run is refused before it changes anything.
[[noreturn]] void refuseTheResultFile(const Names& names, const std::u16string& why) {
  throw toolError(u"O arquivo de resultado " + names.logFilename + u" não pode ser substituído: " + why);
}

}  // namespace

UpdateRun::UpdateRun(platform::Platform& platform, Console& console, const Options& options,
                     std::u16string_view ownExecutablePath, RunReport& report)
    : c(platform, console, options, ownExecutablePath, report) {}

// --check: what the run would do, through the same error handler as a
// run's refusal.
Outcome UpdateRun::check() {
  Outcome outcome = Outcome::Updated;
  try {
    refuseNamesOutsideTheToolsFolder(c);
    // Nothing found in a folder others may change is acted upon, a dead
    // run's journal included.
    checkWhereTheToolActs(c.p, c.updateNames, c.names);
    if (const auto why = whyTheResultCannotBeReplaced(c.p, c.names.logFilename)) refuseTheResultFile(c.names, *why);
    readVersionsForTheReport(true);
    outcome = checkOnly(c);
  } catch (const ToolError& error) {
    outcome = fail(error.message());
  } catch (const std::bad_alloc&) {
    outcome = fail(u"Out of memory");
  } catch (const std::exception& error) {
    outcome = fail(fromUtf8(error.what()));
  }
  if (c.report.asked()) {
    c.report.running(versionFactsOf(c, c.names.pathCurrentBin));
    c.report.health(c.health.lastResults());
  }
  c.p.interrupts.allow();
  if (c.p.interrupts.arrived()) {
    c.console.writeLine(u"Interrupção recebida durante a atualização: adiada até o fim da atualização.");
  }
  close();
  return outcome;
}

void UpdateRun::close() {
  c.held.reset();
  dropOwnCopy();
  c.service.reset();
  c.manager.reset();
}

void UpdateRun::checkResultFile() {
  if (resultChecked_) return;
  if (const auto why = RemoveResult(c.p, c.names.logFilename)) refuseTheResultFile(c.names, *why);
  resultChecked_ = true;
}

UpdateRun::Found UpdateRun::checkBeforeTheStop() {
  refuseNamesOutsideTheToolsFolder(c);
  checkWhereTheToolActs(c.p, c.updateNames, c.names);
  checkResultFile();
  if (const auto outcome = undoInterruptedRun()) {
    ended_ = *outcome;
    return Found::Ended;
  }
  readVersionsForTheReport(false);
  const bool passes = newVersionPasses(c, c.names);
  reportNewVersion();
  if (!passes) return Found::NothingToDo;
  const bool mayRegister = connect(c);
  // Registering is a change: it waits for every service's checks.
  needsRegistration_ = !openAndCheck(c, mayRegister);
  if (!needsRegistration_ && alreadyRuns(c)) return Found::AlreadyRuns;
  return Found::Work;
}

void UpdateRun::dropRunningCopy() {
  c.console.writeLine(u"Service :: status: iniciado");
  c.console.writeLine(u"  -> A nova versão já está em execução: removendo a cópia (NEW)");
  c.held.reset();
  dropOwnCopy();
  if (const auto error = c.swap.removeRetrying(c.names.pathNewBin)) {
    throw toolError(u"A cópia da nova versão não pôde ser removida: " + c.p.texts.describe(error));
  }
  c.record({u"", u"Atualização finalizada.", u""}, u"Atualizado com sucesso!");
}

void UpdateRun::requestStop() {
  if (needsRegistration_) {
    needsRegistration_ = false;
    registerTheService();
  }
  bringDown();
}

void UpdateRun::writeJournal() {
  if (needsRegistration_) return;  // its registration writes it
  platform::ServiceStatus status;
  // One an operator is stopping is not started again by a recovery.
  const bool runs = c.waits.query(status) && status.dwCurrentState != platform::kServiceStopped &&
                    status.dwCurrentState != platform::kServiceStopPending;
  prepareJournal(runs, false);
  c.journal.advance(Step::Stopping);
  // Before the first service of the release stops: one whose restarts
  // cannot be suspended refuses the release with nothing stopped.
  if (runs) suspendRestarts(c.p, c.manager.get(), c.service.get(), c.names.serviceName, c.journal);
}

void UpdateRun::finishStop() {
  if (stopRequested_) {
    stopRequested_ = false;
    c.waits.waitForStop(stopStatus_);
    c.report.step(u"stopped");
    c.stoppedByRun = true;
    c.console.writeLine(u"Service :: parado");
  }
  c.waits.waitForProcessExit();
}

void UpdateRun::swapIn() {
  c.journal.advance(Step::Swapping);
  if (c.service) suspendRestarts(c.p, c.manager.get(), c.service.get(), c.names.serviceName, c.journal);
  c.journal.taken(Step::Swapping);
  c.swap.swap(c.held.get());
  c.held.reset();
  c.report.step(u"moved");
}

void UpdateRun::requestStart() {
  c.journal.advance(Step::Starting);
  c.console.writeLine(u"Service :: iniciando ...");
  c.report.step(u"start-requested");
  if (c.waits.startRetrying() != platform::kOk) throw toolError(u"Erro ao iniciar o serviço");
  c.journal.taken(Step::Starting);
}

void UpdateRun::reachRunning() {
  c.waits.reachRunning();
  reachedRunning_ = true;
}

void UpdateRun::confirmStarted() {
  if (!reachedRunning_) c.waits.reachRunning();
  reachedRunning_ = false;
  c.waits.watchRunning();
  c.report.stepAt(u"running", c.waits.runningSince());
  c.report.step(u"confirmed");
  c.console.writeLine(u"Service :: status: iniciado");
  // Running is not serving: what the options ask of it is part of the
  // confirmation.
  if (c.health.asked()) {
    if (const auto why = c.health.untilHealthy(c.waits)) throw toolError(*why);
    c.report.step(u"healthy");
  }
  c.dependents.watchCarried();
}

void UpdateRun::startCarried() {
  if (const auto failed = c.dependents.startCarried(); !failed.empty()) throw toolError(failed);
}

void UpdateRun::confirmStillRunning() {
  if (const auto why = c.waits.stillRunsAsStarted()) throw toolError(*why);
  if (const auto why = c.dependents.carriedStillRun()) throw toolError(*why);
}

void UpdateRun::beginWatch(const WatchTerms& terms, std::int64_t startedAt, std::int64_t bootedAt) {
  JournalRecord::Watch watch;
  watch.seconds = terms.seconds;
  watch.startedAt = startedAt;
  watch.bootedAt = bootedAt;
  watch.intervalSeconds = terms.intervalSeconds;
  watch.failures = terms.failuresInARow;
  watch.processId = c.waits.startedAs();
  watch.processCreated = c.waits.startedAsCreated();
  c.journal.recordWatch(watch);
  c.journal.taken(Step::Watching);
  c.report.step(u"watching");
}

void UpdateRun::startDependentsForWatch() {
  const auto& stopped = c.journal.record().dependents;
  if (stopped.empty()) return;
  c.restore.mayStopDependents(c.manager.get(), stopped);
  c.dependentsUpForWatch = true;
  if (const auto failed = c.dependents.bringBack(); !failed.empty()) throw toolError(failed);
}

Watched UpdateRun::watched() {
  return {&c.waits, &c.health, [this] { return c.dependents.carriedStillRun(); }};
}

void UpdateRun::watchEnded(const WatchResult& result, std::uint32_t askedSeconds) {
  c.report.watch({askedSeconds, result.watchedMs / 1000, result.rounds, result.failures});
  if (!result.failed) c.report.step(u"watched");
}

void UpdateRun::stopCarriedForRollback() { c.dependents.stopCarriedAgain(); }

void UpdateRun::recordConfirmed() {
  c.journal.taken(Step::Confirmed);
  // The update stands whatever becomes of the dependents; a run that dies
  // now leaves the next one to bring them back, and no more. Should the
  // journal not say so, a run that dies now is undone and done again.
  try {
    if (c.journal.active()) c.journal.advance(Step::Confirmed);
  } catch (const ToolError&) {
  }
}

Outcome UpdateRun::finish() {
  if (c.names.rollback) {
    // The rollback stands: the version it replaced stays at its own name
    // if it cannot become the backup, and says so.
    if (const auto why = c.swap.keepReplacedAsBackup(); !why.empty()) c.console.writeLine(u"Service :: " + why);
  }
  if (const auto failed = c.dependents.bringBack(); !failed.empty()) throw toolError(failed);
  // The update stands, but a service the manager no longer restarts after
  // a crash is not one left as it should be.
  if (const auto why = finishTransaction(c); !why.empty()) {
    c.recordError(why);
    return outcomeOf(endState(c));
  }
  recordSuccess();
  return Outcome::Updated;
}

void UpdateRun::stopForRollback() {
  const auto taken = c.journal.lastTaken();
  if (!c.service || !taken || *taken < Step::Starting || *taken == Step::RollingBack) return;
  // One that still runs is stopped again by its own rollback, which then
  // moves nothing and says why.
  c.restore.stopWhatRuns(c.waits, c.service.get(), false);
}

void UpdateRun::recordSuccess() {
  if (c.names.rollback) {
    c.record({u"", u"Reversão finalizada.", u""}, u"Revertido para a versão anterior com sucesso!");
  } else {
    c.record({u"", u"Atualização finalizada.", u""}, u"Atualizado com sucesso!");
  }
}

Outcome UpdateRun::fail(const std::u16string& message) {
  // Refused before the copy took its place: the new version is as found.
  if (!c.journal.prepared()) reportNewVersion();
  const auto said = recover(c);
  // Refused before a dead run's journal was read (where the tool acts is
  // judged first): whatever that run left, the service down included, is
  // as it left it.
  if (!c.journal.prepared() && !c.recovery.lookedAt() && !c.recovered) {
    if (const auto left = journalsLeftUnread(c.p.files, {c.names.serviceName}, c.ownPath); !left.empty()) {
      c.recordError(message + said + left);
      return Outcome::Down;
    }
  }
  c.recordError(message + said);
  const auto outcome = outcomeOf(endState(c));
  if (outcome == Outcome::RolledBack) c.report.step(u"rolled-back");
  return outcome;
}

void UpdateRun::registerTheService() {
  prepareJournal(false, true);
  c.journal.advance(Step::Registering);
  const auto created = c.p.services.registerService(c.manager.get(), c.names.serviceName, c.names.pathCurrentBin);
  if (created.error != platform::kOk || !created.handle) {
    const platform::OsError errorCode = created.error;
    c.record({}, u"Erro ao instalar o serviço!");
    throw toolError(u"Erro ao instalar o serviço: " + c.p.texts.describe(errorCode));
  }
  c.service.reset(created.handle);
  c.journal.taken(Step::Registering);
  c.console.writeLine(u"Service :: instalado com sucesso");
  c.waits.attach(c.service.get());
  c.console.writeLine(u"Service :: encontrado");
}

// The run's copy of the new version, made before any change, takes the
// new version's place at the first one: a refusal before leaves the new
// version as it was found.
void UpdateRun::activateOwnCopy() {
  if (!c.copyPending) return;
  // Windows replaces no read-only file: the new version's attributes are
  // its deployment's business, not a reason to refuse it.
  auto error = c.p.files.clearReadOnly(c.names.pathNewBin);
  if (error == platform::kErrorFileNotFound) error = platform::kOk;
  if (error == platform::kOk) error = c.p.files.replaceFile(c.names.pathCopyBin, c.names.pathNewBin);
  if (error != platform::kOk) {
    throw toolError(u"Não foi possível colocar a cópia da nova versão em " + c.names.pathNewBin + u": " +
                    c.p.texts.describe(error));
  }
  c.copyPending = false;
  c.swap.rememberSha256(c.names.pathNewBin, c.nextSha256);
  // Held from here to its activation, which renames this very file.
  const auto opened = openToActivateWaiting(c.p.files, c.p.clock, c.names.pathNewBin);
  if (opened.error != platform::kOk) {
    throw toolError(u"Não foi possível ler a nova versão: " + c.p.texts.describe(opened.error));
  }
  c.held.reset(opened.handle);
}

void UpdateRun::dropOwnCopy() {
  if (!c.copyPending) return;
  c.p.files.removeFile(c.names.pathCopyBin);
  c.copyPending = false;
}

// The facts the journal keeps, read before the first irreversible step:
// from here on Ctrl+C waits for the run to finish or roll back.
void UpdateRun::prepareJournal(bool wasRunning, bool registers) {
  activateOwnCopy();
  JournalRecord record;
  record.serviceName = c.names.serviceName;
  record.processId = c.p.processes.currentProcessId();
  record.wasRunning = wasRunning;
  record.registered = registers;
  record.rollback = c.names.rollback;
  record.release = c.release;
  // Whoever recovers a release holds each service to what the release did.
  if (!c.release.empty()) {
    record.health = c.options.health;
    if (!record.health.empty()) record.healthTimeoutSeconds = c.options.healthTimeoutSeconds;
    record.pin = c.options.sha256;
  }
  record.previous = c.swap.identityOf(c.names.pathCurrentBin);
  const auto next = c.swap.identityOf(c.names.pathNewBin);
  if (!next) throw toolError(u"Não foi possível identificar a nova versão: " + c.names.pathNewBin);
  record.next = *next;
  // What recovery may put back or start: these very bytes, and no others.
  if (record.previous) {
    record.previousSha256 = c.swap.knownSha256Of(c.names.pathCurrentBin);
    if (record.previousSha256.empty()) {
      throw toolError(u"Não foi possível ler a versão atual: " + c.names.pathCurrentBin);
    }
  }
  record.nextSha256 = c.nextSha256.empty() ? c.swap.sha256Of(c.names.pathNewBin, c.held.get()) : c.nextSha256;
  if (record.nextSha256.empty()) throw toolError(u"Não foi possível ler a nova versão: " + c.names.pathNewBin);
  c.p.interrupts.defer();
  c.journal.prepare(std::move(record));
}

// Whatever state the service is found in, its process is gone before the
// files move (finishStop): a running, paused or starting service is asked
// to stop, one that is stopping is waited for.
void UpdateRun::bringDown() {
  auto status = c.waits.queryOrFail();
  c.console.writeLine(u"Service :: status: " + std::u16string(stateName(status.dwCurrentState)));
  switch (status.dwCurrentState) {
    case platform::kServiceStopped:
      if (!c.journal.prepared()) prepareJournal(false, false);
      return;
    case platform::kServiceStopPending:
      c.waits.waitForStop(status);
      c.console.writeLine(u"Service :: parado");
      if (!c.journal.prepared()) prepareJournal(false, false);
      return;
    case platform::kServiceStartPending:
      c.waits.waitWhileStarting(status);
      if (status.dwCurrentState == platform::kServiceStopped) {
        c.console.writeLine(u"Service :: parado");
        if (!c.journal.prepared()) prepareJournal(false, false);
        return;
      }
      break;
    default:
      break;
  }
  // A release wrote the journal already, when it found the service running.
  if (!c.journal.prepared() || !c.journal.record().wasRunning) {
    prepareJournal(true, false);
    // Its first write, the restarts' own, comes before any stop.
    c.journal.nextWriteSays(Step::StoppingDependents);
  }
  // Before anything stops, its dependents included: restarts that cannot
  // be suspended refuse the run with everything still as it was.
  suspendRestarts(c.p, c.manager.get(), c.service.get(), c.names.serviceName, c.journal);
  c.dependents.bringDown(c.manager.get(), c.service.get(), status, c.options.stopDependents, c.journal);
  c.console.writeLine(u"Service :: parando ...");
  c.journal.advance(Step::Stopping);
  c.report.step(u"stop-requested");
  if (c.p.services.sendStop(c.service.get(), status) != platform::kOk) {
    std::u16string message = u"Erro ao parar o serviço";
    if (const auto failed = c.dependents.bringBack(); !failed.empty()) message += u". " + failed;
    throw toolError(message);
  }
  c.journal.taken(Step::Stopping);
  // Waited for by finishStop: a release asks all of a batch to stop first.
  stopStatus_ = status;
  stopRequested_ = true;
}

// A journal left beside the executables says that a run died halfway:
// before anything else it is undone (or, confirmed, finished). Then the
// run goes on as any run. Nothing when it does, else the outcome.
std::optional<Outcome> UpdateRun::undoInterruptedRun() {
  if (c.recoverRelease) {
    if (const auto ended = c.recoverRelease()) return ended;
  }
  // A dead release's service was recovered with the rest of it.
  return endAsRecovered(c.recovered ? *c.recovered : c.recovery.run());
}

std::optional<Outcome> UpdateRun::endedWithDeadRelease() {
  const auto kind = c.recovered ? c.recovered->kind : RecoveryEnd::Kind::Nothing;
  if (kind != RecoveryEnd::Kind::Failed && kind != RecoveryEnd::Kind::Refused && kind != RecoveryEnd::Kind::RolledBack) {
    return std::nullopt;
  }
  return endAsRecovered(*c.recovered);
}

// What the run makes of a dead run's recovery: nothing when it goes on,
// else its outcome, recorded.
std::optional<Outcome> UpdateRun::endAsRecovered(const RecoveryEnd& end) {
  if (end.watched) {
    c.report.watch({end.watched->askedSeconds, end.watched->watchedSeconds, end.watched->rounds, end.watched->failures});
  }
  if (end.kind != RecoveryEnd::Kind::Nothing) {
    c.report.step(u"recovered");
    c.report.recovery({end.deadRunStep,
                       end.kind == RecoveryEnd::Kind::Failed     ? u"failed"
                       : end.kind == RecoveryEnd::Kind::Refused  ? u"refused"
                       : end.kind == RecoveryEnd::Kind::Finished ? u"finished"
                       : end.kind == RecoveryEnd::Kind::RolledBack ? u"rolled-back"
                                                                 : u"undone",
                       end.message});
  }
  switch (end.kind) {
    case RecoveryEnd::Kind::Nothing:
    case RecoveryEnd::Kind::Undone: return std::nullopt;
    case RecoveryEnd::Kind::Failed: c.recordError(end.message); return Outcome::Down;
    case RecoveryEnd::Kind::Refused: c.recordError(end.message); return Outcome::Unchanged;
    case RecoveryEnd::Kind::RolledBack:
      c.recordError(end.message);
      c.report.step(u"rolled-back");
      return Outcome::RolledBack;
    case RecoveryEnd::Kind::Finished:
      // A rollback goes on from the update that now stands.
      if (end.rollback != c.names.rollback) return std::nullopt;
      break;
  }
  recordSuccess();
  return Outcome::Updated;
}

// The versions as the run finds them, before it checks or moves any;
// an update's new version once its copy has hashed it.
void UpdateRun::readVersionsForTheReport(bool andTheNewOne) {
  if (!c.report.asked()) return;
  c.report.previous(versionFactsOf(c, c.names.pathCurrentBin));
  if (andTheNewOne) reportNewVersion();
}

void UpdateRun::reportNewVersion() {
  if (!c.report.asked() || newVersionReported_) return;
  newVersionReported_ = true;
  c.report.next(c.nextFacts ? c.nextFacts : versionFactsOf(c, c.names.pathNewBin, c.nextSha256));
}


}  // namespace usqz
