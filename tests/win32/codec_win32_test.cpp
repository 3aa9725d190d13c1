#include <gtest/gtest.h>

#include <windows.h>

#include "common/ansi_codec_win32.h"

namespace ordane {
namespace {

// The served systems use code page 936; the test prefix runs with it.
TEST(AnsiCodecWin32Test, RoundTripsGbk) {
    ASSERT_EQ(GetACP(), 936u);
    AnsiCodecWin32 codec;
    const std::string gbk = "\xBB\xAA\xD0\xF1";  // 华旭
    EXPECT_EQ(codec.Decode(gbk), u"华旭");
    EXPECT_EQ(codec.Encode(u"华旭"), gbk);
    EXPECT_EQ(codec.Decode(""), u"");
}

}  // namespace
}  // namespace ordane
