#include "text.h"

#include <gtest/gtest.h>

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
