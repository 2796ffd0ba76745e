// The update run over the in-memory platform: transcripts, result file,
// files on disk and service state after every outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "harness.h"
#include "sweep_scene.h"
#include "run/run_lock.h"
#include "platform/text.h"

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
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    service = &h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    service->runningImage = kV1;
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
    EXPECT_EQ(file(kCurrent), kV1);
    EXPECT_EQ(file(kNew), kV2);
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
  EXPECT_EQ(file(kCurrent), kV2);
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_FALSE(file(kNew));
  EXPECT_EQ(service->state, kRunning);
  EXPECT_EQ(service->runningImage, kV2);
  EXPECT_EQ(service->stopRequests, 1u);
  expectHandlesClosed();
  // The manager is asked for the right to register as well.
  EXPECT_EQ(h.services.managerAccessRequests(), std::vector<std::uint32_t>{7});
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
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_EQ(result(), kSuccess);
}

TEST_F(UpdateRunTest, StoppedServiceIsNotAskedToStop) {
  service->state = kStopped;
  service->runningImage.reset();
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead + lines({"Service :: status: parado"}) + kSwap + kTail);
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(service->runningImage, kV2);
  EXPECT_EQ(result(), kSuccess);
}

// The run learns of the stop when the service reports it, and moves the
// files once its process has gone: the service is down for the swap alone.
// Queries stay the source of truth, at least every 100 ms, never more.
TEST(StopWait, TheStopIsSeenAsItHappensWithAPollAsTheFallback) {
  for (const bool told : {true, false}) {
    Harness h;
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    service.stop.takesMs = 2'050;
    service.stop.lingerMs = 7;
    h.services.setNotifications(told);
    EXPECT_EQ(h.run(u"--service-name QZAgent"), 0);
    EXPECT_EQ(h.os.contents(kResult), kSuccess);
    const auto downtime = service.since - service.stoppedAt;
    EXPECT_GE(downtime, 7u);
    EXPECT_LE(downtime, told ? 8u : 107u) << told;
    // About one query per poll while it stops: no spinning.
    EXPECT_LE(h.services.calls(ServiceOp::QueryProcess), 2'050u / 100 + 25) << told;
  }
}

// Whatever state the service is found in, its process is gone before the
// files move, and it is started on the new version.
TEST(FoundState, EveryStateEndsWithTheOldProcessGoneAndTheNewVersionRunning) {
  struct Case {
    std::uint32_t state;
    std::string lines;
    unsigned stopRequests;
  };
  const std::vector<Case> cases = {
      {platform::kServicePaused, lines({"Service :: status: pausado", "Service :: parando ...", "Service :: parado"}), 1},
      {platform::kServicePausePending,
       lines({"Service :: status: pausando", "Service :: parando ...", "Service :: parado"}), 1},
      {platform::kServiceContinuePending,
       lines({"Service :: status: retomando", "Service :: parando ...", "Service :: parado"}), 1},
      {platform::kServiceStartPending,
       lines({"Service :: status: iniciando", "Service :: parando ...", "Service :: parado"}), 1},
      {platform::kServiceStopPending, lines({"Service :: status: parando", "Service :: parado"}), 0},
  };
  for (const auto& c : cases) {
    Harness h;
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", c.state);
    service.runningImage = kV1;
    service.run.pendingMs = 500;    // how long the start-pending one takes to run
    service.stop.takesMs = 500;     // and the stop-pending one to stop
    service.stop.lingerMs = 300;    // the process outlives the stop
    const auto oldProcess = service.processId;
    EXPECT_EQ(h.run(u"--service-name QZAgent"), 0);
    EXPECT_EQ(h.out(), kHead + c.lines + kSwap + kTail) << c.state;
    EXPECT_EQ(h.os.contents(kResult), kSuccess);
    EXPECT_EQ(service.stopRequests, c.stopRequests);
    EXPECT_FALSE(h.services.processAlive(oldProcess));
    EXPECT_EQ(service.runningImage, kV2);
    EXPECT_EQ(service.startRequests, 1u) << "moved and started only once the old process was gone";
  }
}

TEST_F(UpdateRunTest, AQueryThatFailsOnceDuringTheStopIsPassedOver) {
  service->stop.takesMs = 1'000;
  h.services.faults().failCall(ServiceOp::QueryProcess, 2, 6);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: parando ...\r\nService :: parado\r\n"));
  // The files moved once the old process had exited: the first start went
  // through.
  EXPECT_EQ(service->startRequests, 1u);
  EXPECT_EQ(result(), kSuccess);
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
  EXPECT_EQ(h.services.managerAccessRequests(), (std::vector<std::uint32_t>{7, 1}));
  EXPECT_EQ(result(), kSuccess);
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, AStatusQueryThatKeepsFailingIsReported) {
  h.services.faults().failFrom(ServiceOp::QueryProcess, 1, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Service :: status: Erro ao verificar o status do servi\xE7o\r\n");
  expectFilesUntouched();
  expectHandlesClosed();
}

// The service must run the executable the run swaps, and be able to start
// again: otherwise nothing is stopped and nothing moves.
// Registered by its folder's short name, the service still runs the
// executable once that executable is gone (a run undone after its backup).
TEST(RegisteredPath, AShortFolderNameMatchesEvenWithTheExecutableMissing) {
  Harness h;
  h.os.setShortName(u"C:\\SVC~1", u"C:\\svc");
  h.os.putFile(kOld, kV1);
  h.os.putFile(kNew, kV2);
  auto& service = h.services.addService(u"QZAgent", u"C:\\SVC~1\\qz_Agent.exe", platform::kServiceStopped);
  h.services.setExecutableReader([&h](const std::u16string& path) { return h.os.contents(u"C:\\svc" + path.substr(8)); });
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 0);
  EXPECT_EQ(service.runningImage, kV2);
}

// Only a service that does not exist is registered: one the run may not
// open is reported as such, and nothing is touched.
TEST_F(UpdateRunTest, AServiceThatCannotBeOpenedIsNeitherMissingNorRegistered) {
  h.services.faults().failAlways(ServiceOp::OpenExisting, platform::kErrorAccessDenied);
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 10);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent"}) +
                         errorLine("Erro ao abrir o servi\xE7o: Access is denied"));
  EXPECT_EQ(h.services.calls(ServiceOp::RegisterService) + h.services.calls(ServiceOp::ListServices), 0u);
  expectFilesUntouched();
  EXPECT_FALSE(h.os.contents(kJournal));
}

// The older backup's removal is retried as every move is, and a failure
// is reported and undone, never passed over.
TEST_F(UpdateRunTest, TheOlderBackupsRemovalIsRetriedAndItsFailureReported) {
  h.os.putFile(kOld, "v0");
  h.os.faults().failCall(FileOp::RemoveFile, 2, platform::kErrorSharingViolation);
  h.os.faults().failCall(FileOp::RemoveFile, 3, platform::kErrorSharingViolation);
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 0);
  EXPECT_EQ(file(kOld), kV1);

  h.os.putFile(kNew, peImage("v3"));
  h.os.faults().failFrom(FileOp::RemoveFile, 1, 1);
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 11);
  EXPECT_THAT(*result(), ::testing::StartsWith("Erro: Erro ao remover a vers\xE3o antiga (OLD): "));
  EXPECT_EQ(service->runningImage, kV2);
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_EQ(file(kNew), peImage("v3"));
}

TEST_F(UpdateRunTest, AServiceRegisteredWithAnotherExecutableIsRefusedBeforeTheStop) {
  service->binaryPath = u"\"C:\\Program Files\\QZ\\qz_Agent.exe\" -service";
  EXPECT_EQ(run(), 0);
  const std::string message = "O servi\xE7o executa outro arquivo: \"C:\\Program Files\\QZ\\qz_Agent.exe\" -service";
  EXPECT_EQ(h.out(), kHead.substr(0, kHead.size() - std::string("Service :: encontrado\r\n").size()) +
                         errorLine(message));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  EXPECT_EQ(service->stopRequests, 0u);
  expectFilesUntouched();
  expectHandlesClosed();
}

TEST(RegisteredPath, MatchesUnquotedInAnotherCaseAndThroughTheEnvironment) {
  for (const auto* registered : {u"C:\\svc\\qz_Agent.exe", u"c:\\SVC\\QZ_AGENT.EXE -x", u"%SVC%\\qz_Agent",
                                 u"\"%SVC%\\qz_Agent.exe\" -x"}) {
    Harness h;
    h.os.setEnvironment(u"SVC", u"c:\\SVC");
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    auto& service = h.services.addService(u"QZAgent", registered, kRunning);
    h.run(u"--service-name QZAgent");
    // Past the check: the service was stopped for the swap.
    EXPECT_EQ(service.stopRequests, 1u) << toUtf8(registered);
  }
}

TEST_F(UpdateRunTest, ADisabledServiceIsRefusedBeforeTheStop) {
  service->startType = platform::kServiceDisabled;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: O servi\xE7o est\xE1 desativado e n\xE3o poderia ser iniciado novamente\r\n");
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(service->state, kRunning);
  expectFilesUntouched();
}

// QXAgent and QZAgent both derive qz_Agent.exe: a mistyped name must not
// register a second service on a running one's executable.
TEST_F(UpdateRunTest, NoSecondServiceIsRegisteredOnAnExecutableAnotherRuns) {
  EXPECT_EQ(h.run(u"--service-name QXAgent"), 0);
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-QXAgent.txt"),
            "Erro: O execut\xE1vel j\xE1 \xE9 usado pelo servi\xE7o QZAgent: C:\\svc\\qz_Agent.exe\r\n");
  EXPECT_EQ(h.services.serviceCount(), 1u);
  EXPECT_EQ(service->stopRequests, 0u);
  expectFilesUntouched();
  expectHandlesClosed();
}

// One run per service: a second one finds the lock held and touches nothing.
TEST_F(UpdateRunTest, ASecondRunForTheSameServiceChangesNothing) {
  h.os.putFile(kResult, "Atualizado com sucesso!\r\n");
  h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE"));
  EXPECT_EQ(h.run(u"--service-name qzagent"), 0);
  EXPECT_EQ(h.out(), lines({"Outra atualiza\xE7\xE3o do servi\xE7o qzagent j\xE1 est\xE1 em andamento."}));
  EXPECT_EQ(result(), "Atualizado com sucesso!\r\n");
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::MoveNoReplace), 0u);

  // Another service's run goes ahead.
  h.os.putFile(u"C:\\svc\\qz_Other.new", kV2);
  h.services.addService(u"QZOther", u"C:\\svc\\qz_Other.exe");
  h.run(u"--service-name QZOther");
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-QZOther.txt"), kSuccess);
}

TEST(RunLockName, OneNamePerExecutableWhateverItsPathHolds) {
  EXPECT_EQ(runLockName(u"C:\\SVC\\QZ_AGENT.EXE"), runLockName(u"C:\\SVC\\QZ_AGENT.EXE"));
  EXPECT_NE(runLockName(u"C:\\SVC\\QZ_AGENT.EXE"), runLockName(u"C:\\SVC\\QZ_AGENT2.EXE"));
  const auto odd = runLockName(u"C:\\QZ\\..\\A" + std::u16string(30'000, u'X'));
  EXPECT_EQ(odd.rfind(u"Global\\UpdateServiceQZ-", 0), 0u);
  EXPECT_EQ(odd.find(u'\\', 7), std::u16string::npos);
  EXPECT_LT(odd.size(), 260u);
}

struct RegistrationTest : UpdateRunTest {
  void SetUp() override { h.os.putFile(kNew, kV2); }
};

// An unregistered service is checked as fully as a registered one before
// anything changes: an older backup that cannot go stops the registration.
TEST_F(RegistrationTest, AnOlderBackupThatCannotBeRemovedIsRefusedBeforeTheRegistration) {
  h.os.putFile(kOld, "v0");
  h.os.setLocked(kOld);
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 10);
  EXPECT_EQ(h.services.serviceCount(), 0u);
  EXPECT_EQ(h.services.calls(ServiceOp::RegisterService), 0u);
}

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
  EXPECT_EQ(created->runningImage, kV2);
  EXPECT_EQ(file(kCurrent), kV2);
  EXPECT_FALSE(file(kOld));
  expectHandlesClosed();
}

TEST_F(RegistrationTest, AnExistingCurrentExecutableIsBackedUpFirst) {
  h.os.putFile(kCurrent, kV1);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr("Service :: status: parado\r\n" + kSwap));
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_EQ(h.services.find(u"QZAgent")->runningImage, kV2);
}

TEST_F(RegistrationTest, FailedRegistrationLeavesTheNewVersionForTheNextRun) {
  h.services.setGrantedManagerRights(platform::kManagerConnect);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: N\xC3O encontrado"}) +
                         errorLine("Erro ao instalar o servi\xE7o: Access is denied"));
  EXPECT_EQ(result(), "Erro: Erro ao instalar o servi\xE7o: Access is denied\r\n");
  EXPECT_EQ(file(kNew), kV2);
  EXPECT_FALSE(file(kCurrent));
  EXPECT_EQ(h.services.serviceCount(), 0u);
  expectHandlesClosed();
}

TEST_F(RegistrationTest, AFailedRegistrationIsRecordedTwiceTheSecondWithTheSystemsText) {
  h.services.faults().failAlways(ServiceOp::RegisterService, 1073);
  // When the second write fails, the first stays whole.
  h.os.faults().failCall(FileOp::CreateNewFile, 2, 5);
  run();
  EXPECT_EQ(h.os.calls(FileOp::CreateNewFile), 2u);
  EXPECT_EQ(result(), "Erro ao instalar o servi\xE7o!\r\n");
  EXPECT_THAT(h.out(), HasSubstr("Erro ao instalar o servi\xE7o: The specified service already exists\r\n"
                                 "Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-QZAgent.txt. "
                                 "Erro: File access denied\r\n"));
}

TEST_F(UpdateRunTest, AnInterruptedUpdateKeepsItsBackup) {
  // A run before this one backed up v1 and stopped short of the activation.
  h.os.putFile(kOld, kV1);
  ASSERT_EQ(h.os.removeFile(kCurrent), 0u);
  service->state = kStopped;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(h.out(), kHead + lines({"Service :: status: parado", "  -> Ativando nova vers\xE3o: NEW -> EXE"}) + kTail);
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_EQ(file(kCurrent), kV2);
  EXPECT_EQ(result(), kSuccess);
}

// An older backup that the swap could not remove is found before the stop.
TEST_F(UpdateRunTest, AnOlderBackupThatCannotBeRemovedIsRefusedBeforeTheStop) {
  h.os.putFile(kOld, "v0");
  h.os.setLocked(kOld);
  EXPECT_EQ(run(), 0);
  const std::string message = "O backup antigo n\xE3o pode ser removido: C:\\svc\\qz_Agent.old: The process cannot "
                              "access the file because it is being used by another process";
  EXPECT_EQ(h.out(), kHead + errorLine(message));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(file(kOld), "v0");
  expectFilesUntouched();
  expectHandlesClosed();

  Harness again;
  again.os.putFile(kCurrent, kV1);
  again.os.putFile(kNew, kV2);
  again.os.addDirectory(kOld);
  again.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
  again.run(u"--service-name QZAgent");
  EXPECT_EQ(again.os.contents(kResult),
            "Erro: O backup antigo n\xE3o pode ser removido: C:\\svc\\qz_Agent.old: \xE9 uma pasta\r\n");
}

TEST_F(UpdateRunTest, AFileHeldBrieflyIsMovedOnceItIsLetGo) {
  h.os.faults().failCall(FileOp::MoveNoReplace, 1, 32);
  h.os.faults().failCall(FileOp::MoveNoReplace, 2, 5);
  h.os.faults().failCall(FileOp::RenameOpenFile, 1, 32);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(file(kCurrent), kV2);
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace), 3u);
  EXPECT_EQ(h.os.calls(FileOp::RenameOpenFile), 2u);
}

TEST_F(UpdateRunTest, ANewVersionStillBeingWrittenIsRefusedBeforeTheManagerIsOpened) {
  h.os.setLocked(kNew);
  const auto before = h.clock.now();
  EXPECT_EQ(run(), 0);
  const std::string message = "A nova vers\xE3o ainda est\xE1 sendo gravada ou est\xE1 em uso por outro processo";
  EXPECT_EQ(h.out(), errorLine(message));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  expectFilesUntouched();
  // Waited for five seconds before giving up.
  EXPECT_GE(h.clock.now() - before, 5'000u);
  EXPECT_LT(h.clock.now() - before, 6'000u);
}

// A build for the wrong processor is refused before the stop: on 32-bit
// Windows an x64 build, on x64 an ARM64 one; an x86 build runs on both.
TEST(NewVersionCheck, OnlyABuildThisMachineRunsIsSwappedIn) {
  struct Case {
    std::vector<std::uint16_t> machines;
    std::uint16_t built;
    bool accepted;
  };
  for (const auto& c : std::vector<Case>{{{0x014C}, 0x8664, false},
                                         {{0x014C}, 0x014C, true},
                                         {{0x8664, 0x014C}, 0x014C, true},
                                         {{0x8664, 0x014C}, 0xAA64, false},
                                         {{0xAA64, 0x8664, 0x014C}, 0xAA64, true}}) {
    Harness h;
    h.os.setRunnableMachines(c.machines);
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, peImage("v2", 0x0022, 0x20B, c.built));
    h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), c.accepted ? 0 : 10) << c.built;
    EXPECT_EQ(h.services.calls(ServiceOp::SendStop), c.accepted ? 1u : 0u);
  }
}

// Damaged copies of a new version never reach the service.
TEST(NewVersionCheck, AnythingButACompleteExecutableIsRefusedBeforeTheManagerIsOpened) {
  const std::string good = kV2;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "arquivo vazio"},
      {good.substr(0, 40), "arquivo truncado"},
      {good.substr(0, good.size() - 1), "arquivo truncado"},
      {"XY" + good.substr(2), "sem a assinatura MZ"},
      {peImage("v2", 0x2022), "\xE9 uma DLL"},
      {peImage("v2", 0x0020), "n\xE3o \xE9 uma imagem execut\xE1vel"},
      {peImage("v2", 0x0022, 0x107), "formato de cabe\xE7" "alho desconhecido"},
      {good.substr(0, 0x40) + "NE" + good.substr(0x42), "sem a assinatura PE"},
      {peImage("v2", 0x0022, 0x20B, 0xAA64), "feita para ARM64, que esta m\xE1quina n\xE3o executa"},
      {peImage("v2", 0x0022, 0x20B, 0x0200), "feita para a m\xE1quina 0x0200, que esta m\xE1quina n\xE3o executa"},
  };
  for (const auto& [bytes, why] : cases) {
    Harness h;
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, bytes);
    h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
    EXPECT_EQ(h.run(u"--service-name QZAgent"), 0);
    EXPECT_EQ(h.os.contents(kResult), "Erro: A nova vers\xE3o n\xE3o \xE9 um execut\xE1vel v\xE1lido: " + why + "\r\n");
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
    EXPECT_EQ(h.os.contents(kNew), bytes);
    EXPECT_EQ(h.os.contents(kCurrent), kV1);
  }
}

TEST_F(UpdateRunTest, AFailedRestartAfterAFailedFileStepIsSaidAndTheMovesErrorRecorded) {
  h.os.faults().failFrom(FileOp::MoveNoReplace, 1, 2);
  h.services.faults().failAlways(ServiceOp::SendStart, 5);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr(lines({"Service :: iniciando ...",
                                        "Service :: Erro ao iniciar o servi\xE7o: Access is denied"})));
  // The restart's failure is recorded with the cause.
  EXPECT_EQ(result(), "Erro: Erro ao fazer backup da vers\xE3o atual: The system cannot find the file specified. "
                      "Servi\xE7o n\xE3o reiniciado: Access is denied\r\n");
}

TEST_F(UpdateRunTest, AServiceThatWasNotRunningIsNotStartedAfterAFailedFileStep) {
  service->state = kStopped;
  h.os.setLocked(kNew);
  run();
  EXPECT_EQ(service->startRequests, 0u);
  EXPECT_EQ(service->state, kStopped);
  expectFilesUntouched();
}

const std::string kRolledBack = ". Vers\xE3o anterior restaurada e em execu\xE7\xE3o.";

TEST_F(UpdateRunTest, ANewVersionThatDiesAtOnceIsRolledBack) {
  service->startOnlyFor = kV2;
  service->start.diesAfterMs = 800;
  EXPECT_EQ(run(), 0);
  const std::string message =
      "O servi\xE7o parou logo ap\xF3s ser iniciado: The process terminated unexpectedly" + kRolledBack;
  EXPECT_EQ(h.out(), kHead +
                         lines({"Service :: status: iniciado", "Service :: parando ...", "Service :: parado"}) +
                         kSwap +
                         lines({"Service :: iniciando ...", "  -> Devolvendo a nova vers\xE3o: EXE -> NEW",
                                "  -> Restaurando vers\xE3o anterior: OLD -> EXE", "Service :: iniciando ...",
                                "Service :: status: iniciado"}) +
                         errorLine(message));
  EXPECT_EQ(result(), "Erro: " + message + "\r\n");
  expectFilesUntouched();
  EXPECT_FALSE(file(kOld));
  EXPECT_EQ(service->runningImage, kV1);
  EXPECT_EQ(service->state, kRunning);
  expectHandlesClosed();
}

TEST_F(UpdateRunTest, TheExitCodeOfAFailedStartIsToldAsTheSystemWordsIt) {
  service->startOnlyFor = kV2;
  service->start.diesAfterMs = 100;
  service->start.exitCode = 0;
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado" + kRolledBack + "\r\n");

  service->start.exitCode = 1066;
  service->start.specificExitCode = 42;
  h.os.putFile(kNew, kV2);
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The service has returned a "
                      "service-specific error code (c\xF3" "digo do servi\xE7o: 42)" + kRolledBack + "\r\n");

  h.texts.set(1067, u"The process ended.\r\nSee the event log.\r\n");
  service->start.exitCode = 1067;
  h.os.putFile(kNew, kV2);
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The process ended. See the event log" +
                          kRolledBack + "\r\n");
}

TEST_F(UpdateRunTest, AProcessThatExitsWithoutAWordCountsAsStoppedAndIsRolledBack) {
  service->startOnlyFor = kV2;
  service->start.exitsSilentlyAfterMs = 300;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado" + kRolledBack + "\r\n");
  EXPECT_EQ(service->runningImage, kV1);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, APreviousVersionThatDoesNotStartEitherIsSaid) {
  service->start.diesAfterMs = 100;  // both versions
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The process terminated unexpectedly. "
                      "Vers\xE3o anterior restaurada, mas n\xE3o iniciou: O servi\xE7o parou logo ap\xF3s ser "
                      "iniciado: The process terminated unexpectedly\r\n");
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, ARollbackThatCannotMoveTheFilesSaysWhereEachVersionIs) {
  service->startOnlyFor = kV2;
  service->start.diesAfterMs = 100;
  // The rollback's second move (the activation renames the held copy).
  h.os.faults().failFrom(FileOp::MoveNoReplace, 3, 1);
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The process terminated unexpectedly. "
                      "Revers\xE3o falhou ao restaurar a vers\xE3o anterior (); a vers\xE3o anterior est\xE1 em "
                      "C:\\svc\\qz_Agent.old e a nova em C:\\svc\\qz_Agent.new\r\n");
  EXPECT_EQ(file(kOld), kV1);
  EXPECT_EQ(file(kNew), kV2);
}

TEST_F(UpdateRunTest, AServiceThatWasStoppedIsRolledBackButNotStarted) {
  service->state = kStopped;
  service->startOnlyFor = kV2;
  service->start.diesAfterMs = 100;
  run();
  EXPECT_EQ(result(), "Erro: O servi\xE7o parou logo ap\xF3s ser iniciado: The process terminated unexpectedly. "
                      "Vers\xE3o anterior restaurada.\r\n");
  EXPECT_EQ(service->state, kStopped);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, AStartThatStaysPendingWithoutProgressGivesUp) {
  service->start.pendingMs = 3'000;  // with progress: waited for
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
}

// A start stuck in start-pending accepts no stop: its process is ended.
TEST_F(UpdateRunTest, AStartPendingForEverIsEndedAndRolledBackAtTheBound) {
  service->startOnlyFor = kV2;
  service->start.pendingMs = kNever;
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), HasSubstr(lines({"Service :: iniciando ...", "  -> Revertendo: parando a nova vers\xE3o",
                                        "  -> Revertendo: encerrando o processo da nova vers\xE3o",
                                        "  -> Devolvendo a nova vers\xE3o: EXE -> NEW"})));
  EXPECT_EQ(result(), "Erro: Tempo esgotado aguardando o in\xED" "cio do servi\xE7o" + kRolledBack + "\r\n");
  EXPECT_EQ(service->runningImage, kV1);
  expectFilesUntouched();
}

TEST_F(UpdateRunTest, TheSwapWaitsForTheStoppedServicesProcessToExit) {
  service->stop.lingerMs = 700;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), kSuccess);
  EXPECT_EQ(service->startRequests, 1u);
}

TEST_F(UpdateRunTest, TheRestartAfterAFailedFileStepWaitsForTheOldProcessToo) {
  service->stop.lingerMs = 700;
  h.os.faults().failAlways(FileOp::MoveNoReplace, 2);
  EXPECT_EQ(run(), 0);
  EXPECT_THAT(h.out(), ::testing::Not(HasSubstr("Service :: Erro ao iniciar")));
  EXPECT_EQ(service->state, kRunning);
  EXPECT_EQ(service->runningImage, kV1);
}

TEST_F(UpdateRunTest, AStartRefusedIsRolledBack) {
  h.services.faults().failCall(ServiceOp::SendStart, 1, 1053);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(result(), "Erro: Erro ao iniciar o servi\xE7o" + kRolledBack + "\r\n");
  EXPECT_THAT(h.out(), HasSubstr("Service :: iniciando ...\r\n  -> Devolvendo"));
  EXPECT_EQ(service->runningImage, kV1);
  expectHandlesClosed();

  h.services.faults().failAlways(ServiceOp::SendStart, 1053);
  h.os.putFile(kNew, kV2);
  run();
  EXPECT_EQ(result(), "Erro: Erro ao iniciar o servi\xE7o. Vers\xE3o anterior restaurada, mas n\xE3o iniciou: The "
                      "service did not respond to the start or control request in a timely fashion\r\n");
  expectFilesUntouched();
}

// Output never steers the run: a console or pipe lost at any line, the
// update goes through (or rolls back) as it would have, the result is
// recorded, and only then is the lost output reported (status 1).
TEST(ConsoleLost, AtAnyLineTheRunIsUnchangedAndTheLossReportedAtTheEnd) {
  for (const bool rollback : {false, true}) {
    for (const auto kind : {StdoutKind::Console, StdoutKind::Redirected}) {
      Harness clean;
      setUpSweepScene(clean, rollback);
      clean.os.setStdout(kind);
      clean.run(kSweepArguments);
      const unsigned writes = clean.os.calls(FileOp::WriteStdout);
      for (unsigned nth = 1; nth <= writes; ++nth) {
        Harness h;
        auto& service = setUpSweepScene(h, rollback);
        h.os.setStdout(kind);
        h.os.faults().failFrom(FileOp::WriteStdout, nth, 232);
        const int status = h.run(kSweepArguments);
        // Redirected, the last block goes out as the process ends, and its
        // loss is not reported.
        const bool lost = kind == StdoutKind::Console || nth < writes;
        SCOPED_TRACE(::testing::Message() << "rollback " << rollback << " console " << (kind == StdoutKind::Console)
                                        << " write " << nth);
        EXPECT_EQ(status, lost ? 1 : (rollback ? 11 : 0));
        EXPECT_EQ(service.runningImage, rollback ? kV1 : kV2);
        EXPECT_EQ(service.state, kRunning);
        EXPECT_EQ(h.os.contents(kCurrent), rollback ? kV1 : kV2);
        EXPECT_EQ(h.os.contents(rollback ? kNew : kOld), rollback ? kV2 : kV1);
        EXPECT_EQ(h.services.find(u"QZB")->state, kRunning);
        EXPECT_EQ(h.os.contents(kResult).has_value(), true);
        EXPECT_EQ(h.os.contents(kResult)->rfind(rollback ? "Erro: O servi" : "Atualizado com sucesso!", 0), 0u);
        if (lost) {
          EXPECT_THAT(h.os.stderrBytes(), HasSubstr("EInOutError in module UpdateServiceQZ.exe at "));
        }
        EXPECT_FALSE(h.os.contents(kJournal));
      }
    }
  }
}

// With --exit-code the status tells the outcome; without it, every handled
// outcome exits 0 as before.
TEST(ExitCode, EachOutcomeHasItsStatusOnlyWhenAsked) {
  struct Case {
    const char* what;
    std::function<void(Harness&, FakeService&)> scene;
    int status;
  };
  const std::vector<Case> cases = {
      {"updated", [](Harness&, FakeService&) {}, 0},
      {"missing new version", [](Harness& h, FakeService&) { h.os.removeFile(kNew); }, 3},
      {"stop refused", [](Harness&, FakeService& s) { s.stop.refused = true; }, 10},
      {"new version refused", [](Harness& h, FakeService&) { h.os.putFile(kNew, ""); }, 10},
      {"rolled back",
       [](Harness&, FakeService& s) {
         s.startOnlyFor = kV2;
         s.start.diesAfterMs = 100;
       },
       11},
      {"previous version down too", [](Harness&, FakeService& s) { s.start.diesAfterMs = 100; }, 12},
      {"stop never ends", [](Harness&, FakeService& s) { s.stop.takesMs = kNever; }, 12},
      {"another run under way",
       [](Harness& h, FakeService&) { h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE")); },
       1618},
  };
  for (const auto& c : cases) {
    for (const bool asked : {false, true}) {
      Harness h;
      h.os.putFile(kCurrent, kV1);
      h.os.putFile(kNew, kV2);
      auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", kRunning);
      service.runningImage = kV1;
      c.scene(h, service);
      EXPECT_EQ(h.run(asked ? u"--exit-code --service-name QZAgent" : u"--service-name QZAgent"), asked ? c.status : 0)
          << c.what;
    }
  }
  Harness usage;
  EXPECT_EQ(usage.run(u"--exit-code"), 2);
  EXPECT_EQ(usage.run(u""), 0);
}

// A chain: QZAgent <- QZB <- QZC (C depends on B, B on the service).
struct DependentsTest : UpdateRunTest {
  FakeService* b = nullptr;
  FakeService* c = nullptr;
  void SetUp() override {
    UpdateRunTest::SetUp();
    for (const auto* name : {u"B", u"C"}) h.os.putFile(u"C:\\svc\\" + std::u16string(name) + u".exe", kV1);
    b = &h.services.addService(u"QZB", u"C:\\svc\\B.exe", kRunning);
    b->dependsOn = {u"QZAgent"};
    c = &h.services.addService(u"QZC", u"C:\\svc\\C.exe", kRunning);
    c->dependsOn = {u"qzb"};
  }
};

TEST_F(DependentsTest, WithoutTheOptionNothingStopsAndTheyAreNamed) {
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 10);
  EXPECT_EQ(result(), "Erro: Erro ao parar o servi\xE7o: servi\xE7os dependentes em execu\xE7\xE3o: QZC, QZB\r\n");
  EXPECT_EQ(service->stopRequests + b->stopRequests + c->stopRequests, 0u);
  expectFilesUntouched();
}

TEST_F(DependentsTest, WithTheOptionTheyStopFirstAndComeBackInReverse) {
  EXPECT_EQ(h.run(u"--service-name QZAgent --stop-dependents --exit-code"), 0);
  EXPECT_EQ(h.out(), kHead +
                         lines({"Service :: status: iniciado", "Service :: parando dependente QZC ...",
                                "Service :: parando dependente QZB ...", "Service :: parando ...",
                                "Service :: parado"}) +
                         kSwap +
                         lines({"Service :: iniciando ...", "Service :: status: iniciado",
                                "Service :: iniciando dependente QZB ...", "Service :: iniciando dependente QZC ...",
                                "", "Atualiza\xE7\xE3o finalizada.", ""}));
  EXPECT_EQ(result(), kSuccess);
  for (const auto* s : {service, b, c}) EXPECT_EQ(s->state, kRunning);
  EXPECT_EQ(service->runningImage, kV2);
}

// A service that says it will not take a stop is refused before any of its
// dependents is taken down for nothing.
TEST_F(DependentsTest, AServiceThatAcceptsNoStopIsRefusedBeforeAnyDependentStops) {
  service->stop.refused = true;
  EXPECT_EQ(h.run(u"--service-name QZAgent --stop-dependents --exit-code"), 10);
  EXPECT_EQ(result(), "Erro: Erro ao parar o servi\xE7o: o servi\xE7o n\xE3o aceita o pedido de parada\r\n");
  EXPECT_EQ(b->stopRequests + c->stopRequests + service->stopRequests, 0u);
}

// A dependent whose stop never completes is down: the run says so and
// exits 12, not "unchanged".
TEST_F(DependentsTest, ADependentLeftStoppingCountsAsDown) {
  b->stop.takesMs = kNever;
  EXPECT_EQ(h.run(u"--service-name QZAgent --stop-dependents --exit-code"), 12);
  EXPECT_THAT(*result(), HasSubstr("Erro ao parar o servi\xE7o dependente QZB"));
  EXPECT_THAT(*result(), HasSubstr("QZB"));
  EXPECT_EQ(service->stopRequests, 0u);
  expectFilesUntouched();
}

TEST_F(DependentsTest, ADependentThatWillNotStopIsNamedAndTheOthersComeBack) {
  b->stop.refused = true;
  EXPECT_EQ(h.run(u"--service-name QZAgent --stop-dependents --exit-code"), 10);
  EXPECT_EQ(result(), "Erro: Erro ao parar o servi\xE7o dependente QZB\r\n");
  for (const auto* s : {service, b, c}) EXPECT_EQ(s->state, kRunning);
  EXPECT_EQ(c->startRequests, 1u);
  expectFilesUntouched();
}

TEST_F(DependentsTest, ADependentThatDoesNotComeBackLeavesTheUpdateInPlace) {
  ASSERT_EQ(h.os.removeFile(u"C:\\svc\\B.exe"), platform::kOk);
  EXPECT_EQ(h.run(u"--service-name QZAgent --stop-dependents --exit-code"), 12);
  EXPECT_EQ(result(), "Erro: Servi\xE7os dependentes n\xE3o iniciados: QZB (The system cannot find the file "
                      "specified)\r\n");
  EXPECT_EQ(file(kCurrent), kV2);
  EXPECT_EQ(service->runningImage, kV2);
  EXPECT_EQ(c->state, kRunning);
}

// Every platform operation that an update uses, failed in turn with an
// error that waiting does not cure, in a successful update and in one whose
// new version dies at once and is rolled back: whatever fails, nothing is
// lost, the exit status matches what the run left, and every handle is
// closed.
enum class Family { File, Service, Trust };

struct FaultSweepCase {
  bool rollback;
  Family family;
  int operation;
  unsigned nth;
};

std::vector<FaultSweepCase> sweepCases() {
  std::vector<FaultSweepCase> cases;
  for (const bool rollback : {false, true}) {
    Harness clean;
    setUpSweepScene(clean, rollback);
    clean.run(kSweepArguments);
    for (int op = 0; op <= static_cast<int>(FileOp::ReadAt); ++op) {
      for (unsigned n = 1; n <= clean.os.calls(static_cast<FileOp>(op)); ++n) {
        cases.push_back({rollback, Family::File, op, n});
      }
    }
    for (int op = 0; op <= static_cast<int>(ServiceOp::Release); ++op) {
      for (unsigned n = 1; n <= clean.services.calls(static_cast<ServiceOp>(op)); ++n) {
        cases.push_back({rollback, Family::Service, op, n});
      }
    }
    for (int op = 0; op <= static_cast<int>(TrustOp::Sha256); ++op) {
      for (unsigned n = 1; n <= clean.trust.calls(static_cast<TrustOp>(op)); ++n) {
        cases.push_back({rollback, Family::Trust, op, n});
      }
    }
  }
  return cases;
}

struct FaultSweep : ::testing::TestWithParam<FaultSweepCase> {};

TEST_P(FaultSweep, NothingIsLostAndTheStatusMatchesTheEndState) {
  const auto fault = GetParam();
  Harness h;
  setUpSweepScene(h, fault.rollback);
  constexpr platform::OsError kLasting = 1;  // ERROR_INVALID_FUNCTION: no retry cures it
  switch (fault.family) {
    case Family::File: h.os.faults().failCall(static_cast<FileOp>(fault.operation), fault.nth, kLasting); break;
    case Family::Service:
      h.services.faults().failCall(static_cast<ServiceOp>(fault.operation), fault.nth, kLasting);
      break;
    case Family::Trust: h.trust.faults().failCall(static_cast<TrustOp>(fault.operation), fault.nth, kLasting); break;
  }
  const auto op = static_cast<FileOp>(fault.operation);
  const bool fileOp = fault.family == Family::File;
  Allowance allowed;
  allowed.escapes = fileOp && (op == FileOp::WriteStdout || op == FileOp::OpenStdout);
  allowed.resultLost = fileOp && (op == FileOp::CreateNewFile || op == FileOp::WriteBytes ||
                                  op == FileOp::CloseFile || op == FileOp::RemoveFile || op == FileOp::TryLock);
  const int status = h.run(kSweepArguments);
  expectEndStateMatchesStatus(h, status, allowed);
  if (status == 1) {
    EXPECT_THAT(h.os.stderrBytes(), HasSubstr("Exception EInOutError"));
  }
  // A journal stays where a version could not be put back, or where its
  // own deletion failed (the next run then finds nothing to move).
  if (h.os.contents(kJournal) && !(fileOp && op == FileOp::RemoveFile)) {
    EXPECT_EQ(status, 12);
    EXPECT_THAT(h.os.contents(kResult).value_or(""), HasSubstr("em C:\\svc\\qz_Agent."));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultSweep, ::testing::ValuesIn(sweepCases()),
                         [](const ::testing::TestParamInfo<FaultSweepCase>& info) {
                           return std::string(info.param.rollback ? "rollback_" : "update_") +
                                  (info.param.family == Family::File      ? "file"
                                   : info.param.family == Family::Service ? "service"
                                                                          : "trust") +
                                  std::to_string(info.param.operation) + "_call" + std::to_string(info.param.nth);
                         });

}  // namespace
}  // namespace usqz
