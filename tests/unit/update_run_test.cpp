// The update run over the in-memory platform: transcripts, result file,
// files on disk and service state after every outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "harness.h"
#include "text.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::fake::FakeService;
using platform::fake::kNever;
using ::testing::HasSubstr;

constexpr std::uint32_t kRunning = platform::kServiceRunning;
constexpr std::uint32_t kStopped = platform::kServiceStopped;

const std::string kSuccess = "Atualizado com sucesso!\r\n";

// An installed service QZAgent running v1 from C:\svc, with v2 placed beside
// the tool.
struct UpdateRunTest : ::testing::Test {
  Harness h;
  FakeService* service = nullptr;

  void SetUp() override {
    h.os.putFile(kCurrent, "v1");
    h.os.putFile(kNew, "v2");
    service = &h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    service->runningImage = "v1";
  }

  int run() { return h.run(u"--service-name QZAgent"); }
  std::optional<std::string> result() const { return h.os.contents(kResult); }
  std::optional<std::string> file(const std::u16string& name) const { return h.os.contents(name); }

  void expectHandlesClosed() const {
    EXPECT_EQ(h.services.openHandles(), 0u);
    EXPECT_EQ(h.services.badReleases(), 0u);
    EXPECT_EQ(h.os.openFiles(), 0u);
  }
  void expectFilesUntouched() const {
    EXPECT_EQ(file(kCurrent), "v1");
    EXPECT_EQ(file(kNew), "v2");
  }
};

const std::string kHead = lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: encontrado"});
const std::string kTail = lines({"Service :: iniciando ...", "Service :: status: iniciado", "",
                                 "Atualiza\xE7\xE3o finalizada.", ""});
const std::string kSwap = lines({"  -> Fazendo backup da versao atual: EXE -> OLD",
                                 "  -> Ativando nova vers\xE3o: NEW -> EXE"});

std::string errorLine(const std::string& message) {
  return "Ocorreu um erro ao atualizar o servi\xE7o: QZAgent. Erro: " + message + "\r\n";
}

TEST_F(UpdateRunTest, RunningServiceIsStoppedBackedUpSwappedAndStarted) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead +
                         lines({"Service :: status: iniciado", "Service :: parando ...", "Service :: parado"}) +
                         kSwap + kTail);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_EQ(file(kOld), "v1");
  EXPECT_FALSE(file(kNew));
  EXPECT_EQ(service->state, kRunning);
  EXPECT_EQ(service->runningImage, "v2");
  EXPECT_EQ(service->stopRequests, 1u);
  expectHandlesClosed();
  // The manager is asked for the right to register as well.
  EXPECT_EQ(h.services.managerAccessRequests(), std::vector<std::uint32_t>{3});
}

TEST_F(UpdateRunTest, OnAConsoleTheSameTranscriptIsInTheConsoleCodePage) {
  h.os.setStdout(StdoutKind::Console);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("  -> Ativando nova vers\xC6o: NEW -> EXE\r\n"));
  EXPECT_EQ(result(), kSuccess);  // the result file stays in the ANSI code page
}

TEST_F(UpdateRunTest, AnOlderBackupIsRemovedFirst) {
  h.os.putFile(kOld, "v0");
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: parado\r\n  -> Removendo vers\xE3o antiga (OLD)\r\n  -> Fazendo backup"));
  EXPECT_EQ(file(kOld), "v1");
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(UpdateRunTest, StoppedServiceIsNotAskedToStop) {
  service->state = kStopped;
  service->runningImage.reset();
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead + lines({"Service :: status: parado"}) + kSwap + kTail);
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(service->runningImage, "v2");
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(UpdateRunTest, SlowStopIsPolledEvery100Milliseconds) {
  service->stop.takesMs = 2'000;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
  const auto pauses = h.os.pauses();
  EXPECT_GE(pauses.size(), 20u);
  EXPECT_EQ(std::set<std::uint32_t>(pauses.begin(), pauses.end()), std::set<std::uint32_t>{100});
}

TEST_F(UpdateRunTest, PendingStateCountsAsNotRunning) {
  service->state = platform::kServicePaused;
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: status: parado\r\n"));
  EXPECT_EQ(service->stopRequests, 0u);
  // A paused service cannot be started: the swap happened, the start failed.
  EXPECT_THAT(h.out(), HasSubstr(errorLine("Erro ao iniciar o servi\xE7o")));
  EXPECT_EQ(result(), "Erro: Erro ao iniciar o servi\xE7o\r\n");
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_EQ(file(kOld), "v1");
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, AFailedQueryEndsTheStopWaitAtOnce) {
  service->stop.takesMs = 1'000;
  h.services.faults().failCall(ServiceOp::QueryStatus, 2, 6);
  const auto before = h.clock.now();
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: parando ...\r\nService :: parado\r\n"));
  // Not a pause was spent waiting for the stop.
  EXPECT_LT(h.clock.now() - before, 1'000u);
}

TEST_F(UpdateRunTest, RefusedStopEndsTheRunWithNoFileMoved) {
  service->stop.refused = true;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead + lines({"Service :: status: iniciado", "Service :: parando ..."}) +
                         errorLine("Erro ao parar o servi\xE7o"));
  EXPECT_EQ(result(), "Erro: Erro ao parar o servi\xE7o\r\n");
  expectFilesUntouched();
  EXPECT_EQ(service->state, kRunning);
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, AStopWithoutProgressGivesUpAfter30Seconds) {
  service->stop.takesMs = kNever;
  service->stop.reportsProgress = false;
  const auto before = h.clock.now();
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando a parada do servi\xE7o\r\n");
  const auto waited = h.clock.now() - before;
  EXPECT_GT(waited, 30'000u);
  EXPECT_LE(waited, 30'200u);
  expectFilesUntouched();
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, ALargerWaitHintGivesTheStopMoreTime) {
  service->stop.takesMs = kNever;
  service->stop.reportsProgress = false;
  service->stop.waitHint = 45'000;
  const auto before = h.clock.now();
  run();
  const auto waited = h.clock.now() - before;
  EXPECT_GT(waited, 45'000u);
  EXPECT_LE(waited, 45'200u);
}

TEST_F(UpdateRunTest, AStopThatProgressesForEverEndsAfterTenMinutes) {
  service->stop.takesMs = kNever;
  const auto before = h.clock.now();
  run();
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando a parada do servi\xE7o\r\n");
  const auto waited = h.clock.now() - before;
  EXPECT_GT(waited, 600'000u);
  EXPECT_LE(waited, 600'200u);
}

TEST_F(UpdateRunTest, ManagerThatCannotBeOpenedIsReported) {
  h.services.faults().failAlways(ServiceOp::OpenManager, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), errorLine("Erro ao abrir o gerenciador de servi\xE7os"));
  EXPECT_EQ(result(), "Erro: Erro ao abrir o gerenciador de servi\xE7os\r\n");
  EXPECT_EQ(h.services.calls(ServiceOp::Release), 0u);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, WithoutTheRightToRegisterTheToolConnectsWithLess) {
  h.services.setGrantedManagerRights(platform::kManagerConnect);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.services.managerAccessRequests(), (std::vector<std::uint32_t>{3, 1}));
  EXPECT_EQ(result(), kSuccess);
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, FailedStatusQueryIsReported) {
  h.services.faults().failCall(ServiceOp::QueryStatus, 1, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Service :: status: Erro ao verificar o status do servi\xE7o\r\n");
  expectFilesUntouched();
  expectHandlesClosed();
}

struct RegistrationTest : UpdateRunTest {
  void SetUp() override { h.os.putFile(kNew, "v2"); }
};

TEST_F(RegistrationTest, AMissingServiceIsRegisteredAndItsNewVersionActivatedAndStarted) {
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: N\xC3O encontrado",
                            "Service :: instalado com sucesso", "Service :: encontrado", "Service :: status: parado",
                            "  -> Ativando nova vers\xE3o: NEW -> EXE"}) +
                         kTail);
  EXPECT_EQ(result(), kSuccess);
  const FakeService* created = h.services.find(u"QZAgent");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->binaryPath, u"\"C:\\svc\\qz_Agent.exe\"");
  EXPECT_EQ(created->runningImage, "v2");
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_FALSE(file(kOld));
  expectHandlesClosed();
}

TEST_F(RegistrationTest, AnExistingCurrentExecutableIsBackedUpFirst) {
  h.os.putFile(kCurrent, "v1");
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: status: parado\r\n" + kSwap));
  EXPECT_EQ(file(kOld), "v1");
  EXPECT_EQ(h.services.find(u"QZAgent")->runningImage, "v2");
}

TEST_F(RegistrationTest, FailedRegistrationLeavesTheNewVersionForTheNextRun) {
  h.services.setGrantedManagerRights(platform::kManagerConnect);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: N\xC3O encontrado"}) +
                         errorLine("Erro ao instalar o servi\xE7o: Access is denied"));
  EXPECT_EQ(result(), "Erro: Erro ao instalar o servi\xE7o: Access is denied\r\n");
  EXPECT_EQ(file(kNew), "v2");
  EXPECT_FALSE(file(kCurrent));
  EXPECT_EQ(h.services.serviceCount(), 0u);
  expectHandlesClosed();
}

TEST_F(RegistrationTest, AFailedRegistrationIsRecordedTwiceTheSecondWithTheSystemsText) {
  h.services.faults().failAlways(ServiceOp::RegisterService, 1073);
  // When the second write fails, the first is gone with it.
  h.os.faults().failCall(FileOp::CreateTextFile, 2, 5);
  run();
  EXPECT_EQ(h.os.calls(FileOp::CreateTextFile), 2u);
  EXPECT_FALSE(result());
  EXPECT_THAT(h.out(), HasSubstr("Erro ao instalar o servi\xE7o: The specified service already exists\r\n"
                                 "Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-QZAgent.txt. "
                                 "Erro: File access denied\r\n"));
}

TEST_F(UpdateRunTest, AnInterruptedUpdateKeepsItsBackup) {
  // A run before this one backed up v1 and stopped short of the activation.
  h.os.putFile(kOld, "v1");
  ASSERT_EQ(h.os.removeFile(kCurrent), 0u);
  service->state = kStopped;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead + lines({"Service :: status: parado", "  -> Ativando nova vers\xE3o: NEW -> EXE"}) + kTail);
  EXPECT_EQ(file(kOld), "v1");
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(UpdateRunTest, ALockedBackupFailsTheBackupAndTheServiceRunsOnItsOldVersion) {
  h.os.putFile(kOld, "v0");
  h.os.setLocked(kOld);
  EXPECT_EQ(run(), 0);
  const std::string message = "Erro ao fazer backup da vers\xE3o atual: Cannot create a file when that file already exists";
  EXPECT_THAT(h.out(), HasSubstr(lines({"  -> Removendo vers\xE3o antiga (OLD)",
                                        "  -> Fazendo backup da versao atual: EXE -> OLD",
                                        "Service :: iniciando ..."}) +
                                 errorLine(message)));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  EXPECT_EQ(file(kOld), "v0");
  expectFilesUntouched();
  EXPECT_EQ(service->runningImage, "v1");
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, AFileHeldBrieflyIsMovedOnceItIsLetGo) {
  h.os.faults().failCall(FileOp::MoveNoReplace, 1, 32);
  h.os.faults().failCall(FileOp::MoveNoReplace, 2, 5);
  h.os.faults().failCall(FileOp::MoveNoReplace, 4, 32);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace), 5u);
}

TEST_F(UpdateRunTest, ANewVersionHeldForGoodIsNotActivatedAndTheOldOneIsRestored) {
  h.os.setLocked(kNew);
  const auto before = h.clock.now();
  EXPECT_EQ(run(), 0);
  const std::string message =
      "Erro ao ativar a nova vers\xE3o: The process cannot access the file because it is being used by another process";
  EXPECT_THAT(h.out(), HasSubstr(kSwap + lines({"Service :: iniciando ..."}) + errorLine(message)));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  expectFilesUntouched();
  EXPECT_FALSE(file(kOld));
  EXPECT_EQ(service->runningImage, "v1");
  // Tried for five seconds before giving up.
  EXPECT_GE(h.clock.now() - before, 5'000u);
  EXPECT_LT(h.clock.now() - before, 6'000u);
}

TEST_F(UpdateRunTest, AFailedRestartAfterAFailedFileStepIsSaidAndTheMovesErrorRecorded) {
  h.os.faults().failFrom(FileOp::MoveNoReplace, 1, 2);
  h.services.faults().failAlways(ServiceOp::SendStart, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr(lines({"Service :: iniciando ...",
                                        "Service :: Erro ao iniciar o servi\xE7o: Access is denied"})));
  EXPECT_EQ(result(), "Erro: Erro ao fazer backup da vers\xE3o atual: The system cannot find the file specified\r\n");
}

TEST_F(UpdateRunTest, AServiceThatWasNotRunningIsNotStartedAfterAFailedFileStep) {
  service->state = kStopped;
  h.os.setLocked(kNew);
  run();
  EXPECT_EQ(service->startRequests, 0u);
  EXPECT_EQ(service->state, kStopped);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, ANewVersionThatDiesAtOnceIsAnError) {
  service->start.diesAfterMs = 800;
  EXPECT_EQ(run(), 0);
  const std::string message = "O servi\xE7o parou logo ap\xF3s ser iniciado: The process terminated unexpectedly";
  EXPECT_THAT(h.out(), HasSubstr("Service :: iniciando ...\r\n" + errorLine(message)));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  EXPECT_EQ(file(kCurrent), "v2");
  EXPECT_EQ(file(kOld), "v1");
}

TEST_F(UpdateRunTest, AServiceThatStopsWithoutAnExitCodeIsAnErrorToo) {
  service->start.diesAfterMs = 100;
  service->start.exitCode = 0;
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado\r\n");
}

TEST_F(UpdateRunTest, AServiceSpecificExitCodeIsReportedWithTheSystemsText) {
  service->start.diesAfterMs = 100;
  service->start.exitCode = 1066;
  service->start.specificExitCode = 42;
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The service has returned a "
                      "service-specific error code (c\xF3" "digo do servi\xE7o: 42)\r\n");
}

TEST_F(UpdateRunTest, ASystemTextOfSeveralLinesKeepsTheResultFileToOneLine) {
  h.texts.set(1067, u"The process ended.\r\nSee the event log.\r\n");
  service->start.diesAfterMs = 100;
  run();
  EXPECT_EQ(result(),
            "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The process ended. See the event log\r\n");
}

TEST_F(UpdateRunTest, AStartThatStaysPendingWithoutProgressGivesUp) {
  service->start.pendingMs = 3'000;  // with progress: waited for
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(UpdateRunTest, AStartPendingForEverGivesUpAtTheBound) {
  service->start.pendingMs = kNever;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando o in\xED" "cio do servi\xE7o\r\n");
}

TEST_F(UpdateRunTest, AStartIsRetriedWhileTheStoppedProcessIsStillExiting) {
  service->stop.lingerMs = 700;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_GE(service->startRequests, 2u);
}

TEST_F(UpdateRunTest, TheRestartAfterAFailedFileStepWaitsForTheOldProcessToo) {
  service->stop.lingerMs = 700;
  h.os.faults().failAlways(FileOp::MoveNoReplace, 2);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), ::testing::Not(HasSubstr("Service :: Erro ao iniciar")));
  EXPECT_EQ(service->state, kRunning);
  EXPECT_EQ(service->runningImage, "v1");
}

TEST_F(UpdateRunTest, AStartRefusedForAServiceThatIsNotStoppedIsNotRetried) {
  service->state = platform::kServicePaused;
  run();
  EXPECT_EQ(service->startRequests, 1u);
}

TEST_F(UpdateRunTest, StartRefusedIsReported) {
  h.services.faults().failAlways(ServiceOp::SendStart, 1053);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Erro ao iniciar o servi\xE7o\r\n");
  EXPECT_THAT(h.out(), HasSubstr("Service :: iniciando ...\r\n" + errorLine("Erro ao iniciar o servi\xE7o")));
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, RedirectedOutputLostMidRunIsHandledWhenItsBlockFails) {
  h.os.faults().failFrom(FileOp::WriteStdout, 1, 232);
  EXPECT_EQ(run(), 0);
  // The first full block failed inside the run; the handler's line is still
  // in the buffer when the result is recorded, and the end's flush is quiet.
  EXPECT_EQ(result(), "Erro: I/O error 232\r\n");
  EXPECT_EQ(h.os.stderrBytes(), "");
  EXPECT_EQ(service->state, kRunning);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, ConsoleLostMidRunEscapesWithStatus1ButLeavesNothingHalfDone) {
  h.os.setStdout(StdoutKind::Console);
  // Lost while announcing the activation: the backup has been made.
  h.os.faults().failFrom(FileOp::WriteStdout, 8, 232);
  EXPECT_EQ(run(), 1);
  EXPECT_THAT(h.os.stderrBytes(), HasSubstr("Exception EInOutError in module UpdateServiceQZ.exe at "));
  EXPECT_THAT(h.os.stderrBytes(), HasSubstr("I/O error 232.\r\n\r\n"));
  EXPECT_FALSE(result());
  expectFilesUntouched();
  EXPECT_EQ(service->runningImage, "v1");
  EXPECT_EQ(service->state, kRunning);
}

// Every platform operation that a successful update uses, failed in turn
// with an error that waiting does not cure: whatever fails, nothing is lost,
// the outcome is told truthfully and every handle is closed.
struct FaultSweepCase {
  bool fileOperation;
  int operation;
  unsigned nth;
};

// A running service with a slow stop and an older backup: every step of
// the update is taken.
FakeService& setUpSweepScene(Harness& h) {
  h.os.putFile(kCurrent, "v1");
  h.os.putFile(kNew, "v2");
  h.os.putFile(kOld, "v0");
  auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
  service.stop.takesMs = 300;
  service.runningImage = "v1";
  return service;
}

std::vector<FaultSweepCase> sweepCases() {
  Harness clean;
  setUpSweepScene(clean);
  clean.run(u"--service-name QZAgent");
  std::vector<FaultSweepCase> cases;
  for (int op = 0; op <= static_cast<int>(FileOp::Pause); ++op) {
    for (unsigned n = 1; n <= clean.os.calls(static_cast<FileOp>(op)); ++n) cases.push_back({true, op, n});
  }
  for (int op = 0; op <= static_cast<int>(ServiceOp::Release); ++op) {
    for (unsigned n = 1; n <= clean.services.calls(static_cast<ServiceOp>(op)); ++n) cases.push_back({false, op, n});
  }
  return cases;
}

struct FaultSweep : ::testing::TestWithParam<FaultSweepCase> {};

TEST_P(FaultSweep, NothingIsLostAndNoFailureIsReportedAsSuccess) {
  const auto fault = GetParam();
  Harness h;
  auto& service = setUpSweepScene(h);
  constexpr platform::OsError kLasting = 1;  // ERROR_INVALID_FUNCTION: no retry cures it
  if (fault.fileOperation) {
    h.os.faults().failCall(static_cast<FileOp>(fault.operation), fault.nth, kLasting);
  } else {
    h.services.faults().failCall(static_cast<ServiceOp>(fault.operation), fault.nth, kLasting);
  }

  EXPECT_EQ(h.run(u"--service-name QZAgent"), 0) << h.os.stderrBytes();

  std::multiset<std::string> versions;
  for (const auto& name : {kCurrent, kNew, kOld}) {
    if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
  }
  EXPECT_EQ(versions.count("v1"), 1u);
  EXPECT_EQ(versions.count("v2"), 1u);
  EXPECT_TRUE(h.os.fileExists(FakeServiceControl::unquoted(service.binaryPath)));

  const auto outcome = h.os.contents(kResult);
  if (outcome == kSuccess) {
    EXPECT_EQ(h.os.contents(kCurrent), "v2");
    EXPECT_EQ(service.runningImage, "v2");
    EXPECT_EQ(service.state, kRunning);
  } else if (outcome && outcome->rfind("Erro: ", 0) == 0) {
    EXPECT_THAT(h.out(), HasSubstr("Ocorreu um erro ao atualizar o servi\xE7o: QZAgent. Erro: "));
  } else {
    // Only a failure of the result file itself leaves anything else, and
    // the console says so.
    EXPECT_THAT(h.out(), HasSubstr("Ocorreu um erro ao tentar salvar resultado no arquivo "));
  }

  EXPECT_EQ(h.services.openHandles(), 0u);
  EXPECT_EQ(h.os.openFiles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultSweep, ::testing::ValuesIn(sweepCases()),
                         [](const ::testing::TestParamInfo<FaultSweepCase>& info) {
                           return std::string(info.param.fileOperation ? "file" : "service") +
                                  std::to_string(info.param.operation) + "_call" + std::to_string(info.param.nth);
                         });

}  // namespace
}  // namespace usqz
