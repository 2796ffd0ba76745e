#include "dependents.h"

#include "service_waits.h"
#include "tool_error.h"

namespace usqz {

namespace {

using platform::kOk;
using platform::OwnedServiceHandle;

constexpr std::uint32_t kDependentRights =
    platform::kServiceQueryStatus | platform::kServiceStart | platform::kServiceStop;

std::u16string joined(const std::vector<std::u16string>& names) {
  std::u16string text;
  for (const auto& name : names) text += (text.empty() ? u"" : u", ") + name;
  return text;
}

}  // namespace

Dependents::Dependents(platform::FileAndProcess& os, platform::ServiceControl& services,
                       platform::ErrorTexts& texts, Console& console)
    : os_(os), services_(services), texts_(texts), console_(console) {}

void Dependents::bringDown(platform::ServiceHandle manager, platform::ServiceHandle service, bool stopThem) {
  manager_ = manager;
  // A manager that cannot list them leaves the stop request to tell.
  const auto active = services_.listActiveDependents(service);
  if (active.error != kOk || active.names.empty()) return;
  if (!stopThem) {
    throw toolError(u"Erro ao parar o serviço: serviços dependentes em execução: " + joined(active.names));
  }
  for (const auto& name : active.names) {
    console_.writeLine(u"Service :: parando dependente " + name + u" ...");
    const auto opened = services_.openExisting(manager, name, kDependentRights);
    const OwnedServiceHandle dependent(services_, opened.handle);
    bool stopped = false;
    if (opened.error == kOk && dependent) {
      platform::ServiceStatus status;
      const auto error = services_.sendStop(dependent.get(), status);
      if (error == platform::kErrorServiceNotActive) continue;  // it stopped by itself meanwhile
      if (error == kOk) {
        ServiceWaits waits(os_, services_, texts_);
        waits.attach(dependent.get());
        try {
          waits.waitForStop(status);
          stopped = true;
        } catch (const ToolError&) {
        }
      }
    }
    if (!stopped) {
      std::u16string message = u"Erro ao parar o serviço dependente " + name;
      if (const auto failed = bringBack(); !failed.empty()) message += u". " + failed;
      throw toolError(message);
    }
    down_.push_back(name);
  }
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
  const auto opened = services_.openExisting(manager_, name, kDependentRights);
  const OwnedServiceHandle dependent(services_, opened.handle);
  if (opened.error != kOk || !dependent) return texts_.describe(opened.error);
  ServiceWaits waits(os_, services_, texts_);
  waits.attach(dependent.get());
  if (const auto error = waits.startRetrying()) return texts_.describe(error);
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
