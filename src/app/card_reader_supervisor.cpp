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
    const std::int32_t openCode = sdt.SDT_OpenPort(iport);
    read.open = PortOpening{openCode == kSdtOk, openCode};
    if (read.open.opened) {
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
            read.readFailed = read.readCode != kSdtOk;
            if (!read.readFailed) {
                read.card = ReadCard(DecodeCardText(cardText, sizeof cardText, textLength));
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

void CardReaderSupervisor::SetPhase(ReaderPhase phase) {
    phase_ = phase;
    DeviceState state = DeviceState::Failed;
    switch (phase) {
        case ReaderPhase::Closed:
            state = DeviceState::Off;
            break;
        case ReaderPhase::Starting:
            state = DeviceState::Identifying;
            break;
        case ReaderPhase::Running:
            state = DeviceState::Ready;
            break;
        case ReaderPhase::NotAnswering:
            state = DeviceState::NotAnswering;
            break;
        case ReaderPhase::Unavailable:
        case ReaderPhase::PortFailed:
            break;
    }
    deps_.lines.SetState(StatusLine::Reader, state);
    deps_.lines.SetFailing(StatusLine::Reader, phase == ReaderPhase::Unavailable ||
                                                   phase == ReaderPhase::PortFailed ||
                                                   phase == ReaderPhase::NotAnswering);
    ReaderOpen = phase == ReaderPhase::Running || phase == ReaderPhase::PortFailed ||
                 (phase == ReaderPhase::NotAnswering && !resumeStart_);
}

void CardReaderSupervisor::BeginStart(ReaderStart kind) {
    start_ = kind;
    attempted_ = false;
    ReaderStarted = false;
    SetPhase(ReaderPhase::Starting);
    if (kind == ReaderStart::AtLoad) {
        SetReaderState(2);
    }
}

bool CardReaderSupervisor::StartDue() const {
    if (!deps_.worker.Idle() && !pending_) {
        return false;  // a start's call that hung: started again once it returned
    }
    return phase_ == ReaderPhase::Starting ||
           (phase_ == ReaderPhase::Unavailable &&
            static_cast<std::uint32_t>(deps_.pump.TickCount() - failedAt_) >= kRetryMs);
}

void CardReaderSupervisor::StartFailed(const Text& status) {
    deps_.lines.Show(StatusLine::Reader, status);
    deps_.lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
    failedAt_ = deps_.pump.TickCount();
    SetPhase(ReaderPhase::Unavailable);
}

// The library is loaded, the reader identified over its serial port, and then its
// security-module id read (at load) or its port opened (after a dialog). Runs with the loops
// and the commands held; the waits dispatch messages, so the window and the tray answer.
void CardReaderSupervisor::Start() {
    const bool retry = attempted_;
    attempted_ = true;
    starting_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{starting_};
    CardReaderLibrary& sdt = deps_.sdtapi;
    auto loaded = std::make_shared<bool>(false);
    if (!CallLibrary([loaded, &sdt] { *loaded = sdt.Load(); })) {
        return;
    }
    if (!*loaded) {
        if (!retry || phase_ != ReaderPhase::Unavailable) {
            deps_.log.Event("card reader", "sdtapi.dll not loaded");
        }
        StartFailed(status::kReaderLibraryMissing);
        return;
    }
    if (start_ == ReaderStart::AtLoad) {
        Delay(deps_.pump, 0.5);
    } else {
        CloseCardReaderPort();
        if (phase_ == ReaderPhase::NotAnswering) {
            return;
        }
    }
    if (!IdentifyCardReader()) {
        failedAt_ = deps_.pump.TickCount();
        SetPhase(ReaderPhase::Unavailable);
        return;
    }
    const std::int32_t port = deps_.settings.Port2;
    if (start_ == ReaderStart::AtLoad) {
        // The library writes the id and one terminating zero character into 50 spaces. The
        // buffer has room to spare so a library writing past the 50 cannot hurt.
        auto samBuffer = std::make_shared<std::string>(256, '\0');
        if (!CallLibrary([samBuffer, &sdt, port] {
                std::memset(samBuffer->data(), ' ', kSamIdLength);
                sdt.SDT_GetSAMIDToStr(port, samBuffer->data(), 1);
            })) {
            return;
        }
        Text samId = TrimSpaces(deps_.codec.Decode(samBuffer->substr(0, kSamIdLength)));
        // The library ends the id with a terminating character, which the trimming leaves.
        if (!samId.empty()) {
            samId.pop_back();
        }
        SamId = samId;
        deps_.registration.Uploaded(SamId);
    } else {
        const ReaderPortOpen opened = OpenCardReaderPort(port);
        if (opened == ReaderPortOpen::NotAnswering) {
            return;
        }
        if (opened != ReaderPortOpen::Opened) {
            StartFailed(status::kReaderPortFailed);
            return;
        }
    }
    if (retry) {
        deps_.lines.Show(StatusLine::ReaderNotice, Text());
        deps_.log.Event("card reader", "started again by itself");
    }
    ReaderStarted = false;
    SetPhase(ReaderPhase::Running);
}

bool CardReaderSupervisor::WaitForWorker(std::uint32_t startedAt, std::uint32_t boundMs) {
    constexpr std::uint32_t kStepMs = 50;
    MessagePump& pump = deps_.pump;
    while (!deps_.worker.Idle()) {
        if (static_cast<std::uint32_t>(pump.TickCount() - startedAt) >= boundMs) {
            return false;
        }
        pump.Sleep(kStepMs);
        pump.DoEvents();
    }
    return true;
}

bool CardReaderSupervisor::CallLibrary(std::function<void()> job, std::uint32_t boundMs) {
    // A poll under way (a card on the reader) is waited for, and its card left for the next
    // poll: nothing it read is delivered in the middle of a start.
    const std::uint32_t busySince = pending_ ? pollStartedAt_ : callStartedAt_;
    if (!WaitForWorker(busySince, boundMs)) {
        ShowNotAnswering();
        return false;
    }
    pending_.reset();
    callStartedAt_ = deps_.pump.TickCount();
    if (!deps_.worker.Start(std::move(job)) || !WaitForWorker(callStartedAt_, boundMs)) {
        ShowNotAnswering();
        return false;
    }
    return true;
}

void CardReaderSupervisor::ShowNotAnswering() {
    if (phase_ == ReaderPhase::NotAnswering) {
        return;
    }
    // A start that hung is done again once the call returns; a poll simply goes on.
    resumeStart_ = starting_ || !ReaderOpen;
    SetPhase(ReaderPhase::NotAnswering);
    deps_.log.Event("card reader", "library call did not return in time",
                    static_cast<std::int64_t>(kCallBoundMs));
    deps_.lines.Show(StatusLine::Reader, status::kReaderNotAnswering);
    deps_.lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
    deps_.lines.ShowFailure();
}

void CardReaderSupervisor::Poll() {
    Collect();
    if (!ReaderOpen && phase_ != ReaderPhase::NotAnswering) {
        return;
    }
    if (!deps_.worker.Idle()) {
        const std::uint32_t since = pending_ ? pollStartedAt_ : callStartedAt_;
        const std::uint32_t busyFor = deps_.pump.TickCount() - since;
        if (busyFor > kCallBoundMs) {
            ShowNotAnswering();
        } else if (pending_ && ReaderState != 1 && phase_ == ReaderPhase::Running) {
            SetReaderState(1);  // a card is being read
        }
        return;
    }
    if (!ReaderOpen) {
        return;
    }
    auto read = std::make_shared<CardRead>();
    CardReaderLibrary& sdt = deps_.sdtapi;
    const std::int32_t port = deps_.settings.Port2;
    pollStartedAt_ = deps_.pump.TickCount();
    if (deps_.worker.Start([read, &sdt, port] { *read = GetCardStr(sdt, port); })) {
        pending_ = read;
    }
}

void CardReaderSupervisor::Collect() {
    if (starting_ || !deps_.worker.Idle()) {
        return;
    }
    DiagnosticLog& log = deps_.log;
    StatusLines& lines = deps_.lines;
    if (phase_ == ReaderPhase::NotAnswering) {
        log.Event("card reader", "library call returned");
        lines.Show(StatusLine::ReaderNotice, Text());
        if (resumeStart_) {
            // The start it held is done again from its beginning.
            resumeStart_ = false;
            SetPhase(ReaderPhase::Starting);
            SetReaderState(2);
        } else {
            SetPhase(ReaderPhase::Running);
            SetReaderState(0);
        }
    }
    if (!pending_) {
        return;
    }
    const std::shared_ptr<CardRead> read = std::move(pending_);
    pending_.reset();
    const std::uint32_t tookMs = deps_.pump.TickCount() - pollStartedAt_;
    if (read->open.code != pollOpenCode_) {
        // Only changes: the port is opened every half second.
        pollOpenCode_ = read->open.code;
        const bool opens = read->open.opened;
        log.Event("card reader",
                  opens ? LogWord("polling port opens") : LogWord("polling port failed"),
                  read->open.code);
        if (!opens) {
            SetPhase(ReaderPhase::PortFailed);
            lines.Show(StatusLine::Reader, status::kReaderPortFailed);
            lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
            lines.ShowFailure();
        } else if (phase_ == ReaderPhase::PortFailed) {
            SetPhase(ReaderPhase::Running);
            lines.Show(StatusLine::ReaderNotice, Text());
            SetReaderState(0);
        }
    }
    if (read->readFailed) {
        log.Event("card reader", "card found, read failed", read->readCode);
    }
    if (read->card && tookMs > kCallBoundMs) {
        // Read during a call that hung: it may belong to a customer gone long ago. The next
        // poll reads the card again if it still lies there.
        log.Event("card reader", "card read too late, not delivered", tookMs);
        lines.NotDelivered(StatusLine::ReaderNotice, status::kCardReadTooLate);
    } else if (read->card) {
        if (lines.Shown(StatusLine::ReaderNotice) == status::kCardReadTooLate) {
            lines.Show(StatusLine::ReaderNotice, Text());
        }
        // A card stays on the reader for many polls: one placement, until a poll finds none
        // (a failed read of a card still there does not end it) or finds another card.
        const bool placed = read->card->text != placed_;
        placed_ = read->card->text;
        deps_.router.Card(*read->card, pollStartedAt_, placed);
        deps_.view.Beep();
    } else if (!read->readFailed && placed_) {
        placed_.reset();
        deps_.router.CardRemoved();
    }
    // Back to waiting after the start texts, a card read, or a call that was slow.
    if (phase_ == ReaderPhase::Running &&
        deps_.lines.Shown(StatusLine::Reader) != status::kReaderWaiting) {
        SetReaderState(0);
    }
}

ReaderPortOpen CardReaderSupervisor::OpenCardReaderPort(std::int32_t port) {
    CardReaderPort = port;
    auto code = std::make_shared<std::int32_t>(0);
    auto loaded = std::make_shared<bool>(false);
    CardReaderLibrary& sdt = deps_.sdtapi;
    if (!CallLibrary([code, loaded, &sdt, port] {
            *loaded = sdt.Load();
            if (*loaded) {
                *code = sdt.SDT_OpenPort(port);
            }
        })) {
        return ReaderPortOpen::NotAnswering;
    }
    if (!*loaded) {
        deps_.log.Event("card reader", "sdtapi.dll not loaded");
        return ReaderPortOpen::LibraryMissing;
    }
    deps_.log.Opened(LogDevice::CardReader, port, *code == kSdtOk ? 0 : *code);
    return *code == kSdtOk ? ReaderPortOpen::Opened : ReaderPortOpen::Refused;
}

void CardReaderSupervisor::CloseCardReaderPort(std::uint32_t boundMs) {
    // A call that never returned may hold the library: closing would wait behind it.
    if (CardReaderPort == 0 || !deps_.worker.Idle()) {
        return;
    }
    const std::int32_t port = CardReaderPort;
    auto code = std::make_shared<std::int32_t>(0);
    CardReaderLibrary& sdt = deps_.sdtapi;
    if (CallLibrary([code, &sdt, port] { *code = sdt.SDT_ClosePort(port); }, boundMs)) {
        deps_.log.Closed(LogDevice::CardReader, port, *code);
    }
}

bool CardReaderSupervisor::IdentifyCardReader() {
    const Settings& settings = deps_.settings;
    StatusLines& lines = deps_.lines;
    const bool found = deps_.identification.CheckCardReader(settings.Port2);
    deps_.log.Identified(LogDevice::CardReader, settings.CardReaderModel,
                         deps_.identification.CardReaderXh, found);
    if (!found) {
        lines.Show(StatusLine::Reader, status::kReaderNotRecognised);
        lines.Show(StatusLine::ReaderNotice, status::kCheckSettingsHint);
        return false;
    }
    SetReaderState(0);
    lines.Show(StatusLine::ReaderDevice, status::kDevicePrefix + settings.CardReaderModel);
    lines.Show(StatusLine::ReaderModel, status::kModelPrefix + deps_.identification.CardReaderXh);
    return true;
}

}  // namespace ordane
