#include "run/transaction/recovery.h"

#include "checks/preflight.h"
#include "common/contained_path.h"
#include "run/transaction/failure_actions.h"
#include "common/tool_error.h"
#include "platform/held_files.h"
#include "run/service/service_rights.h"
#include "run/service/service_waits.h"
#include "platform/text.h"
#include "run/service/watch_window.h"

#include <algorithm>

namespace usqz {


struct Recovery::Plan {
  Plan(platform::Platform& p, Console& console, HealthWait& health, const Names& base, const JournalRecord& record)
      : facts(record),
        names(facts.rollback ? rollbackNames(base) : base),
        swap(p.files, p.clock, p.texts, p.trust, console, names),
        restore(p, console, swap, health),
        manager(p.services),
        service(p.services),
        waits(p.clock, p.processes, p.services, p.texts) {}

  // The dead run's journal, as read when the plan was made.
  JournalRecord facts;
  // Where the dead run's versions stand: by an update's names or a
  // rollback's, as its journal says.
  Names names;
  ExecutableSwap swap;
  Restore restore;
  platform::OwnedServiceHandle manager;
  platform::OwnedServiceHandle service;
  ServiceWaits waits;
  Placement placement;
  // The dead run's update stands (it was confirmed): only what is left of
  // it is done.
  bool stands = false;
  // The versions are where they were before the dead run.
  bool inPlace = true;
  // The new version's name holds a copy of its bytes: the deployment's
  // retry, removed (nothing is lost: the same bytes are elsewhere).
  bool removeCopy = false;
  // A confirmed rollback whose replaced version is still to become the
  // backup.
  bool settleRollback = false;
  // The journal's dependents that depend on the service now, and those
  // that do not.
  std::vector<std::u16string> dependents;
  std::vector<std::u16string> ignored;
  // Stopped by stopFirst, from a state other than stopped: what is started
  // again when the release's recovery goes no further.
  bool stoppedFirst = false;
  // A dead run's watch window: how this run finishes it. Rest: the same
  // process still runs, watched for what is left of the window. Again: the
  // machine restarted meanwhile, so the new version is started if it is
  // not running and watched for a whole window. Failed: it died or was
  // restarted meanwhile, and everything goes back.
  enum class Watch { None, Rest, Again, Failed } watch = Watch::None;
  std::uint32_t watchSeconds = 0;
  std::u16string watchFailure;
  // The retry's copy, removed before anything else.
  bool copyGone = false;
  std::optional<RecoveryEnd::Watched> watched;
};

void Recovery::PlanDeleter::operator()(Plan* plan) const { delete plan; }

Recovery::Recovery(platform::Platform& platform, Console& console, const Options& options, const Names& names,
                   Dependents& dependents, HealthWait& health, RunJournal& journal)
    : p_(platform),
      console_(console),
      options_(options),
      names_(names),
      dependents_(dependents),
      health_(health),
      journal_(journal) {}

namespace {

// A journal that is not acted upon: nothing was touched, and an
// administrator decides.
RecoveryEnd notActedUpon(std::u16string why, const Names& names) {
  return {RecoveryEnd::Kind::Failed,
          std::move(why) + u"; nada foi alterado: confira qual versão está em " + names.pathCurrentBin +
              u" e se o serviço está em execução, e então apague o diário para prosseguir",
          {},
          false,
          {},
          {}};
}

std::u16string failurePrefix(bool stands) {
  return stands ? u"Não foi possível concluir a atualização anterior interrompida: "
                                       : u"Não foi possível desfazer a atualização anterior interrompida: ";
}

}  // namespace

std::u16string journalsLeftUnread(platform::FileAndProcess& files, const std::vector<std::u16string>& services,
                                  std::u16string_view ownPath) {
  const auto folder = directoryOf(ownPath).size();
  std::vector<Names> left;
  for (const auto& service : services) {
    auto names = deriveNames(service, ownPath);
    // A name that leaves the tool's folder has no journal of the tool's.
    if (!staysInFolder(std::u16string_view(names.pathJournal).substr(folder))) continue;
    if (files.fileExists(names.pathJournal)) left.push_back(std::move(names));
  }
  if (left.empty()) return {};
  if (left.size() == 1) {
    return u"; a atualização anterior interrompida não foi desfeita (diário " + left.front().pathJournal +
           u"): confira qual versão está em " + left.front().pathCurrentBin + u" e se o serviço está em execução";
  }
  std::vector<std::u16string> journals;
  for (const auto& names : left) journals.push_back(names.pathJournal);
  return u"; as atualizações anteriores interrompidas não foram desfeitas (diários " + joined(journals) +
         u"): confira qual versão está em cada executável e se cada serviço está em execução";
}

// What a journal that is not one to act on makes the run (and --check) say.
RecoveryEnd Recovery::refusalOf(const JournalRead& found) {
  if (found.kind == JournalRead::Kind::Untrusted) {
    return notActedUpon(u"O diário de uma atualização anterior não é confiável: " + names_.pathJournal + u" " +
                            found.why,
                        names_);
  }
  std::u16string why = u"O diário de uma atualização anterior não pôde ser lido: " + names_.pathJournal;
  if (found.error != platform::kOk) why += u": " + p_.texts.describe(found.error);
  return notActedUpon(std::move(why), names_);
}

RecoveryEnd Recovery::run() {
  auto planned = prepare();
  return carryOut(planned);
}

Recovery::Planned Recovery::prepare() {
  return prepare(RunJournal::read(p_.files, p_.security, p_.clock, names_.pathJournal));
}

Recovery::Planned Recovery::prepare(const JournalRead& found) {
  lookedAt_ = true;
  Planned planned;
  if (found.kind == JournalRead::Kind::None) return planned;
  if (found.kind != JournalRead::Kind::Found) {
    planned.end = refusalOf(found);
    planned.why = planned.end.message;
    return planned;
  }
  planned.plan.reset(new Plan(p_, console_, health_, names_, found.record));
  auto& plan = *planned.plan;
  const auto& facts = plan.facts;
  plan.stands = stands(facts);
  const std::u16string step(stepName(facts.step));
  if (auto why = makePlan(facts, plan)) {
    planned.end = {RecoveryEnd::Kind::Failed, failurePrefix(plan.stands) + *why, {}, facts.rollback, step, {}};
    planned.why = std::move(*why);
    return planned;
  }
  judgeWatch(plan);
  planned.end = {endKind(plan), {}, plan.names.pathNewBin, facts.rollback, step, {}};
  // It is checked where it is now: the recovery moves it back unchanged.
  if (!plan.stands && plan.placement.next) planned.end.newVersionAt = plan.swap.pathOf(*plan.placement.next);
  if (plan.watch == Plan::Watch::Failed) planned.end.message = plan.watchFailure;
  return planned;
}

RecoveryEnd Recovery::carryOut(Planned& planned) {
  if (!planned.plan) return planned.end;
  auto& plan = *planned.plan;
  const auto& facts = plan.facts;
  const std::u16string step(stepName(facts.step));
  const bool watches = plan.watch == Plan::Watch::Rest || plan.watch == Plan::Watch::Again;
  console_.writeLine(u"Atualização anterior interrompida (etapa: " + step +
                     (plan.stands ? u"): concluindo" : watches ? u"): retomando a observação" : u"): desfazendo"));
  if (plan.watch == Plan::Watch::Failed) console_.writeLine(u"  -> " + plan.watchFailure);
  p_.interrupts.defer();
  journal_.adopt(facts);
  if (planned.end.kind == RecoveryEnd::Kind::Failed) return planned.end;
  if (auto why = playBack(facts, plan, planned.settled)) {
    return {RecoveryEnd::Kind::Failed, failurePrefix(plan.stands) + *why, {}, facts.rollback, step, {}};
  }
  console_.writeLine(plan.stands ? u"Atualização anterior concluída." : u"Atualização anterior desfeita.");
  RecoveryEnd end{endKind(plan), {}, {}, facts.rollback, step, plan.watched};
  if (end.kind == RecoveryEnd::Kind::RolledBack) {
    end.message = plan.watchFailure +
                  (facts.wasRunning ? u". Versão anterior restaurada e em execução." : u". Versão anterior restaurada.");
  }
  return end;
}

RecoveryEnd Recovery::plan(std::vector<std::u16string>& lines) {
  const auto planned = prepare();
  if (planned.end.kind == RecoveryEnd::Kind::Nothing || planned.end.kind == RecoveryEnd::Kind::Failed) {
    return planned.end;
  }
  for (auto& line : describe(planned)) lines.push_back(std::move(line));
  return planned.end;
}

std::vector<std::u16string> Recovery::describe(const Planned& planned) const {
  std::vector<std::u16string> lines;
  if (!planned.plan || planned.end.kind == RecoveryEnd::Kind::Failed) return lines;
  const auto& plan = *planned.plan;
  const auto& facts = plan.facts;
  const std::u16string step(stepName(facts.step));
  if (plan.watch == Plan::Watch::Rest) {
    lines.push_back(u"retomaria a observação da atualização anterior interrompida (etapa: " + step +
                    u"): o mesmo processo ainda está em execução; observaria a nova versão por mais " +
                    durationText(plan.watchSeconds));
    if (plan.removeCopy) lines.push_back(u"removeria a cópia repetida da nova versão (NEW)");
    return lines;
  }
  if (plan.watch == Plan::Watch::Again) {
    lines.push_back(u"retomaria a observação da atualização anterior interrompida (etapa: " + step +
                    u"): a máquina foi reiniciada; iniciaria a nova versão se não estiver em execução e a "
                    u"observaria por " + durationText(plan.watchSeconds) + u" de novo");
    if (plan.removeCopy) lines.push_back(u"removeria a cópia repetida da nova versão (NEW)");
    return lines;
  }
  if (plan.watch == Plan::Watch::Failed) {
    lines.push_back(u"desfaria a atualização anterior interrompida (etapa: " + step + u"): " + plan.watchFailure);
  } else if (plan.stands) {
    lines.push_back(u"concluiria a atualização anterior interrompida (etapa: " + step + u")");
  } else {
    lines.push_back(u"desfaria a atualização anterior interrompida (etapa: " + step + u")");
  }
  if (plan.removeCopy) lines.push_back(u"removeria a cópia repetida da nova versão (NEW)");
  if (plan.settleRollback) lines.push_back(u"guardaria a versão substituída como backup: ROLLBACK -> OLD");
  if (plan.service && (!plan.inPlace || stopsFirst(planned))) lines.push_back(u"pararia o serviço");
  if (!plan.inPlace) {
    if (plan.placement.next && plan.placement.next != Slot::New) lines.push_back(u"devolveria a nova versão: EXE -> NEW");
    if (plan.placement.previous && plan.placement.previous != Slot::Current) {
      lines.push_back(u"restauraria a versão anterior: OLD -> EXE");
    }
  }
  if (facts.wasRunning && plan.service) lines.push_back(u"iniciaria o serviço se não estiver em execução");
  if (!plan.dependents.empty()) lines.push_back(u"iniciaria os dependentes: " + joined(plan.dependents));
  return lines;
}

bool Recovery::stopsFirst(const Planned& planned) const {
  if (!planned.plan || planned.end.kind == RecoveryEnd::Kind::Failed || !undoConfirmed_) return false;
  const auto& plan = *planned.plan;
  // One whose versions are where they were moves nothing: it may go on
  // running the previous version, and those that depend on it with it.
  return plan.service && !plan.inPlace && (movesMayHaveBegun(plan.facts.step) || plan.facts.step == Step::Confirmed);
}

bool Recovery::stopsUnderOne(const Planned& planned) const {
  return planned.plan && planned.end.kind != RecoveryEnd::Kind::Failed && undoConfirmed_ && planned.plan->service;
}

std::vector<std::u16string> Recovery::dependencies(const Planned& planned) const {
  if (!planned.plan || !planned.plan->service) return {};
  return p_.services.queryConfig(planned.plan->service.get()).dependencies;
}

std::optional<std::u16string> Recovery::stopFirst(Planned& planned, bool underOne) {
  if (!stopsFirst(planned) && !(underOne && stopsUnderOne(planned))) return std::nullopt;
  auto& plan = *planned.plan;
  // Unknown counts as running: it may be, and starting one that runs
  // changes nothing.
  platform::ServiceStatus before;
  const bool ran = !plan.waits.query(before) || before.dwCurrentState != platform::kServiceStopped;
  auto why = plan.restore.stopWhatRuns(plan.waits, plan.service.get(), false);
  plan.stoppedFirst = ran && !why;
  return why;
}

bool Recovery::startsAgain(const Planned& planned) const { return planned.plan && planned.plan->stoppedFirst; }

std::optional<std::u16string> Recovery::startAgain(Planned& planned) {
  if (!startsAgain(planned)) return std::nullopt;
  auto& plan = *planned.plan;
  plan.stoppedFirst = false;
  const auto restored = plan.restore.restore(plan.waits, plan.service.get(), Placement{}, true, false, true);
  if (!restored.notStarted) return std::nullopt;
  return (restored.unhealthy ? u"iniciado de novo, não respondeu à verificação: " : u"não iniciou de novo: ") +
         *restored.notStarted;
}

Recovery::LeftDown Recovery::leftDown(const Planned& planned) {
  LeftDown left;
  if (!planned.plan) return left;
  auto& plan = *planned.plan;
  const auto look = [&](platform::ServiceHandle service, const std::u16string& name) {
    platform::ServiceStatus status;
    if (!service || p_.services.queryStatus(service, status) != platform::kOk) {
      left.untold.push_back(name);
    } else if (status.dwCurrentState != platform::kServiceRunning) {
      left.down.push_back(name);
    }
  };
  if (plan.facts.wasRunning) {
    if (plan.service) {
      look(plan.service.get(), plan.facts.serviceName);
    } else if (plan.manager) {
      // Not registered, it runs nothing; unopened, it may.
      const auto opened = p_.services.openExisting(plan.manager.get(), plan.facts.serviceName, kServiceRights);
      const platform::OwnedServiceHandle owned(p_.services, opened.handle);
      if (notRegistered(opened.error)) {
        left.down.push_back(plan.facts.serviceName);
      } else {
        look(owned.get(), plan.facts.serviceName);
      }
    } else {
      left.untold.push_back(plan.facts.serviceName);
    }
  }
  for (const auto& name : plan.facts.dependents) {
    if (!plan.manager) {
      left.untold.push_back(name);
      continue;
    }
    const auto opened = p_.services.openExisting(plan.manager.get(), name, platform::kServiceQueryStatus);
    const platform::OwnedServiceHandle owned(p_.services, opened.handle);
    look(owned.get(), name);
  }
  return left;
}

// Whether what the dead run was asked to do is done once its recovery is:
// its update confirmed and copied again by the deployment's retry, or its
// rollback confirmed, retried as a rollback (which must not go back again).
bool Recovery::stands(const JournalRecord& facts) const {
  return facts.step == Step::Confirmed && !undoConfirmed_;
}

RecoveryEnd::Kind Recovery::endKind(const Plan& plan) const {
  if (plan.watch == Plan::Watch::Failed) return RecoveryEnd::Kind::RolledBack;
  const bool stands = plan.stands || plan.watch == Plan::Watch::Rest || plan.watch == Plan::Watch::Again;
  // A copy the retry placed again is its own to remove once the window
  // passes, as it would be at a confirmed one.
  return stands && (plan.facts.rollback ? options_.rollback : plan.removeCopy) ? RecoveryEnd::Kind::Finished
                                                                              : RecoveryEnd::Kind::Undone;
}

Recovery::WatchVerdict Recovery::watchVerdict(const Planned& planned) {
  WatchVerdict verdict;
  if (!planned.plan || planned.end.kind == RecoveryEnd::Kind::Failed) return verdict;
  auto& plan = *planned.plan;
  if (plan.facts.step != Step::Watching || !plan.facts.watch) return verdict;
  const auto kept = plan.watch;
  judgeWatch(plan, true);
  verdict.kind = plan.watch == Plan::Watch::Rest    ? WatchVerdict::Kind::Rest
                 : plan.watch == Plan::Watch::Again ? WatchVerdict::Kind::Again
                                                    : WatchVerdict::Kind::Failed;
  verdict.seconds = plan.watchSeconds;
  verdict.why = plan.watchFailure;
  plan.watch = kept;
  return verdict;
}

ServiceWaits* Recovery::watchedWaits(const Planned& planned) {
  return planned.plan ? &planned.plan->waits : nullptr;
}

void Recovery::confirmWatched(const Planned& planned) {
  journal_.adopt(planned.plan->facts);
  journal_.advance(Step::Confirmed);
}

void Recovery::judgeWatch(Plan& plan, bool evenUndone) {
  const auto& facts = plan.facts;
  if (facts.step != Step::Watching || !facts.watch || (undoConfirmed_ && !evenUndone)) return;
  const auto& watch = *facts.watch;
  const auto upNow = p_.clock.sinceBootMilliseconds();
  // The very process still runs (its id and its creation): the same boot,
  // and what is left of the window is told by the time since it, which no
  // correction of the wall clock moves.
  if (plan.service && plan.waits.adoptStarted(watch.processId, watch.processCreated)) {
    plan.watch = Plan::Watch::Rest;
    const std::uint64_t windowMs = std::uint64_t{watch.seconds} * 1000;
    const auto gone = upNow - std::min(upNow, watch.sinceBootMs);
    plan.watchSeconds = gone >= windowMs ? 0 : static_cast<std::uint32_t>((windowMs - gone + 999) / 1000);
    return;
  }
  // Less time since boot than when the window began: the machine restarted.
  if (upNow < watch.sinceBootMs) {
    plan.watch = Plan::Watch::Again;
    plan.watchSeconds = watch.seconds;
    return;
  }
  plan.watch = Plan::Watch::Failed;
  platform::ServiceStatus status;
  if (watch.processCreated == 0) {
    plan.watchFailure = u"O processo observado (" + toDecimal(watch.processId) +
                        u") não pôde ser identificado: a observação não pôde ser retomada";
  } else if (plan.service && plan.waits.query(status) && status.dwCurrentState == platform::kServiceRunning &&
             plan.waits.processAlive()) {
    plan.watchFailure = u"O serviço foi reiniciado durante a observação: o processo " + toDecimal(watch.processId) +
                        u" deu lugar ao " + toDecimal(plan.waits.currentProcessId());
  } else {
    plan.watchFailure = u"A nova versão parou durante a observação";
  }
}

std::optional<std::u16string> Recovery::finishWatch(Plan& plan) {
  const auto& watch = *plan.facts.watch;
  const WatchTerms terms{watch.seconds, watch.intervalSeconds, watch.failures};
  if (plan.watch == Plan::Watch::Again) {
    // Whatever runs now is what the window watches; a new one is recorded
    // first, for a run that dies in it.
    if (!plan.waits.adoptRunning()) return u"A nova versão não está em execução após o reinício da máquina";
    auto again = watch;
    again.startedAt = p_.clock.wallClockSeconds();
    again.sinceBootMs = p_.clock.sinceBootMilliseconds();
    again.processId = plan.waits.startedAs();
    again.processCreated = plan.waits.startedAsCreated();
    journal_.recordWatch(again);
  }
  const auto result = watchWindow(p_, console_, {Watched{&plan.waits, &health_, {}}}, terms, plan.watchSeconds,
                                  plan.watch == Plan::Watch::Rest);
  plan.watched = RecoveryEnd::Watched{plan.watchSeconds, result.watchedMs / 1000, result.rounds, result.failures};
  if (result.failed) return result.why;
  journal_.advance(Step::Confirmed);
  return std::nullopt;
}

std::optional<std::u16string> Recovery::makePlan(const JournalRecord& facts, Plan& plan) {
  // The service it names must run this very executable: a journal cannot
  // steer the run to any other service.
  const auto manager = p_.services.openManager(platform::kManagerConnect);
  if (manager.error != platform::kOk || !manager.handle) return u"Erro ao abrir o gerenciador de serviços";
  plan.manager.reset(manager.handle);
  const auto opened = p_.services.openExisting(plan.manager.get(), facts.serviceName, kServiceRights);
  if (opened.error == platform::kOk && opened.handle) {
    plan.service.reset(opened.handle);
    const auto config = p_.services.queryConfig(plan.service.get());
    if (config.error != platform::kOk) {
      return u"Erro ao ler a configuração do serviço " + facts.serviceName + u": " + p_.texts.describe(config.error);
    }
    if (!runsExecutable(p_.files, config.binaryPath, plan.names.pathCurrentBin)) {
      return u"o diário nomeia o serviço " + facts.serviceName + u", que executa outro arquivo: " + config.binaryPath;
    }
    plan.waits.attach(plan.service.get());
  } else if (!notRegistered(opened.error)) {
    return u"Erro ao abrir o serviço " + facts.serviceName + u": " + p_.texts.describe(opened.error);
  }

  plan.placement = plan.swap.locate(facts);
  const auto& placement = plan.placement;
  // Whatever is put back or started must be the very bytes recorded.
  const auto unlike = [&plan](std::u16string_view which, const std::u16string& path,
                              const std::u16string& expected) -> std::optional<std::u16string> {
    const auto hash = plan.swap.sha256Of(path);
    if (hash == expected) return std::nullopt;
    return std::u16string(which) + u" em " + path + u" não é a registrada no diário (SHA-256 " +
           (hash.empty() ? u"ilegível" : hash) + u", esperado " + expected + u")";
  };
  if (placement.previous) {
    if (auto why = unlike(u"a versão anterior", plan.swap.pathOf(*placement.previous), facts.previousSha256)) {
      return why;
    }
  }
  // What is started is what the dead run confirmed, wherever its identity
  // was lost: the bytes at the executable's name are checked.
  if (plan.stands) {
    if (auto why = unlike(u"a nova versão", plan.names.pathCurrentBin, facts.nextSha256)) return why;
  }
  if (plan.stands && facts.rollback) {
    // The backup's name is no retry's copy: nothing there is removed.
    plan.settleRollback = placement.previous == Slot::Old;
  } else if (plan.stands) {
    plan.removeCopy = placement.next == Slot::Current && p_.files.fileExists(plan.names.pathNewBin) &&
                      plan.swap.sha256Of(plan.names.pathNewBin) == facts.nextSha256;
  } else {
    const bool previousLost = facts.previous && !placement.previous;
    // Undone, the service starts on the previous version: one that is
    // nowhere would have it start whatever stands at its name.
    if (previousLost || (movesMayHaveBegun(facts.step) && !placement.next)) return plan.swap.notFound(facts, placement);
    // The new version goes back to its own name only as the bytes the dead
    // run activated: the retry that follows takes what is there for the
    // new version.
    if (placement.next && *placement.next != Slot::New) {
      if (auto why = unlike(u"a nova versão", plan.swap.pathOf(*placement.next), facts.nextSha256)) return why;
    }
    plan.inPlace = placement.inPlace();
    // Every destination is free, or freed by a move that comes before, or
    // holds a copy of the very bytes that go there.
    if (placement.next && placement.next != Slot::New && p_.files.fileExists(plan.names.pathNewBin)) {
      if (placement.previous == Slot::New || plan.swap.sha256Of(plan.names.pathNewBin) != facts.nextSha256) {
        return plan.names.pathNewBin + u" está ocupado por outro arquivo; a nova versão está em " +
               plan.swap.pathOf(*placement.next);
      }
      plan.removeCopy = true;
    }
    if (placement.previous && placement.previous != Slot::Current && placement.next != Slot::Current &&
        p_.files.fileExists(plan.names.pathCurrentBin)) {
      return plan.names.pathCurrentBin + u" está ocupado por outro arquivo; a versão anterior está em " +
             plan.swap.pathOf(*placement.previous);
    }
    // Every version that moves can be moved: one that another process
    // holds would strand the service halfway.
    const auto moves = [](const std::optional<Slot>& from, Slot to) { return from && *from != to; };
    for (const auto& [from, to] : {std::pair{placement.next, Slot::New}, std::pair{placement.previous, Slot::Current}}) {
      if (!moves(from, to)) continue;
      const auto& path = plan.swap.pathOf(*from);
      const auto error = retryWhileHeld(p_.clock, [&] { return p_.files.probeMovable(path); });
      if (error != platform::kOk) {
        return path + u" não pode ser movido: " + p_.texts.describe(error) +
               (isHeldFileError(error) ? u" (em uso por outro processo)" : u"");
      }
    }
  }
  // A dependent is started again only if it depends on the service now.
  for (const auto& name : facts.dependents) {
    const auto dependent = p_.services.openExisting(plan.manager.get(), name, platform::kServiceQueryConfig);
    bool depends = false;
    if (dependent.error == platform::kOk && dependent.handle) {
      const platform::OwnedServiceHandle owned(p_.services, dependent.handle);
      const auto config = p_.services.queryConfig(owned.get());
      const auto wanted = p_.files.upperCase(facts.serviceName);
      for (const auto& needed : config.dependencies) depends = depends || p_.files.upperCase(needed) == wanted;
    }
    (depends ? plan.dependents : plan.ignored).push_back(name);
  }
  plan.restore.mayStopDependents(plan.manager.get(), plan.dependents);
  return std::nullopt;
}

std::optional<std::u16string> Recovery::playBack(const JournalRecord& facts, Plan& plan, bool& settled) {
  // Before anything is stopped: the copy goes first.
  if (plan.removeCopy && !plan.stands) {
    console_.writeLine(u"  -> Removendo a cópia repetida da nova versão (NEW)");
    if (const auto error = plan.swap.removeRetrying(plan.names.pathNewBin)) {
      return u"a cópia repetida da nova versão não pôde ser removida: " + plan.names.pathNewBin + u": " +
             p_.texts.describe(error);
    }
    plan.copyGone = true;
  }
  std::u16string said;
  // Brought back for the window, which then passed: not said twice.
  bool dependentsBack = false;
  if (plan.watch == Plan::Watch::Rest || plan.watch == Plan::Watch::Again) {
    // Started if it is not running (the machine restarted), then watched.
    std::optional<std::u16string> failed;
    const auto started = plan.restore.restore(plan.waits, plan.service.get(), Placement{}, true, true, false);
    failed = started.notStarted;
    if (!failed && !plan.dependents.empty()) {
      // Up through the rest of the window, as the dead run had them; a
      // window that fails stops them again with the new version.
      dependents_.adopt(plan.manager.get(), plan.dependents);
      if (auto why = dependents_.bringBack(); !why.empty()) failed = std::move(why);
    }
    if (!failed) {
      try {
        failed = finishWatch(plan);
      } catch (const ToolError& error) {
        failed = error.message();
      }
    }
    if (failed) {
      plan.watch = Plan::Watch::Failed;
      plan.watchFailure = *failed;
    } else {
      plan.stands = true;
      dependentsBack = !plan.dependents.empty();
    }
  }
  const auto placement = plan.stands ? Placement{} : plan.placement;
  const auto restored = plan.restore.restore(plan.waits, plan.service.get(), placement, facts.wasRunning, true, false);
  if (!restored.moveFailure.empty()) return restored.moveFailure;
  if (restored.notStarted) {
    if (plan.stands) {
      said = (restored.unhealthy ? u"o serviço não respondeu à verificação: " : u"o serviço não iniciou: ");
    } else {
      said = (restored.unhealthy ? u"Versão anterior restaurada, mas não respondeu à verificação: "
                                 : u"Versão anterior restaurada, mas não iniciou: ");
    }
    said += *restored.notStarted;
  }
  for (const auto& name : plan.ignored) {
    console_.writeLine(u"  -> Dependente " + name + u" não iniciado: não depende de " + facts.serviceName);
  }
  if (!dependentsBack) {
    dependents_.adopt(plan.manager.get(), plan.dependents);
    if (const auto failed = dependents_.bringBack(); !failed.empty()) said += (said.empty() ? u"" : u". ") + failed;
  }
  if (plan.removeCopy && plan.stands && !plan.copyGone && said.empty()) {
    console_.writeLine(u"  -> Removendo a cópia repetida da nova versão (NEW)");
    if (const auto error = plan.swap.removeRetrying(plan.names.pathNewBin)) {
      said = u"a cópia repetida da nova versão não pôde ser removida: " + plan.names.pathNewBin + u": " +
             p_.texts.describe(error);
    }
  }
  if (plan.settleRollback) {
    if (const auto why = plan.swap.keepReplacedAsBackup(); !why.empty()) said += (said.empty() ? u"" : u". ") + why;
  }
  if (facts.failureActions && plan.service) {
    if (const auto why = restoreFailureActions(p_, plan.manager.get(), facts.serviceName, *facts.failureActions);
        !why.empty()) {
      // The journal is their only record: it stays for the next run.
      said += (said.empty() ? u"" : u". ") + why + u" (guardadas no diário " + names_.pathJournal +
              u"; a próxima execução tenta de novo)";
      return said;
    }
  }
  // Only now: a run that dies before this point undoes it all again. A
  // release's journals go together, once all its services are here.
  settled = true;
  if (!keepJournal_) journal_.finish();
  if (!said.empty()) return said;
  return std::nullopt;
}

}  // namespace usqz
