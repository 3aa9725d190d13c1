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

// A reading typed slowly while the clerk clicks the tray icon after the third key.
TEST(KeystrokesTest, PacedTypingStopsWhereTheFocusCameToOurWindow) {
    struct Sender final : KeySender {
        bool Send(const Keystroke&) override { return ++sent <= refuseAfter; }
        bool FocusIsOurs() override { return sent >= oursAfter; }
        void Wait(std::uint32_t ms) override { waited += ms; }
        std::size_t sent = 0, oursAfter = 3, refuseAfter = 99;
        std::uint32_t waited = 0;
    };
    Sender moved;
    EXPECT_EQ(TypePaced(KeystrokesFor(u"123456", true), 40, moved),
              (DeliveryOutcome{DeliveryResult::Interrupted, 3, 7}));
    EXPECT_EQ(moved.sent, 3u);
    EXPECT_EQ(moved.waited, 120u);
    Sender refused;
    refused.oursAfter = 99;
    refused.refuseAfter = 2;
    EXPECT_EQ(TypePaced(KeystrokesFor(u"123", false), 0, refused),
              (DeliveryOutcome{DeliveryResult::KeysRefused, 2, 3}));
}

}  // namespace
}  // namespace ordane
