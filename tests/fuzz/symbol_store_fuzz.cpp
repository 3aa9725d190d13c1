// The Symbol receive store against a model: link messages with any count (negative, zero, far
// beyond the buffer) and reads of any size, in any order. A data block that is not empty is
// queued as a reading of its own behind "DE6K8", cut to the 5000 bytes the library was given
// and to the store, unless FrmSymbol::kMaxReadings are unread (then dropped and counted);
// reads hand out the pending bytes oldest first, never more than asked, and write nothing past
// what they return; taking hands out the readings (or the rest of one partly read) in order;
// version blocks add up.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <limits>
#include <vector>

#include "devices/frm_symbol.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_symbol_link.h"
#include "fuzz/check.h"

using ordane::FrmSymbol;

namespace {

constexpr std::size_t kGiven = 5000;  // the buffer size the link was told
constexpr std::size_t kMostData = 4996;
constexpr std::int64_t kSpare = 64;
constexpr std::uint8_t kCanary = 0xA5;

std::int32_t AnyCount(FuzzedDataProvider& in, std::size_t written) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return static_cast<std::int32_t>(written);
        case 1:
            return in.ConsumeIntegralInRange<std::int32_t>(-2, 5010);
        default:
            return in.ConsumeIntegral<std::int32_t>();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ordane::test::FakePump pump;
    ordane::test::FakeSymbolLink link(pump);
    FrmSymbol symbol(link, pump, 77);

    std::array<std::uint8_t, kGiven> library{};  // what the link last wrote, as the model sees it
    std::deque<std::string> readings;            // unread, oldest first
    std::uint32_t dropped = 0;
    ordane::Text version;

    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange(0, 5);
        if (op <= 1) {
            // A few bytes from the input repeated to any length keep inputs short.
            const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, kGiven);
            const std::vector<std::uint8_t> pattern =
                in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 16));
            std::vector<std::uint8_t> block(pattern.empty() ? 0 : length);
            for (std::size_t have = 0; have < block.size();) {
                const std::size_t n = have == 0 ? std::min(pattern.size(), block.size())
                                                : std::min(have, block.size() - have);
                std::memcpy(block.data() + have, have == 0 ? pattern.data() : block.data(), n);
                have += n;
            }
            std::copy(block.begin(), block.end(), symbol.LibraryBuffer());
            std::copy(block.begin(), block.end(), library.begin());
            const std::int32_t n = AnyCount(in, block.size());
            const std::size_t trusted = n <= 0 ? 0 : std::min<std::size_t>(n, kGiven);
            if (op == 0) {
                symbol.SymbolWindowHook(ordane::kSymbolDataMessage, n);
                if (trusted > 0 && readings.size() >= FrmSymbol::kMaxReadings) {
                    ++dropped;
                } else if (trusted > 0) {
                    readings.push_back("DE6K8");
                    readings.back().append(library.begin(),
                                           library.begin() + std::min(trusted, kMostData));
                }
            } else {
                symbol.SymbolWindowHook(ordane::kSymbolVersionMessage, n);
                version.append(library.begin(), library.begin() + trusted);
            }
        } else if (op == 2) {
            const std::int32_t want = in.ConsumeBool()
                                          ? in.ConsumeIntegralInRange<std::int32_t>(-1, 5010)
                                          : in.ConsumeIntegral<std::int32_t>();
            std::string pending;
            for (const std::string& reading : readings) {
                pending += reading;
            }
            // One spare byte past the size given, so a write beyond it shows as well. A size
            // beyond what is pending gets a little room past it: a write further out than
            // that shows to ASan (a full-size buffer for every large size would slow the run).
            const std::int64_t room = static_cast<std::int64_t>(pending.size()) + kSpare;
            std::vector<std::uint8_t> buff(
                static_cast<std::size_t>(std::clamp<std::int64_t>(want, 0, room)) + 1, kCanary);
            const std::int32_t got = symbol.ReadData(buff.data(), want);
            const std::size_t expected =
                want <= 0 ? 0
                          : std::min<std::size_t>(pending.size(), static_cast<std::size_t>(want));
            FUZZ_CHECK(got >= 0 && static_cast<std::size_t>(got) == expected,
                       "a read returns what is pending, at most what was asked");
            FUZZ_CHECK(std::memcmp(buff.data(), pending.data(), expected) == 0,
                       "bytes oldest first, unchanged");
            for (std::size_t left = expected; left > 0;) {
                const std::size_t n = std::min(left, readings.front().size());
                readings.front().erase(0, n);
                if (readings.front().empty()) {
                    readings.pop_front();
                }
                left -= n;
            }
            FUZZ_CHECK(std::all_of(buff.begin() + static_cast<std::ptrdiff_t>(expected), buff.end(),
                                   [](std::uint8_t b) { return b == kCanary; }),
                       "nothing written past the count");
        } else if (op == 3) {
            symbol.ClearRXBuff();
            readings.clear();
        } else if (op == 4) {
            std::vector<ordane::ArrivedBytes> taken;
            const std::int32_t n = symbol.TakeArrived(taken);
            FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == readings.size() &&
                           taken.size() == readings.size(),
                       "taking hands out every reading");
            for (std::size_t i = 0; i < taken.size(); ++i) {
                FUZZ_CHECK(taken[i].bytes == readings[i], "readings in order, unchanged");
            }
            readings.clear();
        } else {
            unsigned msg = in.ConsumeIntegral<unsigned>();
            if (msg == ordane::kSymbolDataMessage || msg == ordane::kSymbolVersionMessage) {
                msg = 0;  // a message that is not the link's
            }
            symbol.SymbolWindowHook(msg, AnyCount(in, 0));
        }
        std::size_t pendingCount = 0;
        for (const std::string& reading : readings) {
            pendingCount += reading.size();
        }
        FUZZ_CHECK(symbol.PendingCount() == static_cast<std::int32_t>(pendingCount),
                   "pending count");
        FUZZ_CHECK(symbol.DroppedCount() == dropped, "dropped readings counted");
    }
    FUZZ_CHECK(symbol.VersionText() == version, "version text");
    return 0;
}
