// The whole monitor (FrmMain with its settings form, scanner channel, identification and card
// reading) on the fake pump and clock, driven by any interleaving of bytes arriving at the
// scanner port, time passing, clicks on Hide and Settings, the dialog's OK (with or without
// changes) or Cancel, and any results of the card library. Each scan delivered is exactly the
// bytes the scanner loop read since the scan before, decoded, the marker rules applied: so
// every byte read is delivered once, in order, and only a marker is ever removed. A card
// delivery is a card record. Once the line has been quiet a while nothing is stuck: both
// loops wait, the commands are enabled, and a running scanner loop has read every byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

#include "app/status_texts.h"
#include "fuzz/check.h"
#include "fuzz/monitor_world.h"

using ordane::Bytes;
using ordane::Text;

namespace {

const Bytes kHhpQuery = {0x16, 0x4D, 0x0D, 0x50, 0x5F, 0x4E, 0x41, 0x4D, 0x45, 0x3F, 0x2E};
const Bytes kNewLandQuery = {0x7E, 0x00, 0x00, 0x05, 0x33, 0x48, 0x30, 0x32, 0x30, 0xB3};
const Bytes kHsRequest = {0x02, 0x00, 0x07, 0x03, 0x01, 0x00, 0x03};
const Bytes kHsAnswer = {0x02, 0x00, 0x0B, 0x03, 0x11, 0x22, 0x33, 0x44, 0x02, 0x0B, 0x03};
const char* const kPrefixes[] = {
    "", "", "DE6K8", "DA36L", "DE6K8QTZS01_", "DA36LHGFOZ_", "DE6K8ZCCCHGZ_", "DE6K8"};

Bytes AsBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// What the business application must receive for a scan of these bytes.
struct Expected {
    bool windowText;
    Text text;
};

Expected Deliverable(ordane::FrmMain& frm, const ordane::Settings& settings,
                     const ordane::AnsiCodec& codec, const std::string& bytes) {
    Text scan = codec.Decode(bytes);
    if ((settings.ScannerModel == u"NewLand" || settings.ScannerModel == u"Metrologic") &&
        scan.rfind(u"DE6K8", 0) != 0) {
        scan = u"DE6K8" + scan;
    }
    for (const Text& marker : {Text(u"DE6K8"), Text(u"DA36L")}) {
        for (std::size_t k = 1; k <= 103; ++k) {
            if (scan.rfind(marker + frm.Router().QrCodeTypes[k] + u"_", 0) == 0) {
                return {true, scan.substr(5)};
            }
        }
    }
    if (scan.rfind(u"DE6K8", 0) == 0 || scan.rfind(u"DA36L", 0) == 0) {
        scan = scan.substr(5);
    }
    return {false, ordane::RemoveAll(ordane::RemoveAll(scan, u"DE6K8"), u"DA36L")};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ordane::fuzz::CountInput();
    ordane::fuzz::MonitorWorld w;
    const bool newLand = in.ConsumeBool();
    const bool useReader = in.ConsumeBool();
    auto& file = w.profile;
    file.Set("BCINFO", "Scanner", newLand ? "NewLand" : "HHP");
    file.Set("BCINFO", "Port", "3");
    file.Set("BCINFO", "BaudRate", "3");
    file.Set("BCINFO", "Bits", "3");
    file.Set("BCINFO", "Parity", "0");
    file.Set("BCINFO", "StopBits", "0");
    file.Set("BCINFO", "AddEnter", in.ConsumeBool() ? "1" : "0");
    file.Set("BCINFO", "UsePort2", useReader ? "1" : "0");
    file.Set("BCINFO", "UsePort1", "1");
    file.Set("BCINFO", "Port2", "2");
    file.Set("BCINFO", "CardReader", "\xBB\xAA\xCA\xD3");  // 华视
    w.commDll.responder = [&w](const Bytes& written) {
        if (written == kHhpQuery) {
            w.commDll.Arrive(w.pump, 100, AsBytes("IT4600-050 r1"));
        } else if (written == kNewLandQuery) {
            w.commDll.Arrive(w.pump, 100, AsBytes("NLSHR103"));
        }
    };
    w.commDll2.responder = [&w](const Bytes& written) {
        if (written == kHsRequest) {
            w.commDll2.Arrive(w.pump, 50, kHsAnswer);
        }
    };

    // The pieces the scanner loop took since the last scan delivered; identification reads
    // (while the scanner is not running) are not a scan. A scan is the first few of
    // them: pieces taken together after the window was held may hold several scans.
    std::deque<std::string> unread;
    int cards = 0;
    // A reading the port lost part of (reopened or gone in the middle of it) is dropped and
    // told: what was left unread then was that reading.
    std::size_t toldDropped = 0;
    const auto forgetDropped = [&] {
        std::size_t told = 0;
        for (const auto& notice : w.view.notifications) {
            told += notice.text == ordane::status::kScanIncomplete ? 1 : 0;
        }
        if (told != toldDropped) {
            toldDropped = told;
            unread.clear();
        }
    };
    w.scannerPort.onRead = [&](const std::uint8_t* buff, std::int32_t n) {
        forgetDropped();
        if (w.frm.Scanner().Phase() == ordane::ScannerPhase::Running) {
            unread.emplace_back(reinterpret_cast<const char*>(buff), static_cast<std::size_t>(n));
        }
    };
    w.delivery.onDeliver = [&](bool windowText, const Text& text) {
        // No scan is set as window text with the card record's prefix: no type code is "SFZXX".
        if (windowText && text.rfind(u"SFZXX_2.0|", 0) == 0) {
            ++cards;
            return;
        }
        ordane::fuzz::CountOracleRun();
        // The longest run of pieces that gives this text: a piece that is only a marker adds
        // nothing to the keys typed, yet belongs to the scan before it.
        std::string bytes;
        std::size_t taken = 0;
        for (std::size_t k = 0; k < unread.size(); ++k) {
            bytes += unread[k];
            const Expected expected = Deliverable(w.frm, w.monitor.InForce(), w.codec, bytes);
            if (windowText == expected.windowText && text == expected.text) {
                taken = k + 1;
            }
        }
        FUZZ_CHECK(taken > 0, "a scan is the pieces read since the scan before, less its markers");
        unread.erase(unread.begin(), unread.begin() + static_cast<long>(taken));
    };

    w.frm.Form_Load();
    w.pump.RunFor(7000);  // past the start-up steps (identification takes about 6.5 s)
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                std::string bytes = kPrefixes[in.ConsumeIntegralInRange<std::size_t>(0, 7)];
                bytes += in.ConsumeRandomLengthString(48);
                w.commDll.Arrive(w.pump, in.ConsumeIntegralInRange<std::uint32_t>(0, 400),
                                 AsBytes(bytes));
                break;
            }
            case 1:
                w.pump.RunFor(in.ConsumeIntegralInRange<std::uint32_t>(0, 1500));
                break;
            case 2: {
                const int label = in.ConsumeBool() ? 4 : 5;
                const int answer = in.ConsumeIntegralInRange(0, 3);
                if (label == 5) {
                    w.settingsView.OnNextShowing([answer](ordane::FrmSet& f) {
                        if (answer == 1) {
                            f.OnCheckClick(1);     // Enter after a barcode: no reopen
                        } else if (answer == 2) {  // another speed: both devices reopen
                            f.OnListSelect(
                                ordane::SettingsList::cbBaudRate,
                                f.List(ordane::SettingsList::cbBaudRate).ListIndex == 3 ? 4 : 3);
                        }
                        if (answer == 3) {
                            f.Command2_Click();
                        } else {
                            f.Command1_Click();
                        }
                    });
                }
                w.pump.Post([&w, label] { w.frm.OnCommandClick(label); },
                            in.ConsumeIntegralInRange<std::uint32_t>(0, 300));
                break;
            }
            default: {
                auto& card = w.sdtapi;
                card.cardPresent = in.ConsumeBool();
                const std::int32_t statuses[] = {ordane::kSdtOk, ordane::kSdtCardFound, 128, -1};
                card.openStatus =
                    in.ConsumeBool() ? ordane::kSdtOk : statuses[in.ConsumeIntegralInRange(0, 3)];
                card.selectStatus =
                    in.ConsumeBool() ? ordane::kSdtOk : statuses[in.ConsumeIntegralInRange(0, 3)];
                card.readStatus =
                    in.ConsumeBool() ? ordane::kSdtOk : statuses[in.ConsumeIntegralInRange(0, 3)];
                const std::string text = in.ConsumeRandomLengthString(120);
                card.cardText.assign(text.begin(), text.end());
                card.cardTextLength = in.ConsumeIntegral<std::uint32_t>();
                break;
            }
        }
    }
    w.sdtapi.cardPresent = false;
    w.pump.RunFor(6000);

    if (std::getenv("ORDANE_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "scans typed %zu, window texts %zu, cards %d, label 1 \"%s\"\n",
                     w.delivery.recorded.typed.size(), w.delivery.recorded.received.size(), cards,
                     ordane::ToUtf8(w.view.Label(1)).c_str());
    }
    forgetDropped();
    FUZZ_CHECK(unread.empty(), "no bytes read and left undelivered");
    FUZZ_CHECK(w.frm.CommandEnabled(4) && w.frm.CommandEnabled(5) && w.frm.CommandEnabled(6),
               "the commands are enabled again");
    FUZZ_CHECK(w.frm.CardReader().GetReaderState() != 1 && !w.frmSet.Visible(),
               "no card read nor dialog left");
    if (w.frm.Scanner().ScannerOpen() && w.frm.Timer1().Enabled()) {
        FUZZ_CHECK(w.frm.Scanner().GetScannerState() == 0 && w.commDll.Pending() == 0,
                   "a running scanner loop waits with every byte read");
    }
    // A card of another kind beeps too, but is not written: the clerk is told instead.
    bool toldOtherKind = false;
    for (const auto& notice : w.view.notifications) {
        toldOtherKind = toldOtherKind || notice.text == ordane::status::kNotResidentCard;
    }
    FUZZ_CHECK(w.view.beeps == cards || (w.view.beeps > cards && toldOtherKind),
               "a beep for each card delivered, and for a card of another kind told as such");
    return 0;
}
