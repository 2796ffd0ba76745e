// A release that died, recovered as a whole: every service planned before
// any is stopped and all left as found when one plan refuses (the status
// saying whether anything is down), the journals let go only once every
// service is recovered, each service held to the checks the release gave
// it whoever runs the recovery, --check saying what the run would do, and
// a first stop that fails moving nothing and starting again what it
// stopped.
#include <memory>
#include <map>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checks/sha256.h"
#include "release_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

const ReleaseMember& member(const char16_t* name) {
  for (const auto& m : kMembers) {
    if (m.name == name) return m;
  }
  throw std::logic_error("no such member");
}

// Everything a run could change but the result files: the files, what was
// asked of the manager, each service's state.
struct Scene {
  std::map<std::u16string, std::optional<std::string>> files;
  std::size_t requests = 0;
  std::vector<std::uint32_t> states;
  bool operator==(const Scene&) const = default;
};

// What a dead run left settles first: a stop it asked for completes
// whether or not anyone runs again, and is no later run's doing.
Scene sceneOf(Harness& h) {
  h.clock.advance(10'000);
  h.services.processAlive(0);
  Scene scene;
  for (const auto& name : h.os.fileNames()) {
    if (name.rfind(u"updateServiceQZ-", 0) != 0) scene.files[name] = h.os.contents(name);
  }
  scene.requests = h.services.requests().size();
  for (const auto& m : kMembers) scene.states.push_back(serviceOf(h, m).state);
  return scene;
}

// The release's services in the order its journals name them.
std::vector<std::u16string> releaseOf(Harness& h) {
  for (const auto& m : kMembers) {
    if (const auto journal = journalOf(h, m)) return journal->release;
  }
  return {};
}

// What the dead release left down, told from its journals and the
// manager: each service whose journal says it ran, not running now.
std::vector<std::u16string> downPerJournals(Harness& h) {
  std::vector<std::u16string> down;
  for (const auto& name : releaseOf(h)) {
    const auto journal = journalOf(h, member(name.c_str()));
    if (journal && journal->wasRunning && h.services.find(name)->state != platform::kServiceRunning) {
      down.push_back(name);
    }
  }
  return down;
}

bool allConfirmed(Harness& h) {
  for (const auto& m : kMembers) {
    const auto journal = journalOf(h, m);
    if (journal && journal->step != Step::Confirmed) return false;
  }
  return true;
}

// The release, or one of its services alone (QZAgent has QZSync depending
// on it).
std::u16string runnerArguments(int runner) {
  return runner < 0 ? kReleaseArguments
                    : u"--service-name " + kMembers[runner].name + u" --exit-code --stop-dependents";
}

// Where a release run dies to leave the scenes the tests start from, found
// once by a death at every call in turn.
struct Deaths {
  std::vector<unsigned> toUndo;  // a release whose journals do not all say confirmed
  unsigned syncStarting = 0;     // the first where QZSync's journal says starting
  unsigned allRunning = 0;       // the first where QZAgent is confirmed, not all are, and none is down
  unsigned allConfirmed = 0;     // the first where every journal says confirmed
};

const Deaths& deaths() {
  static const Deaths found = [] {
    Deaths d;
    const unsigned calls = callsOfTheRelease();
    for (unsigned nth = 1; nth <= calls; ++nth) {
      Harness h;
      setUpReleaseScene(h);
      h.runDyingAt(kReleaseArguments, nth);
      if (releaseOf(h).empty()) continue;
      if (!allConfirmed(h)) d.toUndo.push_back(nth);
      const auto sync = journalOf(h, member(u"QZSync"));
      const auto agent = journalOf(h, member(u"QZAgent"));
      if (!d.syncStarting && sync && sync->step == Step::Starting) d.syncStarting = nth;
      if (!d.allRunning && agent && agent->step == Step::Confirmed && !allConfirmed(h) && downPerJournals(h).empty()) {
        d.allRunning = nth;
      }
      if (!d.allConfirmed && allConfirmed(h)) d.allConfirmed = nth;
    }
    return d;
  }();
  return found;
}

// -- one plan that refuses -------------------------------------------------------

// What may stand in the way of one service's recovery, found by its plan.
struct Obstacle {
  const char* what;
  // Whether it applies where the dead release left the service.
  bool (*applies)(Harness&, const ReleaseMember&);
  void (*set)(Harness&, const ReleaseMember&);
  // What the refusal says of the service's files, after "serviço NAME: ".
  std::u16string (*says)(const ReleaseMember&);
};

const Obstacle kObstacles[] = {
    {"another build staged at its .new",
     [](Harness& h, const ReleaseMember& m) { return h.os.contents(m.exe()) == versionOf(m, "v2"); },
     [](Harness& h, const ReleaseMember& m) { h.os.putFile(m.next(), "another build"); },
     [](const ReleaseMember& m) {
       return m.next() + u" está ocupado por outro arquivo; a nova versão está em " + m.exe();
     }},
    {"its backup held by another process",
     [](Harness& h, const ReleaseMember& m) { return h.os.contents(m.old()) == versionOf(m, "v1"); },
     [](Harness& h, const ReleaseMember& m) { h.os.setLocked(m.old()); },
     // Held, its bytes cannot be read to be vouched for.
     [](const ReleaseMember& m) {
       return u"a versão anterior em " + m.old() + u" não é a registrada no diário (SHA-256 ilegível";
     }},
};

// Killed anywhere it leaves a service to put back, the release is run again
// (or one of its services alone) with one service's recovery in the way:
// nothing is stopped, moved or removed, every journal stays, and the status
// is 10 unless what the journals say ran is not running, 12 then, naming
// it; every result says which service and which file to look at.
TEST(DeadRelease, OnePlanThatRefusesLeavesEveryServiceAsFound) {
  ASSERT_GT(deaths().toUndo.size(), 20u);
  std::set<int> statuses;
  unsigned turn = 0;
  for (const auto nth : deaths().toUndo) {
    Harness h;
    setUpReleaseScene(h);
    h.runDyingAt(kReleaseArguments, nth);
    // One obstacle at one service at each death, in turn, where it applies.
    std::vector<std::pair<const Obstacle*, const ReleaseMember*>> applicable;
    for (const auto& obstacle : kObstacles) {
      for (const auto& blocked : kMembers) {
        if (journalOf(h, blocked) && obstacle.applies(h, blocked)) applicable.emplace_back(&obstacle, &blocked);
      }
    }
    if (applicable.empty()) continue;
    const auto& [obstacle, blocked] = applicable[turn % applicable.size()];
    // The release, or one of its services alone, in turn.
    int runner = static_cast<int>(turn++ % 4) - 1;
    if (runner >= 0 && !journalOf(h, kMembers[runner])) runner = -1;
    SCOPED_TRACE(::testing::Message() << "killed at " << nth << ", " << obstacle->what << ": "
                                      << toUtf8(blocked->name) << ", run: " << toUtf8(runnerArguments(runner)));
    obstacle->set(h, *blocked);
    const auto down = downPerJournals(h);
    const auto before = sceneOf(h);
    const auto out = h.out().size();
    const int status = h.run(runnerArguments(runner));
    statuses.insert(status);
    EXPECT_EQ(status, down.empty() ? 10 : 12) << h.out().substr(out);
    EXPECT_TRUE(sceneOf(h) == before) << "nothing stopped, started, moved or removed: " << h.out().substr(out);
    std::u16string says = u"Erro: a atualização conjunta anterior interrompida não foi desfeita: serviço " +
                          blocked->name + u": " + obstacle->says(*blocked);
    for (const auto& m : kMembers) {
      if (runner >= 0 && m.name != kMembers[runner].name) continue;
      const auto result = resultOf(h, m);
      EXPECT_EQ(result.rfind(ansi(says), 0), 0u) << toUtf8(m.name) << ": " << result;
      const auto tail = ansi(down.empty() ? std::u16string(u"; nada foi alterado\r\n")
                                          : u"; nada foi alterado; não estão em execução: " + joined(down) + u"\r\n");
      EXPECT_TRUE(result.size() >= tail.size() && result.substr(result.size() - tail.size()) == tail)
          << toUtf8(m.name) << ": " << result;
    }
    EXPECT_EQ(h.services.openHandles(), 0u);
    EXPECT_EQ(h.os.openFiles(), 0u);
    EXPECT_EQ(h.os.locksHeld(), 0u);
  }
  EXPECT_TRUE(statuses.count(10) && statuses.count(12)) << "deaths leave services down and services running";
}


// The release killed while its last service starts, another build staged
// since at QZAgent's .new: the run of the release says which service and
// which file stand in the way, and whether anything is down, in each
// service's result and once on the console.
TEST(DeadRelease, ARefusalSaysWhichServiceAndWhichFileToLookAt) {
  struct Case {
    const char* what;
    unsigned dies;
    int status;
    std::u16string tail;
  };
  const Case cases[] = {
      {"QZSync starting, not running yet", deaths().syncStarting, 12,
       u"; nada foi alterado; não estão em execução: QZSync"},
      {"every service running, not all confirmed", deaths().allRunning, 10, u"; nada foi alterado"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.dies, 0u);
    Harness h;
    setUpReleaseScene(h);
    h.runDyingAt(kReleaseArguments, c.dies);
    const auto& agent = member(u"QZAgent");
    h.os.putFile(agent.next(), "another build");
    const auto before = sceneOf(h);
    const auto out = h.out().size();
    EXPECT_EQ(h.run(kReleaseArguments), c.status);
    const auto why = u"a atualização conjunta anterior interrompida não foi desfeita: serviço QZAgent: "
                     u"C:\\svc\\qz_Agent.new está ocupado por outro arquivo; a nova versão está em "
                     u"C:\\svc\\qz_Agent.exe" + c.tail;
    std::string expected;
    for (const auto& m : kMembers) {
      expected += ansi(u"[" + m.name + u"]\r\n");
      if (m.name == u"QZSync") {
        expected += ansi(u"Atualização conjunta anterior interrompida (QZAgent, QZSync, QZStore): nada foi alterado\r\n");
      }
      expected += ansi(u"Ocorreu um erro ao atualizar o serviço: " + m.name + u". Erro: " + why + u"\r\n");
      EXPECT_EQ(resultOf(h, m), ansi(u"Erro: " + why + u"\r\n"));
    }
    EXPECT_EQ(h.out().substr(out), expected);
    EXPECT_TRUE(sceneOf(h) == before);
    // Once the administrator has moved the other build away, the release
    // is put back as a whole and run again.
    h.os.removeFile(agent.next());
    for (const auto& m : kMembers) {
      if (!h.os.contents(m.next()) && h.os.contents(m.exe()) != versionOf(m, "v2")) h.os.putFile(m.next(), versionOf(m, "v2"));
    }
    EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(out);
    expectAllOn(h, "v2");
  }
}


void stageAgain(Harness& h, const ReleaseMember& m) { h.os.putFile(m.next(), versionOf(m, "v2")); }

// The recovery of a dead release (run by the deployment's retry of the
// release) killed at every call it makes, until the release's own journals
// appear; then a run of each of its services alone, that service's new
// version staged again, or of the release: the release ends as a whole, its
// other services on the version the dead release's journals decided (all
// back unless every one was confirmed), nothing lost, and the release run
// after that ends with every service on its new version.
TEST(DeadReleaseKillSweep, ARecoveryKilledAnywhereLeavesTheWholeReleaseToAnyOfItsServices) {
  // Some confirmed, others starting: every one stopped first and undone;
  // every one confirmed: finished, not undone.
  const unsigned firsts[] = {deaths().allRunning, deaths().allConfirmed};
  std::set<std::string> decided;
  for (const auto first : firsts) {
    ASSERT_NE(first, 0u);
    Harness dead;
    setUpReleaseScene(dead);
    dead.runDyingAt(kReleaseArguments, first);
    std::map<std::u16string, std::optional<std::string>> left;
    for (const auto& m : kMembers) left[m.name] = dead.os.contents(m.journal());
    const std::string decision = allConfirmed(dead) ? "v2" : "v1";
    decided.insert(decision);
    stageAgain(dead);
    const unsigned before = dead.os.lifeline().calls();
    dead.run(kReleaseArguments);
    const unsigned calls = dead.os.lifeline().calls() - before;
    for (unsigned second = 1; second <= calls; ++second) {
      const auto killedTwice = [&](Harness& h) {
        setUpReleaseScene(h);
        h.runDyingAt(kReleaseArguments, first);
        stageAgain(h);
        return !h.runDyingAt(kReleaseArguments, second).has_value();
      };
      // The release run again first: killed past the recovery, it has
      // journals of its own.
      Harness h;
      if (!killedTwice(h)) break;
      bool ownJournals = false;
      for (const auto& m : kMembers) {
        const auto now = h.os.contents(m.journal());
        ownJournals = ownJournals || (now && now != left[m.name]);
      }
      if (ownJournals) break;
      {
        SCOPED_TRACE(::testing::Message() << "killed at " << first << ", its recovery at " << second
                                          << ", then the release");
        expectNothingLost(h, kMembers, true);
        const auto out = h.out().size();
        stageAgain(h);
        EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(out);
        expectAllOn(h, "v2");
      }
      for (int runner = 0; runner < static_cast<int>(kMembers.size()); ++runner) {
        SCOPED_TRACE(::testing::Message() << "killed at " << first << ", its recovery at " << second
                                          << ", then: " << toUtf8(runnerArguments(runner)));
        Harness alone;
        killedTwice(alone);
        const auto& service = kMembers[runner];
        const auto out = alone.out().size();
        stageAgain(alone, service);
        EXPECT_EQ(alone.run(runnerArguments(runner)), 0) << alone.out().substr(out);
        expectNothingLost(alone, kMembers, true);
        EXPECT_EQ(runningVersion(alone, service), "v2") << alone.out().substr(out);
        for (const auto& m : kMembers) {
          if (m.name == service.name) continue;
          EXPECT_EQ(runningVersion(alone, m), decision) << toUtf8(m.name) << alone.out().substr(out);
        }
        // Whatever journal is left is the dead release's, and harmless: the
        // release run after it (in turn after each service) ends all new.
        // A service that runs its new version already is not the release's
        // to stop: the one it depends on stops it as a dependent.
        for (const auto& m : kMembers) {
          const auto now = alone.os.contents(m.journal());
          EXPECT_TRUE(!now || now == left[m.name]) << toUtf8(m.name);
        }
        if (second % kMembers.size() != static_cast<unsigned>(runner)) continue;
        stageAgain(alone);
        EXPECT_EQ(alone.run(kReleaseArguments + u" --stop-dependents"), 0) << alone.out().substr(out);
        expectAllOn(alone, "v2");
      }
    }
  }
  EXPECT_EQ(decided.size(), 2u) << "releases to undo and a release to finish";
}

const std::u16string kAgentUrl = u"http://127.0.0.1:8080/health";
const std::u16string kStoreTcp = u"127.0.0.1:8081";

// The release with its checks: QZAgent's address and its pin, QZStore's
// port and a command.
std::string checkedRelease() {
  return R"({"services": [{"name": "QZSync"}, {"name": "QZAgent", "healthUrl": ["http://127.0.0.1:8080/health"], )"
         R"("sha256": ")" + toUtf8(Sha256::of(versionOf(member(u"QZAgent"), "v2"))) +
         R"("}, {"name": "QZStore", "healthTcp": ["127.0.0.1:8081"], "healthCommand": ["C:\\svc\\check.cmd"]}]})";
}

// Every check answers, each counted; QZAgent's address fails while v1 runs
// when `previousUnhealthy`.
struct Checks {
  std::map<std::u16string, unsigned> tries;
  bool previousUnhealthy = false;
};

void answer(Harness& h, Checks& checks) {
  h.os.putFile(kCheckCommand, "@exit /b 0");
  const auto& agent = member(u"QZAgent");
  h.probes.answer(kAgentUrl, [&h, &checks, &agent] {
    ++checks.tries[kAgentUrl];
    const bool previous = serviceOf(h, agent).runningImage == versionOf(agent, "v1");
    return FakeHealthProbes::http(previous && checks.previousUnhealthy ? 503 : 200);
  });
  h.probes.answer(kStoreTcp, [&checks] {
    ++checks.tries[kStoreTcp];
    return FakeHealthProbes::http(0);
  });
  h.probes.answer(kCheckLine, [&checks] {
    ++checks.tries[kCheckCommand];
    return FakeHealthProbes::exited(0);
  });
}

unsigned callsOfTheCheckedRelease() {
  static const unsigned calls = [] {
    Harness clean;
    setUpReleaseScene(clean, checkedRelease());
    Checks checks;
    answer(clean, checks);
    const unsigned before = clean.os.lifeline().calls();
    clean.run(kReleaseArguments + u" --health-timeout 5");
    return clean.os.lifeline().calls() - before;
  }();
  return calls;
}

// Killed while QZSync starts, the release is undone by a run of one of its
// services alone, or of the release with a file that no longer gives any
// checks: QZAgent and QZStore are put back and held to the checks (and the
// time limit) the release gave them, taken from their journals, whoever
// runs it; one that fails them is named, and the run says 12.
TEST(DeadRelease, EveryServiceIsHeldToTheChecksTheReleaseGaveIt) {
  const auto release = checkedRelease();
  const auto dies = [&] {
    for (unsigned nth = 1; nth <= callsOfTheCheckedRelease(); ++nth) {
      Harness probe;
      setUpReleaseScene(probe, release);
      Checks checks;
      answer(probe, checks);
      probe.runDyingAt(kReleaseArguments + u" --health-timeout 5", nth);
      const auto sync = journalOf(probe, member(u"QZSync"));
      if (sync && sync->step == Step::Starting) return nth;
    }
    return 0u;
  }();
  ASSERT_NE(dies, 0u);
  const std::u16string runners[] = {u"--service-name QZSync --exit-code",
                                    u"--service-name QZStore --exit-code --health-url http://127.0.0.1:9999/x",
                                    kReleaseArguments};
  for (const bool previousUnhealthy : {false, true}) {
    for (const auto& runner : runners) {
      SCOPED_TRACE(::testing::Message() << toUtf8(runner) << (previousUnhealthy ? ", v1 unhealthy" : ""));
      Harness h;
      setUpReleaseScene(h, release);
      Checks checks;
      answer(h, checks);
      h.probes.answer(u"http://127.0.0.1:9999/x", [] { return FakeHealthProbes::http(200); });
      h.runDyingAt(kReleaseArguments + u" --health-timeout 5", dies);
      ASSERT_THAT(h.os.contents(member(u"QZAgent").journal()).value_or(""),
                  HasSubstr("\r\nhealth-url: http://127.0.0.1:8080/health\r\nhealth-timeout: 5\r\npin-sha256: "));
      checks.tries.clear();
      checks.previousUnhealthy = previousUnhealthy;
      if (runner == kReleaseArguments) h.os.putFile(kReleaseFile, kReleaseText);
      const auto out = h.out().size();
      const int status = h.run(runner);
      const auto said = h.out().substr(out);
      const auto recovery = said.substr(0, said.find("SCManager :: conectado"));
      EXPECT_THAT(recovery, HasSubstr(ansi(u"Service :: verificando saúde: " + kAgentUrl + u" ...")));
      EXPECT_THAT(recovery, HasSubstr(ansi(u"Service :: verificando saúde: tcp " + kStoreTcp + u" ...")));
      EXPECT_THAT(recovery, HasSubstr(ansi(u"Service :: verificando saúde: comando " + kCheckCommand + u" ...")));
      EXPECT_GT(checks.tries[kCheckCommand], 0u);
      if (!previousUnhealthy) {
        EXPECT_EQ(status, 0) << said;
        continue;
      }
      EXPECT_EQ(status, 12) << said;
      const auto& asked =
          runner == kReleaseArguments ? member(u"QZSync") : member(runner.substr(15, runner.find(u' ', 15) - 15).c_str());
      EXPECT_THAT(resultOf(h, asked),
                  HasSubstr(ansi(u"Erro: a atualização conjunta anterior interrompida não foi desfeita por inteiro: "
                                 u"serviço QZAgent: Não foi possível desfazer a atualização anterior interrompida: "
                                 u"Versão anterior restaurada, mas não respondeu à verificação: A verificação de "
                                 u"saúde não passou em 5 s: " + kAgentUrl)));
      // Nothing goes on as though the release were back: no service is
      // updated alone.
      for (const auto& m : kMembers) EXPECT_EQ(h.os.contents(m.exe()), versionOf(m, "v1")) << toUtf8(m.name);
    }
  }
}

// A health command the release gave a service, gone since: its recovery
// could not hold the service to it, and nothing of the release is touched.
TEST(DeadRelease, ACheckThatNoLongerResolvesRefusesBeforeAnythingStops) {
  const auto release = checkedRelease();
  // Killed halfway: the first death from the middle on that leaves
  // QZStore's journal, and with it the check it keeps.
  std::unique_ptr<Harness> killed;
  Checks checks;
  for (unsigned nth = callsOfTheCheckedRelease() / 2; !killed || !journalOf(*killed, member(u"QZStore")); ++nth) {
    ASSERT_LT(nth, callsOfTheCheckedRelease());
    killed = std::make_unique<Harness>();
    setUpReleaseScene(*killed, release);
    answer(*killed, checks);
    ASSERT_FALSE(killed->runDyingAt(kReleaseArguments, nth));
  }
  Harness& h = *killed;
  h.os.removeFile(kCheckCommand);
  const auto down = downPerJournals(h);
  const auto before = sceneOf(h);
  const auto out = h.out().size();
  EXPECT_EQ(h.run(u"--service-name QZSync --exit-code"), down.empty() ? 10 : 12) << h.out().substr(out);
  EXPECT_TRUE(sceneOf(h) == before);
  EXPECT_THAT(resultOf(h, member(u"QZSync")),
              HasSubstr(ansi(u"não foi desfeita: serviço QZStore: --health-command C:\\svc\\check.cmd: nenhum arquivo "
                             u"com esse caminho; nada foi alterado")));
}

// A check with a line break in it could not be kept in the journal: the
// release refuses before any service stops.
TEST(DeadRelease, ACheckTheJournalCannotKeepRefusesTheReleaseBeforeAnyStop) {
  Harness h;
  setUpReleaseScene(h, R"({"services": [{"name": "QZSync"}, {"name": "QZAgent", "healthUrl": ["http://x/\ny"]}, )"
                       R"({"name": "QZStore"}]})");
  EXPECT_EQ(h.run(kReleaseArguments), 10) << h.out();
  EXPECT_EQ(h.services.calls(ServiceOp::SendStop), 0u);
  EXPECT_THAT(resultOf(h, member(u"QZAgent")),
              HasSubstr(ansi(u"Não foi possível gravar o diário da atualização C:\\svc\\qz_Agent.journal: uma "
                             u"verificação de saúde tem uma quebra de linha")));
  expectAllOn(h, "v1");
}


// From `from` up to the first of `to` after it (or the end).
std::string between(const std::string& text, const std::string& from, const std::string& to) {
  const auto begin = text.find(from);
  if (begin == std::string::npos) return {};
  const auto end = text.find(to, begin + from.size());
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// --check of the release, or of any of its services, with a dead release
// on disk: the whole dead release, each service's part under its name,
// and nothing touched; then the run does what the check said, and a check
// that refuses says what the run then says, with its status.
TEST(DeadReleaseCheck, SaysWhatTheRunWouldDoWithTheWholeRelease) {
  struct Case {
    const char* what;
    unsigned dies;
    bool obstacle;  // another build at QZAgent's .new
  };
  const Case cases[] = {
      {"QZSync starting: undone", deaths().syncStarting, false},
      {"every one confirmed: finished", deaths().allConfirmed, false},
      {"QZSync starting, QZAgent's .new taken", deaths().syncStarting, true},
  };
  const std::u16string checks[] = {kReleaseArguments + u" --check", runnerArguments(0) + u" --check",
                                   runnerArguments(1) + u" --check", runnerArguments(2) + u" --check"};
  for (const auto& c : cases) {
    const auto nth = c.dies;
    ASSERT_NE(nth, 0u) << c.what;
    for (const auto& check : checks) {
      SCOPED_TRACE(::testing::Message() << c.what << ": " << toUtf8(check));
      Harness h;
      setUpReleaseScene(h);
      h.runDyingAt(kReleaseArguments, nth);
      if (c.obstacle) h.os.putFile(member(u"QZAgent").next(), "another build");
      for (const auto& m : kMembers) h.os.putFile(m.result(), "anterior\r\n");
      const auto before = sceneOf(h);
      const bool undone = !allConfirmed(h);
      auto out = h.out().size();
      const int checked = h.run(check);
      const auto said = h.out().substr(out);
      EXPECT_TRUE(sceneOf(h) == before) << said;
      for (const auto& m : kMembers) EXPECT_EQ(resultOf(h, m), "anterior\r\n");
      // The run, as the check's command line would have it.
      auto run = check.substr(0, check.size() - 8);
      out = h.out().size();
      const int status = h.run(run);
      const auto ran = h.out().substr(out);
      if (c.obstacle) {
        const auto error = between(said, "Ocorreu um erro", "\r\n");
        EXPECT_THAT(error, HasSubstr("C:\\svc\\qz_Agent.new est\xE1 ocupado por outro arquivo"));
        EXPECT_THAT(ran, HasSubstr(error));
        EXPECT_EQ(checked, status);
        EXPECT_EQ(checked, 12);
        continue;
      }
      // Finished, a service has no new version to try again: 3.
      EXPECT_EQ(checked, status) << said << ran;
      EXPECT_EQ(status, undone ? 0 : 3) << ran;
      const auto header = ansi(u"Verificação: uma atualização conjunta anterior foi interrompida (QZAgent, QZSync, "
                               u"QZStore); nada foi alterado. A próxima execução, antes de tudo, a ") +
                          (undone ? "desfaria" : "concluiria");
      EXPECT_THAT(said, HasSubstr("\r\n" + header + ":\r\n  [QZAgent]\r\n  -> "));
      EXPECT_THAT(ran, HasSubstr(ansi(u"Atualização conjunta anterior interrompida (QZAgent, QZSync, QZStore): ") +
                                 (undone ? "desfazendo" : "concluindo")));
      // Each service's lines, as its part of the run carries them out.
      for (const auto& m : kMembers) {
        const auto lines = between(said, ansi(u"  [" + m.name + u"]\r\n"), "  [");
        const auto done = between(ran, ansi(u"[" + m.name + u"]\r\nAtualização anterior interrompida"), "[");
        ASSERT_FALSE(lines.empty()) << toUtf8(m.name) << said;
        ASSERT_FALSE(done.empty()) << toUtf8(m.name) << ran;
        EXPECT_EQ(lines.find("devolveria a nova vers\xE3o: EXE -> NEW") != std::string::npos,
                  done.find("Devolvendo a nova vers\xE3o: EXE -> NEW") != std::string::npos)
            << lines << done;
        EXPECT_EQ(lines.find("restauraria a vers\xE3o anterior: OLD -> EXE") != std::string::npos,
                  done.find("Restaurando vers\xE3o anterior: OLD -> EXE") != std::string::npos)
            << lines << done;
      }
      if (check == checks[0] && undone) {
        EXPECT_EQ(said.substr(said.find("[QZSync]")),
                  ansi(u"[QZSync]\r\n\r\n") + header + ":\r\n" +
                      ansi(u"  [QZAgent]\r\n"
                           u"  -> desfaria a atualização anterior interrompida (etapa: starting)\r\n"
                           u"  -> pararia o serviço\r\n"
                           u"  -> devolveria a nova versão: EXE -> NEW\r\n"
                           u"  -> restauraria a versão anterior: OLD -> EXE\r\n"
                           u"  -> iniciaria o serviço se não estiver em execução\r\n"
                           u"  [QZSync]\r\n"
                           u"  -> desfaria a atualização anterior interrompida (etapa: starting)\r\n"
                           u"  -> pararia o serviço\r\n"
                           u"  -> devolveria a nova versão: EXE -> NEW\r\n"
                           u"  -> restauraria a versão anterior: OLD -> EXE\r\n"
                           u"  -> iniciaria o serviço se não estiver em execução\r\n"
                           u"  [QZStore]\r\n"
                           u"  -> desfaria a atualização anterior interrompida (etapa: starting)\r\n"
                           u"  -> pararia o serviço\r\n"
                           u"  -> devolveria a nova versão: EXE -> NEW\r\n"
                           u"  -> restauraria a versão anterior: OLD -> EXE\r\n"
                           u"  -> iniciaria o serviço se não estiver em execução\r\n"
                           u"e então tentaria a atualização de novo\r\n\r\n"
                           u"[QZAgent]\r\n\r\n") +
                      header +
                      ansi(u" (acima)\r\ne então tentaria a atualização de novo\r\n\r\n[QZStore]\r\n\r\n") + header +
                      ansi(u" (acima)\r\ne então tentaria a atualização de novo\r\n\r\n"
                           u"Verificação da atualização conjunta: pararia os serviços na ordem inversa e os "
                           u"iniciaria nesta ordem: QZAgent, QZSync, QZStore\r\n"));
      }
    }
  }
}


// Where the tool acts judged untrusted before a dead run's journal is read:
// nothing is touched, and with a journal present (the dead run may have
// left its service down) the release says 12 and which journal, executable
// and service to look at; without one, 10 as before.
TEST(DeadRelease, ALocationRefusedBeforeAJournalIsReadSaysTheInterruptedUpdateWasNotUndone) {
  const auto& store = member(u"QZStore");
  const auto releaseDies = deaths().syncStarting;
  ASSERT_NE(releaseDies, 0u);
  const auto storeDies = [&] {
    for (unsigned nth = 1;; ++nth) {
      Harness probe;
      setUpReleaseScene(probe);
      probe.runDyingAt(u"--service-name QZStore --exit-code", nth);
      if (probe.os.contents(store.exe()) == versionOf(store, "v2")) return nth;
    }
  }();
  const std::string folderOpen = "Local n\xE3o confi\xE1vel: C:\\svc\\ pode ser alterado por Everyone";
  const std::string storeForeign = "C:\\svc\\qz_Store.exe";
  const auto notUndone = [](const ReleaseMember& m) {
    return ansi(u"; a atualização anterior interrompida não foi desfeita (diário " + m.journal() +
                u"): confira qual versão está em " + m.exe() + u" e se o serviço está em execução\r\n");
  };
  struct Case {
    const char* what;
    bool releaseDied;  // else QZStore's single update died, or nothing did
    bool storeDied;
    bool folder;       // the folder open to everyone, else QZStore's executable someone else's
    int status;
  };
  const Case cases[] = {
      {"a dead release, the folder open", true, false, true, 12},
      {"a dead release, one executable someone else's", true, false, false, 12},
      {"a dead single update, its executable someone else's", false, true, false, 12},
      {"a dead single update, the folder open", false, true, true, 12},
      {"nothing dead, the folder open", false, false, true, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    setUpReleaseScene(h);
    if (c.releaseDied) h.runDyingAt(kReleaseArguments, releaseDies);
    if (c.storeDied) h.runDyingAt(u"--service-name QZStore --exit-code", storeDies);
    if (c.folder) {
      h.os.setForeign(u"C:\\svc", u"", {u"Everyone"});
    } else {
      h.os.setForeign(store.exe(), u"CORP\\mallory");
    }
    // The release file kept where only administrators may write: it is
    // the tool's folder that is judged here.
    h.os.addDirectory(u"C:\\");
    h.os.addDirectory(u"C:\\releases");
    h.os.putFile(u"C:\\releases\\release.json", kReleaseText);
    const auto before = sceneOf(h);
    const auto out = h.out().size();
    EXPECT_EQ(h.run(u"--release C:\\releases\\release.json --exit-code"), c.status) << h.out().substr(out);
    EXPECT_TRUE(sceneOf(h) == before);
    for (const auto& m : kMembers) {
      const auto result = resultOf(h, m);
      SCOPED_TRACE(toUtf8(m.name) + ": " + result);
      if (c.releaseDied && !c.folder) {
        // The dead release's recovery judged it: not acted upon, for any.
        EXPECT_EQ(result.rfind(ansi(u"Erro: a atualização conjunta anterior interrompida não foi desfeita: serviço "
                                    u"QZStore: "),
                               0),
                  0u);
        EXPECT_THAT(result, HasSubstr(storeForeign));
        EXPECT_THAT(result, HasSubstr(ansi(u"; nada foi alterado: confira qual versão está em cada executável e se "
                                          u"cada serviço está em execução\r\n")));
        continue;
      }
      const bool journal = c.releaseDied || (c.storeDied && m.name == store.name);
      const auto tail = notUndone(m);
      const bool says = result.size() > tail.size() && result.substr(result.size() - tail.size()) == tail;
      EXPECT_EQ(says, journal);
      if (c.folder && m.name == u"QZSync") {
        EXPECT_THAT(result, HasSubstr(folderOpen));
      }
      if (!c.folder && m.name == store.name) {
        EXPECT_THAT(result, HasSubstr(storeForeign));
      }
    }
  }
}


// The deployment's retry of a release killed while its last service
// started (or once all were confirmed), with a lasting error at each call
// of each operation it makes: nothing is lost, every handle and lock is let
// go, 0 only with every service on its new version, nothing down unless
// the status is 12, and a recovery that refuses stops nothing.
TEST(DeadReleaseFaultSweep, AFaultAnywhereInTheRecoveryEndsTheReleaseAsAWholeOrSaysWhatIsDown) {
  const unsigned dying[] = {deaths().syncStarting, deaths().allConfirmed};
  std::set<int> statuses;
  for (const auto death : dying) {
    ASSERT_NE(death, 0u);
    const auto dead = [death](Harness& h) {
      setUpReleaseScene(h);
      h.runDyingAt(kReleaseArguments, death);
      stageAgain(h);
    };
    Harness before;
    dead(before);
    Harness clean;
    dead(clean);
    clean.run(kReleaseArguments);
    for (const auto& [op, nth] : callsToFault(clean, &before)) {
      SCOPED_TRACE(::testing::Message() << "killed at " << death << ", operation " << op << ", call " << nth);
      Harness h;
      dead(h);
      failLastingly(h, op, nth);
      const bool fileOp = op < 100;
      const auto requests = h.services.requests().size();
      const auto out = h.out().size();
      const int status = h.run(kReleaseArguments);
      const auto said = h.out().substr(out);
      statuses.insert(status);
      expectNothingLost(h, kMembers, true);
      EXPECT_EQ(h.services.openHandles(), 0u);
      EXPECT_EQ(h.os.openFiles(), 0u);
      EXPECT_EQ(h.os.locksHeld(), 0u);
      if (said.find(ansi(u"Atualização conjunta anterior interrompida (QZAgent, QZSync, QZStore): nada foi alterado")) !=
          std::string::npos) {
        EXPECT_EQ(h.services.requests().size(), requests) << "a recovery that refuses stops nothing: " << said;
      }
      // A release file that cannot be judged is refused before any of its
      // services is looked at: the file says nothing the run may act on.
      const bool fileRefused = said.find(ansi(u"Erro: o arquivo da atualização conjunta não é confiável")) == 0;
      if (status != 12 && status != 1 && status != 2 && !fileRefused) {
        for (const auto& m : kMembers) EXPECT_TRUE(runsItsFile(h, m)) << toUtf8(m.name) << " down: " << said;
      }
      const auto file = static_cast<FileOp>(op);
      switch (status) {
        case 0:
          for (const auto& m : kMembers) EXPECT_EQ(runningVersion(h, m), "v2") << said;
          break;
        case 10: {
          // As found: every service running, on one version.
          std::set<std::string> versions;
          for (const auto& m : kMembers) versions.insert(runningVersion(h, m));
          if (!fileRefused) {
            EXPECT_EQ(versions.size(), 1u) << said;
          }
          break;
        }
        case 11:
          for (const auto& m : kMembers) EXPECT_EQ(runningVersion(h, m), "v1") << said;
          break;
        case 12: {
          // A journal that cannot be read (or is not read, where the tool
          // acts cannot be judged) tells nothing of its service, and a copy
          // of the new version that stays needs an administrator: 12 all
          // the same.
          bool allNew = true;
          for (const auto& m : kMembers) allNew = allNew && runningVersion(h, m) == "v2";
          const bool unjudged = said.find(ansi(u"não pôde ser lido")) != std::string::npos ||
                                said.find(ansi(u"não se pôde saber")) != std::string::npos ||
                                said.find(ansi(u"interrompida não foi desfeita (diário")) != std::string::npos ||
                                said.find(ansi(u"confira qual versão está em cada executável")) != std::string::npos ||
                                said.find(ansi(u"interrompidas não foram desfeitas (diários")) != std::string::npos ||
                                said.find(ansi(u"a cópia repetida da nova versão não pôde ser removida")) != std::string::npos;
          EXPECT_TRUE(!allNew || unjudged) << "12 only when something is not as it should: " << said;
          break;
        }
        case 1: EXPECT_TRUE(fileOp && (file == FileOp::WriteStdout || file == FileOp::OpenStdout)); break;
        case 2: EXPECT_TRUE(fileOp && (file == FileOp::Inspect || file == FileOp::ReadFileHead)) << said; break;
        case 1618: EXPECT_TRUE(fileOp && file == FileOp::TryLock); break;
        default: ADD_FAILURE() << "status " << status << said;
      }
    }
  }
  EXPECT_TRUE(statuses.count(0) && statuses.count(12));
}


// A lock that cannot be had (not busy: it cannot even be asked for) leaves
// every journal unread: with one present the run says 12 and which journal
// to look at; without, 10 as before.
TEST(DeadRelease, ALockNotHadWithAJournalPresentSaysTheInterruptedUpdateWasNotUndone) {
  const auto dies = deaths().syncStarting;
  ASSERT_NE(dies, 0u);
  const std::u16string runs[] = {kReleaseArguments, u"--service-name QZStore --exit-code"};
  for (const bool died : {true, false}) {
    for (const auto& run : runs) {
      SCOPED_TRACE(::testing::Message() << toUtf8(run) << (died ? ", a dead release" : ""));
      Harness h;
      setUpReleaseScene(h);
      if (died) h.runDyingAt(kReleaseArguments, dies);
      h.os.faults().failCall(FileOp::TryLock, h.os.calls(FileOp::TryLock) + 1, 5);
      const auto before = sceneOf(h);
      const auto out = h.out().size();
      EXPECT_EQ(h.run(run), died ? 12 : 10);
      EXPECT_TRUE(sceneOf(h) == before);
      const auto said = h.out().substr(out);
      const auto store = member(u"QZStore");
      if (!died) {
        EXPECT_EQ(said.find("\r\n"), said.size() - 2) << said;
      } else if (run == kReleaseArguments) {
        EXPECT_THAT(said, ::testing::HasSubstr(ansi(
                              u"; as atualizações anteriores interrompidas não foram desfeitas (diários "
                              u"C:\\svc\\qz_Sync.journal, C:\\svc\\qz_Agent.journal, C:\\svc\\qz_Store.journal): confira "
                              u"qual versão está em cada executável e se cada serviço está em execução\r\n")));
      } else {
        EXPECT_THAT(said, ::testing::HasSubstr(ansi(u"; a atualização anterior interrompida não foi desfeita (diário " +
                                                    store.journal() + u"): confira qual versão está em " + store.exe() +
                                                    u" e se o serviço está em execução\r\n")));
      }
      EXPECT_EQ(said.rfind(ansi(u"Não foi possível obter o bloqueio da atualização do serviço "), 0), 0u) << said;
    }
  }
}

}  // namespace
}  // namespace usqz
namespace usqz {
namespace {

using namespace usqz::testing;

// -- a first stop that fails -------------------------------------------------------

// How one service's stop can fail where its process cannot be ended in its
// place; set where the dead release left it, its own stops settled, and
// gone for the deployment's retry.
struct StopFault {
  const char* what;
  void (*set)(Harness&, const ReleaseMember&);
  void (*clear)(Harness&, const ReleaseMember&);
};

const std::u16string kOutsider = u"QZWatch";

void shareItsProcess(Harness& h, const ReleaseMember& m) { serviceOf(h, m).serviceType = platform::kServiceWin32ShareProcess; }
void failItsEnd(Harness& h, const ReleaseMember&) {
  h.services.faults().failAlways(ServiceOp::TerminateProcess, platform::kErrorAccessDenied);
}
void refuse(Harness& h, const ReleaseMember& m, platform::OsError code) {
  serviceOf(h, m).stop.refused = true;
  serviceOf(h, m).stop.refusalCode = code;
}
void neverStop(Harness& h, const ReleaseMember& m) { serviceOf(h, m).stop.takesMs = platform::fake::kNever; }
void asBefore(Harness& h, const ReleaseMember& m) {
  auto& service = serviceOf(h, m);
  service.serviceType = platform::kServiceWin32OwnProcess;
  service.stop.refused = false;
  service.stop.takesMs = 200;
  h.services.faults().clear();
}

const StopFault kStopFaults[] = {
    {"refuses the stop, its process shared",
     [](Harness& h, const ReleaseMember& m) {
       refuse(h, m, platform::fake::kErrorInvalidServiceControl);
       shareItsProcess(h, m);
     },
     asBefore},
    {"refuses the stop, its process not to be ended",
     [](Harness& h, const ReleaseMember& m) {
       refuse(h, m, platform::fake::kErrorInvalidServiceControl);
       failItsEnd(h, m);
     },
     asBefore},
    {"its stop times out, its process shared",
     [](Harness& h, const ReleaseMember& m) {
       neverStop(h, m);
       shareItsProcess(h, m);
     }, asBefore},
    {"its stop times out, its process not to be ended",
     [](Harness& h, const ReleaseMember& m) {
       neverStop(h, m);
       failItsEnd(h, m);
     }, asBefore},
    {"the stop control fails, its process shared",
     [](Harness& h, const ReleaseMember& m) {
       refuse(h, m, platform::kErrorAccessDenied);
       shareItsProcess(h, m);
     },
     asBefore},
    {"the stop control fails, its process not to be ended",
     [](Harness& h, const ReleaseMember& m) {
       refuse(h, m, platform::kErrorAccessDenied);
       failItsEnd(h, m);
     },
     asBefore},
    {"a service started since depends on it",
     [](Harness& h, const ReleaseMember& m) {
       h.os.putFile(u"C:\\svc\\watch.exe", kV1);
       auto& outsider = h.services.addService(kOutsider, u"\"C:\\svc\\watch.exe\"", platform::kServiceRunning);
       outsider.dependsOn = {m.name};
     },
     [](Harness& h, const ReleaseMember&) { h.services.terminateProcess(h.services.find(kOutsider)->processId); }},
};

std::map<std::u16string, std::optional<std::string>> filesOf(Harness& h) {
  std::map<std::u16string, std::optional<std::string>> files;
  for (const auto& name : h.os.fileNames()) {
    if (name.rfind(u"updateServiceQZ-", 0) != 0) files[name] = h.os.contents(name);
  }
  return files;
}

// Killed anywhere it leaves a release to put back, the release (or one of
// its services alone) is run again with one service's stop failing in each
// way in turn. Wherever it fails, nothing is lost, nothing is left down
// unless the status is 12 and names it, 0 only with every service on its
// new version. A first stop of the dead release's recovery that fails moves
// nothing: those it stopped run again as they ran, every journal stays, and
// every result names the service and why it did not stop, 10 when all the
// journals say ran runs, else 12 naming what is down. The deployment's
// retry, the fault gone, ends with every service on its new version.
TEST(DeadReleaseStopSweep, AFirstStopThatFailsMovesNothingAndStartsAgainWhatItStopped) {
  ASSERT_GT(deaths().toUndo.size(), 20u);
  std::set<int> statuses;
  std::set<std::string> waysSeen;
  unsigned turn = 0;
  unsigned stopsThatFailed = 0;
  for (const auto nth : deaths().toUndo) {
    for (const auto& faulted : kMembers) {
      Harness h;
      setUpReleaseScene(h);
      h.runDyingAt(kReleaseArguments, nth);
      if (!journalOf(h, faulted)) continue;
      const auto& fault = kStopFaults[turn % std::size(kStopFaults)];
      int runner = static_cast<int>(turn / std::size(kStopFaults) % 4) - 1;
      if (runner >= 0 && !journalOf(h, kMembers[runner])) runner = -1;
      ++turn;
      SCOPED_TRACE(::testing::Message() << "killed at " << nth << ", " << toUtf8(faulted.name) << " " << fault.what
                                        << ", run: " << toUtf8(runnerArguments(runner)));
      // What the dead run asked for settles first.
      sceneOf(h);
      fault.set(h, faulted);
      const auto together = joined(releaseOf(h));
      const auto downBefore = downPerJournals(h);
      const auto filesBefore = filesOf(h);
      std::map<std::u16string, std::string> ranBefore;
      for (const auto& m : kMembers) ranBefore[m.name] = runningVersion(h, m);
      const auto out = h.out().size();
      const int status = h.run(runnerArguments(runner));
      const auto said = h.out().substr(out);
      statuses.insert(status);

      expectNothingLost(h);
      EXPECT_EQ(h.services.openHandles(), 0u);
      EXPECT_EQ(h.os.openFiles(), 0u);
      EXPECT_EQ(h.os.locksHeld(), 0u);
      // The release ends on one version, or as it was found: never mixed
      // by this run (but for a service run alone, which goes on alone).
      std::set<std::string> versions;
      bool asFound = true;
      for (const auto& m : kMembers) {
        if (runner >= 0 && m.name == kMembers[runner].name) continue;
        versions.insert(h.os.contents(m.exe()) == versionOf(m, "v2") ? "v2" : "v1");
        const auto found = filesBefore.find(m.exe());
        asFound = asFound && (found == filesBefore.end() ? std::nullopt : found->second) == h.os.contents(m.exe());
      }
      EXPECT_TRUE(asFound || versions.size() == 1) << "mixed: " << said;
      std::string results;
      for (const auto& m : kMembers) results += resultOf(h, m);
      for (const auto& m : kMembers) {
        // A service run alone updates that one; the rest of the release is
        // put back before it goes on.
        const bool asked = runner < 0 || m.name == kMembers[runner].name;
        if (status == 0 || status == 11) {
          EXPECT_EQ(runningVersion(h, m), status == 0 && asked ? "v2" : "v1") << toUtf8(m.name) << said;
        }
        if (runsItsFile(h, m)) continue;
        // One that ran is kept up, but for the one whose stop fails (it may
        // be left stopping) and those that cannot run without it.
        const auto& needs = serviceOf(h, m).dependsOn;
        EXPECT_TRUE(ranBefore[m.name] == "down" || m.name == faulted.name ||
                    std::find(needs.begin(), needs.end(), faulted.name) != needs.end())
            << toUtf8(m.name) << " ran and is left down: " << said;
        EXPECT_EQ(status, 12) << toUtf8(m.name) << " down: " << said;
        // Its own result, or another's naming it.
        EXPECT_TRUE(h.os.contents(m.result()) || results.find(toUtf8(m.name)) != std::string::npos)
            << toUtf8(m.name) << " down and not named: " << said;
      }

      if (said.find(ansi(u"Atualização conjunta anterior interrompida (" + together + u"): nada foi movido")) !=
          std::string::npos) {
        ++stopsThatFailed;
        waysSeen.insert(fault.what);
        EXPECT_TRUE(filesOf(h) == filesBefore) << "nothing moved, every journal kept: " << said;
        const auto down = downPerJournals(h);
        EXPECT_EQ(status, down.empty() ? 10 : 12) << said;
        // Those stopped here run again, as they ran; the one whose stop
        // failed may be left stopping, and is named.
        for (const auto& m : kMembers) {
          if (ranBefore[m.name] != "down" && m.name != faulted.name) {
            EXPECT_EQ(runningVersion(h, m), ranBefore[m.name]) << toUtf8(m.name) << said;
          }
        }
        for (const auto& name : down) {
          EXPECT_TRUE(name == faulted.name ||
                      std::find(downBefore.begin(), downBefore.end(), name) != downBefore.end())
              << toUtf8(name) << " left down by this run: " << said;
        }
        const auto head = ansi(u"Erro: a atualização conjunta anterior interrompida não foi desfeita: serviço " +
                               faulted.name + u": ");
        const auto tail = ansi(down.empty() ? std::u16string(u"; nada foi movido\r\n")
                                            : u"; nada foi movido; não estão em execução: " + joined(down) + u"\r\n");
        for (const auto& m : kMembers) {
          if (runner >= 0 && m.name != kMembers[runner].name) continue;
          const auto result = resultOf(h, m);
          EXPECT_EQ(result.rfind(head, 0), 0u) << toUtf8(m.name) << ": " << result;
          EXPECT_TRUE(result.size() >= tail.size() && result.substr(result.size() - tail.size()) == tail)
              << toUtf8(m.name) << ": " << result;
        }
      }

      // The deployment's retry, the fault gone.
      fault.clear(h, faulted);
      stageAgain(h);
      const auto retried = h.out().size();
      EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(retried);
      expectAllOn(h, "v2");
    }
  }
  EXPECT_EQ(waysSeen.size(), std::size(kStopFaults)) << "every way a first stop fails, met";
  EXPECT_GT(stopsThatFailed, 20u);
  EXPECT_TRUE(statuses.count(10) && statuses.count(12));
}

}  // namespace
}  // namespace usqz
namespace usqz {
namespace {

using namespace usqz::testing;

// Killed with every service running its new version, not all confirmed:
// QZAgent, stopped last, refuses its stop and shares its process. The run
// says so once, starts again QZStore and QZSync on what they ran, and each
// result says which service did not stop and why; the retry, QZAgent
// stopping again, puts the release back and updates it.
TEST(DeadRelease, AFirstStopThatFailsSaysWhichServiceDidNotStop) {
  ASSERT_NE(deaths().allRunning, 0u);
  Harness h;
  setUpReleaseScene(h);
  h.runDyingAt(kReleaseArguments, deaths().allRunning);
  sceneOf(h);
  const auto& agent = member(u"QZAgent");
  serviceOf(h, agent).stop.refused = true;
  serviceOf(h, agent).serviceType = platform::kServiceWin32ShareProcess;
  const auto files = filesOf(h);
  const auto out = h.out().size();
  EXPECT_EQ(h.run(kReleaseArguments), 10);
  const std::u16string why =
      u"a atualização conjunta anterior interrompida não foi desfeita: serviço QZAgent: Erro ao parar o serviço: "
      u"The requested control is not valid for this service; o processo do serviço é compartilhado com outros "
      u"serviços e não é encerrado; nada foi movido";
  std::u16string expected =
      u"[QZSync]\r\n"
      u"Atualização conjunta anterior interrompida (QZAgent, QZSync, QZStore): desfazendo\r\n"
      u"[QZStore]\r\n  -> Revertendo: parando a nova versão\r\n"
      u"[QZSync]\r\n  -> Revertendo: parando a nova versão\r\n"
      u"[QZAgent]\r\n  -> Revertendo: parando a nova versão\r\n"
      u"[QZSync]\r\nService :: iniciando ...\r\nService :: status: iniciado\r\n"
      u"[QZStore]\r\nService :: iniciando ...\r\nService :: status: iniciado\r\n"
      u"Atualização conjunta anterior interrompida (QZAgent, QZSync, QZStore): nada foi movido\r\n";
  for (const auto& m : kMembers) {
    if (m.name != u"QZSync") expected += u"[" + m.name + u"]\r\n";
    expected += u"Ocorreu um erro ao atualizar o serviço: " + m.name + u". Erro: " + why + u"\r\n";
  }
  EXPECT_EQ(h.out().substr(out), ansi(expected));
  for (const auto& m : kMembers) {
    EXPECT_EQ(resultOf(h, m), ansi(u"Erro: " + why + u"\r\n"));
    EXPECT_EQ(runningVersion(h, m), "v2") << toUtf8(m.name);
  }
  EXPECT_TRUE(filesOf(h) == files);
  EXPECT_EQ(h.services.openHandles(), 0u);

  serviceOf(h, agent).stop.refused = false;
  serviceOf(h, agent).serviceType = platform::kServiceWin32OwnProcess;
  stageAgain(h);
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(out);
  expectAllOn(h, "v2");
}

}  // namespace
}  // namespace usqz
