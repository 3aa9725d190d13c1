// The SSI host on any stream of bytes and time steps, with packets built from the input (so
// checksums are often right), long multi-packet readings and commands of its own mixed in.
// Every packet it sends is whole, from the host, with a good checksum, and an ACK, a NAK
// asking for a resend or one of its commands; each command goes out at most three times and
// is settled once the line falls silent; readings are never empty nor beyond their bound;
// memory stays bounded whatever the stream.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <map>

#include "devices/ssi_host.h"
#include "fuzz/check.h"

using ordane::Bytes;
using ordane::SsiHost;
namespace ssi = ordane::ssi;

namespace {

constexpr std::uint8_t kOpcodes[] = {ssi::kDecodeData,
                                     ssi::kDecodeData,
                                     ssi::kReplyRevision,
                                     ssi::kCmdAck,
                                     ssi::kCmdNak,
                                     ssi::kParamSend,
                                     0x31};

struct Oracle {
    std::map<Bytes, int> commandsQueued;  // by packet body without status, how many queued
    std::map<Bytes, int> commandsSent;
    std::size_t readings = 0;

    static Bytes Key(const Bytes& packet) {
        Bytes key(packet.begin() + 1, packet.end() - 2);
        key.erase(key.begin() + 2);  // the status byte: its retransmit bit differs on a resend
        return key;
    }

    void Written(const Bytes& p) {
        FUZZ_CHECK(p.size() >= 6 && p[0] >= 4 && p.size() == p[0] + 2u, "a whole packet");
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < p[0]; ++i) {
            sum += p[i];
        }
        FUZZ_CHECK(((sum + ((p[p[0]] << 8) | p[p[0] + 1])) & 0xFFFF) == 0, "a good checksum");
        FUZZ_CHECK(p[2] == ssi::kSourceHost, "sent as the host");
        if (p[1] == ssi::kCmdAck) {
            FUZZ_CHECK(p[0] == 4, "an ACK carries nothing");
            return;
        }
        if (p[1] == ssi::kCmdNak) {
            FUZZ_CHECK(p[0] == 5 && p[4] == ssi::kNakResend, "a NAK asks for a resend");
            return;
        }
        const Bytes key = Key(p);
        FUZZ_CHECK(commandsQueued.count(key) != 0, "only commands the link asked for");
        FUZZ_CHECK(++commandsSent[key] <= 3 * commandsQueued[key], "at most two resends");
    }
};

Bytes Pattern(FuzzedDataProvider& in, std::size_t length) {
    const Bytes seed = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 8));
    Bytes out(seed.empty() ? 0 : length);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(seed[i % seed.size()] + i / seed.size());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t base = __sanitizer_get_current_allocated_bytes();
    const std::size_t memoryBound = base + 8 * SsiHost::kMaxReading + 512 * size + 65536;
    Oracle oracle;
    SsiHost host({[&](const Bytes& b) { oracle.Written(b); },
                  [&](const Bytes& r) {
                      FUZZ_CHECK(!r.empty() && r.size() <= SsiHost::kMaxReading,
                                 "a reading within its bound");
                      ++oracle.readings;
                  },
                  [&](const Bytes& r) { FUZZ_CHECK(r.size() <= ssi::kMaxData, "a revision"); },
                  nullptr});
    std::uint32_t now = in.ConsumeIntegral<std::uint32_t>();  // the counter may wrap
    std::uint32_t lastReceive = now;
    auto feed = [&](const Bytes& bytes) {
        host.Receive(bytes.data(), bytes.size(), now);
        lastReceive = now;
    };
    auto queue = [&](std::uint8_t opcode, std::uint8_t status, const Bytes& payload) {
        const Bytes packet = ssi::MakePacket(opcode, ssi::kSourceHost, status, payload);
        ++oracle.commandsQueued[Oracle::Key(packet)];
        host.SendCommand(opcode, status, payload, now);
    };

    bool longReadingSent = false;  // each costs the host much checking
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange(0, 8);
        switch (std::min(op, 4)) {
            case 0:
                feed(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 64)));
                break;
            case 1: {
                const std::uint8_t opcode =
                    kOpcodes[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kOpcodes) - 1)];
                const std::uint8_t source =
                    in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::uint8_t>();
                const std::uint8_t status = in.ConsumeIntegral<std::uint8_t>();
                Bytes packet =
                    ssi::MakePacket(opcode, source, status,
                                    Pattern(in, in.ConsumeIntegralInRange<std::size_t>(0, 251)));
                if (in.ConsumeBool()) {
                    packet[in.ConsumeIntegralInRange<std::size_t>(0, packet.size() - 1)] ^=
                        static_cast<std::uint8_t>(1u << in.ConsumeIntegralInRange(0, 7));
                }
                const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, packet.size());
                feed(Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(cut)));
                feed(Bytes(packet.begin() + static_cast<std::ptrdiff_t>(cut), packet.end()));
                break;
            }
            case 2:
                now += in.ConsumeIntegralInRange<std::uint32_t>(0, 3000);
                host.Tick(now);
                break;
            case 3:
                if (in.ConsumeBool()) {
                    queue(ssi::kRequestRevision, 0, {});
                } else {
                    Bytes pairs = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 6));
                    pairs.insert(pairs.begin(), ssi::kParamNoBeep);
                    queue(ssi::kParamSend, in.ConsumeBool() ? ssi::kStatusPermanent : 0, pairs);
                }
                break;
            default: {
                // A reading of full decode packets, the last maybe unfinished; once per input
                // long enough to pass the reading's bound.
                const bool heavy = op == 8 && !longReadingSent;
                longReadingSent = longReadingSent || heavy;
                const int count =
                    heavy ? in.ConsumeIntegralInRange(250, 300) : in.ConsumeIntegralInRange(1, 4);
                const bool finished = in.ConsumeBool();
                Bytes payload = Pattern(in, ssi::kMaxData);
                payload.resize(ssi::kMaxData, 0x41);
                payload[0] = 0x1B;
                const Bytes part =
                    ssi::MakePacket(ssi::kDecodeData, 0, ssi::kStatusContinuation, payload);
                for (int k = 1; k < count; ++k) {
                    feed(part);
                }
                feed(ssi::MakePacket(ssi::kDecodeData, 0, finished ? 0 : ssi::kStatusContinuation,
                                     payload));
                break;
            }
        }
        if (op >= 4) {  // the allocator's count is dear: after the long readings only
            FUZZ_CHECK(__sanitizer_get_current_allocated_bytes() <= memoryBound, "memory bounded");
        }
        if (!host.Busy() && now - lastReceive >= SsiHost::kInterByteTimeoutMs) {
            host.Tick(now);
            // No bytes are kept; only an unfinished reading waits, for the scanner's next part.
            const auto wait = host.NextTimeout(now);
            FUZZ_CHECK(!wait || *wait <= SsiHost::kScannerGiveUpMs,
                       "silent line, nothing waiting: no bytes kept");
        }
    }
    // The line falls silent: every command is answered or given up within three timeouts each.
    std::size_t commands = 0;
    for (const auto& entry : oracle.commandsQueued) {
        commands += static_cast<std::size_t>(entry.second);
    }
    for (std::size_t step = 0; step < (commands + 1) * 61 && host.Busy(); ++step) {
        now += 100;
        host.Tick(now);
    }
    FUZZ_CHECK(__sanitizer_get_current_allocated_bytes() <= memoryBound, "memory bounded");
    FUZZ_CHECK(!host.Busy(), "every command settled");
    // The last burst ends (a packet found among its bytes may begin a reading), an unfinished
    // reading is given up, and what that leaves to do (parameters asked for again after bytes
    // that held no packet) settles as well.
    now += SsiHost::kInterByteTimeoutMs;
    host.Tick(now);
    now += SsiHost::kScannerGiveUpMs;
    host.Tick(now);
    for (int step = 0; step < 61 && host.Busy(); ++step) {
        now += 100;
        host.Tick(now);
    }
    now += SsiHost::kInterByteTimeoutMs;
    host.Tick(now);
    FUZZ_CHECK(!host.NextTimeout(now), "nothing left waiting");
    return 0;
}
