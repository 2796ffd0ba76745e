// The scene release tests run in: three services beside the tool, each
// running v1 of its own executable with v2 staged, QZSync depending on
// QZAgent, listed in a release file in an order their dependencies do not
// follow. The manager restarts each when its process fails. Releases of
// other shapes are built of the same members.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "platform/text.h"
#include "run/transaction/run_journal.h"
#include "sweep_scene.h"

namespace usqz::testing {

struct ReleaseMember {
  std::u16string name;
  std::u16string item;
  std::u16string exe() const { return u"C:\\svc\\qz_" + item + u".exe"; }
  std::u16string next() const { return u"C:\\svc\\qz_" + item + u".new"; }
  std::u16string old() const { return u"C:\\svc\\qz_" + item + u".old"; }
  std::u16string journal() const { return u"C:\\svc\\qz_" + item + u".journal"; }
  std::u16string copy() const { return u"C:\\svc\\qz_" + item + u".copy"; }
  std::u16string result() const { return u"updateServiceQZ-" + name + u".txt"; }
};

// In the release file's order.
inline const std::vector<ReleaseMember> kMembers = {{u"QZSync", u"Sync"}, {u"QZAgent", u"Agent"}, {u"QZStore", u"Store"}};
inline const std::u16string kReleaseFile = u"C:\\svc\\release.json";
inline const std::u16string kReleaseArguments = u"--release C:\\svc\\release.json --exit-code";
inline const std::string kReleaseText =
    R"({"services": [{"name": "QZSync"}, {"name": "QZAgent"}, {"name": "QZStore"}]})";

// Each member's versions: "v1"/"v2" images made distinct per service.
inline std::string versionOf(const ReleaseMember& member, const std::string& version) {
  return version == "v1" ? kV1 + toUtf8(member.item) : kV2 + toUtf8(member.item);
}

// `members`, listed in `releaseText`, each running v1 of its own executable
// with v2 staged; with `dependency`, QZSync depends on QZAgent.
inline void setUpReleaseMembers(Harness& h, const std::vector<ReleaseMember>& members, const std::string& releaseText,
                                bool dependency) {
  h.os.putFile(kReleaseFile, releaseText);
  for (const auto& member : members) {
    h.os.putFile(member.exe(), versionOf(member, "v1"));
    h.os.putFile(member.next(), versionOf(member, "v2"));
    auto& service = h.services.addService(member.name, u"\"" + member.exe() + u"\"", platform::kServiceRunning);
    service.stop.takesMs = 200;
    service.runningImage = versionOf(member, "v1");
    service.failureActions = kRestartOnFailure;
  }
  if (dependency) h.services.find(u"QZSync")->dependsOn = {u"QZAgent"};
}

inline void setUpReleaseScene(Harness& h, const std::string& releaseText = kReleaseText) {
  setUpReleaseMembers(h, kMembers, releaseText, true);
}

inline platform::fake::FakeService& serviceOf(Harness& h, const ReleaseMember& member) {
  return *h.services.find(member.name);
}

// A health command, and the command line it runs as.
inline const std::u16string kCheckCommand = u"C:\\svc\\check.cmd";
inline const std::u16string kCheckLine = u"\"C:\\Windows\\System32\\cmd.exe\" /d /c \"\"C:\\svc\\check.cmd\"\"";

// The scene with QZAgent held to the health command by the release file;
// the command passes, or, unless `passes`, fails for QZAgent's new version.
inline void setUpAgentHeldToACommand(Harness& h, bool passes) {
  setUpReleaseScene(h, R"({"services": [{"name": "QZSync"}, {"name": "QZAgent", "healthCommand": )"
                       R"(["C:\\svc\\check.cmd"]}, {"name": "QZStore"}]})");
  h.os.putFile(kCheckCommand, "@exit /b 0\r\n");
  h.probes.answer(kCheckLine, [&h, passes] {
    const bool onV2 = serviceOf(h, kMembers[1]).runningImage == versionOf(kMembers[1], "v2");
    return FakeHealthProbes::exited(passes || !onV2 ? 0 : 1);
  });
}

// The deployment stages every member's new version again.
inline void stageAgain(Harness& h, const std::vector<ReleaseMember>& members = kMembers) {
  for (const auto& member : members) h.os.putFile(member.next(), versionOf(member, "v2"));
}


// Runs, alive, the executable at its name.
inline bool runsItsFile(Harness& h, const ReleaseMember& member) {
  const auto& service = serviceOf(h, member);
  return service.state == platform::kServiceRunning && service.processId != 0 &&
         h.services.processAlive(service.processId) && service.runningImage == h.os.contents(member.exe());
}

// The version a member runs, "v1" or "v2" ("?" for another image), when it
// runs its own file; "down" when it does not.
inline std::string runningVersion(Harness& h, const ReleaseMember& member) {
  if (!runsItsFile(h, member)) return "down";
  const auto& image = serviceOf(h, member).runningImage;
  return image == versionOf(member, "v2") ? "v2" : image == versionOf(member, "v1") ? "v1" : "?";
}

// Which version every member runs, when they all run the same one of their
// own; empty when they do not.
inline std::string commonVersion(Harness& h, const std::vector<ReleaseMember>& members = kMembers) {
  std::set<std::string> seen;
  for (const auto& member : members) {
    const auto version = runningVersion(h, member);
    if (version == "down") return {};
    seen.insert(version);
  }
  return seen.size() == 1 ? *seen.begin() : std::string();
}

// Each member's two versions are each at one of its three names; with
// `stagedAgain`, the new one may stand at two.
inline void expectNothingLost(Harness& h, const std::vector<ReleaseMember>& members = kMembers,
                              bool stagedAgain = false) {
  for (const auto& member : members) {
    std::multiset<std::string> versions;
    for (const auto& name : {member.exe(), member.next(), member.old()}) {
      if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
    }
    EXPECT_EQ(versions.count(versionOf(member, "v1")), 1u) << toUtf8(member.name);
    if (stagedAgain) {
      EXPECT_GE(versions.count(versionOf(member, "v2")), 1u) << toUtf8(member.name);
    } else {
      EXPECT_EQ(versions.count(versionOf(member, "v2")), 1u) << toUtf8(member.name);
    }
  }
}

// Every member on `version`, running it, its transaction over.
inline void expectAllOn(Harness& h, const std::string& version,
                        const std::vector<ReleaseMember>& members = kMembers) {
  EXPECT_EQ(commonVersion(h, members), version) << h.out();
  for (const auto& member : members) {
    SCOPED_TRACE(toUtf8(member.name));
    EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, version));
    EXPECT_TRUE(runsItsFile(h, member));
    EXPECT_FALSE(h.os.contents(member.journal()));
    EXPECT_FALSE(h.os.contents(member.copy()));
    EXPECT_EQ(serviceOf(h, member).failureActions.actions, kRestartOnFailure.actions);
    EXPECT_EQ(serviceOf(h, member).endedWhileRestartArmed, 0u);
  }
  EXPECT_EQ(h.services.openHandles(), 0u);
  EXPECT_EQ(h.os.openFiles(), 0u);
  EXPECT_EQ(h.os.locksHeld(), 0u);
}

// Each call of each platform operation that `run` made beyond what
// `before` (a run of the same scene up to some point) had made: file
// operations as they are, service operations offset by 100.
inline std::vector<std::pair<int, unsigned>> callsToFault(const Harness& run, const Harness* before = nullptr) {
  std::vector<std::pair<int, unsigned>> faults;
  for (int op = 0; op <= static_cast<int>(FileOp::ReadAt); ++op) {
    const unsigned from = before ? before->os.calls(static_cast<FileOp>(op)) : 0;
    for (unsigned n = from + 1; n <= run.os.calls(static_cast<FileOp>(op)); ++n) faults.emplace_back(op, n);
  }
  for (int op = 0; op <= static_cast<int>(ServiceOp::Release); ++op) {
    const unsigned from = before ? before->services.calls(static_cast<ServiceOp>(op)) : 0;
    for (unsigned n = from + 1; n <= run.services.calls(static_cast<ServiceOp>(op)); ++n) faults.emplace_back(100 + op, n);
  }
  return faults;
}

// A lasting error at the `nth` call of operation `op` (as callsToFault
// numbers them).
inline void failLastingly(Harness& h, int op, unsigned nth) {
  constexpr platform::OsError kLasting = 1;
  if (op < 100) {
    h.os.faults().failCall(static_cast<FileOp>(op), nth, kLasting);
  } else {
    h.services.faults().failCall(static_cast<ServiceOp>(op - 100), nth, kLasting);
  }
}

// The journal a member's run left, as the run reads it; nothing when none.
inline std::optional<JournalRecord> journalOf(Harness& h, const ReleaseMember& member) {
  const auto text = h.os.contents(member.journal());
  return text ? parseJournal(*text) : std::nullopt;
}

// How many platform calls a whole, undisturbed release run of the scene
// makes.
inline unsigned callsOfTheRelease(const std::string& releaseText = kReleaseText) {
  Harness clean;
  setUpReleaseScene(clean, releaseText);
  const unsigned before = clean.os.lifeline().calls();
  clean.run(kReleaseArguments);
  return clean.os.lifeline().calls() - before;
}

inline std::string resultOf(Harness& h, const ReleaseMember& member) {
  return h.os.contents(member.result()).value_or("(none)");
}

}  // namespace usqz::testing
