#include "UpdateServiceQZ.h"

#include <algorithm>
#include <exception>
#include <new>

#include "command_line.h"
#include "console.h"
#include "contained_path.h"
#include "result_file.h"
#include "text.h"
#include "tool_error.h"

namespace usqz {

namespace {

using platform::ErrorTexts;
using platform::FileAndProcess;
using platform::OsError;
using platform::OwnedServiceHandle;
using platform::ServiceControl;
using platform::ServiceStatus;

// A service that stopped with this code left its own code in
// dwServiceSpecificExitCode, the only part that tells what went wrong.
constexpr OsError kErrorServiceSpecificError = 1066;

// Pauses between status queries, and how long a move or a start is tried
// again while a scanner or an exiting service process still holds on.
constexpr std::uint32_t kPollMs = 100;
constexpr std::uint64_t kLetGoMs = 5'000;
// An exiting process is gone within milliseconds, and the service is down
// meanwhile: its start is tried again sooner than the status is polled.
constexpr std::uint32_t kStartRetryMs = 10;
// A wait gives up when the service shows no progress for longer than the
// larger of its wait hint and this, or when it has lasted the whole limit.
constexpr std::uint64_t kMinPatienceMs = 30'000;
constexpr std::uint64_t kWaitLimitMs = 600'000;
// How long a freshly started service is watched before it counts as running.
constexpr std::uint64_t kStartWatchMs = 1'500;

constexpr std::uint32_t kServiceRights =
    platform::kServiceQueryStatus | platform::kServiceStart | platform::kServiceStop;

// Whether a service that is changing state is still worth waiting for.
class ProgressWatch {
 public:
  ProgressWatch(std::uint64_t now, const ServiceStatus& status)
      : started_(now), lastProgress_(now), state_(status.dwCurrentState), checkPoint_(status.dwCheckPoint) {}

  bool stillPatient(const ServiceStatus& status, std::uint64_t now) {
    if (status.dwCurrentState != state_ || status.dwCheckPoint != checkPoint_) {
      state_ = status.dwCurrentState;
      checkPoint_ = status.dwCheckPoint;
      lastProgress_ = now;
    }
    const std::uint64_t patience = std::max<std::uint64_t>(status.dwWaitHint, kMinPatienceMs);
    return now - lastProgress_ <= patience && now - started_ <= kWaitLimitMs;
  }

 private:
  std::uint64_t started_;
  std::uint64_t lastProgress_;
  std::uint32_t state_;
  std::uint32_t checkPoint_;
};

class UpdateRun {
 public:
  UpdateRun(FileAndProcess& os, ServiceControl& services, ErrorTexts& texts, Console& console,
            std::u16string_view serviceName, std::u16string_view ownExecutablePath)
      : os_(os),
        services_(services),
        texts_(texts),
        console_(console),
        serviceName_(serviceName),
        ownExecutablePath_(ownExecutablePath),
        manager_(services),
        service_(services) {}

  // The run's one error handler: whatever fails is reported on the console
  // and recorded in the result file. Only a failure of that report escapes.
  void execute() {
    try {
      steps();
    } catch (const ToolError& error) {
      recover();
      recordError(error.message());
    } catch (const std::bad_alloc&) {
      recover();
      recordError(u"Out of memory");
    } catch (const std::exception& error) {
      recover();
      recordError(fromUtf8(error.what()));
    }
    service_.reset();
    manager_.reset();
  }

 private:
  void steps() {
    names_ = deriveNames(serviceName_, ownExecutablePath_);
    refuseNamesOutsideTheToolsFolder();
    if (staysInFolder(names_.logFilename)) os_.removeFile(names_.logFilename);

    if (!os_.fileExists(names_.pathNewBin)) {
      console_.writeLine(u"");
      console_.writeLine(u"Não foi encontrada a nova versão do serviço " + toAsciiUpper(names_.serviceName));
      console_.writeLine(u"");
      SaveResult(os_, console_, names_.logFilename, u"Não foi encontrada a nova versão do serviço.");
      return;
    }

    connect();
    openOrRegister();
    queryOrFail();
    if (status_.dwCurrentState == platform::kServiceRunning) {
      console_.writeLine(u"Service :: status: iniciado");
      console_.writeLine(u"Service :: parando ...");
      if (services_.sendStop(service_.get(), status_) != platform::kOk) throw toolError(u"Erro ao parar o serviço");
      waitForStop();
      stoppedByRun_ = true;
      console_.writeLine(u"Service :: parado");
    } else {
      console_.writeLine(u"Service :: status: parado");
    }

    swapExecutables();

    console_.writeLine(u"Service :: iniciando ...");
    startRequested_ = true;
    if (startRetrying() != platform::kOk) throw toolError(u"Erro ao iniciar o serviço");
    confirmStart();

    console_.writeLine(u"");
    console_.writeLine(u"Atualização finalizada.");
    console_.writeLine(u"");
    SaveResult(os_, console_, names_.logFilename, u"Atualizado com sucesso!");
  }

  // The executables' names come from the service name as typed: one that
  // climbs out of the tool's folder or names a stream would have the run
  // move and delete files that are not the service's.
  void refuseNamesOutsideTheToolsFolder() {
    const auto folder = directoryOf(ownExecutablePath_).size();
    for (const auto* path : {&names_.pathCurrentBin, &names_.pathNewBin, &names_.pathOldBin}) {
      if (!staysInFolder(std::u16string_view(*path).substr(folder))) {
        throw toolError(u"Nome de serviço inválido para os arquivos da ferramenta: " + names_.pathCurrentBin);
      }
    }
  }

  // Registering a missing service needs the right to create services; an
  // operator who may only stop and start services still gets in without it.
  void connect() {
    auto opened = services_.openManager(platform::kManagerConnect | platform::kManagerCreateService);
    if (opened.error == platform::kErrorAccessDenied) opened = services_.openManager(platform::kManagerConnect);
    if (opened.error != platform::kOk || !opened.handle) {
      throw toolError(u"Erro ao abrir o gerenciador de serviços");
    }
    manager_.reset(opened.handle);
    console_.writeLine(u"SCManager :: conectado");
    console_.writeLine(u"Service :: name: " + names_.serviceName);
  }

  void openOrRegister() {
    const auto opened = services_.openExisting(manager_.get(), names_.serviceName, kServiceRights);
    if (opened.error == platform::kOk && opened.handle) {
      service_.reset(opened.handle);
    } else {
      console_.writeLine(u"Service :: NÃO encontrado");
      const auto created = services_.registerService(manager_.get(), names_.serviceName, names_.pathCurrentBin);
      if (created.error != platform::kOk || !created.handle) {
        const OsError errorCode = created.error;
        SaveResult(os_, console_, names_.logFilename, u"Erro ao instalar o serviço!");
        throw toolError(u"Erro ao instalar o serviço: " + texts_.describe(errorCode));
      }
      service_.reset(created.handle);
      console_.writeLine(u"Service :: instalado com sucesso");
    }
    console_.writeLine(u"Service :: encontrado");
  }

  void queryOrFail() {
    if (services_.queryStatus(service_.get(), status_) != platform::kOk) {
      throw toolError(u"Service :: status: Erro ao verificar o status do serviço");
    }
  }

  // Passes of: query, pause, check. A failed query ends the wait quietly.
  void waitForStop() {
    ProgressWatch watch(os_.monotonicMilliseconds(), status_);
    for (;;) {
      if (services_.queryStatus(service_.get(), status_) != platform::kOk) return;
      os_.pause(kPollMs);
      if (status_.dwCurrentState == platform::kServiceStopped) return;
      if (!watch.stillPatient(status_, os_.monotonicMilliseconds())) {
        throw toolError(u"Tempo esgotado aguardando a parada do serviço");
      }
    }
  }

  // A start request only says the process was launched: wait until the
  // service reports running, then watch it for a moment so that a new
  // version that dies at once is not taken for a success.
  void confirmStart() {
    queryOrFail();
    os_.pause(kPollMs);
    ProgressWatch watch(os_.monotonicMilliseconds(), status_);
    while (status_.dwCurrentState == platform::kServiceStartPending) {
      if (!watch.stillPatient(status_, os_.monotonicMilliseconds())) {
        throw toolError(u"Tempo esgotado aguardando o início do serviço");
      }
      queryOrFail();
      os_.pause(kPollMs);
    }
    const auto runningSince = os_.monotonicMilliseconds();
    while (status_.dwCurrentState == platform::kServiceRunning &&
           os_.monotonicMilliseconds() - runningSince < kStartWatchMs) {
      queryOrFail();
      os_.pause(kPollMs);
    }
    if (status_.dwCurrentState != platform::kServiceRunning) {
      std::u16string message = u"O serviço parou logo após ser iniciado";
      if (status_.dwWin32ExitCode != 0) message += u": " + exitCodeText(status_);
      throw toolError(message);
    }
    console_.writeLine(u"Service :: status: iniciado");
  }

  std::u16string exitCodeText(const ServiceStatus& status) {
    auto text = texts_.describe(status.dwWin32ExitCode);
    if (status.dwWin32ExitCode == kErrorServiceSpecificError) {
      if (!text.empty()) text += u" ";
      text += u"(código do serviço: " + toDecimal(status.dwServiceSpecificExitCode) + u")";
    }
    return text;
  }

  // Backup and activation. With no current executable (a service registered
  // before its executable was placed, or an update cut short after the
  // backup) there is nothing to back up, and an existing backup is kept.
  void swapExecutables() {
    if (os_.fileExists(names_.pathCurrentBin)) {
      if (os_.fileExists(names_.pathOldBin)) {
        console_.writeLine(u"  -> Removendo versão antiga (OLD)");
        os_.removeFile(names_.pathOldBin);
      }
      console_.writeLine(u"  -> Fazendo backup da versao atual: EXE -> OLD");
      if (const auto error = moveRetrying(names_.pathCurrentBin, names_.pathOldBin)) {
        throw toolError(u"Erro ao fazer backup da versão atual: " + texts_.describe(error));
      }
      backedUp_ = true;
    }
    console_.writeLine(u"  -> Ativando nova versão: NEW -> EXE");
    if (const auto error = moveRetrying(names_.pathNewBin, names_.pathCurrentBin)) {
      throw toolError(u"Erro ao ativar a nova versão: " + texts_.describe(error));
    }
    activated_ = true;
  }

  // Files held by a virus scanner or by a service process still exiting are
  // let go within moments; anything else will not change by waiting.
  OsError moveRetrying(const std::u16string& from, const std::u16string& to) {
    const auto started = os_.monotonicMilliseconds();
    for (;;) {
      const auto error = os_.moveNoReplace(from, to);
      const bool transient = error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
      if (!transient || os_.monotonicMilliseconds() - started >= kLetGoMs) return error;
      os_.pause(kPollMs);
    }
  }

  // A service that has just reported stopped may still have its process
  // exiting, and until it is gone the manager refuses a new start as if the
  // service were running.
  OsError startRetrying() {
    const auto started = os_.monotonicMilliseconds();
    for (;;) {
      const auto error = services_.sendStart(service_.get());
      if (error != platform::kErrorServiceAlreadyRunning || os_.monotonicMilliseconds() - started >= kLetGoMs) {
        return error;
      }
      ServiceStatus current;
      if (services_.queryStatus(service_.get(), current) != platform::kOk ||
          current.dwCurrentState != platform::kServiceStopped) {
        return error;
      }
      os_.pause(kStartRetryMs);
    }
  }

  // Whatever failed between the stop and the start request (a file step, or
  // the console), the service must not be left without its executable or
  // down: the backup goes back into place, and a service the run stopped is
  // started again on whatever now stands at its registered path. The error
  // being handled stays the one reported, so the console may fail here.
  void recover() {
    if (backedUp_ && !activated_) {
      backedUp_ = false;
      moveRetrying(names_.pathOldBin, names_.pathCurrentBin);
    }
    if (stoppedByRun_ && !startRequested_) {
      startRequested_ = true;
      writeLineIfPossible(u"Service :: iniciando ...");
      if (const auto error = startRetrying()) {
        writeLineIfPossible(u"Service :: Erro ao iniciar o serviço: " + texts_.describe(error));
      }
    }
  }

  void writeLineIfPossible(const std::u16string& line) {
    try {
      console_.writeLine(line);
    } catch (const ToolError&) {
    }
  }

  void recordError(const std::u16string& message) {
    console_.writeLine(u"Ocorreu um erro ao atualizar o serviço: " + serviceName_ + u". Erro: " + message);
    // The names may not have been derived when the failure came.
    const auto logFilename = deriveNames(serviceName_, ownExecutablePath_).logFilename;
    SaveResult(os_, console_, logFilename, u"Erro: " + message);
  }

  FileAndProcess& os_;
  ServiceControl& services_;
  ErrorTexts& texts_;
  Console& console_;
  std::u16string serviceName_;
  std::u16string ownExecutablePath_;
  Names names_;
  OwnedServiceHandle manager_;
  OwnedServiceHandle service_;
  ServiceStatus status_;
  // How far the run got, for recover().
  bool stoppedByRun_ = false;
  bool backedUp_ = false;
  bool activated_ = false;
  bool startRequested_ = false;
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

int runTool(FileAndProcess& os, ServiceControl& services, ErrorTexts& texts) {
  Console console(os);
  const auto ownPath = os.ownExecutablePath();
  const std::u16string module = ownPath ? std::u16string(fileNameOf(*ownPath)) : u"UpdateServiceQZ.exe";
  try {
    const auto serviceName = scanServiceName(programArguments(os.commandLine()));
    if (serviceName.empty()) {
      writeUsage(console);
    } else if (!ownPath) {
      // Every file the run works with lies beside the tool: without its
      // whole path there is no telling where that is.
      throw toolError(u"Não foi possível ler o caminho da ferramenta");
    } else {
      UpdateRun(os, services, texts, console, serviceName, *ownPath).execute();
    }
  } catch (const ToolError& error) {
    console.flushQuietly();
    reportEscapedError(os, error, module, reportAddress());
    return 1;
  } catch (const std::bad_alloc&) {
    console.flushQuietly();
    reportEscapedError(os, toolError(u"Out of memory"), module, reportAddress());
    return 1;
  }
  console.flushQuietly();
  return 0;
}

}  // namespace usqz
