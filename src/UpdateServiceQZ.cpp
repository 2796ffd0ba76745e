// The tool's entry and the update run as a sequence of steps. Each concern
// the steps lean on has a file of its own: the names (command_line), the
// checks before the stop (preflight), the waits on the service
// (service_waits), the services that depend on it (dependents), the moves of
// the executables (executable_swap), the run's lock (run_lock), the result
// file (result_file) and the exit status (outcome).
#include "UpdateServiceQZ.h"

#include <exception>
#include <new>

#include "command_line.h"
#include "console.h"
#include "contained_path.h"
#include "dependents.h"
#include "executable_swap.h"
#include "outcome.h"
#include "preflight.h"
#include "result_file.h"
#include "run_lock.h"
#include "service_waits.h"
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

constexpr std::uint32_t kServiceRights = platform::kServiceQueryConfig | platform::kServiceQueryStatus |
                                         platform::kServiceEnumerateDependents | platform::kServiceStart |
                                         platform::kServiceStop;

class UpdateRun {
 public:
  UpdateRun(FileAndProcess& os, ServiceControl& services, ErrorTexts& texts, Console& console,
            const Options& options, std::u16string_view ownExecutablePath)
      : os_(os),
        services_(services),
        texts_(texts),
        console_(console),
        serviceName_(options.serviceName),
        stopDependents_(options.stopDependents),
        ownExecutablePath_(ownExecutablePath),
        manager_(services),
        service_(services),
        waits_(os, services, texts),
        swap_(os, texts, console, names_),
        dependents_(os, services, texts, console) {}

  // The run's one error handler: whatever fails is reported on the console
  // and recorded in the result file. Only a failure of that report escapes.
  Outcome execute() {
    Outcome outcome = Outcome::Updated;
    try {
      outcome = steps();
    } catch (const ToolError& error) {
      recordError(error.message() + recover());
      outcome = failure();
    } catch (const std::bad_alloc&) {
      recordError(u"Out of memory" + recover());
      outcome = failure();
    } catch (const std::exception& error) {
      recordError(fromUtf8(error.what()) + recover());
      outcome = failure();
    }
    service_.reset();
    manager_.reset();
    return outcome;
  }

 private:
  Outcome steps() {
    names_ = deriveNames(serviceName_, ownExecutablePath_);
    refuseNamesOutsideTheToolsFolder();
    if (staysInFolder(names_.logFilename)) os_.removeFile(names_.logFilename);

    if (!os_.fileExists(names_.pathNewBin)) {
      console_.writeLine(u"");
      console_.writeLine(u"Não foi encontrada a nova versão do serviço " + toAsciiUpper(names_.serviceName));
      console_.writeLine(u"");
      SaveResult(os_, console_, names_.logFilename, u"Não foi encontrada a nova versão do serviço.");
      return Outcome::NothingToDo;
    }
    checkNewVersion(os_, texts_, names_);

    connect();
    openOrRegister();
    swap_.checkOlderBackupRemovable();
    bringDown();
    waits_.waitForProcessExit();

    swap_.swap();

    console_.writeLine(u"Service :: iniciando ...");
    if (waits_.startRetrying() != platform::kOk) throw toolError(u"Erro ao iniciar o serviço");
    waits_.confirmStart();
    console_.writeLine(u"Service :: status: iniciado");
    confirmed_ = true;
    runsAtEnd_ = true;
    // The update stands whatever becomes of the dependents.
    if (const auto failed = dependents_.bringBack(); !failed.empty()) throw toolError(failed);

    console_.writeLine(u"");
    console_.writeLine(u"Atualização finalizada.");
    console_.writeLine(u"");
    SaveResult(os_, console_, names_.logFilename, u"Atualizado com sucesso!");
    return Outcome::Updated;
  }

  // What a failed run leaves, from what it did and the state it saw last.
  Outcome failure() const {
    if (!touched_ && swap_.asTheyWere() && !dependents_.anyLeftDown()) return Outcome::Unchanged;
    if (dependents_.anyLeftDown() || registered_) return Outcome::Down;
    if (runsAtEnd_) return Outcome::RolledBack;
    // A service that was not running and whose files are back as they were
    // is as the run found it.
    return !wasRunning_ && swap_.asTheyWere() ? Outcome::Unchanged : Outcome::Down;
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

  // Registering a missing service needs the right to create services, and
  // the right to list them for the check that comes first; an operator who
  // may only stop and start services still gets in without them.
  void connect() {
    auto opened = services_.openManager(platform::kManagerConnect | platform::kManagerEnumerateService |
                                        platform::kManagerCreateService);
    mayRegister_ = opened.error == platform::kOk;
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
      checkRegistration(os_, services_, texts_, service_.get(), names_);
    } else {
      console_.writeLine(u"Service :: NÃO encontrado");
      // Without the right to register, the registration fails as it is.
      if (mayRegister_) refuseSecondService(os_, services_, texts_, manager_.get(), names_);
      const auto created = services_.registerService(manager_.get(), names_.serviceName, names_.pathCurrentBin);
      if (created.error != platform::kOk || !created.handle) {
        const OsError errorCode = created.error;
        SaveResult(os_, console_, names_.logFilename, u"Erro ao instalar o serviço!");
        throw toolError(u"Erro ao instalar o serviço: " + texts_.describe(errorCode));
      }
      service_.reset(created.handle);
      registered_ = true;
      touched_ = true;
      console_.writeLine(u"Service :: instalado com sucesso");
    }
    waits_.attach(service_.get());
    console_.writeLine(u"Service :: encontrado");
  }

  // Whatever state the service is found in, its process is gone before the
  // files move: a running, paused or starting service is stopped, one that
  // is stopping is waited for.
  void bringDown() {
    auto status = waits_.queryOrFail();
    switch (status.dwCurrentState) {
      case platform::kServiceStopped:
        console_.writeLine(u"Service :: status: parado");
        return;
      case platform::kServiceStopPending:
        console_.writeLine(u"Service :: status: parando");
        touched_ = true;  // found on its way down: it will not come back by itself
        waits_.waitForStop(status);
        console_.writeLine(u"Service :: parado");
        return;
      case platform::kServiceStartPending:
        console_.writeLine(u"Service :: status: iniciando");
        waits_.waitWhileStarting(status);
        if (status.dwCurrentState == platform::kServiceStopped) {
          console_.writeLine(u"Service :: parado");
          return;
        }
        break;
      case platform::kServiceRunning:
        console_.writeLine(u"Service :: status: iniciado");
        break;
      case platform::kServicePaused:
        console_.writeLine(u"Service :: status: pausado");
        break;
      case platform::kServicePausePending:
        console_.writeLine(u"Service :: status: pausando");
        break;
      default:
        console_.writeLine(u"Service :: status: retomando");
        break;
    }
    wasRunning_ = true;
    dependents_.bringDown(manager_.get(), service_.get(), stopDependents_);
    console_.writeLine(u"Service :: parando ...");
    if (services_.sendStop(service_.get(), status) != platform::kOk) {
      std::u16string message = u"Erro ao parar o serviço";
      if (const auto failed = dependents_.bringBack(); !failed.empty()) message += u". " + failed;
      throw toolError(message);
    }
    touched_ = true;
    waits_.waitForStop(status);
    stoppedByRun_ = true;
    console_.writeLine(u"Service :: parado");
  }

  // Whatever failed once the run had stopped the service and before the new
  // version was confirmed running, the service must not be left without its
  // executable or down: before the activation the backup goes back; after
  // it, the failed version is stopped and the previous one put back and
  // started. What this says is added to the cause; the console may fail
  // here, the error being handled stays the one reported.
  std::u16string recover() {
    if (confirmed_) return {};
    auto said = swap_.activated() ? (swap_.backedUp() ? rollBack() : std::u16string()) : restore();
    // The dependents come back with the service, or are said to stay down.
    if (runsAtEnd_) {
      if (const auto failed = dependents_.bringBack(); !failed.empty()) said += u". " + failed;
    } else if (const auto down = dependents_.leftDown(); !down.empty()) {
      said += u". " + down;
    }
    return said;
  }

  std::u16string restore() {
    std::u16string said;
    if (const auto failure = swap_.restoreBackup(); !failure.empty()) said += u". " + failure;
    if (stoppedByRun_) {
      console_.writeLineIfPossible(u"Service :: iniciando ...");
      if (const auto error = waits_.startRetrying()) {
        const auto text = texts_.describe(error);
        console_.writeLineIfPossible(u"Service :: Erro ao iniciar o serviço: " + text);
        said += u". Serviço não reiniciado: " + text;
      } else {
        runsAtEnd_ = true;
      }
    }
    return said;
  }

  std::u16string rollBack() {
    stopFailedVersion();
    if (const auto failure = swap_.rollBack(); !failure.empty()) return u". " + failure;
    if (!stoppedByRun_) return u". Versão anterior restaurada.";
    console_.writeLineIfPossible(u"Service :: iniciando ...");
    try {
      if (const auto error = waits_.startRetrying()) {
        return u". Versão anterior restaurada, mas não iniciou: " + texts_.describe(error);
      }
      waits_.confirmStart();
    } catch (const ToolError& error) {
      return u". Versão anterior restaurada, mas não iniciou: " + error.message();
    }
    console_.writeLineIfPossible(u"Service :: status: iniciado");
    runsAtEnd_ = true;
    return u". Versão anterior restaurada e em execução.";
  }

  // The failed version's process must be gone before its file can move: it
  // is asked to stop, and ended when it will not (a service stuck starting
  // accepts no controls). It is this run's own failed start.
  void stopFailedVersion() {
    ServiceStatus status;
    const bool known = waits_.query(status);
    if (known && status.dwCurrentState == platform::kServiceStopped) {
      waits_.waitForProcessExit();
      return;
    }
    console_.writeLineIfPossible(u"  -> Revertendo: parando a nova versão");
    bool stopped = false;
    if (services_.sendStop(service_.get(), status) == platform::kOk) {
      try {
        waits_.waitForStop(status);
        stopped = true;
      } catch (const ToolError&) {
      }
    }
    if (!stopped && waits_.processAlive()) {
      console_.writeLineIfPossible(u"  -> Revertendo: encerrando o processo da nova versão");
      waits_.endProcess();
    }
    waits_.waitForProcessExit();
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
  bool stopDependents_;
  std::u16string ownExecutablePath_;
  Names names_;
  OwnedServiceHandle manager_;
  OwnedServiceHandle service_;
  ServiceWaits waits_;
  ExecutableSwap swap_;
  Dependents dependents_;
  // How far the run got, for recover() and the outcome.
  bool mayRegister_ = false;
  bool touched_ = false;
  bool registered_ = false;
  bool wasRunning_ = false;
  bool runsAtEnd_ = false;
  bool stoppedByRun_ = false;
  bool confirmed_ = false;
};

void writeUsage(Console& console) {
  console.writeLine(u"");
  console.writeLine(u"Uso: updateserviceqz --service-name nome_do_servico");
  console.writeLine(u"");
}

// Two runs for one service would swap files under each other: a second run
// that finds the service's lock held touches nothing.
Outcome runLocked(FileAndProcess& os, ServiceControl& services, ErrorTexts& texts, Console& console,
                  const Options& options, std::u16string_view ownPath) {
  const RunLock lock(os, options.serviceName);
  if (lock.heldElsewhere()) {
    console.writeLine(u"Outra atualização do serviço " + options.serviceName + u" já está em andamento.");
    return Outcome::Busy;
  }
  if (!lock.held()) {
    console.writeLine(u"Não foi possível obter o bloqueio da atualização do serviço " + options.serviceName + u": " +
                      texts.describe(lock.error()));
    return Outcome::Unchanged;
  }
  return UpdateRun(os, services, texts, console, options, ownPath).execute();
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
  Options options;
  Outcome outcome = Outcome::Usage;
  try {
    options = scanOptions(programArguments(os.commandLine()));
    if (options.serviceName.empty()) {
      writeUsage(console);
    } else if (!ownPath) {
      // Every file the run works with lies beside the tool: without its
      // whole path there is no telling where that is.
      throw toolError(u"Não foi possível ler o caminho da ferramenta");
    } else {
      outcome = runLocked(os, services, texts, console, options, *ownPath);
    }
  } catch (const ToolError& error) {
    console.flushQuietly();
    reportEscapedError(os, error, module, reportAddress());
    return exitStatusFor(Outcome::Escaped, options.exitCode);
  } catch (const std::bad_alloc&) {
    console.flushQuietly();
    reportEscapedError(os, toolError(u"Out of memory"), module, reportAddress());
    return exitStatusFor(Outcome::Escaped, options.exitCode);
  }
  console.flushQuietly();
  return exitStatusFor(outcome, options.exitCode);
}

}  // namespace usqz
