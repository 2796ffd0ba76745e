#include "run/transaction/failure_actions.h"

#include "common/tool_error.h"
#include "platform/text.h"

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
    journal.forgetFailureActions();
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
  return u"As ações de recuperação do serviço não foram restauradas: " + p.texts.describe(error) +
         u"; restaure-as: " + describeFailureActions(actions);
}

std::u16string describeFailureActions(const platform::FailureActions& actions) {
  std::u16string text = u"zerar a contagem de falhas após " + toDecimal(actions.resetSeconds) + u" s";
  for (std::size_t i = 0; i < actions.actions.size(); ++i) {
    const auto& action = actions.actions[i];
    text += u"; " + toDecimal(static_cast<std::uint32_t>(i + 1)) + u"ª falha" +
            (i + 1 == actions.actions.size() ? u" e seguintes" : u"") + u": ";
    switch (action.type) {
      case platform::kActionNone: text += u"nenhuma ação"; continue;
      case platform::kActionRestart: text += u"reiniciar o serviço"; break;
      case platform::kActionReboot: text += u"reiniciar o computador"; break;
      case platform::kActionRunCommand: text += u"executar um programa"; break;
      default: text += u"ação " + toDecimal(action.type); break;
    }
    text += u" após " + toDecimal(action.delayMs) + u" ms";
  }
  return text;
}

}  // namespace usqz
