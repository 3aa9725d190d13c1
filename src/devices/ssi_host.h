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

// Two's complement of the 16-bit sum of the bytes.
std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t count);
// A whole packet, checksum included; data beyond kMaxData is cut.
Bytes MakePacket(std::uint8_t opcode, std::uint8_t source, std::uint8_t status,
                 const Bytes& data = {});

}  // namespace ssi

class SsiHost {
  public:
    struct Callbacks {
        std::function<void(const Bytes&)> write;     // bytes to send to the scanner, in order
        std::function<void(const Bytes&)> decode;    // a complete reading: decoded bytes only
        std::function<void(const Bytes&)> revision;  // a revision reply's ASCII text
    };

    static constexpr std::uint32_t kResponseTimeoutMs = 2000;
    static constexpr int kMaxResends = 2;
    // Silence inside a packet this long means its bytes were garbage.
    static constexpr std::uint32_t kInterByteTimeoutMs = 200;
    // A reading joined from several packets is cut at this size.
    static constexpr std::size_t kMaxReading = 65536;
    // How long the scanner keeps resending one packet before it gives up: its response
    // timeout for each of its tries. After that a resend cannot be one of ours to forget, and
    // a reading whose next part has not come will never be finished.
    static constexpr std::uint32_t kScannerGiveUpMs = kResponseTimeoutMs * (kMaxResends + 1);

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
    // The line went quiet: what is left cannot be a packet still arriving.
    void EndBurst(std::uint32_t nowMs);
    bool ParametersWaiting() const;

    Callbacks callbacks_;
    Bytes rx_;
    std::uint32_t lastRxAt_ = 0;
    bool resyncing_ = false;   // bytes were dropped since the last valid packet
    bool nakPending_ = false;  // a NAK went out in this burst and no valid packet came since
    // Bytes dropped and packets handled since the line was last quiet.
    std::size_t burstDropped_ = 0;
    std::size_t burstPackets_ = 0;
    // Last packet acknowledged, retransmit bit and checksum left out, and when it came: a
    // resend equal to it is our lost ACK's doing only while the scanner may still resend it.
    Bytes lastAccepted_;
    std::uint32_t lastAcceptedAt_ = 0;
    Bytes reading_;
    std::uint8_t readingType_ = 0;  // barcode type of the reading in reading_
    std::uint32_t readingAt_ = 0;   // when the last part of reading_ came
    bool nakAfterPart_ = false;     // a NAK went out since the last part came
    std::uint32_t firstNakAt_ = 0;  // and when the damaged bytes it answered came
    Bytes standingParameters_;      // data of the last PARAM_SEND
    std::uint8_t standingStatus_ = 0;
    std::optional<Command> current_;
    std::deque<Command> queue_;
};

}  // namespace ordane
