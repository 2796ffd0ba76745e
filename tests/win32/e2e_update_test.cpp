// Real updates: UpdateServiceQZ.exe against the platform's service manager
// (Wine's here) and the test service, v1 installed and v2 placed beside the
// tool, as an operator's script would run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "platform/win32/windows_api.h"
#include "support/test_services.h"
#include "support/console_lines.h"
#include "support/tool_process.h"
#include "text.h"
#include "win32_test_environment.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;

const std::string kSuccess = "Atualizado com sucesso!\r\n";

struct Update : ::testing::Test {
  ScratchDirectory folder;  // the tool's folder and the working directory
  ServiceNames names;       // declared after the folder: removed before it
  std::u16string name = names.make(u"QZE2E");
  std::u16string item = name.substr(2);
  std::u16string current = folder / (u"qz_" + item + u".exe");
  std::u16string fresh = folder / (u"qz_" + item + u".new");
  std::u16string backup = folder / (u"qz_" + item + u".old");
  std::u16string resultFile = folder / (u"updateServiceQZ-" + name + u".txt");
  std::string v1 = readFile(testServiceV1());
  std::string v2 = readFile(testServiceV2());

  void SetUp() override {
    copyFile(builtTool(), folder / u"UpdateServiceQZ.exe");
    copyFile(testServiceV2(), fresh);
  }

  void installV1(bool start) {
    copyFile(testServiceV1(), current);
    installService(name, current, start);
  }
  void behaviour(const std::string& config) { writeFile(folder / u"test_service.cfg", config); }

  ProcessResult update() {
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name, folder.path());
  }

  std::string head() const {
    return lines({"SCManager :: conectado", "Service :: name: " + toUtf8(name), "Service :: encontrado"});
  }
  std::string errorLine(const std::string& message) const {
    return "Ocorreu um erro ao atualizar o servi\xE7o: " + toUtf8(name) + ". Erro: " + message + "\r\n";
  }
  std::string result() const { return readFile(resultFile); }
  // Which build a file holds, so that a failure names it instead of
  // printing the executable.
  std::string version(const std::u16string& path) const {
    const auto bytes = readFile(path);
    return bytes == v1 ? "v1" : bytes == v2 ? "v2" : bytes.size() < 40 ? bytes : "other";
  }

  // The test service's own log: "<build> <event>" lines, oldest first.
  std::vector<std::string> events() const {
    std::istringstream log(readFile(folder / u"events.log"));
    std::vector<std::string> found;
    std::string tick, build, event;
    while (log >> tick >> build && std::getline(log, event)) {
      if (!event.empty() && event.back() == '\r') event.pop_back();  // written in text mode
      found.push_back(build + event);
    }
    return found;
  }
};

const std::string kSwap =
    lines({"  -> Fazendo backup da versao atual: EXE -> OLD", "  -> Ativando nova vers\xE3o: NEW -> EXE"});
const std::string kTail =
    lines({"Service :: iniciando ...", "Service :: status: iniciado", "", "Atualiza\xE7\xE3o finalizada.", ""});

TEST_F(Update, ARunningServiceIsReplacedAndRunsTheNewVersion) {
  installV1(true);
  const auto run = update();
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(run.out, head() + lines({"Service :: status: iniciado", "Service :: parando ...", "Service :: parado"}) +
                         kSwap + kTail);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_FALSE(fileExists(fresh));
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started", "v1 stop requested", "v1 stopped", "v2 started"}));
}

TEST_F(Update, AStoppedServiceIsSwappedAndStarted) {
  installV1(false);
  const auto run = update();
  EXPECT_EQ(run.out, head() + lines({"Service :: status: parado"}) + kSwap + kTail);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(events(), (std::vector<std::string>{"v2 started"}));
}

TEST_F(Update, AnOlderBackupIsReplaced) {
  writeFile(backup, "v0");
  installV1(true);
  const auto run = update();
  EXPECT_THAT(run.out, HasSubstr("Service :: parado\r\n  -> Removendo vers\xE3o antiga (OLD)\r\n"));
  EXPECT_EQ(version(backup), "v1");
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(Update, ASlowStopIsWaitedFor) {
  behaviour("stop_ms=1500\n");
  installV1(true);
  const auto run = update();
  EXPECT_EQ(result(), kSuccess) << run.out;
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started", "v1 stop requested", "v1 stopped", "v2 started"}));
}

TEST_F(Update, ARefusedStopMovesNoFile) {
  behaviour("refuse_stop=1\n");
  installV1(true);
  const auto run = update();
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(run.out, head() + lines({"Service :: status: iniciado", "Service :: parando ..."}) +
                         errorLine("Erro ao parar o servi\xE7o"));
  EXPECT_EQ(result(), "Erro: Erro ao parar o servi\xE7o\r\n");
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(fresh), "v2");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
}

TEST_F(Update, AStopThatNeverCompletesGivesUpAndMovesNoFile) {
  behaviour("stall_ms=600000\n");
  installV1(true);
  const auto run = update();
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando a parada do servi\xE7o\r\n");
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(fresh), "v2");
}

TEST_F(Update, AServiceInAPendingStateIsNotStoppedAndCannotBeStarted) {
  behaviour("stall_ms=600000\n");
  installV1(true);
  requestStop(name);  // it now stays stop-pending
  const auto run = update();
  EXPECT_THAT(run.out, HasSubstr("Service :: encontrado\r\nService :: status: parado\r\n"));
  EXPECT_EQ(result(), "Erro: Erro ao iniciar o servi\xE7o\r\n");
}

TEST_F(Update, AMissingServiceIsRegisteredActivatedAndStarted) {
  const auto run = update();
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_EQ(run.out, lines({"SCManager :: conectado", "Service :: name: " + toUtf8(name), "Service :: N\xC3O encontrado",
                            "Service :: instalado com sucesso", "Service :: encontrado", "Service :: status: parado",
                            "  -> Ativando nova vers\xE3o: NEW -> EXE"}) +
                         kTail);
  EXPECT_EQ(result(), kSuccess);
  const auto config = queryServiceConfig(name);
  EXPECT_EQ(config.binaryPath, u"\"" + current + u"\"");
  EXPECT_EQ(config.startType, static_cast<std::uint32_t>(SERVICE_AUTO_START));
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(events(), (std::vector<std::string>{"v2 started"}));
}

TEST_F(Update, AMissingServiceWithACurrentExecutableKeepsItAsBackup) {
  copyFile(testServiceV1(), current);
  const auto run = update();
  EXPECT_THAT(run.out, HasSubstr("Service :: status: parado\r\n" + kSwap));
  EXPECT_EQ(version(backup), "v1");
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(Update, AFailedRegistrationLeavesTheNewVersionWhereItWas) {
  // The manager refuses names with a backslash; in file names it makes
  // folders, which this test provides.
  const std::u16string badName = u"QZfail\\x";
  CreateDirectoryW(reinterpret_cast<const wchar_t*>((folder / u"qz_fail").c_str()), nullptr);
  CreateDirectoryW(reinterpret_cast<const wchar_t*>((folder / u"updateServiceQZ-QZfail").c_str()), nullptr);
  copyFile(testServiceV2(), folder / u"qz_fail\\x.new");
  const auto run =
      runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + badName, folder.path());
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_THAT(run.out, ::testing::StartsWith(lines({"SCManager :: conectado", "Service :: name: QZfail\\x",
                                                    "Service :: N\xC3O encontrado",
                                                    "Ocorreu um erro ao atualizar o servi\xE7o: QZfail\\x. Erro: Erro "
                                                    "ao instalar o servi\xE7o: "})
                                                 .substr(0, 150)));
  EXPECT_THAT(readFile(folder / u"updateServiceQZ-QZfail\\x.txt"),
              ::testing::StartsWith("Erro: Erro ao instalar o servi\xE7o: "));
  EXPECT_EQ(version(folder / u"qz_fail\\x.new"), "v2");
  EXPECT_FALSE(fileExists(folder / u"qz_fail\\x.exe"));
}

TEST_F(Update, ALockedBackupFailsTheBackupAndTheOldVersionRunsOn) {
  writeFile(backup, "v0");
  installV1(true);
  const HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(backup.c_str()), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const auto run = update();
  CloseHandle(held);
  EXPECT_THAT(run.out, HasSubstr(kSwap.substr(0, kSwap.find("\r\n") + 2) + "Service :: iniciando ...\r\n" +
                                 "Ocorreu um erro ao atualizar o servi\xE7o: " + toUtf8(name) +
                                 ". Erro: Erro ao fazer backup da vers\xE3o atual: "));
  EXPECT_THAT(result(), ::testing::StartsWith("Erro: Erro ao fazer backup da vers\xE3o atual: "));
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(backup), "v0");
  EXPECT_EQ(version(fresh), "v2");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_EQ(events().back(), "v1 started");
}

TEST_F(Update, ANewVersionThatDiesAtOnceIsAnError) {
  installV1(true);
  behaviour("die_after_ms=400\nexit_code=1067\n");  // read by v2 when it starts
  const auto run = update();
  EXPECT_EQ(run.exitStatus, 0u);
  EXPECT_THAT(run.out, HasSubstr("Service :: iniciando ...\r\n" + errorLine("O servi\xE7o parou logo ap\xF3s ser iniciado: ")
                                                                       .substr(0, 60)));
  EXPECT_THAT(result(), ::testing::StartsWith("Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: "));
  EXPECT_EQ(events().back(), "v2 died");
}

}  // namespace
}  // namespace usqz::testing
