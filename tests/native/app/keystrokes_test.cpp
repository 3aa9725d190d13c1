#include "app/keystrokes.h"

#include <gtest/gtest.h>

namespace ordane {
namespace {

TEST(KeystrokesTest, TabEscapeBackspaceAndEnterArePressedEverythingElseTyped) {
    using K = Keystroke::Key;
    const std::vector<Keystroke> expected{
        {K::kCharacter, u'A'},  {K::kTab},  {K::kBackspace}, {K::kEscape}, {K::kEnter},
        {K::kCharacter, u'\n'}, {K::kEnter}};
    EXPECT_EQ(KeystrokesFor(u"A\t\b\x1B\r\n", true), expected);
}

}  // namespace
}  // namespace ordane
