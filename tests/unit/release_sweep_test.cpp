// A release killed at any platform call, and its recovery killed too: the
// next run that touches any of its services puts the release back or
// forward as a whole. (Killed and faulted at every call, and run again by
// the deployment, it is swept with the releases of every other shape.)
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
// services, a single update of QZStore: the release is put back (or, when
// it had confirmed every service, forward) as a whole before that update.
// Every service's journal is written before the first stop: a release
// killed while writing them has changed no service, and the journals it
// wrote wait for a run of their own services.
TEST(ReleaseKillSweep, ASingleUpdateOfOneServiceRecoversTheWholeRelease) {
  const unsigned calls = callsOfTheRelease();
  std::set<std::string> ends;
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE(::testing::Message() << "killed at call " << nth);
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
    const auto store = kMembers[2];
    h.os.putFile(store.next(), versionOf(store, "v2"));
    const auto out = h.out().size();
    const int status = h.run(u"--service-name QZStore --exit-code");
    EXPECT_EQ(status, 0) << h.out().substr(out);
    EXPECT_EQ(h.os.contents(store.exe()), versionOf(store, "v2"));
    // QZSync and QZAgent stand together, on the version the release's
    // journals decided.
    const auto agent = h.os.contents(kMembers[1].exe()) == versionOf(kMembers[1], "v2");
    const auto sync = h.os.contents(kMembers[0].exe()) == versionOf(kMembers[0], "v2");
    EXPECT_EQ(agent, sync) << h.out().substr(out);
    if (anyJournal) {
      EXPECT_EQ(agent, allConfirmed) << h.out().substr(out);
    }
    for (const auto& member : kMembers) {
      EXPECT_TRUE(runsItsFile(h, member)) << toUtf8(member.name);
      if (stops > 0) {
        EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
      }
    }
    if (stops == 0 && (h.os.contents(kMembers[0].journal()) || h.os.contents(kMembers[1].journal()))) {
      // The release run again finds them and ends in place.
      stageAgain(h);
      h.os.removeFile(store.next());
      EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out().substr(out);
      for (const auto& member : kMembers) EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
      continue;
    }
    ends.insert(agent ? "forward" : "back");
    EXPECT_EQ(h.os.locksHeld(), 0u);
  }
  EXPECT_EQ(ends.size(), 2u) << "deaths leave releases to undo and releases to finish";
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
