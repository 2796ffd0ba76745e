// The update as a transaction: the journal on disk, a run killed at any
// platform call and the next run's recovery, interruptions deferred, and
// the exit status as a function of the end state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "cli/text.h"
#include "run/outcome.h"
#include "run/run_journal.h"
#include "run/run_lock.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::FileIdentity;
using ::testing::HasSubstr;

// -- the journal's text ---------------------------------------------------

JournalRecord sampleRecord() {
  JournalRecord record;
  record.serviceName = u"QZAgent\u00e7";
  record.processId = 4242;
  record.time = 1'796'774'400 + 3'600 + 61;
  record.wasRunning = true;
  record.dependents = {u"QZC", u"QZB"};
  record.previous = FileIdentity{0x6A1F20C3, 0x0001000000004F21, 2048, 133'781'233'000'000'000};
  record.next = FileIdentity{0x6A1F20C3, 0x0001000000004F22, 2304, 133'781'240'000'000'000};
  record.step = Step::Swapping;
  return record;
}

TEST(JournalText, APersonCanReadItAndTheRunReadsItBack) {
  const auto text = formatJournal(sampleRecord());
  EXPECT_EQ(text,
            "UpdateServiceQZ journal 1\r\nservice: QZAgent\xC3\xA7\r\nprocess: 4242\r\n"
            "time: 2026-12-09 01:01:01 UTC\r\nwas-running: yes\r\nregistered: no\r\ndependent: QZC\r\n"
            "dependent: QZB\r\nprevious: 6A1F20C3 0001000000004F21 2048 133781233000000000\r\n"
            "new: 6A1F20C3 0001000000004F22 2304 133781240000000000\r\nstep: swapping\r\nend\r\n");
  const auto back = parseJournal(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->serviceName, u"QZAgent\u00e7");
  EXPECT_EQ(back->dependents, (std::vector<std::u16string>{u"QZC", u"QZB"}));
  EXPECT_EQ(back->previous, sampleRecord().previous);
  EXPECT_EQ(back->next, sampleRecord().next);
  EXPECT_EQ(back->step, Step::Swapping);
  EXPECT_TRUE(back->wasRunning);

  auto none = sampleRecord();
  none.previous.reset();
  EXPECT_FALSE(parseJournal(formatJournal(none))->previous);
}

// Anything but a whole journal is not acted upon.
TEST(JournalText, AnythingButAWholeJournalIsRefused) {
  const auto text = formatJournal(sampleRecord());
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    EXPECT_FALSE(parseJournal(text.substr(0, cut))) << cut;
  }
  const auto replaced = [&](const std::string& from, const std::string& to) {
    auto changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  for (const auto& broken : {replaced("journal 1", "journal 2"), replaced("step: swapping", "step: flying"),
                             replaced("was-running: yes", "was-running: si"), replaced("process: 4242", "pid: 4242"),
                             replaced("new: 6A1F20C3", "new: none"), replaced("2304", "23x4"),
                             replaced("service: ", "service: QZ\r\nservice: "), std::string("MZ\x90\0\x03", 5)}) {
    EXPECT_FALSE(parseJournal(broken)) << broken;
  }
}

// -- the run's journal on disk ----------------------------------------------

struct JournalFailures : ::testing::Test {
  Harness h;
  platform::fake::FakeService* service = nullptr;
  void SetUp() override { service = &setUpSweepScene(h, false); }
};

// Killed at each call in turn, a run leaves on disk the journal of the
// step it was taking: each step is announced before it is taken, and the
// journal is gone once the run has ended.
TEST(JournalOnDisk, EachStepIsOnDiskBeforeItIsTakenAndGoneAtTheEnd) {
  for (const bool rollback : {false, true}) {
    std::vector<std::string> steps;
    for (unsigned nth = 1;; ++nth) {
      Harness h;
      setUpSweepScene(h, rollback);
      if (h.runDyingAt(kSweepArguments, nth)) {
        EXPECT_FALSE(h.os.contents(kJournal));
        EXPECT_FALSE(h.os.contents(kJournal + u".tmp"));
        break;
      }
      if (const auto journal = h.os.contents(kJournal)) {
        const auto record = parseJournal(*journal);
        ASSERT_TRUE(record) << *journal;
        const auto step = toUtf8(stepName(record->step));
        if (steps.empty() || steps.back() != step) steps.push_back(step);
        EXPECT_EQ(record->serviceName, u"QZAgent");
        EXPECT_TRUE(record->wasRunning);
        EXPECT_EQ(record->processId, 0x7A0u);
      }
    }
    std::vector<std::string> expected = {"stopping-dependents", "stopping", "swapping", "starting"};
    expected.push_back(rollback ? "rolling-back" : "confirmed");
    EXPECT_EQ(steps, expected);
  }
}

TEST_F(JournalFailures, AJournalThatCannotBeReadStopsTheRunBeforeAnythingIsTouched) {
  h.os.putFile(kJournal, "UpdateServiceQZ journal 1\r\nservice: QZAg");
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(h.os.contents(kResult), "Erro: O di\xE1rio de uma atualiza\xE7\xE3o anterior n\xE3o p\xF4" "de ser lido: "
                                    "C:\\svc\\qz_Agent.journal\r\n");
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace), 0u);
  EXPECT_TRUE(h.os.contents(kJournal));
  EXPECT_EQ(service->stopRequests, 0u);
}

TEST_F(JournalFailures, AJournalThatCannotBeWrittenStopsTheRunBeforeTheStep) {
  h.texts.set(112, u"There is not enough space on the disk.");
  h.os.faults().failAlways(FileOp::FlushFile, 112);
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(h.os.contents(kResult), "Erro: N\xE3o foi poss\xEDvel gravar o di\xE1rio da atualiza\xE7\xE3o "
                                    "C:\\svc\\qz_Agent.journal: There is not enough space on the disk\r\n");
  EXPECT_EQ(service->stopRequests + h.services.find(u"QZB")->stopRequests, 0u);
  EXPECT_FALSE(h.os.contents(kJournal));
  EXPECT_FALSE(h.os.contents(kJournal + u".tmp"));
}

// The update stands once confirmed: a journal that cannot say so does not
// fail it, and its dependents still come back.
TEST_F(JournalFailures, OnceConfirmedAJournalThatCannotBeWrittenCostsNothing) {
  h.os.faults().failCall(FileOp::FlushFile, 5, 112);  // the fifth step: confirmed
  EXPECT_EQ(h.run(kSweepArguments), 0);
  EXPECT_EQ(h.os.contents(kResult), "Atualizado com sucesso!\r\n");
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// Its dependents stopped, the run cannot announce the service's stop: the
// service still runs, and so do its dependents again.
TEST_F(JournalFailures, ADependentStoppedForNothingComesBack) {
  h.os.faults().failCall(FileOp::FlushFile, 2, 112);  // the second step: stopping
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// -- killed at every platform call ------------------------------------------

// A run of the sweep's scene dies at its Nth platform call, for every N of
// a whole run (an update, and one that rolls back); a second run over what
// it left recovers first and finishes the work. Nothing is lost, the
// service runs the previous or the new version, no journal is left, and the
// status says which.
// (And an update whose new version is checked and activated through the
// handle held since its check.)
TEST(KillSweep, AfterADeathAtAnyCallTheNextRunLeavesAKnownState) {
  for (const auto& [rollback, arguments] : {std::pair{false, kSweepArguments}, std::pair{true, kSweepArguments},
                                            std::pair{false, kSignedArguments}}) {
    const unsigned calls = callsOfAWholeRun(rollback, arguments);
    ASSERT_GT(calls, 30u);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << toUtf8(arguments)
                                        << ", killed at call " << nth);
      Harness h;
      setUpSweepScene(h, rollback);
      signNewVersion(h);
      ASSERT_FALSE(h.runDyingAt(arguments, nth).has_value());
      const auto out = h.out().size();
      const int status = h.run(arguments);
      expectEndStateMatchesStatus(h, status);
      EXPECT_FALSE(h.os.contents(kJournal));
      EXPECT_EQ(status, rollback ? (status == 3 ? 3 : 11) : (status == 3 ? 3 : 0)) << h.out().substr(out);
    }
  }
}

// The recovery itself dies, at each of its calls (the first 60 calls of the
// second run take in the whole of it), after every death of the first run
// that leaves a journal: the run after it recovers again.
TEST(KillSweep, ARecoveryThatDiesIsRecoveredByTheRunAfterIt) {
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    for (unsigned first = 1; first <= calls; ++first) {
      // How many calls the second run's recovery takes, undisturbed.
      Harness probe;
      setUpSweepScene(probe, rollback);
      probe.runDyingAt(kSweepArguments, first);
      if (!probe.os.contents(kJournal)) continue;
      const unsigned start = probe.os.lifeline().calls();
      probe.run(kSweepArguments);
      const unsigned second = probe.os.lifeline().calls() - start;
      for (unsigned nth = 1; nth <= std::min(second, 60u); ++nth) {
        SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", killed at " << first
                                          << ", then at " << nth);
        Harness h;
        setUpSweepScene(h, rollback);
        h.runDyingAt(kSweepArguments, first);
        h.runDyingAt(kSweepArguments, nth);
        const int status = h.run(kSweepArguments);
        expectEndStateMatchesStatus(h, status);
        EXPECT_FALSE(h.os.contents(kJournal));
      }
    }
  }
}

// What the next run says when it finds a run died after the activation.
TEST(Recovery, ARunKilledAfterTheActivationIsUndoneThenTheUpdateIsTriedAgain) {
  // The first call at which a dying run leaves the new version in place.
  const unsigned nth = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  Harness h;
  auto& service = setUpSweepScene(h, false);
  ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
  ASSERT_EQ(service.state, platform::kServiceStopped);
  ASSERT_EQ(h.services.find(u"QZB")->state, platform::kServiceStopped);

  const auto before = h.out().size();
  EXPECT_EQ(h.run(kSweepArguments), 0);
  const auto out = h.out().substr(before);
  EXPECT_EQ(out.substr(0, out.find("SCManager :: conectado")),
            lines({"Atualiza\xE7\xE3o anterior interrompida (etapa: swapping): desfazendo",
                   "  -> Devolvendo a nova vers\xE3o: EXE -> NEW", "  -> Restaurando vers\xE3o anterior: OLD -> EXE",
                   "Service :: iniciando ...", "Service :: status: iniciado", "Service :: iniciando dependente QZB ...",
                   "Atualiza\xE7\xE3o anterior desfeita."}));
  EXPECT_EQ(service.runningImage, kV2);
  EXPECT_EQ(h.os.contents(kOld), kV1);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// A rollback whose return of the new version fails (another new version was
// dropped meanwhile) leaves the journal: the next run does not delete the
// only working version, and says where each one is.
TEST(Recovery, AFailedRollbackIsNotMadeWorseByTheNextRun) {
  Harness h;
  auto& service = setUpSweepScene(h, true);
  // The rollback's return of the new version (the third move) fails.
  h.os.faults().failFrom(FileOp::MoveNoReplace, 3, platform::kErrorAlreadyExists);
  EXPECT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
  EXPECT_EQ(h.os.contents(kOld), kV1);
  EXPECT_TRUE(h.os.contents(kJournal));

  h.os.faults().clear();
  h.os.putFile(kNew, peImage("v3"));  // dropped by a deployment meanwhile
  EXPECT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.os.contents(kOld), kV1) << "the previous version is never deleted";
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
  EXPECT_THAT(*h.os.contents(kResult),
              HasSubstr("N\xE3o foi poss\xEDvel desfazer a atualiza\xE7\xE3o anterior interrompida: Revers\xE3o "
                        "falhou ao devolver a nova vers\xE3o ("));
  EXPECT_THAT(*h.os.contents(kResult), HasSubstr("a nova vers\xE3o est\xE1 em C:\\svc\\qz_Agent.exe e a anterior "
                                                 "em C:\\svc\\qz_Agent.old"));
  EXPECT_TRUE(h.os.contents(kJournal));

  // Once the operator moves the stranger away, the next run recovers and
  // updates to what is at .new again.
  ASSERT_EQ(h.os.removeFile(kNew), platform::kOk);
  EXPECT_EQ(h.run(kSweepArguments), 11);
  EXPECT_EQ(service.runningImage, kV1);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// Killed while stopping: the service was running before that run, so the
// next run starts it again before its own update, and a failing new version
// leaves it running the previous one.
TEST(Recovery, AServiceKilledWhileStoppingIsRunningAgainAfterTheNextRollback) {
  Harness h;
  auto& service = setUpSweepScene(h, true);
  const unsigned nth =
      firstDeathLeaving(true, [](Harness& h) { return h.services.find(u"QZAgent")->stopRequests == 1; });
  ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth + 1).has_value());
  EXPECT_EQ(h.run(kSweepArguments), 11);
  EXPECT_EQ(service.state, platform::kServiceRunning);
  EXPECT_EQ(service.runningImage, kV1);
}

// -- the lock follows the files -------------------------------------------

TEST(RunLockByFiles, TwoServiceNamesForOneExecutableShareOneLock) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE"));
  EXPECT_EQ(h.run(u"--service-name XXAgent --exit-code"), 1618);
  EXPECT_EQ(h.out(), lines({"Outra atualiza\xE7\xE3o do servi\xE7o XXAgent j\xE1 est\xE1 em andamento."}));
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
}

TEST(RunLockByFiles, ALockOthersCreatedIsNotTakenForABusyRun) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.faults().failAlways(FileOp::TryLock, platform::kErrorAccessDenied);
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(h.out(), lines({"N\xE3o foi poss\xEDvel obter o bloqueio da atualiza\xE7\xE3o do servi\xE7o QZAgent: o "
                            "bloqueio existe e n\xE3o pode ser aberto (acesso negado); foi criado por outro usu\xE1rio"}));
}

// -- Ctrl+C ---------------------------------------------------------------

// Ctrl+C at any call: outside the transaction it ends the process (and the
// next run finds nothing to undo); inside it the run finishes or rolls
// back, says so, and ends with its outcome.
TEST(Interrupt, DuringTheTransactionItWaitsForTheRunToFinish) {
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    unsigned deferred = 0;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", Ctrl+C at call " << nth);
      Harness h;
      setUpSweepScene(h, rollback);
      h.os.lifeline().interruptAtCall(nth);
      std::optional<int> status;
      try {
        status = h.run(kSweepArguments);
      } catch (const Killed&) {
      }
      if (!status || h.os.lifeline().dead()) {
        // Ended outside the transaction: before its first irreversible step
        // or after its end, never inside it.
        EXPECT_FALSE(h.os.contents(kJournal));
        h.services.afterDeath();
        h.os.afterDeath();
        expectEndStateMatchesStatus(h, h.run(kSweepArguments));
        continue;
      }
      ++deferred;
      EXPECT_EQ(*status, rollback ? 11 : 0);
      EXPECT_THAT(h.out(), HasSubstr("Interrup\xE7\xE3o recebida durante a atualiza\xE7\xE3o: adiada at\xE9 o fim da "
                                     "atualiza\xE7\xE3o.\r\n"));
      expectEndStateMatchesStatus(h, *status);
    }
    EXPECT_GT(deferred, calls / 2);
  }
}

// -- the exit status from the end state -------------------------------------

TEST(OutcomeOf, TheStatusIsAFunctionOfTheEndState) {
  struct Row {
    EndState end;
    Outcome outcome;
  };
  // touched, wasRunning, registered, confirmed, previousInPlace, dependentsDown, runsAtEnd
  const std::vector<Row> rows = {
      {{true, true, false, true, false, false, true}, Outcome::Updated},
      {{true, true, false, true, false, false, false}, Outcome::Down},   // confirmed, then gone
      {{true, true, false, true, false, true, true}, Outcome::Down},    // a dependent stays down
      {{false, true, false, false, true, false, true}, Outcome::Unchanged},
      {{false, true, false, false, true, true, true}, Outcome::Down},   // a dependent left stop-pending
      {{true, true, false, false, true, false, true}, Outcome::RolledBack},
      {{true, true, false, false, true, false, false}, Outcome::Down},
      {{true, true, false, false, false, false, true}, Outcome::Down},  // runs, but the files are astray
      {{true, false, false, false, true, false, false}, Outcome::Unchanged},
      {{true, false, true, false, true, false, false}, Outcome::Down},   // registered, never confirmed
      {{true, false, false, false, true, false, true}, Outcome::RolledBack},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(outcomeOf(rows[i].end), rows[i].outcome) << i;
}

}  // namespace
}  // namespace usqz
