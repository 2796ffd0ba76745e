// A release stands only as a whole: every service it started must still run
// as the process its start began once the last one is watched and healthy,
// whichever of them goes down meanwhile and however; a service of the
// release with nothing to do is carried round the ones it depends on; the
// release file's health checks are the ones that run.
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "release_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::AnyOf;
using ::testing::HasSubstr;

enum class Ending { Dies, ExitsSilently, Restarted };

const char* nameOf(Ending ending) {
  switch (ending) {
    case Ending::Dies: return "dies";
    case Ending::ExitsSilently: return "exits without a word";
    case Ending::Restarted: return "is restarted";
  }
  return "?";
}

// QZAgent's new version ends at every instant from its start to the
// release's last look (about 4.5 s: QZSync, which depends on it, takes 3 s
// to start and is then watched for 1.5 s), before its own watch is over or
// long after.
TEST(ReleaseConfirmation, AServiceThatEndsBeforeTheLastIsConfirmedPutsTheWholeReleaseBack) {
  for (const auto ending : {Ending::Dies, Ending::ExitsSilently, Ending::Restarted}) {
        // A process replaced before the run first saw it is the one it watched.
    for (std::uint64_t afterMs = ending == Ending::Restarted ? 250 : 0; afterMs <= 4'500; afterMs += 250) {
      SCOPED_TRACE(std::string(nameOf(ending)) + " " + std::to_string(afterMs) + " ms after it runs");
      Harness h;
      setUpReleaseScene(h);
      auto& agent = serviceOf(h, kMembers[1]);
      agent.startOnlyFor = versionOf(kMembers[1], "v2");
      if (ending == Ending::Dies) agent.start.diesAfterMs = afterMs;
      if (ending == Ending::ExitsSilently) agent.start.exitsSilentlyAfterMs = afterMs;
      if (ending == Ending::Restarted) agent.start.restartedAfterMs = afterMs;
      auto& sync = serviceOf(h, kMembers[0]);
      sync.startOnlyFor = versionOf(kMembers[0], "v2");
      sync.start.pendingMs = 3'000;
      const int status = h.run(kReleaseArguments);
      // Whatever the instant, the release ended before the one after it.
      ASSERT_EQ(status, 11) << h.out();
      expectAllOn(h, "v1");
      EXPECT_THAT(resultOf(h, kMembers[1]),
                  AnyOf(HasSubstr("Erro: O servi\xE7o parou logo ap\xF3s ser iniciado"),
                        HasSubstr("Erro: O servi\xE7o parou depois de iniciado"),
                        HasSubstr("Erro: O servi\xE7o foi reiniciado depois de iniciado: o processo ")));
      for (const auto& other : {kMembers[0], kMembers[2]}) {
        EXPECT_THAT(resultOf(h, other), HasSubstr("Erro: a atualiza\xE7\xE3o conjunta falhou no servi\xE7o QZAgent: "));
      }
    }
  }
}

// The same ending after the release is done is no concern of the release.
TEST(ReleaseConfirmation, AnEndingAfterTheLastLookIsNotTheReleases) {
  for (const auto ending : {Ending::Dies, Ending::Restarted}) {
    SCOPED_TRACE(nameOf(ending));
    Harness h;
    setUpReleaseScene(h);
    auto& agent = serviceOf(h, kMembers[1]);
    if (ending == Ending::Dies) agent.start.diesAfterMs = 60'000;
    if (ending == Ending::Restarted) agent.start.restartedAfterMs = 60'000;
    EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
    expectAllOn(h, "v2");
  }
}

// A dependent starts once what it depends on reports running, not once its
// watch is over: down for about one watch, not two.
TEST(ReleaseConfirmation, ADependentStartsAsSoonAsWhatItDependsOnRuns) {
  Harness h;
  setUpReleaseScene(h);
  std::uint64_t agentStarted = 0;
  std::uint64_t syncStarted = 0;
  h.services.find(u"QZAgent")->start.pendingMs = 400;
  const auto began = h.clock.now();
  EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
  expectAllOn(h, "v2");
  agentStarted = serviceOf(h, kMembers[1]).since;
  syncStarted = serviceOf(h, kMembers[0]).since;
  // QZAgent reached running 400 ms after its start; QZSync was asked right
  // after, well inside QZAgent's watch of 1.5 s.
  EXPECT_LT(syncStarted - agentStarted, 500u);
  EXPECT_GT(syncStarted, began);
}

// A member with nothing of its own to do that depends on one that has is
// stopped before it and started after it, without --stop-dependents, and
// no outsider; one that others depend on is left running.
TEST(ReleaseConfirmation, AMemberWithNothingToDoIsCarriedRoundTheOneItDependsOn) {
  for (const bool dependent : {true, false}) {
    SCOPED_TRACE(dependent ? "the dependent has nothing to do" : "the one depended on has nothing to do");
    Harness h;
    setUpReleaseScene(h);
    const auto& idle = dependent ? kMembers[0] : kMembers[1];
    h.os.removeFile(idle.next());
    EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
    for (const auto& member : kMembers) {
      SCOPED_TRACE(toUtf8(member.name));
      const bool isIdle = member.name == idle.name;
      EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, isIdle ? "v1" : "v2"));
      EXPECT_TRUE(runsItsFile(h, member));
      EXPECT_FALSE(h.os.contents(member.journal()));
      EXPECT_THAT(resultOf(h, member),
                  HasSubstr(isIdle ? "N\xE3o foi encontrada a nova vers\xE3o" : "Atualizado com sucesso!"));
    }
    if (dependent) {
      EXPECT_EQ(h.services.requests(),
                (std::vector<std::u16string>{u"stop QZSync", u"stop QZAgent", u"stop QZStore", u"start QZAgent",
                                             u"start QZStore", u"start QZSync"}));
    } else {
      EXPECT_EQ(h.services.requests(), (std::vector<std::u16string>{u"stop QZSync", u"stop QZStore", u"start QZSync",
                                                                     u"start QZStore"}));
    }
  }
}

// A carried member is started again before the watches, and watched and
// looked at once more with the rest: one that dies, or is restarted in
// another process, after its start puts the whole release back, with
// nothing of it saying success; its own result file says what it was.
TEST(ReleaseConfirmation, ACarriedMemberThatDoesNotKeepRunningPutsTheReleaseBack) {
  using platform::fake::StartBehaviour;
  StartBehaviour dies;
  dies.diesAfterMs = 300;
  StartBehaviour silent;
  silent.exitsSilentlyAfterMs = 300;
  StartBehaviour restarted;
  restarted.restartedAfterMs = 1000;
  for (const bool alreadyRuns : {false, true}) {
    for (const auto& [what, start] : {std::pair{"dies", dies}, std::pair{"exits silently", silent},
                                      std::pair{"is restarted", restarted}}) {
      SCOPED_TRACE(::testing::Message() << "the carried member " << what
                                        << (alreadyRuns ? ", running its new bytes" : ", with nothing new"));
      Harness h;
      setUpReleaseScene(h);
      const auto& idle = kMembers[0];
      auto& sync = serviceOf(h, idle);
      if (alreadyRuns) {
        h.os.putFile(idle.exe(), versionOf(idle, "v2"));
        sync.runningImage = versionOf(idle, "v2");
      } else {
        h.os.removeFile(idle.next());
      }
      sync.start = start;
      sync.startsThatBehave = 1;
      EXPECT_EQ(h.run(kReleaseArguments), 11) << h.out();
      for (const auto& member : kMembers) {
        SCOPED_TRACE(toUtf8(member.name));
        const bool isIdle = member.name == idle.name;
        EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, isIdle && alreadyRuns ? "v2" : "v1"));
        EXPECT_TRUE(runsItsFile(h, member));
        EXPECT_FALSE(h.os.contents(member.journal()));
        EXPECT_THAT(resultOf(h, member), ::testing::Not(HasSubstr("sucesso")));
        EXPECT_EQ(serviceOf(h, member).failureActions.actions, kRestartOnFailure.actions);
      }
      EXPECT_THAT(resultOf(h, kMembers[1]), HasSubstr("QZSync"));
      if (!alreadyRuns) {
        EXPECT_THAT(resultOf(h, idle), HasSubstr("N\xE3o foi encontrada a nova vers\xE3o"));
      }
    }
  }
}

// A carried member whose start never completes puts the whole release
// back; stuck starting, it accepts no stop, so the one it depends on
// cannot stop for its rollback either: 12, naming it, and the rest back.
TEST(ReleaseConfirmation, ACarriedMemberStuckStartingPutsTheRestBackAndIsNamed) {
  Harness h;
  setUpReleaseScene(h);
  const auto& idle = kMembers[0];
  h.os.removeFile(idle.next());
  auto& sync = serviceOf(h, idle);
  sync.start.pendingMs = platform::fake::kNever;
  sync.startsThatBehave = 1;
  EXPECT_EQ(h.run(kReleaseArguments), 12) << h.out();
  EXPECT_THAT(resultOf(h, kMembers[1]), HasSubstr("QZSync"));
  const auto& store = kMembers[2];
  EXPECT_EQ(h.os.contents(store.exe()), versionOf(store, "v1"));
  EXPECT_TRUE(runsItsFile(h, store));
  // The release is not over while QZAgent's journal stays: neither is
  // QZStore's.
  EXPECT_TRUE(h.os.contents(kMembers[1].journal()));
  EXPECT_TRUE(h.os.contents(store.journal()));
  for (const auto& member : kMembers) EXPECT_THAT(resultOf(h, member), ::testing::Not(HasSubstr("sucesso")));
}

// A release with a carried member killed at every call, then run again by
// the deployment: every service runs, each on the version the release
// decided, the carried one on its own, and no journal is left.
TEST(ReleaseConfirmation, ARunKilledWithACarriedMemberIsRecoveredByTheRetry) {
  for (const bool failing : {false, true}) {
    const auto setUp = [failing](Harness& h) {
      setUpReleaseScene(h);
      h.os.removeFile(kMembers[0].next());
      if (failing) {
        auto& store = serviceOf(h, kMembers[2]);
        store.startOnlyFor = versionOf(kMembers[2], "v2");
        store.start.diesAfterMs = 100;
      }
    };
    Harness clean;
    setUp(clean);
    const unsigned before = clean.os.lifeline().calls();
    EXPECT_EQ(clean.run(kReleaseArguments), failing ? 11 : 0) << clean.out();
    const unsigned calls = clean.os.lifeline().calls() - before;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", killed at call " << nth);
      Harness h;
      setUp(h);
      ASSERT_FALSE(h.runDyingAt(kReleaseArguments, nth).has_value());
      for (const auto& member : {kMembers[1], kMembers[2]}) h.os.putFile(member.next(), versionOf(member, "v2"));
      const auto out = h.out().size();
      const int status = h.run(kReleaseArguments);
      EXPECT_EQ(status, failing ? 11 : 0) << h.out().substr(out);
      for (const auto& member : kMembers) {
        SCOPED_TRACE(toUtf8(member.name));
        const bool idle = member.name == kMembers[0].name;
        EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, idle || failing ? "v1" : "v2"));
        EXPECT_TRUE(runsItsFile(h, member)) << h.out().substr(out);
        EXPECT_FALSE(h.os.contents(member.journal()));
        EXPECT_EQ(serviceOf(h, member).failureActions.actions, kRestartOnFailure.actions);
      }
    }
  }
}

// A release with a carried member, a lasting error at each call of each
// operation: no version lost, exit 0 only with both services with work on
// their new versions and all three running, 10 and 11 only with all on
// their old ones and running, and the carried one never left down unless
// the status is 12.
TEST(ReleaseConfirmation, AFaultAnywhereWithACarriedMemberLeavesNothingDownUnasked) {
  const auto setUp = [](Harness& h) {
    setUpReleaseScene(h);
    h.os.removeFile(kMembers[0].next());
  };
  Harness clean;
  setUp(clean);
  EXPECT_EQ(clean.run(kReleaseArguments), 0) << clean.out();
  std::set<int> statuses;
  for (const auto& [op, nth] : callsToFault(clean)) {
    SCOPED_TRACE(::testing::Message() << "operation " << op << ", call " << nth);
    Harness h;
    setUp(h);
    failLastingly(h, op, nth);
    const int status = h.run(kReleaseArguments);
    statuses.insert(status);
    EXPECT_EQ(h.services.openHandles(), 0u);
    EXPECT_EQ(h.os.locksHeld(), 0u);
    for (const auto& member : {kMembers[1], kMembers[2]}) {
      std::multiset<std::string> versions;
      for (const auto& name : {member.exe(), member.next(), member.old()}) {
        if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
      }
      EXPECT_EQ(versions.count(versionOf(member, "v1")), 1u) << toUtf8(member.name);
      EXPECT_EQ(versions.count(versionOf(member, "v2")), 1u) << toUtf8(member.name);
    }
    if (status == 12) continue;
    for (const auto& member : kMembers) {
      SCOPED_TRACE(toUtf8(member.name));
      const bool idle = member.name == kMembers[0].name;
      EXPECT_TRUE(runsItsFile(h, member)) << h.out();
      // A console that fails (1) tells nothing of the versions.
      if (status != 1) {
        EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, idle || status != 0 ? "v1" : "v2"))
            << status << h.out();
      }
    }
  }
  EXPECT_TRUE(statuses.count(0) && statuses.count(11)) << "faults that pass and faults that put the release back";
}

// The release file's health command is resolved and judged once, and the
// very command judged is what runs, as on the command line.
TEST(ReleaseConfirmation, AHealthCommandInTheReleaseFileRunsAsJudged) {
  for (const bool passes : {true, false}) {
    SCOPED_TRACE(passes ? "it passes" : "it fails for v2");
    Harness h;
    setUpAgentHeldToACommand(h, passes);
    const int status = h.run(kReleaseArguments + u" --health-timeout 5");
    EXPECT_EQ(status, passes ? 0 : 11) << h.out();
    expectAllOn(h, passes ? "v2" : "v1");
    EXPECT_THAT(h.out(), HasSubstr("Service :: saud\xE1vel (comando C:\\svc\\check.cmd: c\xF3" "digo de sa\xED" "da 0)"));
  }
}


// A service an operator was stopping when the release found it did not
// run: put back, it is left stopped, as with a single update.
TEST(ReleaseConfirmation, AServiceFoundStoppingIsNotStartedByTheRollback) {
  Harness h;
  setUpReleaseScene(h);
  auto& store = serviceOf(h, kMembers[2]);
  store.state = platform::kServiceStopPending;
  store.since = h.clock.now();
  store.stop.takesMs = 300;
  auto& sync = serviceOf(h, kMembers[0]);
  sync.startOnlyFor = versionOf(kMembers[0], "v2");
  sync.start.diesAfterMs = 100;
  EXPECT_EQ(h.run(kReleaseArguments), 11) << h.out();
  for (const auto& member : kMembers) {
    SCOPED_TRACE(toUtf8(member.name));
    EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, "v1"));
    EXPECT_FALSE(h.os.contents(member.journal()));
    EXPECT_EQ(runsItsFile(h, member), member.name != u"QZStore");
  }
  EXPECT_EQ(store.state, platform::kServiceStopped);
}


// A member with nothing to do between two with work (QZStore depends on
// QZSync, which depends on QZAgent) cannot be carried: stopping it would
// wait for QZStore's stop, which the batches do not order. It stands
// outside, and the release is refused before anything stops.
TEST(ReleaseConfirmation, AMemberWithNothingToDoBetweenTwoWithWorkIsRefusedAsAnOutsider) {
  Harness h;
  setUpReleaseScene(h);
  h.os.removeFile(kMembers[0].next());
  serviceOf(h, kMembers[2]).dependsOn = {u"QZSync"};
  EXPECT_EQ(h.run(kReleaseArguments), 10) << h.out();
  EXPECT_TRUE(h.services.requests().empty());
  EXPECT_THAT(resultOf(h, kMembers[1]), HasSubstr("servi\xE7os dependentes em execu\xE7\xE3o: "));
  EXPECT_THAT(resultOf(h, kMembers[1]), HasSubstr("QZSync"));
  for (const auto& member : {kMembers[1], kMembers[2]}) {
    EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
    EXPECT_FALSE(h.os.contents(member.journal()));
  }
}

}  // namespace
}  // namespace usqz
