// The update as a transaction: the journal on disk, a run killed at any
// platform call and the next run's recovery, interruptions deferred, and
// the exit status as a function of the end state.
#include <functional>
#include <set>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "harness.h"
#include "platform/text.h"
#include "run/outcome.h"
#include "run/transaction/run_journal.h"
#include "run/run_lock.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using platform::FileIdentity;
using ::testing::HasSubstr;

// -- the journal's text ---------------------------------------------------

JournalRecord sampleRecord() {
  JournalRecord record;
  record.serviceName = u"QZAgent\u00e7";
  record.processId = 4242;
  record.time = 1'796'774'400 + 3'600 + 61;
  record.wasRunning = true;
  record.dependents = {u"QZC", u"QZB"};
  record.previous = FileIdentity{0x6A1F20C3, 0x0001000000004F21, 2048, 133'781'233'000'000'000};
  record.next = FileIdentity{0x6A1F20C3, 0x0001000000004F22, 2304, 133'781'240'000'000'000};
  record.previousSha256 = std::u16string(64, u'a');
  record.nextSha256 = u"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  record.step = Step::Swapping;
  record.failureActions = platform::FailureActions{86'400, {{1, 60'000}, {0, 0}}};
  return record;
}

TEST(JournalText, APersonCanReadItAndTheRunReadsItBack) {
  const auto text = formatJournal(sampleRecord());
  EXPECT_EQ(text,
            "UpdateServiceQZ journal 2\r\nservice: QZAgent\xC3\xA7\r\nprocess: 4242\r\n"
            "time: 2026-12-09 01:01:01 UTC\r\nwas-running: yes\r\ndependent: QZC\r\n"
            "dependent: QZB\r\nprevious: 6A1F20C3 0001000000004F21 2048 133781233000000000 " +
                std::string(64, 'a') +
                "\r\nnew: 6A1F20C3 0001000000004F22 2304 133781240000000000 "
                "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\r\n"
                "failure-actions: 86400 1/60000 0/0\r\nstep: swapping\r\nend\r\n");
  const auto back = parseJournal(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->serviceName, u"QZAgent\u00e7");
  EXPECT_EQ(back->dependents, (std::vector<std::u16string>{u"QZC", u"QZB"}));
  EXPECT_EQ(back->previous, sampleRecord().previous);
  EXPECT_EQ(back->next, sampleRecord().next);
  EXPECT_EQ(back->previousSha256, sampleRecord().previousSha256);
  EXPECT_EQ(back->nextSha256, sampleRecord().nextSha256);
  ASSERT_TRUE(back->failureActions);
  EXPECT_EQ(back->failureActions->resetSeconds, 86'400u);
  EXPECT_EQ(back->failureActions->actions, sampleRecord().failureActions->actions);
  EXPECT_EQ(back->step, Step::Swapping);
  EXPECT_TRUE(back->wasRunning);

  auto none = sampleRecord();
  none.previous.reset();
  EXPECT_FALSE(parseJournal(formatJournal(none))->previous);
}

// Anything but a whole journal is not acted upon.
TEST(JournalText, AnythingButAWholeJournalIsRefused) {
  const auto text = formatJournal(sampleRecord());
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    EXPECT_FALSE(parseJournal(text.substr(0, cut))) << cut;
  }
  const auto replaced = [&](const std::string& from, const std::string& to) {
    auto changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  for (const auto& broken : {replaced("journal 2", "journal 1"), replaced("step: swapping", "step: flying"),
                             replaced(" 0123456789abcdef", " 0123456789ABCDEF"), replaced(" 0123456789abcdef", " "),
                             replaced("2048 133781233000000000 ", "2048 133781233000000000"),
                             replaced("1/60000", "1-60000"), replaced("86400 ", "x "),
                             replaced("was-running: yes", "was-running: si"), replaced("process: 4242", "pid: 4242"),
                             replaced("new: 6A1F20C3", "new: none"), replaced("2304", "23x4"),
                             replaced("service: ", "service: QZ\r\nservice: "), std::string("MZ\x90\0\x03", 5)}) {
    EXPECT_FALSE(parseJournal(broken)) << broken;
  }
}

// A release's service keeps the checks the release held it to, as given,
// so that whoever recovers the release holds it to them; a journal without
// them (an older one, a single update's) had none.
TEST(JournalText, AReleasesChecksAreKeptAsGivenAndReadBack) {
  auto record = sampleRecord();
  record.release = {u"QZAgent", u"QZSync"};
  record.health = scanOptions({u"tool", u"--health-url", u"http://127.0.0.1:8080/health", u"--health-tcp",
                               u"127.0.0.1:8081", u"--health-tcp", u"[::1]:8443", u"--health-command",
                               u"C:\\svc\\check.cmd --quick"})
                      .health;
  record.healthTimeoutSeconds = 90;
  record.pin = std::u16string(64, u'b');
  const auto text = formatJournal(record);
  EXPECT_THAT(text, HasSubstr("\r\nrelease: QZAgent\r\nrelease: QZSync\r\nhealth-url: http://127.0.0.1:8080/health\r\n"
                              "health-tcp: 127.0.0.1:8081\r\nhealth-tcp: [::1]:8443\r\n"
                              "health-command: C:\\svc\\check.cmd --quick\r\nhealth-timeout: 90\r\npin-sha256: " +
                              std::string(64, 'b') + "\r\nprevious: "));
  const auto back = parseJournal(text);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->health.size(), 4u);
  for (std::size_t i = 0; i < back->health.size(); ++i) {
    EXPECT_EQ(back->health[i].kind, record.health[i].kind) << i;
    EXPECT_EQ(back->health[i].target, record.health[i].target) << i;
    EXPECT_EQ(back->health[i].port, record.health[i].port) << i;
  }
  EXPECT_EQ(back->healthTimeoutSeconds, std::optional<std::uint32_t>(90));
  EXPECT_EQ(back->pin, record.pin);

  const auto old = parseJournal(formatJournal(sampleRecord()));
  ASSERT_TRUE(old);
  EXPECT_TRUE(old->health.empty());
  EXPECT_FALSE(old->healthTimeoutSeconds);
  EXPECT_TRUE(old->pin.empty());

  const auto replaced = [&](const std::string& from, const std::string& to) {
    auto changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  for (const auto& broken :
       {replaced("health-tcp: 127.0.0.1:8081", "health-tcp: 127.0.0.1"), replaced("health-url: http", "health-url: ftp"),
        replaced("health-command: C:\\svc\\check.cmd --quick", "health-command:  "),
        replaced("health-timeout: 90", "health-timeout: 0"),
        replaced("health-timeout: 90", "health-timeout: 90\r\nhealth-timeout: 90"),
        replaced("pin-sha256: b", "pin-sha256: B"), replaced("pin-sha256: ", "pin-sha256: " + std::string(64, 'c') +
                                                                                "\r\npin-sha256: ")}) {
    EXPECT_FALSE(parseJournal(broken)) << broken;
  }
}

// -- the run's journal on disk ----------------------------------------------

struct JournalFailures : ::testing::Test {
  Harness h;
  platform::fake::FakeService* service = nullptr;
  void SetUp() override { service = &setUpSweepScene(h, false); }
};

// Killed at each call in turn, a run leaves on disk the journal of the
// step it was taking: each step is announced before it is taken, and the
// journal is gone once the run has ended.
TEST(JournalOnDisk, EachStepIsOnDiskBeforeItIsTakenAndGoneAtTheEnd) {
  for (const bool rollback : {false, true}) {
    std::vector<std::string> steps;
    for (unsigned nth = 1;; ++nth) {
      Harness h;
      setUpSweepScene(h, rollback);
      if (h.runDyingAt(kSweepArguments, nth)) {
        EXPECT_FALSE(h.os.contents(kJournal));
        EXPECT_FALSE(h.os.contents(kJournal + u".tmp"));
        break;
      }
      if (const auto journal = h.os.contents(kJournal)) {
        const auto record = parseJournal(*journal);
        ASSERT_TRUE(record) << *journal;
        const auto step = toUtf8(stepName(record->step));
        if (steps.empty() || steps.back() != step) steps.push_back(step);
        EXPECT_EQ(record->serviceName, u"QZAgent");
        EXPECT_TRUE(record->wasRunning);
        EXPECT_EQ(record->processId, 0x7A0u);
      }
    }
    std::vector<std::string> expected = {"stopping-dependents", "stopping", "swapping", "starting"};
    expected.push_back(rollback ? "rolling-back" : "confirmed");
    EXPECT_EQ(steps, expected);
  }
}

// A journal is input from whoever could write it. Whatever it says, the run
// acts on nothing but this service's three files and its real dependents,
// and starts nothing whose bytes the journal did not record; a journal it
// cannot trust or read stops it with 12 before anything is touched.
TEST(ForgedJournals, NothingButTheServicesOwnFilesAndRealDependentsIsTouched) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> forge;
    int status;
    const char* says;  // in the result line
  };
  const auto rewrite = [](Harness& h, const std::function<void(JournalRecord&)>& change) {
    auto record = *parseJournal(*h.os.contents(kJournal));
    change(record);
    h.os.overwrite(kJournal, formatJournal(record));
  };
  const std::vector<Case> cases = {
      {"owned by another user", [](Harness& h) { h.os.setForeign(kJournal, u"QZ\\mallory"); }, 12,
       "n\xE3o \xE9 confi\xE1vel: C:\\svc\\qz_Agent.journal pertence a QZ\\mallory; nada foi alterado"},
      {"writable by others", [](Harness& h) { h.os.setForeign(kJournal, u"", {u"Everyone"}); }, 12,
       "pode ser alterado por Everyone"},
      {"a symbolic link", [](Harness& h) { h.os.makeLink(kJournal); }, 12, "C:\\svc\\qz_Agent.journal \xE9 um link"},
      {"a second hard link", [](Harness& h) { h.os.setHardLinks(kJournal, 2); }, 12, "tem outro nome no disco"},
      {"cut short", [](Harness& h) { h.os.overwrite(kJournal, "UpdateServiceQZ journal 2\r\nservice: QZAg"); }, 12,
       "n\xE3o p\xF4" "de ser lido: C:\\svc\\qz_Agent.journal; nada foi alterado"},
      {"naming another service", [&](Harness& h) { rewrite(h, [](auto& r) { r.serviceName = u"QZOther"; }); }, 12,
       "o di\xE1rio nomeia o servi\xE7o QZOther, que executa outro arquivo: C:\\svc\\other.exe"},
      {"naming a service that depends on nothing here as a dependent",
       [&](Harness& h) { rewrite(h, [](auto& r) { r.dependents.push_back(u"QZOther"); }); }, 0, nullptr},
      {"a backup altered in place",
       [](Harness& h) { h.os.overwrite(kOld, peImage("v9")); }, 12,
       "a vers\xE3o anterior em C:\\svc\\qz_Agent.old n\xE3o \xE9 a registrada no di\xE1rio"},
      {"a backup's recorded hash forged",
       [&](Harness& h) { rewrite(h, [](auto& r) { r.previousSha256 = std::u16string(64, u'0'); }); }, 12,
       "n\xE3o \xE9 a registrada no di\xE1rio"},
  };
  const unsigned nth = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    auto& service = setUpSweepScene(h, false);
    h.os.putFile(u"C:\\svc\\other.exe", kV1);
    auto& other = h.services.addService(u"QZOther", u"C:\\svc\\other.exe", platform::kServiceStopped);
    h.runDyingAt(kSweepArguments, nth);
    ASSERT_TRUE(h.os.contents(kJournal));
    c.forge(h);
    const auto journal = h.os.contents(kJournal);
    const auto files = std::vector{h.os.contents(kCurrent), h.os.contents(kNew), h.os.contents(kOld)};
    const auto starts = service.startRequests;
    const auto stops = service.stopRequests;
    const int status = h.run(kSweepArguments);
    EXPECT_EQ(status, c.status) << h.out();
    EXPECT_EQ(other.startRequests + other.stopRequests, 0u) << "a service the journal names is never touched";
    EXPECT_EQ(other.state, platform::kServiceStopped);
    if (c.says) {
      EXPECT_THAT(h.os.contents(kResult).value_or(""), HasSubstr(c.says));
      EXPECT_EQ(h.os.contents(kJournal), journal) << "kept for an administrator";
      EXPECT_EQ((std::vector{h.os.contents(kCurrent), h.os.contents(kNew), h.os.contents(kOld)}), files);
      EXPECT_EQ(service.startRequests, starts);
      EXPECT_EQ(service.stopRequests, stops);
    } else {
      expectEndStateMatchesStatus(h, status);
    }
    EXPECT_NE(service.runningImage, peImage("v9")) << "nothing unrecorded runs";
  }
}

// The journal's temporary file: a stale one a dead run left is the tool's
// and is replaced; a link or a file someone else owns at its name is never
// written through or deleted, and the run refuses before its first step.
TEST(ForgedJournals, TheTemporaryFileIsNeverWrittenThroughSomeoneElses) {
  const auto temporary = kJournal + u".tmp";
  for (const auto& [what, plant, status] :
       std::vector<std::tuple<const char*, std::function<void(Harness&)>, int>>{
           {"left by a dead run", [](Harness&) {}, 0},
           {"a link", [&](Harness& h) { h.os.makeLink(temporary); }, 10},
           {"a second hard link", [&](Harness& h) { h.os.setHardLinks(temporary, 2); }, 10},
           {"someone else's", [&](Harness& h) { h.os.setForeign(temporary, u"QZ\\mallory"); }, 10},
       }) {
    SCOPED_TRACE(what);
    Harness h;
    setUpSweepScene(h, false);
    h.os.putFile(temporary, "not a journal");
    plant(h);
    EXPECT_EQ(h.run(kSweepArguments), status) << h.out();
    if (status == 0) {
      EXPECT_FALSE(h.os.contents(temporary));
      continue;
    }
    EXPECT_EQ(h.os.contents(temporary), "not a journal");
    EXPECT_EQ(h.os.contents(kResult), "Erro: N\xE3o foi poss\xEDvel gravar o di\xE1rio da atualiza\xE7\xE3o "
                                      "C:\\svc\\qz_Agent.journal: C:\\svc\\qz_Agent.journal.tmp existe e n\xE3o "
                                      "\xE9 da ferramenta\r\n");
    EXPECT_EQ(h.services.find(u"QZAgent")->stopRequests + h.services.find(u"QZB")->stopRequests, 0u);
  }
}

// Every journal the run writes is one only administrators may read or
// change.
TEST(JournalOnDisk, IsPrivateWheneverItIsThere) {
  for (unsigned nth = 1;; ++nth) {
    Harness h;
    setUpSweepScene(h, false);
    if (h.runDyingAt(kSweepArguments, nth)) break;
    if (h.os.contents(kJournal)) {
      EXPECT_TRUE(h.os.isPrivate(kJournal)) << nth;
    }
  }
}

// The copy of the new version and then the journal are the first files
// the run writes: either failing stops it before anything is touched.
TEST(JournalFailure, AFileThatCannotBeWrittenStopsTheRunBeforeTheStep) {
  for (const unsigned failingAt : {1u, 2u}) {
    Harness h;
    setUpSweepScene(h, false);
    h.texts.set(112, u"There is not enough space on the disk.");
    // Only that file's flush: the result file's own comes after.
    h.os.faults().failCall(FileOp::FlushFile, failingAt, 112);
    EXPECT_EQ(h.run(kSweepArguments), 10);
    EXPECT_EQ(h.os.contents(kResult),
              failingAt == 1 ? "Erro: N\xE3o foi poss\xEDvel copiar a nova vers\xE3o para C:\\svc\\qz_Agent.copy: "
                                 "There is not enough space on the disk\r\n"
                               : "Erro: N\xE3o foi poss\xEDvel gravar o di\xE1rio da atualiza\xE7\xE3o "
                                 "C:\\svc\\qz_Agent.journal: There is not enough space on the disk\r\n");
    const auto& agent = *h.services.find(u"QZAgent");
    EXPECT_EQ(agent.stopRequests + h.services.find(u"QZB")->stopRequests, 0u);
    EXPECT_EQ(h.os.contents(kNew), kV2);
    EXPECT_FALSE(h.os.contents(kCopy));
    EXPECT_FALSE(h.os.contents(kJournal));
    EXPECT_FALSE(h.os.contents(kJournal + u".tmp"));
  }
}

// The update stands once confirmed: a journal that cannot say so does not
// fail it, and its dependents still come back.
TEST_F(JournalFailures, OnceConfirmedAJournalThatCannotBeWrittenCostsNothing) {
  // The seventh flush: the copy, then the journal's failure actions,
  // stopping-dependents, stopping, swapping, starting, confirmed.
  h.os.faults().failCall(FileOp::FlushFile, 7, 112);
  EXPECT_EQ(h.run(kSweepArguments), 0);
  EXPECT_EQ(h.os.contents(kResult), "Atualizado com sucesso!\r\n");
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// Restarts that cannot be suspended are refused before anything stops,
// the dependents included: the manager could start the version the run is
// taking down.
TEST_F(JournalFailures, RestartsThatCannotBeSuspendedStopNothing) {
  h.services.faults().failAlways(ServiceOp::SetFailureActions, 5);
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(*h.os.contents(kResult), "Erro: As a\xE7\xF5" "es de recupera\xE7\xE3o do servi\xE7o n\xE3o "
                                     "puderam ser suspensas: Access is denied\r\n");
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_TRUE(h.services.requests().empty());
  EXPECT_EQ(h.services.find(u"QZB")->stopRequests, 0u);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_EQ(service->failureActions.actions, kRestartOnFailure.actions);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// Its dependents stopped, the run cannot announce the service's stop: the
// service still runs, and so do its dependents again.
TEST_F(JournalFailures, ADependentStoppedForNothingComesBack) {
  // The fourth flush: the copy, the restarts' record, the dependent's,
  // then the step that announces the service's stop.
  h.os.faults().failCall(FileOp::FlushFile, 4, 112);
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(service->stopRequests, 0u);
  EXPECT_EQ(h.services.find(u"QZB")->stopRequests, 1u);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// -- killed at every platform call ------------------------------------------

// A run of the sweep's scene dies at its Nth platform call, for every N of
// a whole run (an update, and one that rolls back); a second run over what
// it left recovers first and finishes the work. Nothing is lost, the
// service runs the previous or the new version, no journal is left, and the
// status says which.
// (And an update whose new version is checked and activated through the
// handle held since its check.)
TEST(KillSweep, AfterADeathAtAnyCallTheNextRunLeavesAKnownState) {
  for (const auto& [rollback, arguments] : {std::pair{false, kSweepArguments}, std::pair{true, kSweepArguments},
                                            std::pair{false, kSignedArguments}}) {
    const unsigned calls = callsOfAWholeRun(rollback, arguments);
    ASSERT_GT(calls, 30u);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << toUtf8(arguments)
                                        << ", killed at call " << nth);
      Harness h;
      setUpSweepScene(h, rollback);
      signNewVersion(h);
      ASSERT_FALSE(h.runDyingAt(arguments, nth).has_value());
      const auto out = h.out().size();
      const int status = h.run(arguments);
      expectEndStateMatchesStatus(h, status);
      EXPECT_FALSE(h.os.contents(kJournal));
      EXPECT_EQ(status, rollback ? (status == 3 ? 3 : 11) : (status == 3 ? 3 : 0)) << h.out().substr(out);
    }
  }
}

// The deployment's own retry: a run dies at any call, then the deployment
// system copies the same new version to its name again and runs the tool
// again, as it always does. That run ends with the new version running (or
// the previous one, when the new one fails), never with the service down,
// and it stops nothing when the dead run had already confirmed its update.
TEST(KillSweep, TheDeploymentsRetryAfterADeathAtAnyCallEndsUpdated) {
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", killed at call " << nth);
      Harness h;
      auto& service = setUpSweepScene(h, rollback);
      ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
      const bool confirmed = h.os.contents(kJournal) &&
                             parseJournal(*h.os.contents(kJournal))->step == Step::Confirmed;
      h.os.putFile(kNew, kV2);  // copied again, over whatever is there
      const auto stops = service.stopRequests;
      const auto out = h.out().size();
      const int status = h.run(kSweepArguments);
      expectEndStateMatchesStatus(h, status);
      EXPECT_EQ(status, rollback ? 11 : 0) << h.out().substr(out);
      EXPECT_FALSE(h.os.contents(kJournal));
      if (confirmed) {
        EXPECT_EQ(service.stopRequests, stops) << "no extra stop";
      }
      if (!rollback) {
        EXPECT_FALSE(h.os.contents(kNew)) << "the copy is not left to be activated again";
      }
    }
  }
}

// A run dies at any call, and the next finds what a machine may hold:
// the current executable held by another process (a scanner, a backup
// agent) for longer than any wait, or files whose identity cannot be read.
// Whatever it does, no version is lost, and a service that ran before it
// runs after it: a recovery that cannot move a version refuses before it
// stops anything.
TEST(KillSweep, AfterADeathAHeldOrUnidentifiableExecutableNeverCostsTheService) {
  const unsigned calls = callsOfAWholeRun(false);
  for (const bool held : {true, false}) {
    std::set<int> statuses;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (held ? "held" : "unidentifiable") << ", killed at call " << nth);
      Harness h;
      auto& service = setUpSweepScene(h, false);
      ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
      const auto runs = [&] {
        return service.state == platform::kServiceRunning && h.services.processAlive(service.processId);
      };
      h.clock.advance(10'000);  // whatever the dead run asked for has happened
      const bool ranBefore = runs();
      const auto stops = service.stopRequests;
      if (held && h.os.contents(kCurrent)) h.os.setLocked(kCurrent);
      if (!held) h.os.faults().failAlways(FileOp::FileIdentity, platform::kErrorAccessDenied);
      const int status = h.run(kSweepArguments);
      statuses.insert(status);
      std::multiset<std::string> versions;
      for (const auto& name : {kCurrent, kNew, kOld}) {
        if (const auto bytes = h.os.contents(name)) versions.insert(*bytes);
      }
      EXPECT_EQ(versions.count(kV1), 1u) << h.out();
      EXPECT_EQ(versions.count(kV2), 1u) << h.out();
      EXPECT_TRUE(status == 0 || status == 3 || status == 10 || status == 12) << status << h.out();
      if (ranBefore) {
        EXPECT_TRUE(runs()) << h.out();
      }
      if (status == 12) {
        EXPECT_EQ(service.stopRequests, stops) << "refused before anything was stopped: " << h.out();
        EXPECT_TRUE(h.os.contents(kJournal));
      }
      EXPECT_EQ(h.os.openFiles(), 0u);
    }
    // Both ways out are taken: refused before the stop, and refused by the
    // update's own checks once the recovery is done.
    EXPECT_EQ(statuses.count(10), 1u);
    EXPECT_EQ(statuses.count(12), held ? 1u : 0u);
  }
}

// The recovery itself dies, at each of its calls (the first 60 calls of the
// second run take in the whole of it), after every death of the first run
// that leaves a journal: the run after it recovers again.
TEST(KillSweep, ARecoveryThatDiesIsRecoveredByTheRunAfterIt) {
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    for (unsigned first = 1; first <= calls; ++first) {
      // How many calls the second run's recovery takes, undisturbed.
      Harness probe;
      setUpSweepScene(probe, rollback);
      probe.runDyingAt(kSweepArguments, first);
      if (!probe.os.contents(kJournal)) continue;
      const unsigned start = probe.os.lifeline().calls();
      probe.run(kSweepArguments);
      const unsigned second = probe.os.lifeline().calls() - start;
      for (unsigned nth = 1; nth <= std::min(second, 60u); ++nth) {
        SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", killed at " << first
                                          << ", then at " << nth);
        Harness h;
        setUpSweepScene(h, rollback);
        h.runDyingAt(kSweepArguments, first);
        h.runDyingAt(kSweepArguments, nth);
        const int status = h.run(kSweepArguments);
        expectEndStateMatchesStatus(h, status);
        EXPECT_FALSE(h.os.contents(kJournal));
      }
    }
  }
}

// Whatever a dead run left, a version changed in place since (its name and
// identity kept, its bytes not) is never started or put back: recovery
// checks the bytes it starts against the journal in every branch, and
// refuses, everything as it found it, when they are not the journal's.
TEST(KillSweep, ARecoveryStartsOnlyTheBytesTheJournalNames) {
  const auto altered = peImage("x1");  // the size of v1 and v2
  ASSERT_EQ(altered.size(), kV1.size());
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    unsigned refused = 0;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      for (const auto& slot : {kCurrent, kOld}) {
        SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", killed at call " << nth
                                          << ", then " << toUtf8(slot) << " changed");
        Harness h;
        auto& service = setUpSweepScene(h, rollback);
        ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
        const auto before = h.os.contents(slot);
        if (!h.os.contents(kJournal) || !before || (*before != kV1 && *before != kV2)) continue;
        h.os.overwrite(slot, altered);
        const auto stops = service.stopRequests;
        const int status = h.run(kSweepArguments);
        EXPECT_NE(service.runningImage, altered) << h.out();
        if (status == 12) {
          ++refused;
          EXPECT_EQ(service.stopRequests, stops) << h.out();
          EXPECT_EQ(h.os.contents(slot), altered);
          EXPECT_TRUE(h.os.contents(kJournal));
        }
      }
    }
    EXPECT_GT(refused, 0u);
  }
}

// What the next run says when it finds a run died after the activation.
TEST(Recovery, ARunKilledAfterTheActivationIsUndoneThenTheUpdateIsTriedAgain) {
  // The first call at which a dying run leaves the new version in place.
  const unsigned nth = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  Harness h;
  auto& service = setUpSweepScene(h, false);
  ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth).has_value());
  ASSERT_EQ(service.state, platform::kServiceStopped);
  ASSERT_EQ(h.services.find(u"QZB")->state, platform::kServiceStopped);

  const auto before = h.out().size();
  EXPECT_EQ(h.run(kSweepArguments), 0);
  const auto out = h.out().substr(before);
  EXPECT_EQ(out.substr(0, out.find("SCManager :: conectado")),
            lines({"Atualiza\xE7\xE3o anterior interrompida (etapa: swapping): desfazendo",
                   "  -> Devolvendo a nova vers\xE3o: EXE -> NEW", "  -> Restaurando vers\xE3o anterior: OLD -> EXE",
                   "Service :: iniciando ...", "Service :: status: iniciado", "Service :: iniciando dependente QZB ...",
                   "Atualiza\xE7\xE3o anterior desfeita."}));
  EXPECT_EQ(service.runningImage, kV2);
  EXPECT_EQ(h.os.contents(kOld), kV1);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// A rollback whose return of the new version fails leaves the journal;
// another new version dropped meanwhile is an obstacle the next run sees
// before it stops anything: it deletes no version and says what blocks.
TEST(Recovery, AFailedRollbackIsNotMadeWorseByTheNextRun) {
  Harness h;
  auto& service = setUpSweepScene(h, true);
  // The rollback's return of the new version (the second move: the
  // activation renames the held copy) fails.
  h.os.faults().failFrom(FileOp::MoveNoReplace, 2, platform::kErrorAlreadyExists);
  EXPECT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
  EXPECT_EQ(h.os.contents(kOld), kV1);
  EXPECT_TRUE(h.os.contents(kJournal));

  h.os.faults().clear();
  h.os.putFile(kNew, peImage("v3"));  // dropped by a deployment meanwhile
  const auto stops = service.stopRequests;
  EXPECT_EQ(h.run(kSweepArguments), 12);
  EXPECT_EQ(h.os.contents(kOld), kV1) << "the previous version is never deleted";
  EXPECT_EQ(h.os.contents(kCurrent), kV2);
  EXPECT_EQ(h.os.contents(kNew), peImage("v3"));
  EXPECT_EQ(service.stopRequests, stops) << "refused before anything is stopped";
  EXPECT_EQ(h.os.contents(kResult),
            "Erro: N\xE3o foi poss\xEDvel desfazer a atualiza\xE7\xE3o anterior interrompida: C:\\svc\\qz_Agent.new "
            "est\xE1 ocupado por outro arquivo; a nova vers\xE3o est\xE1 em C:\\svc\\qz_Agent.exe\r\n");
  EXPECT_TRUE(h.os.contents(kJournal));

  // Once the operator moves the stranger away, the next run recovers and
  // updates to what is at .new again.
  ASSERT_EQ(h.os.removeFile(kNew), platform::kOk);
  EXPECT_EQ(h.run(kSweepArguments), 11);
  EXPECT_EQ(service.runningImage, kV1);
  EXPECT_FALSE(h.os.contents(kJournal));
}

// Killed while stopping: the service was running before that run, so the
// next run starts it again before its own update, and a failing new version
// leaves it running the previous one.
TEST(Recovery, AServiceKilledWhileStoppingIsRunningAgainAfterTheNextRollback) {
  Harness h;
  auto& service = setUpSweepScene(h, true);
  const unsigned nth =
      firstDeathLeaving(true, [](Harness& h) { return h.services.find(u"QZAgent")->stopRequests == 1; });
  ASSERT_FALSE(h.runDyingAt(kSweepArguments, nth + 1).has_value());
  EXPECT_EQ(h.run(kSweepArguments), 11);
  EXPECT_EQ(service.state, platform::kServiceRunning);
  EXPECT_EQ(service.runningImage, kV1);
}

// -- the lock follows the files -------------------------------------------

TEST(RunLockByFiles, TwoServiceNamesForOneExecutableShareOneLock) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE"));
  EXPECT_EQ(h.run(u"--service-name XXAgent --exit-code"), 1618);
  EXPECT_EQ(h.out(), lines({"Outra atualiza\xE7\xE3o do servi\xE7o XXAgent j\xE1 est\xE1 em andamento."}));
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
}

TEST(RunLockByFiles, ALockOthersCreatedIsNotTakenForABusyRun) {
  Harness h;
  setUpSweepScene(h, false);
  h.os.faults().failAlways(FileOp::TryLock, platform::kErrorAccessDenied);
  EXPECT_EQ(h.run(kSweepArguments), 10);
  EXPECT_EQ(h.out(), lines({"N\xE3o foi poss\xEDvel obter o bloqueio da atualiza\xE7\xE3o do servi\xE7o QZAgent: o "
                            "bloqueio existe e n\xE3o pode ser aberto (acesso negado); foi criado por outro usu\xE1rio"}));
}

// -- Ctrl+C ---------------------------------------------------------------

// Ctrl+C at any call: outside the transaction it ends the process (and the
// next run finds nothing to undo); inside it the run finishes or rolls
// back, says so, and ends with its outcome.
TEST(Interrupt, DuringTheTransactionItWaitsForTheRunToFinish) {
  for (const bool rollback : {false, true}) {
    const unsigned calls = callsOfAWholeRun(rollback);
    unsigned deferred = 0;
    for (unsigned nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(::testing::Message() << (rollback ? "rollback" : "update") << ", Ctrl+C at call " << nth);
      Harness h;
      setUpSweepScene(h, rollback);
      h.os.lifeline().interruptAtCall(nth);
      std::optional<int> status;
      try {
        status = h.run(kSweepArguments);
      } catch (const Killed&) {
      }
      if (!status || h.os.lifeline().dead()) {
        // Ended outside the transaction: before its first irreversible step
        // or after its end, never inside it.
        EXPECT_FALSE(h.os.contents(kJournal));
        h.services.afterDeath();
        h.os.afterDeath();
        expectEndStateMatchesStatus(h, h.run(kSweepArguments));
        continue;
      }
      ++deferred;
      EXPECT_EQ(*status, rollback ? 11 : 0);
      EXPECT_THAT(h.out(), HasSubstr("Interrup\xE7\xE3o recebida durante a atualiza\xE7\xE3o: adiada at\xE9 o fim da "
                                     "atualiza\xE7\xE3o.\r\n"));
      expectEndStateMatchesStatus(h, *status);
    }
    EXPECT_GT(deferred, calls / 2);
  }
}

// -- the exit status from the end state -------------------------------------

TEST(OutcomeOf, TheStatusIsAFunctionOfTheEndState) {
  struct Row {
    EndState end;
    Outcome outcome;
  };
  // touched, wasRunning, registered, confirmed, previousInPlace, dependentsDown, runsAtEnd
  const std::vector<Row> rows = {
      {{true, true, false, true, false, false, true}, Outcome::Updated},
      {{true, true, false, true, false, false, false}, Outcome::Down},   // confirmed, then gone
      {{true, true, false, true, false, true, true}, Outcome::Down},    // a dependent stays down
      {{false, true, false, false, true, false, true}, Outcome::Unchanged},
      {{false, true, false, false, true, true, true}, Outcome::Down},   // a dependent left stop-pending
      {{true, true, false, false, true, false, true}, Outcome::RolledBack},
      {{true, true, false, false, true, false, false}, Outcome::Down},
      {{true, true, false, false, false, false, true}, Outcome::Down},  // runs, but the files are astray
      {{true, false, false, false, true, false, false}, Outcome::Unchanged},
      {{true, false, true, false, true, false, false}, Outcome::Down},   // registered, never confirmed
      {{true, false, false, false, true, false, true}, Outcome::RolledBack},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(outcomeOf(rows[i].end), rows[i].outcome) << i;
}

}  // namespace
}  // namespace usqz
