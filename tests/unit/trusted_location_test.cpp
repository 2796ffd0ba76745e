// Only what an administrator wrote is activated: the tool's folder, the
// executable and its backup writable by nobody else whatever the options,
// and the new version too unless its content is pinned (it is copied
// then); the new version a plain file with one name; the current version
// movable and identifiable before anything stops. A run and --check refuse
// alike, before anything is touched; the lock is one for every spelling of
// the executable's path.
#include <algorithm>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/text.h"
#include "harness.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

struct Case {
  const char* what;
  std::function<void(Harness&)> set;
  const char* says;     // in the refusal
  bool pinPasses;       // --sha256 of the new version lets it through
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"a folder everyone may write", [](Harness& h) { h.os.setForeign(u"C:\\svc", u"", {u"Everyone"}); },
       "Local n\xE3o confi\xE1vel: C:\\svc\\ pode ser alterado por Everyone; s\xF3 administradores podem gravar "
       "onde a ferramenta atua\r\n",
       false},
      {"a new version another user owns", [](Harness& h) { h.os.setForeign(kNew, u"QZ\\mallory"); },
       "Local n\xE3o confi\xE1vel: C:\\svc\\qz_Agent.new pertence a QZ\\mallory; s\xF3 administradores podem "
       "gravar onde a ferramenta atua, ou use --sha256 ou --require-signature",
       true},
      {"a new version users may write", [](Harness& h) { h.os.setForeign(kNew, u"", {u"BUILTIN\\Users"}); },
       "C:\\svc\\qz_Agent.new pode ser alterado por BUILTIN\\Users", true},
      {"a current version users may write",
       [](Harness& h) { h.os.setForeign(kCurrent, u"", {u"BUILTIN\\Users", u"QZ\\ops"}); },
       "C:\\svc\\qz_Agent.exe pode ser alterado por BUILTIN\\Users, QZ\\ops", false},
      {"a backup users may write", [](Harness& h) { h.os.setForeign(kOld, u"", {u"BUILTIN\\Users"}); },
       "C:\\svc\\qz_Agent.old pode ser alterado por BUILTIN\\Users", false},
      {"a folder whose rights cannot be read",
       [](Harness& h) { h.os.faults().failCall(platform::fake::FileOp::Inspect, 1, 5); },
       "Local n\xE3o confi\xE1vel: C:\\svc\\ as permiss\xF5" "es n\xE3o puderam ser lidas", false},
      {"a new version that is a link", [](Harness& h) { h.os.makeLink(kNew); },
       "A nova vers\xE3o \xE9 um link, n\xE3o um arquivo: C:\\svc\\qz_Agent.new", false},
      // Moving or deleting a link may act on what it points to.
      {"a current version that is a link", [](Harness& h) { h.os.makeLink(kCurrent); },
       "Local n\xE3o confi\xE1vel: C:\\svc\\qz_Agent.exe \xE9 um link, n\xE3o um arquivo", false},
      {"a backup that is a link", [](Harness& h) { h.os.makeLink(kOld); },
       "Local n\xE3o confi\xE1vel: C:\\svc\\qz_Agent.old \xE9 um link, n\xE3o um arquivo", false},
      {"a new version with a second name", [](Harness& h) { h.os.setHardLinks(kNew, 2); },
       "A nova vers\xE3o tem outro nome no disco (2 links f\xEDsicos): C:\\svc\\qz_Agent.new", false},
      {"a current version another process holds", [](Harness& h) { h.os.setLocked(kCurrent); },
       "A vers\xE3o atual est\xE1 em uso por outro processo e n\xE3o poderia ser movida: C:\\svc\\qz_Agent.exe",
       false},
      {"a folder at the executable's name", [](Harness& h) {
         h.os.removeFile(kCurrent);
         h.os.addDirectory(kCurrent);
       },
       "A vers\xE3o atual n\xE3o poderia ser substitu\xED" "da: C:\\svc\\qz_Agent.exe \xE9 uma pasta", false},
      {"a current version that cannot be told apart",
       [](Harness& h) { h.os.faults().failAlways(platform::fake::FileOp::FileIdentity, 5); },
       "N\xE3o foi poss\xEDvel identificar o arquivo C:\\svc\\qz_Agent.exe", false},
  };
  return all;
}

TEST(TrustedLocation, WhatOthersCouldHaveWrittenIsRefusedBeforeAnythingIsTouched) {
  const auto pin = u" --sha256 " + platform::fake::FakeTrust::hashOf(kV2);
  for (const auto& c : cases()) {
    for (const auto* mode : {u"", u" --check"}) {
      for (const bool pinned : {false, true}) {
        SCOPED_TRACE(::testing::Message() << c.what << toUtf8(mode) << (pinned ? " pinned" : ""));
        Harness h;
        auto& service = setUpSweepScene(h, false);
        c.set(h);
        const auto current = h.os.contents(kCurrent);
        const int status = h.run(kSweepArguments + mode + (pinned ? pin : u""));
        if (pinned && c.pinPasses) {
          // Pinned, a new version others may write is copied: what runs
          // is the tool's own file, which nobody else may change.
          EXPECT_EQ(status, 0) << h.out();
          if (*mode == u'\0') {
            EXPECT_EQ(h.os.contents(kCurrent), kV2);
            EXPECT_TRUE(h.os.madeByTool(kCurrent));
            EXPECT_TRUE(h.os.changers(kCurrent).empty());
            EXPECT_FALSE(h.os.contents(kCopy));
          }
          continue;
        }
        EXPECT_EQ(status, 10) << h.out();
        EXPECT_THAT(h.out(), HasSubstr(c.says));
        if (*mode == u'\0') {
          EXPECT_THAT(h.os.contents(kResult).value_or(""), HasSubstr(c.says));
        }
        EXPECT_EQ(service.stopRequests + h.services.find(u"QZB")->stopRequests, 0u);
        EXPECT_EQ(service.runningImage, kV1);
        EXPECT_EQ(h.os.contents(kCurrent), current);
        EXPECT_EQ(h.os.contents(kNew), kV2);
        EXPECT_EQ(h.os.contents(kOld), "v0");
        EXPECT_FALSE(h.os.contents(kJournal));
      }
    }
  }
}

// Whoever may rename or replace a folder above the tool's replaces the
// whole folder; a junction is judged where it leads. Pinned or not, a run
// and --check refuse before anything is touched; what everyone may do to
// C:\ by default (add a folder) passes.
TEST(TrustedLocation, EveryFolderAboveIsJudgedWhereItReallyIs) {
  struct Chain {
    const char* what;
    std::function<void(Harness&)> set;
    const char* says;  // nothing: passes
  };
  const std::vector<Chain> chains = {
      {"C:\\ as Windows ships it", [](Harness& h) { h.os.setFolderRights(u"C:\\", {u"BUILTIN\\Users"}, {}, {}); },
       nullptr},
      {"a parent others may rename",
       [](Harness& h) { h.os.setFolderRights(u"C:\\", {}, {u"QZ\\mallory"}, {}); },
       "Local n\xE3o confi\xE1vel: C:\\ pode ser renomeada, apagada ou ter as permiss\xF5" "es alteradas por "
       "QZ\\mallory; s\xF3 administradores podem gravar onde a ferramenta atua"},
      {"a parent whose entries others may delete",
       [](Harness& h) { h.os.setFolderRights(u"C:\\", {}, {}, {u"Everyone"}); },
       "Local n\xE3o confi\xE1vel: C:\\ permite que Everyone apague ou renomeie o que ela cont\xE9m"},
      {"a parent another user owns", [](Harness& h) { h.os.setForeign(u"C:\\", u"QZ\\mallory"); },
       "Local n\xE3o confi\xE1vel: C:\\ pertence a QZ\\mallory"},
      {"a junction to an open folder",
       [](Harness& h) {
         h.os.setAlias(u"C:\\svc\\", u"D:\\open\\svc\\");
         h.os.addDirectory(u"D:\\open\\svc");
         h.os.setForeign(u"D:\\open\\svc", u"", {u"Everyone"});
       },
       "Local n\xE3o confi\xE1vel: D:\\open\\svc\\ pode ser alterado por Everyone"},
      {"a junction into a folder others may rename",
       [](Harness& h) {
         h.os.setAlias(u"C:\\svc\\", u"D:\\open\\svc\\");
         h.os.addDirectory(u"D:\\open");
         h.os.setFolderRights(u"D:\\open", {}, {u"BUILTIN\\Users"}, {});
       },
       "Local n\xE3o confi\xE1vel: D:\\open\\ pode ser renomeada"},
      {"a folder above whose rights cannot be read",
       [](Harness& h) {
         h.os.addDirectory(u"C:\\");
         h.os.faults().failCall(platform::fake::FileOp::Inspect, 2, 5);
       },
       "Local n\xE3o confi\xE1vel: C:\\ as permiss\xF5" "es n\xE3o puderam ser lidas"},
  };
  const auto pin = u" --sha256 " + platform::fake::FakeTrust::hashOf(kV2);
  for (const auto& chain : chains) {
    for (const auto* mode : {u"", u" --check", u" --rollback"}) {
      for (const bool pinned : {false, true}) {
        SCOPED_TRACE(::testing::Message() << chain.what << toUtf8(mode) << (pinned ? " pinned" : ""));
        Harness h;
        auto& service = setUpSweepScene(h, false);
        h.os.addDirectory(u"C:\\");
        chain.set(h);
        const int status = h.run(kSweepArguments + mode + (pinned ? pin : u""));
        if (chain.says == nullptr) {
          // The scene's backup is no executable: a rollback is refused for that.
          EXPECT_EQ(status, std::u16string(mode) == u" --rollback" ? 10 : 0) << h.out();
          EXPECT_THAT(h.out(), ::testing::Not(HasSubstr("Local n\xE3o confi\xE1vel")));
          continue;
        }
        EXPECT_EQ(status, 10) << h.out();
        EXPECT_THAT(h.out(), HasSubstr(chain.says));
        EXPECT_EQ(service.stopRequests, 0u);
        EXPECT_EQ(h.os.contents(kCurrent), kV1);
        EXPECT_EQ(h.os.contents(kNew), kV2);
        EXPECT_EQ(h.os.contents(kOld), "v0");
        EXPECT_FALSE(h.os.contents(kCopy));
      }
    }
  }
}

// A dead run's journal in a folder others may now change tells nothing to
// act upon: the location is checked first, and the run, --check and
// --rollback refuse with everything as the dead run left it. Not as it was:
// that run may have left the service down, and the status and the message
// say so (the journal, the executable and the service to look at).
TEST(TrustedLocation, ADeadRunsJournalInAFolderOpenedSinceIsNotActedUpon) {
  const unsigned nth = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  const std::string said =
      "Erro: Local n\xE3o confi\xE1vel: C:\\svc\\ pode ser alterado por Everyone; s\xF3 administradores podem "
      "gravar onde a ferramenta atua; a atualiza\xE7\xE3o anterior interrompida n\xE3o foi desfeita (di\xE1rio C:\\svc\\qz_Agent.journal): confira qual vers\xE3o est\xE1 em "
      "C:\\svc\\qz_Agent.exe e se o servi\xE7o est\xE1 em execu\xE7\xE3o";
  for (const auto* mode : {u"", u" --check", u" --rollback"}) {
    SCOPED_TRACE(toUtf8(mode));
    Harness h;
    auto& service = setUpSweepScene(h, false);
    ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth));
    ASSERT_TRUE(h.os.contents(kJournal));
    h.os.setForeign(u"C:\\svc", u"", {u"Everyone"});
    const auto files = h.os.fileNames();
    const auto state = service.state;
    const auto stops = service.stopRequests;
    const auto before = h.out().size();
    EXPECT_EQ(h.run(kSweepArguments + mode), 12) << h.out();
    EXPECT_THAT(h.out().substr(before), HasSubstr("Ocorreu um erro ao atualizar o servi\xE7o: QZAgent. " + said + "\r\n"));
    if (std::u16string(mode) != u" --check") {
      EXPECT_EQ(h.os.contents(kResult), said + "\r\n");
    }
    EXPECT_THAT(h.out(), ::testing::Not(HasSubstr("Atualiza\xE7\xE3o anterior interrompida")));
    EXPECT_TRUE(h.os.contents(kJournal));
    EXPECT_EQ(service.state, state);
    EXPECT_EQ(service.stopRequests, stops);
    auto now = h.os.fileNames();
    now.erase(std::remove(now.begin(), now.end(), kResult), now.end());
    auto before_ = files;
    before_.erase(std::remove(before_.begin(), before_.end(), kResult), before_.end());
    EXPECT_EQ(now, before_);
    EXPECT_EQ(h.os.contents(kCurrent), kV2);
  }
  // Without a journal the same refusal leaves the service as it was.
  Harness h;
  setUpSweepScene(h, false);
  h.os.setForeign(u"C:\\svc", u"", {u"Everyone"});
  EXPECT_EQ(h.run(kSweepArguments), 10) << h.out();
  EXPECT_EQ(h.os.contents(kResult), "Erro: Local n\xE3o confi\xE1vel: C:\\svc\\ pode ser alterado por Everyone; s\xF3 "
                                    "administradores podem gravar onde a ferramenta atua\r\n");
}

// A held current version is waited for as every held file is: one let go
// within moments costs nothing.
TEST(TrustedLocation, ACurrentVersionLetGoWithinTheWaitIsMoved) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.faults().failCall(platform::fake::FileOp::ProbeMovable, 1, platform::kErrorSharingViolation);
  h.os.faults().failCall(platform::fake::FileOp::ProbeMovable, 2, platform::kErrorSharingViolation);
  EXPECT_EQ(h.run(kSweepArguments), 0);
  EXPECT_EQ(h.services.find(u"QZAgent")->runningImage, kV2);
}

// Every spelling of the executable's folder (a substituted drive, a
// junction, a short name) takes the same lock.
TEST(TrustedLocation, EverySpellingOfTheExecutableSharesOneLock) {
  Harness h;
  h.os.setAlias(u"S:\\", u"C:\\svc\\");
  h.os.setShortName(u"C:\\SVC~1", u"C:\\svc");
  for (const auto* tool : {u"C:\\svc\\UpdateServiceQZ.exe", u"S:\\UpdateServiceQZ.exe", u"C:\\SVC~1\\UpdateServiceQZ.exe"}) {
    h.os.setOwnExecutablePath(std::u16string(tool));
    h.run(u"--service-name QZAgent");
  }
  const auto& locks = h.os.locksAskedFor();
  ASSERT_EQ(locks.size(), 3u);
  EXPECT_EQ(locks[1], locks[0]);
  EXPECT_EQ(locks[2], locks[0]);
}

}  // namespace
}  // namespace usqz
