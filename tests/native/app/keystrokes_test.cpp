#include "app/keystrokes.h"

#include <gtest/gtest.h>

namespace ordane {
namespace {

using Key = Keystroke::Key;

TEST(KeystrokesTest, ControlKeysOfABarcodeArePressedAndEverythingElseTyped) {
    // A form's field, Tab to the next, a correction, Escape; a line feed and a character
    // outside the basic plane stay characters.
    const std::vector<Keystroke> expected{{Key::kCharacter, u'A'},
                                          {Key::kTab},
                                          {Key::kCharacter, u'B'},
                                          {Key::kBackspace},
                                          {Key::kEscape},
                                          {Key::kCharacter, u'\n'},
                                          {Key::kCharacter, 0xD83D},
                                          {Key::kCharacter, 0xDE00},
                                          {Key::kEnter},
                                          {Key::kCharacter, u'C'},
                                          {Key::kEnter}};
    EXPECT_EQ(KeystrokesFor(u"A\tB\b\x1B\n\U0001F600\rC", true), expected);
    EXPECT_EQ(KeystrokesFor(u"\t", false), std::vector<Keystroke>{{Key::kTab}});
    EXPECT_TRUE(KeystrokesFor(u"", false).empty());
}

}  // namespace
}  // namespace ordane
