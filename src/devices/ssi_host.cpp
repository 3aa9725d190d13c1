#include "devices/ssi_host.h"

#include <algorithm>
#include <utility>

namespace ordane {

namespace ssi {

std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

Bytes MakePacket(std::uint8_t opcode, std::uint8_t source, std::uint8_t status, const Bytes& data) {
    const std::size_t dataSize = std::min(data.size(), kMaxData);
    Bytes packet;
    packet.reserve(dataSize + 6);
    packet.push_back(static_cast<std::uint8_t>(dataSize + 4));
    packet.push_back(opcode);
    packet.push_back(source);
    packet.push_back(status);
    packet.insert(packet.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(dataSize));
    const std::uint16_t sum = Checksum(packet.data(), packet.size());
    packet.push_back(static_cast<std::uint8_t>(sum >> 8));
    packet.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    return packet;
}

}  // namespace ssi

namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kChecksumSize = 2;

// The opcode is one a scanner sends, or the source byte is the scanner's.
bool LooksLikeScannerPacket(const std::uint8_t* packet) {
    const std::uint8_t opcode = packet[1];
    return packet[2] == ssi::kSourceDecoder || opcode == ssi::kCmdAck || opcode == ssi::kCmdNak ||
           opcode == ssi::kDecodeData || opcode == ssi::kReplyRevision;
}

// Time from then to now on a wrapping millisecond counter.
std::uint32_t Elapsed(std::uint32_t then, std::uint32_t now) {
    return now - then;
}

}  // namespace

SsiHost::SsiHost(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

void SsiHost::Emit(const Bytes& bytes) {
    if (callbacks_.write) {
        callbacks_.write(bytes);
    }
}

void SsiHost::SendCommand(std::uint8_t opcode, std::uint8_t status, const Bytes& data,
                          std::uint32_t nowMs) {
    Command command{opcode, static_cast<std::uint8_t>(status & ~ssi::kStatusRetransmit), data};
    if (current_) {
        queue_.push_back(std::move(command));
        return;
    }
    current_ = std::move(command);
    Transmit(*current_, nowMs);
}

void SsiHost::SendParameters(const std::uint8_t* pairs, std::size_t count, bool permanent,
                             std::uint32_t nowMs) {
    Bytes data{ssi::kParamNoBeep};
    data.insert(data.end(), pairs, pairs + count);
    standingStatus_ = permanent ? ssi::kStatusPermanent : std::uint8_t{0};
    standingParameters_ = data;
    SendCommand(ssi::kParamSend, standingStatus_, data, nowMs);
}

bool SsiHost::ParametersWaiting() const {
    auto isParameters = [](const Command& command) { return command.opcode == ssi::kParamSend; };
    return (current_ && isParameters(*current_)) ||
           std::any_of(queue_.begin(), queue_.end(), isParameters);
}

void SsiHost::RequestRevision(std::uint32_t nowMs) {
    SendCommand(ssi::kRequestRevision, 0, {}, nowMs);
}

void SsiHost::Transmit(Command& command, std::uint32_t nowMs) {
    std::uint8_t status = command.status;
    if (command.tries > 0) {
        status = static_cast<std::uint8_t>(status | ssi::kStatusRetransmit);
    }
    ++command.tries;
    command.sentAt = nowMs;
    Emit(ssi::MakePacket(command.opcode, ssi::kSourceHost, status, command.data));
}

void SsiHost::FinishCommand(std::uint32_t nowMs) {
    current_.reset();
    if (!queue_.empty()) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        Transmit(*current_, nowMs);
    }
}

void SsiHost::Receive(const std::uint8_t* data, std::size_t count, std::uint32_t nowMs) {
    if (count == 0) {
        return;
    }
    if (Elapsed(lastRxAt_, nowMs) >= kInterByteTimeoutMs) {
        EndBurst(nowMs);
    }
    rx_.insert(rx_.end(), data, data + count);
    lastRxAt_ = nowMs;
    Parse(nowMs);
}

void SsiHost::EndBurst(std::uint32_t nowMs) {
    // The bytes left cannot be the start of a packet still arriving: drop them one at a time,
    // keeping any whole packet found among them.
    while (!rx_.empty()) {
        rx_.erase(rx_.begin());
        ++burstDropped_;
        resyncing_ = true;
        Parse(nowMs);
    }
    const bool nothingButRawBytes = burstDropped_ > 0 && burstPackets_ == 0;
    burstDropped_ = 0;
    burstPackets_ = 0;
    // The next damaged packet is a new one and gets its own NAK.
    nakPending_ = false;
    if (nothingButRawBytes && !standingParameters_.empty() && !ParametersWaiting()) {
        SendCommand(ssi::kParamSend, standingStatus_, standingParameters_, nowMs);
    }
}

void SsiHost::Tick(std::uint32_t nowMs) {
    if (Elapsed(lastRxAt_, nowMs) >= kInterByteTimeoutMs) {
        EndBurst(nowMs);
    }
    if (!reading_.empty() && Elapsed(readingAt_, nowMs) >= kScannerGiveUpMs) {
        reading_.clear();  // the scanner gave up on its next part
    }
    if (current_ && Elapsed(current_->sentAt, nowMs) >= kResponseTimeoutMs) {
        if (current_->tries <= kMaxResends) {
            Transmit(*current_, nowMs);
        } else {
            FinishCommand(nowMs);  // given up
        }
    }
}

std::optional<std::uint32_t> SsiHost::NextTimeout(std::uint32_t nowMs) const {
    std::optional<std::uint32_t> next;
    auto consider = [&](std::uint32_t since, std::uint32_t limit) {
        const std::uint32_t elapsed = Elapsed(since, nowMs);
        const std::uint32_t left = elapsed >= limit ? 0 : limit - elapsed;
        next = next ? std::min(*next, left) : left;
    };
    if (!rx_.empty() || burstDropped_ > 0 || nakPending_) {
        consider(lastRxAt_, kInterByteTimeoutMs);
    }
    if (!reading_.empty()) {
        consider(readingAt_, kScannerGiveUpMs);
    }
    if (current_) {
        consider(current_->sentAt, kResponseTimeoutMs);
    }
    return next;
}

std::ptrdiff_t SsiHost::CandidateAt(std::size_t offset) const {
    const std::size_t length = rx_[offset];
    if (length < kHeaderSize) {
        return -1;
    }
    const std::size_t total = length + kChecksumSize;
    if (rx_.size() - offset < total) {
        return 0;
    }
    const std::uint8_t* p = rx_.data() + offset;
    const std::uint16_t expected = ssi::Checksum(p, length);
    const auto got = static_cast<std::uint16_t>((p[length] << 8) | p[length + 1]);
    return got == expected ? static_cast<std::ptrdiff_t>(total) : -1;
}

void SsiHost::Parse(std::uint32_t nowMs) {
    while (!rx_.empty()) {
        const std::ptrdiff_t size = CandidateAt(0);
        if (size > 0) {
            const Bytes packet(rx_.begin(), rx_.begin() + size);
            rx_.erase(rx_.begin(), rx_.begin() + size);
            resyncing_ = false;
            nakPending_ = false;
            ++burstPackets_;
            HandlePacket(packet.data(), packet.size(), nowMs);
            continue;
        }
        if (size == 0) {
            // Incomplete. After garbage the length byte is suspect: a whole valid packet
            // further on means this one was never a packet start.
            if (!resyncing_) {
                return;
            }
            std::size_t next = 1;
            while (next < rx_.size() && CandidateAt(next) <= 0) {
                ++next;
            }
            if (next == rx_.size()) {
                return;
            }
            rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(next));
            burstDropped_ += next;
            continue;
        }
        // Garbage or a damaged packet. A length that fits with a bad checksum asks the
        // scanner to resend, once in a burst until a good packet comes: what follows is
        // rescanned a byte at a time and would otherwise draw a NAK for every false start.
        // A packet with one damaged byte still has its opcode or its source; the tail of a
        // packet held up on the line has neither, and a NAK for it would only make the
        // scanner send its packet once more than it must (an ACK for that extra copy could
        // then be taken for the next packet's).
        const std::size_t length = rx_[0];
        if (length >= kHeaderSize && !nakPending_ && LooksLikeScannerPacket(rx_.data())) {
            Nak();
        }
        rx_.erase(rx_.begin());
        ++burstDropped_;
        resyncing_ = true;
    }
}

void SsiHost::Nak() {
    nakPending_ = true;
    if (!nakAfterPart_) {
        nakAfterPart_ = true;
        firstNakAt_ = lastRxAt_;
    }
    // The scanner now resends a packet it may have sent before; that resend is new.
    lastAccepted_.clear();
    Emit(ssi::MakePacket(ssi::kCmdNak, ssi::kSourceHost, 0, Bytes{ssi::kNakResend}));
}

void SsiHost::HandlePacket(const std::uint8_t* packet, std::size_t size, std::uint32_t nowMs) {
    const std::uint8_t opcode = packet[1];
    const std::uint8_t status = packet[3];
    if (packet[2] != ssi::kSourceDecoder) {
        // Our own packet echoed by the line, or bytes that only look like a packet (a window
        // over a damaged packet and its resend can have a good checksum by chance).
        return;
    }
    const std::uint8_t* data = packet + kHeaderSize;
    const std::size_t dataSize = size - kHeaderSize - kChecksumSize;

    if (opcode == ssi::kCmdAck || opcode == ssi::kCmdNak) {
        // Answers to our command; never answered themselves.
        if (!current_) {
            return;
        }
        const bool resend = opcode == ssi::kCmdNak && dataSize >= 1 && data[0] == ssi::kNakResend;
        if (resend && current_->tries <= kMaxResends) {
            Transmit(*current_, nowMs);
        } else {
            FinishCommand(nowMs);
        }
        return;
    }

    // A resend of the packet already handled (our ACK was lost): acknowledge it again but do
    // not hand the same reading on twice.
    Bytes key(packet, packet + size - kChecksumSize);
    key[3] = static_cast<std::uint8_t>(key[3] & ~ssi::kStatusRetransmit);
    const bool repeat = (status & ssi::kStatusRetransmit) != 0 && key == lastAccepted_ &&
                        Elapsed(lastAcceptedAt_, nowMs) < kScannerGiveUpMs;
    if (!repeat) {
        lastAccepted_ = std::move(key);
        lastAcceptedAt_ = nowMs;
    }

    if (opcode == ssi::kReplyRevision) {
        // The answer itself: not acknowledged.
        if (current_ && current_->opcode == ssi::kRequestRevision) {
            FinishCommand(nowMs);
        }
        if (!repeat && callbacks_.revision) {
            callbacks_.revision(Bytes(data, data + dataSize));
        }
        return;
    }

    Emit(ssi::MakePacket(ssi::kCmdAck, ssi::kSourceHost, 0));
    if (opcode != ssi::kDecodeData) {
        return;
    }
    if (repeat) {
        readingAt_ = nowMs;  // the scanner is still at this reading
        return;
    }
    // Each packet of a reading repeats the barcode-type byte; the reading is the decoded bytes.
    // An unfinished reading is dropped, never joined to another: when a part of another type
    // comes, and when a part comes later than the next part of this reading could. The scanner
    // sends that at once on our ACK, or, its first try lost, resends it one response timeout
    // later; a reading begun after the scanner gave this one up comes a response timeout later
    // still. Halfway between the two, so that the line's delays cannot tip it.
    // A resend that answers our NAK is as late as the damaged first try it replaces.
    const std::uint8_t type = dataSize > 0 ? data[0] : readingType_;
    const bool firstTry = (status & ssi::kStatusRetransmit) == 0;
    const bool late = firstTry        ? Elapsed(readingAt_, nowMs) >= kResponseTimeoutMs / 2
                      : nakAfterPart_ ? Elapsed(readingAt_, firstNakAt_) >= kResponseTimeoutMs / 2
                                      : Elapsed(readingAt_, nowMs) >= kResponseTimeoutMs * 3 / 2;
    if (!reading_.empty() && (type != readingType_ || late)) {
        reading_.clear();
    }
    nakAfterPart_ = false;
    readingType_ = type;
    readingAt_ = nowMs;
    if (dataSize > 1) {
        const std::size_t room = kMaxReading - reading_.size();
        reading_.insert(reading_.end(), data + 1, data + 1 + std::min(dataSize - 1, room));
    }
    if ((status & ssi::kStatusContinuation) == 0) {
        Bytes reading = std::move(reading_);
        reading_.clear();
        if (!reading.empty() && callbacks_.decode) {
            callbacks_.decode(reading);
        }
    }
}

}  // namespace ordane
