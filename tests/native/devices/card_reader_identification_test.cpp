#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "devices/card_reader_identification.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_serial_library.h"

namespace ordane::test {
namespace {

const Bytes kHsRequest{0x02, 0x00, 0x07, 0x03, 0x01, 0x00, 0x03};
const Bytes kHsAnswer{0x02, 0x00, 0x0B, 0x03, 0x90, 0x00, 0x00, 0x00, 0x02, 0x0B, 0x03};
const Bytes kHxRequest{0x55, 0x05, 0x31, 0x00, 0x00, 0x00, 0x00, 0xFD, 0x9C};

Bytes HxAnswer(std::uint32_t value) {
    return {0xAA,
            0x05,
            0x31,
            static_cast<std::uint8_t>(value >> 24),
            static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value),
            0x00,
            0x00};
}

// A reader on the probe's port answering its request after a delay.
class CardReaderIdentificationTest : public ::testing::Test {
  protected:
    CardReaderIdentificationTest() {
        comm2.responder = [this](const Bytes&) {
            if (answer) {
                comm2.Arrive(pump, delayMs, *answer);
            }
        };
    }

    Settings settings;
    FakePump pump;
    FakeSerialLibrary comm2;
    CardReaderIdentification id{settings, comm2, pump};
    std::optional<Bytes> answer;
    std::uint32_t delayMs = 100;
};

TEST_F(CardReaderIdentificationTest, HsExchangeForAnyMakeButHuaxu) {
    for (const char16_t* make : {u"", u"华视", u"other"}) {
        settings.CardReaderModel = make;
        settings.CardReaderXh.clear();
        comm2 = FakeSerialLibrary();
        comm2.responder = [this](const Bytes&) { comm2.Arrive(pump, delayMs, kHsAnswer); };
        EXPECT_TRUE(id.CheckCardReader(7));
        EXPECT_EQ(settings.CardReaderXh, u"CVR-100U");
        EXPECT_EQ(comm2.Log(), (std::vector<std::string>{"open 7 115200 8 0 0", "clear",
                                                         "write 02 00 07 03 01 00 03",
                                                         "read 11 -> 11", "close"}));
    }
}

TEST_F(CardReaderIdentificationTest, HxAnswerMustCarryTheValueOfTheConstants) {
    EXPECT_NE(HxExpectedAnswer(0), 0u);  // a silent or short answer can never pass
    EXPECT_EQ(HxExpectedAnswer(0), ((0u ^ kHxK1) | kHxK2) & kHxK3);
    settings.CardReaderModel = u"华旭";
    answer = HxAnswer(HxExpectedAnswer(0));
    EXPECT_TRUE(id.CheckCardReader(2));
    EXPECT_EQ(settings.CardReaderXh, u"HX-FDX3");
    EXPECT_EQ(comm2.writes.back(), kHxRequest);
    EXPECT_EQ(comm2.Log().at(3), "read 9 -> 9");

    answer = HxAnswer(HxExpectedAnswer(0) ^ 0x100);
    EXPECT_FALSE(id.CheckCardReader(2));
    answer.reset();
    EXPECT_FALSE(id.CheckCardReader(2));
    EXPECT_EQ(settings.CardReaderXh, u"HX-FDX3");  // the earlier success stays
}

TEST_F(CardReaderIdentificationTest, HsNeedsAllSevenFrameBytes) {
    answer = kHsAnswer;
    EXPECT_TRUE(id.CheckHsCardReader(1));
    // Earlier answer's bytes must not linger: a short answer is tested against zeros.
    answer = Bytes(kHsAnswer.begin(), kHsAnswer.begin() + 4);
    EXPECT_FALSE(id.CheckHsCardReader(1));
    answer = Bytes{0x15};  // a single NAK: index 1 stays 0x00, as expected there
    EXPECT_FALSE(id.CheckHsCardReader(1));
    // A line that echoes what it is sent (a modem, a loopback plug) matches four bytes.
    answer = Bytes{0x02, 0x00, 0x07, 0x03, 0x01, 0x00, 0x03};
    EXPECT_FALSE(id.CheckHsCardReader(1));
    answer = kHsAnswer;
    answer->at(9) = 0x0C;
    EXPECT_FALSE(id.CheckHsCardReader(1));
    answer = kHsAnswer;
    delayMs = 550;  // inside the 0.6 s window of Delay 0.5
    EXPECT_TRUE(id.CheckHsCardReader(1));
    delayMs = 650;
    EXPECT_FALSE(id.CheckHsCardReader(1));
}

TEST_F(CardReaderIdentificationTest, PortIsClosedEvenWhenItCouldNotBeOpened) {
    comm2.openResult = 2;
    answer = kHsAnswer;
    settings.CardReaderXh = u"CVR-100U";
    EXPECT_FALSE(id.CheckCardReader(3));
    EXPECT_EQ(comm2.Log().back(), "close");
    EXPECT_EQ(comm2.closes, 1);
    EXPECT_EQ(settings.CardReaderXh, u"CVR-100U");
}

}  // namespace
}  // namespace ordane::test
