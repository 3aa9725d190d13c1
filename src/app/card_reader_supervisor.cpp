#include "app/card_reader_supervisor.h"

#include <cstring>

#include "app/status_texts.h"
#include "common/delay.h"

namespace ordane {

namespace {
constexpr std::size_t kSamIdLength = 50;
}  // namespace

CardRead GetCardStr(CardReaderLibrary& sdt, std::int32_t iport) {
    // USB readers 7 to 9 are the library's 1002 to 1004; 6 stays as it is.
    if (iport > 6) {
        iport += 995;
    }
    CardRead read;
    read.openCode = sdt.SDT_OpenPort(iport);
    if (read.openCode == kSdtOk) {
        std::uint8_t scratch1[16] = {};
        std::uint8_t scratch2[16] = {};
        if (sdt.SDT_StartFindIDCard(iport, scratch1, 0) == kSdtCardFound &&
            sdt.SDT_SelectIDCard(iport, scratch2, 0) == kSdtOk) {
            std::uint8_t cardText[521] = {};
            std::uint8_t cardPhoto[1201] = {};
            std::uint32_t textLength = 0;
            std::uint32_t photoLength = 0;
            read.readCode =
                sdt.SDT_ReadBaseMsg(iport, cardText, &textLength, cardPhoto, &photoLength, 0);
            if (read.readCode == kSdtOk) {
                read.fields = CutCardFields(DecodeCardText(cardText, sizeof cardText, textLength));
                read.record = BuildCardRecord(read.fields);
            }
        }
    }
    sdt.SDT_ClosePort(iport);
    return read;
}

void CardReaderSupervisor::SetReaderState(std::int32_t state) {
    ReaderState = state;
    deps_.lines.Show(StatusLine::Reader, state == 1   ? status::kReaderReading
                                         : state == 2 ? status::kReaderInitialising
                                                      : status::kReaderWaiting);
}

bool CardReaderSupervisor::StartAtLoad() {
    FrmSet& frmSet = deps_.frmSet;
    StatusLines& lines = deps_.lines;
    SetReaderState(2);
    if (!deps_.sdtapi.Load()) {
        deps_.log.Event("card reader", "sdtapi.dll not loaded");
        lines.Show(StatusLine::Reader, status::kReaderLibraryMissing);
        lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
        return false;
    }
    Delay(deps_.pump, 0.5);
    if (!IdentifyCardReader()) {
        return false;
    }

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
    deps_.registration.Uploaded(SamId);
    ReaderOpen = true;
    return true;
}

bool CardReaderSupervisor::Reopen() {
    FrmSet& frmSet = deps_.frmSet;
    StatusLines& lines = deps_.lines;
    ReaderOpen = false;
    if (!LibraryFree()) {
        return false;
    }
    CloseCardReaderPort();
    if (!IdentifyCardReader()) {
        return false;
    }
    if (OpenCardReaderPort(frmSet.Port2) != 1) {
        lines.Show(StatusLine::Reader,
                   deps_.sdtapi.Load() ? status::kReaderPortFailed : status::kReaderLibraryMissing);
        lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
        return false;
    }
    portFailed_ = false;
    ReaderOpen = true;
    return true;
}

bool CardReaderSupervisor::LibraryFree() {
    if (deps_.worker.Idle()) {
        Collect();
        return true;
    }
    ShowNotAnswering();
    return false;
}

void CardReaderSupervisor::ShowNotAnswering() {
    if (notAnswering_) {
        return;
    }
    notAnswering_ = true;
    deps_.log.Event("card reader", "library call did not return in time",
                    static_cast<std::int64_t>(kCallBoundMs));
    deps_.lines.Show(StatusLine::Reader, status::kReaderNotAnswering);
    deps_.lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
    deps_.lines.ShowFailure();
}

void CardReaderSupervisor::Poll() {
    if (!ReaderOpen) {
        return;
    }
    Collect();
    if (!deps_.worker.Idle()) {
        const std::uint32_t busyFor = deps_.pump.TickCount() - pollStartedAt_;
        if (busyFor > kCallBoundMs) {
            ShowNotAnswering();
        } else if (ReaderState != 1 && !portFailed_) {
            SetReaderState(1);  // a card is being read
        }
        return;
    }
    auto read = std::make_shared<CardRead>();
    CardReaderLibrary& sdt = deps_.sdtapi;
    const std::int32_t port = deps_.frmSet.Port2;
    pollStartedAt_ = deps_.pump.TickCount();
    if (deps_.worker.Start([read, &sdt, port] { *read = GetCardStr(sdt, port); })) {
        pending_ = read;
    }
}

void CardReaderSupervisor::Collect() {
    if (!pending_ || !deps_.worker.Idle()) {
        return;
    }
    const std::shared_ptr<CardRead> read = std::move(pending_);
    pending_.reset();
    DiagnosticLog& log = deps_.log;
    StatusLines& lines = deps_.lines;
    if (notAnswering_) {
        notAnswering_ = false;
        log.Event("card reader", "library call returned");
        lines.Show(StatusLine::ReaderNotice, Text());
        SetReaderState(0);
    }
    if (read->openCode != pollOpenCode_) {
        // Only changes: the port is opened every half second.
        pollOpenCode_ = read->openCode;
        const bool opens = read->openCode == kSdtOk;
        log.Event("card reader",
                  opens ? LogWord("polling port opens") : LogWord("polling port failed"),
                  read->openCode);
        if (!opens) {
            portFailed_ = true;
            lines.Show(StatusLine::Reader, status::kReaderPortFailed);
            lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
            lines.ShowFailure();
        } else if (portFailed_) {
            portFailed_ = false;
            lines.Show(StatusLine::ReaderNotice, Text());
            SetReaderState(0);
        }
    }
    if (read->readCode != kSdtOk) {
        log.Event("card reader", "card found, read failed", read->readCode);
    }
    if (!read->record.empty()) {
        // A card stays on the reader for many polls: one placement, until a poll finds none
        // (a failed read of a card still there does not end it) or finds another card.
        const bool placed = read->record != placed_;
        placed_ = read->record;
        deps_.router.Card(read->record, read->fields, pollStartedAt_, placed);
        deps_.view.Beep();
    } else if (read->readCode == kSdtOk && !placed_.empty()) {
        placed_.clear();
        deps_.router.CardRemoved();
    }
    // Back to waiting after the start texts, a card read, or a call that was slow.
    if (!portFailed_ && deps_.lines.Shown(StatusLine::Reader) != status::kReaderWaiting) {
        SetReaderState(0);
    }
}

std::int32_t CardReaderSupervisor::OpenCardReaderPort(std::int32_t port) {
    CardReaderPort = port;
    if (!deps_.sdtapi.Load()) {
        deps_.log.Event("card reader", "sdtapi.dll not loaded");
        return 0;
    }
    const std::int32_t code = deps_.sdtapi.SDT_OpenPort(port);
    deps_.log.Opened(LogDevice::CardReader, port, code == kSdtOk ? 0 : code);
    return code == kSdtOk ? 1 : 0;
}

void CardReaderSupervisor::CloseCardReaderPort() {
    // A call that never returned may hold the library: closing would hang the window too.
    if (CardReaderPort != 0 && deps_.worker.Idle()) {
        deps_.log.Closed(LogDevice::CardReader, CardReaderPort,
                         deps_.sdtapi.SDT_ClosePort(CardReaderPort));
    }
}

bool CardReaderSupervisor::IdentifyCardReader() {
    FrmSet& frmSet = deps_.frmSet;
    StatusLines& lines = deps_.lines;
    const bool found = deps_.identification.CheckCardReader(frmSet.Port2);
    deps_.log.Identified(LogDevice::CardReader, frmSet.CardReaderModel, frmSet.CardReaderXh, found);
    if (!found) {
        lines.Show(StatusLine::Reader, status::kReaderNotRecognised);
        lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
        return false;
    }
    SetReaderState(0);
    lines.Show(StatusLine::ReaderDevice, status::kDevicePrefix + frmSet.CardReaderModel);
    lines.Show(StatusLine::ReaderModel, status::kModelPrefix + frmSet.CardReaderXh);
    return true;
}

}  // namespace ordane
