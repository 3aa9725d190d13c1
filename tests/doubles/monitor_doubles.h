// The doubles the whole monitor runs on, in the native tests and in the fuzz targets, and the
// platform they make of them. A user adds only what it taps or owns itself: the scanner port's
// library as the program sees it, the delivery and the log.
#pragma once

#include "app/monitor.h"
#include "doubles/fake_card_library.h"
#include "doubles/fake_codec.h"
#include "doubles/fake_http_client.h"
#include "doubles/fake_main_view.h"
#include "doubles/fake_port_probe.h"
#include "doubles/fake_profile.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_registry.h"
#include "doubles/fake_serial_library.h"
#include "doubles/fake_settings_view.h"
#include "doubles/fake_symbol_link.h"
#include "doubles/fake_worker.h"

namespace ordane::test {

struct MonitorDoubles {
    MonitorPlatform Platform(SerialLibrary& scannerPort, Delivery& delivery, DiagnosticLog& log) {
        return {
            .view = view,
            .tray = view,
            .pump = pump,
            .timers = pump,
            .settingsView = settingsView,
            .settingsFile = profile,
            .portProbe = probe,
            .registry = registry,
            .scannerPort = scannerPort,
            .readerPort = commDll2,
            .symbol = [this]() -> FrmSymbol& { return frmSymbol; },
            .sdtapi = sdtapi,
            .cardWorker = cardWorker,
            .delivery = delivery,
            .httpClient = httpClient,
            .codec = codec,
            .log = log,
            .exeFolder = u"C:\\Ordane",
            .exeBaseName = u"Ordane",
            .registrationServer = "127.0.0.1:18471",
        };
    }

    FakePump pump;
    FakeCodec codec;
    FakeMainView view;
    FakeProfile profile;
    FakePortProbe probe{{1, 2, 3, 6}};
    FakeRegistry registry;
    FakeSettingsView settingsView;
    FakeSerialLibrary commDll;
    FakeSerialLibrary commDll2;
    FakeSymbolLink symbolLink{pump};
    FrmSymbol frmSymbol{symbolLink, pump, 77};
    FakeCardLibrary sdtapi{&pump};
    FakeWorker cardWorker{pump};
    FakeHttpClient httpClient;
};

}  // namespace ordane::test
