#include "run/transaction/rollback.h"

#include "common/tool_error.h"
#include "run/transaction/failure_actions.h"

namespace usqz {

using platform::ServiceStatus;

// Whatever failed once the run had taken its first irreversible step and
// before the new version was confirmed, the service must not be left
// without its executable or down: the versions go back where they were
// (the failed one stopped first) and the service is started again when
// the run stopped it. What this says is added to the cause.
std::u16string recover(RunContext& c) {
  // Once confirmed, the update stands: a failure after it is the
  // dependents', and says so itself.
  if (c.journal.lastTaken() == Step::Confirmed) {
    if (const auto why = finishTransaction(c); !why.empty()) return u". " + why;
  }
  if (!c.journal.active()) return {};
  const auto& facts = c.journal.record();
  const bool stoppedByRun = facts.wasRunning && c.stoppedByRun;
  if (movesMayHaveBegun(facts.step)) {
    try {
      c.journal.advance(Step::RollingBack);
    } catch (const ToolError&) {
      // The journal on disk still tells where each version is.
    }
  }
  std::u16string said;
  bool placed = true;
  bool runs = false;
  const auto placement = movesTaken(c) ? c.swap.locate(facts) : Placement{};
  if (movesTaken(c) && (!placement.next || (facts.previous && !placement.previous))) {
    said = u". " + c.swap.notFound(facts, placement);
    placed = false;
  } else if (!movesTaken(c) || placement.next != Slot::Current || facts.previous) {
    // A version activated with nothing before it stays: there is
    // nothing to roll back to.
    const bool activated = placement.next == Slot::Current;
    const auto restored = c.restore.restore(c.waits, c.service.get(), placement, stoppedByRun, false, true);
    runs = restored.started;
    if (!restored.moveFailure.empty()) {
      said = u". " + restored.moveFailure;
      placed = false;
    } else if (restored.unhealthy) {
      said = u". Versão anterior restaurada, mas não respondeu à verificação: " + *restored.notStarted;
    } else if (restored.notStarted) {
      if (!activated) c.console.writeLine(u"Service :: Erro ao iniciar o serviço: " + *restored.notStarted);
      said = (activated ? u". Versão anterior restaurada, mas não iniciou: " : u". Serviço não reiniciado: ") +
             *restored.notStarted;
    } else if (activated) {
      said = stoppedByRun ? u". Versão anterior restaurada e em execução." : u". Versão anterior restaurada.";
    }
  }
  // Those started again for the watch window were stopped again with the
  // new version, or still run: either way, they are the run's to bring
  // back.
  if (c.dependentsUpForWatch) c.dependents.adopt(c.manager.get(), facts.dependents);
  // The dependents come back whenever the service runs, the run having
  // failed before its stop request too.
  if (!runs && c.service) {
    ServiceStatus status;
    runs = c.waits.query(status) && status.dwCurrentState == platform::kServiceRunning && c.waits.processAlive();
  }
  if (runs) {
    if (const auto failed = c.dependents.bringBack(); !failed.empty()) said += u". " + failed;
  } else if (const auto down = c.dependents.leftDown(); !down.empty()) {
    said += u". " + down;
  }
  if (placed) {
    if (const auto why = finishTransaction(c); !why.empty()) said += u". " + why;
  }
  return said;
}

// The service's failure actions back as they were, then the journal
// gone; why the actions are not back, if they are not. The journal is the
// only record of them left: it stays for the next run to put them back.
std::u16string finishTransaction(RunContext& c) {
  if (c.journal.active() && c.journal.record().failureActions) {
    if (const auto why =
            restoreFailureActions(c.p, c.manager.get(), c.names.serviceName, *c.journal.record().failureActions);
        !why.empty()) {
      return why + u" (guardadas no diário " + c.journal.path() + u"; a próxima execução tenta de novo)";
    }
  }
  c.journal.finish();
  return {};
}

// Whether the run may have moved a file: only then is there anything to
// put back.
bool movesTaken(const RunContext& c) {
  const auto taken = c.journal.lastTaken();
  return taken && *taken >= Step::Swapping;
}

// What the run left, from its journal and a last look at the disk and at
// the service.
EndState endState(RunContext& c) {
  const auto& facts = c.journal.record();
  const auto taken = c.journal.lastTaken();
  EndState end;
  end.touched = taken.has_value();
  end.wasRunning = facts.wasRunning;
  end.registered = taken && facts.registered;
  end.newVersionConfirmed = taken == Step::Confirmed;
  end.dependentsDown = c.dependents.anyLeftDown();
  end.restartsSuspended = c.journal.active() && c.journal.record().failureActions.has_value();
  end.previousInPlace = true;
  if (movesTaken(c)) {
    const auto placement = c.swap.locate(facts);
    end.previousInPlace =
        placement.next == Slot::New && (facts.previous ? placement.previous == Slot::Current : true);
  }
  if (c.service) {
    ServiceStatus status;
    end.runsAtEnd = c.waits.query(status) ? status.dwCurrentState == platform::kServiceRunning && c.waits.processAlive()
                                         : c.waits.lastSeenRunning();
    // Running but failing its health check is down for whoever it serves.
    if (c.health.lastFailed()) end.runsAtEnd = false;
  }
  return end;
}

}  // namespace usqz
