// The program's one assembly: every object of the monitor built from the platform's interfaces,
// in one place, whether the platform is Win32 (main_win32.cpp), the native tests' doubles or the
// fuzz targets' world. The platform is named field by field (designated initialisers), so two
// interfaces of one type cannot change places unnoticed.
#pragma once

#include <string>

#include "app/delivery.h"
#include "app/frm_main.h"
#include "app/main_view.h"
#include "app/readings.h"
#include "app/scan_settings.h"
#include "common/pump.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/worker.h"
#include "devices/card_library.h"
#include "devices/card_reader_identification.h"
#include "devices/port_probe.h"
#include "devices/scanner_channel.h"
#include "devices/scanner_identification.h"
#include "devices/serial_library.h"
#include "log/diagnostic_log.h"
#include "registration/http.h"
#include "registration/http_client.h"
#include "settings/frm_set.h"
#include "settings/profile_file.h"
#include "settings/settings_model.h"
#include "settings/settings_view.h"
#include "tray/tray_icon.h"

namespace ordane {

struct MonitorPlatform {
    MainView& view;
    TrayIcon& tray;
    MessagePump& pump;
    TimerHost& timers;
    SettingsView& settingsView;  // the settings dialog's window
    ProfileFile& settingsFile;   // Setting.ini, under the fleet's policy key
    PortProbe& portProbe;
    Registry& registry;          // HKEY_LOCAL_MACHINE
    SerialLibrary& scannerPort;  // CommDll
    SerialLibrary& readerPort;   // CommDll2: the card reader's identification exchange
    ScannerChannel::SymbolFactory symbol;
    CardReaderLibrary& sdtapi;
    Worker& cardWorker;  // where the card reader library is called
    Delivery& delivery;
    HttpClient& httpClient;
    const AnsiCodec& codec;
    DiagnosticLog& log;
    Text exeFolder;    // as the system reports it
    Text exeBaseName;  // without ".exe": the auto-start entry's program
    std::string registrationServer;
    AutoStartPlaces autoStart = {};
    Readings* readings = nullptr;  // the browser bridge, when it is on
    ScanSettings scan = {};        // [SCAN]
    Worker* typingWorker = nullptr;
    Worker* registrationWorker = nullptr;
};

class Monitor {
  public:
    explicit Monitor(const MonitorPlatform& platform);
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    FrmMain& Main() { return frmMain_; }
    FrmSet& Dialog() { return frmSet_; }
    const Settings& InForce() const { return inForce_; }

  private:
    Settings inForce_;  // the channel and the identification read the brand and make here
    FrmSet frmSet_;
    ScannerChannel scanner_;
    ScannerIdentification scannerIdentification_;
    CardReaderIdentification cardReaderIdentification_;
    Http http1_;
    FrmMain frmMain_;
};

}  // namespace ordane
