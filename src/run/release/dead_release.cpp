#include "run/release/dead_release.h"

#include <algorithm>

#include "checks/location_trust.h"
#include "checks/preflight.h"
#include "common/tool_error.h"
#include "run/before_the_stop.h"
#include "common/names.h"
#include "platform/text.h"
#include "run/run_context.h"
#include "run/service/service_rights.h"

namespace usqz {

namespace {

// One service of the dead release, with what its recovery needs.
struct DeadMember {
  DeadMember(platform::Platform& p, Console& console, Options memberOptions, std::u16string_view ownPath)
      : options(std::move(memberOptions)), report(false, p.clock), c(p, console, options, ownPath, report) {}

  Options options;
  RunReport report;
  RunContext c;
  JournalRead found;
};

// Before anything is put back: a service the dead release may have
// started on its new version goes down first, so that the services it
// depends on can stop too. Only one that runs this very executable.
void stopBeforeUndo(DeadMember& m) {
  auto& c = m.c;
  const auto manager = c.p.services.openManager(platform::kManagerConnect);
  if (manager.error != platform::kOk || !manager.handle) return;
  c.manager.reset(manager.handle);
  const auto opened = c.p.services.openExisting(c.manager.get(), c.updateNames.serviceName, kServiceRights);
  if (opened.error != platform::kOk || !opened.handle) return;
  c.service.reset(opened.handle);
  const auto config = c.p.services.queryConfig(c.service.get());
  if (config.error == platform::kOk && runsExecutable(c.p.files, config.binaryPath, c.updateNames.pathCurrentBin)) {
    c.waits.attach(c.service.get());
    c.console.writeLine(u"[" + c.updateNames.serviceName + u"]");
    // One that still runs is stopped again by its undo, or keeps its
    // versions where they are and says why.
    c.restore.stopWhatRuns(c.waits, c.service.get(), false);
  }
  c.service.reset();
  c.manager.reset();
}

}  // namespace

Outcome lockNotHad(Console& console, platform::ErrorTexts& texts, const std::u16string& service, bool busy,
                   platform::OsError error) {
  if (busy) {
    console.writeLine(u"Outra atualização do serviço " + service + u" já está em andamento.");
    return Outcome::Busy;
  }
  std::u16string why = texts.describe(error);
  // Created first by someone who gave us no access: not a run under way.
  if (error == platform::kErrorAccessDenied) {
    why = u"o bloqueio existe e não pode ser aberto (acesso negado); foi criado por outro usuário";
  }
  console.writeLine(u"Não foi possível obter o bloqueio da atualização do serviço " + service + u": " + why);
  return Outcome::Unchanged;
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

DeadRelease recoverDeadReleases(platform::Platform& p, Console& console,
                                const std::function<Options(const std::u16string&)>& optionsOf,
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
    return result;
  }
  result.kind = DeadRelease::Kind::Recovered;

  std::vector<std::unique_ptr<DeadMember>> members;
  bool allConfirmed = true;
  bool anyFound = false;
  DeadMember* unreadable = nullptr;
  std::u16string untrusted;
  for (const auto& name : dead) {
    auto member = std::make_unique<DeadMember>(p, console, optionsOf(name), ownPath);
    // Nothing found where others may write is acted upon, for any of them.
    try {
      refuseNamesOutsideTheToolsFolder(member->c);
      checkWhereTheToolActs(p, member->c.updateNames, member->c.updateNames);
    } catch (const ToolError& error) {
      untrusted = error.message();
    }
    member->found = RunJournal::read(p.files, p.security, p.clock, member->c.updateNames.pathJournal);
    if (member->found.kind == JournalRead::Kind::Found) {
      anyFound = true;
      allConfirmed = allConfirmed && member->found.record.step == Step::Confirmed;
    } else if (member->found.kind != JournalRead::Kind::None && !unreadable) {
      unreadable = member.get();
    }
    members.push_back(std::move(member));
  }
  if (!untrusted.empty()) {
    console.writeLine(u"Atualização conjunta anterior interrompida (" + joined(dead) + u"): nada foi alterado");
    for (const auto& member : members) {
      result.ends.emplace_back(member->c.updateNames.serviceName,
                               RecoveryEnd{RecoveryEnd::Kind::Failed,
                                           u"a atualização conjunta interrompida não foi desfeita: " + untrusted,
                                           {}, false, {}});
    }
    return result;
  }
  if (!anyFound && !unreadable) {
    result.kind = DeadRelease::Kind::Nothing;
    return result;
  }
  console.writeLine(u"Atualização conjunta anterior interrompida (" + joined(dead) + u"): " +
                    (allConfirmed && !unreadable ? u"concluindo" : u"desfazendo"));
  if (unreadable) {
    // What cannot be read cannot be undone with the rest: nothing is.
    const auto refusal = unreadable->c.recovery.run();
    for (const auto& member : members) {
      result.ends.emplace_back(member->c.updateNames.serviceName,
                               member.get() == unreadable
                                   ? refusal
                                   : RecoveryEnd{RecoveryEnd::Kind::Failed,
                                                 u"a atualização conjunta interrompida não foi desfeita: " +
                                                     refusal.message,
                                                 {}, false, {}});
    }
    return result;
  }
  if (!allConfirmed) {
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
      const auto& found = (*it)->found;
      if (found.kind == JournalRead::Kind::Found &&
          (movesMayHaveBegun(found.record.step) || found.record.step == Step::Confirmed)) {
        stopBeforeUndo(**it);
      }
    }
  }
  for (const auto& member : members) {
    if (member->found.kind != JournalRead::Kind::Found) continue;
    console.writeLine(u"[" + member->c.updateNames.serviceName + u"]");
    if (!allConfirmed) member->c.recovery.undoEvenIfConfirmed();
    result.ends.emplace_back(member->c.updateNames.serviceName, member->c.recovery.run());
  }
  return result;
}

}  // namespace usqz
