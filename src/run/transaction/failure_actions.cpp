#include "run/transaction/failure_actions.h"

#include "common/tool_error.h"

namespace usqz {

namespace {

// Changing the actions takes the right to change the configuration, and the
// right to start for restart actions: a handle of its own, asked for only
// when there is something to change.
platform::ServiceOpenResult openToChange(platform::Platform& p, platform::ServiceHandle manager,
                                         const std::u16string& name) {
  return p.services.openExisting(manager, name, platform::kServiceChangeConfig | platform::kServiceStart);
}

}  // namespace

void suspendRestarts(platform::Platform& p, platform::ServiceHandle manager, platform::ServiceHandle service,
                     const std::u16string& serviceName, RunJournal& journal) {
  if (journal.record().failureActions) return;
  const auto original = p.services.queryFailureActions(service);
  if (original.error != platform::kOk) return;
  auto suspended = original;
  bool restarts = false;
  for (auto& action : suspended.actions) {
    if (action.type != platform::kActionRestart) continue;
    action = {platform::kActionNone, 0};
    restarts = true;
  }
  if (!restarts) return;
  const auto opened = openToChange(p, manager, serviceName);
  if (opened.error != platform::kOk || !opened.handle) {
    throw toolError(u"As ações de recuperação do serviço não puderam ser suspensas: " +
                    p.texts.describe(opened.error));
  }
  const platform::OwnedServiceHandle owned(p.services, opened.handle);
  journal.recordFailureActions(original);
  if (const auto error = p.services.setFailureActions(owned.get(), suspended)) {
    throw toolError(u"As ações de recuperação do serviço não puderam ser suspensas: " + p.texts.describe(error));
  }
}

std::u16string restoreFailureActions(platform::Platform& p, platform::ServiceHandle manager,
                                     const std::u16string& serviceName, const platform::FailureActions& actions) {
  // Tried again as any call the run needs now is: left suspended, the
  // service would no longer recover from a crash.
  platform::OsError error = platform::kOk;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto opened = openToChange(p, manager, serviceName);
    error = opened.error;
    if (error == platform::kOk && opened.handle) {
      const platform::OwnedServiceHandle owned(p.services, opened.handle);
      error = p.services.setFailureActions(owned.get(), actions);
    }
    if (error == platform::kOk) return {};
  }
  return u"As ações de recuperação do serviço não foram restauradas: " + p.texts.describe(error);
}

}  // namespace usqz
