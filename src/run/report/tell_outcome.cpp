#include "run/report/tell_outcome.h"

#include "checks/location_trust.h"
#include "platform/text.h"
#include "common/duration_text.h"
#include "common/private_file.h"

namespace usqz {

namespace {

std::u16string versionLine(const std::optional<VersionFacts>& facts) {
  if (!facts) return u"nenhuma";
  std::u16string line = facts->fileVersion.empty() ? u"sem número de versão" : facts->fileVersion;
  line += u" (" + facts->path;
  if (!facts->sha256.empty()) line += u", SHA-256 " + facts->sha256;
  return line + u")";
}

// Temporary file, flushed, then put in place in one step: a reader finds
// the last report whole or this one whole. Its name is one nobody can
// guess, created new: nothing found near the report's name is ever
// written through or deleted. Empty when written, else why not.
std::u16string writeReport(platform::Platform& p, const std::u16string& path, const std::string& bytes) {
  // Whoever may change the folder may replace the report once written,
  // or swap what the temporary name stands for.
  const auto final = p.files.finalPath(path);
  const auto folder = directoryOf(final);
  if (!folder.empty()) {
    const auto facts = p.security.inspect(folder);
    if (facts.error != platform::kOk) return p.texts.describe(facts.error);
    if (const auto why = whyUntrusted(facts)) return u"a pasta " + std::u16string(folder) + u" " + *why;
  }
  if (const auto error = writeAnew(p.files, p.processes, path, bytes, Readers::Administrators)) {
    return p.texts.describe(error);
  }
  return {};
}

}  // namespace

OutcomeEvent eventFor(const RunReport& report) {
  using platform::EventType;
  switch (report.outcome()) {
    case Outcome::Updated:
      return {report.action() == RunAction::Rollback ? 1006u : 1000u, EventType::Information};
    case Outcome::NothingToDo: return {1001, EventType::Information};
    case Outcome::Unchanged: return {1002, EventType::Warning};
    case Outcome::RolledBack: return {1003, EventType::Warning};
    case Outcome::Busy: return {1005, EventType::Warning};
    default: break;
  }
  return {1004, EventType::Error};
}

std::vector<std::u16string> eventStrings(const RunReport& report) {
  std::u16string result;
  if (report.resultLine()) {
    result = *report.resultLine();
  } else if (report.outcome() == Outcome::Busy) {
    result = u"Outra atualização do serviço " + report.service() + u" já está em andamento.";
  } else {
    result = u"(sem arquivo de resultado)";
  }
  if (const auto& watch = report.watchFacts()) {
    result += u" (observação: " + durationText(static_cast<std::uint32_t>(watch->watchedSeconds)) + u" de " + durationText(watch->askedSeconds) +
              u", " + toDecimal(watch->healthRounds) + u" rodadas de verificação de saúde, " +
              toDecimal(watch->failures) + u" com falha)";
  }
  return {report.service(),
          result,
          versionLine(report.previousVersion()),
          versionLine(report.nextVersion()),
          versionLine(report.runningVersion()),
          toDecimal(exitStatusFor(report.outcome(), true))};
}

std::optional<std::u16string> reportOverwritesRunFiles(platform::FileAndProcess& files, const Options& options,
                                                      std::u16string_view ownPath) {
  if (options.reportPath.empty()) return std::nullopt;
  const auto comparable = [&files](std::u16string_view path) {
    // A bare name lies in the working directory, as the system opens it.
    const bool absolute = (path.size() >= 2 && path[1] == u':') || path.rfind(u"\\\\", 0) == 0;
    return files.comparablePath(files.finalPath(absolute ? std::u16string(path) : u".\\" + std::u16string(path)));
  };
  const auto report = comparable(options.reportPath);
  const auto names = deriveNames(options.serviceName, ownPath);
  for (const auto& path : {names.pathCurrentBin, names.pathNewBin, names.pathOldBin, rollbackNames(names).pathOldBin,
                           names.pathJournal, names.pathJournal + u".tmp", names.pathCopyBin, names.logFilename,
                           std::u16string(ownPath)}) {
    if (comparable(path) == report) return u"--report sobre um arquivo da ferramenta: " + options.reportPath;
  }
  return std::nullopt;
}

void tellReleaseOutcome(platform::Platform& p, Console& console, const Options& options, Outcome outcome,
                        const std::vector<const RunReport*>& services, std::u16string_view ownPath) {
  if (services.empty()) return;
  const auto action = services.front()->action();
  if (!options.reportPath.empty()) {
    if (const auto why = writeReport(p, options.reportPath, releaseJson(options.releasePath, action, outcome, services));
        !why.empty()) {
      console.writeLine(u"Relatório não gravado: " + options.reportPath + u": " + why);
    }
  }
  if (!options.eventLog || options.checkOnly) return;
  // One event for the release: each of its services on a line of every
  // field, the release's outcome for the event's ID.
  std::vector<std::u16string> strings(6);
  for (const auto* service : services) {
    const auto one = eventStrings(*service);
    for (std::size_t i = 0; i < 5; ++i) {
      if (!strings[i].empty()) strings[i] += i == 0 ? u", " : u"; ";
      strings[i] += i == 0 ? one[i] : service->service() + u": " + one[i];
    }
  }
  strings[5] = toDecimal(exitStatusFor(outcome, true));
  RunReport release(true, p.clock);
  release.begin(action, {}, {});
  release.end(outcome, exitStatusFor(outcome, true));
  tellEvent(p, console, eventFor(release), strings, ownPath);
}

void tellOutcome(platform::Platform& p, Console& console, const Options& options, const RunReport& report,
                 std::u16string_view ownPath) {
  if (!options.reportPath.empty()) {
    if (const auto why = writeReport(p, options.reportPath, report.json()); !why.empty()) {
      console.writeLine(u"Relatório não gravado: " + options.reportPath + u": " + why);
    }
  }
  // A check changes nothing: nothing for the log to keep.
  if (!options.eventLog || options.checkOnly) return;
  tellEvent(p, console, eventFor(report), eventStrings(report), ownPath);
}

void tellEvent(platform::Platform& p, Console& console, const OutcomeEvent& event,
               const std::vector<std::u16string>& strings, std::u16string_view ownPath) {
  const auto registration = p.events.registerSource(kEventSource, ownPath);
  if (registration.kind == platform::SourceRegistration::Kind::Failed) {
    console.writeLine(u"Registro de eventos: a origem " + std::u16string(kEventSource) +
                      u" não pôde ser registrada (" + p.texts.describe(registration.error) +
                      u"); o evento é gravado sem o texto da mensagem");
  }
  if (const auto error = p.events.report(kEventSource, event.type, event.id, strings)) {
    console.writeLine(u"Registro de eventos: o evento não pôde ser gravado: " + p.texts.describe(error));
  }
}

}  // namespace usqz
