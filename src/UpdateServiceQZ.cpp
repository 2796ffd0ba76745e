#include "UpdateServiceQZ.h"

#include <exception>
#include <new>

#include "command_line.h"
#include "console.h"
#include "result_file.h"
#include "text.h"
#include "tool_error.h"

namespace usqz {

namespace {

using platform::FileAndProcess;
using platform::ServiceControl;

class UpdateRun {
 public:
  UpdateRun(FileAndProcess& os, ServiceControl& services, Console& console, std::u16string_view serviceName,
            std::u16string_view ownExecutablePath)
      : os_(os),
        services_(services),
        console_(console),
        serviceName_(serviceName),
        ownExecutablePath_(ownExecutablePath) {}

  // The run's one error handler: whatever fails is reported on the console
  // and recorded in the result file. Only a failure of that report escapes.
  void execute() {
    try {
      steps();
    } catch (const ToolError& error) {
      recordError(error.message());
    } catch (const std::bad_alloc&) {
      recordError(u"Out of memory");
    } catch (const std::exception& error) {
      recordError(fromUtf8(error.what()));
    }
  }

 private:
  void steps() {
    names_ = deriveNames(serviceName_, ownExecutablePath_);
    os_.removeFile(names_.logFilename);

    if (!os_.fileExists(names_.pathNewBin)) {
      console_.writeLine(u"");
      console_.writeLine(u"Não foi encontrada a nova versão do serviço " + toAsciiUpper(names_.serviceName));
      console_.writeLine(u"");
      SaveResult(os_, console_, names_.logFilename, u"Não foi encontrada a nova versão do serviço.");
      return;
    }
  }

  void recordError(const std::u16string& message) {
    console_.writeLine(u"Ocorreu um erro ao atualizar o serviço: " + serviceName_ + u". Erro: " + message);
    // The names may not have been derived when the failure came.
    SaveResult(os_, console_, u"updateServiceQZ-" + serviceName_ + u".txt", u"Erro: " + message);
  }

  FileAndProcess& os_;
  ServiceControl& services_;
  Console& console_;
  std::u16string serviceName_;
  std::u16string ownExecutablePath_;
  Names names_;
};

void writeUsage(Console& console) {
  console.writeLine(u"");
  console.writeLine(u"Uso: updateserviceqz --service-name nome_do_servico");
  console.writeLine(u"");
}

// Any fixed address in the tool's code will do for the report.
std::uint32_t reportAddress() {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&runTool));
}

}  // namespace

int runTool(FileAndProcess& os, ServiceControl& services) {
  Console console(os);
  const auto ownPath = os.ownExecutablePath();
  try {
    const auto serviceName = scanServiceName(programArguments(os.commandLine()));
    if (serviceName.empty()) {
      writeUsage(console);
    } else {
      UpdateRun(os, services, console, serviceName, ownPath).execute();
    }
  } catch (const ToolError& error) {
    console.flushQuietly();
    reportEscapedError(os, error, fileNameOf(ownPath), reportAddress());
    return 1;
  } catch (const std::bad_alloc&) {
    console.flushQuietly();
    reportEscapedError(os, toolError(u"Out of memory"), fileNameOf(ownPath), reportAddress());
    return 1;
  }
  console.flushQuietly();
  return 0;
}

}  // namespace usqz
