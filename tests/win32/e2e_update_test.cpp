// Real updates: UpdateServiceQZ.exe against the platform's service manager
// (Wine's here) and the test service, v1 installed and v2 placed beside the
// tool, as an operator's script would run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"
#include "e2e_update.h"
#include "platform/text.h"

namespace usqz::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

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
  const auto run = update(u" --exit-code");
  EXPECT_EQ(run.exitStatus, 0u);
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
  // Left stopping: the service does not run at the end of the run.
  const auto run = update(u" --exit-code");
  EXPECT_EQ(run.exitStatus, 12u);
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando a parada do servi\xE7o\r\n");
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(fresh), "v2");
}

TEST_F(Update, AServiceFoundStoppingIsWaitedForBeforeTheSwap) {
  behaviour("stop_ms=1500\n");
  installV1(true);
  requestStop(name);  // it is now stop-pending for a while
  const auto run = update();
  EXPECT_EQ(run.out, head() + lines({"Service :: status: parando", "Service :: parado"}) + kSwap + kTail);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started", "v1 stop requested", "v1 stopped", "v2 started"}));
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

TEST_F(Update, AnOlderBackupHeldOpenIsRefusedBeforeTheStop) {
  writeFile(backup, "v0");
  installV1(true);
  const HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(backup.c_str()), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const auto run = update();
  CloseHandle(held);
  EXPECT_THAT(run.out, HasSubstr(head() + errorLine("O backup antigo n\xE3o pode ser removido: ").substr(0, 90)));
  EXPECT_THAT(result(), ::testing::StartsWith("Erro: O backup antigo n\xE3o pode ser removido: "));
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(backup), "v0");
  EXPECT_EQ(version(fresh), "v2");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started"}));
}

// Wine lists no dependents and never refuses a stop for them; a registered
// dependent that is stopped changes nothing on Windows either.
TEST_F(Update, AServiceWithAStoppedDependentUpdatesAsBefore) {
  installV1(true);
  const std::u16string dependent = names.make(u"QZDep");
  copyFile(testServiceV1(), folder / u"dependent.exe");
  installService(dependent, folder / u"dependent.exe", false, name);
  const auto run = update();
  EXPECT_EQ(run.out, head() + lines({"Service :: status: iniciado", "Service :: parando ...", "Service :: parado"}) +
                         kSwap + kTail);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(queryServiceState(dependent), static_cast<std::uint32_t>(SERVICE_STOPPED));
}

// Refused before the stop: the service runs v1 on, and nothing moved.
struct Refused : Update {
  void expectNothingChanged(const ProcessResult& run, const std::string& resultStart, std::uint32_t status = 0) {
    EXPECT_EQ(run.exitStatus, status);
    EXPECT_THAT(result(), ::testing::StartsWith("Erro: " + resultStart)) << run.out;
    EXPECT_EQ(version(current), "v1");
    EXPECT_FALSE(fileExists(backup));
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
    EXPECT_EQ(events(), (std::vector<std::string>{"v1 started"}));
  }
};

TEST_F(Refused, AnEmptyOrTruncatedNewVersion) {
  installV1(true);
  for (const auto& [bytes, why] : {std::pair<std::string, std::string>{"", "arquivo vazio"},
                                   {v2.substr(0, v2.size() / 2), "arquivo truncado"}}) {
    writeFile(fresh, bytes);
    expectNothingChanged(update(), "A nova vers\xE3o n\xE3o \xE9 um execut\xE1vel v\xE1lido: " + why);
    EXPECT_EQ(readFile(fresh), bytes);
  }
}

// An ARM64 build (the test service with its machine type changed) on this
// x64 or x86 system is refused before the stop, not swapped in to fail.
TEST_F(Refused, ABuildForAnotherProcessor) {
  installV1(true);
  auto arm64 = v2;
  const auto pe = static_cast<unsigned char>(arm64[0x3C]) | static_cast<unsigned char>(arm64[0x3D]) << 8;
  arm64[pe + 4] = '\x64';
  arm64[pe + 5] = '\xAA';
  writeFile(fresh, arm64);
  expectNothingChanged(update(u" --exit-code"),
                       "A nova vers\xE3o n\xE3o \xE9 um execut\xE1vel v\xE1lido: feita para ARM64, que esta m\xE1quina n\xE3o "
                       "executa",
                       10);
}

TEST_F(Refused, AServiceRegisteredWithAnExecutableElsewhere) {
  ScratchDirectory installed;
  copyFile(testServiceV1(), installed / (u"qz_" + item + u".exe"));
  copyFile(testServiceV1(), current);
  installService(name, installed / (u"qz_" + item + u".exe"), true);
  const auto run = update();
  EXPECT_THAT(result(), ::testing::StartsWith("Erro: O servi\xE7o executa outro arquivo: \"" +
                                              toUtf8(installed / u"qz_")));
  EXPECT_EQ(version(fresh), "v2");
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_EQ(readFile(installed / u"events.log").find("stop"), std::string::npos);
}

TEST_F(Refused, ADisabledService) {
  installV1(true);
  disableService(name);
  expectNothingChanged(update(u" --exit-code"), "O servi\xE7o est\xE1 desativado", 10);
}

TEST_F(Refused, ASecondNameForARegisteredServicesExecutable) {
  installV1(true);
  const std::u16string other = u"QX" + item;
  const auto run = runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + other, folder.path());
  EXPECT_EQ(readFile(folder / (u"updateServiceQZ-" + other + u".txt")),
            "Erro: O execut\xE1vel j\xE1 \xE9 usado pelo servi\xE7o " + toUtf8(name) + ": " + toUtf8(current) + "\r\n");
  EXPECT_EQ(queryServiceState(other), 0u) << "registered nothing";
  EXPECT_EQ(version(current), "v1");
  EXPECT_EQ(version(fresh), "v2");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_EQ(events(), (std::vector<std::string>{"v1 started"}));
}

const std::string kRolledBack = ". Vers\xE3o anterior restaurada e em execu\xE7\xE3o.\r\n";

// A new version that does not start is rolled back: v1 runs again, v2 is
// back where the operator put it.
struct RolledBack : Update {
  // Run with --exit-code.
  void expectRolledBack(const ProcessResult& run, const std::string& cause) {
    EXPECT_EQ(run.exitStatus, 11u);
    EXPECT_THAT(run.out, HasSubstr("  -> Devolvendo a nova vers\xE3o: EXE -> NEW\r\n"
                                   "  -> Restaurando vers\xE3o anterior: OLD -> EXE\r\n"
                                   "Service :: iniciando ...\r\nService :: status: iniciado\r\n"));
    EXPECT_THAT(result(), ::testing::StartsWith("Erro: " + cause)) << run.out;
    EXPECT_THAT(result(), ::testing::EndsWith(kRolledBack));
    EXPECT_EQ(version(current), "v1");
    EXPECT_EQ(version(fresh), "v2");
    EXPECT_FALSE(fileExists(backup));
    EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
    EXPECT_EQ(events().back(), "v1 started");
  }
};

TEST_F(RolledBack, ANewVersionThatReportsStoppedAtOnce) {
  installV1(true);
  behaviour("v2:die_after_ms=300\nv2:exit_code=1067\n");
  expectRolledBack(update(u" --exit-code"), "O servi\xE7o parou logo ap\xF3s ser iniciado: ");
}

TEST_F(RolledBack, ANewVersionWhoseProcessExitsWithoutAWord) {
  installV1(true);
  behaviour("v2:vanish_after_ms=300\n");
  expectRolledBack(update(u" --exit-code"), "O servi\xE7o parou logo ap\xF3s ser iniciado");
}

// Takes the start wait's whole no-progress bound (30 s).
TEST_F(RolledBack, ANewVersionThatStaysStartPending) {
  installV1(true);
  behaviour("v2:start_stall_ms=600000\n");
  const auto run = update(u" --exit-code");
  EXPECT_THAT(run.out, HasSubstr("  -> Revertendo: encerrando o processo da nova vers\xE3o\r\n"));
  expectRolledBack(run, "Tempo esgotado aguardando o in\xED" "cio do servi\xE7o");
}

// Two overlapping runs for one service: the second touches nothing.
TEST_F(Update, ASecondRunWhileTheFirstIsUnderWayIsRefused) {
  behaviour("v1:stop_ms=3000\n");
  installV1(true);
  ProcessResult first;
  std::thread firstRun([&] { first = update(); });
  for (int i = 0; i < 200 && events().size() < 2; ++i) Sleep(50);  // v1 asked to stop
  const auto second = update(u" --exit-code");
  firstRun.join();
  EXPECT_EQ(second.exitStatus, 1618u);
  EXPECT_EQ(second.out, lines({"Outra atualiza\xE7\xE3o do servi\xE7o " + toUtf8(name) + " j\xE1 est\xE1 em andamento."}));
  EXPECT_EQ(first.exitStatus, 0u);
  EXPECT_EQ(result(), kSuccess) << first.out;
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
}

// The tool ended from outside (TerminateProcess, as a deployment system
// ends a run past its limit) at stepped moments of an update whose stop
// and start take a while; the next run puts things right before its own
// update: the service runs, both versions are there, no journal is left.
struct Killed : Update, ::testing::WithParamInterface<std::uint32_t> {
  std::u16string journal = folder / (u"qz_" + item + u".journal");

  ProcessResult killedUpdate() {
    behaviour("stop_ms=700\nv2:start_pending_ms=700\n");
    installV1(true);
    return runProcess(u"\"" + (folder / u"UpdateServiceQZ.exe") + u"\" --service-name " + name, folder.path(),
                      Stdout::File, GetParam(), true);
  }
};

TEST_P(Killed, TheNextRunRecoversAndUpdates) {
  const auto killed = killedUpdate();
  const bool leftJournal = fileExists(journal);
  const auto again = update(u" --exit-code");
  SCOPED_TRACE("ended after " + std::to_string(GetParam()) + " ms: " + killed.out + "--- next run:\n" + again.out);
  EXPECT_TRUE(again.exitStatus == 0 || again.exitStatus == 3) << again.exitStatus;
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_FALSE(fileExists(journal));
  if (leftJournal) {
    EXPECT_THAT(again.out, HasSubstr("Atualiza\xE7\xE3o anterior interrompida"));
  }
}

// The deployment system's own retry after the kill: the same new version
// copied to its name again, and the tool run again. The new version runs
// at the end, whatever the moment.
TEST_P(Killed, TheDeploymentsRetryEndsWithTheNewVersionRunning) {
  const auto killed = killedUpdate();
  copyFile(testServiceV2(), fresh);
  const auto again = update(u" --exit-code");
  SCOPED_TRACE("ended after " + std::to_string(GetParam()) + " ms: " + killed.out + "--- the retry:\n" + again.out);
  EXPECT_EQ(again.exitStatus, 0u);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  EXPECT_FALSE(fileExists(fresh));
  EXPECT_EQ(queryServiceState(name), static_cast<std::uint32_t>(SERVICE_RUNNING));
  EXPECT_FALSE(fileExists(journal));
}

// A backup replaced while the run lay dead is never started: the next run
// refuses before it touches anything, and says which file to look at.
TEST_F(Update, ABackupReplacedWhileTheRunLayDeadIsNeverStarted) {
  const auto journal = folder / (u"qz_" + item + u".journal");
  const auto killed = killedWhileTheNewVersionStarts();
  ASSERT_TRUE(fileExists(journal)) << killed.out;
  ASSERT_EQ(version(backup), "v1") << killed.out;
  writeFile(backup, v2);  // planted
  const auto again = update(u" --exit-code");
  EXPECT_EQ(again.exitStatus, 12u) << again.out;
  EXPECT_THAT(result(), HasSubstr("N\xE3o foi poss\xEDvel desfazer a atualiza\xE7\xE3o anterior interrompida: "));
  EXPECT_TRUE(fileExists(journal));
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v2") << "the planted file stays where it was put";
}

// A dead run's journal in a folder others may change since tells nothing
// to act upon: the location is checked before any recovery, and the run
// refuses with everything as the dead run left it, saying that the
// interrupted update was not undone (12: the service may be down). Once
// the folder is the administrators' again, the next run recovers and
// updates.
TEST_F(Update, ADeadRunsJournalInAFolderOpenedSinceIsNotActedUpon) {
  const auto journal = folder / (u"qz_" + item + u".journal");
  const auto killed = killedWhileTheNewVersionStarts();
  ASSERT_TRUE(fileExists(journal)) << killed.out;
  const auto left = readFile(journal);
  ASSERT_TRUE(chmodUnixFile(folder.path(), "o+w"));
  const auto refused = update(u" --exit-code");
  EXPECT_EQ(refused.exitStatus, 12u) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("Local n\xE3o confi\xE1vel: "));
  EXPECT_THAT(refused.out, HasSubstr("a atualiza\xE7\xE3o anterior interrompida n\xE3o foi desfeita"));
  EXPECT_THAT(refused.out, Not(HasSubstr("Atualiza\xE7\xE3o anterior interrompida")));
  EXPECT_EQ(readFile(journal), left);
  EXPECT_EQ(version(current), "v2");
  EXPECT_EQ(version(backup), "v1");
  ASSERT_TRUE(chmodUnixFile(folder.path(), "o-w"));
  copyFile(testServiceV2(), fresh);
  const auto again = update(u" --exit-code");
  EXPECT_EQ(again.exitStatus, 0u) << again.out;
  EXPECT_THAT(again.out, HasSubstr("Atualiza\xE7\xE3o anterior interrompida"));
  EXPECT_EQ(version(current), "v2");
  EXPECT_FALSE(fileExists(journal));
}

// A report naming a file the run works on would replace it: refused with
// the options, the file as it was (--check promises to change nothing).
TEST_F(Update, AReportOverTheRunsOwnFilesIsRefused) {
  installV1(true);
  writeFile(backup, v1);
  writeFile(resultFile, "Atualizado com sucesso!\r\n");
  for (const auto& path : {current, fresh, backup, folder / (u"qz_" + item + u".journal"), resultFile,
                           folder / u"UpdateServiceQZ.exe", u"qz_" + item + u".exe"}) {
    SCOPED_TRACE(toUtf8(path));
    const auto before = readFile(path.find(u'\\') == std::u16string::npos ? folder / path : path);
    const auto run = update(u" --exit-code --check --report " + path);
    EXPECT_EQ(run.exitStatus, 2u) << run.out;
    EXPECT_THAT(run.out, HasSubstr("--report sobre um arquivo da ferramenta: "));
    EXPECT_EQ(readFile(path.find(u'\\') == std::u16string::npos ? folder / path : path), before);
  }
}

INSTANTIATE_TEST_SUITE_P(AtSteppedMoments, Killed, ::testing::Values(250u, 700u, 1150u, 1600u, 2050u, 2500u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                           return "after_" + std::to_string(info.param) + "_ms";
                         });

}  // namespace
}  // namespace usqz::testing
