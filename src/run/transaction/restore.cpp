#include "run/transaction/restore.h"

#include <algorithm>

#include "common/tool_error.h"
#include "run/service/dependents.h"
#include "platform/text.h"

namespace usqz {

using platform::ServiceStatus;

Restore::Restore(platform::Platform& platform, Console& console, ExecutableSwap& swap, HealthWait& health)
    : p_(platform), console_(console), swap_(swap), health_(health) {}

Restored Restore::restore(ServiceWaits& waits, platform::ServiceHandle service, const Placement& placement,
                          bool start, bool announceRestore, bool startWaitedFor) {
  Restored restored;
  const bool inPlace = placement.inPlace();
  if (!inPlace) {
    if (const auto runs = service ? stopWhatRuns(waits, service, startWaitedFor) : std::nullopt) {
      // Moved under a service that runs, the versions would no longer say
      // which one it runs.
      restored.moveFailure = *runs + u"; nada foi movido: a versão em execução está em " +
                             swap_.pathOf(placement.next.value_or(Slot::Current));
      if (placement.previous) restored.moveFailure += u" e a anterior em " + swap_.pathOf(*placement.previous);
      return restored;
    }
    restored.moveFailure = swap_.putBack(placement, announceRestore);
    if (!restored.moveFailure.empty()) return restored;
  }
  if (!start || !service) return restored;
  try {
    // Stopped by this restore, it is started: the manager may go on
    // reporting a process it ended as starting. Untouched, it may still be
    // up (a dead run left it running its previous version).
    bool runs = false;
    if (inPlace) {
      auto status = waits.queryOrFail();
      if (status.dwCurrentState == platform::kServiceStopPending) waits.waitForStop(status);
      if (status.dwCurrentState == platform::kServiceStartPending) waits.waitWhileStarting(status);
      runs = status.dwCurrentState == platform::kServiceRunning && waits.processAlive();
    }
    if (!runs) {
      console_.writeLine(u"Service :: iniciando ...");
      if (auto why = startAndConfirm(waits)) {
        restored.notStarted = std::move(why);
        return restored;
      }
      console_.writeLine(u"Service :: status: iniciado");
    }
  } catch (const ToolError& error) {
    restored.notStarted = error.message();
    return restored;
  }
  restored.started = true;
  // The previous version is held to what the new one was.
  if (health_.asked()) {
    if (auto why = health_.untilHealthy(waits)) {
      restored.notStarted = std::move(why);
      restored.unhealthy = true;
    }
  }
  return restored;
}

std::optional<std::u16string> Restore::stopWhatRuns(ServiceWaits& waits, platform::ServiceHandle service,
                                                    bool startWaitedFor) {
  stoppedHere_.clear();
  auto why = stopIt(waits, service, startWaitedFor);
  // The service runs on: the dependents stopped for it run again with it.
  if (why) {
    for (auto it = stoppedHere_.rbegin(); it != stoppedHere_.rend(); ++it) {
      console_.writeLine(u"Service :: iniciando dependente " + *it + u" ...");
      const bool runs = !startDependent(p_, manager_, *it);
      if (!runs) *why += u"; serviço dependente parado: " + *it;
    }
  }
  stoppedHere_.clear();
  return why;
}

std::optional<std::u16string> Restore::stopIt(ServiceWaits& waits, platform::ServiceHandle service,
                                              bool startWaitedFor) {
  ServiceStatus status;
  bool known = waits.query(status);
  if (!startWaitedFor && known && status.dwCurrentState == platform::kServiceStartPending) {
    try {
      waits.waitWhileStarting(status);
    } catch (const ToolError&) {
    }
    known = waits.query(status);
  }
  if (known && status.dwCurrentState == platform::kServiceStopped) {
    waits.waitForProcessExit();
    return std::nullopt;
  }
  console_.writeLine(u"  -> Revertendo: parando a nova versão");
  bool stopped = false;
  std::u16string why;
  auto error = p_.services.sendStop(service, status);
  if (error == platform::kErrorDependentServicesRunning && stopOurDependents(service)) {
    error = p_.services.sendStop(service, status);
  }
  if (error == platform::kOk) {
    try {
      waits.waitForStop(status);
      stopped = true;
    } catch (const ToolError& failed) {
      why = failed.message();
    }
  } else {
    why = u"Erro ao parar o serviço: " + p_.texts.describe(error);
  }
  if (!stopped && waits.processAlive()) {
    // Started meanwhile by someone else: theirs to stop, not ours to end.
    if (error == platform::kErrorDependentServicesRunning) {
      const auto active = p_.services.listActiveDependents(service);
      return u"Erro ao parar o serviço: serviços dependentes em execução" +
             (active.error == platform::kOk && !active.names.empty() ? u": " + joined(active.names)
                                                                     : std::u16string());
    }
    if (!waits.runsAlone()) {
      return why + ((waits.lastType() & platform::kServiceWin32ShareProcess) != 0
                        ? u"; o processo do serviço é compartilhado com outros serviços e não é encerrado"
                        : u"; o tipo do serviço não é conhecido e seu processo não é encerrado");
    }
    console_.writeLine(u"  -> Revertendo: encerrando o processo da nova versão");
    const bool ended = waits.endProcess();
    waits.waitForProcessExit();
    // A process that outlives its end (or none known to end) still runs
    // whatever it ran: nothing may be moved under it.
    if (!ended || waits.processAlive()) return why + u"; o processo do serviço não pôde ser encerrado";
    return std::nullopt;
  }
  waits.waitForProcessExit();
  return std::nullopt;
}

bool Restore::stopOurDependents(platform::ServiceHandle service) {
  const auto active = p_.services.listActiveDependents(service);
  if (active.error != platform::kOk || active.names.empty() || !manager_) return false;
  const auto ours = [&](const std::u16string& name) {
    return std::any_of(ours_.begin(), ours_.end(),
                       [&](const std::u16string& own) { return p_.files.upperCase(own) == p_.files.upperCase(name); });
  };
  if (!std::all_of(active.names.begin(), active.names.end(), ours)) return false;
  for (const auto& name : active.names) {
    console_.writeLine(u"Service :: parando dependente " + name + u" ...");
    const auto opened = p_.services.openExisting(
        manager_, name, platform::kServiceQueryStatus | platform::kServiceStart | platform::kServiceStop);
    const platform::OwnedServiceHandle dependent(p_.services, opened.handle);
    if (opened.error != platform::kOk || !dependent) return false;
    ServiceStatus status;
    const auto error = p_.services.sendStop(dependent.get(), status);
    if (error == platform::kErrorServiceNotActive) continue;
    stoppedHere_.push_back(name);
    ServiceWaits waits(p_.clock, p_.processes, p_.services, p_.texts);
    waits.attach(dependent.get());
    // One a run that died asked to stop may be stopping still.
    if (error != platform::kOk &&
        (!waits.query(status) || status.dwCurrentState != platform::kServiceStopPending)) {
      return false;
    }
    try {
      waits.waitForStop(status);
    } catch (const ToolError&) {
      return false;
    }
  }
  return true;
}

std::optional<std::u16string> Restore::startAndConfirm(ServiceWaits& waits) {
  try {
    if (const auto error = waits.startRetrying()) return p_.texts.describe(error);
    waits.confirmStart();
  } catch (const ToolError& error) {
    return error.message();
  }
  return std::nullopt;
}

}  // namespace usqz
