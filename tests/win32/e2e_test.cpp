// The real UpdateServiceQZ.exe, run as an operator's script runs it: from its
// own folder, standard output redirected to a file, under Wine here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "support/console_lines.h"
#include "support/tool_process.h"
#include "win32_test_environment.h"

namespace usqz::testing {
namespace {

const std::string kMissingNewResult = "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n";

// The tool copied into a folder of its own, which is also the working
// directory of every run.
struct ToolFolder : ::testing::Test {
  ScratchDirectory folder;
  std::u16string tool = folder / u"UpdateServiceQZ.exe";

  void SetUp() override { copyFile(builtTool(), tool); }

  ProcessResult run(const std::u16string& arguments, Stdout mode = Stdout::File) {
    return runProcess(u"\"" + tool + u"\" " + arguments, folder.path(), mode);
  }
};

TEST_F(ToolFolder, UsageWithoutAServiceName) {
  for (const auto* arguments : {u"", u"/quiet", u"--service-name", u"--Service-Name QZAgent"}) {
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 0u);
    EXPECT_EQ(result.out, lines({"", "Uso: updateserviceqz --service-name nome_do_servico", ""}));
    EXPECT_EQ(result.err, "");
  }
  EXPECT_FALSE(fileExists(folder / u"updateServiceQZ-QZAgent.txt"));
}

TEST_F(ToolFolder, MissingNewVersionIsReportedAndRecordedInCodePage1252) {
  writeFile(folder / u"updateServiceQZ-qzagent.txt", "Atualizado com sucesso!\r\n");
  const auto result = run(u"--service-name qzagent");
  EXPECT_EQ(result.exitStatus, 0u);
  EXPECT_EQ(result.out, lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZAGENT", ""}));
  EXPECT_EQ(readFile(folder / u"updateServiceQZ-qzagent.txt"), kMissingNewResult);
  EXPECT_EQ(run(u"--service-name qzagent --exit-code").exitStatus, 3u);
  EXPECT_EQ(run(u"--exit-code").exitStatus, 2u);
}

TEST_F(ToolFolder, QuotedArgumentsFollowTheToolsOwnSplittingRules) {
  // An empty quoted pair yields no argument; quotes inside an argument are
  // dropped; a backslash escapes nothing.
  auto result = run(u"--service-name \"\" \"QZ\"Agent");
  EXPECT_EQ(result.out, lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZAGENT", ""}));
  EXPECT_EQ(readFile(folder / u"updateServiceQZ-QZAgent.txt"), kMissingNewResult);

  result = run(u"\"--service-name\" \"QZ My Agent\"");
  EXPECT_EQ(readFile(folder / u"updateServiceQZ-QZ My Agent.txt"), kMissingNewResult);
}

TEST_F(ToolFolder, OverLongResultFileNameIsReportedAndTheRunGoesOn) {
  const std::u16string name = u"QZ" + std::u16string(300, u'x');
  const auto result = run(u"--service-name " + name);
  EXPECT_EQ(result.exitStatus, 0u);
  EXPECT_THAT(result.out, ::testing::EndsWith(".txt. Erro: Invalid filename\r\n"));
  EXPECT_THAT(result.out, ::testing::StartsWith(lines({"", "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o QZ" +
                                                               std::string(300, 'X'),
                                                           ""})));
}

TEST_F(ToolFolder, MissingStandardOutputEndsWithTheReportOnStandardErrorAndStatus1) {
  for (const auto* arguments : {u"", u"--service-name QZAgent"}) {
    const auto result = run(arguments, Stdout::Missing);
    EXPECT_EQ(result.exitStatus, 1u);
    EXPECT_TRUE(std::regex_match(result.err, std::regex("Exception EInOutError in module UpdateServiceQZ\\.exe at "
                                                        "[0-9A-F]{8}\\.\r\nI/O error 105\\.\r\n\r\n")))
        << result.err;
  }
  // The run's outcome is recorded before the lost output is reported.
  EXPECT_EQ(readFile(folder / u"updateServiceQZ-QZAgent.txt"),
            "N\xE3o foi encontrada a nova vers\xE3o do servi\xE7o.\r\n");
}

}  // namespace
}  // namespace usqz::testing
