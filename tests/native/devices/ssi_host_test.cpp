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
    int lost = 0;
    SsiHost host{{[this](const Bytes& b) { written.push_back(b); },
                  [this](const Bytes& b) { decoded.push_back(b); },
                  [this](const Bytes& b) { revisions.push_back(b); },
                  [this](SsiReading::Loss) { ++lost; }}};
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

// How the host takes the scanner's decode packets: each row is what came on the line (when, the
// packet, what the line did to it), what the host answered and which readings it handed on.
enum class Line { kClean, kFlipped, kLongLength, kTick };
constexpr std::uint8_t C = ssi::kStatusContinuation;
constexpr std::uint8_t R = ssi::kStatusRetransmit;

struct Step {
    std::uint32_t at;
    std::string text;
    std::uint8_t status = 0;
    Line line = Line::kClean;
    std::uint8_t type = 0x1B;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    const char* answers;  // A for an ACK, N for a NAK
    std::vector<std::string> readings;
    int lost = 0;  // readings acknowledged and dropped, each told
};

const Case kCases[] = {
    {"a damaged packet is NAKed, its resend handed on once, a repeat only acknowledged",
     {{0, "12345", 0, Line::kFlipped}, {0, "12345", R}, {0, "12345", R}, {0, "12345"}},
     "NAAA",
     {"12345", "12345"}},
    {"each burst of damage gets its NAK",
     {{0, "12345", 0, Line::kFlipped}, {2000, "12345", R, Line::kFlipped}},
     "NN",
     {}},
    {"the same code again, its first try damaged",
     {{0, "12345"}, {1500, "12345", 0, Line::kFlipped}, {1520, "12345", R}},
     "ANA",
     {"12345", "12345"}},
    {"the same code again, its first try's length damaged (dropped without a NAK)",
     {{0, "12345"}, {1500, "12345", 0, Line::kLongLength}, {3500, "12345", R}},
     "AA",
     {"12345", "12345"}},
    {"a resend after the scanner stopped resending the last packet is new",
     {{0, "777"}, {6000, "777", R}},
     "AA",
     {"777", "777"}},
    {"parts are joined",
     {{0, "first part ", C}, {0, "second ", C}, {0, "end"}},
     "AAA",
     {"first part second end"}},
    {"equal parts, the second damaged once",
     {{0, "ab", C}, {10, "ab", C, Line::kFlipped}, {30, "ab", C | R}, {40, "!"}},
     "ANAA",
     {"abab!"}},
    {"resends of a part keep its reading alive",
     {{0, "first ", C}, {2000, "first ", C | R}, {4000, "first ", C | R}, {4010, "second"}},
     "AAAA",
     {"first second"}},
    {"a slow scanner's parts 1.5 s apart",
     {{0, "a", C}, {1500, "b", C}, {3000, "c"}},
     "AAA",
     {"abc"}},
    {"a slow scanner's parts 2 s apart, a first try lost",
     {{0, "a", C}, {2000, "b", C}, {6000, "c", R}},
     "AAA",
     {"abc"}},
    {"a slow part after a part whose first try was lost: not a tail",
     {{0, "a", C | R}, {1500, "b", C}, {3000, "c"}},
     "AAA",
     {},
     2},
    {"our ACK lost, the resend damaged, its clean resend late: not a tail",
     {{0, "P1 ", C},
      {10, "P2 ", C},
      {2010, "P2 ", C | R, Line::kFlipped},
      {2030, "P2 ", C | R},
      {2040, "P3"}},
     "AANAA",
     {},
     2},
    {"given up: another barcode type begins a new reading",
     {{1000, "lost ", C}, {1500, "next", 0, Line::kClean, 0x03}},
     "AA",
     {"next"},
     1},
    {"given up: nothing came for the scanner's whole resend time",
     {{1000, "lost ", C},
      {7000, "next"},
      {8000, "gone ", C},
      {14000, "", 0, Line::kTick},
      {14010, "after"}},
     "AAAA",
     {"next", "after"},
     2},
    {"given up after its last resend, a new reading soon after: neither",
     {{12000, "lost ", C | R}, {14000, "lost ", C | R}, {16100, "next"}},
     "AAA",
     {},
     2},
    {"given up after its last resend, the same part begins a new reading: never joined",
     {{8200, "A", C | R},
      {10130, "A", C | R},
      {14130, "A", C | R},
      {16170, "A", C | R},
      {16180, "B"}},
     "AAAAA",
     {},
     2},
};

TEST_F(SsiHostTest, ReadingsTakenFromTheLineAsTheTableSays) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        written.clear();
        decoded.clear();
        lost = 0;
        SsiHost fresh{{[this](const Bytes& b) { written.push_back(b); },
                       [this](const Bytes& b) { decoded.push_back(b); }, nullptr,
                       [this](SsiReading::Loss) { ++lost; }}};
        for (const Step& step : c.steps) {
            if (step.line == Line::kTick) {
                fresh.Tick(step.at);
                continue;
            }
            Bytes packet = Decode(step.text, step.status, step.type);
            if (step.line == Line::kFlipped) {
                packet[5] ^= 0x40;
            } else if (step.line == Line::kLongLength) {
                packet[0] += 4;  // waits for bytes that never come
            }
            fresh.Receive(packet.data(), packet.size(), step.at);
        }
        std::string answers;
        for (const Bytes& w : written) {
            answers += w == kHostAck ? 'A' : w == kHostNak ? 'N' : '?';
        }
        std::vector<std::string> readings;
        for (const Bytes& d : decoded) {
            readings.emplace_back(d.begin(), d.end());
        }
        EXPECT_EQ(answers, c.answers);
        EXPECT_EQ(readings, c.readings);
        fresh.Tick(c.steps.back().at + SsiReading::kGiveUpMs);  // whatever is unfinished ends
        EXPECT_EQ(lost, c.lost);
    }
}

TEST_F(SsiHostTest, OnlyTheScannersPacketsAreTaken) {
    // A packet of another source with a good checksum, as a window over a damaged packet and
    // its resend can form by chance: neither acknowledged nor handed on.
    Feed(ssi::MakePacket(ssi::kDecodeData, 0x07, 0, Bytes{0x03, '9'}), 0);
    // Nor our own packets echoed by the line.
    Feed(kHostAck, 10);
    Feed(kRequestRevision, 10);
    EXPECT_TRUE(written.empty());
    EXPECT_TRUE(decoded.empty());
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
