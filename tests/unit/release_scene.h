// The scene release tests run in: three services beside the tool, each
// running v1 of its own executable with v2 staged, QZSync depending on
// QZAgent, listed in a release file in an order their dependencies do not
// follow. The manager restarts each when its process fails.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
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

inline void setUpReleaseScene(Harness& h, const std::string& releaseText = kReleaseText) {
  h.os.putFile(kReleaseFile, releaseText);
  for (const auto& member : kMembers) {
    h.os.putFile(member.exe(), versionOf(member, "v1"));
    h.os.putFile(member.next(), versionOf(member, "v2"));
    auto& service = h.services.addService(member.name, u"\"" + member.exe() + u"\"", platform::kServiceRunning);
    service.stop.takesMs = 200;
    service.runningImage = versionOf(member, "v1");
    service.failureActions = kRestartOnFailure;
  }
  h.services.find(u"QZSync")->dependsOn = {u"QZAgent"};
}

inline platform::fake::FakeService& serviceOf(Harness& h, const ReleaseMember& member) {
  return *h.services.find(member.name);
}

// Runs, alive, the executable at its name.
inline bool runsItsFile(Harness& h, const ReleaseMember& member) {
  const auto& service = serviceOf(h, member);
  return service.state == platform::kServiceRunning && service.processId != 0 &&
         h.services.processAlive(service.processId) && service.runningImage == h.os.contents(member.exe());
}

// Every member on `version`, running it, its transaction over.
inline void expectAllOn(Harness& h, const std::string& version) {
  for (const auto& member : kMembers) {
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
