// The whole monitor on test doubles: the real main-window logic, settings form, scanner
// channel, Symbol channel and identification exchanges, with fake ports, a fake card library,
// a fake registry and a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "doubles/fake_delivery.h"
#include "doubles/monitor_doubles.h"
#include "doubles/fake_log.h"
#include "doubles/fake_readings.h"
#include "doubles/protocol_vectors.h"

namespace ordane::test {

inline const Bytes kHhpQuery = Vector("hhp.query");
inline const Bytes kHsRequest = Vector("hs.request");
inline const Bytes kHsAnswer = Vector("hs.answer");

inline Bytes AsBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class MonitorTest : public ::testing::Test, protected MonitorDoubles {
  protected:
    // scan: the [SCAN] section as read at start-up.
    explicit MonitorTest(ScanSettings scanSettings = {}) : scan(std::move(scanSettings)) {
        pump.SetTimerHandler([this](int id) { frm.OnTimer(id); });
        symbolLink.Attach(frmSymbol);
        delivery.pump = &pump;
        httpClient.pump = &pump;
        commDll.pump = &pump;
        cardWorker.onDone = [this] { frm.OnCardRead(); };
        sdtapi.onWorker = &cardWorker.running;
        typingWorker.onDone = [this] { frm.OnTyped(); };
        registrationWorker.onDone = [this] { frm.OnRegistered(); };
        httpClient.onWorker = &registrationWorker.running;
    }

    // A settings file as the dialog writes it.
    void WriteSettings(bool useScanner, bool useReader, const std::string& brand = "HHP",
                       const std::string& port = "3", const std::string& port2 = "2",
                       const std::string& make = "\xBB\xAA\xCA\xD3" /* 华视 in GBK */) {
        profile.Set("BCINFO", "Scanner", brand);
        profile.Set("BCINFO", "Port", port);
        profile.Set("BCINFO", "BaudRate", "3");
        profile.Set("BCINFO", "Bits", "3");
        profile.Set("BCINFO", "Parity", "0");
        profile.Set("BCINFO", "StopBits", "0");
        profile.Set("BCINFO", "AddEnter", "1");
        profile.Set("BCINFO", "UsePort2", useReader ? "1" : "0");
        profile.Set("BCINFO", "UsePort1", useScanner ? "1" : "0");
        profile.Set("BCINFO", "Port2", port2);
        profile.Set("BCINFO", "CardReader", make);
    }

    // An HHP scanner on the scanner port: answers its query after 100 ms.
    void AttachHhpScanner(const std::string& reply = "IT4600-050 r1") {
        commDll.responder = [this, reply](const Bytes& written) {
            if (written == kHhpQuery) {
                commDll.Arrive(pump, 100, AsBytes(reply));
            }
        };
    }

    // A reader of the make "华视" on the probe port.
    void AttachHsReader() {
        commDll2.responder = [this](const Bytes& written) {
            if (written == kHsRequest) {
                commDll2.Arrive(pump, 50, kHsAnswer);
            }
        };
    }

    // Starts the program and runs until both start-up steps are over.
    void StartAndSettle(std::uint32_t ms = 6000) {
        frm.Form_Load();
        pump.RunFor(ms);
    }

    // A reading arriving on the scanner port in chunks.
    void Scan(const std::string& text, std::uint32_t afterMs = 0) {
        commDll.Arrive(pump, afterMs, AsBytes(text));
    }

    bool AllStatusLinesEmpty() const {
        for (int label : {1, 2, 3, 7, 10, 11, 12, 13}) {
            if (!view.Label(label).empty()) {
                return false;
            }
        }
        return true;
    }

    FakeLogSink logLines;
    FakeEventSink events;
    DiagnosticLog log{logLines, events};
    FakeDelivery delivery;
    FakeReadings readings;  // the browser bridge, on in every test; no page takes the scans
    ScanSettings scan;
    FakeWorker typingWorker{pump};
    FakeWorker registrationWorker{pump};
    Monitor monitor{[this] {
        MonitorPlatform platform = Platform(commDll, delivery, log);
        platform.readings = &readings;
        platform.scan = scan;
        platform.typingWorker = &typingWorker;
        platform.registrationWorker = &registrationWorker;
        return platform;
    }()};
    FrmMain& frm = monitor.Main();
    FrmSet& frmSet = monitor.Dialog();
};

}  // namespace ordane::test
