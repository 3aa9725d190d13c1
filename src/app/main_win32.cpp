// ModMain: refuses a second instance, builds the program's objects, shows the main window and
// runs the message loop until the last window is unloaded.
#include <windows.h>

#include <commctrl.h>

#include <utility>

#include "app/delivery_win32.h"
#include "app/main_window_win32.h"
#include "app/monitor.h"
#include "app/scan_settings.h"
#include "app/single_instance_win32.h"
#include "app/status_texts.h"
#include "bridge/bridge.h"
#include "bridge/bridge_settings.h"
#include "bridge/bridge_sockets_win32.h"
#include "common/ansi_codec_win32.h"
#include "common/executable_location_win32.h"
#include "common/message_pump_win32.h"
#include "common/registry_win32.h"
#include "common/system_library_win32.h"
#include "common/thread_worker.h"
#include "common/wide_win32.h"
#include "registration/http_client_win32.h"
#include "tray/shell_icon_win32.h"
#include "devices/card_library_win32.h"
#include "devices/frm_symbol.h"
#include "devices/frm_symbol_window_win32.h"
#include "devices/serial_library_win32.h"
#include "devices/symbol_link_win32.h"
#include "log/diagnostic_log.h"
#include "log/event_log_win32.h"
#include "log/file_log_win32.h"
#include "settings/fleet_profile.h"
#include "settings/policy_key_win32.h"
#include "devices/port_probe_win32.h"
#include "settings/policy_watcher_win32.h"
#include "settings/profile_file_win32.h"
#include "settings/settings_dialog_win32.h"
#include "setup/folder_security_win32.h"
#include "version.h"

namespace ordane {
namespace {

// Why the browser bridge stayed off although Setting.ini turns it on (its port taken, most
// often): the tray icon's tip says so, where the clerk looks first, the diagnostic log names
// the port for IT, and the reason in full goes to the debug output (DebugView).
void ReportBridgeOff(TrayIcon& tray, DiagnosticLog& log, std::uint16_t port, bridge::BridgeOff off,
                     const std::string& reason) {
    if (off == bridge::BridgeOff::NoOrigins) {
        tray.SetTrayTip(u"Ordane\n浏览器接口未开启(未设置允许的网页来源)");
        log.Event("bridge", "off, no origin allowed (Origins empty or not one origin in it)");
    } else {
        // Once, as a balloon too: on a machine with several sessions only the first one's
        // bridge listens, and a tip alone goes unseen.
        const Text notice = u"浏览器接口未开启(端口" + ToDecimal(port) + u"不可用)";
        tray.SetTrayTip(u"Ordane\n" + notice);
        tray.Notify(u"Ordane", notice);
        log.Event("bridge", "off, could not listen on port", port);
    }
    OutputDebugStringA(("Ordane: browser bridge off: " + reason + "\n").c_str());
}

int Run(HINSTANCE instance) {
    FileLogWin32 logFile;
    EventLogWin32 events;
    DiagnosticLog log(logFile, events);
    const ExecutableLocation exe = GetExecutableLocation();
    SingleInstance guard(exe.folder + u"\\" + exe.baseName);
    if (guard.AlreadyRunning()) {
        log.Event("start", "refused, another copy runs in this session");
        MessageBoxW(nullptr, Wide(status::kAlreadyRunning), Wide(status::kNoticeTitle), MB_OK);
        return 0;
    }

    log.Started(ORDANE_VERSION_TEXT, ORDANE_REGISTRATION_SERVER);
    AnsiCodecWin32 codec;
    MessagePumpWin32 pump;
    ProfileFileWin32 settingsFile(exe.folder + u"\\Setting.ini");
    RegistryWin32 registry;
    PortProbeWin32 portProbe;
    MainWindow window(instance);
    if (!window.Create()) {
        log.Event("start", "main window not created");
        return 1;
    }
    // The fleet's policy key may fix any [BCINFO] value: the dialog shows it and never saves it.
    PolicyKeyWin32 policy;
    FleetProfile settings(policy, settingsFile);
    SettingsDialogWin32 settingsDialog(instance);
    // Auto-start: the machine's entry only for an installed copy no user can replace.
    RegistryWin32 userRegistry(RegistryHive::CurrentUser);
    SerialPortWin32 commDll;
    SerialPortWin32 commDll2;
    SymbolLinkWin32 symbolLink;
    FrmSymbol frmSymbol(symbolLink, pump);
    FrmSymbolWindow symbolWindow(instance, frmSymbol,
                                 [&symbolLink](UINT msg, WPARAM wParam, LPARAM lParam) {
                                     return symbolLink.Unpack(msg, wParam, lParam);
                                 });
    CardReaderLibraryWin32 sdtapi(exe.folder);
    const HWND mainWindow = window.Handle();
    ThreadWorker cardWorker([mainWindow] { PostMessageW(mainWindow, kCardReadMessage, 0, 0); });
    // Read once, like [BRIDGE]: the dialog never writes [SCAN]; the fleet's policy key may fix
    // any of its values.
    const ScanSettings scanSettings = ReadScanSettings(policy, settingsFile);
    if (!scanSettings.terminator.empty()) {
        commDll.WakeOn(scanSettings.terminator.back(),
                       [mainWindow] { PostMessageW(mainWindow, kScanTerminatedMessage, 0, 0); });
    }
    DeliveryWin32 delivery(DeliveryWin32::kSendTimeoutMs, scanSettings.keyMode);
    // Declared after delivery, whose keys its job types: it ends first.
    ThreadWorker typingWorker([mainWindow] { PostMessageW(mainWindow, kTypedMessage, 0, 0); });
    HttpClientWin32 httpClient;
    // Declared after what its job uses, so it ends first.
    ThreadWorker registrationWorker(
        [mainWindow] { PostMessageW(mainWindow, kRegisteredMessage, 0, 0); });
    ShellIcon tray(window.Handle(), codec);

    // Read once: the dialog never writes [BRIDGE]. Off, no socket is opened at all. Only the
    // policy key opens it, or Setting.ini of a portable copy in its user's own folder.
    const bridge::BridgeSettings bridgeSettings =
        bridge::ReadBridgeSettings(policy, settingsFile, FolderOwnedByCurrentUser(exe.folder));
    BridgeSocketsWin32 bridgeSockets(instance);
    bridge::Bridge browserBridge(bridgeSockets, bridgeSettings, ORDANE_VERSION_TEXT, log);
    bridgeSockets.Attach(browserBridge);
    std::string bridgeOff;
    // A taken port is tried again every few seconds: the bridge then serves the pages as soon
    // as it listens.
    const bool bridgeOn = (bridgeSettings.enabled && browserBridge.Start(bridgeOff)) ||
                          browserBridge.Off() == bridge::BridgeOff::PortTaken;

    Monitor monitor({
        .view = window,
        .tray = tray,
        .pump = pump,
        .timers = window,
        .settingsView = settingsDialog,
        .settingsFile = settings,
        .portProbe = portProbe,
        .registry = registry,
        .scannerPort = commDll,
        .readerPort = commDll2,
        .symbol = [&]() -> FrmSymbol& {
            symbolWindow.Load();
            return frmSymbol;
        },
        .sdtapi = sdtapi,
        .cardWorker = cardWorker,
        .delivery = delivery,
        .httpClient = httpClient,
        .codec = codec,
        .log = log,
        .exeFolder = exe.folder,
        .exeBaseName = exe.baseName,
        .registrationServer = ORDANE_REGISTRATION_SERVER,
        .autoStart = {&userRegistry, setup::FolderProtectedFromUsers(exe.folder)},
        .readings = bridgeOn ? &browserBridge : nullptr,
        .scan = scanSettings,
        .typingWorker = &typingWorker,
        .registrationWorker = &registrationWorker,
    });
    FrmMain& frmMain = monitor.Main();
    window.Attach(frmMain);
    tray.OnClick([&frmMain] { frmMain.OnTrayClick(); });
    PolicyWatcherWin32 policyWatcher(window.Handle(), kPolicyChangedMessage);
    window.SetUnloadOthers([&] {
        settingsDialog.Unload();
        symbolWindow.Unload();
    });
    bool exitLogged = false;
    const auto logExit = [&] {
        if (!std::exchange(exitLogged, true)) {
            browserBridge.Stop();
            log.Exited();
        }
    };
    window.SetSessionEnded(logExit);
    frmMain.Form_Load();
    if (window.Handle() == nullptr) {
        log.Exited();
        return 0;
    }
    if (browserBridge.Off() != bridge::BridgeOff::None && bridgeSettings.enabled) {
        ReportBridgeOff(tray, log, bridgeSettings.port, browserBridge.Off(), bridgeOff);
        browserBridge.SetOnListening([&tray] { tray.SetTrayTip(u"Ordane"); });
    }
    window.ShowWindow(Activation::Activate);
    SetForegroundWindow(window.Handle());

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // The loop can also end without Exit (a quit message from outside): unload while the
    // objects the windows forward to still exist.
    window.UnloadAll();
    logExit();
    if (!cardWorker.Idle() || !typingWorker.Idle() || !registrationWorker.Idle()) {
        // A card reader call never returned: end here, before the library is unloaded under
        // the thread still inside it. Keys still being typed are not typed after the end; a
        // registration request still waiting for its server is abandoned.
        ExitProcess(0);
    }
    return 0;
}

}  // namespace
}  // namespace ordane

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    ordane::RestrictLibrarySearch(
        {L"wininet.dll", L"winmm.dll", L"iphlpapi.dll"});  // before anything loads
    // Version 6 of the common controls (named in the manifest) draws with visual styles only
    // once registered; Windows 7 does not do it by itself.
    const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    return ordane::Run(instance);
}
