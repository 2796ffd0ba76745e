#include "run/release/dead_release.h"

#include <algorithm>
#include <functional>

#include "checks/health_command.h"
#include "checks/location_trust.h"
#include "checks/preflight.h"
#include "common/tool_error.h"
#include "run/before_the_stop.h"
#include "common/names.h"
#include "platform/text.h"
#include "run/run_context.h"
#include "run/service/service_rights.h"
#include "run/service/watch_window.h"

namespace usqz {

namespace {

// A service's part in the dead release: the run's options, and the checks
// the release held it to, as its journal keeps them (none when it kept
// none), whoever runs the recovery.
Options optionsFor(const Options& run, const std::u16string& name, const JournalRead& found) {
  Options options = run;
  options.releasePath.clear();
  options.serviceName = name;
  options.health.clear();
  options.sha256.clear();
  if (found.kind == JournalRead::Kind::Found) {
    options.health = found.record.health;
    options.sha256 = found.record.pin;
    if (found.record.healthTimeoutSeconds) options.healthTimeoutSeconds = *found.record.healthTimeoutSeconds;
  }
  return options;
}

// One service of the dead release, with what its recovery needs.
struct DeadMember {
  DeadMember(platform::Platform& p, Console& console, Options memberOptions, std::u16string_view ownPath,
             JournalRead read)
      : options(std::move(memberOptions)),
        report(false, p.clock),
        c(p, console, options, ownPath, report),
        found(std::move(read)) {}

  const std::u16string& name() const { return c.updateNames.serviceName; }
  bool hasJournal() const { return found.kind == JournalRead::Kind::Found; }

  Options options;
  RunReport report;
  RunContext c;
  JournalRead found;
  Recovery::Planned planned;
};

// A dead release at its watch window: whether the window was finished, and
// passed (every journal then says confirmed); `failed` says which service
// failed it and why, when one did. Nothing is watched when a service of
// it cannot be recovered, or the machine restarted (the release is then
// undone and updated again, through a whole window), or for --check, which
// says what the run would do.
bool finishTheWindow(platform::Platform& p, Console& console, const Options& run,
                     std::vector<std::unique_ptr<DeadMember>>& members, std::optional<std::u16string>& failed) {
  std::vector<DeadMember*> watching;
  for (auto& member : members) {
    if (!member->hasJournal()) continue;
    const auto step = member->found.record.step;
    if (step != Step::Watching && step != Step::Confirmed) return false;
    if (step == Step::Watching && member->found.record.watch) watching.push_back(member.get());
  }
  if (watching.empty()) return false;
  std::uint32_t rest = 0;
  std::vector<Watched> watched;
  for (auto* member : watching) {
    member->planned = member->c.recovery.prepare(member->found);
    if (member->planned.end.kind == RecoveryEnd::Kind::Failed) return false;
    const auto verdict = member->c.recovery.watchVerdict(member->planned);
    if (verdict.kind == Recovery::WatchVerdict::Kind::Failed) {
      failed = u"a atualização conjunta anterior falhou na observação: serviço " + member->name() + u": " + verdict.why;
      return false;
    }
    if (verdict.kind != Recovery::WatchVerdict::Kind::Rest) return false;
    rest = std::max(rest, verdict.seconds);
    watched.push_back({member->c.recovery.watchedWaits(member->planned), &member->c.health, {}});
  }
  // A check says each service's rest of the window, and that the release
  // would then be finished.
  if (run.checkOnly) return true;
  const auto& terms = *watching.front()->found.record.watch;
  std::vector<std::u16string> names;
  for (auto* member : watching) names.push_back(member->name());
  console.writeLine(u"Atualização conjunta anterior interrompida (" + joined(names) + u"): retomando a observação");
  p.interrupts.defer();
  const auto result =
      watchWindow(p, console, watched, {terms.seconds, terms.intervalSeconds, terms.failures}, rest, true);
  if (result.failed) {
    failed = u"a atualização conjunta anterior falhou na observação: serviço " + watching[*result.failed]->name() +
             u": " + result.why;
    return false;
  }
  for (auto* member : watching) {
    try {
      member->c.recovery.confirmWatched(member->planned);
    } catch (const ToolError&) {
      // Its journal still says watching: the release is undone, and done
      // again by the run that goes on.
      return false;
    }
    member->found.record.step = Step::Confirmed;
  }
  return true;
}

RecoveryEnd endOf(RecoveryEnd::Kind kind, std::u16string message, const DeadMember& member) {
  RecoveryEnd end{kind, std::move(message), {}, false, {}, {}};
  if (member.hasJournal()) {
    end.rollback = member.found.record.rollback;
    end.deadRunStep = stepName(member.found.record.step);
  }
  return end;
}

}  // namespace

Outcome lockNotHad(platform::Platform& p, Console& console, const std::u16string& service, bool busy,
                   platform::OsError error, const std::vector<std::u16string>& services, std::u16string_view ownPath) {
  if (busy) {
    console.writeLine(u"Outra atualização do serviço " + service + u" já está em andamento.");
    return Outcome::Busy;
  }
  std::u16string why = p.texts.describe(error);
  // Created first by someone who gave us no access: not a run under way.
  if (error == platform::kErrorAccessDenied) {
    why = u"o bloqueio existe e não pode ser aberto (acesso negado); foi criado por outro usuário";
  }
  // A dead run's journal goes unread: its service may be down.
  const auto left = journalsLeftUnread(p.files, services, ownPath);
  console.writeLine(u"Não foi possível obter o bloqueio da atualização do serviço " + service + u": " + why + left);
  return left.empty() ? Outcome::Unchanged : Outcome::Down;
}

RunLocks::Taken RunLocks::take(const std::u16string& serviceName) {
  const auto executable = p_.files.upperCase(deriveNames(serviceName, ownPath_).pathCurrentBin);
  for (const auto& [held, lock] : held_) {
    if (held == executable) return Taken::Held;
  }
  auto lock = std::make_unique<RunLock>(p_.locks, p_.files, deriveNames(serviceName, ownPath_).pathCurrentBin);
  if (lock->heldElsewhere()) return Taken::Busy;
  if (!lock->held()) {
    error_ = lock->error();
    return Taken::Failed;
  }
  held_.emplace_back(executable, std::move(lock));
  return Taken::Held;
}

std::optional<std::u16string> takeLocksInOrder(platform::Platform& p, RunLocks& locks,
                                               std::vector<std::u16string> services, std::u16string_view ownPath,
                                               RunLocks::Taken& why) {
  const auto key = [&](const std::u16string& name) { return p.files.upperCase(deriveNames(name, ownPath).pathCurrentBin); };
  std::stable_sort(services.begin(), services.end(),
                   [&](const std::u16string& a, const std::u16string& b) { return key(a) < key(b); });
  for (const auto& name : services) {
    why = locks.take(name);
    if (why != RunLocks::Taken::Held) return name;
  }
  return std::nullopt;
}

std::optional<RecoveryEnd> DeadRelease::endOf(platform::FileAndProcess& files, const std::u16string& name) const {
  for (const auto& [service, end] : ends) {
    if (files.upperCase(service) == files.upperCase(name)) return end;
  }
  return std::nullopt;
}

DeadRelease recoverDeadReleases(platform::Platform& p, Console& console, const Options& run,
                                std::u16string_view ownPath, const std::vector<std::u16string>& services,
                                RunLocks& locks) {
  // Every service of every dead release reached from these, in the order
  // the journals give (the order they start in).
  std::vector<std::u16string> dead;
  const auto known = [&](const std::u16string& name) {
    return std::any_of(dead.begin(), dead.end(),
                       [&](const std::u16string& d) { return p.files.upperCase(d) == p.files.upperCase(name); });
  };
  std::vector<std::u16string> toRead = services;
  for (std::size_t i = 0; i < toRead.size(); ++i) {
    const auto names = deriveNames(toRead[i], ownPath);
    if (!p.files.fileExists(names.pathJournal)) continue;
    const auto found = RunJournal::read(p.files, p.security, p.clock, names.pathJournal);
    if (found.kind != JournalRead::Kind::Found) continue;
    for (const auto& member : found.record.release) {
      if (known(member)) continue;
      dead.push_back(member);
      toRead.push_back(member);
    }
  }
  DeadRelease result;
  if (dead.empty()) return result;
  RunLocks::Taken why = RunLocks::Taken::Held;
  if (const auto missed = takeLocksInOrder(p, locks, dead, ownPath, why)) {
    result.kind = why == RunLocks::Taken::Busy ? DeadRelease::Kind::Busy : DeadRelease::Kind::LockFailed;
    result.service = *missed;
    result.services = dead;
    return result;
  }
  result.kind = DeadRelease::Kind::Recovered;

  // Read again now that no other run can change them.
  std::vector<std::unique_ptr<DeadMember>> members;
  bool allConfirmed = true;
  bool anyFound = false;
  DeadMember* unreadable = nullptr;
  std::u16string untrusted;
  for (const auto& name : dead) {
    auto found = RunJournal::read(p.files, p.security, p.clock, deriveNames(name, ownPath).pathJournal);
    auto member = std::make_unique<DeadMember>(p, console, optionsFor(run, name, found), ownPath, std::move(found));
    // Nothing found where others may write is acted upon, for any of them.
    try {
      refuseNamesOutsideTheToolsFolder(member->c);
      checkWhereTheToolActs(p, member->c.updateNames, member->c.updateNames);
    } catch (const ToolError& error) {
      if (untrusted.empty()) untrusted = u"serviço " + name + u": " + error.message();
    }
    if (member->hasJournal()) {
      anyFound = true;
      allConfirmed = allConfirmed && member->found.record.step == Step::Confirmed;
    } else if (member->found.kind != JournalRead::Kind::None && !unreadable) {
      unreadable = member.get();
    }
    members.push_back(std::move(member));
  }
  if (!anyFound && !unreadable && untrusted.empty()) {
    result.kind = DeadRelease::Kind::Nothing;
    return result;
  }
  // A release that died in its watch window, whose new versions all still
  // run as they were started: the rest of the window is watched for all of
  // them together, and then it is finished. One that failed the window
  // (meanwhile, or in its rest) makes it a rollback of the whole.
  std::optional<std::u16string> watchFailed;
  if (!unreadable && untrusted.empty()) {
    if (const auto resumed = finishTheWindow(p, console, run, members, watchFailed); resumed) allConfirmed = true;
  }
  const bool forward = allConfirmed && !unreadable;
  const auto together = joined(dead);
  const std::u16string notDone =
      std::u16string(u"a atualização conjunta anterior interrompida não foi ") + (forward ? u"concluída" : u"desfeita");
  // Nothing is put back, for any of them; `unmoved` says how far.
  const auto leftAsFound = [&](std::u16string_view unmoved,
                               const std::function<RecoveryEnd(const DeadMember&)>& endOfMember) {
    console.writeLine(u"Atualização conjunta anterior interrompida (" + together + u"): " + std::u16string(unmoved));
    for (const auto& member : members) result.ends.emplace_back(member->name(), endOfMember(*member));
    return result;
  };
  if (!untrusted.empty()) {
    return leftAsFound(u"nada foi alterado", [&](const DeadMember& member) {
      return endOf(RecoveryEnd::Kind::Failed,
                   notDone + u": " + untrusted +
                       u"; nada foi alterado: confira qual versão está em cada executável e se cada serviço está em "
                       u"execução",
                   member);
    });
  }
  if (unreadable) {
    // What cannot be read cannot be undone with the rest: nothing is.
    const auto refusal = unreadable->c.recovery.prepare(unreadable->found).end;
    return leftAsFound(u"nada foi alterado", [&](const DeadMember& member) {
      if (&member == unreadable) return refusal;
      return endOf(RecoveryEnd::Kind::Failed, notDone + u": serviço " + unreadable->name() + u": " + refusal.message,
                   member);
    });
  }

  // Every service planned, with every check its recovery makes, before any
  // is stopped: one that cannot be recovered leaves them all as found.
  std::vector<std::u16string> refusals;
  for (auto& member : members) {
    if (!member->hasJournal()) continue;
    if (!forward) member->c.recovery.undoEvenIfConfirmed();
    member->c.recovery.keepJournal();
    member->planned = member->c.recovery.prepare(member->found);
    std::optional<std::u16string> refused;
    if (member->planned.end.kind == RecoveryEnd::Kind::Failed) {
      refused = member->planned.why;
    } else {
      // The health commands the release gave it run elevated, as the
      // command line's would: resolved and judged again.
      refused = resolveHealthCommands(p.files, member->options);
      if (!refused) refused = untrustedHealthCommand(p, member->options);
    }
    if (refused) refusals.push_back(u"serviço " + member->name() + u": " + *refused);
  }
  // Not recovered, for `reasons`, no version moved: as found is not as it
  // was, so what the journals say ran and is down now is named, and the
  // status says so (as it does when `failed`: something was not as found).
  const auto notRecovered = [&](const std::vector<std::u16string>& reasons, std::u16string_view unmoved,
                                bool failed) {
    std::vector<std::u16string> down;
    std::vector<std::u16string> untold;
    const auto add = [](std::vector<std::u16string>& to, std::vector<std::u16string> names) {
      for (auto& name : names) {
        if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(std::move(name));
      }
    };
    for (auto& member : members) {
      auto left = member->c.recovery.leftDown(member->planned);
      add(down, std::move(left.down));
      add(untold, std::move(left.untold));
    }
    auto message = notDone + u": " + joined(reasons, u"; ") + u"; " + std::u16string(unmoved);
    if (!down.empty()) message += u"; não estão em execução: " + joined(down);
    if (!untold.empty()) message += u"; não se pôde saber se estão em execução: " + joined(untold);
    const auto kind =
        !failed && down.empty() && untold.empty() ? RecoveryEnd::Kind::Refused : RecoveryEnd::Kind::Failed;
    return leftAsFound(unmoved, [&](const DeadMember& member) { return endOf(kind, message, member); });
  };
  if (!refusals.empty()) return notRecovered(refusals, u"nada foi alterado", false);
  const auto asRolledBack = [&] {
    if (!watchFailed) return;
    for (auto& [name, end] : result.ends) {
      if (end.kind != RecoveryEnd::Kind::Undone) continue;
      end.kind = RecoveryEnd::Kind::RolledBack;
      end.message = *watchFailed;
    }
  };

  if (run.checkOnly) {
    const auto header = u"Verificação: uma atualização conjunta anterior foi interrompida (" + together +
                        u"); nada foi alterado. A próxima execução, antes de tudo, a " +
                        (forward ? u"concluiria" : u"desfaria");
    result.said.push_back(header + u":");
    result.saidAbove.push_back(header + u" (acima)");
    for (const auto& member : members) {
      if (!member->hasJournal()) continue;
      result.said.push_back(u"  [" + member->name() + u"]");
      for (const auto& line : member->c.recovery.describe(member->planned)) result.said.push_back(u"  -> " + line);
      result.ends.emplace_back(member->name(), member->planned.end);
    }
    if (watchFailed) result.said.push_back(u"  -> " + *watchFailed);
    asRolledBack();
    return result;
  }

  console.writeLine(u"Atualização conjunta anterior interrompida (" + together + u"): " +
                    (forward ? u"concluindo" : u"desfazendo"));
  p.interrupts.defer();
  if (watchFailed) console.writeLine(u"  -> " + *watchFailed);
  std::optional<std::u16string> stopFailed;
  // One that runs on a service that must stop (directly or through
  // another) is stopped too, or that service's stop is refused for it; in
  // start order, what it depends on comes before it.
  std::vector<bool> mustStop(members.size(), false);
  std::vector<bool> underOne(members.size(), false);
  for (std::size_t k = 0; k < members.size(); ++k) {
    auto& member = *members[k];
    if (member.c.recovery.stopsFirst(member.planned)) {
      mustStop[k] = true;
      continue;
    }
    if (!member.c.recovery.stopsUnderOne(member.planned)) continue;
    const auto needs = member.c.recovery.dependencies(member.planned);
    for (std::size_t j = 0; j < k && !underOne[k]; ++j) {
      underOne[k] = mustStop[j] && std::any_of(needs.begin(), needs.end(), [&](const std::u16string& name) {
                      return p.files.upperCase(name) == p.files.upperCase(members[j]->name());
                    });
    }
    mustStop[k] = underOne[k];
  }
  for (std::size_t k = members.size(); k-- > 0;) {
    auto& member = *members[k];
    if (!mustStop[k]) continue;
    console.writeLine(u"[" + member.name() + u"]");
    if (auto why = member.c.recovery.stopFirst(member.planned, underOne[k])) {
      stopFailed = u"serviço " + member.name() + u": " + *why;
      break;
    }
  }
  if (stopFailed) {
    // Put back under a service that still runs, the versions would no
    // longer say which one runs, and the release would end mixed: nothing
    // moves, and those stopped here run again as they ran, in start order.
    std::vector<std::u16string> reasons{*stopFailed};
    bool failed = false;
    for (auto& member : members) {
      if (!member->c.recovery.startsAgain(member->planned)) continue;
      console.writeLine(u"[" + member->name() + u"]");
      if (const auto why = member->c.recovery.startAgain(member->planned)) {
        reasons.push_back(u"serviço " + member->name() + u": " + *why);
        failed = true;
      }
    }
    return notRecovered(reasons, u"nada foi movido", failed);
  }
  bool settled = true;
  for (auto& member : members) {
    if (!member->hasJournal()) continue;
    console.writeLine(u"[" + member->name() + u"]");
    result.ends.emplace_back(member->name(), member->c.recovery.carryOut(member->planned));
    settled = settled && member->planned.settled;
  }
  // Only once every service is where its recovery puts it: a run that dies
  // before that finds the whole release again, from any of its services.
  if (settled) {
    // A confirmed service's journal goes first: while any is left, so is
    // one that says the release was not confirmed, and a run that dies
    // meanwhile has the rest undone again, never taken forward. One that
    // stays keeps those after it.
    std::vector<DeadMember*> order;
    for (const auto confirmed : {true, false}) {
      for (auto& member : members) {
        if (member->hasJournal() && (member->found.record.step == Step::Confirmed) == confirmed) {
          order.push_back(member.get());
        }
      }
    }
    for (auto* member : order) {
      if (!member->c.recovery.finishJournal()) break;
    }
  }
  // The release ends as a whole or says which service it could not bring
  // along: no service goes on as though it had.
  const auto failed = std::find_if(result.ends.begin(), result.ends.end(),
                                   [](const auto& end) { return end.second.kind == RecoveryEnd::Kind::Failed; });
  if (failed != result.ends.end()) {
    const auto message = notDone + u" por inteiro: serviço " + failed->first + u": " + failed->second.message;
    for (auto& [name, end] : result.ends) {
      if (end.kind == RecoveryEnd::Kind::Failed) continue;
      end.kind = RecoveryEnd::Kind::Failed;
      end.message = message;
    }
  }
  asRolledBack();
  return result;
}

}  // namespace usqz
