#include "tool.h"

#include <new>

#include "checks/health_command.h"
#include "cli/command_line.h"
#include "common/console.h"
#include "common/tool_error.h"
#include "run/outcome.h"
#include "run/report/tell_outcome.h"
#include "run/release/dead_release.h"
#include "run/release/release_file.h"
#include "run/release/release_run.h"
#include "run/update_run.h"

namespace usqz {

namespace {

void writeUsage(Console& console) {
  console.writeLine(u"");
  console.writeLine(u"Uso: updateserviceqz --service-name nome_do_servico");
  console.writeLine(u"");
}

// Two runs for one set of executables would swap files under each other: a
// second run that finds their lock held touches nothing. Every service name
// that maps to the same executables shares the lock.
Outcome runLocked(platform::Platform& p, Console& console, const Options& options, std::u16string_view ownPath,
                  RunReport& report) {
  RunLocks locks(p, ownPath);
  const auto taken = locks.take(options.serviceName);
  if (taken == RunLocks::Taken::Busy) {
    console.writeLine(u"Outra atualização do serviço " + options.serviceName + u" já está em andamento.");
    return Outcome::Busy;
  }
  if (taken == RunLocks::Taken::Failed) {
    std::u16string why = p.texts.describe(locks.error());
    // Created first by someone who gave us no access: not a run under way.
    if (locks.error() == platform::kErrorAccessDenied) {
      why = u"o bloqueio existe e não pode ser aberto (acesso negado); foi criado por outro usuário";
    }
    // A dead run's journal goes unread: its service may be down.
    const auto left = journalsLeftUnread(p.files, {options.serviceName}, ownPath);
    console.writeLine(u"Não foi possível obter o bloqueio da atualização do serviço " + options.serviceName + u": " +
                      why + left);
    return left.empty() ? Outcome::Unchanged : Outcome::Down;
  }
  // An abandoned lock says a run died; its journal, if it left one, says
  // what to undo, and the run reads it first whatever the lock said. A
  // dead release's is undone as a whole, with its other services' locks.
  UpdateRun run(p, console, options, ownPath, report);
  auto& c = run.context();
  c.recoverRelease = [&]() -> std::optional<Outcome> {
    const auto dead = recoverDeadReleases(p, console, options, ownPath, {options.serviceName}, locks);
    if (dead.kind == DeadRelease::Kind::Busy || dead.kind == DeadRelease::Kind::LockFailed) {
      return lockNotHad(p, console, dead.service, dead.kind == DeadRelease::Kind::Busy, locks.error(), dead.services,
                        ownPath);
    }
    c.recovered = dead.endOf(p.files, options.serviceName);
    c.releaseRecoverySaid = dead.said;
    return std::nullopt;
  };
  return run.execute();
}

// A release: its file read and judged, every service's options checked as
// the command line's would be, before any lock is taken.
Outcome runReleaseFile(platform::Platform& p, Console& console, const Options& options, std::u16string_view ownPath) {
  auto read = readRelease(p, options.releasePath, ownPath);
  if (read.kind == ReleaseRead::Kind::Malformed) {
    console.writeLine(u"Erro: Opção inválida: " + read.why);
    return Outcome::Usage;
  }
  if (read.kind == ReleaseRead::Kind::Untrusted) {
    console.writeLine(u"Erro: o arquivo da atualização conjunta não é confiável: " + read.why);
    return Outcome::Unchanged;
  }
  for (auto& service : read.services) {
    auto member = memberOptions(options, service);
    auto why = resolveHealthCommands(p.files, member);
    if (!why) why = untrustedHealthCommand(p, member);
    if (!why) why = reportOverwritesRunFiles(p.files, member, ownPath);
    if (why) {
      console.writeLine(u"Erro: Opção inválida: serviço " + service.name + u": " + *why);
      return Outcome::Usage;
    }
    // The commands run as they were judged: resolved once.
    service.health = std::move(member.health);
  }
  console.makeBestEffort();
  const bool told = !options.reportPath.empty() || options.eventLog;
  const auto host = told ? p.events.computerName() : std::u16string();
  ReleaseReports reports;
  for (const auto& service : read.services) {
    reports.services.push_back(std::make_unique<RunReport>(told, p.clock));
    reports.services.back()->begin(options.checkOnly  ? RunAction::Check
                                   : options.rollback ? RunAction::Rollback
                                                      : RunAction::Update,
                                   service.name, host);
  }
  const auto outcome = runRelease(p, console, options, read.services, ownPath, reports);
  for (std::size_t i = 0; i < reports.services.size(); ++i) {
    reports.services[i]->end(reports.outcomes[i], exitStatusFor(reports.outcomes[i], true));
  }
  if (told) {
    std::vector<const RunReport*> services;
    for (const auto& report : reports.services) services.push_back(report.get());
    tellReleaseOutcome(p, console, options, outcome, services, ownPath);
  }
  return outcome;
}

// Any fixed address in the tool's code will do for the report.
std::uint32_t reportAddress() {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&runTool));
}

}  // namespace

int runTool(platform::Platform& p) {
  Console console(p.files);
  const auto ownPath = p.files.ownExecutablePath();
  const std::u16string module = ownPath ? std::u16string(fileNameOf(*ownPath)) : u"UpdateServiceQZ.exe";
  Options options;
  Outcome outcome = Outcome::Usage;
  const auto escape = [&](const ToolError& error) {
    console.flushQuietly();
    reportEscapedError(p.files, error, module, reportAddress());
    return exitStatusFor(Outcome::Escaped, options.exitCode);
  };
  try {
    options = scanOptions(programArguments(p.files.commandLine()));
    if (options.malformed.empty() && !options.serviceName.empty()) {
      if (auto why = resolveHealthCommands(p.files, options)) options.malformed = std::move(*why);
      if (options.malformed.empty()) {
        if (auto why = untrustedHealthCommand(p, options)) options.malformed = std::move(*why);
      }
    }
    if (options.malformed.empty() && !options.serviceName.empty() && ownPath) {
      if (auto why = reportOverwritesRunFiles(p.files, options, *ownPath)) options.malformed = std::move(*why);
    }
    if (!options.releasePath.empty() && options.malformed.empty()) {
      // Every file the run works with lies beside the tool.
      if (!ownPath) throw toolError(u"Não foi possível ler o caminho da ferramenta");
      outcome = runReleaseFile(p, console, options, *ownPath);
    } else if (options.serviceName.empty() && options.releasePath.empty()) {
      writeUsage(console);
    } else if (!options.malformed.empty()) {
      // Refused before anything is touched, the result file included.
      console.writeLine(u"Erro: Opção inválida: " + options.malformed);
    } else if (!ownPath) {
      // Every file the run works with lies beside the tool: without its
      // whole path there is no telling where that is.
      throw toolError(u"Não foi possível ler o caminho da ferramenta");
    } else {
      // Output lost halfway must not change what the run does: it is
      // reported once the service work is done and the outcome recorded.
      console.makeBestEffort();
      const bool told = !options.reportPath.empty() || options.eventLog;
      RunReport report(told, p.clock);
      report.begin(options.checkOnly  ? RunAction::Check
                   : options.rollback ? RunAction::Rollback
                                      : RunAction::Update,
                   options.serviceName, told ? p.events.computerName() : std::u16string());
      outcome = runLocked(p, console, options, *ownPath, report);
      report.end(outcome, exitStatusFor(outcome, true));
      if (told) tellOutcome(p, console, options, report, *ownPath);
    }
  } catch (const ToolError& error) {
    return escape(error);
  } catch (const std::bad_alloc&) {
    return escape(toolError(u"Out of memory"));
  }
  if (const auto& failure = console.firstFailure()) return escape(*failure);
  console.flushQuietly();
  return exitStatusFor(outcome, options.exitCode);
}

}  // namespace usqz
