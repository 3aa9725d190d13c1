// Scanner and card reader identification on a serial library whose device answers any bytes
// after any delay, and which may misreport how many bytes it read. A scanner counts as
// identified exactly when what the program read contains its brand's model text (ASCII case
// ignored), and only then is the model set; a Symbol scanner exactly when its version reply
// over the link comes within the wait and names the engine; a card reader exactly when the
// answer read matches its make's frame. Scanner checks leave the port as it is; a card reader
// check opens and closes its port once.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devices/card_reader_identification.h"
#include "devices/scanner_identification.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_serial_library.h"
#include "doubles/fake_symbol_link.h"
#include "fuzz/check.h"

using ordane::Bytes;
using ordane::Text;

namespace {

// Forwards to the fake and records what each read really handed over; may misreport the
// count (the bytes it hands over never exceed the capacity).
class Line final : public ordane::SerialLibrary {
  public:
    Line(ordane::test::FakeSerialLibrary& lib, FuzzedDataProvider& in) : lib_(lib), in_(in) {}
    std::int32_t OpenPort(std::int32_t p, std::int32_t b, std::int32_t s, std::int32_t y,
                          std::int32_t t) override {
        return lib_.OpenPort(p, b, s, y, t);
    }
    std::int32_t ClosePort() override { return lib_.ClosePort(); }
    std::int32_t ClearRXBuff() override { return lib_.ClearRXBuff(); }
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) override {
        written.assign(buff, buff + std::max(count, 0));
        return lib_.WriteData(buff, count);
    }
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) override {
        const std::int32_t n = lib_.ReadData(buff, capacity);
        const std::int32_t told =
            lies && in_.ConsumeBool() ? in_.ConsumeIntegral<std::int32_t>() : n;
        // What the caller takes in: up to the count told, within its buffer (past the bytes
        // really read it holds what the caller left there).
        reads.emplace_back(buff, buff + std::clamp(told, 0, capacity));
        lastRead.assign(buff, buff + n);
        lastTold = told;
        return told;
    }
    // Identification reads with ReadData only; pieces taken here would be bytes it never saw.
    std::int32_t TakeArrived(std::vector<ordane::ArrivedBytes>& out) override {
        return lib_.TakeArrived(out);
    }
    bool lies = false;
    Bytes written;
    std::vector<Bytes> reads;
    Bytes lastRead;
    std::int32_t lastTold = 0;

  private:
    ordane::test::FakeSerialLibrary& lib_;
    FuzzedDataProvider& in_;
};

std::string Upper(const Bytes& bytes) {
    std::string s(bytes.begin(), bytes.end());
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return s;
}

bool Has(const Bytes& bytes, const std::string& upperToken) {
    return Upper(bytes).find(upperToken) != std::string::npos;
}

// A device on the line: every write is answered with bytes from the input after a delay
// from the input (some too late for the reply window).
struct Reply {
    std::uint32_t delayMs;
    Bytes bytes;
};

void Answer(ordane::test::FakeSerialLibrary& lib, ordane::test::FakePump& pump,
            FuzzedDataProvider& in, std::vector<Reply>& replies) {
    lib.responder = [&lib, &pump, &in, &replies](const Bytes&) {
        if (in.remaining_bytes() == 0) {
            return;
        }
        const auto delay = in.ConsumeIntegralInRange<std::uint32_t>(0, 2500);
        const std::string reply = in.ConsumeRandomLengthString(60);
        replies.push_back({delay, Bytes(reply.begin(), reply.end())});
        lib.Arrive(pump, delay, replies.back().bytes);
    };
}

// Whether the first reply came within the exchange's wait and names a token in its first
// `count` bytes: then the scanner must be identified.
bool PromptAnswer(const std::vector<Reply>& replies, std::uint32_t waitMs, std::size_t count,
                  std::initializer_list<const char*> tokens) {
    if (replies.empty() || replies[0].delayMs > waitMs) {
        return false;
    }
    const Bytes head(replies[0].bytes.begin(),
                     replies[0].bytes.begin() +
                         static_cast<std::ptrdiff_t>(std::min(count, replies[0].bytes.size())));
    for (const char* token : tokens) {
        if (Has(head, token)) {
            return true;
        }
    }
    return false;
}

const char* const kBrands[] = {"HHP",        "DataLogic", "Denso", "Symbol",
                               "Metrologic", "NewLand",   "Zebra"};

void CheckScanner(FuzzedDataProvider& in) {
    ordane::test::FakePump pump;
    ordane::test::FakeSerialLibrary fake;
    Line line(fake, in);
    ordane::test::FakeSymbolLink link(pump);
    ordane::FrmSymbol symbol(link, pump, 77);
    link.Attach(symbol);
    ordane::Settings settings;
    const std::string brand = kBrands[in.ConsumeIntegralInRange(0, 6)];
    settings.ScannerModel = ordane::FromAscii(brand);
    ordane::ScannerChannel channel(settings, line,
                                   [&symbol]() -> ordane::FrmSymbol& { return symbol; });
    ordane::ScannerIdentification identification(channel, pump);
    identification.ScannerXH = u"before";
    line.lies = in.ConsumeBool();
    channel.OpenScannerPort(3, 9600, 8, 0, 0);
    std::vector<Reply> replies;
    Answer(fake, pump, in, replies);
    // A Symbol scanner answers the version request over its link, whole, after a delay.
    std::vector<Reply> versionReplies;
    if (brand == "Symbol" && in.ConsumeBool()) {
        const std::string reply = in.ConsumeRandomLengthString(40);
        link.versionReply = Bytes(reply.begin(), reply.end());
        link.versionDelayMs = in.ConsumeIntegralInRange<std::uint32_t>(0, 1500);
        versionReplies.push_back({link.versionDelayMs, *link.versionReply});
    }
    const std::size_t opens = fake.opens.size();
    const int closes = fake.closes;

    const bool found = identification.CheckScanner(settings.ScannerModel);

    Bytes read;
    for (const Bytes& r : line.reads) {
        read.insert(read.end(), r.begin(), r.end());
    }
    std::string model;
    bool expected = false;
    if (brand == "HHP") {
        expected = Has(read, "IT4600-050") || Has(read, "IT4800-050");
        model = Has(read, "IT4800-050") ? "IT4800Q" : "IT4600Q";
    } else if (brand == "DataLogic") {
        expected = Has(read, "D432");
        model = "LYNX D432";
    } else if (brand == "Denso") {
        expected = Has(read, "496810") || Has(read, "GT10QU");
        model = "GT10QU";
    } else if (brand == "Metrologic") {
        expected = Has(read, "METROLOGIC012");
        model = "Focus-1690";
    } else if (brand == "NewLand") {
        expected = Has(read, "NLSHR103");
        model = "NLS-HR-103";
    } else if (brand == "Symbol") {
        // The reply counts when it comes within the one wait (Delay 1) and names the engine.
        expected = PromptAnswer(versionReplies, 1100, 40, {"NBRPYA"});
        model = expected ? "DS6607" : "";
    }
    FUZZ_CHECK(found == expected, "identified exactly when the reply names the model");
    // Reply windows (Delay n lasts n * 10 + 1 steps of 100 ms) and read counts per brand.
    bool prompt = false;
    if (brand == "HHP") {
        prompt = PromptAnswer(replies, 2100, 25, {"IT4600-050", "IT4800-050"});
    } else if (brand == "DataLogic") {
        prompt = PromptAnswer(replies, 1100, 50, {"D432"});
    } else if (brand == "Metrologic") {
        prompt = PromptAnswer(replies, 300, 25, {"METROLOGIC012"});
    } else if (brand == "NewLand") {
        prompt = PromptAnswer(replies, 300, 25, {"NLSHR103"});
    } else if (brand == "Denso") {  // the answer to the first of its six commands
        prompt = PromptAnswer(replies, 700, 15, {"496810", "GT10QU"});
    } else if (brand == "Symbol") {
        prompt = PromptAnswer(versionReplies, 1000, 40, {"NBRPYA"});
    }
    FUZZ_CHECK(!prompt || line.lies || found, "a prompt answer naming the model is taken");
    if (found || brand == "Symbol") {
        FUZZ_CHECK(identification.ScannerXH == ordane::FromAscii(model), "the model found");
    } else {
        FUZZ_CHECK(identification.ScannerXH == u"before", "a failed check leaves the model");
    }
    FUZZ_CHECK(fake.opens.size() == opens && fake.closes == closes,
               "scanner checks neither open nor close the port");
}

void CheckCardReader(FuzzedDataProvider& in) {
    ordane::test::FakePump pump;
    ordane::test::FakeSerialLibrary fake;
    Line line(fake, in);
    ordane::Settings settings;
    const int make = in.ConsumeIntegralInRange(0, 2);
    settings.CardReaderModel = make == 0 ? u"华旭" : make == 1 ? u"华视" : u"";
    ordane::CardReaderIdentification identification(settings, line, pump);
    identification.CardReaderXh = u"before";
    line.lies = in.ConsumeBool();
    fake.openResult = in.ConsumeBool() ? 0 : 5;
    std::vector<Reply> replies;
    Answer(fake, pump, in, replies);

    const bool found = identification.CheckCardReader(in.ConsumeIntegralInRange(1, 9));

    Bytes a = line.lastRead;
    a.resize(27, 0);
    bool expected = false;
    if (!line.reads.empty() && line.lastTold >= 1) {
        if (make == 0) {
            const Bytes& c = line.written;
            FUZZ_CHECK(c.size() == 9, "the request frame");
            const auto be = [](const std::uint8_t* b) {
                return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                       (std::uint32_t{b[2]} << 8) | b[3];
            };
            expected = be(&a[3]) == ordane::HxExpectedAnswer(be(&c[3]));
        } else {
            expected = a[0] == 0x02 && a[1] == 0x00 && a[2] == 0x0B && a[3] == 0x03 &&
                       a[8] == 0x02 && a[9] == 0x0B && a[10] == 0x03;
        }
    }
    FUZZ_CHECK(found == expected, "identified exactly when the answer matches the frame");
    FUZZ_CHECK(identification.CardReaderXh == (!found      ? u"before"
                                               : make == 0 ? u"HX-FDX3"
                                                           : u"CVR-100U"),
               "the reader model only on success");
    FUZZ_CHECK(fake.opens.size() == 1 && fake.closes == 1, "one open and one close");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        CheckScanner(in);
    } else {
        CheckCardReader(in);
    }
    return 0;
}
