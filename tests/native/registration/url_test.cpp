#include <gtest/gtest.h>

#include "registration/url.h"

namespace ordane {
namespace {

TEST(PercentEncodeTest, KeepsUnreservedAndEncodesEveryOtherByte) {
    // A typical security-module id goes out as it is.
    EXPECT_EQ(PercentEncode("05.01-20101203-0008323712_2110118836~x"),
              "05.01-20101203-0008323712_2110118836~x");
    EXPECT_EQ(PercentEncode(""), "");
    // Characters that would end or split the query value.
    EXPECT_EQ(PercentEncode("a b&c=d#e?f/g+h%"), "a%20b%26c%3Dd%23e%3Ff%2Fg%2Bh%25");
    // Bytes of the ANSI code page (GBK "华"), control bytes and NUL, uppercase hex.
    EXPECT_EQ(PercentEncode(std::string("\xBB\xAA\r\n\0\x7F", 6)), "%BB%AA%0D%0A%00%7F");
}

}  // namespace
}  // namespace ordane
