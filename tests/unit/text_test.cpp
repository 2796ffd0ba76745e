#include "platform/text.h"

#include <gtest/gtest.h>

#include "common/contained_path.h"
#include "platform/error_text.h"

namespace usqz {
namespace {

TEST(Text, Utf8RoundTripKeepsAccentsAndAstralCharacters) {
  const std::u16string text = u"Não foi encontrada a versão \U0001F600";
  EXPECT_EQ(fromUtf8(toUtf8(text)), text);
  EXPECT_EQ(toUtf8(u"ç"), "\xC3\xA7");
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(fromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(fromUtf8("\xC3"), u"\uFFFD");            // truncated sequence
  EXPECT_EQ(fromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong '/'
}

TEST(Text, OnlyAsciiLettersAreCapitalised) {
  EXPECT_EQ(toAsciiUpper(u"qzagênte-1_x"), u"QZAGêNTE-1_X");
}

}  // namespace
}  // namespace usqz

namespace usqz {
namespace {

TEST(SystemMessage, TrailingBlanksControlsAndFullStopsGoAndLineBreaksBecomeBlanks) {
  using platform::oneLineSystemMessage;
  EXPECT_EQ(oneLineSystemMessage(u"Access is denied.\r\n"), u"Access is denied");
  EXPECT_EQ(oneLineSystemMessage(u"Ends with dots... \t.\n"), u"Ends with dots");
  EXPECT_EQ(oneLineSystemMessage(u"v1.2 kept"), u"v1.2 kept");
  EXPECT_EQ(oneLineSystemMessage(u" .\r\n"), u"");
  EXPECT_EQ(oneLineSystemMessage(u"First.\r\nSecond\n\nthird.\r\n"), u"First. Second third");
  EXPECT_EQ(oneLineSystemMessage(u"Kept \r\nonce"), u"Kept once");
}

TEST(ContainedPath, NamesThatClimbOutRootOrNameAStreamLeaveTheirFolder) {
  for (const auto* inside : {u"updateServiceQZ-QZAgent.txt", u"qz_a b\\x.exe", u"qz_\\..\\x.exe", u"a\\\\b",
                             u"a\\.\\b", u"qz_..\\x.exe", u"a/b/../c", u"...x", u"x.."}) {
    EXPECT_TRUE(staysInFolder(inside)) << toUtf8(inside);
  }
  for (const auto* outside : {u"qz_\\..\\..\\x.exe", u"..\\x", u"a/../../x", u"\\x", u"/x", u"\\\\?\\C:\\x",
                              u"C:x", u"QZa:b.txt", u"a:stream", u"a\\...\\x", u"a\\.. \\x", u""}) {
    EXPECT_FALSE(staysInFolder(outside)) << toUtf8(outside);
  }
}

}  // namespace
}  // namespace usqz
