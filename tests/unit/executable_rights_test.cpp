// Who may read, run and change the executable the run puts in place: the
// accounts that could read and run the one it replaces still can (a
// service may run as NetworkService, LocalService, a virtual account or a
// named account, not SYSTEM), after an update, a rollback and the recovery
// of a killed run; nobody but SYSTEM, Administrators and TrustedInstaller
// may change it. Also: a read-only new version.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/text.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::fake::Access;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::u16string kFolder = u"C:\\svc";
const std::u16string kUsers = u"BUILTIN\\Users";
const std::u16string kVirtual = u"NT SERVICE\\QZAgent";
const std::u16string kNetworkService = u"NT AUTHORITY\\NETWORK SERVICE";
const std::u16string kNamed = u"QZHOST01\\svc-qz";

// How the account the service runs as is let read and run the executable.
struct Grant {
  const char* what;
  std::u16string account;
  bool byFolder;  // else an explicit entry on the current executable
};

const std::vector<Grant> kGrants = {
    {"Users, by the folder", kUsers, true},
    {"a virtual account, by the folder", kVirtual, true},
    {"NetworkService, by the folder", kNetworkService, true},
    {"a named account, by the folder", kNamed, true},
    {"a virtual account, on the executable", kVirtual, false},
};

void grant(Harness& h, const Grant& g) {
  if (g.byFolder) {
    h.os.setPassedOn(kFolder, {{g.account}});
  } else {
    h.os.setAccess(kCurrent, {{g.account}});
  }
}

// What runs, or may run next, is readable by the service's account and
// changeable by administrators alone.
void expectReadableAndTheirsAlone(Harness& h, const Grant& g, const std::u16string& name) {
  if (!h.os.contents(name)) return;
  EXPECT_TRUE(h.os.mayRead(name, g.account)) << toUtf8(name);
  EXPECT_THAT(h.os.changers(name), IsEmpty()) << toUtf8(name);
}

TEST(ExecutableRights, TheServicesAccountStillReadsWhatRunsAfterAnUpdateOrARollback) {
  for (const auto& g : kGrants) {
    for (const bool rollback : {false, true}) {
      SCOPED_TRACE(::testing::Message() << g.what << (rollback ? ", rolled back" : ", updated"));
      Harness h;
      setUpSweepScene(h, rollback);
      grant(h, g);
      const int status = h.run(kSweepArguments);
      EXPECT_EQ(status, rollback ? 11 : 0) << h.out();
      EXPECT_EQ(h.os.contents(kCurrent), rollback ? kV1 : kV2);
      expectReadableAndTheirsAlone(h, g, kCurrent);
      expectReadableAndTheirsAlone(h, g, kOld);
      // The folder's entries still reach it: nothing was protected.
      if (g.byFolder && !rollback) {
        EXPECT_EQ(h.os.accessOf(kCurrent), (std::vector<Access>{{g.account, false, true}}));
      }
    }
  }
}

TEST(ExecutableRights, AndAfterARollbackOnDemand) {
  for (const auto& g : kGrants) {
    SCOPED_TRACE(g.what);
    Harness h;
    setUpSweepScene(h, false);
    grant(h, g);
    ASSERT_EQ(h.run(kSweepArguments), 0) << h.out();
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --stop-dependents --rollback"), 0) << h.out();
    EXPECT_EQ(h.os.contents(kCurrent), kV1);
    expectReadableAndTheirsAlone(h, g, kCurrent);
    expectReadableAndTheirsAlone(h, g, kOld);
  }
}

// Killed at every call, then run again: whatever the recovery undid or
// finished, what stands is readable by the service's account.
TEST(ExecutableRights, AndAfterTheRecoveryOfARunKilledAnywhere) {
  for (const auto& g : kGrants) {
    const unsigned calls = callsOfAWholeRun(false);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << g.what << ", killed at call " << nth);
      Harness h;
      setUpSweepScene(h, false);
      grant(h, g);
      if (h.runDyingAt(kSweepArguments, nth)) continue;
      const int status = h.run(kSweepArguments);
      EXPECT_TRUE(status == 0 || status == 3) << h.out();
      EXPECT_EQ(h.os.contents(kCurrent), kV2);
      expectReadableAndTheirsAlone(h, g, kCurrent);
      expectReadableAndTheirsAlone(h, g, kOld);
      expectReadableAndTheirsAlone(h, g, kNew);
    }
  }
}

// A first registration has no executable to take the rights of: the copy
// takes what the folder passes on to its files, with no right to change
// it for anyone else.
TEST(ExecutableRights, AFirstRegistrationTakesWhatTheFolderPassesOn) {
  struct Case {
    const char* what;
    std::vector<Access> passedOn;
    std::vector<Access> expected;
  };
  const std::vector<Case> cases = {
      {"read for a virtual account", {{kVirtual}}, {{kVirtual, false, true}}},
      {"read for Users and NetworkService", {{kUsers}, {kNetworkService}},
       {{kUsers, false, true}, {kNetworkService, false, true}}},
      // Made explicit, without the right: the file then inherits nothing.
      {"write for Users", {{kUsers, true}, {kVirtual}}, {{kUsers}, {kVirtual}}},
      {"nothing", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.os.putFile(kNew, kV2);
    h.os.setPassedOn(kFolder, c.passedOn);
    // Pinned: a folder that passes on write passes it on to the new
    // version too.
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --sha256 " + FakeTrust::hashOf(kV2)), 0) << h.out();
    EXPECT_THAT(h.out(), HasSubstr("Service :: instalado com sucesso"));
    ASSERT_EQ(h.os.contents(kCurrent), kV2);
    EXPECT_EQ(h.os.accessOf(kCurrent), c.expected);
    EXPECT_THAT(h.os.changers(kCurrent), IsEmpty());
  }
}

// A folder that lets Users read and run what it holds is trusted: who may
// read is the service's business, and the run goes ahead.
TEST(ExecutableRights, AFolderThatLetsUsersReadIsTrusted) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.setPassedOn(kFolder, {{kUsers}});
  EXPECT_EQ(h.run(kSweepArguments), 0) << h.out();
  EXPECT_THAT(h.out(), Not(HasSubstr("confi\xE1vel")));
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
}

// The copy's rights as FileAndProcess::createRunnableFile promises them,
// which the Win32 implementation gives through the access list.
TEST(FakeRunnableFile, TakesTheModelsEntriesWithoutTheRightToChange) {
  struct Case {
    const char* what;
    std::vector<Access> passedOn;
    std::optional<std::vector<Access>> model;  // nothing: no model file
    bool modelProtected;
    std::vector<Access> expected;
  };
  const std::vector<Case> cases = {
      {"inherited read stays inherited", {{kUsers}}, std::vector<Access>{}, false, {{kUsers, false, true}}},
      {"an explicit read is copied", {}, std::vector<Access>{{kVirtual}}, false, {{kVirtual}}},
      {"an explicit write becomes a read", {}, std::vector<Access>{{kNamed, true}}, false, {{kNamed}}},
      {"administrators keep theirs", {}, std::vector<Access>{{u"BUILTIN\\Administrators", true}}, false,
       {{u"BUILTIN\\Administrators", true}}},
      {"protected: nothing inherited", {{kUsers}}, std::vector<Access>{{kVirtual}}, true, {{kVirtual}}},
      {"both", {{kUsers}}, std::vector<Access>{{kVirtual, true}}, false, {{kVirtual}, {kUsers, false, true}}},
      {"no model: the folder's", {{kNetworkService}}, std::nullopt, false, {{kNetworkService, false, true}}},
      {"no model, a folder passing write", {{kNetworkService, true}}, std::nullopt, false, {{kNetworkService}}},
      {"a model inheriting write", {{kUsers, true}}, std::vector<Access>{{kVirtual}}, false, {{kVirtual}, {kUsers}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    VirtualClock clock;
    FakeFileAndProcess os(clock);
    os.addDirectory(kFolder);
    os.setPassedOn(kFolder, c.passedOn);
    if (c.model) {
      os.putFile(kCurrent, "v1");
      os.setAccess(kCurrent, *c.model, c.modelProtected);
    }
    const auto created = os.createRunnableFile(kCopy, kCurrent);
    ASSERT_EQ(created.error, platform::kOk);
    EXPECT_EQ(os.closeFile(created.handle), platform::kOk);
    EXPECT_EQ(os.accessOf(kCopy), c.expected);
    EXPECT_THAT(os.changers(kCopy), IsEmpty());
    EXPECT_TRUE(os.inspect(kCopy).trusted());
    EXPECT_TRUE(os.madeByTool(kCopy));
    EXPECT_EQ(os.createRunnableFile(kCopy, kCurrent).error, platform::kErrorFileExists);
  }
}

// Windows replaces and deletes no read-only file; the tool takes the
// attribute off first.
TEST(ReadOnlyNewVersion, IsUpdatedLikeAnyOther) {
  for (const std::u16string& options : {std::u16string(), u" --sha256 " + FakeTrust::hashOf(kV2)}) {
    SCOPED_TRACE(toUtf8(options));
    Harness h;
    setUpSweepScene(h, false);
    h.os.setReadOnly(kNew);
    EXPECT_EQ(h.run(kSweepArguments + options), 0) << h.out();
    EXPECT_EQ(h.os.contents(kCurrent), kV2);
    EXPECT_FALSE(h.os.contents(kNew));
    EXPECT_FALSE(h.os.contents(kCopy));
  }
}

TEST(ReadOnlyNewVersion, AlreadyRunningIsRemoved) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.putFile(kNew, kV1);
  h.os.setReadOnly(kNew);
  EXPECT_EQ(h.run(kSweepArguments), 0) << h.out();
  EXPECT_THAT(h.out(), HasSubstr("A nova vers\xE3o j\xE1 est\xE1 em execu\xE7\xE3o"));
  EXPECT_FALSE(h.os.contents(kNew));
  EXPECT_EQ(h.os.contents(kCurrent), kV1);
}

TEST(ReadOnlyNewVersion, TheDoublesRefuseWhatWindowsRefuses) {
  VirtualClock clock;
  FakeFileAndProcess os(clock);
  os.putFile(u"a", "A");
  os.putFile(u"b", "B");
  os.setReadOnly(u"b");
  EXPECT_EQ(os.replaceFile(u"a", u"b"), platform::kErrorAccessDenied);
  EXPECT_EQ(os.removeFile(u"b"), platform::kErrorAccessDenied);
  EXPECT_EQ(os.clearReadOnly(u"b"), platform::kOk);
  EXPECT_FALSE(os.readOnly(u"b"));
  EXPECT_EQ(os.replaceFile(u"a", u"b"), platform::kOk);
  EXPECT_EQ(os.contents(u"b"), "A");
  EXPECT_EQ(os.clearReadOnly(u"c"), platform::kErrorFileNotFound);
}

}  // namespace
}  // namespace usqz
