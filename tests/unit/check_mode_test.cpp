// --check: every check a run makes before the stop, and what it would do,
// with nothing changed: no stop, no move, no registration, no journal, no
// result file written or deleted.
#include <functional>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "run/run_lock.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;
using ::testing::HasSubstr;

const std::u16string kCheck = u"--service-name QZAgent --exit-code --check --stop-dependents";

// Whatever it said, nothing changed.
void expectNothingChanged(Harness& h) {
  EXPECT_EQ(h.os.contents(kCurrent), kV1);
  EXPECT_EQ(h.os.contents(kNew), kV2);
  EXPECT_EQ(h.os.contents(kOld), "v0");
  EXPECT_EQ(h.os.contents(kResult), "anterior\r\n");
  EXPECT_FALSE(h.os.contents(kJournal));
  EXPECT_EQ(h.services.calls(ServiceOp::SendStop) + h.services.calls(ServiceOp::SendStart) +
                h.services.calls(ServiceOp::RegisterService),
            0u);
  // The journal's folder is tried as the run would write it, and nothing
  // is left of the try.
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace) + h.os.calls(FileOp::CreateNewFile) + h.os.calls(FileOp::RenameOpenFile),
            0u);
  EXPECT_FALSE(h.os.contents(kJournal + u".tmp"));
  EXPECT_EQ(h.services.openHandles() + h.os.openFiles() + h.os.locksHeld(), 0u);
}

struct CheckMode : ::testing::Test {
  Harness h;
  void SetUp() override {
    setUpSweepScene(h, false);
    h.os.putFile(kResult, "anterior\r\n");
  }
};

TEST_F(CheckMode, SaysWhatTheUpdateWouldDo) {
  EXPECT_EQ(h.run(kCheck), 0);
  EXPECT_EQ(h.out(), lines({"SCManager :: conectado", "Service :: name: QZAgent", "Service :: encontrado",
                            "Service :: status: iniciado",
                            "Vers\xF5" "es :: atual: sem n\xFAmero de vers\xE3o (qz_Agent.exe)",
                            "Vers\xF5" "es :: nova: sem n\xFAmero de vers\xE3o (qz_Agent.new)", "",
                            "Verifica\xE7\xE3o: a atualiza\xE7\xE3o seguiria adiante; nada foi alterado. Ela:",
                            "  -> pararia os dependentes: QZB", "  -> pararia o servi\xE7o",
                            "  -> removeria a vers\xE3o antiga (OLD)",
                            "  -> faria o backup da vers\xE3o atual: EXE -> OLD",
                            "  -> ativaria a nova vers\xE3o: NEW -> EXE", "  -> iniciaria o servi\xE7o", ""}));
  expectNothingChanged(h);
  EXPECT_EQ(h.run(u"--service-name QZAgent --check --stop-dependents"), 0);
}

TEST_F(CheckMode, AServiceToRegister) {
  Harness fresh;
  fresh.os.putFile(kNew, kV2);
  EXPECT_EQ(fresh.run(u"--service-name QZAgent --exit-code --check"), 0);
  EXPECT_THAT(fresh.out(), HasSubstr("Service :: N\xC3O encontrado\r\nVers\xF5" "es :: nova: sem n\xFAmero de vers\xE3o "
                                     "(qz_Agent.new)\r\n\r\nVerifica\xE7\xE3o: a atualiza\xE7\xE3o seguiria "
                                     "adiante; nada foi alterado. Ela:\r\n  -> registraria o servi\xE7o\r\n  -> ativaria a "
                                     "nova vers\xE3o: NEW -> EXE\r\n  -> iniciaria o servi\xE7o\r\n"));
  EXPECT_EQ(fresh.services.serviceCount(), 0u);
  EXPECT_FALSE(fresh.os.contents(kResult));
}

// Each outcome a check can have, as its status says it.
TEST_F(CheckMode, RefusedNothingToDoOrBusy) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> scene;
    int status;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"dependents without the option",
       [](Harness&) {}, 10, "Erro: Erro ao parar o servi\xE7o: servi\xE7os dependentes em execu\xE7\xE3o: QZB"},
      {"disabled", [](Harness& h) { h.services.find(u"QZAgent")->startType = platform::kServiceDisabled; }, 10,
       "Erro: O servi\xE7o est\xE1 desativado"},
      {"damaged new version", [](Harness& h) { h.os.putFile(kNew, "MZ"); }, 10,
       "Erro: A nova vers\xE3o n\xE3o \xE9 um execut\xE1vel v\xE1lido"},
      {"older backup held", [](Harness& h) { h.os.setLocked(kOld); }, 10, "Erro: O backup antigo n\xE3o pode ser removido"},
      {"no new version", [](Harness& h) { h.os.removeFile(kNew); }, 3, "N\xE3o foi encontrada a nova vers\xE3o"},
      {"busy", [](Harness& h) { h.os.holdLockElsewhere(runLockName(u"C:\\SVC\\QZ_AGENT.EXE")); }, 1618,
       "j\xE1 est\xE1 em andamento"},
  };
  for (const auto& c : cases) {
    Harness h;
    setUpSweepScene(h, false);
    h.os.putFile(kResult, "anterior\r\n");
    c.scene(h);
    const bool withDependents = std::string(c.what) != "dependents without the option";
    EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code --check" +
                    std::u16string(withDependents ? u" --stop-dependents" : u"")),
              c.status)
        << c.what;
    EXPECT_THAT(h.out(), HasSubstr(c.says)) << c.what;
    EXPECT_EQ(h.os.contents(kResult), "anterior\r\n") << c.what;
    EXPECT_FALSE(h.os.contents(kJournal)) << c.what;
    EXPECT_EQ(h.services.calls(ServiceOp::SendStop), 0u) << c.what;
  }
}

// An interrupted run's journal is reported with what undoing it would
// take, not acted upon.
TEST_F(CheckMode, AnInterruptedRunIsReportedNotUndone) {
  const unsigned nth = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  Harness dead;
  setUpSweepScene(dead, false);
  dead.runDyingAt(kSweepArguments, nth);
  const auto journal = dead.os.contents(kJournal);
  ASSERT_TRUE(journal);
  const auto before = dead.out().size();
  EXPECT_EQ(dead.run(kCheck), 0);
  EXPECT_EQ(dead.out().substr(before),
            lines({"",
                   "Verifica\xE7\xE3o: uma atualiza\xE7\xE3o anterior foi interrompida; nada foi alterado. A pr\xF3xima "
                   "execu\xE7\xE3o, antes de tudo:",
                   "  -> desfaria a atualiza\xE7\xE3o anterior interrompida (etapa: swapping)",
                   "  -> pararia o servi\xE7o", "  -> devolveria a nova vers\xE3o: EXE -> NEW",
                   "  -> restauraria a vers\xE3o anterior: OLD -> EXE",
                   "  -> iniciaria o servi\xE7o se n\xE3o estiver em execu\xE7\xE3o",
                   "  -> iniciaria os dependentes: QZB", "e ent\xE3o tentaria a atualiza\xE7\xE3o de novo", ""}));
  EXPECT_EQ(dead.os.contents(kJournal), journal);
  EXPECT_EQ(dead.os.contents(kCurrent), kV2);
}

// --check answers as the run would: whatever would stop the run before its
// first step makes the check refuse with the same status, and changes
// nothing.
TEST(CheckAgrees, WithTheRunOnEveryRefusalBeforeTheFirstStep) {
  const unsigned swapped = firstDeathLeaving(false, [](Harness& h) { return h.os.contents(kCurrent) == kV2; });
  const auto otherHash = u" --sha256 " + std::u16string(64, u'0');
  const std::vector<std::tuple<const char*, std::function<void(Harness&)>, int, const char*, std::u16string>> cases = {
      {"a pending journal, then a new version the options refuse",
       [&](Harness& h) { h.runDyingAt(kSweepArguments, swapped); }, 10, "A nova vers\xE3o n\xE3o \xE9 a esperada",
       otherHash},
      {"a pending journal someone else owns",
       [&](Harness& h) {
         h.runDyingAt(kSweepArguments, swapped);
         h.os.setForeign(kJournal, u"QZ\\mallory");
       },
       12, "n\xE3o \xE9 confi\xE1vel", u""},
      {"a folder where the journal goes", [](Harness& h) { h.os.addDirectory(kJournal); }, 12,
       "C:\\svc\\qz_Agent.journal \xE9 uma pasta", u""},
      {"a folder the run may not write",
       [](Harness& h) { h.os.faults().failAlways(FileOp::CreatePrivateFile, platform::kErrorAccessDenied); }, 10,
       "N\xE3o foi poss\xEDvel gravar o di\xE1rio da atualiza\xE7\xE3o C:\\svc\\qz_Agent.journal: Access is denied", u""},
      {"a link at the result file's name",
       [](Harness& h) {
         h.os.putFile(kResult, "Atualizado com sucesso!\r\n");
         h.os.makeLink(kResult);
       },
       10, "updateServiceQZ-QZAgent.txt n\xE3o pode ser substitu\xED" "do: \xE9 um link, n\xE3o um arquivo", u""},
      {"no right to register a missing service",
       [](Harness& h) {
         h.services.removeService(u"QZB");
         h.services.removeService(u"QZAgent");
         h.services.setGrantedManagerRights(platform::kManagerConnect);
       },
       10, "Erro ao instalar o servi\xE7o: Access is denied", u""},
  };
  for (const auto& [what, set, status, says, options] : cases) {
    SCOPED_TRACE(what);
    Harness check;
    setUpSweepScene(check, false);
    check.texts.set(5, u"Access is denied.");
    set(check);
    const auto files = check.os.fileNames();
    const auto out = check.out().size();
    EXPECT_EQ(check.run(kSweepArguments + options + u" --check"), status) << check.out().substr(out);
    EXPECT_THAT(check.out().substr(out), HasSubstr(says));
    EXPECT_EQ(check.os.fileNames(), files);

    Harness run;
    setUpSweepScene(run, false);
    run.texts.set(5, u"Access is denied.");
    set(run);
    EXPECT_EQ(run.run(kSweepArguments + options), status) << run.out();
  }
}

}  // namespace
}  // namespace usqz
