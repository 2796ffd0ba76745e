#include "run/run_context.h"

#include "common/result_file.h"

namespace usqz {

RunContext::RunContext(platform::Platform& platform, Console& console, const Options& options,
                       std::u16string_view ownExecutablePath, RunReport& report)
    : p(platform),
      console(console),
      options(options),
      ownPath(ownExecutablePath),
      updateNames(deriveNames(options.serviceName, ownExecutablePath)),
      names(options.rollback ? rollbackNames(updateNames) : updateNames),
      held(platform.files),
      manager(platform.services),
      service(platform.services),
      waits(platform.clock, platform.processes, platform.services, platform.texts),
      swap(platform.files, platform.clock, platform.texts, platform.trust, console, names),
      dependents(platform, console),
      health(platform, console, options),
      restore(platform, console, swap, health),
      journal(platform.files, platform.security, platform.clock, platform.texts, names.pathJournal),
      recovery(platform, console, options, updateNames, dependents, health, journal),
      report(report) {}

void RunContext::record(std::initializer_list<std::u16string> lines, std::u16string_view result) {
  if (options.checkOnly) {
    for (const auto& line : lines) console.writeLine(line);
    return;
  }
  report.result(std::u16string(result));
  const auto saveFailure = SaveResultQuietly(p, names.logFilename, result);
  for (const auto& line : lines) console.writeLine(line);
  if (saveFailure) console.writeLine(*saveFailure);
}

void RunContext::recordError(const std::u16string& message) {
  record({u"Ocorreu um erro ao atualizar o serviço: " + options.serviceName + u". Erro: " + message},
         u"Erro: " + message);
}

std::u16string_view stateName(std::uint32_t state) {
  switch (state) {
    case platform::kServiceStopped: return u"parado";
    case platform::kServiceStopPending: return u"parando";
    case platform::kServiceStartPending: return u"iniciando";
    case platform::kServiceRunning: return u"iniciado";
    case platform::kServicePaused: return u"pausado";
    case platform::kServicePausePending: return u"pausando";
    default: return u"retomando";
  }
}

}  // namespace usqz
