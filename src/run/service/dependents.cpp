#include "run/service/dependents.h"

#include <algorithm>

#include "run/service/service_waits.h"
#include "common/tool_error.h"
#include "platform/text.h"

namespace usqz {

namespace {

using platform::kOk;
using platform::OwnedServiceHandle;

constexpr std::uint32_t kDependentRights =
    platform::kServiceQueryStatus | platform::kServiceStart | platform::kServiceStop;


}  // namespace

Dependents::Dependents(platform::Platform& platform, Console& console) : platform_(platform), console_(console) {}

void Dependents::adopt(platform::ServiceHandle manager, std::vector<std::u16string> stopped) {
  manager_ = manager;
  down_ = std::move(stopped);
}

std::vector<std::u16string> Dependents::wouldStop(platform::ServiceHandle service,
                                                  const platform::ServiceStatus& status, bool stopThem) {
  // A manager that cannot list them leaves the stop request to tell.
  auto active = platform_.services.listActiveDependents(service);
  const auto among = [this](const std::vector<std::u16string>& names, const std::u16string& name) {
    return std::any_of(names.begin(), names.end(), [&](const std::u16string& member) {
      return platform_.files.upperCase(member) == platform_.files.upperCase(name);
    });
  };
  // A release stops its own services itself, in their order.
  std::erase_if(active.names, [&](const std::u16string& name) { return among(release_, name); });
  if (active.error != kOk || active.names.empty()) return {};
  if (!stopThem) {
    std::vector<std::u16string> outside;
    for (const auto& name : active.names) {
      if (!among(carried_, name)) outside.push_back(name);
    }
    if (!outside.empty()) {
      throw toolError(u"Erro ao parar o serviço: serviços dependentes em execução: " + joined(outside));
    }
  }
  // Stopping them for a service that would then refuse its own stop would
  // take them down for nothing.
  const bool settled = status.dwCurrentState == platform::kServiceRunning ||
                       status.dwCurrentState == platform::kServicePaused;
  if (settled && (status.dwControlsAccepted & platform::kAcceptStop) == 0) {
    throw toolError(u"Erro ao parar o serviço: o serviço não aceita o pedido de parada");
  }
  return active.names;
}

void Dependents::bringDown(platform::ServiceHandle manager, platform::ServiceHandle service,
                           const platform::ServiceStatus& status, bool stopThem, RunJournal& journal) {
  manager_ = manager;
  auto& services = platform_.services;
  for (const auto& name : wouldStop(service, status, stopThem)) {
    console_.writeLine(u"Service :: parando dependente " + name + u" ...");
    const auto opened = services.openExisting(manager, name, kDependentRights);
    const OwnedServiceHandle dependent(services, opened.handle);
    bool stopped = false;
    if (opened.error == kOk && dependent) {
      journal.addDependent(name);
      stopped = stop(name, dependent.get());
    }
    if (!stopped) {
      std::u16string message = u"Erro ao parar o serviço dependente " + name;
      if (const auto failed = bringBack(); !failed.empty()) message += u". " + failed;
      throw toolError(message);
    }
  }
}

bool Dependents::stop(const std::u16string& name, platform::ServiceHandle dependent) {
  platform::ServiceStatus status;
  const auto error = platform_.services.sendStop(dependent, status);
  if (error == platform::kErrorServiceNotActive) return true;  // it stopped by itself meanwhile
  if (error != kOk) return false;
  down_.push_back(name);
  ServiceWaits waits(platform_.clock, platform_.processes, platform_.services, platform_.texts);
  waits.attach(dependent);
  try {
    waits.waitForStop(status);
    return true;
  } catch (const ToolError&) {
    return false;
  }
}

std::u16string Dependents::startCarried() {
  const auto carried = [this](const std::u16string& name) {
    return std::any_of(carried_.begin(), carried_.end(), [&](const std::u16string& member) {
      return platform_.files.upperCase(member) == platform_.files.upperCase(name);
    });
  };
  std::vector<std::u16string> failed;
  std::vector<std::u16string> still;
  for (auto it = down_.rbegin(); it != down_.rend(); ++it) {
    if (!carried(*it)) {
      still.insert(still.begin(), *it);
      continue;
    }
    console_.writeLineIfPossible(u"Service :: iniciando dependente " + *it + u" ...");
    auto& services = platform_.services;
    const auto opened = services.openExisting(manager_, *it, kDependentRights);
    Started started{*it, std::make_unique<OwnedServiceHandle>(services, opened.handle),
                    std::make_unique<ServiceWaits>(platform_.clock, platform_.processes, services, platform_.texts)};
    std::optional<std::u16string> why;
    if (opened.error != kOk || !*started.service) {
      why = platform_.texts.describe(opened.error);
    } else {
      started.waits->attach(started.service->get());
      platform::ServiceStatus status;
      // One started by someone else meanwhile runs: it is watched as the
      // rest are.
      if (const auto error = started.waits->startRetrying();
          error != kOk && (error != platform::kErrorServiceAlreadyRunning || !started.waits->query(status) ||
                           status.dwCurrentState != platform::kServiceRunning)) {
        why = platform_.texts.describe(error);
      } else {
        try {
          started.waits->reachRunning();
        } catch (const ToolError& error) {
          why = error.message();
        }
      }
    }
    if (why) {
      failed.push_back(*it + (why->empty() ? u"" : u" (" + *why + u")"));
      still.insert(still.begin(), *it);
      // Asked to start, it may run: the rollback stops it again.
      if (*started.service) started_.push_back(std::move(started));
      continue;
    }
    started_.push_back(std::move(started));
  }
  down_ = still;
  if (failed.empty()) return {};
  return u"Serviços dependentes não iniciados: " + joined(failed);
}

void Dependents::watchCarried() {
  for (auto& started : started_) {
    try {
      started.waits->watchRunning();
    } catch (const ToolError& error) {
      throw toolError(u"Serviço dependente " + started.name + u": " + error.message());
    }
  }
}

std::optional<std::u16string> Dependents::carriedStillRun() {
  for (auto& started : started_) {
    if (const auto why = started.waits->stillRunsAsStarted()) return u"Serviço dependente " + started.name + u": " + *why;
  }
  return std::nullopt;
}

void Dependents::stopCarriedAgain() {
  // Those that depend on others stop first: the reverse of their start.
  for (auto it = started_.rbegin(); it != started_.rend(); ++it) {
    // Asked to start, even one that did not reach running may be up.
    platform::ServiceStatus status;
    if (it->waits->query(status) && status.dwCurrentState == platform::kServiceStopped) {
      if (std::find(down_.begin(), down_.end(), it->name) == down_.end()) down_.push_back(it->name);
      continue;
    }
    // One still starting accepts no stop until it runs, or gives up.
    if (status.dwCurrentState == platform::kServiceStartPending) {
      try {
        it->waits->waitWhileStarting(status);
      } catch (const ToolError&) {
      }
    }
    console_.writeLineIfPossible(u"Service :: parando dependente " + it->name + u" ...");
    // Gone by itself, or still up, it is started again with the rest.
    stop(it->name, it->service->get());
    if (std::find(down_.begin(), down_.end(), it->name) == down_.end()) down_.push_back(it->name);
  }
  started_.clear();
}

std::u16string Dependents::bringBack() {
  std::vector<std::u16string> failed;
  for (auto it = down_.rbegin(); it != down_.rend(); ++it) {
    console_.writeLineIfPossible(u"Service :: iniciando dependente " + *it + u" ...");
    if (const auto why = restart(*it)) failed.push_back(*it + (why->empty() ? u"" : u" (" + *why + u")"));
  }
  down_ = failed;
  if (failed.empty()) return {};
  return u"Serviços dependentes não iniciados: " + joined(failed);
}

std::optional<std::u16string> Dependents::restart(const std::u16string& name) {
  return startDependent(platform_, manager_, name);
}

std::optional<std::u16string> startDependent(platform::Platform& p, platform::ServiceHandle manager,
                                             const std::u16string& name) {
  auto& services = p.services;
  const auto opened = services.openExisting(manager, name, kDependentRights);
  const OwnedServiceHandle dependent(services, opened.handle);
  if (opened.error != kOk || !dependent) return p.texts.describe(opened.error);
  ServiceWaits waits(p.clock, p.processes, services, p.texts);
  waits.attach(dependent.get());
  // One a run that died asked to stop may be stopping still: it is started
  // once it has stopped.
  if (platform::ServiceStatus status; waits.query(status) && status.dwCurrentState == platform::kServiceStopPending) {
    try {
      waits.waitForStop(status);
    } catch (const ToolError& error) {
      return error.message();
    }
  }
  if (const auto error = waits.startRetrying()) {
    // One that runs already (a run that died before it stopped it) is back.
    platform::ServiceStatus status;
    if (error != platform::kErrorServiceAlreadyRunning || !waits.query(status) ||
        status.dwCurrentState != platform::kServiceRunning) {
      return p.texts.describe(error);
    }
    return std::nullopt;
  }
  try {
    auto status = waits.queryOrFail();
    waits.waitWhileStarting(status);
    if (status.dwCurrentState != platform::kServiceRunning) return u"não está em execução";
  } catch (const ToolError& error) {
    return error.message();
  }
  return std::nullopt;
}

std::u16string Dependents::leftDown() const {
  if (down_.empty()) return {};
  return u"Serviços dependentes parados: " + joined(down_);
}

}  // namespace usqz
