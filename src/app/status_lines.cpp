#include "app/status_lines.h"

#include "app/status_texts.h"

namespace ordane {

namespace {

constexpr StatusLine kAllLines[] = {StatusLine::Scanner,       StatusLine::ScannerNotice,
                                    StatusLine::ScannerDevice, StatusLine::ScannerModel,
                                    StatusLine::ReaderDevice,  StatusLine::ReaderModel,
                                    StatusLine::Reader,        StatusLine::ReaderNotice};

// How long typed keys may still be on their way to the business application: a fixed part,
// and a little for each character of a long reading.
constexpr std::uint32_t kKeysSettleMs = 500;
constexpr std::uint32_t kKeysSettleMsPerCharacter = 1;

std::size_t CommandIndex(Command command) {
    return static_cast<std::size_t>(static_cast<int>(command) - static_cast<int>(Command::Hide));
}

}  // namespace

StatusLines::StatusLines(MainView& view, TrayIcon& tray, MessagePump& pump, Readings* readings)
    : view_(view), tray_(tray), pump_(pump), readings_(readings) {}

void StatusLines::Show(StatusLine line, const Text& text) {
    const int label = static_cast<int>(line);
    shown_[static_cast<std::size_t>(label)] = text;
    view_.SetLabelText(label, text);
    if (readings_ == nullptr) {
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
    switch (line) {
        case StatusLine::Scanner:
            readingsStatus_.scanner.status = text;
            break;
        case StatusLine::ScannerModel:
            readingsStatus_.scanner.model = model();
            break;
        case StatusLine::ReaderModel:
            readingsStatus_.reader.model = model();
            break;
        case StatusLine::Reader:
            readingsStatus_.reader.status = text;
            break;
        default:
            return;
    }
    readings_->Status(readingsStatus_);
}

const Text& StatusLines::Shown(StatusLine line) const {
    return shown_[static_cast<std::size_t>(line)];
}

void StatusLines::ClearAll() {
    for (StatusLine line : kAllLines) {
        Show(line, Text());
    }
}

void StatusLines::SetCommandsEnabled(bool enabled) {
    for (Command command : {Command::Hide, Command::Settings, Command::Exit}) {
        commandsEnabled_[CommandIndex(command)] = enabled;
        view_.SetCommandEnabled(static_cast<int>(command), enabled);
    }
}

bool StatusLines::CommandEnabled(Command command) const {
    return commandsEnabled_[CommandIndex(command)];
}

void StatusLines::SetState(StatusLine line, DeviceState state) {
    DeviceState& held =
        line == StatusLine::Scanner ? readingsStatus_.scanner.state : readingsStatus_.reader.state;
    if (held == state) {
        return;
    }
    held = state;
    if (readings_ != nullptr) {
        readings_->Status(readingsStatus_);
    }
}

void StatusLines::SetFailing(StatusLine line, bool failing) {
    (line == StatusLine::Scanner ? scannerFailing_ : readerFailing_) = failing;
}

void StatusLines::HideToTray(bool asked) {
    if (!asked && (scannerFailing_ || readerFailing_)) {
        return;
    }
    failureShowPending_ = false;
    if (tray_.IconPresent()) {
        view_.HideWindow();
    }
}

void StatusLines::ShowFailure() {
    failureShowPending_ = true;
    ShowPendingFailure();
}

void StatusLines::ShowPendingFailure() {
    if (!failureShowPending_ ||
        static_cast<std::uint32_t>(pump_.TickCount() - typedAt_) < typedSettleMs_) {
        return;
    }
    failureShowPending_ = false;
    view_.ShowWindow(Activation::Keep);
}

void StatusLines::KeysTyped(std::size_t characters) {
    typedAt_ = pump_.TickCount();
    typedSettleMs_ =
        kKeysSettleMs + static_cast<std::uint32_t>(characters) * kKeysSettleMsPerCharacter;
}

void StatusLines::NotDelivered(StatusLine notice, const Text& what) {
    Show(notice, what);
    tray_.Notify(status::kNotDeliveredTitle, what);
}

}  // namespace ordane
