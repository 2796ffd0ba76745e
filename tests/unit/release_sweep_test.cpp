// A release killed at any platform call, and its recovery killed too: the
// next run that touches any of its services puts the release back or
// forward as a whole. (Killed and faulted at every call, and run again by
// the deployment, it is swept with the releases of every other shape.)
#include <algorithm>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "release_scene.h"
#include "run/transaction/run_journal.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

// Killed at every call, then the next run touches only one of its
// services, a single update of that one: the release is put back (or, when
// it had confirmed every service, forward) as a whole before that update,
// from whichever service it is, a release killed while its services finish
// included. Every service's journal is written before the first stop: a
// release killed while writing them has changed no service, and the
// journals it wrote wait for a run of their own services.
TEST(ReleaseKillSweep, ASingleUpdateOfAnyOneServiceRecoversTheWholeRelease) {
  const unsigned calls = callsOfTheRelease();
  for (std::size_t alone = 0; alone < kMembers.size(); ++alone) {
    std::set<std::string> ends;
    const auto& single = kMembers[alone];
    std::vector<ReleaseMember> others;
    for (const auto& member : kMembers) {
      if (member.name != single.name) others.push_back(member);
    }
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << "killed at call " << nth << ", then " << toUtf8(single.name) << " alone");
      Harness h;
      setUpReleaseScene(h);
      ASSERT_FALSE(h.runDyingAt(kReleaseArguments, nth).has_value());
      bool allConfirmed = true;
      bool anyJournal = false;
      unsigned stops = 0;
      for (const auto& member : kMembers) stops += serviceOf(h, member).stopRequests;
      for (const auto& member : kMembers) {
        if (const auto text = h.os.contents(member.journal())) {
          anyJournal = true;
          allConfirmed = allConfirmed && parseJournal(*text)->step == Step::Confirmed;
        }
      }
      h.os.putFile(single.next(), versionOf(single, "v2"));
      const auto out = h.out().size();
      const int status = h.run(u"--service-name " + single.name + u" --exit-code --stop-dependents");
      EXPECT_EQ(status, 0) << h.out().substr(out);
      EXPECT_EQ(h.os.contents(single.exe()), versionOf(single, "v2"));
      // The other two stand together, on the version the release's
      // journals decided.
      const auto first = h.os.contents(others[0].exe()) == versionOf(others[0], "v2");
      const auto second = h.os.contents(others[1].exe()) == versionOf(others[1], "v2");
      EXPECT_EQ(first, second) << h.out().substr(out);
      if (anyJournal) {
        EXPECT_EQ(first, allConfirmed) << h.out().substr(out);
      }
      std::vector<ReleaseMember> left;
      for (const auto& member : kMembers) {
        EXPECT_TRUE(runsItsFile(h, member)) << toUtf8(member.name);
        if (stops == 0) continue;
        EXPECT_EQ(serviceOf(h, member).failureActions.actions, kRestartOnFailure.actions) << toUtf8(member.name);
        // Killed between the removals of the journals of a release whose
        // services had all ended: what one left holds is done, and a run of
        // its own service removes it.
        if (const auto text = h.os.contents(member.journal())) {
          EXPECT_EQ(parseJournal(*text)->step, Step::Confirmed) << toUtf8(member.name) << h.out().substr(out);
          EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, "v2")) << toUtf8(member.name);
          left.push_back(member);
        }
      }
      for (const auto& member : left) {
        const auto before = h.out().size();
        // Finished (by this run, or with the release by one before), and
        // with no new version of its own, nothing more to do.
        EXPECT_EQ(h.run(u"--service-name " + member.name + u" --exit-code --stop-dependents"), 3)
            << h.out().substr(before);
        EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
        EXPECT_TRUE(runsItsFile(h, member)) << toUtf8(member.name);
      }
      if (stops == 0 && std::any_of(others.begin(), others.end(),
                                    [&](const ReleaseMember& member) { return h.os.contents(member.journal()); })) {
        // The release run again finds them and ends in place.
        stageAgain(h);
        h.os.removeFile(single.next());
        EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(out);
        for (const auto& member : kMembers) EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
        continue;
      }
      ends.insert(first ? "forward" : "back");
      EXPECT_EQ(h.os.locksHeld(), 0u);
    }
    EXPECT_EQ(ends.size(), 2u) << "deaths leave releases to undo and releases to finish";
  }
}

// The recovery of a dead release dies too, at calls all through its first
// 120 (every fourth), after deaths all through the release (every
// seventh): the run after it still ends with the release in place.
TEST(ReleaseKillSweep, ARecoveryThatDiesIsRecoveredByTheRunAfterIt) {
  const unsigned calls = callsOfTheRelease();
  for (unsigned first = 1; first <= calls; first += 7) {
    for (unsigned second = 1; second <= 120; second += 4) {
      SCOPED_TRACE(::testing::Message() << "killed at " << first << ", then at " << second);
      Harness h;
      setUpReleaseScene(h);
      h.runDyingAt(kReleaseArguments, first);
      stageAgain(h);
      h.runDyingAt(kReleaseArguments, second);
      for (const auto& member : kMembers) {
        const auto old = versionOf(member, "v1");
        EXPECT_TRUE(h.os.contents(member.exe()) == old || h.os.contents(member.old()) == old) << toUtf8(member.name);
      }
      stageAgain(h);
      EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
      expectAllOn(h, "v2");
    }
  }
}

}  // namespace
}  // namespace usqz
namespace usqz {
namespace {

using namespace usqz::testing;

// QZSync's new version dies, so the release rolls back; QZAgent or QZStore,
// once running its new version, will not stop again, in each way a stop
// fails where the process is not ended in its place. Its own rollback moves
// nothing and says so, 12: it runs its new version still (or is left
// stopping, and with it what depends on it), every other service runs its
// old one, nothing is lost, its journal stays; the deployment's retry, the
// fault gone, ends with every service on its old version.
TEST(ReleaseRollbackSweep, AStopThatFailsInTheRollbackMovesNothingOfThatServiceAndSaysSo) {
  enum class Way { Refused, TimesOut, ControlFails };
  for (const auto way : {Way::Refused, Way::TimesOut, Way::ControlFails}) {
    for (const bool shared : {true, false}) {
      for (const auto* name : {u"QZAgent", u"QZStore"}) {
        SCOPED_TRACE(::testing::Message() << toUtf8(name) << ", way " << static_cast<int>(way)
                                          << (shared ? ", its process shared" : ", its process not to be ended"));
        Harness h;
        setUpReleaseScene(h);
        // QZSync's new version dies at once, so the release rolls back.
        serviceOf(h, kMembers[0]).startOnlyFor = versionOf(kMembers[0], "v2");
        serviceOf(h, kMembers[0]).start.diesAfterMs = 100;
        const ReleaseMember* faulted = nullptr;
        for (const auto& m : kMembers) {
          if (m.name == name) faulted = &m;
        }
        auto& service = serviceOf(h, *faulted);
        bool armed = false;
        h.services.faults().beforeEveryCall([&] {
          if (armed || service.runningImage != versionOf(*faulted, "v2")) return;
          armed = true;
          if (way == Way::TimesOut) {
            service.stop.takesMs = platform::fake::kNever;
          } else {
            service.stop.refused = true;
            service.stop.refusalCode =
                way == Way::Refused ? platform::fake::kErrorInvalidServiceControl : platform::kErrorAccessDenied;
          }
          if (shared) {
            service.serviceType = platform::kServiceWin32ShareProcess;
          } else {
            h.services.faults().failAlways(ServiceOp::TerminateProcess, platform::kErrorAccessDenied);
          }
        });
        const auto out = h.out().size();
        const int status = h.run(kReleaseArguments);
        const auto said = h.out().substr(out);
        ASSERT_TRUE(armed);
        EXPECT_EQ(status, 12) << said;
        expectNothingLost(h);
        EXPECT_EQ(h.services.openHandles(), 0u);
        EXPECT_EQ(h.os.openFiles(), 0u);
        EXPECT_EQ(h.os.locksHeld(), 0u);
        EXPECT_EQ(h.os.contents(faulted->exe()), versionOf(*faulted, "v2"));
        EXPECT_TRUE(h.os.contents(faulted->journal()));
        const bool stuck = !runsItsFile(h, *faulted);
        EXPECT_EQ(stuck, way == Way::TimesOut) << said;
        for (const auto& m : kMembers) {
          if (&m == faulted) continue;
          EXPECT_EQ(h.os.contents(m.exe()), versionOf(m, "v1")) << toUtf8(m.name);
          const auto& needs = serviceOf(h, m).dependsOn;
          const bool needsIt = std::find(needs.begin(), needs.end(), faulted->name) != needs.end();
          if (!(stuck && needsIt)) {
            EXPECT_TRUE(runsItsFile(h, m)) << toUtf8(m.name) << said;
          }
        }
        EXPECT_THAT(h.os.contents(faulted->result()).value_or(""),
                    ::testing::HasSubstr(ansi(u"; nada foi movido: a versão em execução está em " + faulted->exe())));

        // The retry is asserted where no service that runs depends on the
        // one left on its new version: one that does stands in the way of
        // its stop, and the recovery stops no service without a journal.
        bool dependedOn = false;
        for (const auto& m : kMembers) {
          const auto& needs = serviceOf(h, m).dependsOn;
          dependedOn = dependedOn || (runsItsFile(h, m) && std::find(needs.begin(), needs.end(), faulted->name) != needs.end());
        }
        if (dependedOn) continue;
        service.stop.takesMs = 200;
        service.stop.refused = false;
        service.serviceType = platform::kServiceWin32OwnProcess;
        h.services.faults().clear();
        for (const auto& m : kMembers) h.os.putFile(m.next(), versionOf(m, "v2"));
        const auto retried = h.out().size();
        EXPECT_EQ(h.run(kReleaseArguments), 11) << h.out().substr(retried);
        expectAllOn(h, "v1");
      }
    }
  }
}

}  // namespace
}  // namespace usqz
