#include "checks/preflight.h"

#include "platform/held_files.h"
#include "checks/image_check.h"
#include "common/tool_error.h"
#include "platform/text.h"

namespace usqz {

namespace {

using platform::kOk;

void refuseDefects(platform::FileAndProcess& os, platform::ErrorTexts& texts, platform::OsError error,
                   const platform::FileHead& head, const Names& names) {
  const auto which = versionBeingActivated(names);
  if (isHeldFileError(error)) {
    throw toolError(u"A " + which + u" ainda está sendo gravada ou está em uso por outro processo");
  }
  if (error != kOk) throw toolError(u"Não foi possível ler a " + which + u": " + texts.describe(error));
  if (const auto defect = imageDefect(head.bytes, head.size, os.runnableMachines())) {
    throw toolError(u"A " + which + u" não é um executável válido: " + *defect);
  }
}

}  // namespace

void checkNewVersion(platform::FileAndProcess& os, platform::Clock& clock, platform::ErrorTexts& texts,
                     const Names& names) {
  platform::FileHead head;
  const auto error = retryWhileHeld(clock, [&] {
    head = os.readFileHead(names.pathNewBin, kImageHeadBytes);
    return head.error;
  });
  refuseDefects(os, texts, error, head, names);
}

platform::FileOpenResult openToActivateWaiting(platform::FileAndProcess& os, platform::Clock& clock,
                                               const std::u16string& path) {
  platform::FileOpenResult opened;
  retryWhileHeld(clock, [&] {
    opened = os.openToActivate(path);
    return opened.error;
  });
  return opened;
}

platform::FileHandle holdNewVersion(platform::FileAndProcess& os, platform::Clock& clock, platform::ErrorTexts& texts,
                                    const Names& names) {
  const auto opened = openToActivateWaiting(os, clock, names.pathNewBin);
  const auto error = opened.error;
  platform::FileHead head;
  head.error = error;
  if (error == kOk) head = os.readHead(opened.handle, kImageHeadBytes);
  platform::OwnedFileHandle held(os, error == kOk ? opened.handle : platform::FileHandle());
  refuseDefects(os, texts, head.error, head, names);
  return held.release();
}

std::vector<std::u16string> programCandidates(std::u16string_view commandLine) {
  while (!commandLine.empty() && isBlank(commandLine.front())) commandLine.remove_prefix(1);
  if (!commandLine.empty() && commandLine.front() == u'"') {
    commandLine.remove_prefix(1);
    return {std::u16string(commandLine.substr(0, commandLine.find(u'"')))};
  }
  std::vector<std::u16string> candidates;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    if (isBlank(commandLine[i]) && i > 0 && !isBlank(commandLine[i - 1])) {
      candidates.emplace_back(commandLine.substr(0, i));
    }
  }
  std::size_t end = commandLine.size();
  while (end > 0 && isBlank(commandLine[end - 1])) --end;
  if (end > 0) candidates.emplace_back(commandLine.substr(0, end));
  return candidates;
}

bool runsExecutable(platform::FileAndProcess& os, std::u16string_view commandLine, std::u16string_view path) {
  const auto byFolder = [&os](std::u16string_view file) {
    return os.comparablePath(directoryOf(file)) + os.upperCase(fileNameOf(file));
  };
  const auto wanted = os.comparablePath(path);
  const auto wantedByFolder = byFolder(path);
  for (const auto& candidate : programCandidates(os.expandEnvironment(commandLine))) {
    for (const auto& name : {candidate, candidate + u".exe"}) {
      if (os.comparablePath(name) == wanted || byFolder(name) == wantedByFolder) return true;
    }
  }
  return false;
}

void checkRegistration(platform::FileAndProcess& os, platform::ServiceControl& services,
                       platform::ErrorTexts& texts, platform::ServiceHandle service, const Names& names) {
  const auto config = services.queryConfig(service);
  if (config.error != kOk) {
    throw toolError(u"Erro ao ler a configuração do serviço: " + texts.describe(config.error));
  }
  if (!runsExecutable(os, config.binaryPath, names.pathCurrentBin)) {
    throw toolError(u"O serviço executa outro arquivo: " + config.binaryPath);
  }
  // A disabled service cannot be started again once stopped.
  if (config.startType == platform::kServiceDisabled) {
    throw toolError(u"O serviço está desativado e não poderia ser iniciado novamente");
  }
}

void refuseSecondService(platform::FileAndProcess& os, platform::ServiceControl& services,
                         platform::ErrorTexts& texts, platform::ServiceHandle manager, const Names& names) {
  const auto list = services.listServices(manager);
  if (list.error != kOk) {
    throw toolError(u"Erro ao verificar os serviços registrados: " + texts.describe(list.error));
  }
  for (const auto& name : list.names) {
    const auto opened = services.openExisting(manager, name, platform::kServiceQueryConfig);
    if (opened.error != kOk || !opened.handle) continue;  // gone meanwhile, or not ours to read
    const platform::OwnedServiceHandle service(services, opened.handle);
    const auto config = services.queryConfig(service.get());
    if (config.error == kOk && runsExecutable(os, config.binaryPath, names.pathCurrentBin)) {
      throw toolError(u"O executável já é usado pelo serviço " + name + u": " + names.pathCurrentBin);
    }
  }
}

}  // namespace usqz
