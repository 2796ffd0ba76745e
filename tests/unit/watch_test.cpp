// The watch window over the in-memory platform: a new version must go on
// running as the process its start began, and keep passing its checks,
// through the whole window, or everything goes back; a run that dies in it
// leaves the next to finish it, whatever befell the service or the machine
// meanwhile.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string_view>

#include "harness.h"
#include "release_scene.h"
#include "sweep_scene.h"
#include "platform/text.h"
#include "run/transaction/run_journal.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::fake::FakeHealthProbes;
using platform::fake::FakeService;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint32_t kRunning = platform::kServiceRunning;
const std::u16string kUrl = u"http://127.0.0.1:8080/health";
const std::u16string kWatch15 = kSweepArguments + u" --watch 15";

// What the console says in the watch, as its bytes.
const std::string kWatching15 = "Observando a nova vers\xE3o por 15 s ...\r\n";
const std::string kWatched15 = "Observa\xE7\xE3o conclu\xED" "da: 15 s sem falhas\r\n";

struct WatchTest : ::testing::Test {
  Harness h;
  FakeService* service = nullptr;

  void SetUp() override { service = &setUpSweepScene(h, false); }
  std::optional<std::string> file(const std::u16string& name) const { return h.os.contents(name); }
  bool journalSays(std::string_view step) const {
    const auto journal = file(kJournal);
    return journal && journal->find("step: " + std::string(step) + "\r\n") != std::string::npos;
  }
};

TEST_F(WatchTest, ASteadyNewVersionIsConfirmedOnlyAfterItsWindow) {
  const auto before = h.clock.now();
  EXPECT_EQ(h.run(kWatch15), 0);
  EXPECT_GE(h.clock.now() - before, 15'000u);
  // The dependent the run stopped runs through the window, not after it.
  EXPECT_THAT(h.out(), HasSubstr("Service :: status: iniciado\r\nService :: iniciando dependente QZB ...\r\n" +
                                 kWatching15 + kWatched15 + "\r\nAtualiza\xE7\xE3o finalizada.\r\n"));
  expectEndStateMatchesStatus(h, 0);
  EXPECT_FALSE(file(kJournal));
}

// Without --watch nothing of it shows: no line, no pause.
TEST_F(WatchTest, WithoutTheOptionNothingChanges) {
  Harness plain;
  setUpSweepScene(plain, false);
  EXPECT_EQ(plain.run(kSweepArguments), 0);
  EXPECT_THAT(plain.out(), Not(HasSubstr("Observa")));
  EXPECT_LT(plain.clock.now() - 1'000'000, 15'000u);
}

// A death at any instant of the window, in each way a process can end
// there, rolls back; one after the window does not count.
TEST_F(WatchTest, ADeathAtAnyInstantOfTheWindowRollsBack) {
  enum class Ends { Dies, ExitsSilently, RestartedByTheManager };
  for (const auto how : {Ends::Dies, Ends::ExitsSilently, Ends::RestartedByTheManager}) {
    // From its start: 1.5 s of start watch, then the 15 s window.
    for (const std::uint64_t at : {1'600u, 2'000u, 5'000u, 9'999u, 12'345u, 16'400u, 16'700u, 40'000u}) {
      SCOPED_TRACE(::testing::Message() << "ends " << static_cast<int>(how) << " at " << at << " ms");
      Harness run;
      auto& agent = setUpSweepScene(run, false);
      agent.startOnlyFor = kV2;
      if (how == Ends::Dies) agent.start.diesAfterMs = at;
      if (how == Ends::ExitsSilently) agent.start.exitsSilentlyAfterMs = at;
      if (how == Ends::RestartedByTheManager) agent.start.restartedAfterMs = at;
      const int status = run.run(kWatch15);
      const bool inTheWindow = at < 16'500;
      EXPECT_EQ(status, inTheWindow ? 11 : 0);
      expectEndStateMatchesStatus(run, status);
      if (!inTheWindow) continue;
      const auto result = run.os.contents(kResult).value_or("");
      EXPECT_THAT(result, HasSubstr(how == Ends::RestartedByTheManager
                                        ? "O servi\xE7o foi reiniciado durante a observa\xE7\xE3o: o processo "
                                        : "A nova vers\xE3o parou durante a observa\xE7\xE3o"));
      EXPECT_THAT(result, HasSubstr(" de observa\xE7\xE3o). Vers\xE3o anterior restaurada e em execu\xE7\xE3o."));
      EXPECT_THAT(run.out(), Not(HasSubstr("Observa\xE7\xE3o conclu\xED" "da")));
    }
  }
}

// One failed round is no rollback, nor are N-1 in a row; N in a row are,
// wherever in the window they fall, and the count starts again after a
// round that passes.
TEST_F(WatchTest, HealthFailsTheWindowOnlyAfterNRoundsInARow) {
  struct Case {
    const char* name;
    std::vector<bool> rounds;  // each round's answer, true: passes
    int status;
  };
  const std::vector<Case> cases = {
      {"all pass", {true, true, true, true, true, true, true}, 0},
      {"one fails", {true, false, true, true, true, true, true}, 0},
      {"N-1 in a row", {false, false, true, false, false, true, true}, 0},
      {"N not in a row", {false, true, false, true, false, true, false}, 0},
      {"N in a row at once", {false, false, false, true, true, true, true}, 11},
      {"N in a row at the end", {true, true, true, true, false, false, false}, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness run;
    setUpSweepScene(run, false);
    // The first try is the start's own, before the window; then a round
    // every 2 s of a 16 s window: 7 of them.
    std::size_t tries = 0;
    std::vector<std::uint64_t> at;
    run.probes.answer(kUrl, [&] {
      const std::size_t round = tries++;
      if (round == 0) return FakeHealthProbes::http(200);
      at.push_back(run.clock.now());
      // Past the window: the previous version's own start.
      if (round > c.rounds.size()) return FakeHealthProbes::http(200);
      return c.rounds[round - 1] ? FakeHealthProbes::http(200) : FakeHealthProbes::http(503);
    });
    const int status =
        run.run(kSweepArguments + u" --health-url " + kUrl + u" --watch 16 --health-interval 2 --health-failures 3");
    EXPECT_EQ(status, c.status);
    expectEndStateMatchesStatus(run, status);
    if (status == 0) {
      ASSERT_EQ(at.size(), 7u);
      for (std::size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 2'000u);
      unsigned failures = 0;
      for (const bool passed : c.rounds) failures += passed ? 0 : 1;
      EXPECT_THAT(run.out(), HasSubstr("Observa\xE7\xE3o conclu\xED" "da: 16 s, 7 rodadas de verifica\xE7\xE3o de sa\xFA" "de, " +
                                       std::to_string(failures) + (failures == 1 ? " falha" : " falhas") + "\r\n"));
    } else {
      EXPECT_THAT(run.os.contents(kResult).value_or(""),
                  HasSubstr("A verifica\xE7\xE3o de sa\xFA" "de falhou 3 vezes seguidas durante a observa\xE7\xE3o: " +
                            toUtf8(kUrl) + ": HTTP 503"));
    }
  }
}

// Once a minute the console says how long is left; the report and the
// event say what the window saw.
TEST_F(WatchTest, ALongWindowSaysWhatIsLeftAndTheReportKeepsIt) {
  EXPECT_EQ(h.run(kSweepArguments + u" --watch 3m --report C:\\svc\\report.json --event-log"), 0);
  EXPECT_THAT(h.out(), HasSubstr("Observando a nova vers\xE3o por 3 min ...\r\n"
                                 "Observa\xE7\xE3o: faltam 2 min\r\n"
                                 "Observa\xE7\xE3o: faltam 1 min\r\n"
                                 "Observa\xE7\xE3o conclu\xED" "da: 3 min sem falhas\r\n"));
  const auto report = file(u"C:\\svc\\report.json").value_or("");
  EXPECT_THAT(report, HasSubstr("\"watch\": {\"askedSeconds\": 180, \"watchedSeconds\": 180, \"healthRounds\": 0, "
                                "\"failures\": 0}"));
  EXPECT_THAT(report, HasSubstr("{\"step\": \"watching\""));
  EXPECT_THAT(report, HasSubstr("{\"step\": \"watched\""));
  ASSERT_EQ(h.events.events().size(), 1u);
  EXPECT_THAT(toUtf8(h.events.events().front().strings.at(1)),
              HasSubstr(toUtf8(u"Atualizado com sucesso! (observação: 3 min de 3 min, 0 rodadas de verificação de "
                               u"saúde, 0 com falha)")));
}

// The report of a run without a watch has no such field.
TEST_F(WatchTest, AReportWithoutAWatchHasNoWatchField) {
  EXPECT_EQ(h.run(kSweepArguments + u" --report C:\\svc\\report.json"), 0);
  EXPECT_THAT(file(u"C:\\svc\\report.json").value_or(""), Not(HasSubstr("watch")));
}

// What befalls the service or the machine between a run that died and the
// deployment's retry.
enum class Meanwhile { Nothing, ServiceDies, ServiceRestarted, MachineRestarts, WindowPasses };

void befall(Harness& h, Meanwhile what) {
  auto& agent = *h.services.find(u"QZAgent");
  switch (what) {
    case Meanwhile::Nothing: h.clock.advance(2'000); break;
    case Meanwhile::ServiceDies:
      // The test's own doing, not a run's: whatever restart action it
      // meets is not the run's to answer for.
      if (agent.processId != 0) {
        const auto armed = agent.endedWhileRestartArmed;
        h.services.terminateProcess(agent.processId);
        agent.endedWhileRestartArmed = armed;
      }
      break;
    case Meanwhile::ServiceRestarted:
      // Ended and started again in a new process, the machine running on.
      if (agent.processId != 0 && h.services.processAlive(agent.processId)) {
        const auto armed = agent.endedWhileRestartArmed;
        h.services.terminateProcess(agent.processId);
        agent.endedWhileRestartArmed = armed;
        h.services.restartMachine();
        h.clock.advance(1);
      }
      break;
    case Meanwhile::MachineRestarts:
      h.clock.advance(60'000);
      h.clock.reboot();
      h.services.restartMachine();
      break;
    case Meanwhile::WindowPasses: h.clock.advance(60'000); break;
  }
}

// The run killed at every call, its window included; then the
// deployment's retry, the new version copied again where it is gone. The
// retry ends as the service stands: the update in place and running, or
// everything back and running.
TEST_F(WatchTest, KilledAtEveryCallThenRetried) {
  unsigned inTheWindow = 0;
  for (const auto meanwhile : {Meanwhile::Nothing, Meanwhile::ServiceDies, Meanwhile::ServiceRestarted,
                               Meanwhile::MachineRestarts, Meanwhile::WindowPasses}) {
    for (unsigned nth = 1;; ++nth) {
      SCOPED_TRACE(::testing::Message() << "meanwhile " << static_cast<int>(meanwhile) << ", killed at call " << nth);
      Harness run;
      setUpSweepScene(run, false);
      const auto died = run.runDyingAt(kWatch15, nth);
      if (died) {
        EXPECT_EQ(*died, 0);
        expectEndStateMatchesStatus(run, *died);
        break;
      }
      const auto journal = run.os.contents(kJournal).value_or("");
      const bool watching = journal.find("step: watching\r\n") != std::string::npos;
      inTheWindow += watching ? 1 : 0;
      const auto serviceDiedInTheWindow =
          watching && (meanwhile == Meanwhile::ServiceDies || meanwhile == Meanwhile::ServiceRestarted);
      // Once the run is over, a service that dies is the next update's
      // business, not this one's.
      if (!journal.empty()) befall(run, meanwhile);
      if (!run.os.contents(kNew)) run.os.putFile(kNew, kV2);
      const auto said = run.out().size();
      const int status = run.run(kWatch15);
      expectEndStateMatchesStatus(run, status);
      if (::testing::Test::HasFailure() && getenv("WATCH_DEBUG")) {
        std::cout << journal << "\n----\n" << run.out().substr(said) << run.os.contents(kResult).value_or("") << "\n";
        return;
      }
      EXPECT_FALSE(run.os.contents(kJournal));
      if (serviceDiedInTheWindow) {
        EXPECT_EQ(status, 11);
      } else if (watching) {
        EXPECT_EQ(status, 0);
      }
      if (watching && status == 0 && meanwhile == Meanwhile::Nothing) {
        EXPECT_THAT(run.out(), HasSubstr("(o restante da observa\xE7\xE3o interrompida) ..."));
      }
      if (watching && meanwhile == Meanwhile::MachineRestarts) {
        EXPECT_THAT(run.out(), HasSubstr(kWatching15));
      }
    }
  }
  EXPECT_GT(inTheWindow, 40u) << "the sweep reaches into the window";
}

// A retry that itself dies in the rest of the window leaves it to the
// next: the window is finished however many runs it takes.
TEST_F(WatchTest, RetriesThatDieInTheWindowInTurnFinishIt) {
  for (int round = 0; round < 5; ++round) {
    const auto died = h.runDyingAt(kWatch15, round == 0 ? 400 : 60);
    if (died) break;
    ASSERT_TRUE(journalSays("watching") || journalSays("confirmed")) << round;
    h.clock.advance(1'000);
  }
  if (h.os.contents(kJournal)) {
    if (!file(kNew)) h.os.putFile(kNew, kV2);
    const int status = h.run(kWatch15);
    EXPECT_EQ(status, 0);
    expectEndStateMatchesStatus(h, status);
  }
  EXPECT_EQ(service->runningImage, kV2);
}

// The scene's run killed a few seconds into its window.
void killedInTheWindow(Harness& run) {
  setUpSweepScene(run, false);
  unsigned nth = 1;
  for (;; ++nth) {
    Harness probe;
    setUpSweepScene(probe, false);
    probe.runDyingAt(kWatch15, nth);
    if (probe.os.contents(kJournal).value_or("").find("step: watching") != std::string::npos &&
        probe.clock.now() > 1'006'000) {
      break;
    }
  }
  ASSERT_FALSE(run.runDyingAt(kWatch15, nth));
}

// The retry's own words, whichever way it finishes the window.
TEST(WatchRetry, SaysHowItFinishedTheWindow) {
  {
    Harness run;
    killedInTheWindow(run);
    run.os.putFile(kNew, kV2);
    const auto said = run.out().size();
    EXPECT_EQ(run.run(kWatch15 + u" --report C:\\svc\\report.json"), 0);
    EXPECT_THAT(run.out().substr(said),
                HasSubstr("Atualiza\xE7\xE3o anterior interrompida (etapa: watching): retomando a observa\xE7\xE3o\r\n"));
    // The report tells of the rest it watched.
    EXPECT_THAT(run.os.contents(u"C:\\svc\\report.json").value_or(""), HasSubstr("\"watch\": {\"askedSeconds\": "));
    EXPECT_THAT(run.out().substr(said), HasSubstr(" (o restante da observa\xE7\xE3o interrompida) ...\r\n"));
    EXPECT_EQ(run.os.contents(kResult), "Atualizado com sucesso!\r\n");
    expectEndStateMatchesStatus(run, 0);
  }
  {
    Harness run;
    killedInTheWindow(run);
    befall(run, Meanwhile::ServiceDies);
    run.os.putFile(kNew, kV2);
    const auto said = run.out().size();
    EXPECT_EQ(run.run(kWatch15), 11);
    EXPECT_THAT(run.out().substr(said),
                HasSubstr("Atualiza\xE7\xE3o anterior interrompida (etapa: watching): desfazendo\r\n"
                          "  -> A nova vers\xE3o parou durante a observa\xE7\xE3o\r\n"));
    EXPECT_EQ(run.os.contents(kResult), "Erro: A nova vers\xE3o parou durante a observa\xE7\xE3o. Vers\xE3o anterior "
                                        "restaurada e em execu\xE7\xE3o.\r\n");
    expectEndStateMatchesStatus(run, 11);
  }
}

// --check says which of the three a retry would do.
TEST_F(WatchTest, CheckSaysHowTheRetryWouldFinishTheWindow) {
  struct Case {
    Meanwhile meanwhile;
    const char* says;
    int status;
  };
  for (const auto& c : {Case{Meanwhile::Nothing, "o mesmo processo ainda est\xE1 em execu\xE7\xE3o; observaria a nova "
                                                 "vers\xE3o por mais ", 0},
                        Case{Meanwhile::ServiceDies, "desfaria a atualiza\xE7\xE3o anterior interrompida (etapa: "
                                                     "watching): A nova vers\xE3o parou durante a observa\xE7\xE3o", 11},
                        Case{Meanwhile::MachineRestarts, "a m\xE1quina foi reiniciada; iniciaria a nova vers\xE3o se "
                                                         "n\xE3o estiver em execu\xE7\xE3o e a observaria por 15 s de "
                                                         "novo", 0}}) {
    SCOPED_TRACE(c.says);
    Harness run;
    killedInTheWindow(run);
    befall(run, c.meanwhile);
    run.os.putFile(kNew, kV2);
    const auto journal = run.os.contents(kJournal);
    const int status = run.run(kSweepArguments + u" --check --watch 15");
    EXPECT_THAT(run.out(), HasSubstr(c.says));
    EXPECT_EQ(status, c.status == 11 ? 11 : 0);
    EXPECT_EQ(run.os.contents(kJournal), journal) << "a check changes nothing";
  }
}

// An error at any call of any operation of a watched run, the window's own
// included: nothing is lost, and the status says what the run left.
TEST(WatchFaults, AFaultAtAnyCallOfAWatchedRunEndsInAStateItsStatusNames) {
  using platform::fake::FileOp;
  using platform::fake::ServiceOp;
  const std::u16string arguments = kSweepArguments + u" --watch 5 --health-url " + kUrl + u" --health-interval 2";
  const auto setUp = [](Harness& h) {
    setUpSweepScene(h, false);
    h.probes.answer(kUrl, [] { return FakeHealthProbes::http(200); });
  };
  Harness clean;
  setUp(clean);
  ASSERT_EQ(clean.run(arguments), 0);
  constexpr platform::OsError kLasting = 1;
  std::set<int> statuses;
  const auto sweep = [&](auto family, int last, auto calls, auto fail) {
    for (int op = 0; op <= last; ++op) {
      for (unsigned n = 1; n <= calls(clean, op); ++n) {
        SCOPED_TRACE(::testing::Message() << family << " operation " << op << ", call " << n);
        Harness h;
        setUp(h);
        fail(h, op, n, kLasting);
        const bool fileOp = std::string_view(family) == "file";
        const auto file = static_cast<FileOp>(op);
        Allowance allowed;
        allowed.escapes = fileOp && (file == FileOp::WriteStdout || file == FileOp::OpenStdout);
        allowed.resultLost = fileOp && (file == FileOp::CreateNewFile || file == FileOp::WriteBytes ||
                                        file == FileOp::CloseFile || file == FileOp::RemoveFile ||
                                        file == FileOp::TryLock);
        const int status = h.run(arguments);
        statuses.insert(status);
        expectEndStateMatchesStatus(h, status, allowed);
        if (h.os.contents(kJournal) && !(fileOp && file == FileOp::RemoveFile)) {
          EXPECT_EQ(status, 12);
        }
      }
    }
  };
  sweep("file", static_cast<int>(FileOp::ReadAt),
        [](Harness& h, int op) { return h.os.calls(static_cast<FileOp>(op)); },
        [](Harness& h, int op, unsigned n, platform::OsError e) { h.os.faults().failCall(static_cast<FileOp>(op), n, e); });
  sweep("service", static_cast<int>(ServiceOp::Release),
        [](Harness& h, int op) { return h.services.calls(static_cast<ServiceOp>(op)); },
        [](Harness& h, int op, unsigned n, platform::OsError e) {
          h.services.faults().failCall(static_cast<ServiceOp>(op), n, e);
        });
  EXPECT_TRUE(statuses.count(0) && statuses.count(11)) << "faults both passed over and rolled back";
}

// A release is watched through one window: any member that fails it puts
// every member back.
TEST(ReleaseWatch, OneWindowForAllAndAnyFailureInItPutsEveryMemberBack) {
  const std::u16string arguments = kReleaseArguments + u" --watch 10";
  for (std::size_t dies = 0; dies <= kMembers.size(); ++dies) {
    SCOPED_TRACE(dies);
    Harness h;
    setUpReleaseScene(h);
    if (dies < kMembers.size()) {
      auto& service = serviceOf(h, kMembers[dies]);
      service.startOnlyFor = versionOf(kMembers[dies], "v2");
      service.start.diesAfterMs = 6'000;
    }
    const auto before = h.clock.now();
    const int status = h.run(arguments);
    const auto out = h.out();
    EXPECT_EQ(out.find("Observando"), out.rfind("Observando")) << "one window";
    if (dies == kMembers.size()) {
      EXPECT_EQ(status, 0);
      EXPECT_GE(h.clock.now() - before, 10'000u);
      expectAllOn(h, "v2");
      continue;
    }
    EXPECT_EQ(status, 11);
    expectAllOn(h, "v1");
    for (const auto& member : kMembers) {
      const auto result = resultOf(h, member);
      EXPECT_THAT(result, HasSubstr(member.name == kMembers[dies].name
                                        ? std::string("A nova vers\xE3o parou durante a observa\xE7\xE3o")
                                        : "a atualiza\xE7\xE3o conjunta falhou no servi\xE7o " +
                                              toUtf8(kMembers[dies].name)));
    }
  }
}

// A release killed at every call, its window included, then retried: it
// ends as a whole, and a member that died in the window meanwhile makes
// it a rollback.
TEST(ReleaseWatch, KilledAtEveryCallThenRetriedEndsAsAWhole) {
  const std::u16string arguments = kReleaseArguments + u" --watch 10";
  unsigned inTheWindow = 0;
  for (const bool memberDies : {false, true}) {
    for (unsigned nth = 1;; ++nth) {
      SCOPED_TRACE(::testing::Message() << (memberDies ? "a member dies meanwhile" : "nothing meanwhile")
                                        << ", killed at call " << nth);
      Harness h;
      setUpReleaseScene(h);
      const auto died = h.runDyingAt(arguments, nth);
      if (died) {
        EXPECT_EQ(*died, 0);
        expectAllOn(h, "v2");
        break;
      }
      expectNothingLost(h);
      const auto journal = journalOf(h, kMembers[2]);
      const bool watching = journal && journal->step == Step::Watching;
      inTheWindow += watching ? 1 : 0;
      if (memberDies && watching) {
        auto& store = serviceOf(h, kMembers[2]);
        if (store.processId != 0) {
          const auto armed = store.endedWhileRestartArmed;
          h.services.terminateProcess(store.processId);
          store.endedWhileRestartArmed = armed;
        }
      }
      stageAgain(h);
      const auto out = h.out().size();
      std::vector<unsigned> stops;
      for (const auto& member : kMembers) stops.push_back(serviceOf(h, member).stopRequests);
      const int status = h.run(arguments);
      if (watching && !memberDies) {
        // The rest of the one window, for all of them, nothing stopped.
        EXPECT_THAT(h.out().substr(out), HasSubstr("): retomando a observa\xE7\xE3o\r\n"));
        EXPECT_EQ(h.out().find("Observando", out), h.out().rfind("Observando"));
        for (std::size_t i = 0; i < kMembers.size(); ++i) {
          EXPECT_EQ(serviceOf(h, kMembers[i]).stopRequests, stops[i]);
        }
      }
      if (memberDies && watching) {
        EXPECT_EQ(status, 11) << h.out().substr(out);
        expectAllOn(h, "v1");
        EXPECT_THAT(resultOf(h, kMembers[0]), HasSubstr("falhou na observa\xE7\xE3o: servi\xE7o QZStore"));
      } else {
        EXPECT_EQ(status, 0) << h.out().substr(out);
        expectAllOn(h, "v2");
      }
    }
  }
  EXPECT_GT(inTheWindow, 20u) << "the sweep reaches into the window";
}

// A check of a watched update says it would watch it.
TEST_F(WatchTest, ACheckSaysTheUpdateWouldBeWatched) {
  EXPECT_EQ(h.run(kSweepArguments + u" --check --watch 90"), 0);
  EXPECT_THAT(h.out(), HasSubstr("  -> iniciaria o servi\xE7o\r\n  -> observaria a nova vers\xE3o por 1 min 30 s antes "
                                 "de d\xE1-la por atualizada\r\n"));
  EXPECT_EQ(service->stopRequests, 0u);
}

// A release killed early in its window, whose member then dies in the rest
// of it that the retry watches: every member goes back, 11.
TEST(ReleaseWatch, AMemberThatDiesInTheRestOfTheWindowPutsTheReleaseBack) {
  const std::u16string arguments = kReleaseArguments + u" --watch 10";
  unsigned nth = 1;
  for (;; ++nth) {
    Harness probe;
    setUpReleaseScene(probe);
    ASSERT_FALSE(probe.runDyingAt(arguments, nth)) << "the run was never killed in its window";
    const auto journal = journalOf(probe, kMembers[2]);
    if (journal && journal->step == Step::Watching && probe.clock.now() - 1'000'000 > 6'000) break;
  }
  Harness h;
  setUpReleaseScene(h);
  ASSERT_FALSE(h.runDyingAt(arguments, nth));
  auto& store = serviceOf(h, kMembers[2]);
  store.run.diesAfterMs = h.clock.now() - store.since + 1'000;
  stageAgain(h);
  const auto out = h.out().size();
  EXPECT_EQ(h.run(arguments), 11) << h.out().substr(out);
  expectAllOn(h, "v1");
  EXPECT_THAT(h.out().substr(out), HasSubstr("(o restante da observa\xE7\xE3o interrompida) ..."));
  for (const auto& member : kMembers) {
    EXPECT_THAT(resultOf(h, member),
                HasSubstr("a atualiza\xE7\xE3o conjunta anterior falhou na observa\xE7\xE3o: servi\xE7o QZStore: A nova "
                          "vers\xE3o parou durante a observa\xE7\xE3o"));
  }
}

// The journal keeps the window whole or not at all.
TEST(WatchJournal, ReadsBackWhatItWroteAndRefusesHalfAWatch) {
  JournalRecord record;
  record.serviceName = u"QZAgent";
  record.processId = 7;
  record.wasRunning = true;
  record.next = {1, 2, 3, 4};
  record.nextSha256 = std::u16string(64, u'a');
  record.step = Step::Watching;
  record.watch = JournalRecord::Watch{600, 1'796'774'400, 1'796'770'000, 10, 3, 5124, 133'781'240'000'000'000};
  const auto text = formatJournal(record);
  EXPECT_THAT(text, HasSubstr("watch: 600 1796774400 1796770000 10 3\r\nwatched: 5124 133781240000000000\r\n"
                              "step: watching\r\n"));
  const auto back = parseJournal(text);
  ASSERT_TRUE(back && back->watch);
  EXPECT_EQ(back->step, Step::Watching);
  EXPECT_EQ(back->watch->seconds, 600u);
  EXPECT_EQ(back->watch->startedAt, 1'796'774'400);
  EXPECT_EQ(back->watch->bootedAt, 1'796'770'000);
  EXPECT_EQ(back->watch->intervalSeconds, 10u);
  EXPECT_EQ(back->watch->failures, 3u);
  EXPECT_EQ(back->watch->processId, 5124u);
  EXPECT_EQ(back->watch->processCreated, 133'781'240'000'000'000u);
  const auto without = [&](std::string_view line) {
    auto cut = text;
    cut.erase(cut.find(line), cut.find("\r\n", cut.find(line)) + 2 - cut.find(line));
    return cut;
  };
  EXPECT_FALSE(parseJournal(without("watched: ")));
  EXPECT_FALSE(parseJournal(without("watch: ")));
  for (const auto* bad : {"watch: 0 1 1 10 3", "watch: 600 1 1 0 3", "watch: 600 1 1 10 0", "watch: 600 1 1 10",
                          "watch: 600 1 1 10 3 9", "watch: 600 x 1 10 3", "watch: 600  1 10 3", "watch: 86401 1 1 10 3",
                          "watch: 600 1 1 3601 3", "watch: 600 1 1 10 101", "watch: -600 1 1 10 3"}) {
    auto changed = text;
    changed.replace(changed.find("watch: "), changed.find("\r\n", changed.find("watch: ")) - changed.find("watch: "),
                    bad);
    EXPECT_FALSE(parseJournal(changed)) << bad;
  }
}

}  // namespace
}  // namespace usqz
