// A Symbol scanner that follows the packet protocol, talking to the host through a line that
// drops packets, flips one bit of a packet (never its length byte) and delays or splits them.
// Every reading the scanner saw acknowledged is handed on exactly once, in order and
// unaltered; a reading the scanner gave up, and one begun so soon after it that the host cannot
// tell its first part from a late part of the reading given up, may be handed on once or not at
// all; nothing is handed on that the scanner did not send.
//
// Readings are printable text: with the length byte intact, a single flipped bit always
// breaks the checksum and no valid packet can hide inside such data, so the line cannot forge
// a packet and every failure is the host's. The protocol has no sequence numbers: the host
// tells a resend from a new packet only by the retransmit bit and by comparing with the last
// packet it took, and a history in which both readings fit is ambiguous. Two kinds of run keep
// clear of that. In the first, consecutive packets of the readings always differ (though the
// first packet of a reading can equal the last one sent of a reading given up); the line may do
// anything to the host's ACKs and NAKs and to a packet's first try, while resends get through. In
// the second, the same barcode may come again (and runs of one character, so equal consecutive
// packets), the host's packets always get through and the scanner's first tries may have bits
// flipped. (Were resends damaged too, the scanner could give a reading up after its first
// part was taken, and begin the same reading again: its first part, resent after a NAK, is
// then indistinguishable from the second part of the reading given up.)

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "devices/ssi_host.h"
#include "fuzz/check.h"

using ordane::Bytes;
using ordane::SsiHost;
namespace ssi = ordane::ssi;

namespace {

constexpr std::uint64_t kResponseTimeoutMs = 2000;  // the scanner's, as the host's
constexpr int kTries = 3;

struct Delivery {
    std::uint64_t at;
    Bytes bytes;
    bool damaged = false;  // a whole packet with a bit flipped
};

// One direction of the serial line: bytes keep their order, each packet meets one fault.
class Wire {
  public:
    enum class Faults { kNone, kAll, kAllOnFirstTries, kFlips };
    Wire(FuzzedDataProvider& in, const char* direction, Faults faults)
        : name(direction), in_(in), faults_(faults) {}
    // ORDANE_FUZZ_TRACE=1 prints each packet and what the line did with it.
    const bool trace = std::getenv("ORDANE_FUZZ_TRACE") != nullptr;
    const char* name;

    void Send(Bytes packet, std::uint64_t now) {
        if (trace) {
            std::fprintf(stderr, "%6llu %s", static_cast<unsigned long long>(now), name);
            for (std::size_t i = 0; i < std::min<std::size_t>(packet.size(), 12); ++i) {
                std::fprintf(stderr, " %02x", packet[i]);
            }
        }
        const Bytes sent = packet;
        std::uint64_t at = std::max(now, last_);
        const bool resend = (packet[3] & ssi::kStatusRetransmit) != 0;
        if (faults_ != Faults::kNone && in_.remaining_bytes() > 0) {
            at += in_.ConsumeIntegralInRange<std::uint64_t>(0, 150);
            int fault = in_.ConsumeIntegralInRange(0, 5);
            if ((faults_ == Faults::kFlips && (fault != 1 || resend)) ||
                (faults_ == Faults::kAllOnFirstTries && resend)) {
                fault = 3;  // delayed only
            }
            switch (fault) {
                case 0:
                    if (trace) {
                        std::fprintf(stderr, " -> lost\n");
                    }
                    return;
                case 1:
                    packet[in_.ConsumeIntegralInRange<std::size_t>(1, packet.size() - 1)] ^=
                        static_cast<std::uint8_t>(1u << in_.ConsumeIntegralInRange(0, 7));
                    break;
                case 2: {  // a pause inside the packet, maybe longer than the inter-byte timeout
                    const auto cut = in_.ConsumeIntegralInRange<std::size_t>(1, packet.size() - 1);
                    queue_.push_back({at, Bytes(packet.begin(), packet.begin() + cut)});
                    at += in_.ConsumeIntegralInRange<std::uint64_t>(0, 400);
                    packet.erase(packet.begin(), packet.begin() + cut);
                    break;
                }
                default:
                    break;
            }
        }
        if (trace) {
            std::fprintf(stderr,
                         packet.size() < sent.size() || packet != sent ? " -> changed, at %llu\n"
                                                                       : " -> at %llu\n",
                         static_cast<unsigned long long>(at));
        }
        last_ = at;
        const bool damaged = packet.size() == sent.size() && packet != sent;
        queue_.push_back({at, std::move(packet), damaged});
    }
    std::uint64_t NextAt() const { return queue_.empty() ? UINT64_MAX : queue_.front().at; }
    Delivery Take() {
        Delivery d = std::move(queue_.front());
        queue_.pop_front();
        return d;
    }
    bool Empty() const { return queue_.empty(); }

  private:
    FuzzedDataProvider& in_;
    const Faults faults_;
    std::deque<Delivery> queue_;
    std::uint64_t last_ = 0;
};

struct Reading {
    Bytes text;
    std::size_t partSize;  // decoded bytes per packet
    bool acknowledged = false;
    std::uint64_t firstTryAt = 0;  // when the scanner first sent its first part
    std::uint64_t lastTryAt = 0;   // and its last try of any part
};

// The scanner: sends each reading as decode packets, waits for the ACK of each, resends on a
// NAK or after the response timeout with the retransmit bit, gives the reading up after three
// tries of one packet; never answers an ACK or NAK.
class Scanner {
  public:
    Scanner(std::vector<Reading>& readings, std::vector<std::uint64_t> gaps)
        : readings_(readings), gaps_(std::move(gaps)) {}

    void Start(std::uint64_t now) { nextReadingAt_ = now + gaps_[0]; }

    // Bytes from the host.
    void Receive(const Bytes& bytes, std::uint64_t now) {
        if (!rx_.empty() && now - lastRx_ >= SsiHost::kInterByteTimeoutMs) {
            rx_.clear();
        }
        lastRx_ = now;
        rx_.insert(rx_.end(), bytes.begin(), bytes.end());
        while (!rx_.empty()) {
            const std::size_t length = rx_[0];
            if (length < 4) {
                rx_.erase(rx_.begin());
                continue;
            }
            if (rx_.size() < length + 2) {
                return;
            }
            const std::uint16_t sum = ssi::Checksum(rx_.data(), length);
            if (((rx_[length] << 8) | rx_[length + 1]) != sum) {
                rx_.erase(rx_.begin());
                continue;
            }
            const std::uint8_t opcode = rx_[1];
            rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(length + 2));
            if (!waiting_) {
                continue;
            }
            if (opcode == ssi::kCmdAck) {
                Acknowledged(now);
            } else if (opcode == ssi::kCmdNak) {
                Retry(now);
            }
        }
    }

    void Timers(std::uint64_t now, Wire& toHost) {
        toHost_ = &toHost;
        if (waiting_ && now - sentAt_ >= kResponseTimeoutMs) {
            Retry(now);
        }
        if (!waiting_ && current_ < readings_.size() && now >= nextReadingAt_) {
            part_ = 0;
            tries_ = 0;
            Send(now);
        }
    }

    std::uint64_t NextAt() const {
        if (waiting_) {
            return sentAt_ + kResponseTimeoutMs;
        }
        return current_ < readings_.size() ? nextReadingAt_ : UINT64_MAX;
    }
    bool Done() const { return current_ >= readings_.size(); }

  private:
    std::size_t Parts(const Reading& r) const {
        return (r.text.size() + r.partSize - 1) / r.partSize;
    }

    void Send(std::uint64_t now) {
        const Reading& r = readings_[current_];
        const std::size_t from = part_ * r.partSize;
        const std::size_t to = std::min(r.text.size(), from + r.partSize);
        Bytes data{0x1C};  // each packet repeats the barcode type
        data.insert(data.end(), r.text.begin() + static_cast<std::ptrdiff_t>(from),
                    r.text.begin() + static_cast<std::ptrdiff_t>(to));
        std::uint8_t status = part_ + 1 < Parts(r) ? ssi::kStatusContinuation : 0;
        if (tries_ > 0) {
            status |= ssi::kStatusRetransmit;
        }
        ++tries_;
        waiting_ = true;
        sentAt_ = now;
        if (part_ == 0 && tries_ == 1) {
            readings_[current_].firstTryAt = now;
        }
        readings_[current_].lastTryAt = now;
        toHost_->Send(ssi::MakePacket(ssi::kDecodeData, ssi::kSourceDecoder, status, data), now);
    }

    void Acknowledged(std::uint64_t now) {
        waiting_ = false;
        if (++part_ < Parts(readings_[current_])) {
            tries_ = 0;
            Send(now);
            return;
        }
        readings_[current_].acknowledged = true;
        NextReading(now);
    }

    void Retry(std::uint64_t now) {
        waiting_ = false;
        if (tries_ < kTries) {
            Send(now);
        } else {
            NextReading(now);  // given up
        }
    }

    void NextReading(std::uint64_t now) {
        ++current_;
        if (current_ < readings_.size()) {
            nextReadingAt_ = now + gaps_[current_];
        }
    }

    std::vector<Reading>& readings_;
    std::vector<std::uint64_t> gaps_;
    Wire* toHost_ = nullptr;
    std::size_t current_ = 0;
    std::size_t part_ = 0;
    int tries_ = 0;
    bool waiting_ = false;
    std::uint64_t sentAt_ = 0;
    std::uint64_t nextReadingAt_ = 0;
    Bytes rx_;
    std::uint64_t lastRx_ = 0;
};

// Whether a reading may be missing: one the scanner gave up, and one it began before the host can
// know that the reading before it was given up (until the scanner's three response timeouts
// after that reading's last try, with a second for the line). Nothing marks the first part of a
// reading, so until then its first part may be a late part of the reading given up, and the
// host drops both rather than hand on a reading without its start.
bool MayBeMissing(const std::vector<Reading>& sent, std::size_t i) {
    return !sent[i].acknowledged ||
           (i > 0 && !sent[i - 1].acknowledged &&
            sent[i].firstTryAt - sent[i - 1].lastTryAt < kTries * kResponseTimeoutMs + 1000);
}

// Whether the readings handed on are, in order, some of those sent, each at most once, with
// every one that may not be missing among them.
bool ExactlyOnce(const std::vector<Reading>& sent, const std::vector<Bytes>& got) {
    std::vector<std::vector<char>> ok(sent.size() + 1, std::vector<char>(got.size() + 1, 0));
    ok[0][0] = 1;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        for (std::size_t j = 0; j <= got.size(); ++j) {
            if (!ok[i][j]) {
                continue;
            }
            if (MayBeMissing(sent, i)) {
                ok[i + 1][j] = 1;
            }
            if (j < got.size() && got[j] == sent[i].text) {
                ok[i + 1][j + 1] = 1;
            }
        }
    }
    return ok[sent.size()][got.size()] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<Reading> readings;
    std::vector<std::uint64_t> gaps;
    const bool repeats = in.ConsumeBool();  // the second kind of run
    const int count = in.ConsumeIntegralInRange(1, 8);
    int packets = 0;
    for (int i = 0; i < count; ++i) {
        Reading r;
        if (repeats && i > 0 && in.ConsumeBool()) {
            r = readings.back();  // the same barcode scanned again
            r.acknowledged = false;
        } else {
            const Bytes seed = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 8));
            r.text.resize(in.ConsumeIntegralInRange<std::size_t>(1, 600));
            for (std::size_t k = 0; k < r.text.size(); ++k) {
                const std::uint8_t s = seed.empty() ? 0 : seed[k % seed.size()];
                r.text[k] = static_cast<std::uint8_t>(0x20 + (s + k / 8) % 95);
            }
            r.partSize = in.ConsumeIntegralInRange<std::size_t>(1, ssi::kMaxData - 1);
            for (std::size_t at = 0; !repeats && at < r.text.size(); at += r.partSize) {
                r.text[at] = (packets++ % 2) != 0 ? 'A' : 'B';  // no packet like the one before
            }
        }
        readings.push_back(std::move(r));
        gaps.push_back(in.ConsumeIntegralInRange<std::uint64_t>(0, 3000));
    }

    Wire toHost(in, "scanner:", repeats ? Wire::Faults::kFlips : Wire::Faults::kAllOnFirstTries);
    Wire toScanner(in, "host:   ", repeats ? Wire::Faults::kNone : Wire::Faults::kAll);
    std::vector<Bytes> got;
    std::uint64_t now = 0;
    const std::uint32_t base = in.ConsumeIntegral<std::uint32_t>();  // the tick counter may wrap
    int naks = 0;
    SsiHost host({[&](const Bytes& b) {
                      naks += b.size() > 1 && b[1] == ssi::kCmdNak ? 1 : 0;
                      toScanner.Send(b, now);
                  },
                  [&](const Bytes& r) { got.push_back(r); }, nullptr, nullptr});
    Scanner scanner(readings, gaps);
    scanner.Start(now);

    for (int events = 0; events < 100000; ++events) {
        const auto tick = [&] { return static_cast<std::uint32_t>(base + now); };
        scanner.Timers(now, toHost);
        host.Tick(tick());
        if (scanner.Done() && toHost.Empty() && toScanner.Empty()) {
            break;
        }
        std::uint64_t next = std::min({toHost.NextAt(), toScanner.NextAt(), scanner.NextAt()});
        if (const auto wait = host.NextTimeout(tick())) {
            next = std::min(next, now + std::max<std::uint32_t>(*wait, 1));
        }
        now = std::max(now, next);
        while (toHost.NextAt() <= now) {
            const Delivery d = toHost.Take();
            // Nothing pending at the host (it runs no command here): a damaged packet arriving
            // whole must be NAKed, so the scanner resends at once.
            const bool quiet = !host.NextTimeout(tick());
            const int naksBefore = naks;
            host.Receive(d.bytes.data(), d.bytes.size(), tick());
            FUZZ_CHECK(!d.damaged || !quiet || naks > naksBefore,
                       "a damaged packet on a quiet line draws a NAK");
        }
        while (toScanner.NextAt() <= now) {
            scanner.Receive(toScanner.Take().bytes, now);
        }
    }
    now += SsiHost::kInterByteTimeoutMs + SsiHost::kScannerGiveUpMs;
    host.Tick(static_cast<std::uint32_t>(base + now));

    if (!ExactlyOnce(readings, got)) {
        for (std::size_t i = 0; i < readings.size(); ++i) {
            const Reading& r = readings[i];
            std::fprintf(stderr, "sent %zu bytes%s: %.40s\n", r.text.size(),
                         MayBeMissing(readings, i) ? "" : " (must arrive)",
                         std::string(r.text.begin(), r.text.end()).c_str());
        }
        for (const Bytes& g : got) {
            std::fprintf(stderr, "handed on %zu bytes: %.40s\n", g.size(),
                         std::string(g.begin(), g.end()).c_str());
        }
    }
    FUZZ_CHECK(ExactlyOnce(readings, got),
               "every acknowledged reading handed on exactly once, in order, unaltered");
    return 0;
}
