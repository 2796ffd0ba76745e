#include "tool.h"

#include <memory>
#include <new>
#include <optional>

#include "checks/health_command.h"
#include "cli/command_line.h"
#include "common/console.h"
#include "common/tool_error.h"
#include "run/outcome.h"
#include "run/report/tell_outcome.h"
#include "run/release/release_file.h"
#include "run/release/release_run.h"

namespace usqz {

namespace {

void writeUsage(Console& console) {
  console.writeLine(u"");
  console.writeLine(u"Uso: updateserviceqz --service-name nome_do_servico");
  console.writeLine(u"");
}

RunAction actionOf(const Options& options) {
  return options.checkOnly ? RunAction::Check : options.rollback ? RunAction::Rollback : RunAction::Update;
}

// A service's options as its run takes them: its health commands resolved
// and judged, its report kept off the files the run works on; why not.
// The command line's service and each of a release's go through it alike.
std::optional<std::u16string> judgeOptions(platform::Platform& p, Options& options,
                                           const std::optional<std::u16string>& ownPath) {
  if (auto why = resolveHealthCommands(p.files, options)) return why;
  if (auto why = untrustedHealthCommand(p, options)) return why;
  if (ownPath) return reportOverwritesRunFiles(p.files, options, *ownPath);
  return std::nullopt;
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
  // Each service's options are judged once, and run as judged.
  std::vector<Options> members;
  for (const auto& service : read.services) {
    auto member = memberOptions(options, service);
    if (const auto why = judgeOptions(p, member, std::u16string(ownPath))) {
      console.writeLine(u"Erro: Opção inválida: serviço " + service.name + u": " + *why);
      return Outcome::Usage;
    }
    members.push_back(std::move(member));
  }
  console.makeBestEffort();
  const bool told = !options.reportPath.empty() || options.eventLog;
  const auto host = told ? p.events.computerName() : std::u16string();
  std::vector<std::unique_ptr<RunReport>> owned;
  ReleaseReports reports;
  for (const auto& service : read.services) {
    owned.push_back(std::make_unique<RunReport>(told, p.clock));
    owned.back()->begin(actionOf(options), service.name, host);
    reports.services.push_back(owned.back().get());
  }
  const auto outcome = runRelease(p, console, options, members, ownPath, reports, Asked::ReleaseFile);
  for (std::size_t i = 0; i < reports.services.size(); ++i) {
    reports.services[i]->end(reports.outcomes[i], exitStatusFor(reports.outcomes[i], true));
  }
  if (told) {
    std::vector<const RunReport*> services(reports.services.begin(), reports.services.end());
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
      if (auto why = judgeOptions(p, options, ownPath)) options.malformed = std::move(*why);
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
      report.begin(actionOf(options), options.serviceName, told ? p.events.computerName() : std::u16string());
      // One service is a release of one.
      const std::vector<Options> members{options};
      ReleaseReports reports;
      reports.services.push_back(&report);
      outcome = runRelease(p, console, options, members, *ownPath, reports, Asked::CommandLine);
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
