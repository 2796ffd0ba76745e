// Releases of every shape the engine runs: one service, two, three, with
// and without a dependency between them, with a health command and with
// pins. Each is killed at every platform call and then run again by the
// deployment, and faulted at every call of every operation; whatever
// happens, no version is lost, exit 0 comes only with every service running
// its new version, and anything else puts every one back or says what is
// down.
#include <set>

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
};

const Shape kShapes[] = {
    {"one", {1}, false, false, false},
    {"one_checked_and_pinned", {1}, false, true, true},
    {"two_dependent", {0, 1}, true, false, false},
    {"two_independent_pinned", {2, 1}, false, false, true},
    {"three_dependent_checked_and_pinned", {0, 1, 2}, true, true, true},
};

const std::u16string kCheckLine = u"\"C:\\Windows\\System32\\cmd.exe\" /d /c \"\"C:\\svc\\check.cmd\"\"";

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

  // `failing`: QZAgent's new version dies at once after its start.
  void setUp(Harness& h, bool failing) const {
    h.os.putFile(kReleaseFile, releaseText());
    for (const auto& member : members()) {
      h.os.putFile(member.exe(), versionOf(member, "v1"));
      h.os.putFile(member.next(), versionOf(member, "v2"));
      auto& service = h.services.addService(member.name, u"\"" + member.exe() + u"\"", platform::kServiceRunning);
      service.stop.takesMs = 200;
      service.runningImage = versionOf(member, "v1");
      service.failureActions = kRestartOnFailure;
    }
    if (shape.dependency) h.services.find(u"QZSync")->dependsOn = {u"QZAgent"};
    if (shape.health) {
      h.os.putFile(u"C:\\svc\\check.cmd", "@exit /b 0\r\n");
      h.probes.answer(kCheckLine, [] { return FakeHealthProbes::exited(0); });
    }
    if (failing) {
      auto& agent = *h.services.find(u"QZAgent");
      agent.startOnlyFor = versionOf(kMembers[1], "v2");
      agent.start.diesAfterMs = 100;
    }
  }

  // Each service's two versions are each at exactly one of its names.
  void expectNothingLost(Harness& h) const {
    for (const auto& member : members()) {
      std::multiset<std::string> versions;
      for (const auto& name : {member.exe(), member.next(), member.old()}) {
        if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
      }
      EXPECT_EQ(versions.count(versionOf(member, "v1")), 1u) << toUtf8(member.name);
      EXPECT_EQ(versions.count(versionOf(member, "v2")), 1u) << toUtf8(member.name);
    }
  }

  // The version every service runs, alive, when they all run the same one
  // of their own: "v1", "v2", or empty.
  std::string commonVersion(Harness& h) const {
    std::set<std::string> seen;
    for (const auto& member : members()) {
      if (!runsItsFile(h, member)) return {};
      const auto& image = serviceOf(h, member).runningImage;
      seen.insert(image == versionOf(member, "v2") ? "v2" : image == versionOf(member, "v1") ? "v1" : "?");
    }
    return seen.size() == 1 ? *seen.begin() : std::string();
  }

  void expectAllOn(Harness& h, const std::string& version) const {
    EXPECT_EQ(commonVersion(h), version) << h.out();
    for (const auto& member : members()) {
      SCOPED_TRACE(toUtf8(member.name));
      EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, version));
      EXPECT_FALSE(h.os.contents(member.journal()));
      EXPECT_FALSE(h.os.contents(member.copy()));
      EXPECT_EQ(serviceOf(h, member).failureActions.actions, kRestartOnFailure.actions);
    }
    EXPECT_EQ(h.services.openHandles(), 0u);
    EXPECT_EQ(h.os.openFiles(), 0u);
    EXPECT_EQ(h.os.locksHeld(), 0u);
  }

  void stageAgain(Harness& h) const {
    for (const auto& member : members()) h.os.putFile(member.next(), versionOf(member, "v2"));
  }
};

TEST_P(ReleaseShapes, KilledAtEveryCallTheDeploymentsRetryEndsItAsAWhole) {
  for (const bool failing : {false, true}) {
    Harness clean;
    setUp(clean, failing);
    const unsigned before = clean.os.lifeline().calls();
    ASSERT_EQ(clean.run(kReleaseArguments), failing ? 11 : 0) << clean.out();
    const unsigned calls = clean.os.lifeline().calls() - before;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", killed at call " << nth);
      Harness h;
      setUp(h, failing);
      ASSERT_FALSE(h.runDyingAt(kReleaseArguments, nth).has_value());
      expectNothingLost(h);
      stageAgain(h);
      const auto out = h.out().size();
      EXPECT_EQ(h.run(kReleaseArguments), failing ? 11 : 0) << h.out().substr(out);
      expectAllOn(h, failing ? "v1" : "v2");
    }
  }
}

TEST_P(ReleaseShapes, AFaultAtAnyCallEndsItAsAWholeOrSaysWhatIsDown) {
  constexpr platform::OsError kLasting = 1;
  for (const bool failing : {false, true}) {
    Harness clean;
    setUp(clean, failing);
    clean.run(kReleaseArguments);
    std::vector<std::pair<int, unsigned>> faults;  // operation (services offset by 100), call
    for (int op = 0; op <= static_cast<int>(FileOp::ReadAt); ++op) {
      for (unsigned n = 1; n <= clean.os.calls(static_cast<FileOp>(op)); ++n) faults.emplace_back(op, n);
    }
    for (int op = 0; op <= static_cast<int>(ServiceOp::Release); ++op) {
      for (unsigned n = 1; n <= clean.services.calls(static_cast<ServiceOp>(op)); ++n) faults.emplace_back(100 + op, n);
    }
    for (const auto& [op, nth] : faults) {
      SCOPED_TRACE(::testing::Message() << (failing ? "failing" : "passing") << ", operation " << op << ", call "
                                        << nth);
      Harness h;
      setUp(h, failing);
      const bool fileOp = op < 100;
      if (fileOp) {
        h.os.faults().failCall(static_cast<FileOp>(op), nth, kLasting);
      } else {
        h.services.faults().failCall(static_cast<ServiceOp>(op - 100), nth, kLasting);
      }
      const auto file = static_cast<FileOp>(op);
      const int status = h.run(kReleaseArguments);
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
          for (const auto& member : members()) EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
          break;
        case 12:
          // Said only when something is not as it should be, or when what
          // a dead run left cannot be judged (and then nothing is touched).
          if (h.out().find("O di\xE1rio de uma atualiza\xE7\xE3o anterior n\xE3o p\xF4" "de ser lido") != std::string::npos) {
            EXPECT_TRUE(h.services.requests().empty()) << h.out();
            break;
          }
          EXPECT_NE(version, failing ? "v1" : "v2") << "12 only when something is not as it should: " << h.out();
          break;
        case 1: EXPECT_TRUE(fileOp && (file == FileOp::WriteStdout || file == FileOp::OpenStdout)); break;
        case 2: EXPECT_TRUE(fileOp && (file == FileOp::Inspect || file == FileOp::ReadFileHead)) << h.out(); break;
        case 1618: EXPECT_TRUE(fileOp && file == FileOp::TryLock); break;
        default: ADD_FAILURE() << "status " << status << h.out();
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryShape, ReleaseShapes, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace usqz
