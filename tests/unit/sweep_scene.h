// The scene the fault and kill sweeps run an update in, and what any run
// over it may leave: QZAgent running v1 with a slow stop, v2 beside it, an
// older backup v0, and a running dependent QZB, updated with
// --stop-dependents --exit-code. The manager restarts QZAgent when its
// process fails.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "harness.h"

namespace usqz::testing {

inline const std::u16string kSweepArguments = u"--service-name QZAgent --stop-dependents --exit-code";
inline const platform::FailureActions kRestartOnFailure{
    86'400, {{platform::kActionRestart, 60'000}, {platform::kActionRestart, 60'000}, {platform::kActionNone, 0}}};

// `rollback`: the new version dies at once after its start.
inline platform::fake::FakeService& setUpSweepScene(Harness& h, bool rollback) {
  h.os.putFile(kCurrent, kV1);
  h.os.putFile(kNew, kV2);
  h.os.putFile(kOld, "v0");
  h.os.putFile(u"C:\\svc\\B.exe", kV1);
  auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
  service.stop.takesMs = 300;
  service.runningImage = kV1;
  service.failureActions = kRestartOnFailure;
  if (rollback) {
    service.startOnlyFor = kV2;
    service.start.diesAfterMs = 200;
  }
  auto& dependent = h.services.addService(u"QZB", u"C:\\svc\\B.exe", platform::kServiceRunning);
  dependent.dependsOn = {u"QZAgent"};
  return service;
}

// The new version signed by a trusted publisher, for runs that ask for it.
inline const std::u16string kSignedArguments = kSweepArguments + u" --require-signature";
inline void signNewVersion(Harness& h) {
  h.trust.sign(kV2, {platform::SignatureStatus::Valid, 0, {u"CN=QZ", u"CN=QZ CA", u"QZ", std::u16string(64, u'a')}});
}

// How many platform calls a whole, undisturbed run of the scene makes.
inline unsigned callsOfAWholeRun(bool rollback, const std::u16string& arguments = kSweepArguments) {
  Harness clean;
  setUpSweepScene(clean, rollback);
  signNewVersion(clean);
  const unsigned before = clean.os.lifeline().calls();
  clean.run(arguments);
  return clean.os.lifeline().calls() - before;
}

// The first platform call at which a run of the scene that dies there
// leaves `what` true of what it left (a dying run's call N does not take
// effect).
template <typename Predicate>
unsigned firstDeathLeaving(bool rollback, Predicate what) {
  for (unsigned nth = 1;; ++nth) {
    Harness probe;
    setUpSweepScene(probe, rollback);
    probe.runDyingAt(kSweepArguments, nth);
    if (what(probe)) return nth;
  }
}

// What a fault may cost besides the update itself.
struct Allowance {
  bool escapes = false;      // standard output failed: status 1
  bool resultLost = false;   // the result file's own work failed
};

// Whatever happened: no version is lost, and the exit status says what the
// end state is.
inline void expectEndStateMatchesStatus(Harness& h, int status, Allowance allowed = {}) {
  std::multiset<std::string> versions;
  for (const auto& name : {kCurrent, kNew, kOld}) {
    if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
  }
  EXPECT_EQ(versions.count(kV1), 1u) << "the previous version is at one of the three paths";
  EXPECT_EQ(versions.count(kV2), 1u) << "the new version is at one of the three paths";

  const auto& service = *h.services.find(u"QZAgent");
  const bool runs = service.state == platform::kServiceRunning && service.processId != 0 &&
                    h.services.processAlive(service.processId);
  const bool dependentRuns = h.services.find(u"QZB")->state == platform::kServiceRunning;
  const bool runsItsFile = runs && service.runningImage == h.os.contents(kCurrent);
  const auto result = allowed.resultLost ? std::optional<std::string>() : h.os.contents(kResult);
  switch (status) {
    case 0:
      EXPECT_TRUE(runsItsFile && dependentRuns);
      EXPECT_EQ(service.runningImage, kV2);
      EXPECT_EQ(result.value_or("Atualizado com sucesso!\r\n"), "Atualizado com sucesso!\r\n");
      break;
    case 3:  // an earlier run had finished the update
      EXPECT_TRUE(runsItsFile && dependentRuns);
      EXPECT_EQ(service.runningImage, kV2);
      break;
    case 10:
    case 11:
      EXPECT_TRUE(runsItsFile && dependentRuns);
      EXPECT_EQ(service.runningImage, kV1);
      EXPECT_EQ(h.os.contents(kNew), kV2);
      EXPECT_EQ(result.value_or("Erro: ").rfind("Erro: ", 0), 0u);
      break;
    case 12:
      // A journal whose rights cannot be read is not acted upon: the run
      // fails closed, touching nothing.
      if (result && result->find("O di\xE1rio de uma atualiza\xE7\xE3o anterior n\xE3o p\xF4" "de ser lido") !=
                        std::string::npos) {
        EXPECT_EQ(service.runningImage, kV1);
        EXPECT_EQ(h.os.contents(kNew), kV2);
        break;
      }
      EXPECT_FALSE(runsItsFile && dependentRuns) << "12 only when something is down";
      EXPECT_EQ(result.value_or("Erro: ").rfind("Erro: ", 0), 0u);
      break;
    case 1:
      EXPECT_TRUE(allowed.escapes) << "status 1 only when standard output failed";
      break;
    default:
      ADD_FAILURE() << "unexpected status " << status;
  }
  // Nothing the run ended could have been restarted behind its back, and
  // once the transaction is over the manager restarts the service again.
  EXPECT_EQ(service.endedWhileRestartArmed, 0u);
  if (!h.os.contents(kJournal)) {
    EXPECT_EQ(service.failureActions.actions, kRestartOnFailure.actions);
    EXPECT_EQ(service.failureActions.resetSeconds, kRestartOnFailure.resetSeconds);
  }
  EXPECT_EQ(h.services.openHandles(), 0u);
  EXPECT_EQ(h.services.openProcessHandles(), 0u);
  EXPECT_EQ(h.os.openFiles(), 0u);
  EXPECT_EQ(h.os.locksHeld(), 0u);
}

}  // namespace usqz::testing
