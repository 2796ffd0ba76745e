#include "common/result_file.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace usqz {
namespace {

using namespace usqz::testing;

struct ResultFileTest : ::testing::Test {
  VirtualClock clock;
  FakeFileAndProcess os{clock};
  Console console{os};

  void save(const std::u16string& name, const std::u16string& text) {
    SaveResult(os, console, name, text);
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
  EXPECT_EQ(os.calls(FileOp::CreateTextFile), 1u);
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
  const char* leftInFile;  // nullptr: no file
};

struct ResultFileFailureTest : ResultFileTest, ::testing::WithParamInterface<FailingStep> {};

TEST_P(ResultFileFailureTest, EachFailingStepIsReportedAndTheFileIsClosed) {
  const auto step = GetParam();
  os.faults().failCall(step.operation, 1, step.code);
  save(u"r.txt", u"Atualizado com sucesso!");
  EXPECT_EQ(os.stdoutBytes(), std::string("Ocorreu um erro ao tentar salvar resultado no arquivo r.txt. Erro: ") +
                                  step.message + "\r\n");
  EXPECT_EQ(os.openFiles(), 0u);
  if (step.leftInFile == nullptr) {
    EXPECT_FALSE(os.contents(u"r.txt"));
  } else {
    EXPECT_EQ(os.contents(u"r.txt"), step.leftInFile);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ResultFileFailureTest,
    ::testing::Values(FailingStep{FileOp::CreateTextFile, 5, "File access denied", nullptr},
                      FailingStep{FileOp::CreateTextFile, 32, "I/O error 32", nullptr},
                      FailingStep{FileOp::WriteBytes, 112, "I/O error 112", ""},
                      FailingStep{FileOp::WriteBytes, 101, "Disk full", ""},
                      FailingStep{FileOp::CloseFile, 4, "Too many open files", "Atualizado com sucesso!\r\n"}));

TEST_F(ResultFileTest, AFailedDeletionOfTheOldFileIsNotItselfReported) {
  os.putFile(u"r.txt", "old\r\n");
  os.faults().failCall(FileOp::RemoveFile, 1, 5);
  save(u"r.txt", u"new");
  EXPECT_EQ(os.contents(u"r.txt"), "new\r\n");
  EXPECT_EQ(os.stdoutBytes(), "");
}

TEST_F(ResultFileTest, OnlyAFailureOfTheReportItselfReachesTheCaller) {
  os.setStdout(StdoutKind::Missing);
  os.faults().failCall(FileOp::CreateTextFile, 1, 5);
  try {
    SaveResult(os, console, u"r.txt", u"x");
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error.message(), u"I/O error 105");
  }
}

}  // namespace
}  // namespace usqz
