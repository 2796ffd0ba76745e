#include "common/console.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"

namespace usqz {
namespace {

using ::testing::ElementsAre;
using namespace usqz::testing;

struct ConsoleTest : ::testing::Test {
  VirtualClock clock;
  FakeFileAndProcess os{clock};
  Console console{os};
};

TEST_F(ConsoleTest, RedirectedOutputLeavesIn128ByteBlocksAndAtTheEnd) {
  const std::u16string line(50, u'x');  // 52 bytes with CR LF
  console.writeLine(line);
  console.writeLine(line);
  EXPECT_TRUE(os.stdoutWrites().empty());
  console.writeLine(line);  // 156 bytes: one block is full
  ASSERT_EQ(os.stdoutWrites().size(), 1u);
  EXPECT_EQ(os.stdoutWrites()[0].size(), 128u);
  console.flush();
  ASSERT_EQ(os.stdoutWrites().size(), 2u);
  EXPECT_EQ(os.stdoutWrites()[1].size(), 28u);
  EXPECT_EQ(os.stdoutBytes(), std::string(50, 'x') + "\r\n" + std::string(50, 'x') + "\r\n" +
                                  std::string(50, 'x') + "\r\n");
}

TEST_F(ConsoleTest, RedirectedOutputIsInTheAnsiCodePage) {
  console.writeLine(u"Atualização finalizada.");
  console.flush();
  EXPECT_EQ(os.stdoutBytes(), "Atualiza\xE7\xE3o finalizada.\r\n");
}

TEST_F(ConsoleTest, OnAConsoleEachLineLeavesAtItsLineBreakInTheConsoleCodePage) {
  os.setStdout(StdoutKind::Console);
  console.writeLine(u"Atualização finalizada.");
  console.writeLine(u"");
  EXPECT_THAT(os.stdoutWrites(), ElementsAre("Atualiza\x87\xC6o finalizada.\r\n", "\r\n"));
}

TEST_F(ConsoleTest, OpenedAtFirstUseOnly) {
  EXPECT_EQ(os.calls(FileOp::OpenStdout), 0u);
  console.writeLine(u"a");
  console.writeLine(u"b");
  EXPECT_EQ(os.calls(FileOp::OpenStdout), 1u);
}

TEST_F(ConsoleTest, MissingStandardOutputFailsWith105AtEveryWrite) {
  os.setStdout(StdoutKind::Missing);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      console.writeLine(u"x");
      FAIL() << "no error";
    } catch (const ToolError& error) {
      EXPECT_EQ(error.kindName(), u"EInOutError");
      EXPECT_EQ(error.message(), u"I/O error 105");
    }
  }
  EXPECT_EQ(os.calls(FileOp::OpenStdout), 2u);
}

TEST_F(ConsoleTest, AFailedWriteIsAnOutputErrorWithThePlatformsCode) {
  os.setStdout(StdoutKind::Console);
  os.faults().failCall(FileOp::WriteStdout, 1, 232);
  try {
    console.writeLine(u"x");
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error.message(), u"I/O error 232");
  }
  // The failed bytes are not offered again.
  console.writeLine(u"y");
  EXPECT_EQ(os.stdoutBytes(), "y\r\n");
}

TEST_F(ConsoleTest, WhenRedirectedAFailureShowsOnlyWhenTheBlockIsWritten) {
  os.faults().failAlways(FileOp::WriteStdout, 112);
  EXPECT_NO_THROW(console.writeLine(u"short"));
  EXPECT_THROW(console.flush(), ToolError);
  console.writeLine(u"again");
  EXPECT_NO_THROW(console.flushQuietly());
}

TEST(EscapedErrorReport, ExactBytesInTheOemCodePage) {
  VirtualClock clock;
  FakeFileAndProcess os{clock};
  reportEscapedError(os, inOutError(105), u"UpdateServiceQZ.exe", 0x0040a1b2);
  EXPECT_EQ(os.stderrBytes(), "Exception EInOutError in module UpdateServiceQZ.exe at 0040A1B2.\r\nI/O error 105.\r\n\r\n");
}

TEST(EscapedErrorReport, MessageEndingInAFullStopOrEmptyGetsNoOther) {
  VirtualClock clock;
  FakeFileAndProcess os{clock};
  reportEscapedError(os, toolError(u"Falhou ação."), u"t.exe", 0xFFFFFFFF);
  reportEscapedError(os, toolError(u""), u"t.exe", 0);
  EXPECT_EQ(os.stderrBytes(),
            "Exception Exception in module t.exe at FFFFFFFF.\r\nFalhou a\x87\xC6o.\r\n\r\n"
            "Exception Exception in module t.exe at 00000000.\r\n\r\n\r\n");
}

TEST(InOutErrorMessages, KnownCodesAndTheRest) {
  EXPECT_EQ(inOutErrorMessage(2), u"File not found");
  EXPECT_EQ(inOutErrorMessage(3), u"Invalid filename");
  EXPECT_EQ(inOutErrorMessage(4), u"Too many open files");
  EXPECT_EQ(inOutErrorMessage(5), u"File access denied");
  EXPECT_EQ(inOutErrorMessage(100), u"Read beyond end of file");
  EXPECT_EQ(inOutErrorMessage(101), u"Disk full");
  EXPECT_EQ(inOutErrorMessage(106), u"Invalid numeric input");
  EXPECT_EQ(inOutErrorMessage(32), u"I/O error 32");
  EXPECT_EQ(inOutErrorMessage(4294967295u), u"I/O error 4294967295");
}

}  // namespace
}  // namespace usqz
