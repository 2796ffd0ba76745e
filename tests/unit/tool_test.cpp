// The tool from its entry: usage, the missing new version, and failures of
// standard output that escape every handler.
#include <gtest/gtest.h>

#include "harness.h"
#include "platform/text.h"

namespace usqz {
namespace {

using namespace usqz::testing;

const std::string kUsage = lines({"", "Uso: updateserviceqz --service-name nome_do_servico", ""});
const std::string kMissingNewResult = "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n";

TEST(Usage, WithoutAServiceNameTouchesNoFileAndNoService) {
  for (const auto* arguments : {u"", u"/quiet", u"--service-name", u"--service-name A --service-name",
                                u"--SERVICE-NAME A", u"--service-name \"\""}) {
    Harness h;
    h.os.putFile(kResult, "old\r\n");
    EXPECT_EQ(h.run(arguments), 0);
    EXPECT_EQ(h.out(), kUsage) << toUtf8(arguments);
    EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::CreateNewFile) + h.os.calls(FileOp::FileExists),
              0u);
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
    EXPECT_EQ(h.os.contents(kResult), "old\r\n");
  }
}

// A mistyped option beside a service name or a release is refused before
// anything is touched, the result file included; without either, the
// usage text as ever; arguments that are no "--" word are ignored.
TEST(UnknownOptions, AreRefusedBeforeAnythingIsTouchedAndOnlyThen) {
  const std::string hex(64, 'a');
  const std::u16string hex16(64, u'a');
  const std::string refused = "Erro: Op\xE7\xE3o inv\xE1lida: ";
  const std::string unknown = ": op\xE7\xE3o desconhecida";
  struct Case {
    std::u16string arguments;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {u"--service-name QZAgent --exit-code --sha265 " + hex16, 2, refused + "--sha265" + unknown + " (seria --sha256?)\r\n"},
      {u"--service-name QZAgent --sha265 " + hex16, 0, refused + "--sha265" + unknown + " (seria --sha256?)\r\n"},
      {u"--Require-Signature --service-name QZAgent --exit-code", 2,
       refused + "--Require-Signature" + unknown + " (seria --require-signature?)\r\n"},
      {u"--service-name QZAgent --no-downgrad --exit-code", 2,
       refused + "--no-downgrad" + unknown + " (seria --no-downgrade?)\r\n"},
      {u"--service-name QZAgent --exit-code --sha256=" + hex16, 2,
       refused + "--sha256=" + hex + unknown + " (seria --sha256?)\r\n"},
      {u"--service-name QZAgent --exit-code --quiet", 2, refused + "--quiet" + unknown + "\r\n"},
      {u"--release C:\\svc\\release.json --exit-code --same-signr", 2,
       refused + "--same-signr" + unknown + " (seria --same-signer?)\r\n"},
      // An option's name behind a hyphen, a slash or a typeset dash.
      {u"--service-name QZAgent --exit-code -sha256 " + hex16, 2,
       refused + "-sha256: op\xE7\xE3o sem o prefixo -- (seria --sha256?)\r\n"},
      {u"/require-signature --service-name QZAgent --exit-code", 2,
       refused + "/require-signature: op\xE7\xE3o sem o prefixo -- (seria --require-signature?)\r\n"},
      {u"--service-name QZAgent --exit-code \u2014no-downgrade", 2,
       Harness().os.toNarrow(u"Erro: Opção inválida: \u2014no-downgrade: opção sem o prefixo -- (seria --no-downgrade?)",
                             platform::CodePage::Ansi) +
           "\r\n"},
      // Neither a service nor a release: the usage text, as ever.
      {u"--sha265 " + hex16, 0, kUsage},
      {u"-sha256 " + hex16 + u" -service-name QZAgent", 0, kUsage},
      {u"--exit-code --Service-Name QZAgent", 2, kUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.arguments));
    Harness h;
    h.os.putFile(kResult, "old\r\n");
    h.os.putFile(kCurrent, kV1);
    h.os.putFile(kNew, kV2);
    h.os.putFile(u"C:\\svc\\release.json", R"({"services": [{"name": "QZAgent"}]})");
    EXPECT_EQ(h.run(c.arguments), c.status);
    EXPECT_EQ(h.out(), c.out);
    EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::CreateNewFile) + h.os.calls(FileOp::FileExists) +
                  h.os.calls(FileOp::Inspect) + h.os.calls(FileOp::ReadFileHead) + h.os.calls(FileOp::TryLock),
              0u);
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
    EXPECT_EQ(h.os.contents(kResult), "old\r\n");
    EXPECT_EQ(h.os.contents(kCurrent), kV1);
    EXPECT_EQ(h.os.contents(kNew), kV2);
  }
}

// "/quiet", bare words and single-hyphen words change nothing in a run.
TEST(UnknownOptions, OtherArgumentsAreIgnoredAsEver) {
  Harness h;
  EXPECT_EQ(h.run(u"/quiet --service-name QZAgent -x bare -sha265 --exit-code"), 3);
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZAGENT", ""}));
  EXPECT_EQ(h.os.contents(kResult), kMissingNewResult);
}

TEST(Usage, OnAConsoleEachLineIsWrittenAtOnce) {
  Harness h;
  h.os.setStdout(StdoutKind::Console);
  EXPECT_EQ(h.run(u""), 0);
  EXPECT_EQ(h.os.stdoutWrites().size(), 3u);
}

TEST(Usage, MissingStandardOutputEscapesWithAReportAndStatus1) {
  Harness h;
  h.os.setStdout(StdoutKind::Missing);
  EXPECT_EQ(h.run(u""), 1);
  const std::string err = h.os.stderrBytes();
  ASSERT_EQ(err.rfind("Exception EInOutError in module UpdateServiceQZ.exe at ", 0), 0u) << err;
  EXPECT_EQ(err.size(), std::string("Exception EInOutError in module UpdateServiceQZ.exe at 01234567.").size() +
                            std::string("\r\nI/O error 105.\r\n\r\n").size());
  EXPECT_EQ(err.substr(err.size() - 21), ".\r\nI/O error 105.\r\n\r\n");
}

TEST(MissingNewVersion, ReportedWithTheNameInCapitalsAndRecorded) {
  Harness h;
  h.os.putFile(u"updateServiceQZ-qzagent.txt", "Atualizado com sucesso!\r\n");
  EXPECT_EQ(h.run(u"--service-name qzagent"), 0);
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZAGENT", ""}));
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-qzagent.txt"), kMissingNewResult);
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  EXPECT_EQ(h.os.openFiles(), 0u);
}

TEST(MissingNewVersion, ADirectoryNamedLikeTheNewVersionDoesNotCount) {
  Harness h;
  h.os.addDirectory(kNew);
  EXPECT_EQ(h.run(u"--service-name QZAgent"), 0);
  EXPECT_EQ(h.os.contents(kResult), kMissingNewResult);
}

TEST(MissingNewVersion, SplitArgumentsAreUsedAsTheyAre) {
  Harness h;
  h.os.setArguments({u"/usr/bin/tool", u"--service-name", u"QZ \"odd\" name"});
  EXPECT_EQ(runTool(h.platform), 0);
  EXPECT_TRUE(h.os.contents(u"updateServiceQZ-QZ \"odd\" name.txt"));
}

TEST(MissingNewVersion, QuotedArgumentsAndOddCharactersFlowIntoTheNames) {
  Harness h;
  EXPECT_EQ(h.run(u"\"--service-name\" \"QZ My\tAgent\" /x"), 0);
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZ MY\tAGENT", ""}));
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-QZ My\tAgent.txt"), kMissingNewResult);
}

TEST(MissingNewVersion, ResultFileThatCannotBeWrittenIsReportedAndTheRunEndsWith0) {
  Harness h;
  const std::u16string longName(10'000, u'n');
  EXPECT_EQ(h.run(u"--service-name " + longName), 0);
  const std::string narrowName(10'000, 'n');
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o " + std::string(10'000, 'N'), "",
                            "Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-" + narrowName +
                                ".txt. Erro: Invalid filename"}));
  EXPECT_EQ(h.os.calls(FileOp::CreateNewFile), 0u);
}

TEST(MissingNewVersion, NonAsciiLettersPassThroughAndOnlyAToZAreCapitalised) {
  Harness h;
  EXPECT_EQ(h.run(u"--service-name QZservi\u00e7o\u4E2D"), 0);
  // Windows-1252 has 'ç' but no CJK: that one becomes the default character.
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZSERVI\xE7O?", ""}));
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-QZservi\u00e7o\u4E2D.txt"), kMissingNewResult);
}

// The run deletes, moves and writes files under names made from the service
// name: none of them may reach outside its folder or into an NTFS stream.
TEST(NamesOutsideTheirFolder, EndTheRunBeforeAnyFileOrServiceIsTouched) {
  for (const auto* name : {u"QZ\\..\\..\\x", u"QZa:b"}) {
    Harness h;
    const std::u16string item = std::u16string(name).substr(2);
    h.os.putFile(u"C:\\svc\\qz_" + item + u".new", kV2);
    EXPECT_EQ(h.run(u"--service-name " + std::u16string(name)), 0);
    const std::string narrow = toUtf8(name);
    EXPECT_EQ(h.out(), lines({"Ocorreu um erro ao atualizar o servi\xE7o: " + narrow +
                                  ". Erro: Nome de servi\xE7o inv\xE1lido para os arquivos da ferramenta: C:\\svc\\qz_" +
                                  toUtf8(item) + ".exe",
                              "Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-" + narrow +
                                  ".txt. Erro: Invalid filename"}));
    EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::CreateNewFile) +
                  h.os.calls(FileOp::MoveNoReplace) + h.os.calls(FileOp::FileExists),
              0u);
    EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  }
}

TEST(NamesOutsideTheirFolder, AResultFileAboveTheWorkingDirectoryIsNeitherDeletedNorWritten) {
  Harness h;
  // "Q\..\..\x": the executables stay in C:\svc\qz_..\, the result file
  // would climb out.
  h.os.addDirectory(u"C:\\svc\\qz_..");
  EXPECT_EQ(h.run(u"--service-name Q\\..\\..\\x"), 0);
  EXPECT_EQ(h.out(), lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o Q\\..\\..\\X", "",
                            "Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-Q\\..\\..\\x.txt. "
                            "Erro: Invalid filename"}));
  EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::CreateNewFile), 0u);
}

TEST(OwnPath, AToolThatCannotReadItsWholePathEndsWithTheEscapedErrorReport) {
  Harness h;
  h.os.setOwnExecutablePath(std::nullopt);
  h.os.putFile(kNew, kV2);
  EXPECT_EQ(h.run(u"--service-name QZAgent"), 1);
  EXPECT_EQ(h.os.stderrBytes().rfind("Exception Exception in module UpdateServiceQZ.exe at ", 0), 0u);
  EXPECT_NE(h.os.stderrBytes().find(".\r\nN\xC6o foi poss\xA1vel ler o caminho da ferramenta.\r\n\r\n"),
            std::string::npos)
      << h.os.stderrBytes();
  EXPECT_EQ(h.os.calls(FileOp::RemoveFile) + h.os.calls(FileOp::FileExists), 0u);
  EXPECT_EQ(h.services.calls(ServiceOp::OpenManager), 0u);
  // Usage needs no path.
  EXPECT_EQ(h.run(u""), 0);
}

TEST(MissingNewVersion, SlashesInTheNameMakeTheResultFileUnwritable) {
  Harness h;
  EXPECT_EQ(h.run(u"--service-name QZa\\b"), 0);
  EXPECT_NE(h.out().find("Ocorreu um erro ao tentar salvar resultado no arquivo updateServiceQZ-QZa\\b.txt. Erro: "
                         "Invalid filename\r\n"),
            std::string::npos)
      << h.out();
}

TEST(MissingNewVersion, AReadOnlyResultFileKeepsItsOldContent) {
  Harness h;
  h.os.putFile(kResult, "Atualizado com sucesso!\r\n");
  h.os.setReadOnly(kResult);
  EXPECT_EQ(h.run(u"--service-name QZAgent"), 0);
  EXPECT_EQ(h.os.contents(kResult), "Atualizado com sucesso!\r\n");
  EXPECT_NE(h.out().find("Erro: File access denied\r\n"), std::string::npos);
}

// Output never steers a run: without a usable standard output the run
// still does its work and records its outcome, then reports the failed
// output as an escaped error.
TEST(MissingNewVersion, MissingStandardOutputIsReportedOnceTheOutcomeIsRecorded) {
  Harness h;
  h.os.setStdout(StdoutKind::Missing);
  h.os.putFile(kResult, "old\r\n");
  EXPECT_EQ(h.run(u"--service-name QZAgent --exit-code"), 1);
  EXPECT_EQ(h.os.contents(kResult), kMissingNewResult);
  EXPECT_NE(h.os.stderrBytes().find("EInOutError"), std::string::npos);
  EXPECT_EQ(h.os.stderrBytes().substr(h.os.stderrBytes().size() - 21), ".\r\nI/O error 105.\r\n\r\n");
}

TEST(MissingNewVersion, AFailedWriteWhenRedirectedIsReportedOnceTheOutcomeIsRecorded) {
  Harness h;
  const std::u16string name = u"QZ" + std::u16string(200, u'a');
  h.os.faults().failCall(FileOp::WriteStdout, 1, 232);
  EXPECT_EQ(h.run(u"--service-name " + name), 1);
  EXPECT_EQ(h.os.contents(u"updateServiceQZ-" + name + u".txt"), kMissingNewResult);
  EXPECT_EQ(h.os.stderrBytes().substr(h.os.stderrBytes().size() - 21), ".\r\nI/O error 232.\r\n\r\n");
}

}  // namespace
}  // namespace usqz
