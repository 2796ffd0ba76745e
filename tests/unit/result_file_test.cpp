#include "common/result_file.h"

#include <gtest/gtest.h>

#include <functional>

#include "harness.h"
#include "release_scene.h"
#include "sweep_scene.h"

namespace usqz {
namespace {

using namespace usqz::testing;

struct ResultFileTest : ::testing::Test {
  Harness h;
  FakeFileAndProcess& os = h.os;
  Console console{h.os};

  void save(const std::u16string& name, const std::u16string& text) {
    SaveResult(h.platform, console, name, text);
    console.flush();
  }
};

TEST_F(ResultFileTest, HoldsOnlyTheLastMessageInTheAnsiCodePage) {
  save(u"r.txt", u"Erro: primeiro");
  save(u"r.txt", u"Não foi encontrada a nova versão do serviço.");
  EXPECT_EQ(os.contents(u"r.txt"), "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n");
  EXPECT_EQ(os.stdoutBytes(), "");
  EXPECT_EQ(os.openFiles(), 0u);
}

TEST_F(ResultFileTest, CharactersOutsideTheCodePageBecomeItsDefault) {
  save(u"r.txt", u"a\u4E2Db");
  EXPECT_EQ(os.contents(u"r.txt"), "a?b\r\n");
}

TEST_F(ResultFileTest, ReadOnlyFileIsReportedAndKeepsItsContent) {
  os.putFile(u"r.txt", "old\r\n");
  os.setReadOnly(u"r.txt");
  save(u"r.txt", u"Atualizado com sucesso!");
  EXPECT_EQ(os.contents(u"r.txt"), "old\r\n");
  EXPECT_EQ(os.stdoutBytes(),
            "Ocorreu um erro ao tentar salvar resultado no arquivo r.txt. Erro: File access denied\r\n");
}

TEST_F(ResultFileTest, NameOf259CharactersIsWrittenAndOneMoreIsAnInvalidFilename) {
  const std::u16string fits(259, u'a');
  save(fits, u"ok");
  EXPECT_EQ(os.contents(fits), "ok\r\n");

  const std::u16string tooLong(260, u'b');
  save(tooLong, u"ok");
  EXPECT_FALSE(os.contents(tooLong));
  EXPECT_EQ(os.calls(FileOp::CreateNewFile), 1u);
  EXPECT_EQ(os.calls(FileOp::Inspect), 1u);
  EXPECT_EQ(os.stdoutBytes(), "Ocorreu um erro ao tentar salvar resultado no arquivo " + std::string(260, 'b') +
                                  ". Erro: Invalid filename\r\n");
}

TEST_F(ResultFileTest, MissingDirectoryIsReported) {
  save(u"nowhere\\r.txt", u"x");
  EXPECT_EQ(os.stdoutBytes(),
            "Ocorreu um erro ao tentar salvar resultado no arquivo nowhere\\r.txt. Erro: Invalid filename\r\n");
}

struct FailingStep {
  FileOp operation;
  std::uint32_t code;
  const char* message;
};

struct ResultFileFailureTest : ResultFileTest, ::testing::WithParamInterface<FailingStep> {};

TEST_P(ResultFileFailureTest, EachFailingStepIsReportedAndTheFileIsClosed) {
  const auto step = GetParam();
  os.putFile(u"r.txt", "old\r\n");
  os.faults().failCall(step.operation, 1, step.code);
  save(u"r.txt", u"Atualizado com sucesso!");
  EXPECT_EQ(os.stdoutBytes(), std::string("Ocorreu um erro ao tentar salvar resultado no arquivo r.txt. Erro: ") +
                                  step.message + "\r\n");
  EXPECT_EQ(os.openFiles(), 0u);
  // The old file whole, and no temporary file left.
  EXPECT_EQ(os.contents(u"r.txt"), "old\r\n");
  EXPECT_EQ(os.fileNames(), std::vector<std::u16string>{u"r.txt"});
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ResultFileFailureTest,
    ::testing::Values(FailingStep{FileOp::Inspect, 5, "File access denied"},
                      FailingStep{FileOp::CreateNewFile, 5, "File access denied"},
                      FailingStep{FileOp::CreateNewFile, 32, "I/O error 32"},
                      FailingStep{FileOp::WriteBytes, 112, "I/O error 112"},
                      FailingStep{FileOp::WriteBytes, 101, "Disk full"},
                      FailingStep{FileOp::FlushFile, 112, "I/O error 112"},
                      FailingStep{FileOp::CloseFile, 4, "Too many open files"},
                      FailingStep{FileOp::ReplaceFile, 5, "File access denied"}));

// The temporary file's name is drawn anew while one is taken, and a file
// planted at one is neither written through nor deleted.
TEST_F(ResultFileTest, WrittenBesideUnderANameNobodyCanGuessAndReadableAsAnyFileThere) {
  const std::u16string first = u"r.txt.9e3779b97f4a7c15.tmp";
  os.putFile(first, "someone's");
  os.makeLink(first);
  save(u"r.txt", u"Atualizado com sucesso!");
  EXPECT_EQ(os.contents(u"r.txt"), "Atualizado com sucesso!\r\n");
  EXPECT_FALSE(os.isPrivate(u"r.txt"));
  EXPECT_EQ(os.contents(first), "someone's");
  EXPECT_EQ(os.fileNames().size(), 2u);
  EXPECT_EQ(os.stdoutBytes(), "");
}

// The working directory may be one anybody can write to: what stands at
// the name and is not a plain file of the tool's stays as it is, the
// start of a run is told why, and the console says the result could not
// be saved.
TEST_F(ResultFileTest, ALinkAFolderOrSomeoneElsesFileAtTheNameIsLeftAsItIs) {
  struct Case {
    const char* what;
    void (*plant)(FakeFileAndProcess&);
    std::u16string why;
  };
  const Case cases[] = {
      {"a link to a file", [](FakeFileAndProcess& f) { f.putFile(u"r.txt", "[fonts]"); f.makeLink(u"r.txt"); },
       u"é um link, não um arquivo"},
      {"a link to nothing", [](FakeFileAndProcess& f) { f.putFile(u"r.txt", ""); f.makeLink(u"r.txt"); },
       u"é um link, não um arquivo"},
      {"a folder or a junction", [](FakeFileAndProcess& f) { f.addDirectory(u"r.txt"); },
       u"é uma pasta, não um arquivo"},
      {"a second hard link", [](FakeFileAndProcess& f) { f.putFile(u"r.txt", "[fonts]"); f.setHardLinks(u"r.txt", 2); },
       u"tem outro nome no disco"},
      {"someone else's file", [](FakeFileAndProcess& f) { f.putFile(u"r.txt", "[fonts]"); f.setForeign(u"r.txt", u"QZ\\alice"); },
       u"pertence a QZ\\alice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness fresh;
    Console out{fresh.os};
    c.plant(fresh.os);
    const auto before = fresh.os.contents(u"r.txt");
    const auto index = fresh.os.fileIndex(u"r.txt");
    EXPECT_EQ(RemoveResult(fresh.platform, u"r.txt"), c.why);
    SaveResult(fresh.platform, out, u"r.txt", u"Atualizado com sucesso!");
    out.flush();
    EXPECT_EQ(fresh.os.stdoutBytes(), "Ocorreu um erro ao tentar salvar resultado no arquivo r.txt. Erro: " +
                                          fresh.os.toNarrow(c.why, platform::CodePage::Ansi) + "\r\n");
    EXPECT_EQ(fresh.os.contents(u"r.txt"), before);
    EXPECT_EQ(fresh.os.fileIndex(u"r.txt"), index);
    EXPECT_EQ(fresh.os.calls(FileOp::RemoveFile) + fresh.os.calls(FileOp::CreateNewFile) +
                  fresh.os.calls(FileOp::ReplaceFile) + fresh.os.calls(FileOp::WriteBytes),
              0u);
    EXPECT_EQ(fresh.os.fileNames().size(), before ? 1u : 0u);
  }
}

// A name that cannot be looked at may hold anything: the run is told why,
// and nothing is removed.
TEST_F(ResultFileTest, ANameThatCannotBeLookedAtIsAReasonToRefuse) {
  os.putFile(u"r.txt", "Atualizado com sucesso!\r\n");
  os.faults().failCall(FileOp::Inspect, 1, 5);
  EXPECT_EQ(RemoveResult(h.platform, u"r.txt"), u"não pôde ser examinado: " + h.texts.describe(5));
  EXPECT_EQ(os.contents(u"r.txt"), "Atualizado com sucesso!\r\n");
  EXPECT_EQ(os.calls(FileOp::RemoveFile), 0u);
}

// The last run's own file, even one others may write (a working directory
// that passes Everyone's rights on), is removed, then replaced.
TEST_F(ResultFileTest, TheLastRunsFileIsRemovedAtTheStartAndReplacedAtTheEnd) {
  os.putFile(u"r.txt", "old\r\n");
  os.setForeign(u"r.txt", u"", {u"Everyone"});
  EXPECT_EQ(RemoveResult(h.platform, u"r.txt"), std::nullopt);
  EXPECT_FALSE(os.contents(u"r.txt"));
  os.putFile(u"r.txt", "old\r\n");
  os.setForeign(u"r.txt", u"", {u"Everyone"});
  save(u"r.txt", u"new");
  EXPECT_EQ(os.contents(u"r.txt"), "new\r\n");
  EXPECT_EQ(os.stdoutBytes(), "");

  // Nothing there, or a failed deletion: nothing to report now.
  os.faults().failCall(FileOp::RemoveFile, 2, 5);
  EXPECT_EQ(RemoveResult(h.platform, u"r.txt"), std::nullopt);
  EXPECT_EQ(RemoveResult(h.platform, u"missing.txt"), std::nullopt);
  EXPECT_EQ(os.contents(u"r.txt"), "new\r\n");
  EXPECT_EQ(os.calls(FileOp::RemoveFile), 2u);
  // A name that leaves the folder is never looked at.
  EXPECT_EQ(RemoveResult(h.platform, u"..\\r.txt"), std::nullopt);
  EXPECT_EQ(os.calls(FileOp::Inspect), 4u);
}

// A whole update with something planted at the result file's name in a
// working directory anybody may write: what it holds could outlive the
// run and tell of another, so the run
// is refused before anything is stopped, the service and its files as
// they were, and what was planted stays.
TEST(ResultFileInARun, WhatIsPlantedAtItsNameRefusesTheRunBeforeTheStop) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> plant;
    std::u16string why;
  };
  const Case cases[] = {
      {"a link to a file", [](Harness& h) { h.os.putFile(kResult, "Atualizado com sucesso!\r\n"); h.os.makeLink(kResult); },
       u"é um link, não um arquivo"},
      {"a link to nothing", [](Harness& h) { h.os.putFile(kResult, ""); h.os.makeLink(kResult); },
       u"é um link, não um arquivo"},
      {"a junction or a folder", [](Harness& h) { h.os.addDirectory(kResult); }, u"é uma pasta, não um arquivo"},
      {"a second hard link",
       [](Harness& h) { h.os.putFile(kResult, "Atualizado com sucesso!\r\n"); h.os.setHardLinks(kResult, 2); },
       u"tem outro nome no disco"},
      {"someone else's file",
       [](Harness& h) { h.os.putFile(kResult, "Atualizado com sucesso!\r\n"); h.os.setForeign(kResult, u"QZ\\mallory"); },
       u"pertence a QZ\\mallory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    auto& service = setUpSweepScene(h, false);
    c.plant(h);
    const auto before = h.os.contents(kResult);
    const auto index = h.os.fileIndex(kResult);
    const auto narrow = [&h](const std::u16string& text) { return h.os.toNarrow(text, platform::CodePage::Ansi); };
    EXPECT_EQ(h.run(kSweepArguments), 10);
    EXPECT_EQ(h.out(), "Ocorreu um erro ao atualizar o servi\xE7o: QZAgent. Erro: O arquivo de resultado "
                       "updateServiceQZ-QZAgent.txt n\xE3o pode ser substitu\xED" "do: " +
                           narrow(c.why) +
                           "\r\nOcorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-QZAgent.txt. Erro: " +
                           narrow(c.why) + "\r\n");
    EXPECT_EQ(h.os.contents(kResult), before);
    EXPECT_EQ(h.os.fileIndex(kResult), index);
    // The service and its files as they were.
    EXPECT_EQ(service.state, platform::kServiceRunning);
    EXPECT_EQ(h.services.find(u"QZB")->state, platform::kServiceRunning);
    EXPECT_EQ(h.os.contents(kCurrent), kV1);
    EXPECT_EQ(h.os.contents(kNew), kV2);
    EXPECT_EQ(h.os.contents(kOld), "v0");
    EXPECT_FALSE(h.os.contents(kCopy));
    EXPECT_FALSE(h.os.contents(kJournal));
    EXPECT_TRUE(h.services.requests().empty());
  }
}

// In a release, the last member's: no member is stopped, each on the
// version it ran, and each result file that is the tool's says why.
TEST(ResultFileInARun, WhatIsPlantedAtAMembersNameRefusesTheReleaseBeforeAnyStop) {
  Harness h;
  setUpReleaseScene(h);
  const auto& last = kMembers.back();
  h.os.putFile(last.result(), "Atualizado com sucesso!\r\n");
  h.os.makeLink(last.result());
  EXPECT_EQ(h.run(kReleaseArguments), 10) << h.out();
  EXPECT_TRUE(h.services.requests().empty());
  EXPECT_EQ(h.os.contents(last.result()), "Atualizado com sucesso!\r\n");
  for (const auto& member : kMembers) {
    SCOPED_TRACE(toUtf8(member.name));
    EXPECT_EQ(h.os.contents(member.exe()), versionOf(member, "v1"));
    EXPECT_EQ(h.os.contents(member.next()), versionOf(member, "v2"));
    EXPECT_TRUE(runsItsFile(h, member));
    EXPECT_FALSE(h.os.contents(member.journal()));
    EXPECT_FALSE(h.os.contents(member.copy()));
    if (&member != &last) {
      EXPECT_EQ(h.os.contents(member.result()),
                "Erro: a atualiza\xE7\xE3o conjunta foi recusada pelo servi\xE7o QZStore\r\n");
    }
  }
}

TEST_F(ResultFileTest, OnlyAFailureOfTheReportItselfReachesTheCaller) {
  os.setStdout(StdoutKind::Missing);
  os.faults().failCall(FileOp::CreateNewFile, 1, 5);
  try {
    SaveResult(h.platform, console, u"r.txt", u"x");
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error.message(), u"I/O error 105");
  }
}

}  // namespace
}  // namespace usqz
