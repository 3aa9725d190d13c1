#include <gtest/gtest.h>

#include "common/text.h"

namespace ordane {
namespace {

TEST(TextTest, RemoveAllIsOneLeftToRightPass) {
    EXPECT_EQ(RemoveAll(u"12DE6K834", u"DE6K8"), u"1234");
    // Removing the inner marker joins "DE6" and "K8" into a new one, which stays.
    EXPECT_EQ(RemoveAll(u"DE6DE6K8K8", u"DE6K8"), u"DE6K8");
    EXPECT_EQ(RemoveAll(u"DE6K8", u"DE6K8"), u"");
    EXPECT_EQ(RemoveAll(u"de6k8", u"DE6K8"), u"de6k8");
}

TEST(TextTest, TrimSpacesTouchesOnlyU0020AtTheEnds) {
    EXPECT_EQ(TrimSpaces(u"  a b  "), u"a b");
    EXPECT_EQ(TrimSpaces(u"   "), u"");
    EXPECT_EQ(TrimSpaces(u"\u3000a\t"), u"\u3000a\t");
}

TEST(TextTest, ContainsIgnoreCaseFoldsAsciiLetters) {
    EXPECT_TRUE(ContainsIgnoreCase(u"xxit4600-050yy", u"IT4600-050"));
    EXPECT_FALSE(ContainsIgnoreCase(u"IT4600-05", u"IT4600-050"));
    EXPECT_TRUE(ContainsIgnoreCase(u"abc", u""));
}

TEST(TextTest, ParseDecimalRejectsAnythingButDigitsAndOverflow) {
    std::int32_t v = -1;
    EXPECT_TRUE(ParseDecimal("12", v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(ParseDecimal("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    v = 5;
    EXPECT_FALSE(ParseDecimal("2147483648", v));
    EXPECT_FALSE(ParseDecimal("", v));
    EXPECT_FALSE(ParseDecimal("-1", v));
    EXPECT_FALSE(ParseDecimal(" 1", v));
    EXPECT_FALSE(ParseDecimal("1a", v));
    EXPECT_EQ(v, 5);
}

TEST(TextTest, Utf8RoundTripKeepsSurrogatePairs) {
    const Text text = u"条码A\U0001F600";
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(u"型号:"), "型号:");
}

}  // namespace
}  // namespace ordane
