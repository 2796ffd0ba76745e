// Releases of every shape the engine runs: one service, two, three, with
// and without a dependency between them, with a health command and with
// pins. Each is killed at every platform call and then run again by the
// deployment, and faulted at every call of every operation; whatever
// happens, no version is lost, exit 0 comes only with every service running
// its new version, and anything else puts every one back or says what is
// down.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checks/sha256.h"
#include "release_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;

struct Shape {
  const char* name;
  std::vector<std::size_t> members;  // indices into kMembers, in the file's order
  bool dependency;                   // QZSync depends on QZAgent
  bool health;                       // QZAgent is held to a health command
  bool pins;                         // every new version pinned by its SHA-256
  std::size_t failing;               // index of the member whose new version dies, when one does
};

const Shape kShapes[] = {
    {"one", {1}, false, false, false, 1},
    {"one_checked_and_pinned", {1}, false, true, true, 1},
    {"two_dependent", {0, 1}, true, false, false, 1},
    {"two_independent_pinned", {2, 1}, false, false, true, 1},
    {"three_dependent", {0, 1, 2}, true, false, false, 0},
    {"three_dependent_checked_and_pinned", {0, 1, 2}, true, true, true, 1},
};

struct ReleaseShapes : ::testing::TestWithParam<Shape> {
  const Shape& shape = GetParam();

  std::vector<ReleaseMember> members() const {
    std::vector<ReleaseMember> all;
    for (const auto i : shape.members) all.push_back(kMembers[i]);
    return all;
  }

  std::string releaseText() const {
    std::string text = "{\"services\": [";
    for (const auto& member : members()) {
      if (text.back() != '[') text += ", ";
      text += "{\"name\": \"" + toUtf8(member.name) + "\"";
      if (shape.pins) text += ", \"sha256\": \"" + toUtf8(Sha256::of(versionOf(member, "v2"))) + "\"";
      if (shape.health && member.name == u"QZAgent") text += ", \"healthCommand\": [\"C:\\\\svc\\\\check.cmd\"]";
      text += "}";
    }
    return text + "]}";
  }

  // `failing`: the failing member's new version dies at once after its
  // start.
  void setUp(Harness& h, bool failing) const {
    setUpReleaseMembers(h, members(), releaseText(), shape.dependency);
    if (shape.health) {
      h.os.putFile(kCheckCommand, "@exit /b 0\r\n");
      h.probes.answer(kCheckLine, [] { return FakeHealthProbes::exited(0); });
    }
    if (failing) {
      const auto& member = kMembers[shape.failing];
      auto& service = serviceOf(h, member);
      service.startOnlyFor = versionOf(member, "v2");
      service.start.diesAfterMs = 100;
    }
  }
};

// A release run killed at every call, then run again by the deployment (its
// new versions staged again): the release is in place (or, when a new
// version fails, every service back on its old one), nothing left behind.
TEST_P(ReleaseShapes, KilledAtEveryCallTheDeploymentsRetryEndsItAsAWhole) {
  const auto all = members();
  for (const bool failing : {false, true}) {
    Harness clean;
    setUp(clean, failing);
    const unsigned before = clean.os.lifeline().calls();
    ASSERT_EQ(clean.run(kReleaseArguments), failing ? 11 : 0) << clean.out();
    const unsigned calls = clean.os.lifeline().calls() - before;
    ASSERT_GT(calls, 100u);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", killed at call " << nth);
      Harness h;
      setUp(h, failing);
      ASSERT_FALSE(h.runDyingAt(kReleaseArguments, nth).has_value());
      expectNothingLost(h, all);
      stageAgain(h, all);
      const auto out = h.out().size();
      EXPECT_EQ(h.run(kReleaseArguments), failing ? 11 : 0) << h.out().substr(out);
      expectAllOn(h, failing ? "v1" : "v2", all);
      for (const auto& member : all) {
        EXPECT_EQ(h.os.contents(member.next()), failing ? std::optional(versionOf(member, "v2")) : std::nullopt);
      }
    }
  }
}

// A lasting error at each call of each operation a release makes: no
// version lost, every handle and lock let go, and the status says what the
// release left: 0 all new, 10 and 11 all old and running, 12 something down.
TEST_P(ReleaseShapes, AFaultAtAnyCallEndsItAsAWholeOrSaysWhatIsDown) {
  const auto all = members();
  for (const bool failing : {false, true}) {
    Harness clean;
    setUp(clean, failing);
    clean.run(kReleaseArguments);
    std::set<int> statuses;
    for (const auto& [op, nth] : callsToFault(clean)) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", operation " << op << ", call "
                                        << nth);
      Harness h;
      setUp(h, failing);
      failLastingly(h, op, nth);
      const bool fileOp = op < 100;
      const auto file = static_cast<FileOp>(op);
      const int status = h.run(kReleaseArguments);
      statuses.insert(status);
      expectNothingLost(h, all);
      EXPECT_EQ(h.services.openHandles(), 0u);
      EXPECT_EQ(h.os.openFiles(), 0u);
      EXPECT_EQ(h.os.locksHeld(), 0u);
      const auto version = commonVersion(h, all);
      switch (status) {
        case 0: EXPECT_EQ(version, "v2") << h.out(); break;
        case 10:
        case 11:
          EXPECT_EQ(version, "v1") << h.out();
          for (const auto& member : all) EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
          break;
        case 12:
          // Said only when something is not as it should be, or when what
          // a dead run left cannot be judged (a journal whose rights cannot
          // be read): then the release fails closed, touching nothing.
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
        for (const auto& member : all) EXPECT_FALSE(h.os.contents(member.journal())) << toUtf8(member.name);
      }
    }
    EXPECT_TRUE(statuses.count(failing ? 11 : 0));
    EXPECT_TRUE(statuses.count(10));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryShape, ReleaseShapes, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace usqz
