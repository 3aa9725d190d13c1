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
        Drop(1);
        Parse(nowMs);
    }
    const bool nothingButRawBytes = burstDropped_ > 0 && burstPackets_ == 0;
    burstDropped_ = 0;
    burstPackets_ = 0;
    // The next damaged packet is a new one and gets its own NAK.
    nakPending_ = false;
    if (nothingButRawBytes && !standingParameters_.empty() && callbacks_.lost) {
        callbacks_.lost(SsiReading::Loss::kRaw);  // a reading, sent raw: its bytes are gone
    }
    if (nothingButRawBytes && !standingParameters_.empty() && !ParametersWaiting()) {
        SendCommand(ssi::kParamSend, standingStatus_, standingParameters_, nowMs);
    }
}

void SsiHost::TellLost() {
    SsiReading::Loss why{};
    for (int n = reading_.TakeLost(why); n > 0 && callbacks_.lost; --n) {
        callbacks_.lost(why);
    }
}

void SsiHost::Tick(std::uint32_t nowMs) {
    if (Elapsed(lastRxAt_, nowMs) >= kInterByteTimeoutMs) {
        EndBurst(nowMs);
    }
    reading_.Tick(nowMs);
    TellLost();
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
    if (const auto reading = reading_.NextTimeout(nowMs)) {
        consider(nowMs, *reading);
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
            Drop(next);
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
        Drop(1);
    }
}

void SsiHost::Drop(std::size_t count) {
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(count));
    burstDropped_ += count;
    resyncing_ = true;
    // The scanner resends whatever these bytes were: their resend is not the last packet again.
    reading_.Missed(lastRxAt_);
}

void SsiHost::Nak() {
    nakPending_ = true;
    Emit(ssi::MakePacket(ssi::kCmdNak, ssi::kSourceHost, 0, Bytes{ssi::kNakResend}));
}

void SsiHost::HandlePacket(const std::uint8_t* packet, std::size_t size, std::uint32_t nowMs) {
    const std::uint8_t opcode = packet[1];
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

    const SsiReading::Taken taken = reading_.Take(packet, size - kChecksumSize, nowMs);
    TellLost();
    if (opcode == ssi::kReplyRevision) {
        // The answer itself: not acknowledged.
        if (current_ && current_->opcode == ssi::kRequestRevision) {
            FinishCommand(nowMs);
        }
        if (!taken.repeat && callbacks_.revision) {
            callbacks_.revision(Bytes(data, data + dataSize));
        }
        return;
    }
    Emit(ssi::MakePacket(ssi::kCmdAck, ssi::kSourceHost, 0));
    if (taken.reading && !taken.reading->empty() && callbacks_.decode) {
        callbacks_.decode(*taken.reading);
    }
}

void SsiReading::Missed(std::uint32_t at) {
    if (!missed_) {
        missed_ = true;
        missedAt_ = at;
    }
}

SsiReading::Place SsiReading::PlaceOf(const Bytes& key, bool resend, std::uint8_t type,
                                      std::uint32_t nowMs) const {
    if (state_ == State::kIdle || type != type_) {
        return Place::kFirst;  // a part of another type is no part of this reading
    }
    // A resend answering our NAK was sent when the damaged bytes came.
    const bool afterMiss = resend && missed_;
    const std::uint32_t since = Elapsed(lastAt_, afterMiss ? missedAt_ : nowMs);
    if (since >= kGiveUpMs) {
        return Place::kFirst;
    }
    // Before the scanner can have given the last packet up it is still at this reading: at its
    // next part, or (our ACK lost) at that packet. A clean resend whose first try was not seen
    // was sent a response timeout after that try.
    const std::uint32_t tries = resend && !missed_ ? 2 : 1;
    if (since + kSlackMs >= giveUpAfterMs_ + (tries - 1) * ssi::kResponseTimeoutMs) {
        return Place::kEither;
    }
    // A resend after damage that equals the last part and was not prompt is that part again or
    // a next part equal to it.
    if (afterMiss && key == lastKey_ && since >= kSlackMs) {
        return Place::kEither;
    }
    return Place::kNext;
}

SsiReading::Taken SsiReading::Take(const std::uint8_t* packet, std::size_t size,
                                   std::uint32_t nowMs) {
    const std::uint8_t status = packet[3];
    const bool resend = (status & ssi::kStatusRetransmit) != 0;
    Bytes key(packet, packet + size);
    key[3] = static_cast<std::uint8_t>(key[3] & ~ssi::kStatusRetransmit);

    Taken taken;
    // Our ACK was lost and the scanner sends the same packet again: each copy is one more of
    // its tries, and after its last there are no more copies to expect.
    const std::uint32_t sinceLast = Elapsed(lastAt_, nowMs);
    const std::uint32_t copiesLeft = static_cast<std::uint32_t>(ssi::kMaxTries - lastTries_);
    if (resend && !missed_ && key == lastKey_ &&
        sinceLast <= copiesLeft * ssi::kResponseTimeoutMs + kSlackMs) {
        taken.repeat = true;
        lastTries_ = std::min(lastTries_ + 1, ssi::kMaxTries);
        giveUpAfterMs_ =
            std::max(ssi::kResponseTimeoutMs, giveUpAfterMs_ - std::min(giveUpAfterMs_, sinceLast));
        lastAt_ = nowMs;  // the scanner is still at this packet
        return taken;
    }

    const std::size_t dataSize = size - 4;
    const std::uint8_t* data = packet + 4;
    const bool decode = packet[1] == ssi::kDecodeData;
    const std::uint8_t type = dataSize > 0 ? data[0] : type_;
    const Place place = decode ? PlaceOf(key, resend, type, nowMs) : Place::kNext;

    lastKey_ = std::move(key);
    lastAt_ = nowMs;
    // A first try: the scanner has two more before it gives up. A resend may be its last.
    lastTries_ = resend ? 2 : 1;
    giveUpAfterMs_ = resend ? ssi::kResponseTimeoutMs : kGiveUpMs;
    missed_ = false;
    if (!decode) {
        return taken;
    }

    if (place == Place::kFirst) {
        if (state_ == State::kCollecting) {
            ++lost_;  // given up, and the scanner began the next
            lostWhy_ = Loss::kGivenUp;
        }
        reading_.clear();
        state_ = State::kCollecting;
    } else if (place == Place::kEither) {
        // The unfinished reading, and the one whose start is unknown (counted once: parts while
        // discarding are of the reading counted when the discarding began).
        lost_ += state_ == State::kCollecting ? 2 : (state_ == State::kIdle ? 1 : 0);
        lostWhy_ = Loss::kAmbiguous;
        reading_.clear();
        state_ = State::kDiscarding;
    }
    type_ = type;
    if (state_ == State::kCollecting && dataSize > 1) {
        // Each packet of a reading repeats the barcode-type byte; the reading is the decoded bytes.
        const std::size_t room = kMaxReading - reading_.size();
        reading_.insert(reading_.end(), data + 1, data + 1 + std::min(dataSize - 1, room));
    }
    if ((status & ssi::kStatusContinuation) == 0) {
        if (state_ == State::kCollecting) {
            taken.reading = std::move(reading_);
        }
        reading_.clear();
        state_ = State::kIdle;
    }
    return taken;
}

void SsiReading::Tick(std::uint32_t nowMs) {
    if (state_ != State::kIdle && Elapsed(lastAt_, nowMs) >= kGiveUpMs) {
        if (state_ == State::kCollecting) {  // one discarded was counted when it began
            ++lost_;
            lostWhy_ = Loss::kGivenUp;
        }
        reading_.clear();
        state_ = State::kIdle;
    }
}

std::optional<std::uint32_t> SsiReading::NextTimeout(std::uint32_t nowMs) const {
    if (state_ == State::kIdle) {
        return std::nullopt;
    }
    const std::uint32_t elapsed = Elapsed(lastAt_, nowMs);
    return elapsed >= kGiveUpMs ? 0 : kGiveUpMs - elapsed;
}

}  // namespace ordane
