// The host side of a Symbol scanner's packet protocol (SSI), without threads or I/O: the
// Symbol link feeds it the bytes read from the scanner's port and the time, writes out what it
// emits, and hands on complete readings and revision replies.
//
// Packet: length (counts itself, opcode, source, status and data), opcode, source, status,
// data, then a 16-bit checksum (two's complement of the byte sum, high byte first). The host
// ACKs every valid packet from the scanner except a revision reply, NAKs a bad checksum (the
// scanner then resends), never answers an ACK or NAK, and resends an unanswered command up to
// twice after the response timeout, with the retransmit bit set.
//
// Not thread-safe: a link that feeds it from a reader thread and sends commands from another
// thread serialises the calls; the callbacks run inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

#include "common/text.h"

namespace ordane {

namespace ssi {

constexpr std::uint8_t kCmdAck = 0xD0;
constexpr std::uint8_t kCmdNak = 0xD1;
constexpr std::uint8_t kDecodeData = 0xF3;
constexpr std::uint8_t kRequestRevision = 0xA3;
constexpr std::uint8_t kReplyRevision = 0xA4;
constexpr std::uint8_t kParamSend = 0xC6;
constexpr std::uint8_t kScanEnable = 0xE9;
constexpr std::uint8_t kScanDisable = 0xEA;

constexpr std::uint8_t kSourceDecoder = 0x00;
constexpr std::uint8_t kSourceHost = 0x04;

constexpr std::uint8_t kStatusRetransmit = 0x01;
constexpr std::uint8_t kStatusContinuation = 0x02;
constexpr std::uint8_t kStatusPermanent = 0x08;  // parameter change survives power-off

constexpr std::uint8_t kNakResend = 1;
constexpr std::uint8_t kNakBadContext = 2;
constexpr std::uint8_t kNakDenied = 6;

constexpr std::uint8_t kParamNoBeep = 0xFF;
// "Decode data packet format": 0x01 makes readings arrive as DECODE_DATA packets.
constexpr std::uint8_t kParamDecodeFormat = 0xEE;

// Most data bytes one packet can carry (the length byte counts four header bytes).
constexpr std::size_t kMaxData = 0xFF - 4;

// The scanner's and ours: how long a sender waits for the answer before it resends, and how
// many times it sends one packet before it gives up.
constexpr std::uint32_t kResponseTimeoutMs = 2000;
constexpr int kMaxTries = 3;

// Two's complement of the 16-bit sum of the bytes.
std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t count);
// A whole packet, checksum included; data beyond kMaxData is cut.
Bytes MakePacket(std::uint8_t opcode, std::uint8_t source, std::uint8_t status,
                 const Bytes& data = {});

}  // namespace ssi

// The packets of the scanner as they come, one reading at a time. The protocol numbers nothing:
// a resend is told from a new packet only by its retransmit bit and by comparing it with the last
// packet taken, and the first part of a reading is not marked at all. So every packet is placed by
// what the scanner can have sent at that moment: it sends the next part at once on our ACK (a
// slow scanner up to a few seconds later), resends a packet a response timeout after a try that
// got no answer (at once after a NAK), and gives a reading up a response timeout after the third
// try of one packet. A part that can only be the next one is joined; one that can only begin a
// reading starts one; one that could be either (a late part of the reading, or the first of a new
// one after the scanner gave the old one up) drops the unfinished reading whole, and the parts
// after it up to the reading's last are dropped too. A reading is handed on only when every part
// from its first was taken; never a tail.
class SsiReading {
  public:
    // Why a reading the scanner sent (and had acknowledged) was not handed on.
    enum class Loss {
        kAmbiguous,  // a part that could begin a new reading or continue the old one
        kGivenUp,    // the scanner gave the reading up part-way
        kRaw,        // sent raw after a power cycle (the packet format forgotten)
    };
    enum class State {
        kIdle,        // no reading unfinished
        kCollecting,  // parts taken from a reading's first on
        kDiscarding,  // parts of a reading whose start is unknown or lost, up to its last part
    };
    struct Taken {
        bool repeat = false;           // the last packet again, our ACK having been lost
        std::optional<Bytes> reading;  // a reading finished by this part
    };

    // Line time (line delays, a split packet's pause) allowed around each timing rule.
    static constexpr std::uint32_t kSlackMs = ssi::kResponseTimeoutMs / 2;
    // After this long without a packet the scanner has surely given the reading up: the last
    // try of its next part comes two response timeouts after our ACK.
    static constexpr std::uint32_t kGiveUpMs = ssi::kResponseTimeoutMs * ssi::kMaxTries;
    // A reading joined from several packets is cut at this size.
    static constexpr std::size_t kMaxReading = 65536;

    // Bytes that may have been a packet came damaged or were dropped; the scanner resends what it
    // sent, so the next resend is no repeat of the last packet taken. at: when they came.
    void Missed(std::uint32_t at);
    // A packet from the scanner with a good checksum, other than an ACK or NAK, without its
    // checksum; decode packets are joined into readings.
    Taken Take(const std::uint8_t* packet, std::size_t size, std::uint32_t nowMs);
    // Ends a reading the scanner has given up.
    void Tick(std::uint32_t nowMs);
    // Milliseconds until Tick has something to do, or nothing.
    std::optional<std::uint32_t> NextTimeout(std::uint32_t nowMs) const;
    State state() const { return state_; }
    // Readings dropped since the last call, and why (the latest reason).
    int TakeLost(Loss& why) {
        why = lostWhy_;
        return std::exchange(lost_, 0);
    }

  private:
    enum class Place { kNext, kFirst, kEither };
    Place PlaceOf(const Bytes& key, bool resend, std::uint8_t type, std::uint32_t nowMs) const;

    State state_ = State::kIdle;
    Bytes reading_;
    std::uint8_t type_ = 0;  // barcode type of the reading's parts
    // The last packet taken (retransmit bit and checksum left out), when its last copy came,
    // how many tries of it the scanner has surely made, and how long after that copy the
    // scanner can at the earliest have given it up.
    Bytes lastKey_;
    std::uint32_t lastAt_ = 0;
    int lastTries_ = 0;
    std::uint32_t giveUpAfterMs_ = 0;
    bool missed_ = false;  // damaged or dropped bytes since the last packet taken
    int lost_ = 0;
    Loss lostWhy_ = Loss::kAmbiguous;
    std::uint32_t missedAt_ = 0;
};

class SsiHost {
  public:
    struct Callbacks {
        std::function<void(const Bytes&)> write;     // bytes to send to the scanner, in order
        std::function<void(const Bytes&)> decode;    // a complete reading: decoded bytes only
        std::function<void(const Bytes&)> revision;  // a revision reply's ASCII text
        // A reading the scanner sent was dropped by the protocol's rules.
        std::function<void(SsiReading::Loss)> lost;
    };

    static constexpr std::uint32_t kResponseTimeoutMs = ssi::kResponseTimeoutMs;
    static constexpr int kMaxResends = ssi::kMaxTries - 1;
    // Silence inside a packet this long means its bytes were garbage.
    static constexpr std::uint32_t kInterByteTimeoutMs = 200;
    static constexpr std::size_t kMaxReading = SsiReading::kMaxReading;
    static constexpr std::uint32_t kScannerGiveUpMs = SsiReading::kGiveUpMs;

    explicit SsiHost(Callbacks callbacks);
    SsiHost(const SsiHost&) = delete;
    SsiHost& operator=(const SsiHost&) = delete;

    // Bytes read from the scanner's port; now is a millisecond tick count (it may wrap).
    void Receive(const std::uint8_t* data, std::size_t count, std::uint32_t nowMs);
    // Runs the timeouts; call it at least every 100 ms or so while waiting for bytes.
    void Tick(std::uint32_t nowMs);

    // Queues a command from the host; it goes out at once when no earlier command still
    // awaits its answer, otherwise after that one is answered or given up.
    void SendCommand(std::uint8_t opcode, std::uint8_t status, const Bytes& data,
                     std::uint32_t nowMs);
    // PARAM_SEND without beep with the given parameter-number/value bytes, temporary unless
    // permanent (SetParam of the link sends 0xEE 0x01 this way). The last parameters sent
    // are sent again whenever a burst of bytes holds no packet at all: a scanner that was
    // switched off and on has lost temporary parameters and sends its readings raw.
    void SendParameters(const std::uint8_t* pairs, std::size_t count, bool permanent,
                        std::uint32_t nowMs);
    void RequestRevision(std::uint32_t nowMs);

    // True while a command awaits its answer or waits its turn.
    bool Busy() const { return current_.has_value() || !queue_.empty(); }
    // Milliseconds until Tick has something to do, or nothing when no timeout runs.
    std::optional<std::uint32_t> NextTimeout(std::uint32_t nowMs) const;

  private:
    struct Command {
        std::uint8_t opcode;
        std::uint8_t status;
        Bytes data;
        int tries = 0;
        std::uint32_t sentAt = 0;
    };

    void Parse(std::uint32_t nowMs);
    // How many bytes at the start of rx_ form a complete packet with a good checksum: 0 when
    // incomplete, -1 when they cannot start a valid packet.
    std::ptrdiff_t CandidateAt(std::size_t offset) const;
    void HandlePacket(const std::uint8_t* packet, std::size_t size, std::uint32_t nowMs);
    void Transmit(Command& command, std::uint32_t nowMs);
    void FinishCommand(std::uint32_t nowMs);
    void Emit(const Bytes& bytes);
    void Nak();
    void Drop(std::size_t count);
    // The line went quiet: what is left cannot be a packet still arriving.
    void EndBurst(std::uint32_t nowMs);
    void TellLost();
    bool ParametersWaiting() const;

    Callbacks callbacks_;
    Bytes rx_;
    std::uint32_t lastRxAt_ = 0;
    bool resyncing_ = false;   // bytes were dropped since the last valid packet
    bool nakPending_ = false;  // a NAK went out in this burst and no valid packet came since
    // Bytes dropped and packets handled since the line was last quiet.
    std::size_t burstDropped_ = 0;
    std::size_t burstPackets_ = 0;
    SsiReading reading_;
    Bytes standingParameters_;  // data of the last PARAM_SEND
    std::uint8_t standingStatus_ = 0;
    std::optional<Command> current_;
    std::deque<Command> queue_;
};

}  // namespace ordane
