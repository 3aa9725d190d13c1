#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devices/ssi_host.h"

namespace ordane::test {
namespace {

Bytes Ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kHostAck{0x04, 0xD0, 0x04, 0x00, 0xFF, 0x28};
const Bytes kHostNak{0x05, 0xD1, 0x04, 0x00, 0x01, 0xFF, 0x25};
const Bytes kRequestRevision{0x04, 0xA3, 0x04, 0x00, 0xFF, 0x55};
const Bytes kDecode12345{0x0A, 0xF3, 0x00, 0x00, 0x03, 0x31, 0x32, 0x33, 0x34, 0x35, 0xFE, 0x01};
const Bytes kScannerAck{0x04, 0xD0, 0x00, 0x00, 0xFF, 0x2C};

class SsiHostTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& bytes, std::uint32_t now = 0) {
        host.Receive(bytes.data(), bytes.size(), now);
    }
    Bytes Decode(const std::string& text, std::uint8_t status = 0, std::uint8_t type = 0x1B) {
        Bytes data{type};
        data.insert(data.end(), text.begin(), text.end());
        return ssi::MakePacket(ssi::kDecodeData, ssi::kSourceDecoder, status, data);
    }

    std::vector<Bytes> written, decoded, revisions;
    SsiHost host{{[this](const Bytes& b) { written.push_back(b); },
                  [this](const Bytes& b) { decoded.push_back(b); },
                  [this](const Bytes& b) { revisions.push_back(b); }}};
};

TEST_F(SsiHostTest, PacketsMatchTheWorkedBytes) {
    EXPECT_EQ(ssi::MakePacket(ssi::kCmdAck, ssi::kSourceDecoder, 0), kScannerAck);
    EXPECT_EQ(ssi::MakePacket(ssi::kScanEnable, ssi::kSourceHost, 0),
              (Bytes{0x04, 0xE9, 0x04, 0x00, 0xFF, 0x0F}));
    EXPECT_EQ(ssi::MakePacket(ssi::kDecodeData, 0, 0, Bytes{0x03, '1', '2', '3', '4', '5'}),
              kDecode12345);
    const std::uint8_t pairs[] = {0xEE, 0x01};
    host.SendParameters(pairs, 2, true, 0);
    EXPECT_EQ(written.back(), (Bytes{0x07, 0xC6, 0x04, 0x08, 0xFF, 0xEE, 0x01, 0xFD, 0x39}));
    Feed(kScannerAck);
    host.SendParameters(pairs, 2, false, 0);
    EXPECT_EQ(written.back(), (Bytes{0x07, 0xC6, 0x04, 0x00, 0xFF, 0xEE, 0x01, 0xFD, 0x41}));
    Feed(kScannerAck);
    host.RequestRevision(0);
    EXPECT_EQ(written.back(), kRequestRevision);
    EXPECT_EQ(written.size(), 3u);  // the scanner's ACKs drew no answer
}

TEST_F(SsiHostTest, DecodeIsAcknowledgedAndHandedOnWithoutItsTypeByteEvenByteByByte) {
    for (std::uint8_t b : kDecode12345) {
        Feed({b});
    }
    EXPECT_EQ(written, std::vector<Bytes>{kHostAck});
    EXPECT_EQ(decoded, std::vector<Bytes>{Ascii("12345")});
}

TEST_F(SsiHostTest, MultiPacketReadingIsJoinedAndEachPacketAcknowledged) {
    Feed(Decode("first part ", ssi::kStatusContinuation));
    Feed(Decode("second ", ssi::kStatusContinuation));
    EXPECT_TRUE(decoded.empty());
    Feed(Decode("end"));
    EXPECT_EQ(decoded, std::vector<Bytes>{Ascii("first part second end")});
    EXPECT_EQ(written.size(), 3u);
    // A reading the scanner never finished does not stick to the next one.
    Feed(Decode("lost ", ssi::kStatusContinuation), 1000);
    Feed(Decode("next"), 1000 + SsiHost::kScannerGiveUpMs);
    EXPECT_EQ(decoded.back(), Ascii("next"));
    // Our own packets echoed by the line are not taken for the scanner's.
    Feed(kHostAck, 7000);
    Feed(kRequestRevision, 7000);
    EXPECT_EQ(written.size(), 5u);
}

TEST_F(SsiHostTest, BadChecksumIsNakedOnceAndTheResendHandedOnOnce) {
    Bytes damaged = kDecode12345;
    damaged[6] ^= 0x40;
    Feed(damaged);
    EXPECT_EQ(written, std::vector<Bytes>{kHostNak});
    EXPECT_TRUE(decoded.empty());
    Feed(Decode("12345", ssi::kStatusRetransmit));
    EXPECT_EQ(decoded, std::vector<Bytes>{Ascii("12345")});
    // Our ACK was lost: the scanner sends the same packet again.
    Feed(Decode("12345", ssi::kStatusRetransmit));
    EXPECT_EQ(decoded.size(), 1u);
    EXPECT_EQ(written, (std::vector<Bytes>{kHostNak, kHostAck, kHostAck}));
    Feed(Decode("12345"));  // the same barcode scanned again is a new reading
    EXPECT_EQ(decoded.size(), 2u);
}

TEST_F(SsiHostTest, ResendAfterANakIsNeverTakenForARepeat) {
    const std::uint8_t damagedBit = 0x40;
    auto damaged = [&](Bytes packet) {
        packet[6] ^= damagedBit;
        return packet;
    };
    // The same barcode scanned twice; the second scan's first transmission is damaged.
    Feed(Decode("12345"), 0);
    Feed(damaged(Decode("12345")), 1500);
    Feed(Decode("12345", ssi::kStatusRetransmit), 1520);
    EXPECT_EQ(decoded, (std::vector<Bytes>{Ascii("12345"), Ascii("12345")}));
    // A reading whose two parts are equal, the second one damaged once.
    Feed(Decode("ab", ssi::kStatusContinuation), 10000);
    Feed(damaged(Decode("ab", ssi::kStatusContinuation)), 10010);
    Feed(Decode("ab", ssi::kStatusContinuation | ssi::kStatusRetransmit), 10030);
    Feed(Decode("!"), 10040);
    EXPECT_EQ(decoded.back(), Ascii("abab!"));
    // A resend that comes after the scanner would have stopped resending the last packet is
    // the resend of a new one whose first transmission was lost.
    Feed(Decode("777"), 20000);
    Feed(Decode("777", ssi::kStatusRetransmit), 20000 + SsiHost::kScannerGiveUpMs);
    EXPECT_EQ(std::count(decoded.begin(), decoded.end(), Ascii("777")), 2);
}

TEST_F(SsiHostTest, UnfinishedReadingIsDroppedNeverJoinedToTheNext) {
    Feed(Decode("lost ", ssi::kStatusContinuation, 0x1B), 1000);
    Feed(Decode("next", 0, 0x03), 1500);  // another barcode type
    Feed(Decode("gone ", ssi::kStatusContinuation), 2000);
    host.Tick(2000 + SsiHost::kScannerGiveUpMs);  // the scanner gave up on the next part
    Feed(Decode("after"), 2000 + SsiHost::kScannerGiveUpMs + 10);
    EXPECT_EQ(decoded, (std::vector<Bytes>{Ascii("next"), Ascii("after")}));
}

// Both cases come from the lossy-line fuzz target: the ACKs of a part are lost, so the
// scanner resends it, then either goes on or gives up and starts another reading.
TEST_F(SsiHostTest, ResendsKeepAReadingAliveAndAFreshStartAfterThemIsANewReading) {
    const auto ackLost = [&](const std::string& part, std::uint32_t first, bool firstTryLost) {
        if (!firstTryLost) {
            Feed(Decode(part, ssi::kStatusContinuation), first);
        }
        Feed(Decode(part, ssi::kStatusContinuation | ssi::kStatusRetransmit), first + 2000);
        Feed(Decode(part, ssi::kStatusContinuation | ssi::kStatusRetransmit), first + 4000);
    };
    ackLost("first ", 0, false);  // the third ACK arrives: the next part follows at once
    Feed(Decode("second"), 4010);
    // The first try lost on the line, the ACKs of the other two as well: the scanner gives up
    // and its next reading comes soon after.
    ackLost("lost ", 10000, true);
    Feed(Decode("next"), 14000 + SsiHost::kResponseTimeoutMs + 100);
    EXPECT_EQ(decoded, (std::vector<Bytes>{Ascii("first second"), Ascii("next")}));
}

TEST_F(SsiHostTest, OnlyTheScannersPacketsAreTaken) {
    // A packet of another source with a good checksum, as a window over a damaged packet and
    // its resend can form by chance: neither acknowledged nor handed on.
    Feed(ssi::MakePacket(ssi::kDecodeData, 0x07, 0, Bytes{0x03, '9'}), 0);
    EXPECT_TRUE(written.empty());
    EXPECT_TRUE(decoded.empty());
}

TEST_F(SsiHostTest, EachBurstOfDamageGetsItsNak) {
    Bytes damaged = kDecode12345;
    damaged[6] ^= 0x40;
    Feed(damaged, 0);
    Feed(damaged, 2000);  // the resend damaged too, after the line was quiet
    EXPECT_EQ(written, (std::vector<Bytes>{kHostNak, kHostNak}));
}

TEST_F(SsiHostTest, RawReadingsBringBackThePacketFormat) {
    const std::uint8_t pairs[] = {ssi::kParamDecodeFormat, 0x01};
    host.SendParameters(pairs, 2, false, 0);
    Feed(kScannerAck, 10);
    const Bytes parameters = written.front();
    // The scanner was switched off and on: it now sends its readings raw.
    Feed(Ascii("6901234567892\r"), 5000);
    host.Tick(5100);
    EXPECT_EQ(written.size(), 1u);
    host.Tick(5000 + SsiHost::kInterByteTimeoutMs);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written.back(), parameters);
    EXPECT_TRUE(decoded.empty());  // raw bytes cannot be told from line noise
    Feed(kScannerAck, 5300);
    Feed(kDecode12345, 8000);
    host.Tick(9000);
    EXPECT_EQ(decoded, std::vector<Bytes>{Ascii("12345")});
    EXPECT_EQ(written.size(), 3u);  // the reading's ACK; no parameters after a packet
}

TEST_F(SsiHostTest, ResynchronisesAfterGarbage) {
    Feed(Join({0x00, 0x02, 0xFF}, kDecode12345));  // too short, then too long
    EXPECT_EQ(decoded.size(), 1u);
    Feed(Join({0x07}, kDecode12345), 10);  // a length that fits, no packet's header: found
    EXPECT_EQ(decoded.size(), 2u);
    Feed(Join({0x35}, kDecode12345), 20);  // a length longer than what came
    EXPECT_EQ(decoded.size(), 2u);
    host.Tick(20 + SsiHost::kInterByteTimeoutMs - 1);
    EXPECT_EQ(decoded.size(), 2u);
    host.Tick(20 + SsiHost::kInterByteTimeoutMs);
    EXPECT_EQ(decoded.size(), 3u);
    EXPECT_EQ(decoded.back(), Ascii("12345"));
    // Noise without a packet's header draws no NAK; a damaged packet inside noise draws one,
    // not one per false start.
    Feed(Bytes(12, 0x04), 300);
    EXPECT_TRUE(written.size() == 3 && written.back() == kHostAck);
    Bytes damaged = kDecode12345;
    damaged[6] ^= 0x40;
    Feed(Join(Join(Bytes(5, 0x09), damaged), Bytes(12, 0x04)), 1000);
    EXPECT_EQ(std::count(written.begin(), written.end(), kHostNak), 1);
}

TEST_F(SsiHostTest, UnansweredCommandIsResentTwiceWithTheRetransmitBit) {
    const std::uint32_t start = 0xFFFFFF00u;  // the tick count wraps during the wait
    host.RequestRevision(start);
    const std::uint8_t pairs[] = {0xEE, 0x01};
    host.SendParameters(pairs, 2, false, start);  // waits its turn
    ASSERT_EQ(written.size(), 1u);
    host.Tick(start + 1999);
    EXPECT_EQ(written.size(), 1u);
    host.Tick(start + 2000);
    EXPECT_EQ(written.back(), (Bytes{0x04, 0xA3, 0x04, 0x01, 0xFF, 0x54}));
    host.Tick(start + 4000);
    EXPECT_EQ(written.size(), 3u);
    host.Tick(start + 6000);  // third try unanswered: given up, the next command goes
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written.back()[1], ssi::kParamSend);
    Feed({0x05, 0xD1, 0x00, 0x00, 0x01, 0xFF, 0x29}, start + 6100);  // NAK resend
    EXPECT_EQ(written.back()[3], ssi::kStatusRetransmit);
    Feed({0x05, 0xD1, 0x00, 0x00, 0x06, 0xFF, 0x24}, start + 6200);  // NAK denied: dropped
    EXPECT_FALSE(host.Busy());
    host.Tick(start + 9000);
    EXPECT_EQ(written.size(), 5u);
}

TEST_F(SsiHostTest, RevisionReplyAnswersTheRequestAndIsNotAcknowledged) {
    host.RequestRevision(0);
    Feed(ssi::MakePacket(ssi::kReplyRevision, 0, 0, Ascii("NBRPYAAB 0 DS6607 A1")), 300);
    EXPECT_EQ(revisions, std::vector<Bytes>{Ascii("NBRPYAAB 0 DS6607 A1")});
    EXPECT_FALSE(host.Busy());
    host.Tick(5000);
    EXPECT_EQ(written, std::vector<Bytes>{kRequestRevision});
}

}  // namespace
}  // namespace ordane::test
