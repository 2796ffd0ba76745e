// --rollback: the backup becomes the running version and the version it
// replaces becomes the backup, so that a second rollback goes forward
// again; the staged new version is never touched. Every other rule of an
// update holds: checks before the stop, the journal, recovery after a
// death, a failed start put back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/text.h"
#include "run/transaction/run_journal.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

const std::u16string kRollback = u"--service-name QZAgent --exit-code --stop-dependents --rollback";
const std::u16string kAside = u"C:\\svc\\qz_Agent.rollback";
// Staged for a later update: a rollback leaves it be.
const std::string kStaged = "v3, staged";

// QZAgent runs v2 (an update went through), v1 is its backup; QZB
// depends on it.
platform::fake::FakeService& setUpRollbackScene(Harness& h) {
  h.os.putFile(kCurrent, kV2);
  h.os.putFile(kOld, kV1);
  h.os.putFile(kNew, kStaged);
  h.os.putFile(u"C:\\svc\\B.exe", kV1);
  auto& service = h.services.addService(u"QZAgent", u"\"" + kCurrent + u"\"", platform::kServiceRunning);
  service.stop.takesMs = 300;
  service.runningImage = kV2;
  service.failureActions = kRestartOnFailure;
  auto& dependent = h.services.addService(u"QZB", u"C:\\svc\\B.exe", platform::kServiceRunning);
  dependent.dependsOn = {u"QZAgent"};
  return service;
}

// Where the versions are, the staged one included, and what runs.
void expectVersions(Harness& h, const std::string& current, const std::string& backup) {
  EXPECT_EQ(h.os.contents(kCurrent), current);
  EXPECT_EQ(h.os.contents(kOld), backup);
  EXPECT_EQ(h.os.contents(kNew), kStaged);
  EXPECT_FALSE(h.os.contents(kAside));
  EXPECT_FALSE(h.os.contents(kJournal));
  const auto& service = *h.services.find(u"QZAgent");
  EXPECT_EQ(service.state, platform::kServiceRunning);
  EXPECT_EQ(service.runningImage, current);
  EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
  EXPECT_EQ(service.failureActions.actions, kRestartOnFailure.actions);
  EXPECT_EQ(service.endedWhileRestartArmed, 0u);
  EXPECT_EQ(h.services.openHandles() + h.os.openFiles() + h.os.locksHeld(), 0u);
}

TEST(Rollback, SwapsTheBackupAndTheRunningVersionThenGoesForwardAgain) {
  Harness h;
  setUpRollbackScene(h);
  EXPECT_EQ(h.run(kRollback), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: encontrado",
                            "Service :: status: iniciado", "Service :: parando dependente QZB ...", "Service :: parando ...",
                            "Service :: parado", "  -> Guardando a vers\xE3o atual: EXE -> ROLLBACK",
                            "  -> Reativando a vers\xE3o anterior: OLD -> EXE", "Service :: iniciando ...",
                            "Service :: status: iniciado",
                            "  -> Guardando a vers\xE3o substitu\xED" "da como backup: ROLLBACK -> OLD",
                            "Service :: iniciando dependente QZB ...", "", "Revers\xE3o finalizada.", ""}));
  EXPECT_EQ(h.os.contents(kResult), "Revertido para a vers\xE3o anterior com sucesso!\r\n");
  expectVersions(h, kV1, kV2);

  EXPECT_EQ(h.run(kRollback), 0);
  expectVersions(h, kV2, kV1);
}

TEST(Rollback, EndsAsAnUpdateWouldForEachObstacle) {
  struct Case {
    const char* name;
    std::function<void(Harness&)> arrange;
    int status;
    std::string result;
    std::string current, backup;
  };
  const std::vector<Case> cases = {
      {"no backup", [](Harness& h) { h.os.removeFile(kOld); }, 3,
       "N\xE3o foi encontrada a vers\xE3o anterior do servi\xE7o.\r\n", kV2, ""},
      {"the backup starts and dies: the version that ran runs again", [](Harness& h) {
         auto& service = *h.services.find(u"QZAgent");
         service.startOnlyFor = kV1;
         service.start.diesAfterMs = 200;
       },
       11, "Erro: ", kV2, kV1},
      {"the backup never reports running", [](Harness& h) {
         auto& service = *h.services.find(u"QZAgent");
         service.startOnlyFor = kV1;
         service.start.pendingMs = platform::fake::kNever;
       },
       11, "Erro: ", kV2, kV1},
      {"a file left at the rollback's own name", [](Harness& h) { h.os.putFile(kAside, "?"); }, 10,
       "Erro: H\xE1 um arquivo de uma revers\xE3o anterior em C:\\svc\\qz_Agent.rollback: confira qual vers\xE3o ele "
       "cont\xE9m e remova-o para prosseguir\r\n",
       kV2, kV1},
      // The swap needs that name: a folder there is found before the stop.
      {"a folder at the rollback's own name", [](Harness& h) { h.os.addDirectory(kAside); }, 10,
       "Erro: O nome C:\\svc\\qz_Agent.rollback, de que a revers\xE3o precisa, est\xE1 ocupado: \xE9 uma pasta\r\n",
       kV2, kV1},
      {"no service to roll back", [](Harness& h) { h.services.removeService(u"QZAgent"); }, 10,
       "Erro: O servi\xE7o QZAgent n\xE3o est\xE1 registrado: n\xE3o h\xE1 o que reverter\r\n", kV2, kV1},
      {"the backup is no executable", [](Harness& h) { h.os.putFile(kOld, "v1, cut short"); }, 10,
       "Erro: A vers\xE3o anterior (OLD) n\xE3o \xE9 um execut\xE1vel v\xE1lido", kV2, "v1, cut short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    setUpRollbackScene(h);
    c.arrange(h);
    EXPECT_EQ(h.run(kRollback), c.status) << h.out();
    EXPECT_EQ(h.os.contents(kResult).value_or("").substr(0, c.result.size()), c.result);
    EXPECT_EQ(h.os.contents(kCurrent), c.current);
    EXPECT_EQ(h.os.contents(kOld).value_or(""), c.backup);
    EXPECT_EQ(h.os.contents(kNew), kStaged);
    EXPECT_FALSE(h.os.contents(kJournal));
    EXPECT_EQ(h.services.openHandles() + h.os.openFiles() + h.os.locksHeld(), 0u);
  }
}

TEST(Rollback, NoDowngradeDoesNotApplyGoingBack) {
  Harness h;
  setUpRollbackScene(h);
  h.os.putFile(kCurrent, peImageWithVersion("v2", 2, 0));
  h.services.find(u"QZAgent")->runningImage = peImageWithVersion("v2", 2, 0);
  h.os.putFile(kOld, peImageWithVersion("v1", 1, 0));
  EXPECT_EQ(h.run(kRollback + u" --no-downgrade"), 0) << h.out();
  EXPECT_EQ(h.os.contents(kCurrent), peImageWithVersion("v1", 1, 0));
}

TEST(Rollback, CheckSaysWhatItWouldDoAndChangesNothing) {
  Harness h;
  setUpRollbackScene(h);
  h.os.putFile(kCurrent, peImageWithVersion("v2", 2, 0));
  h.os.putFile(kOld, peImageWithVersion("v1", 1, 0));
  h.services.find(u"QZAgent")->runningImage = peImageWithVersion("v2", 2, 0);
  EXPECT_EQ(h.run(kRollback + u" --check"), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: encontrado",
                            "Service :: status: iniciado", "Vers\xF5" "es :: atual: 2.0.0.0 (qz_Agent.exe)",
                            "Vers\xF5" "es :: backup: 1.0.0.0 (qz_Agent.old)",
                            "Vers\xF5" "es :: nova: sem n\xFAmero de vers\xE3o (qz_Agent.new)", "",
                            "Verifica\xE7\xE3o: a revers\xE3o seguiria adiante; nada foi alterado. Ela:",
                            "  -> substituiria a vers\xE3o 2.0.0.0 pela 1.0.0.0", "  -> pararia os dependentes: QZB",
                            "  -> pararia o servi\xE7o", "  -> guardaria a vers\xE3o atual: EXE -> ROLLBACK",
                            "  -> reativaria a vers\xE3o anterior: OLD -> EXE", "  -> iniciaria o servi\xE7o",
                            "  -> guardaria a vers\xE3o substitu\xED" "da como backup: ROLLBACK -> OLD", ""}));
  EXPECT_EQ(h.os.contents(kOld), peImageWithVersion("v1", 1, 0));
  EXPECT_FALSE(h.os.contents(kResult));
  EXPECT_EQ(h.services.calls(ServiceOp::SendStop), 0u);
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace) + h.os.calls(FileOp::RenameOpenFile), 0u);

  Harness none;
  setUpRollbackScene(none);
  none.os.removeFile(kOld);
  EXPECT_EQ(none.run(kRollback + u" --check"), 3);
}

TEST(Rollback, TheJournalSaysItWasARollback) {
  JournalRecord record;
  record.serviceName = u"QZAgent";
  record.rollback = true;
  record.next = {1, 2, 3, 4};
  record.nextSha256 = std::u16string(64, u'a');
  const auto text = formatJournal(record);
  EXPECT_THAT(text, HasSubstr("\r\nmode: rollback\r\n"));
  ASSERT_TRUE(parseJournal(text));
  EXPECT_TRUE(parseJournal(text)->rollback);
  record.rollback = false;
  EXPECT_THAT(formatJournal(record), ::testing::Not(HasSubstr("mode:")));
  auto other = text;
  other.replace(other.find("mode: rollback"), 14, "mode: update!");
  EXPECT_FALSE(parseJournal(other));
}

// A rollback killed at any call, then the same command again (what a
// deployment does when it lost the outcome): it ends rolled back, once,
// with every version where it belongs, whether the dead run had confirmed
// its rollback or not (a confirmed one is finished, not reversed). A plain update in its place undoes or finishes the
// dead rollback and loses nothing either.
TEST(Rollback, AfterADeathAtAnyCallTheRetryEndsRolledBackOnce) {
  unsigned calls = 0;
  {
    Harness clean;
    setUpRollbackScene(clean);
    const unsigned before = clean.os.lifeline().calls();
    ASSERT_EQ(clean.run(kRollback), 0);
    calls = clean.os.lifeline().calls() - before;
  }
  ASSERT_GT(calls, 30u);
  for (unsigned nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE(::testing::Message() << "killed at call " << nth);
    Harness h;
    setUpRollbackScene(h);
    ASSERT_FALSE(h.runDyingAt(kRollback, nth).has_value());
    // Once its journal is gone the rollback is over, and the same command
    // is a second rollback: it goes forward again, as asked.
    const bool over = !h.os.contents(kJournal) && h.os.contents(kCurrent) == kV1;
    const auto out = h.out().size();
    EXPECT_EQ(h.run(kRollback), 0) << h.out().substr(out);
    if (over) {
      expectVersions(h, kV2, kV1);
    } else {
      expectVersions(h, kV1, kV2);
    }

    Harness update;
    setUpRollbackScene(update);
    update.os.removeFile(kNew);
    ASSERT_FALSE(update.runDyingAt(kRollback, nth).has_value());
    const int status = update.run(u"--service-name QZAgent --exit-code --stop-dependents");
    EXPECT_EQ(status, 3) << update.out();
    const auto current = update.os.contents(kCurrent);
    EXPECT_EQ(current == kV1 ? kV2 : kV1, update.os.contents(kOld)) << "both versions, each at one name";
    EXPECT_FALSE(update.os.contents(kAside));
    EXPECT_FALSE(update.os.contents(kJournal));
    EXPECT_EQ(update.services.find(u"QZAgent")->runningImage, current);
    EXPECT_EQ(update.services.find(u"QZB")->state, platform::kServiceRunning);
  }
}

}  // namespace
}  // namespace usqz
