#include "app/frm_main.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/card_record.h"
#include "app/status_texts.h"
#include "devices/delay.h"

namespace ordane {

namespace {

constexpr int kStatusLines[] = {1, 2, 3, 7, 10, 11, 12, 13};
constexpr int kHideCommand = 4;
constexpr int kSettingsCommand = 5;
constexpr int kExitCommand = 6;
constexpr std::int32_t kReadChunk = 25;
constexpr std::uint32_t kQuietMs = 200;
constexpr std::uint32_t kCollectPollMs = 50;
constexpr std::size_t kScanBufferStart = 8097;
// Far above any real code: only line noise or a scanner that never pauses gets there.
constexpr std::size_t kMaxScan = std::size_t{1} << 20;
// While draining a burst, messages are still dispatched after this many bytes.
constexpr std::size_t kDrainPumpBytes = 4096;
// How often a scanner port that went away is tried again.
constexpr std::uint32_t kReopenIntervalMs = 2000;
constexpr std::size_t kSamIdLength = 50;
// How long typed keys may still be on their way to the business application: a fixed part,
// and a little for each character of a long reading.
constexpr std::uint32_t kKeysSettleMs = 500;
constexpr std::uint32_t kKeysSettleMsPerCharacter = 1;

// The registration flag counts as set when its text, up to a terminating NUL, is "1".
bool FlagSet(const std::string& data) {
    return data.substr(0, data.find('\0')) == "1";
}

}  // namespace

FrmMain::FrmMain(const FrmMainDeps& deps)
    : deps_(deps), timer1_(deps.timers, kTimer1Id, 50), timer2_(deps.timers, kTimer2Id, 500) {}

bool FrmMain::CommandEnabled(int label) const {
    return label >= kHideCommand && label <= kExitCommand &&
           commandsEnabled_[static_cast<std::size_t>(label - kHideCommand)];
}

void FrmMain::SetCommandsEnabled(bool enabled) {
    for (int label = kHideCommand; label <= kExitCommand; ++label) {
        commandsEnabled_[static_cast<std::size_t>(label - kHideCommand)] = enabled;
        deps_.view.SetCommandEnabled(label, enabled);
    }
}

void FrmMain::FillQrCodeTypes() {
    QrCodeTypes[1] = u"ZCCCHGZ";
    QrCodeTypes[2] = u"HGFOZ";
    QrCodeTypes[3] = u"HGJKZ";
    for (int i = 1; i <= 100; ++i) {
        const std::string digits = std::to_string(i + 100).substr(1);
        QrCodeTypes[static_cast<std::size_t>(3 + i)] = u"QTZS" + FromAscii(digits);
    }
}

FrmMain::TimerStates FrmMain::StopTimers() {
    const TimerStates noted{timer1_.Enabled(), timer2_.Enabled()};
    timer1_.SetEnabled(false);
    timer2_.SetEnabled(false);
    return noted;
}

void FrmMain::RestoreTimers(TimerStates noted) {
    timer1_.SetEnabled(noted.timer1);
    timer2_.SetEnabled(noted.timer2);
}

void FrmMain::EnableTimersInUse(bool useScanner, bool useReader) {
    if (useScanner) {
        timer1_.SetEnabled(true);
    }
    if (useReader) {
        timer2_.SetEnabled(true);
    }
}

void FrmMain::SetLabel(int label, const Text& text) {
    deps_.view.SetLabelText(label, text);
    if (deps_.readings == nullptr) {
        return;
    }
    const auto model = [&text] {
        return StartsWith(text, status::kModelPrefix)
                   ? text.substr(std::char_traits<char16_t>::length(status::kModelPrefix))
                   : text;
    };
    // "Reading" comes and goes with every card poll and scan: a page is told lasting states.
    if (text == status::kScannerReading || text == status::kReaderReading) {
        return;
    }
    switch (label) {
        case 1:
            readingsStatus_.scanner.status = text;
            break;
        case 7:
            readingsStatus_.scanner.model = model();
            break;
        case 11:
            readingsStatus_.reader.model = model();
            break;
        case 12:
            readingsStatus_.reader.status = text;
            break;
        default:
            return;
    }
    deps_.readings->Status(readingsStatus_);
}

void FrmMain::ClearStatusLines() {
    for (int label : kStatusLines) {
        SetLabel(label, Text());
    }
}

void FrmMain::SetScannerState(std::int32_t state) {
    ScannerState = state;
    SetLabel(1, state == 1   ? status::kScannerReading
                : state == 2 ? status::kScannerInitialising
                             : status::kScannerWaiting);
}

void FrmMain::SetReaderState(std::int32_t state) {
    ReaderState = state;
    SetLabel(12, state == 1   ? status::kReaderReading
                 : state == 2 ? status::kReaderInitialising
                              : status::kReaderWaiting);
}

// The start-up sequence: any failure leaves its text on the status lines and both timers
// stopped; only a confirmed settings dialog starts them again.
void FrmMain::Form_Load() {
    deps_.tray.AddTrayIcon();
    deps_.tray.SetTrayTip(u"Ordane");
    FillQrCodeTypes();
    ScannerOpen = false;
    // An empty file is what the installer leaves, writable, for the first OK to fill; a silent
    // installation may have put the browser bridge's section in it, but never device settings.
    ProfileFile& file = deps_.settingsFile;
    const std::string absent = "<absent>";  // no value of either key looks like this
    const bool onlyBridge = file.Read("BCINFO", "UsePort1", absent) == absent &&
                            file.Read("BRIDGE", "Enabled", absent) != absent;
    if (!file.Exists() || file.Empty() || onlyBridge) {
        deps_.log.SettingsNotRead(file.Exists() ? LogWord("Setting.ini empty")
                                                : LogWord("Setting.ini missing"));
        SetLabel(1, status::kFirstUse);
        return;
    }
    FrmSet& frmSet = deps_.frmSet;
    frmSet.EnsureLoaded();
    if (!frmSet.ReadSetting()) {
        deps_.log.SettingsNotRead("Setting.ini damaged");
        SetLabel(1, status::kSettingsDamaged);
        return;
    }
    deps_.log.SettingsRead(frmSet);
    ClearStatusLines();
    const bool useScanner = UseFlag(frmSet.usePort1);
    const bool useReader = UseFlag(frmSet.usePort2);
    if (useScanner) {
        SetScannerState(2);
        if (OpenScanner() != 0) {
            SetLabel(1, status::kScannerPortFailed);
            SetLabel(2, status::kCheckSettingsHint);
            return;
        }
        ScannerOpen = true;
    }
    if (useReader && !StartCardReaderAtLoad()) {
        return;
    }
    EnableTimersInUse(useScanner, useReader);
}

void FrmMain::Form_Unload() {
    CloseScanner();
    deps_.tray.RemoveTrayIcon();
}

void FrmMain::OnTimer(int id) {
    if (id == kTimer1Id && timer1_.Enabled()) {
        Timer1_Timer();
    } else if (id == kTimer2Id && timer2_.Enabled()) {
        Timer2_Timer();
    }
}

void FrmMain::OnCommandClick(int label) {
    if (!CommandEnabled(label)) {
        return;
    }
    switch (label) {
        case kHideCommand:
            Label4_Click();
            break;
        case kSettingsCommand:
            Label5_Click();
            break;
        case kExitCommand:
            Label6_Click();
            break;
        default:
            break;
    }
}

void FrmMain::OnCloseRequested() {
    OnCommandClick(kExitCommand);
}

void FrmMain::HideToTray() {
    failureShowPending_ = false;
    if (deps_.tray.IconPresent()) {
        deps_.view.HideWindow();
    }
}

void FrmMain::Label4_Click() {
    HideToTray();
}

void FrmMain::Label6_Click() {
    CloseCardReaderPort();
    deps_.view.UnloadAll();
}

// The Settings command: the only way back from a device failure without a restart.
void FrmMain::Label5_Click() {
    FrmSet& frmSet = deps_.frmSet;
    frmSet.Initialze(DeviceFailed());
    frmSet.ShowDialog(deps_.view.OwnerHandle());
    if (!frmSet.ModalResult) {
        return;
    }
    ScannerStarted = false;
    ReaderStarted = false;
    deps_.log.Event(
        "settings",
        frmSet.MustReopen ? LogWord("confirmed, devices reopened") : LogWord("confirmed"),
        DeviceFailed() ? 1 : 0);
    // A device that failed is opened again even when no setting changed: that is what a
    // user confirming the dialog after plugging it in expects.
    if (!frmSet.MustReopen && !DeviceFailed()) {
        return;
    }
    // A lost scanner that still cannot be opened is looked for again with the new settings.
    const bool scannerWasLost = scannerLost_;
    scannerLost_ = false;
    reopenedByItself_ = false;
    silentScannerShown_ = false;
    ClearStatusLines();
    const bool useScanner = UseFlag(frmSet.usePort1);
    const bool useReader = UseFlag(frmSet.usePort2);
    if (useScanner) {
        CloseScanner();
        ScannerOpen = false;
        timer1_.SetEnabled(false);
        SetLabel(2, Text());
        if (OpenScanner() != 0) {
            SetLabel(1, status::kScannerPortFailed);
            SetLabel(2, status::kCheckSettingsHint);
            if (scannerWasLost) {
                ReopenScannerLater();
            }
            return;
        }
        ScannerOpen = true;
    }
    if (useReader) {
        timer1_.SetEnabled(false);
        ReaderOpen = false;
        CloseCardReaderPort();
        if (!IdentifyCardReader()) {
            SetLabel(12, status::kReaderNotRecognised);
            SetLabel(13, status::kCheckSettingsHint);
            return;
        }
        SetReaderState(0);
        SetLabel(10, status::kDevicePrefix + frmSet.CardReaderModel);
        SetLabel(11, status::kModelPrefix + frmSet.CardReaderXh);
        if (OpenCardReaderPort(frmSet.Port2) != 1) {
            SetLabel(12, deps_.sdtapi.Load() ? status::kReaderPortFailed
                                             : status::kReaderLibraryMissing);
            SetLabel(13, status::kCheckSettingsHint);
            return;
        }
        ReaderOpen = true;
    }
    EnableTimersInUse(useScanner, useReader);
}

bool FrmMain::DeviceFailed() const {
    const FrmSet& frmSet = deps_.frmSet;
    const bool scannerFailed =
        UseFlag(frmSet.usePort1) && (scannerLost_ || !ScannerOpen || !timer1_.Enabled());
    const bool readerFailed = UseFlag(frmSet.usePort2) && (!ReaderOpen || !timer2_.Enabled());
    return scannerFailed || readerFailed;
}

// ---- Scanner ---------------------------------------------------------------------------

void FrmMain::Timer1_Timer() {
    ShowPendingFailure();
    if (scannerLost_) {
        ReopenLostScanner();
        return;
    }
    if (!ScannerOpen) {
        return;
    }
    // After a failed identification its texts stand, and nothing the scanner sent during or
    // after the exchange is taken for a scan.
    if (!ScannerStarted && !DetectScanner()) {
        return;
    }
    if (GetScannerState() == 1) {
        return;  // an earlier tick is still collecting a scan
    }
    std::uint8_t readBuffer[kReadChunk + 1] = {};
    std::int32_t n = deps_.scanner.ReadScannerPort(readBuffer, kReadChunk);
    if (n <= 0) {
        if (n < 0) {
            ScannerLost();
        }
        return;
    }
    SetScannerState(1);
    deps_.pump.DoEvents();

    // A scan ends after more than 200 ms without data; the tick difference is taken modulo
    // 2^32 so the wrap of the millisecond counter does not matter. Each pass takes all that
    // has arrived, so a long reading is not held back by the pace of the polling.
    std::string scan;
    scan.reserve(kScanBufferStart);
    bool tooLong = false;
    std::size_t received = 0;
    auto append = [&](std::int32_t count) {
        const auto size = static_cast<std::size_t>(std::min(count, kReadChunk));
        received += size;
        if (tooLong || scan.size() + size > kMaxScan) {
            tooLong = true;  // dropped whole, up to the next pause
            scan.clear();
            return;
        }
        scan.append(reinterpret_cast<const char*>(readBuffer), size);
    };
    append(n);
    std::uint32_t lastData = deps_.pump.TickCount();
    bool lost = false;
    std::size_t drained = 0;
    for (;;) {
        n = deps_.scanner.ReadScannerPort(readBuffer, kReadChunk);
        if (n > 0) {
            lastData = deps_.pump.TickCount();
            append(n);
            drained += static_cast<std::size_t>(n);
            if (drained >= kDrainPumpBytes) {
                drained = 0;
                deps_.pump.DoEvents();
            }
            continue;
        }
        if (n < 0) {
            lost = true;  // what came before the port went away is still a scan
            break;
        }
        if (static_cast<std::uint32_t>(deps_.pump.TickCount() - lastData) > kQuietMs) {
            break;
        }
        drained = 0;
        deps_.pump.DoEvents();
        deps_.pump.Sleep(kCollectPollMs);
    }

    if (tooLong) {
        SetLabel(2, status::kScanTooLong);
        scanTooLongShown_ = true;
        deps_.log.ReadingDropped(received, "too long");
    } else {
        if (scanTooLongShown_) {
            SetLabel(2, Text());  // the notice is about an earlier stream, not this reading
            scanTooLongShown_ = false;
        }
        const Text decoded = DecodeScan(scan);
        const DeliveryKind kind = DeliverScan(decoded);
        deps_.log.Delivered(kind, decoded.size(),
                            static_cast<std::uint32_t>(deps_.pump.TickCount() - lastData));
    }
    SetScannerState(0);
    if (lost) {
        ScannerLost();
    }
}

void FrmMain::ScannerLost() {
    deps_.log.Event("scanner", "port lost");
    CloseScanner();
    ReopenScannerLater();
    silentScannerShown_ = false;
    SetLabel(1, status::kScannerPortFailed);
    SetLabel(2, status::kCheckSettingsHint);
    ShowFailure();
}

void FrmMain::ReopenScannerLater() {
    ScannerOpen = false;
    scannerLost_ = true;
    lastReopenAt_ = deps_.pump.TickCount();
    timer1_.SetEnabled(true);
}

void FrmMain::ShowFailure() {
    failureShowPending_ = true;
    ShowPendingFailure();
}

void FrmMain::ShowPendingFailure() {
    if (!failureShowPending_ ||
        static_cast<std::uint32_t>(deps_.pump.TickCount() - typedAt_) < typedSettleMs_) {
        return;
    }
    failureShowPending_ = false;
    deps_.view.ShowWindow(Activation::Keep);
}

// The adapter may come back: the same port is tried again now and then, and once it opens
// the scanner is identified again as after a confirmed settings dialog.
void FrmMain::ReopenLostScanner() {
    if (static_cast<std::uint32_t>(deps_.pump.TickCount() - lastReopenAt_) < kReopenIntervalMs) {
        return;
    }
    lastReopenAt_ = deps_.pump.TickCount();
    const FrmSet& frmSet = deps_.frmSet;
    const std::int32_t code = deps_.scanner.OpenScannerPort(
        frmSet.Port, frmSet.BaudRate, frmSet.ByteSize, frmSet.Parity, frmSet.StopBits);
    deps_.log.ReopenAttempt(LogDevice::Scanner, frmSet.Port, code);
    if (code != 0) {
        return;
    }
    scannerLost_ = false;
    reopenedByItself_ = true;
    ScannerOpen = true;
    ScannerStarted = false;
    SetLabel(2, Text());
}

Text FrmMain::DecodeScan(const std::string& scan) const {
    Text scanText = deps_.codec.Decode(scan);
    const Text& model = deps_.frmSet.ScannerModel;
    if ((model == u"NewLand" || model == u"Metrologic") && !StartsWith(scanText, kMarkerDE6K8)) {
        scanText = kMarkerDE6K8 + scanText;
    }
    return scanText;
}

bool FrmMain::IsKnownTwoDimensional(const Text& scan, const Text& marker) const {
    for (std::size_t k = 1; k <= 103; ++k) {
        if (StartsWith(scan, marker + QrCodeTypes[k] + u"_")) {
            return true;
        }
    }
    return false;
}

DeliveryKind FrmMain::DeliverScan(const Text& scan) {
    Readings* readings = deps_.readings;
    if (IsKnownTwoDimensional(scan, kMarkerDE6K8) || IsKnownTwoDimensional(scan, kMarkerDA36L)) {
        SetQRText(scan.substr(5));
        if (readings != nullptr) {
            readings->Scan(scan.substr(5), ScanDelivery::Window);
        }
        return DeliveryKind::Window;
    }
    const bool marked = StartsWith(scan, kMarkerDE6K8) || StartsWith(scan, kMarkerDA36L);
    const Text plain = marked ? scan.substr(5) : scan;
    if (readings != nullptr) {
        readings->Scan(RemoveAll(RemoveAll(plain, kMarkerDE6K8), kMarkerDA36L), ScanDelivery::Keys);
        // A site may have a page take the barcodes instead of the keyboard, but only while a
        // page is there to take them.
        if (readings->TakesScans()) {
            return DeliveryKind::Page;
        }
    }
    SetNormalText(plain);
    return DeliveryKind::Keys;
}

bool FrmMain::DetectScanner() {
    const TimerStates noted = StopTimers();
    SetCommandsEnabled(false);
    FrmSet& frmSet = deps_.frmSet;
    if (UseFlag(frmSet.usePort1)) {
        SetLabel(1, status::kScannerDetecting);
        const bool found = deps_.scannerIdentification.CheckScanner(frmSet.ScannerModel);
        deps_.log.Identified(LogDevice::Scanner, frmSet, found);
        if (!found) {
            SetLabel(1, status::kScannerNotDetected);
            SetLabel(2, status::kCheckSettingsHint);
            if (reopenedByItself_) {
                // Still powering up, or its cable not yet back on the adapter: the card
                // reader goes on, and the scanner is asked again on a fresh port.
                RestoreTimers(noted);
                deps_.scanner.CloseScannerPort();
                ReopenScannerLater();
                if (!silentScannerShown_) {
                    silentScannerShown_ = true;
                    ShowFailure();
                }
            }
            SetCommandsEnabled(true);
            return false;
        }
        SetLabel(1, status::kDetectedPrefix + frmSet.ScannerModel + status::kDetectedSuffix);
        Delay(deps_.pump, 2);
        SetLabel(3, status::kDevicePrefix + frmSet.ScannerModel);
        SetLabel(7, status::kModelPrefix + frmSet.ScannerXH);
        Delay(deps_.pump, 2);
        // The answers to the identification queries are not a scan.
        deps_.scanner.ClearScannerRXBuff();
        RestoreTimers(noted);
    }
    SetScannerState(0);
    ScannerStarted = true;
    reopenedByItself_ = false;
    silentScannerShown_ = false;
    HideToTray();
    SetCommandsEnabled(true);
    return true;
}

// ---- Delivery --------------------------------------------------------------------------

void FrmMain::SetNormalText(const Text& str) {
    const Text text = RemoveAll(RemoveAll(str, kMarkerDE6K8), kMarkerDA36L);
    deps_.delivery.TypeText(text, deps_.frmSet.AddEnter);
    typedAt_ = deps_.pump.TickCount();
    typedSettleMs_ =
        kKeysSettleMs + static_cast<std::uint32_t>(text.size()) * kKeysSettleMsPerCharacter;
}

void FrmMain::SetQRText(const Text& QrStr) {
    deps_.delivery.SetFirstChildText(kTargetWindowTitle, QrStr);
}

// ---- Card reader -----------------------------------------------------------------------

bool FrmMain::StartCardReaderAtLoad() {
    FrmSet& frmSet = deps_.frmSet;
    SetReaderState(2);
    if (!deps_.sdtapi.Load()) {
        deps_.log.Event("card reader", "sdtapi.dll not loaded");
        SetLabel(12, status::kReaderLibraryMissing);
        SetLabel(13, status::kCheckSettingsHint);
        return false;
    }
    Delay(deps_.pump, 0.5);
    if (!IdentifyCardReader()) {
        SetLabel(12, status::kReaderNotRecognised);
        SetLabel(13, status::kCheckSettingsHint);
        return false;
    }
    SetReaderState(0);
    SetLabel(10, status::kDevicePrefix + frmSet.CardReaderModel);
    SetLabel(11, status::kModelPrefix + frmSet.CardReaderXh);

    // The library writes the id and one terminating zero character into 50 spaces. The
    // buffer has room to spare so a library writing past the 50 cannot hurt.
    char samBuffer[256] = {};
    std::memset(samBuffer, ' ', kSamIdLength);
    deps_.sdtapi.SDT_GetSAMIDToStr(frmSet.Port2, samBuffer, 1);
    Text samId = TrimSpaces(deps_.codec.Decode(std::string(samBuffer, kSamIdLength)));
    // The library ends the id with a terminating character, which the trimming leaves.
    if (!samId.empty()) {
        samId.pop_back();
    }
    SamId = samId;
    Uploaded(SamId);
    ReaderOpen = true;
    return true;
}

void FrmMain::Timer2_Timer() {
    if (!ReaderOpen) {
        return;
    }
    if (!ReaderStarted) {
        StartCardReader();
    }
    if (GetReaderState() == 1) {
        return;
    }
    SetReaderState(1);
    const std::uint32_t readStart = deps_.pump.TickCount();
    const Text record = GetCardStr(deps_.frmSet.Port2);
    if (!record.empty()) {
        SetQRText(record);
        deps_.log.Delivered(DeliveryKind::Card, record.size(),
                            static_cast<std::uint32_t>(deps_.pump.TickCount() - readStart));
        deps_.view.Beep();
        if (deps_.readings != nullptr) {
            deps_.readings->Card(record, cardFields_);
        }
    }
    SetReaderState(0);
}

void FrmMain::StartCardReader() {
    const TimerStates noted = StopTimers();
    SetCommandsEnabled(false);
    if (UseFlag(deps_.frmSet.usePort2)) {
        SetLabel(12, status::kReaderConnecting);
    }
    SetLabel(12, status::kReaderReady);
    RestoreTimers(noted);
    ReaderStarted = true;
    HideToTray();
    SetCommandsEnabled(true);
}

Text FrmMain::GetCardStr(std::int32_t iport) {
    // USB readers 7 to 9 are the library's 1002 to 1004; 6 stays as it is.
    if (iport > 6) {
        iport += 995;
    }
    CardReaderLibrary& sdt = deps_.sdtapi;
    Text result;
    const std::int32_t opened = sdt.SDT_OpenPort(iport);
    if (opened != pollOpenCode_) {
        // Only changes: the port is opened every half second.
        pollOpenCode_ = opened;
        deps_.log.Event(
            "card reader",
            opened == kSdtOk ? LogWord("polling port opens") : LogWord("polling port failed"),
            opened);
    }
    if (opened == kSdtOk) {
        std::uint8_t scratch1[16] = {};
        std::uint8_t scratch2[16] = {};
        if (sdt.SDT_StartFindIDCard(iport, scratch1, 0) == kSdtCardFound &&
            sdt.SDT_SelectIDCard(iport, scratch2, 0) == kSdtOk) {
            std::uint8_t cardText[521] = {};
            std::uint8_t cardPhoto[1201] = {};
            std::uint32_t textLength = 0;
            std::uint32_t photoLength = 0;
            const std::int32_t read =
                sdt.SDT_ReadBaseMsg(iport, cardText, &textLength, cardPhoto, &photoLength, 0);
            if (read == kSdtOk) {
                cardFields_ = CutCardFields(DecodeCardText(cardText, sizeof cardText, textLength));
                result = BuildCardRecord(cardFields_);
            } else {
                deps_.log.Event("card reader", "card found, read failed", read);
            }
        }
    }
    sdt.SDT_ClosePort(iport);
    return result;
}

std::int32_t FrmMain::OpenCardReaderPort(std::int32_t port) {
    CardReaderPort = port;
    if (!deps_.sdtapi.Load()) {
        deps_.log.Event("card reader", "sdtapi.dll not loaded");
        return 0;
    }
    const std::int32_t code = deps_.sdtapi.SDT_OpenPort(port);
    deps_.log.Opened(LogDevice::CardReader, port, code == kSdtOk ? 0 : code);
    return code == kSdtOk ? 1 : 0;
}

void FrmMain::CloseCardReaderPort() {
    if (CardReaderPort != 0) {
        deps_.log.Closed(LogDevice::CardReader, CardReaderPort,
                         deps_.sdtapi.SDT_ClosePort(CardReaderPort));
    }
}

std::int32_t FrmMain::OpenScanner() {
    const FrmSet& frmSet = deps_.frmSet;
    const std::int32_t code = deps_.scanner.OpenScannerPort(
        frmSet.Port, frmSet.BaudRate, frmSet.ByteSize, frmSet.Parity, frmSet.StopBits);
    deps_.log.Opened(LogDevice::Scanner, frmSet.Port, code);
    return code;
}

void FrmMain::CloseScanner() {
    deps_.log.Closed(LogDevice::Scanner, deps_.frmSet.Port, deps_.scanner.CloseScannerPort());
}

bool FrmMain::IdentifyCardReader() {
    FrmSet& frmSet = deps_.frmSet;
    const bool found = deps_.cardReaderIdentification.CheckCardReader(frmSet.Port2);
    deps_.log.Identified(LogDevice::CardReader, frmSet, found);
    return found;
}

// ---- Registration report ---------------------------------------------------------------

void FrmMain::Uploaded(const Text& id) {
    auto key = deps_.registry.CreateKey("Software\\CardReader");
    if (!key) {
        deps_.log.Event("registration", "registry key not opened");
        return;
    }
    const auto size = key->QueryValueSize("upload");
    if (size && *size > 0) {
        const auto data = key->QueryValue("upload");
        if (data && FlagSet(*data)) {
            deps_.log.Event("registration", "already reported");
            return;
        }
    }
    if (UploadInfo(id, "at start-up") && !key->SetString("upload", "1")) {
        deps_.log.WriteRefused("HKLM Software\\CardReader upload");
    }
}

bool FrmMain::UploadInfo(const Text& id, LogWord trigger) {
    deps_.log.RegistrationAttempt(trigger, id.size());
    if (id.empty()) {
        deps_.log.RegistrationOutcome(false);
        return false;
    }
    deps_.Http1.Update(id);
    deps_.log.RegistrationOutcome(deps_.Http1.Success);
    return deps_.Http1.Success;
}

void FrmMain::Form_KeyDown(int keyCode, int /*shift*/) {
    if (keyCode == kKeyF9 && !SamId.empty()) {
        UploadInfo(SamId, "F9");
    }
}

}  // namespace ordane
