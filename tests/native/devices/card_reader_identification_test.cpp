#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "devices/card_reader_identification.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_serial_library.h"
#include "doubles/protocol_vectors.h"

namespace ordane::test {
namespace {

const Bytes kHsAnswer = Vector("hs.answer");

// The answer's bytes 3..6 replaced by value.
Bytes HxAnswer(std::uint32_t value) {
    Bytes answer = Vector("hx.answer");
    for (int i = 0; i < 4; ++i) {
        answer[static_cast<std::size_t>(3 + i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
    return answer;
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
        id.CardReaderXh.clear();
        comm2 = FakeSerialLibrary();
        comm2.responder = [this](const Bytes&) { comm2.Arrive(pump, delayMs, kHsAnswer); };
        EXPECT_TRUE(id.CheckCardReader(7));
        EXPECT_EQ(id.CardReaderXh, u"CVR-100U");
        const Bytes request = Vector("hs.request");
        EXPECT_EQ(comm2.Log(),
                  (std::vector<std::string>{
                      "open 7 115200 8 0 0", "clear",
                      "write " + FakeSerialLibrary::Hex(request.data(), request.size()),
                      "read 11 -> 11", "close"}));
    }
}

// The 华旭 constants are our own: the answer in the vectors is formed from them, so this shows
// only that the check and the table agree, not that a real HX-FDX3 reader passes.
TEST_F(CardReaderIdentificationTest, HxAnswerMustCarryTheValueOfTheConstants) {
    settings.CardReaderModel = u"华旭";
    answer = Vector("hx.answer");
    EXPECT_TRUE(id.CheckCardReader(2));
    EXPECT_EQ(id.CardReaderXh, u"HX-FDX3");
    EXPECT_EQ(comm2.writes.back(), Vector("hx.request"));
    EXPECT_EQ(comm2.Log().at(3), "read 9 -> 9");

    answer = HxAnswer(HxExpectedAnswer(0) ^ 0x100);
    EXPECT_FALSE(id.CheckCardReader(2));
    answer = HxAnswer(0);  // a silent or zeroed answer can never pass
    EXPECT_FALSE(id.CheckCardReader(2));
    answer.reset();
    EXPECT_FALSE(id.CheckCardReader(2));
    EXPECT_EQ(id.CardReaderXh, u"HX-FDX3");  // the earlier success stays
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
    id.CardReaderXh = u"CVR-100U";
    EXPECT_FALSE(id.CheckCardReader(3));
    EXPECT_EQ(comm2.Log().back(), "close");
    EXPECT_EQ(comm2.closes, 1);
    EXPECT_EQ(id.CardReaderXh, u"CVR-100U");
}

}  // namespace
}  // namespace ordane::test
