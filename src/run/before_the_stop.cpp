#include "run/before_the_stop.h"

#include "checks/file_version.h"
#include "checks/location_trust.h"
#include "checks/preflight.h"
#include "checks/trust_check.h"
#include "common/contained_path.h"
#include "platform/text.h"
#include "common/tool_error.h"
#include "run/report/version_facts.h"
#include "run/service/service_rights.h"
#include "run/transaction/own_copy.h"

namespace usqz {

using platform::ServiceStatus;

// The executables' names come from the service name as typed: one that
// climbs out of the tool's folder or names a stream would have the run
// move and delete files that are not the service's.
void refuseNamesOutsideTheToolsFolder(RunContext& c) {
  const auto folder = directoryOf(c.ownPath).size();
  for (const auto* path : {&c.names.pathCurrentBin, &c.names.pathNewBin, &c.names.pathOldBin, &c.names.pathJournal,
                            &c.names.pathCopyBin}) {
    if (!staysInFolder(std::u16string_view(*path).substr(folder))) {
      throw toolError(u"Nome de serviço inválido para os arquivos da ferramenta: " + c.names.pathCurrentBin);
    }
  }
}

// Whether there is a new version to activate, once it has passed its
// checks (held open from now on when its hash or signature are asked
// for). A missing one is said and recorded.
bool newVersionPasses(RunContext& c, const Names& names) {
  if (!c.p.files.fileExists(names.pathNewBin)) {
    if (names.rollback) {
      c.record({u"", u"Não foi encontrada a versão anterior (backup) do serviço " + toAsciiUpper(c.names.serviceName),
                u""},
               u"Não foi encontrada a versão anterior do serviço.");
    } else {
      c.record({u"", u"Não foi encontrada a nova versão do serviço " + toAsciiUpper(c.names.serviceName), u""},
               u"Não foi encontrada a nova versão do serviço.");
    }
    return false;
  }
  // The backup a rollback activates is held to every check a new version
  // is, and named for what it is.
  checkPlainNewVersion(c.p.security, c.p.texts, names);
  checkNewVersionLocation(c.p, c.options, names);
  // An update copies the new version before it checks its content, so
  // that what is checked is what runs.
  const bool copies = !c.options.checkOnly && !names.rollback;
  if (copies || c.options.verifiesNewVersion()) {
    c.held.reset(holdNewVersion(c.p.files, c.p.clock, c.p.texts, names));
    if (copies) {
      c.nextSha256 = copyIntoOwnFile(c.p.files, c.p.security, c.p.texts, c.held.get(), names.pathCopyBin,
                                     names.pathCurrentBin);
      c.copyPending = true;
    }
    if (c.options.verifiesNewVersion()) checkTrust(c.p, c.options, c.held.get(), names, c.nextSha256);
    // Every fact judged or told of the new version is read through the
    // handle the copy was made from, which nobody may write through:
    // whoever may write the new version could have rewritten it since.
    if (c.options.noDowngrade && !names.rollback) refuseDowngrade(c, names);
    if (copies && c.report.asked()) c.nextFacts = versionFactsOf(c, names.pathNewBin, c.nextSha256, c.held.get());
    // From here on the copy stands for the new version.
    if (copies) c.held.reset();
    return true;
  }
  checkNewVersion(c.p.files, c.p.clock, c.p.texts, names);
  // Going back is what a rollback is for.
  if (c.options.noDowngrade && !names.rollback) refuseDowngrade(c, names);
  return true;
}

std::optional<FileVersion> versionOf(RunContext& c, const std::u16string& path, platform::FileHandle held) {
  platform::OwnedFileHandle opened(c.p.files);
  if (!held) {
    const auto open = c.p.files.openToRead(path);
    if (open.error != platform::kOk) return std::nullopt;
    opened.reset(open.handle);
    held = open.handle;
  }
  return fileVersionOf([&c, held](std::uint64_t offset, std::size_t size) {
    return c.p.files.readAt(held, offset, size).bytes;
  });
}

// A signed build with a known hole is still signed: whoever can drop a new
// version must not bring an older one back.
void refuseDowngrade(RunContext& c, const Names& names) {
  const auto next = versionOf(c, names.pathNewBin, c.held.get());
  if (!next) {
    throw toolError(u"A nova versão não tem número de versão (recurso de versão), e --no-downgrade o exige");
  }
  if (!c.p.files.fileExists(names.pathCurrentBin)) return;
  const auto current = versionOf(c, names.pathCurrentBin, {});
  if (!current) {
    c.console.writeLine(u"Service :: a versão atual não tem número de versão: --no-downgrade aceita a nova (" +
                        versionText(*next) + u")");
    return;
  }
  if (*next < *current) {
    throw toolError(u"A nova versão (" + versionText(*next) + u") é anterior à versão atual (" +
                    versionText(*current) + u"), e --no-downgrade a recusa");
  }
}

// Registering a missing service needs the right to create services, and
// the right to list them for the check that comes first; an operator who
// may only stop and start services still gets in without them. Whether
// the run got them.
bool connect(RunContext& c) {
  auto opened = c.p.services.openManager(platform::kManagerConnect | platform::kManagerEnumerateService |
                                        platform::kManagerCreateService);
  const bool mayRegister = opened.error == platform::kOk;
  if (opened.error == platform::kErrorAccessDenied) opened = c.p.services.openManager(platform::kManagerConnect);
  if (opened.error != platform::kOk || !opened.handle) {
    throw toolError(u"Erro ao abrir o gerenciador de serviços");
  }
  c.manager.reset(opened.handle);
  c.console.writeLine(u"SCManager :: conectado");
  c.console.writeLine(u"Service :: name: " + c.names.serviceName);
  return mayRegister;
}

// Opens the service and makes every check that comes before a change:
// true when it is registered; false when it is not (and may be).
bool openAndCheck(RunContext& c, bool mayRegister) {
  const auto opened = c.p.services.openExisting(c.manager.get(), c.names.serviceName, kServiceRights);
  if (opened.error == platform::kOk && opened.handle) {
    c.service.reset(opened.handle);
    checkRegistration(c.p.files, c.p.services, c.p.texts, c.service.get(), c.names);
    c.waits.attach(c.service.get());
    c.console.writeLine(u"Service :: encontrado");
    c.swap.checkOlderBackupRemovable();
    c.swap.checkCurrentMovable();
    return true;
  }
  // Access denied is not "missing": registering would only fail, or name
  // the service itself as the one already using its executable.
  if (!notRegistered(opened.error)) {
    throw toolError(u"Erro ao abrir o serviço: " + c.p.texts.describe(opened.error));
  }
  c.console.writeLine(u"Service :: NÃO encontrado");
  // A rollback has a version to go back to only where one ran.
  if (c.names.rollback) {
    throw toolError(u"O serviço " + c.names.serviceName + u" não está registrado: não há o que reverter");
  }
  // Without the right to register, the registration fails as it is.
  if (mayRegister) refuseSecondService(c.p.files, c.p.services, c.p.texts, c.manager.get(), c.names);
  c.swap.checkOlderBackupRemovable();
  c.swap.checkCurrentMovable();
  return false;
}

// The new version's bytes are the ones that run already: a deployment
// that copied them again after a run that finished (its outcome lost)
// asks for nothing more, and a swap would put the same bytes in place of
// the backup.
bool alreadyRuns(RunContext& c) {
  if (!c.service || c.names.rollback || c.journal.prepared() || !c.p.files.fileExists(c.names.pathCurrentBin)) {
    return false;
  }
  ServiceStatus status;
  if (!c.waits.query(status) || status.dwCurrentState != platform::kServiceRunning || !c.waits.processAlive()) {
    return false;
  }
  const auto current = c.swap.knownSha256Of(c.names.pathCurrentBin);
  if (current.empty()) return false;
  return current == (c.nextSha256.empty() ? c.swap.sha256Of(c.names.pathNewBin, c.held.get()) : c.nextSha256);
}

}  // namespace usqz
