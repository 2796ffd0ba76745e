// The service's restart actions around a transaction (suspended before
// anything stops, never forgotten when they cannot be put back) and the
// stops a rollback asks for (never a reason to end a process that
// dependents need or that hosts other services).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "release_scene.h"
#include "run/transaction/run_journal.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;
using platform::fake::kNever;

constexpr platform::OsError kDenied = 5;
const std::string kV3 = peImage("v3");

// What the result says of the sweep scene's restart actions, in the
// result file's code page.
const std::string kActionsToRestore =
    "restaure-as: zerar a contagem de falhas ap\xF3s 86400 s; 1\xAA falha: reiniciar o servi\xE7o ap\xF3s 60000 ms; "
    "2\xAA falha: reiniciar o servi\xE7o ap\xF3s 60000 ms; 3\xAA falha e seguintes: nenhuma a\xE7\xE3o";

std::string notRestored(const std::string& journal) {
  return "Erro: As a\xE7\xF5" "es de recupera\xE7\xE3o do servi\xE7o n\xE3o foram restauradas: Access is denied; " +
         kActionsToRestore + " (guardadas no di\xE1rio " + journal + "; a pr\xF3xima execu\xE7\xE3o tenta de novo)\r\n";
}

void expectRestartsBack(const platform::fake::FakeService& service) {
  EXPECT_EQ(service.failureActions.actions, kRestartOnFailure.actions);
  EXPECT_EQ(service.failureActions.resetSeconds, kRestartOnFailure.resetSeconds);
}

// -- restarts that cannot be put back -----------------------------------------

// The update stands, but the journal holding the actions stays, the status
// is 12 and the result says what to restore; the next run puts them back
// (whether or not the deployment staged the same version again) and a
// following update works.
TEST(RestartsNotPutBack, TheJournalKeepsThemAndTheNextRunPutsThemBack) {
  for (const auto& [restaged, nextStatus] : {std::pair{true, 0}, std::pair{false, 3}}) {
    SCOPED_TRACE(restaged ? "staged again" : "nothing staged");
    Harness h;
    auto& service = setUpSweepScene(h, false);
    // The first call suspends; every attempt to put them back is refused.
    h.services.faults().failFrom(ServiceOp::SetFailureActions, 2, kDenied);
    EXPECT_EQ(h.run(kSweepArguments), 12);
    EXPECT_EQ(h.os.contents(kResult), notRestored("C:\\svc\\qz_Agent.journal"));
    EXPECT_THAT(h.out(), HasSubstr("Ocorreu um erro ao atualizar o servi\xE7o: QZAgent. Erro: As a\xE7\xF5" "es"));
    EXPECT_EQ(h.services.calls(ServiceOp::SetFailureActions), 4u);
    const auto journal = parseJournal(h.os.contents(kJournal).value_or(""));
    ASSERT_TRUE(journal);
    EXPECT_EQ(journal->step, Step::Confirmed);
    ASSERT_TRUE(journal->failureActions);
    EXPECT_EQ(journal->failureActions->actions, kRestartOnFailure.actions);
    EXPECT_EQ(service.runningImage, kV2);
    EXPECT_EQ(h.os.contents(kCurrent), kV2);
    EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
    EXPECT_EQ(service.failureActions.actions[0].type, platform::kActionNone);

    h.services.faults().clear();
    if (restaged) h.os.putFile(kNew, kV2);
    const auto stops = service.stopRequests;
    EXPECT_EQ(h.run(kSweepArguments), nextStatus) << h.out();
    EXPECT_THAT(h.out(), HasSubstr("(etapa: confirmed): concluindo"));
    EXPECT_EQ(service.stopRequests, stops);
    EXPECT_FALSE(h.os.contents(kJournal));
    expectRestartsBack(service);
    EXPECT_EQ(h.os.contents(kResult),
              restaged ? "Atualizado com sucesso!\r\n" : "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n");

    h.os.putFile(kNew, kV3);
    EXPECT_EQ(h.run(kSweepArguments), 0) << h.out();
    EXPECT_EQ(service.runningImage, kV3);
    EXPECT_FALSE(h.os.contents(kJournal));
    expectRestartsBack(service);
    EXPECT_EQ(h.services.openHandles(), 0u);
    EXPECT_EQ(h.os.locksHeld(), 0u);
  }
}

// A recovery that cannot put them back keeps the journal too: the run
// after it does.
TEST(RestartsNotPutBack, ARecoveryThatCannotKeepsTheJournalForTheNext) {
  Harness h;
  auto& service = setUpSweepScene(h, false);
  h.services.faults().failFrom(ServiceOp::SetFailureActions, 2, kDenied);
  ASSERT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.os.contents(kResult),
            "Erro: N\xE3o foi poss\xEDvel concluir a atualiza\xE7\xE3o anterior interrompida: " +
                notRestored("C:\\svc\\qz_Agent.journal").substr(6));
  EXPECT_TRUE(h.os.contents(kJournal));
  h.services.faults().clear();
  EXPECT_EQ(h.run(kSweepArguments), 3);
  EXPECT_FALSE(h.os.contents(kJournal));
  expectRestartsBack(service);
}

// In a release, the member whose actions cannot be put back keeps its
// journal and says so with 12; the others end updated, their journals kept
// with it, so that a run of any of them finds the release unfinished; the
// next release finishes it and goes on, and so does a run of one of the
// others alone.
TEST(RestartsNotPutBack, InAReleaseTheMemberKeepsItsJournalAndTheNextReleaseFinishes) {
  Harness h;
  setUpReleaseScene(h);
  // Three suspensions, then each member's end in the release file's order:
  // QZSync's once, QZAgent's three attempts.
  for (const unsigned call : {5u, 6u, 7u}) h.services.faults().failCall(ServiceOp::SetFailureActions, call, kDenied);
  EXPECT_EQ(h.run(kReleaseArguments), 12) << h.out();
  const auto& agent = kMembers[1];
  EXPECT_EQ(resultOf(h, agent), notRestored("C:\\svc\\qz_Agent.journal"));
  EXPECT_TRUE(h.os.contents(agent.journal()));
  for (const auto& member : kMembers) {
    SCOPED_TRACE(toUtf8(member.name));
    EXPECT_TRUE(runsItsFile(h, member));
    EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, "v2"));
    if (member.name == agent.name) continue;
    EXPECT_EQ(resultOf(h, member), "Atualizado com sucesso!\r\n");
    EXPECT_TRUE(h.os.contents(member.journal()));
    expectRestartsBack(serviceOf(h, member));
  }

  h.services.faults().clear();
  {
    // The same release, then one of the others run alone.
    Harness alone;
    setUpReleaseScene(alone);
    for (const unsigned call : {5u, 6u, 7u}) {
      alone.services.faults().failCall(ServiceOp::SetFailureActions, call, kDenied);
    }
    EXPECT_EQ(alone.run(kReleaseArguments), 12) << alone.out();
    alone.services.faults().clear();
    const auto& store = kMembers[2];
    alone.os.putFile(store.next(), kV3 + toUtf8(store.item));
    EXPECT_EQ(alone.run(u"--service-name QZStore --exit-code"), 0) << alone.out();
    EXPECT_EQ(alone.os.contents(store.exe()), kV3 + toUtf8(store.item));
    for (const auto& member : kMembers) {
      SCOPED_TRACE(toUtf8(member.name));
      EXPECT_FALSE(alone.os.contents(member.journal()));
      expectRestartsBack(serviceOf(alone, member));
      EXPECT_TRUE(runsItsFile(alone, member));
    }
  }
  for (const auto& member : kMembers) h.os.putFile(member.next(), versionOf(member, "v2"));
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  expectAllOn(h, "v2");

  for (const auto& member : kMembers) h.os.putFile(member.next(), kV3 + toUtf8(member.item));
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  for (const auto& member : kMembers) {
    EXPECT_TRUE(runsItsFile(h, member));
    EXPECT_EQ(serviceOf(h, member).runningImage, kV3 + toUtf8(member.item));
    EXPECT_FALSE(h.os.contents(member.journal()));
    expectRestartsBack(serviceOf(h, member));
  }
}

// -- restarts that cannot be suspended ----------------------------------------

// Refused before anything stops, a running dependent included: no stop
// request at all, status 10, and the result says why.
TEST(RestartsNotSuspended, NothingIsStoppedNotEvenADependent) {
  for (const platform::OsError code : {kDenied, platform::OsError{1}}) {
    Harness h;
    auto& service = setUpSweepScene(h, false);
    h.services.faults().failAlways(ServiceOp::SetFailureActions, code);
    EXPECT_EQ(h.run(kSweepArguments), 10);
    EXPECT_TRUE(h.services.requests().empty()) << toUtf8(h.services.requests().front());
    EXPECT_THAT(*h.os.contents(kResult), HasSubstr("Erro: As a\xE7\xF5" "es de recupera\xE7\xE3o do servi\xE7o n\xE3o "
                                                   "puderam ser suspensas"));
    EXPECT_EQ(service.state, platform::kServiceRunning);
    EXPECT_EQ(h.services.find(u"QZB")->startRequests, 0u);
    expectRestartsBack(service);
    EXPECT_EQ(h.os.contents(kNew), kV2);
    EXPECT_FALSE(h.os.contents(kJournal));
  }
}

TEST(RestartsNotSuspended, AReleaseStopsNoneOfItsServices) {
  Harness h;
  setUpReleaseScene(h);
  h.services.faults().failCall(ServiceOp::SetFailureActions, 2, kDenied);
  EXPECT_EQ(h.run(kReleaseArguments), 10) << h.out();
  EXPECT_TRUE(h.services.requests().empty());
  expectAllOn(h, "v1");
  for (const auto& member : kMembers) EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
}

// -- a rollback's stop --------------------------------------------------------

// QZAgent alone on v1 with v2 staged, the new version restarted by someone
// else right after its start: the rollback must stop what runs.
Harness& rollbackScene(Harness& h, std::uint32_t serviceType) {
  h.os.putFile(kCurrent, kV1);
  h.os.putFile(kNew, kV2);
  auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
  service.serviceType = serviceType;
  service.runningImage = kV1;
  service.failureActions = kRestartOnFailure;
  service.startOnlyFor = kV2;
  service.start.restartedAfterMs = 100;
  return h;
}

enum class RollbackStop { DependentStarted, Refused, NeverEnds };

struct RollbackStopCase {
  std::uint32_t serviceType;
  RollbackStop stop;
  bool ended;  // its process is ended
  int status;
  const char* said;
};

// A stop refused because a dependent started meanwhile is an error, never
// a reason to end the process; a process that hosts other services is
// never ended. Then nothing moves, the journal stays, and the result says
// what runs where; once the obstacle is gone, the next run puts it back.
TEST(RollbackStop, ADependentsOrASharedProcessIsNeverEnded) {
  constexpr auto kOwn = platform::kServiceWin32OwnProcess;
  constexpr auto kShared = platform::kServiceWin32ShareProcess;
  const std::string nothingMoved =
      "; nada foi movido: a vers\xE3o em execu\xE7\xE3o est\xE1 em C:\\svc\\qz_Agent.exe e a anterior em "
      "C:\\svc\\qz_Agent.old";
  const std::string shared = "; o processo do servi\xE7o \xE9 compartilhado com outros servi\xE7os e n\xE3o \xE9 encerrado";
  const std::vector<RollbackStopCase> cases = {
      {kOwn, RollbackStop::DependentStarted, false, 12, "Erro ao parar o servi\xE7o: servi\xE7os dependentes em execu\xE7\xE3o: QZB"},
      {kShared, RollbackStop::DependentStarted, false, 12, "Erro ao parar o servi\xE7o: servi\xE7os dependentes em execu\xE7\xE3o: QZB"},
      {kShared, RollbackStop::Refused, false, 12, "Erro ao parar o servi\xE7o: The requested control is not valid for this service"},
      {kShared, RollbackStop::NeverEnds, false, 12, "Tempo esgotado aguardando a parada do servi\xE7o"},
      {kOwn, RollbackStop::Refused, true, 11, nullptr},
      {kOwn, RollbackStop::NeverEnds, true, 11, nullptr},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::Message() << test.serviceType << " " << static_cast<int>(test.stop));
    Harness h;
    rollbackScene(h, test.serviceType);
    auto& service = *h.services.find(u"QZAgent");
    auto& dependent = h.services.addService(u"QZB", u"C:\\svc\\B.exe", platform::kServiceStopped);
    dependent.dependsOn = {u"QZAgent"};
    // The second stop request is the rollback's.
    h.services.faults().atCall(ServiceOp::SendStop, 2, [&] {
      switch (test.stop) {
        case RollbackStop::DependentStarted: dependent.state = platform::kServiceRunning; break;
        case RollbackStop::Refused: service.stop.refused = true; break;
        case RollbackStop::NeverEnds:
          service.stop.takesMs = kNever;
          service.stop.reportsProgress = false;
          break;
      }
    });
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), test.status) << h.out();
    EXPECT_EQ(h.services.calls(ServiceOp::TerminateProcess), test.ended ? 1u : 0u);
    EXPECT_EQ(service.endedWhileRestartArmed, 0u);
    if (test.ended) {
      EXPECT_EQ(h.os.contents(kCurrent), kV1);
      EXPECT_EQ(service.runningImage, kV1);
      EXPECT_FALSE(h.os.contents(kJournal));
      continue;
    }
    const auto result = h.os.contents(kResult).value_or("");
    EXPECT_EQ(result.rfind("Erro: O servi\xE7o ", 0), 0u) << result;
    EXPECT_THAT(result, HasSubstr(std::string(". ") + test.said +
                                  (test.serviceType == kShared && test.stop != RollbackStop::DependentStarted ? shared
                                                                                                             : "") +
                                  nothingMoved + "\r\n"));
    EXPECT_EQ(h.os.contents(kCurrent), kV2);
    EXPECT_EQ(h.os.contents(kOld), kV1);
    EXPECT_TRUE(h.os.contents(kJournal));

    // The obstacle gone, the next run undoes the update and tries it again.
    dependent.state = platform::kServiceStopped;
    service.stop = {};
    service.startOnlyFor.reset();
    service.start = {};
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 0) << h.out();
    EXPECT_EQ(service.runningImage, kV2);
    EXPECT_FALSE(h.os.contents(kJournal));
    expectRestartsBack(service);
    EXPECT_EQ(h.services.calls(ServiceOp::TerminateProcess), 0u);
  }
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

using namespace usqz::testing;

// A dead run stopped QZB for QZAgent, and QZB runs again when the next run
// recovers it; QZAgent, whose process hosts others, then refuses its stop.
// QZB, stopped again for
// QZAgent's stop, runs again as it did: a recovery that cannot stop the
// service leaves nothing down that it found running.
TEST(RecoveryStop, ADependentStoppedForAStopThatFailsRunsAgain) {
  const unsigned calls = callsOfAWholeRun(false);
  unsigned met = 0;
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE(::testing::Message() << "killed at call " << nth);
    Harness h;
    auto& service = setUpSweepScene(h, false);
    ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
    auto& dependent = *h.services.find(u"QZB");
    if (!h.os.contents(kJournal) || dependent.state != platform::kServiceStopped ||
        service.state != platform::kServiceRunning) {
      continue;
    }
    const auto manager = h.services.openManager(platform::kManagerConnect);
    const auto opened = h.services.openExisting(manager.handle, u"QZB", platform::kServiceStart);
    ASSERT_EQ(h.services.sendStart(opened.handle), platform::kOk);
    h.services.release(opened.handle);
    h.services.release(manager.handle);
    service.stop.refused = true;
    // Its process hosts others: not the recovery's to end.
    service.serviceType = platform::kServiceWin32ShareProcess;
    const auto out = h.out().size();
    h.run(kSweepArguments);
    EXPECT_EQ(dependent.state, platform::kServiceRunning) << h.out().substr(out);
    EXPECT_TRUE(h.services.processAlive(service.processId)) << h.out().substr(out);
    if (h.out().find("Service :: parando dependente QZB ...", out) != std::string::npos) ++met;
  }
  EXPECT_GT(met, 0u) << "recoveries that stop QZB again for QZAgent's stop";
}

}  // namespace
}  // namespace usqz
