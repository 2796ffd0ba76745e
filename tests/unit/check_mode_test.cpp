// --check: every check a run makes before the stop, and what it would do,
// with nothing changed: no stop, no move, no registration, no journal, no
// result file written or deleted.
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
  EXPECT_EQ(h.os.calls(FileOp::MoveNoReplace) + h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::CreateTextFile) +
                h.os.calls(FileOp::RenameOpenFile),
            0u);
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
                            "Service :: status: iniciado", "",
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
  EXPECT_THAT(fresh.out(), HasSubstr("Service :: N\xC3O encontrado\r\n\r\nVerifica\xE7\xE3o: a atualiza\xE7\xE3o seguiria "
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
                   "  -> iniciaria os dependentes: QZB", ""}));
  EXPECT_EQ(dead.os.contents(kJournal), journal);
  EXPECT_EQ(dead.os.contents(kCurrent), kV2);
}

}  // namespace
}  // namespace usqz
