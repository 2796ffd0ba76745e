// A release killed at every platform call, and faulted at every operation:
// whatever happens, no version of any service is lost, the exit status
// matches what the release left, and the next run that touches any of its
// services puts the release back or forward as a whole.
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "release_scene.h"
#include "run/transaction/run_journal.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

// `failing`: QZSync's new version dies at once, so the release rolls back.
void setUpSweep(Harness& h, bool failing) {
  setUpReleaseScene(h);
  if (failing) {
    auto& sync = *h.services.find(u"QZSync");
    sync.startOnlyFor = versionOf(kMembers[0], "v2");
    sync.start.diesAfterMs = 100;
  }
}

unsigned callsOfAWholeRelease(bool failing) {
  Harness clean;
  setUpSweep(clean, failing);
  const unsigned before = clean.os.lifeline().calls();
  clean.run(kReleaseArguments);
  return clean.os.lifeline().calls() - before;
}

// Each service's two versions are each at one of its three names.
void expectNothingLost(Harness& h) {
  for (const auto& member : kMembers) {
    std::multiset<std::string> versions;
    for (const auto& name : {member.exe(), member.next(), member.old()}) {
      if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
    }
    EXPECT_EQ(versions.count(versionOf(member, "v1")), 1u) << toUtf8(member.name);
    EXPECT_EQ(versions.count(versionOf(member, "v2")), 1u) << toUtf8(member.name);
  }
}

// Which version every service runs, when they all run the same one of
// their own; empty when they do not.
std::string commonVersion(Harness& h) {
  std::set<std::string> seen;
  for (const auto& member : kMembers) {
    if (!runsItsFile(h, member)) return {};
    const auto& image = serviceOf(h, member).runningImage;
    seen.insert(image == versionOf(member, "v2") ? "v2" : image == versionOf(member, "v1") ? "v1" : "?");
  }
  return seen.size() == 1 ? *seen.begin() : std::string();
}

// A release run killed at every call, then run again by the deployment (its
// new versions staged again): the release is in place (or, when a new
// version fails, every service back on its old one), nothing left behind.
TEST(ReleaseKillSweep, TheDeploymentsRetryEndsWithTheWholeReleaseInPlace) {
  for (const bool failing : {false, true}) {
    const unsigned calls = callsOfAWholeRelease(failing);
    ASSERT_GT(calls, 100u);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", killed at call " << nth);
      Harness h;
      setUpSweep(h, failing);
      ASSERT_FALSE(h.runDyingAt(kReleaseArguments, nth).has_value());
      expectNothingLost(h);
      for (const auto& member : kMembers) h.os.putFile(member.next(), versionOf(member, "v2"));
      const auto out = h.out().size();
      const int status = h.run(kReleaseArguments);
      EXPECT_EQ(status, failing ? 11 : 0) << h.out().substr(out);
      expectAllOn(h, failing ? "v1" : "v2");
      for (const auto& member : kMembers) {
        EXPECT_EQ(h.os.contents(member.next()), failing ? std::optional(versionOf(member, "v2")) : std::nullopt);
      }
    }
  }
}

// Killed at every call, then the next run touches only one of its
// services, a single update of QZStore: the release is put back (or, when
// it had confirmed every service, forward) as a whole before that update.
// Every service's journal is written before the first stop: a release
// killed while writing them has changed no service, and the journals it
// wrote wait for a run of their own services.
TEST(ReleaseKillSweep, ASingleUpdateOfOneServiceRecoversTheWholeRelease) {
  const unsigned calls = callsOfAWholeRelease(false);
  std::set<std::string> ends;
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE(::testing::Message() << "killed at call " << nth);
    Harness h;
    setUpSweep(h, false);
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
      for (const auto& member : kMembers) h.os.putFile(member.next(), versionOf(member, "v2"));
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
  const unsigned calls = callsOfAWholeRelease(false);
  for (unsigned first = 1; first <= calls; first += 7) {
    for (unsigned second = 1; second <= 120; second += 4) {
      SCOPED_TRACE(::testing::Message() << "killed at " << first << ", then at " << second);
      Harness h;
      setUpSweep(h, false);
      h.runDyingAt(kReleaseArguments, first);
      for (const auto& member : kMembers) h.os.putFile(member.next(), versionOf(member, "v2"));
      h.runDyingAt(kReleaseArguments, second);
      for (const auto& member : kMembers) {
        const auto old = versionOf(member, "v1");
        EXPECT_TRUE(h.os.contents(member.exe()) == old || h.os.contents(member.old()) == old) << toUtf8(member.name);
      }
      for (const auto& member : kMembers) h.os.putFile(member.next(), versionOf(member, "v2"));
      EXPECT_EQ(h.run(kReleaseArguments), 0) << h.out();
      expectAllOn(h, "v2");
    }
  }
}

// A lasting error at each call of each operation a release makes: no
// version lost, every handle and lock let go, and the status says what the
// release left: 0 all new, 10 and 11 all old and running, 12 something down.
TEST(ReleaseFaultSweep, AFaultAnywhereEndsTheReleaseAsAWholeOrSaysWhatIsDown) {
  constexpr platform::OsError kLasting = 1;
  for (const bool failing : {false, true}) {
    Harness clean;
    setUpSweep(clean, failing);
    clean.run(kReleaseArguments);
    std::vector<std::pair<int, unsigned>> faults;  // operation (files first, then services, offset by 100), call
    for (int op = 0; op <= static_cast<int>(FileOp::ReadAt); ++op) {
      for (unsigned n = 1; n <= clean.os.calls(static_cast<FileOp>(op)); ++n) faults.emplace_back(op, n);
    }
    for (int op = 0; op <= static_cast<int>(ServiceOp::Release); ++op) {
      for (unsigned n = 1; n <= clean.services.calls(static_cast<ServiceOp>(op)); ++n) faults.emplace_back(100 + op, n);
    }
    std::set<int> statuses;
    for (const auto& [op, nth] : faults) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", operation " << op << ", call "
                                        << nth);
      Harness h;
      setUpSweep(h, failing);
      const bool fileOp = op < 100;
      if (fileOp) {
        h.os.faults().failCall(static_cast<FileOp>(op), nth, kLasting);
      } else {
        h.services.faults().failCall(static_cast<ServiceOp>(op - 100), nth, kLasting);
      }
      const auto file = static_cast<FileOp>(op);
      const int status = h.run(kReleaseArguments);
      statuses.insert(status);
      expectNothingLost(h);
      EXPECT_EQ(h.services.openHandles(), 0u);
      EXPECT_EQ(h.os.openFiles(), 0u);
      EXPECT_EQ(h.os.locksHeld(), 0u);
      const auto version = commonVersion(h);
      switch (status) {
        case 0: EXPECT_EQ(version, "v2") << h.out(); break;
        case 10:
        case 11:
          EXPECT_EQ(version, "v1") << h.out();
          for (const auto& member : kMembers) EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
          break;
        case 12:
          // A journal whose rights cannot be read is not acted upon: the
          // release fails closed, touching nothing.
          if (h.out().find("O di\xE1rio de uma atualiza\xE7\xE3o anterior n\xE3o p\xF4" "de ser lido") != std::string::npos) {
            EXPECT_TRUE(h.services.requests().empty()) << h.out();
            break;
          }
          EXPECT_NE(version, failing ? "v1" : "v2") << "12 only when something is not as it should: " << h.out();
          break;
        case 1: EXPECT_TRUE(fileOp && (file == FileOp::WriteStdout || file == FileOp::OpenStdout)); break;
        case 2:  // the release file could not be read
          EXPECT_TRUE(fileOp && (file == FileOp::Inspect || file == FileOp::ReadFileHead)) << h.out();
          break;
        case 1618: EXPECT_TRUE(fileOp && file == FileOp::TryLock); break;
        default: ADD_FAILURE() << "status " << status << h.out();
      }
      if (status != 12 && !(fileOp && file == FileOp::RemoveFile)) {
        for (const auto& member : kMembers) EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
      }
    }
    EXPECT_TRUE(statuses.count(failing ? 11 : 0));
    EXPECT_TRUE(statuses.count(10));
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
        setUpSweep(h, true);
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
