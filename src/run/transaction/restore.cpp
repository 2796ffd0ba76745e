#include "run/transaction/restore.h"

#include "common/tool_error.h"

namespace usqz {

using platform::ServiceStatus;

Restore::Restore(platform::Platform& platform, Console& console, ExecutableSwap& swap, HealthWait& health)
    : p_(platform), console_(console), swap_(swap), health_(health) {}

Restored Restore::restore(ServiceWaits& waits, platform::ServiceHandle service, const Placement& placement,
                          bool start, bool announceRestore, bool startWaitedFor) {
  Restored restored;
  const bool inPlace = placement.inPlace();
  if (!inPlace) {
    if (service) stopWhatRuns(waits, service, startWaitedFor);
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

void Restore::stopWhatRuns(ServiceWaits& waits, platform::ServiceHandle service, bool startWaitedFor) {
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
    return;
  }
  console_.writeLine(u"  -> Revertendo: parando a nova versão");
  bool stopped = false;
  if (p_.services.sendStop(service, status) == platform::kOk) {
    try {
      waits.waitForStop(status);
      stopped = true;
    } catch (const ToolError&) {
    }
  }
  if (!stopped && waits.processAlive()) {
    console_.writeLine(u"  -> Revertendo: encerrando o processo da nova versão");
    waits.endProcess();
  }
  waits.waitForProcessExit();
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
