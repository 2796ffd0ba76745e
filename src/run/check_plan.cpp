#include "run/check_plan.h"

#include "common/duration_text.h"

#include "common/tool_error.h"
#include "checks/file_version.h"
#include "run/before_the_stop.h"
#include "platform/text.h"

namespace usqz {

namespace {

// Each version's number as its version resource gives it: which build runs,
// which would, and (for a rollback) which the backup is.
void writeVersions(RunContext& c) {
  const auto line = [&c](std::u16string_view label, const std::u16string& path, platform::FileHandle held) {
    if (!c.p.files.fileExists(path)) return;
    const auto version = versionOf(c, path, held);
    c.console.writeLine(u"Versões :: " + std::u16string(label) + u": " +
                        (version ? versionText(*version) : u"sem número de versão") + u" (" +
                        std::u16string(fileNameOf(path)) + u")");
  };
  line(u"atual", c.names.pathCurrentBin, {});
  if (c.names.rollback) {
    line(u"backup", c.names.pathNewBin, c.held.get());
    line(u"nova", c.updateNames.pathNewBin, {});
  } else {
    line(u"nova", c.names.pathNewBin, c.held.get());
  }
}

}  // namespace

Outcome checkOnly(RunContext& c) {
  // A run would undo an interrupted one first, a dead release's as a
  // whole: what that would do, or why it could not.
  if (c.recoverRelease) {
    if (const auto ended = c.recoverRelease()) return *ended;
  }
  std::vector<std::u16string> said;
  RecoveryEnd pending;
  if (c.recovered) {
    pending = *c.recovered;
    said = c.releaseRecoverySaid;
  } else {
    std::vector<std::u16string> recovery;
    pending = c.recovery.plan(recovery);
    said.push_back(u"Verificação: uma atualização anterior foi interrompida; nada foi alterado. A próxima "
                   u"execução, antes de tudo:");
    for (const auto& line : recovery) said.push_back(u"  -> " + line);
  }
  if (pending.kind == RecoveryEnd::Kind::Failed || pending.kind == RecoveryEnd::Kind::Refused) {
    c.recordError(pending.message);
    return pending.kind == RecoveryEnd::Kind::Failed ? Outcome::Down : Outcome::Unchanged;
  }
  if (pending.kind == RecoveryEnd::Kind::RolledBack) {
    c.console.writeLine(u"");
    for (const auto& line : said) c.console.writeLine(line);
    c.console.writeLine(u"e a atualização terminaria revertida");
    c.console.writeLine(u"");
    return Outcome::RolledBack;
  }
  if (pending.kind != RecoveryEnd::Kind::Nothing) {
    // Then the update is tried again: its new version is held to the same
    // checks, where it is now.
    auto after = c.names;
    after.pathNewBin = pending.newVersionAt;
    // A dead release is said whatever each of its services finds after it.
    const auto say = [&] {
      c.console.writeLine(u"");
      for (const auto& line : said) c.console.writeLine(line);
    };
    if (c.recovered) say();
    if (pending.kind == RecoveryEnd::Kind::Undone && !newVersionPasses(c, after)) return Outcome::NothingToDo;
    if (!c.recovered) say();
    c.console.writeLine(pending.kind == RecoveryEnd::Kind::Undone ? u"e então tentaria a atualização de novo"
                                                                   : u"e a atualização estaria concluída");
    c.console.writeLine(u"");
    return Outcome::Updated;
  }
  if (!newVersionPasses(c, c.names)) return Outcome::NothingToDo;
  const bool mayRegister = connect(c);
  std::vector<std::u16string> plan;
  if (openAndCheck(c, mayRegister)) {
    const bool runsTheNewVersion = alreadyRuns(c);
    const auto status = c.waits.queryOrFail();
    c.console.writeLine(u"Service :: status: " + std::u16string(stateName(status.dwCurrentState)));
    if (runsTheNewVersion) {
      c.console.writeLine(u"");
      c.console.writeLine(u"Verificação: a nova versão já está em execução; nada foi alterado. A atualização:");
      c.console.writeLine(u"  -> removeria a cópia da nova versão (NEW)");
      c.console.writeLine(u"");
      return Outcome::Updated;
    }
    if (status.dwCurrentState == platform::kServiceStopPending) {
      plan.push_back(u"aguardaria a parada do serviço");
    } else if (status.dwCurrentState != platform::kServiceStopped) {
      const auto dependents = c.dependents.wouldStop(c.service.get(), status, c.options.stopDependents);
      if (!dependents.empty()) plan.push_back(u"pararia os dependentes: " + joined(dependents));
      plan.push_back(u"pararia o serviço");
    }
  } else {
    // Without the right to register, the run's registration would fail.
    if (!mayRegister) {
      throw toolError(u"Erro ao instalar o serviço: " + c.p.texts.describe(platform::kErrorAccessDenied));
    }
    plan.push_back(u"registraria o serviço");
  }
  c.journal.probeWritable();
  const bool rollback = c.names.rollback;
  if (c.p.files.fileExists(c.names.pathCurrentBin)) {
    if (rollback) {
      c.swap.checkOlderBackupRemovable();
      plan.push_back(u"guardaria a versão atual: EXE -> ROLLBACK");
    } else {
      if (c.p.files.fileExists(c.names.pathOldBin)) plan.push_back(u"removeria a versão antiga (OLD)");
      plan.push_back(u"faria o backup da versão atual: EXE -> OLD");
    }
  }
  // Which versions, whenever both say.
  if (const auto next = versionOf(c, c.names.pathNewBin, c.held.get())) {
    const bool hasCurrent = c.p.files.fileExists(c.names.pathCurrentBin);
    if (const auto current = hasCurrent ? versionOf(c, c.names.pathCurrentBin, {}) : std::nullopt) {
      plan.insert(plan.begin(), u"substituiria a versão " + versionText(*current) + u" pela " + versionText(*next));
    }
  }
  plan.push_back(rollback ? u"reativaria a versão anterior: OLD -> EXE" : u"ativaria a nova versão: NEW -> EXE");
  plan.push_back(u"iniciaria o serviço");
  if (c.options.watchSeconds > 0) {
    plan.push_back(u"observaria a nova versão por " + durationText(c.options.watchSeconds) +
                   u" antes de dá-la por atualizada");
  }
  if (rollback) plan.push_back(u"guardaria a versão substituída como backup: ROLLBACK -> OLD");
  writeVersions(c);
  c.console.writeLine(u"");
  c.console.writeLine(rollback ? u"Verificação: a reversão seguiria adiante; nada foi alterado. Ela:"
                               : u"Verificação: a atualização seguiria adiante; nada foi alterado. Ela:");
  for (const auto& step : plan) c.console.writeLine(u"  -> " + step);
  c.console.writeLine(u"");
  return Outcome::Updated;
}

}  // namespace usqz
