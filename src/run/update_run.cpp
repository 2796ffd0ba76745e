// The update run. Each concern the steps lean on has a file of its own: the
// checks before the stop (checks/), the journal that makes the run a
// transaction (run_journal), the waits on the service (service_waits), the
// services that depend on it (dependents), the moves of the executables
// (executable_swap), the result file and the exit status (outcome).
#include "run/update_run.h"

#include <exception>
#include <new>

#include "checks/health_check.h"
#include "checks/location_trust.h"
#include "checks/preflight.h"
#include "checks/trust_check.h"
#include "cli/contained_path.h"
#include "cli/result_file.h"
#include "cli/text.h"
#include "cli/tool_error.h"
#include "run/dependents.h"
#include "run/executable_swap.h"
#include "run/failure_actions.h"
#include "run/recovery.h"
#include "run/restore.h"
#include "run/run_journal.h"
#include "run/service_rights.h"
#include "run/service_waits.h"

namespace usqz {

namespace {

using platform::OwnedServiceHandle;
using platform::ServiceStatus;

// How the run names a state the service is found in.
std::u16string_view stateName(std::uint32_t state) {
  switch (state) {
    case platform::kServiceStopped: return u"parado";
    case platform::kServiceStopPending: return u"parando";
    case platform::kServiceStartPending: return u"iniciando";
    case platform::kServiceRunning: return u"iniciado";
    case platform::kServicePaused: return u"pausado";
    case platform::kServicePausePending: return u"pausando";
    default: return u"retomando";
  }
}

bool movesMayHaveBegun(Step step) {
  return step == Step::Swapping || step == Step::Starting || step == Step::RollingBack;
}

class UpdateRun {
 public:
  UpdateRun(platform::Platform& platform, Console& console, const Options& options,
            std::u16string_view ownExecutablePath)
      : p_(platform),
        console_(console),
        options_(options),
        ownExecutablePath_(ownExecutablePath),
        names_(deriveNames(options.serviceName, ownExecutablePath)),
        held_(platform.files),
        manager_(platform.services),
        service_(platform.services),
        waits_(platform.clock, platform.processes, platform.services, platform.texts),
        swap_(platform.files, platform.clock, platform.texts, platform.trust, console, names_),
        dependents_(platform, console),
        health_(platform, console, options),
        restore_(platform, console, swap_, health_),
        journal_(platform.files, platform.security, platform.clock, platform.texts, names_.pathJournal),
        recovery_(platform, console, options, names_, swap_, dependents_, restore_, journal_) {}

  // The run's one error handler: whatever fails is undone as far as it can
  // be, reported on the console and recorded in the result file.
  Outcome execute() {
    Outcome outcome = Outcome::Updated;
    try {
      outcome = steps();
    } catch (const ToolError& error) {
      outcome = fail(error.message());
    } catch (const std::bad_alloc&) {
      outcome = fail(u"Out of memory");
    } catch (const std::exception& error) {
      outcome = fail(fromUtf8(error.what()));
    }
    p_.interrupts.allow();
    if (p_.interrupts.arrived()) {
      console_.writeLine(u"Interrupção recebida durante a atualização: adiada até o fim da atualização.");
    }
    held_.reset();
    service_.reset();
    manager_.reset();
    return outcome;
  }

 private:
  Outcome steps() {
    if (options_.checkOnly) return checkOnly();
    refuseNamesOutsideTheToolsFolder();
    if (staysInFolder(names_.logFilename)) p_.files.removeFile(names_.logFilename);
    if (const auto outcome = undoInterruptedRun()) return *outcome;

    if (!newVersionPasses()) return Outcome::NothingToDo;

    const bool mayRegister = connect();
    openOrRegister(mayRegister);
    if (alreadyRuns()) {
      console_.writeLine(u"Service :: status: iniciado");
      console_.writeLine(u"  -> A nova versão já está em execução: removendo a cópia (NEW)");
      held_.reset();
      if (const auto error = swap_.removeRetrying(names_.pathNewBin)) {
        throw toolError(u"A cópia da nova versão não pôde ser removida: " + p_.texts.describe(error));
      }
      record({u"", u"Atualização finalizada.", u""}, u"Atualizado com sucesso!");
      return Outcome::Updated;
    }
    bringDown();
    waits_.waitForProcessExit();

    journal_.advance(Step::Swapping);
    if (service_) suspendRestarts(p_, manager_.get(), service_.get(), names_.serviceName, journal_);
    journal_.taken(Step::Swapping);
    swap_.swap(held_.get());
    held_.reset();

    journal_.advance(Step::Starting);
    console_.writeLine(u"Service :: iniciando ...");
    if (waits_.startRetrying() != platform::kOk) throw toolError(u"Erro ao iniciar o serviço");
    journal_.taken(Step::Starting);
    waits_.confirmStart();
    console_.writeLine(u"Service :: status: iniciado");
    // Running is not serving: what the options ask of it is part of the
    // confirmation.
    if (health_.asked()) {
      if (const auto why = health_.untilHealthy(waits_)) throw toolError(*why);
    }
    journal_.taken(Step::Confirmed);
    // The update stands whatever becomes of the dependents; a run that dies
    // now leaves the next one to bring them back, and no more. Should the
    // journal not say so, a run that dies now is undone and done again.
    try {
      if (journal_.active()) journal_.advance(Step::Confirmed);
    } catch (const ToolError&) {
    }
    if (const auto failed = dependents_.bringBack(); !failed.empty()) throw toolError(failed);
    if (const auto why = finishTransaction(); !why.empty()) console_.writeLine(u"Service :: " + why);

    record({u"", u"Atualização finalizada.", u""}, u"Atualizado com sucesso!");
    return Outcome::Updated;
  }

  // Whether there is a new version to activate, once it has passed its
  // checks (held open from now on when its hash or signature are asked
  // for). A missing one is said and recorded.
  bool newVersionPasses() {
    if (!p_.files.fileExists(names_.pathNewBin)) {
      record({u"", u"Não foi encontrada a nova versão do serviço " + toAsciiUpper(names_.serviceName), u""},
             u"Não foi encontrada a nova versão do serviço.");
      return false;
    }
    checkPlainNewVersion(p_.security, p_.texts, names_);
    checkLocation(p_, options_, names_);
    if (options_.verifiesNewVersion()) {
      held_.reset(holdNewVersion(p_.files, p_.clock, p_.texts, names_));
      checkTrust(p_, options_, held_.get(), names_);
    } else {
      checkNewVersion(p_.files, p_.clock, p_.texts, names_);
    }
    return true;
  }

  // --check: every check the run makes before the stop, then what it would
  // do, a line each; nothing is stopped, moved, registered or written (no
  // journal, no result file). Refusals are reported as a run reports them.
  Outcome checkOnly() {
    refuseNamesOutsideTheToolsFolder();
    // A run would undo an interrupted one first: what that would do, or
    // why it could not.
    std::vector<std::u16string> recovery;
    const auto pending = recovery_.plan(recovery);
    if (pending.kind == RecoveryEnd::Kind::Failed) {
      recordError(pending.message);
      return Outcome::Down;
    }
    if (pending.kind != RecoveryEnd::Kind::Nothing) {
      console_.writeLine(u"");
      console_.writeLine(u"Verificação: uma atualização anterior foi interrompida; nada foi alterado. A próxima "
                         u"execução, antes de tudo:");
      for (const auto& line : recovery) console_.writeLine(u"  -> " + line);
      console_.writeLine(u"");
      return Outcome::Updated;
    }
    if (!newVersionPasses()) return Outcome::NothingToDo;
    const bool mayRegister = connect();
    std::vector<std::u16string> plan;
    if (openAndCheck(mayRegister)) {
      const bool runsTheNewVersion = alreadyRuns();
      const auto status = waits_.queryOrFail();
      console_.writeLine(u"Service :: status: " + std::u16string(stateName(status.dwCurrentState)));
      if (runsTheNewVersion) {
        console_.writeLine(u"");
        console_.writeLine(u"Verificação: a nova versão já está em execução; nada foi alterado. A atualização:");
        console_.writeLine(u"  -> removeria a cópia da nova versão (NEW)");
        console_.writeLine(u"");
        return Outcome::Updated;
      }
      if (status.dwCurrentState == platform::kServiceStopPending) {
        plan.push_back(u"aguardaria a parada do serviço");
      } else if (status.dwCurrentState != platform::kServiceStopped) {
        const auto dependents = dependents_.wouldStop(service_.get(), status, options_.stopDependents);
        std::u16string names;
        for (const auto& name : dependents) names += (names.empty() ? u"" : u", ") + name;
        if (!names.empty()) plan.push_back(u"pararia os dependentes: " + names);
        plan.push_back(u"pararia o serviço");
      }
    } else {
      plan.push_back(u"registraria o serviço");
    }
    if (p_.files.fileExists(names_.pathCurrentBin)) {
      if (p_.files.fileExists(names_.pathOldBin)) plan.push_back(u"removeria a versão antiga (OLD)");
      plan.push_back(u"faria o backup da versão atual: EXE -> OLD");
    }
    plan.push_back(u"ativaria a nova versão: NEW -> EXE");
    plan.push_back(u"iniciaria o serviço");
    console_.writeLine(u"");
    console_.writeLine(u"Verificação: a atualização seguiria adiante; nada foi alterado. Ela:");
    for (const auto& step : plan) console_.writeLine(u"  -> " + step);
    console_.writeLine(u"");
    return Outcome::Updated;
  }

  // The result file first, then the console: a console that fails cannot
  // cost the record of what the run did. A check writes no result file.
  void record(std::initializer_list<std::u16string> lines, std::u16string_view result) {
    if (options_.checkOnly) {
      for (const auto& line : lines) console_.writeLine(line);
      return;
    }
    const auto saveFailure = SaveResultQuietly(p_.files, names_.logFilename, result);
    for (const auto& line : lines) console_.writeLine(line);
    if (saveFailure) console_.writeLine(*saveFailure);
  }

  void recordError(const std::u16string& message) {
    record({u"Ocorreu um erro ao atualizar o serviço: " + options_.serviceName + u". Erro: " + message},
           u"Erro: " + message);
  }

  Outcome fail(const std::u16string& message) {
    const auto said = recover();
    recordError(message + said);
    return outcomeOf(endState());
  }

  // The executables' names come from the service name as typed: one that
  // climbs out of the tool's folder or names a stream would have the run
  // move and delete files that are not the service's.
  void refuseNamesOutsideTheToolsFolder() {
    const auto folder = directoryOf(ownExecutablePath_).size();
    for (const auto* path : {&names_.pathCurrentBin, &names_.pathNewBin, &names_.pathOldBin, &names_.pathJournal}) {
      if (!staysInFolder(std::u16string_view(*path).substr(folder))) {
        throw toolError(u"Nome de serviço inválido para os arquivos da ferramenta: " + names_.pathCurrentBin);
      }
    }
  }

  // Registering a missing service needs the right to create services, and
  // the right to list them for the check that comes first; an operator who
  // may only stop and start services still gets in without them. Whether
  // the run got them.
  bool connect() {
    auto opened = p_.services.openManager(platform::kManagerConnect | platform::kManagerEnumerateService |
                                          platform::kManagerCreateService);
    const bool mayRegister = opened.error == platform::kOk;
    if (opened.error == platform::kErrorAccessDenied) opened = p_.services.openManager(platform::kManagerConnect);
    if (opened.error != platform::kOk || !opened.handle) {
      throw toolError(u"Erro ao abrir o gerenciador de serviços");
    }
    manager_.reset(opened.handle);
    console_.writeLine(u"SCManager :: conectado");
    console_.writeLine(u"Service :: name: " + names_.serviceName);
    return mayRegister;
  }

  // Opens the service and makes every check that comes before a change:
  // true when it is registered; false when it is not (and may be).
  bool openAndCheck(bool mayRegister) {
    const auto opened = p_.services.openExisting(manager_.get(), names_.serviceName, kServiceRights);
    if (opened.error == platform::kOk && opened.handle) {
      service_.reset(opened.handle);
      checkRegistration(p_.files, p_.services, p_.texts, service_.get(), names_);
      waits_.attach(service_.get());
      console_.writeLine(u"Service :: encontrado");
      swap_.checkOlderBackupRemovable();
      swap_.checkCurrentMovable();
      return true;
    }
    // Access denied is not "missing": registering would only fail, or name
    // the service itself as the one already using its executable.
    if (!notRegistered(opened.error)) {
      throw toolError(u"Erro ao abrir o serviço: " + p_.texts.describe(opened.error));
    }
    console_.writeLine(u"Service :: NÃO encontrado");
    // Without the right to register, the registration fails as it is.
    if (mayRegister) refuseSecondService(p_.files, p_.services, p_.texts, manager_.get(), names_);
    swap_.checkOlderBackupRemovable();
    swap_.checkCurrentMovable();
    return false;
  }

  // Every check comes before the first step that changes anything, the
  // registration included.
  void openOrRegister(bool mayRegister) {
    if (openAndCheck(mayRegister)) return;
    prepareJournal(false, true);
    journal_.advance(Step::Registering);
    const auto created = p_.services.registerService(manager_.get(), names_.serviceName, names_.pathCurrentBin);
    if (created.error != platform::kOk || !created.handle) {
      const platform::OsError errorCode = created.error;
      record({}, u"Erro ao instalar o serviço!");
      throw toolError(u"Erro ao instalar o serviço: " + p_.texts.describe(errorCode));
    }
    service_.reset(created.handle);
    journal_.taken(Step::Registering);
    console_.writeLine(u"Service :: instalado com sucesso");
    waits_.attach(service_.get());
    console_.writeLine(u"Service :: encontrado");
  }

  // The facts the journal keeps, read before the first irreversible step:
  // from here on Ctrl+C waits for the run to finish or roll back.
  void prepareJournal(bool wasRunning, bool registers) {
    JournalRecord record;
    record.serviceName = names_.serviceName;
    record.processId = p_.processes.currentProcessId();
    record.wasRunning = wasRunning;
    record.registered = registers;
    record.previous = swap_.identityOf(names_.pathCurrentBin);
    const auto next = swap_.identityOf(names_.pathNewBin);
    if (!next) throw toolError(u"Não foi possível identificar a nova versão: " + names_.pathNewBin);
    record.next = *next;
    // What recovery may put back or start: these very bytes, and no others.
    if (record.previous) {
      record.previousSha256 = swap_.sha256Of(names_.pathCurrentBin);
      if (record.previousSha256.empty()) {
        throw toolError(u"Não foi possível ler a versão atual: " + names_.pathCurrentBin);
      }
    }
    record.nextSha256 = swap_.sha256Of(names_.pathNewBin, held_.get());
    if (record.nextSha256.empty()) throw toolError(u"Não foi possível ler a nova versão: " + names_.pathNewBin);
    p_.interrupts.defer();
    journal_.prepare(std::move(record));
  }

  // The new version's bytes are the ones that run already: a deployment
  // that copied them again after a run that finished (its outcome lost)
  // asks for nothing more, and a swap would put the same bytes in place of
  // the backup.
  bool alreadyRuns() {
    if (!service_ || journal_.prepared() || !p_.files.fileExists(names_.pathCurrentBin)) return false;
    ServiceStatus status;
    if (!waits_.query(status) || status.dwCurrentState != platform::kServiceRunning || !waits_.processAlive()) {
      return false;
    }
    const auto current = swap_.sha256Of(names_.pathCurrentBin);
    return !current.empty() && current == swap_.sha256Of(names_.pathNewBin, held_.get());
  }

  // Whatever state the service is found in, its process is gone before the
  // files move: a running, paused or starting service is stopped, one that
  // is stopping is waited for.
  void bringDown() {
    auto status = waits_.queryOrFail();
    console_.writeLine(u"Service :: status: " + std::u16string(stateName(status.dwCurrentState)));
    switch (status.dwCurrentState) {
      case platform::kServiceStopped:
        if (!journal_.prepared()) prepareJournal(false, false);
        return;
      case platform::kServiceStopPending:
        waits_.waitForStop(status);
        console_.writeLine(u"Service :: parado");
        if (!journal_.prepared()) prepareJournal(false, false);
        return;
      case platform::kServiceStartPending:
        waits_.waitWhileStarting(status);
        if (status.dwCurrentState == platform::kServiceStopped) {
          console_.writeLine(u"Service :: parado");
          if (!journal_.prepared()) prepareJournal(false, false);
          return;
        }
        break;
      default:
        break;
    }
    prepareJournal(true, false);
    dependents_.bringDown(manager_.get(), service_.get(), status, options_.stopDependents, journal_);
    console_.writeLine(u"Service :: parando ...");
    journal_.advance(Step::Stopping);
    suspendRestarts(p_, manager_.get(), service_.get(), names_.serviceName, journal_);
    if (p_.services.sendStop(service_.get(), status) != platform::kOk) {
      std::u16string message = u"Erro ao parar o serviço";
      if (const auto failed = dependents_.bringBack(); !failed.empty()) message += u". " + failed;
      throw toolError(message);
    }
    journal_.taken(Step::Stopping);
    waits_.waitForStop(status);
    journal_.taken(Step::Stopped);
    console_.writeLine(u"Service :: parado");
  }

  // Whatever failed once the run had taken its first irreversible step and
  // before the new version was confirmed, the service must not be left
  // without its executable or down: the versions go back where they were
  // (the failed one stopped first) and the service is started again when
  // the run stopped it. What this says is added to the cause.
  std::u16string recover() {
    // Once confirmed, the update stands: a failure after it is the
    // dependents', and says so itself.
    if (journal_.lastTaken() == Step::Confirmed) {
      if (const auto why = finishTransaction(); !why.empty()) return u". " + why;
    }
    if (!journal_.active()) return {};
    const auto& facts = journal_.record();
    const auto taken = journal_.lastTaken();
    const bool stoppedByRun = facts.wasRunning && taken && *taken >= Step::Stopped;
    if (movesMayHaveBegun(facts.step)) {
      try {
        journal_.advance(Step::RollingBack);
      } catch (const ToolError&) {
        // The journal on disk still tells where each version is.
      }
    }
    std::u16string said;
    bool placed = true;
    bool runs = false;
    const auto placement = movesTaken() ? swap_.locate(facts) : Placement{};
    if (movesTaken() && (!placement.next || (facts.previous && !placement.previous))) {
      said = u". " + swap_.notFound(facts, placement);
      placed = false;
    } else if (!movesTaken() || placement.next != Slot::Current || facts.previous) {
      // A version activated with nothing before it stays: there is
      // nothing to roll back to.
      const bool activated = placement.next == Slot::Current;
      const auto restored = restore_.restore(waits_, service_.get(), placement, stoppedByRun, false, true);
      runs = restored.started;
      if (!restored.moveFailure.empty()) {
        said = u". " + restored.moveFailure;
        placed = false;
      } else if (restored.unhealthy) {
        said = u". Versão anterior restaurada, mas não respondeu à verificação: " + *restored.notStarted;
      } else if (restored.notStarted) {
        if (!activated) console_.writeLine(u"Service :: Erro ao iniciar o serviço: " + *restored.notStarted);
        said = (activated ? u". Versão anterior restaurada, mas não iniciou: " : u". Serviço não reiniciado: ") +
               *restored.notStarted;
      } else if (activated) {
        said = stoppedByRun ? u". Versão anterior restaurada e em execução." : u". Versão anterior restaurada.";
      }
    }
    // The dependents come back whenever the service runs, the run having
    // failed before its stop request too.
    if (!runs && service_) {
      ServiceStatus status;
      runs = waits_.query(status) && status.dwCurrentState == platform::kServiceRunning && waits_.processAlive();
    }
    if (runs) {
      if (const auto failed = dependents_.bringBack(); !failed.empty()) said += u". " + failed;
    } else if (const auto down = dependents_.leftDown(); !down.empty()) {
      said += u". " + down;
    }
    if (placed) {
      if (const auto why = finishTransaction(); !why.empty()) said += u". " + why;
    }
    return said;
  }

  // The service's failure actions back as they were, then the journal
  // gone; why the actions are not back, if they are not.
  std::u16string finishTransaction() {
    std::u16string why;
    if (journal_.active() && journal_.record().failureActions) {
      why = restoreFailureActions(p_, manager_.get(), names_.serviceName, *journal_.record().failureActions);
    }
    journal_.finish();
    return why;
  }

  // Whether the run may have moved a file: only then is there anything to
  // put back.
  bool movesTaken() const {
    const auto taken = journal_.lastTaken();
    return taken && *taken >= Step::Swapping;
  }

  // What the run left, from its journal and a last look at the disk and at
  // the service.
  EndState endState() {
    const auto& facts = journal_.record();
    const auto taken = journal_.lastTaken();
    EndState end;
    end.touched = taken.has_value();
    end.wasRunning = facts.wasRunning;
    end.registered = taken && facts.registered;
    end.newVersionConfirmed = taken == Step::Confirmed;
    end.dependentsDown = dependents_.anyLeftDown();
    end.previousInPlace = true;
    if (movesTaken()) {
      const auto placement = swap_.locate(facts);
      end.previousInPlace =
          placement.next == Slot::New && (facts.previous ? placement.previous == Slot::Current : true);
    }
    if (service_) {
      ServiceStatus status;
      end.runsAtEnd = waits_.query(status) ? status.dwCurrentState == platform::kServiceRunning && waits_.processAlive()
                                           : waits_.lastSeenRunning();
      // Running but failing its health check is down for whoever it serves.
      if (health_.lastFailed()) end.runsAtEnd = false;
    }
    return end;
  }

  // A journal left beside the executables says that a run died halfway:
  // before anything else it is undone (or, confirmed, finished). Then the
  // run goes on as any run. Nothing when it does, else the outcome.
  std::optional<Outcome> undoInterruptedRun() {
    const auto end = recovery_.run();
    switch (end.kind) {
      case RecoveryEnd::Kind::Nothing:
      case RecoveryEnd::Kind::Undone: return std::nullopt;
      case RecoveryEnd::Kind::Failed: recordError(end.message); return Outcome::Down;
      case RecoveryEnd::Kind::Finished: break;
    }
    record({u"", u"Atualização finalizada.", u""}, u"Atualizado com sucesso!");
    return Outcome::Updated;
  }

  platform::Platform& p_;
  Console& console_;
  const Options& options_;
  std::u16string ownExecutablePath_;
  Names names_;
  // The new version, checked and activated through this one handle when
  // its hash or signature are asked for.
  platform::OwnedFileHandle held_;
  OwnedServiceHandle manager_;
  OwnedServiceHandle service_;
  ServiceWaits waits_;
  ExecutableSwap swap_;
  Dependents dependents_;
  HealthWait health_;
  Restore restore_;
  // How far the run got: the one record of the run's state.
  RunJournal journal_;
  Recovery recovery_;
};

}  // namespace

Outcome runUpdate(platform::Platform& platform, Console& console, const Options& options,
                  std::u16string_view ownExecutablePath) {
  return UpdateRun(platform, console, options, ownExecutablePath).execute();
}

}  // namespace usqz
