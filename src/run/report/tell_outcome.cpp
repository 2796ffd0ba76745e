#include "run/report/tell_outcome.h"

#include "platform/text.h"
#include "run/private_file.h"

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
// the last report whole or this one whole. The name is the process's own;
// one a dead run with the same number left is taken over, anything else
// there is never written through.
platform::OsError writeReport(platform::Platform& p, const std::u16string& path, const std::string& bytes) {
  const auto temporary = path + u"." + toDecimal(p.processes.currentProcessId()) + u".tmp";
  const auto created = createPrivateFileAnew(p.files, p.security, temporary).opened;
  if (created.error != platform::kOk) return created.error;
  return putInPlace(p.files, created.handle, temporary, path, bytes);
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
  return {report.service(),
          result,
          versionLine(report.previousVersion()),
          versionLine(report.nextVersion()),
          versionLine(report.runningVersion()),
          toDecimal(exitStatusFor(report.outcome(), true))};
}

void tellOutcome(platform::Platform& p, Console& console, const Options& options, const RunReport& report,
                 std::u16string_view ownPath) {
  if (!options.reportPath.empty()) {
    if (const auto error = writeReport(p, options.reportPath, report.json())) {
      console.writeLine(u"Relatório não gravado: " + options.reportPath + u": " + p.texts.describe(error));
    }
  }
  // A check changes nothing: nothing for the log to keep.
  if (!options.eventLog || options.checkOnly) return;
  const auto registration = p.events.registerSource(kEventSource, ownPath);
  if (registration.kind == platform::SourceRegistration::Kind::Failed) {
    console.writeLine(u"Registro de eventos: a origem " + std::u16string(kEventSource) +
                      u" não pôde ser registrada (" + p.texts.describe(registration.error) +
                      u"); o evento é gravado sem o texto da mensagem");
  }
  const auto event = eventFor(report);
  if (const auto error = p.events.report(kEventSource, event.type, event.id, eventStrings(report))) {
    console.writeLine(u"Registro de eventos: o evento não pôde ser gravado: " + p.texts.describe(error));
  }
}

}  // namespace usqz
