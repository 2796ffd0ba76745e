#include "run/release/release_run.h"

#include <algorithm>
#include <optional>
#include <exception>
#include <new>

#include "common/names.h"
#include "common/tool_error.h"
#include "platform/text.h"
#include "run/release/dead_release.h"
#include "run/release/release_order.h"
#include "run/report/version_facts.h"
#include "run/service/service_rights.h"
#include "run/update_run.h"

namespace usqz {

namespace {

// The release's outcome from its services': the worst of them, a service
// with nothing to do counting only when none had anything.
Outcome worstOf(const std::vector<Outcome>& outcomes) {
  for (const auto worst : {Outcome::Down, Outcome::RolledBack, Outcome::Unchanged, Outcome::Busy, Outcome::Updated}) {
    if (std::find(outcomes.begin(), outcomes.end(), worst) != outcomes.end()) return worst;
  }
  return Outcome::NothingToDo;
}

// How the services of the release depend on one another, as the service
// manager has them registered, and who outside the release depends on them.
struct Dependencies {
  ReleaseOrder order;
  // Per service: the services of the release it depends on.
  std::vector<std::vector<std::size_t>> dependsOn;
  // Per service: the running services outside the release that depend on it.
  std::vector<std::vector<std::u16string>> outside;
  // The members with nothing to do that stand outside all the same.
  std::vector<std::u16string> uncarried;
};

// `members`: the whole release's names; a dependent among them is never an
// outsider, whether or not it has anything to do.
Dependencies dependenciesOf(platform::Platform& p, const std::vector<std::u16string>& names,
                            const std::vector<std::u16string>& members) {
  Dependencies found;
  const auto isMember = [&](const std::u16string& name) {
    return std::any_of(members.begin(), members.end(),
                       [&](const std::u16string& member) { return p.files.upperCase(member) == p.files.upperCase(name); });
  };
  found.outside.resize(names.size());
  std::vector<std::vector<std::size_t>> dependsOn(names.size());
  const auto indexOf = [&](const std::u16string& name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (p.files.upperCase(names[i]) == p.files.upperCase(name)) return i;
    }
    return names.size();
  };
  const auto manager = p.services.openManager(platform::kManagerConnect);
  const platform::OwnedServiceHandle owner(p.services, manager.handle);
  // A member with nothing to do is carried round those it depends on only
  // when no member with work depends on it in turn: stopping it would wait
  // for theirs, which the batches do not order. Such a one stands outside.
  std::vector<std::u16string> uncarried;
  if (manager.error == platform::kOk && owner) {
    for (const auto& idle : members) {
      if (indexOf(idle) < names.size()) continue;
      const auto opened = p.services.openExisting(owner.get(), idle, kServiceRights);
      const platform::OwnedServiceHandle service(p.services, opened.handle);
      if (opened.error != platform::kOk || !service) continue;
      const auto active = p.services.listActiveDependents(service.get());
      if (std::any_of(active.names.begin(), active.names.end(),
                      [&](const std::u16string& name) { return indexOf(name) < names.size(); })) {
        uncarried.push_back(idle);
      }
    }
  }
  const auto carried = [&](const std::u16string& name) {
    return isMember(name) && std::none_of(uncarried.begin(), uncarried.end(), [&](const std::u16string& idle) {
             return p.files.upperCase(idle) == p.files.upperCase(name);
           });
  };
  found.uncarried = uncarried;
  if (manager.error == platform::kOk && owner) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const auto opened = p.services.openExisting(owner.get(), names[i], kServiceRights);
      const platform::OwnedServiceHandle service(p.services, opened.handle);
      if (opened.error != platform::kOk || !service) continue;
      for (const auto& needed : p.services.queryConfig(service.get()).dependencies) {
        if (const auto at = indexOf(needed); at < names.size()) dependsOn[i].push_back(at);
      }
      const auto active = p.services.listActiveDependents(service.get());
      for (const auto& name : active.names) {
        if (!carried(name)) found.outside[i].push_back(name);
      }
    }
  }
  found.order = startOrder(dependsOn);
  found.dependsOn = std::move(dependsOn);
  return found;
}

class ReleaseRun {
 public:
  ReleaseRun(platform::Platform& platform, Console& console, const Options& options,
             const std::vector<Options>& members, std::u16string_view ownPath, ReleaseReports& reports, Asked asked)
      : p_(platform), console_(console), options_(options), options_of_(members), ownPath_(ownPath),
        reports_(reports), locks_(platform, ownPath), single_(asked == Asked::CommandLine) {
    reports_.outcomes.assign(members.size(), Outcome::Unchanged);
  }

  Outcome execute();

 private:
  struct Member {
    std::size_t index = 0;
    std::unique_ptr<UpdateRun> run;
    UpdateRun::Found found = UpdateRun::Found::Work;
    Outcome outcome = Outcome::Updated;
    bool ended = false;  // its outcome is recorded
  };

  Outcome checkOnly();
  Outcome update();
  // One of the release's services refused before anything changed.
  Outcome refuse(std::size_t refused, const std::u16string& why);
  Outcome rollBack(std::size_t failed, const std::u16string& why, const std::vector<std::size_t>& started);
  void watch(const std::vector<std::size_t>& start, std::optional<std::pair<std::size_t, std::u16string>>& failure);
  void removeKeptJournals();
  void announce(std::size_t member);
  const std::u16string& nameOf(std::size_t member) const { return options_of_[member].serviceName; }
  std::vector<std::u16string> names() const {
    std::vector<std::u16string> all;
    for (const auto& member : options_of_) all.push_back(member.serviceName);
    return all;
  }
  // Another run holds one of the release's services: none is touched,
  // every one is reported busy.
  Outcome busy() {
    reports_.outcomes.assign(options_of_.size(), Outcome::Busy);
    for (auto& member : members_) member.outcome = Outcome::Busy;
    return Outcome::Busy;
  }

  platform::Platform& p_;
  Console& console_;
  const Options& options_;
  const std::vector<Options>& options_of_;
  std::u16string ownPath_;
  ReleaseReports& reports_;
  RunLocks locks_;
  // One service from the command line.
  bool single_;
  std::vector<Member> members_;
  std::size_t announced_ = static_cast<std::size_t>(-1);
  bool deadReleaseLookedAt_ = false;
};

void ReleaseRun::announce(std::size_t member) {
  if (single_ || announced_ == member) return;
  announced_ = member;
  console_.writeLine(u"[" + nameOf(member) + u"]");
}

Outcome ReleaseRun::execute() {
  RunLocks::Taken why = RunLocks::Taken::Held;
  if (const auto missed = takeLocksInOrder(p_, locks_, names(), ownPath_, why)) {
    const auto outcome =
        lockNotHad(p_, console_, *missed, why == RunLocks::Taken::Busy, locks_.error(), names(), ownPath_);
    return outcome == Outcome::Busy ? busy() : outcome;
  }
  for (std::size_t i = 0; i < options_of_.size(); ++i) {
    Member member;
    member.index = i;
    member.run = std::make_unique<UpdateRun>(p_, console_, options_of_[i], ownPath_, *reports_.services[i]);
    if (!single_) member.run->context().dependents.partOfRelease(names());
    members_.push_back(std::move(member));
  }
  // A release that died is undone (or finished) as a whole before this one
  // looks at anything (--check: says how it would be), by whichever
  // service's checks come to it first, after that service's own checks of
  // where it acts.
  for (auto& member : members_) {
    member.run->context().recoverRelease = [this]() -> std::optional<Outcome> {
      if (deadReleaseLookedAt_) return std::nullopt;
      deadReleaseLookedAt_ = true;
      const auto dead = recoverDeadReleases(p_, console_, options_, ownPath_, names(), locks_);
      if (dead.kind == DeadRelease::Kind::Busy || dead.kind == DeadRelease::Kind::LockFailed) {
        return lockNotHad(p_, console_, dead.service, dead.kind == DeadRelease::Kind::Busy, locks_.error(),
                          dead.services, ownPath_);
      }
      bool said = false;
      for (auto& member : members_) {
        auto& c = member.run->context();
        c.recovered = dead.endOf(p_.files, nameOf(member.index));
        if (!c.recovered) continue;
        c.releaseRecoverySaid = said ? dead.saidAbove : dead.said;
        said = true;
      }
      return std::nullopt;
    };
  }
  if (options_.checkOnly) return checkOnly();

  Outcome outcome = Outcome::Unchanged;
  try {
    outcome = update();
  } catch (const std::bad_alloc&) {
    outcome = rollBack(0, u"Out of memory", {});
  }
  removeKeptJournals();
  for (auto& member : members_) {
    reports_.outcomes[member.index] = member.outcome;
    auto& c = member.run->context();
    if (c.report.asked()) {
      c.report.running(versionFactsOf(c, c.names.pathCurrentBin));
      c.report.health(c.health.lastResults());
    }
    member.run->close();
  }
  p_.interrupts.allow();
  if (p_.interrupts.arrived()) {
    console_.writeLine(u"Interrupção recebida durante a atualização: adiada até o fim da atualização.");
  }
  return outcome;
}

// Once every service has ended: while one's journal must stay (what it
// holds is not back), the release is not over, and every journal stays
// with it for the next run to find from any of its services.
void ReleaseRun::removeKeptJournals() {
  const auto stays = [](const Member& member) { return member.run->context().journal.active(); };
  if (std::any_of(members_.begin(), members_.end(), stays)) return;
  for (auto& member : members_) member.run->context().journal.removeKept();
}

Outcome ReleaseRun::checkOnly() {
  std::vector<Outcome> outcomes;
  for (auto& member : members_) {
    announce(member.index);
    member.outcome = member.run->check();
    reports_.outcomes[member.index] = member.outcome;
    outcomes.push_back(member.outcome);
    // Another run holds a service of a dead release the run would undo.
    if (member.outcome == Outcome::Busy) return Outcome::Busy;
  }
  if (single_) return outcomes.front();
  const auto dependencies = dependenciesOf(p_, names(), names());
  announced_ = static_cast<std::size_t>(-1);
  if (!dependencies.order.cycle.empty()) {
    std::vector<std::u16string> cycle;
    for (const auto i : dependencies.order.cycle) cycle.push_back(nameOf(i));
    console_.writeLine(u"Verificação: a atualização conjunta seria recusada: dependência circular entre " +
                       joined(cycle));
    return Outcome::Unchanged;
  }
  std::vector<std::u16string> order;
  for (const auto i : dependencies.order.start) order.push_back(nameOf(i));
  console_.writeLine(u"Verificação da atualização conjunta: pararia os serviços na ordem inversa e os "
                     u"iniciaria nesta ordem: " + joined(order));
  return worstOf(outcomes);
}

Outcome ReleaseRun::refuse(std::size_t refused, const std::u16string& why) {
  std::vector<Outcome> outcomes;
  for (auto& member : members_) {
    if (!member.ended) {
      announce(member.index);
      // A service of a dead release that was not recovered says why.
      if (const auto ended = member.run->endedWithDeadRelease()) {
        member.outcome = *ended;
      } else {
        member.outcome = member.run->fail(member.index == refused ? why
                                                                  : u"a atualização conjunta foi recusada pelo serviço " +
                                                                        nameOf(refused));
      }
      member.ended = true;
    }
    outcomes.push_back(member.outcome);
  }
  return worstOf(outcomes);
}

Outcome ReleaseRun::update() {
  // What a check throws refuses the release in that service's name.
  const auto whyNot = [](auto check) -> std::optional<std::u16string> {
    try {
      check();
    } catch (const ToolError& error) {
      return error.message();
    } catch (const std::bad_alloc&) {
      return u"Out of memory";
    } catch (const std::exception& error) {
      return fromUtf8(error.what());
    }
    return std::nullopt;
  };
  // Every service's result file, before the recovery of a dead release
  // may change any of them.
  for (auto& member : members_) {
    if (single_) break;
    if (const auto why = whyNot([&] { member.run->checkResultFile(); })) return refuse(member.index, *why);
  }
  // Every check of every service, before anything changes.
  for (auto& member : members_) {
    announce(member.index);
    if (const auto why = whyNot([&] { member.found = member.run->checkBeforeTheStop(); })) {
      return refuse(member.index, *why);
    }
    if (member.found == UpdateRun::Found::NothingToDo) {
      member.outcome = Outcome::NothingToDo;
      member.ended = true;
    }
    if (member.found == UpdateRun::Found::Ended) {
      member.outcome = member.run->endedWith();
      member.ended = true;
      // Another run holds a service of a dead release this one must undo.
      if (member.outcome == Outcome::Busy) return busy();
      // Its dead run could not be undone: nothing else is touched.
      if (member.outcome != Outcome::Updated) return refuse(member.index, {});
    }
  }
  std::vector<std::size_t> work;
  std::vector<std::u16string> workNames;
  for (const auto& member : members_) {
    if (member.found == UpdateRun::Found::Work) {
      work.push_back(member.index);
      workNames.push_back(nameOf(member.index));
    }
  }
  // Batches, in start order: a service's batch is one past the latest of
  // those it depends on. Each batch stops together (the last first) and
  // starts together, so that a service waits only for those it depends on.
  std::vector<std::size_t> start;
  std::vector<std::size_t> level(members_.size(), 0);
  std::size_t levels = 0;
  if (single_) {
    // Its dependents are its own to refuse or to carry, where its stop is.
    start = work;
    levels = work.empty() ? 0 : 1;
  } else if (!work.empty()) {
    const auto dependencies = dependenciesOf(p_, workNames, names());
    if (!dependencies.order.cycle.empty()) {
      std::vector<std::u16string> cycle;
      for (const auto i : dependencies.order.cycle) cycle.push_back(workNames[i]);
      cycle.push_back(cycle.front());
      return refuse(work[dependencies.order.cycle.front()],
                    u"Dependência circular entre os serviços: " + joined(cycle, u" -> "));
    }
    if (!options_.stopDependents) {
      for (std::size_t i = 0; i < work.size(); ++i) {
        if (dependencies.outside[i].empty()) continue;
        return refuse(work[i], u"Erro ao parar o serviço: serviços dependentes em execução: " +
                                   joined(dependencies.outside[i]));
      }
    }
    std::vector<std::u16string> release;
    for (const auto i : dependencies.order.start) {
      start.push_back(work[i]);
      release.push_back(workNames[i]);
    }
    std::vector<std::u16string> carried;
    for (const auto& member : members_) {
      if (member.found == UpdateRun::Found::Work) continue;
      const auto& name = nameOf(member.index);
      if (std::none_of(dependencies.uncarried.begin(), dependencies.uncarried.end(),
                       [&](const std::u16string& idle) { return p_.files.upperCase(idle) == p_.files.upperCase(name); })) {
        carried.push_back(name);
      }
    }
    for (const auto i : start) {
      members_[i].run->context().release = release;
      members_[i].run->context().dependents.partOfRelease(release);
      members_[i].run->context().dependents.membersToCarry(carried);
    }
    for (const auto i : dependencies.order.start) {
      for (const auto d : dependencies.dependsOn[i]) level[work[i]] = std::max(level[work[i]], level[work[d]] + 1);
      levels = std::max(levels, level[work[i]] + 1);
    }
  }
  const auto batch = [&](std::size_t n) {
    std::vector<std::size_t> members;
    for (const auto i : start) {
      if (level[i] == n) members.push_back(i);
    }
    return members;
  };
  // The first failure, and its service; the rest of a batch is still
  // brought to a known state before everything is put back.
  std::optional<std::pair<std::size_t, std::u16string>> failure;
  const auto attempt = [&](std::size_t i, auto step) {
    if (failure) return false;
    announce(i);
    try {
      step(*members_[i].run);
      return true;
    } catch (const ToolError& error) {
      failure.emplace(i, error.message());
    } catch (const std::bad_alloc&) {
      failure.emplace(i, u"Out of memory");
    } catch (const std::exception& error) {
      failure.emplace(i, fromUtf8(error.what()));
    }
    return false;
  };
  const auto settle = [&](std::size_t i, auto step) {
    announce(i);
    try {
      step(*members_[i].run);
    } catch (const ToolError& error) {
      if (!failure) failure.emplace(i, error.message());
    } catch (const std::bad_alloc&) {
      if (!failure) failure.emplace(i, u"Out of memory");
    } catch (const std::exception& error) {
      if (!failure) failure.emplace(i, fromUtf8(error.what()));
    }
  };
  // One service's stop writes its journal as it finds the service. Every
  // journal stays until every service has ended: a release that dies while
  // its services finish, or go back, is found again from any of them.
  if (!single_) {
    for (const auto i : start) members_[i].run->context().journal.keepUntilRemoved();
    for (const auto i : start) attempt(i, [](UpdateRun& run) { run.writeJournal(); });
  }
  // A batch is asked to stop once the batch above it (its dependents) has
  // stopped, and that batch's new versions go in while it stops: what
  // depends on others waits for their stop, not for their swaps too.
  std::vector<std::size_t> stopped;
  for (std::size_t n = levels; n-- > 0 && !failure;) {
    std::vector<std::size_t> asked;
    for (const auto i : batch(n)) {
      if (attempt(i, [](UpdateRun& run) { run.requestStop(); })) asked.push_back(i);
    }
    for (const auto i : stopped) attempt(i, [](UpdateRun& run) { run.swapIn(); });
    for (const auto i : asked) settle(i, [](UpdateRun& run) { run.finishStop(); });
    stopped = asked;
  }
  // The first batch depends on none of the others: each of its services
  // is asked to start as soon as its own new version is in, not after
  // every other one's. A batch after it starts as soon as the one before
  // reports running, as the service manager's own order would have it;
  // the watches and health checks of all of them overlap, and the last
  // look at every service covers one that dies while those after it start.
  std::vector<std::size_t> asked;
  for (const auto i : stopped) {
    if (attempt(i, [](UpdateRun& run) { run.swapIn(); }) && attempt(i, [](UpdateRun& run) { run.requestStart(); })) {
      asked.push_back(i);
    }
  }
  for (std::size_t n = 0; n < levels; ++n) {
    if (n > 0) {
      asked.clear();
      for (const auto i : batch(n)) {
        if (attempt(i, [](UpdateRun& run) { run.requestStart(); })) asked.push_back(i);
      }
    }
    for (const auto i : asked) settle(i, [](UpdateRun& run) { run.reachRunning(); });
    if (failure) break;
  }
  // The members carried round those with work start as the rest did, and
  // are watched and looked at with them: the release stands with them.
  for (const auto i : start) attempt(i, [](UpdateRun& run) { run.startCarried(); });
  for (const auto i : start) attempt(i, [](UpdateRun& run) { run.confirmStarted(); });
  for (const auto i : start) attempt(i, [](UpdateRun& run) { run.confirmStillRunning(); });
  if (options_.watchSeconds > 0 && !start.empty() && !failure) watch(start, failure);
  if (failure) return rollBack(failure->first, failure->second, start);
  // Every journal says confirmed before any is let go: a release that dies
  // in between is finished, not undone.
  for (const auto i : start) members_[i].run->recordConfirmed();
  std::vector<Outcome> outcomes;
  for (auto& member : members_) {
    if (member.ended) {
      outcomes.push_back(member.outcome);
      continue;
    }
    announce(member.index);
    try {
      if (member.found == UpdateRun::Found::AlreadyRuns) {
        member.run->dropRunningCopy();
        member.outcome = Outcome::Updated;
      } else {
        member.outcome = member.run->finish();
      }
    } catch (const ToolError& error) {
      member.outcome = member.run->fail(error.message());
    } catch (const std::bad_alloc&) {
      member.outcome = member.run->fail(u"Out of memory");
    } catch (const std::exception& error) {
      member.outcome = member.run->fail(fromUtf8(error.what()));
    }
    member.ended = true;
    outcomes.push_back(member.outcome);
  }
  return worstOf(outcomes);
}

// Every service of the release through one window: any that fails it
// puts every one back, as any failure of a release does.
void ReleaseRun::watch(const std::vector<std::size_t>& start,
                       std::optional<std::pair<std::size_t, std::u16string>>& failure) {
  const WatchTerms terms{options_.watchSeconds, options_.healthIntervalSeconds, options_.healthFailures};
  const auto startedAt = p_.clock.wallClockSeconds();
  const auto bootedAt = p_.clock.bootedAtSeconds();
  for (const auto i : start) {
    try {
      members_[i].run->beginWatch(terms, startedAt, bootedAt);
      members_[i].run->startDependentsForWatch();
    } catch (const ToolError& error) {
      announce(i);
      failure.emplace(i, error.message());
      return;
    }
  }
  std::vector<Watched> watched;
  for (const auto i : start) watched.push_back(members_[i].run->watched());
  const auto result = watchWindow(p_, console_, watched, terms, terms.seconds, false);
  for (const auto i : start) members_[i].run->watchEnded(result, terms.seconds);
  if (result.failed) failure.emplace(start[*result.failed], result.why);
}

Outcome ReleaseRun::rollBack(std::size_t failed, const std::u16string& why, const std::vector<std::size_t>& start) {
  // What depends on others goes down first, then each is put back and
  // started after what it depends on. One service's own rollback stops it.
  for (auto it = start.rbegin(); it != start.rend() && !single_; ++it) {
    announce(*it);
    try {
      members_[*it].run->stopCarriedForRollback();
      members_[*it].run->stopForRollback();
    } catch (const ToolError&) {
      // Its own rollback stops it again, or says why it could not.
    }
  }
  std::vector<std::size_t> order = start;
  for (const auto& member : members_) {
    if (std::find(order.begin(), order.end(), member.index) == order.end()) order.push_back(member.index);
  }
  for (const auto i : order) {
    auto& member = members_[i];
    if (member.ended) continue;
    announce(i);
    member.outcome = member.run->fail(
        i == failed ? why : u"a atualização conjunta falhou no serviço " + nameOf(failed) + u": " + why);
    member.ended = true;
  }
  std::vector<Outcome> outcomes;
  for (const auto& member : members_) outcomes.push_back(member.outcome);
  return worstOf(outcomes);
}

}  // namespace

Outcome runRelease(platform::Platform& platform, Console& console, const Options& options,
                   const std::vector<Options>& members, std::u16string_view ownPath, ReleaseReports& reports,
                   Asked asked) {
  return ReleaseRun(platform, console, options, members, ownPath, reports, asked).execute();
}

}  // namespace usqz
