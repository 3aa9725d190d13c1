#include "app/reading_router.h"

#include <string>

#include "app/keystrokes.h"
#include "app/status_texts.h"

namespace ordane {

namespace {

LogWord OutcomeWord(DeliveryResult result) {
    switch (result) {
        case DeliveryResult::Delivered:
            return "delivered";
        case DeliveryResult::NoTargetWindow:
            return "not delivered: no target window";
        case DeliveryResult::TargetTimedOut:
            return "unknown: target did not answer in time";
        case DeliveryResult::KeysRefused:
            return "not delivered: keys refused";
        case DeliveryResult::HeldTooLong:
            return "not delivered: focus stayed in Ordane";
        case DeliveryResult::DroppedAtExit:
            return "not delivered: program ended";
        case DeliveryResult::Interrupted:
            return "not delivered: typing interrupted";
        case DeliveryResult::WaitedTooLong:
            return "not delivered: waited too long behind paced keys";
        case DeliveryResult::TypingAtExit:
            return "interrupted: program ended while its keys were typed";
    }
    return "not delivered";
}

const char16_t* NoticeFor(DeliveryResult result) {
    switch (result) {
        case DeliveryResult::NoTargetWindow:
            return status::kNoTargetWindow;
        case DeliveryResult::TargetTimedOut:
            return status::kTargetTimedOut;
        case DeliveryResult::KeysRefused:
            return status::kKeysRefused;
        case DeliveryResult::HeldTooLong:
            return status::kHeldTooLong;
        case DeliveryResult::DroppedAtExit:
            return status::kDroppedAtExit;
        case DeliveryResult::Interrupted:
            return status::kTypingInterrupted;
        case DeliveryResult::WaitedTooLong:
            return status::kWaitedTooLong;
        case DeliveryResult::TypingAtExit:
            return status::kTypingInterrupted;
        case DeliveryResult::Delivered:
            break;
    }
    return u"";
}

// A card that is not written is logged by its kind alone, never a field.
LogWord NotWrittenWord(CardKind kind) {
    switch (kind) {
        case CardKind::ForeignPermanent:
            return "not written: foreign permanent resident card";
        case CardKind::HmtResidencePermit:
            return "not written: residence permit";
        case CardKind::Resident:
            return "not written: resident card";
        case CardKind::Unknown:
            break;
    }
    return "not written: card of an unknown kind";
}

std::size_t NoticeIndex(StatusLine notice) {
    return notice == StatusLine::ScannerNotice ? 0 : 1;
}

struct Utf8Check {
    bool valid = true;
    bool multiByte = false;
};

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF, no sequence cut short.
Utf8Check CheckUtf8(std::string_view bytes) {
    Utf8Check check;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;  // the allowed range of the byte after the lead
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return Utf8Check{false, check.multiByte};
        }
        if (extra >= bytes.size() - i) {  // cut short
            return Utf8Check{false, check.multiByte};
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + k]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
                return Utf8Check{false, check.multiByte};
            }
        }
        check.multiByte = true;
        i += extra + 1;
    }
    return check;
}

}  // namespace

Text DecodeReading(std::string_view bytes, ScanEncoding encoding, const AnsiCodec& codec) {
    if (encoding == ScanEncoding::CodePage) {
        return codec.Decode(bytes);
    }
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const bool marked = bytes.starts_with(kBom);
    if (marked) {
        bytes.remove_prefix(kBom.size());
    }
    const Utf8Check check = CheckUtf8(bytes);
    const bool utf8 = check.valid && (marked || encoding == ScanEncoding::Utf8 || check.multiByte);
    return utf8 ? FromUtf8(bytes) : codec.Decode(bytes);
}

ReadingRouter::ReadingRouter(const ReadingRouterDeps& deps) : deps_(deps) {
    QrCodeTypes[1] = u"ZCCCHGZ";
    QrCodeTypes[2] = u"HGFOZ";
    QrCodeTypes[3] = u"HGJKZ";
    for (int i = 1; i <= 100; ++i) {
        const std::string digits = std::to_string(i + 100).substr(1);
        QrCodeTypes[static_cast<std::size_t>(3 + i)] = u"QTZS" + FromAscii(digits);
    }
}

Text ReadingRouter::DecodeScan(const std::string& bytes) const {
    Text scanText = DecodeReading(bytes, deps_.encoding, deps_.codec);
    const Text& model = deps_.settings.ScannerModel;
    if ((model == u"NewLand" || model == u"Metrologic") && !StartsWith(scanText, kMarkerDE6K8)) {
        scanText = kMarkerDE6K8 + scanText;
    }
    return scanText;
}

bool ReadingRouter::IsKnownTwoDimensional(const Text& scan, const Text& marker) const {
    for (std::size_t k = 1; k <= 103; ++k) {
        if (StartsWith(scan, marker + QrCodeTypes[k] + u"_")) {
            return true;
        }
    }
    return false;
}

void ReadingRouter::Scan(const CollectedReading& reading) {
    DiagnosticLog& log = deps_.log;
    if (reading.tooLong) {
        deps_.lines.Show(StatusLine::ScannerNotice, status::kScanTooLong);
        noticeShown_[0] = true;
        log.ReadingDropped(reading.received, "too long");
        return;
    }
    if (reading.incomplete) {
        Dropped(reading.received, "bytes lost, arrival queue full");
        return;
    }
    const Text scan = DecodeScan(reading.bytes);
    const std::uint32_t now = deps_.pump.TickCount();
    Readings* readings = deps_.readings;
    if (IsKnownTwoDimensional(scan, kMarkerDE6K8) || IsKnownTwoDimensional(scan, kMarkerDA36L)) {
        const Text code = scan.substr(5);
        const DeliveryOutcome outcome = SetQRText(code);
        if (readings != nullptr) {
            readings->Scan(code, ScanDelivery::Window, outcome.Arrived());
        }
        Report("window", StatusLine::ScannerNotice, scan.size(),
               static_cast<std::uint32_t>(now - reading.lastByteAt), outcome);
        WatchLate("window", code, reading.lastByteAt, outcome);
        return;
    }
    const bool marked = StartsWith(scan, kMarkerDE6K8) || StartsWith(scan, kMarkerDA36L);
    const Text plain =
        RemoveAll(RemoveAll(marked ? scan.substr(5) : scan, kMarkerDE6K8), kMarkerDA36L);
    // A site may have a page take the barcodes instead of the keyboard, but only while a page
    // is there to take them.
    if (readings != nullptr && readings->TakesScans()) {
        readings->Scan(plain, ScanDelivery::Page, true);
        Report("page", StatusLine::ScannerNotice, scan.size(),
               static_cast<std::uint32_t>(now - reading.lastByteAt), DeliveryOutcome{});
        return;
    }
    held_.push_back(HeldKeys{plain, reading.lastByteAt, now});
    TypeHeld();
}

void ReadingRouter::Dropped(std::size_t received, LogWord why) {
    deps_.log.ReadingDropped(received, why);
    deps_.lines.NotDelivered(StatusLine::ScannerNotice, status::kScanIncomplete);
    noticeShown_[0] = true;
}

void ReadingRouter::TypeHeld() {
    CheckLateWindowText();
    if (typing_) {
        if (!deps_.typingWorker->Idle()) {
            // The next wait their turn, as long as readings wait for the focus.
            const std::uint32_t now = deps_.pump.TickCount();
            while (!held_.empty() &&
                   static_cast<std::uint32_t>(now - held_.front().heldSince) >= kHoldMs) {
                DeliveryOutcome outcome;
                outcome.result = DeliveryResult::WaitedTooLong;
                KeysOutcome(held_.front(), outcome);
                held_.pop_front();
            }
            return;
        }
        TypingReturned();
    }
    while (!held_.empty()) {
        const HeldKeys& front = held_.front();
        if (deps_.delivery.FocusIsOurs()) {
            const std::uint32_t now = deps_.pump.TickCount();
            if (static_cast<std::uint32_t>(now - front.heldSince) < kHoldMs) {
                return;  // typed once the clerk is back in the business application
            }
            DeliveryOutcome outcome;
            outcome.result = DeliveryResult::HeldTooLong;
            KeysOutcome(front, outcome);
            held_.pop_front();
            continue;
        }
        const HeldKeys keys = front;
        held_.pop_front();
        if (deps_.delivery.FocusRefusesKeys()) {
            Refused(keys);
            continue;
        }
        if (Paced() && StartTyping(keys)) {
            return;
        }
        TypeNow(keys);
    }
}

bool ReadingRouter::StartTyping(const HeldKeys& keys) {
    Delivery& delivery = deps_.delivery;
    const bool addEnter = deps_.settings.AddEnter;
    const std::uint32_t delay = deps_.keyDelayMs;
    DeliveryOutcome* outcome = &typedOutcome_;
    const Text text = AsTyped(keys.text);
    if (!deps_.typingWorker->Start([&delivery, outcome, text, addEnter, delay] {
            *outcome = delivery.TypeTextPaced(text, addEnter, delay);
        })) {
        return false;
    }
    typing_ = keys;
    return true;
}

void ReadingRouter::TypingReturned() {
    const HeldKeys keys = *typing_;
    typing_.reset();
    deps_.lines.KeysTyped(keys.text.size());
    KeysOutcome(keys, typedOutcome_);
    if (typedOutcome_.result == DeliveryResult::Interrupted) {
        deps_.log.Event("keys", "typing interrupted at Ordane's focus after keys",
                        static_cast<std::int64_t>(typedOutcome_.keysSent));
    }
}

void ReadingRouter::Refused(const HeldKeys& keys) {
    DeliveryOutcome outcome;
    outcome.result = DeliveryResult::KeysRefused;
    outcome.keysTotal = KeystrokesFor(keys.text, deps_.settings.AddEnter).size();
    KeysOutcome(keys, outcome);
}

void ReadingRouter::KeysOutcome(const HeldKeys& keys, const DeliveryOutcome& outcome) {
    if (deps_.readings != nullptr) {
        deps_.readings->Scan(keys.text, ScanDelivery::Keys, outcome.Arrived());
    }
    Report("keys", StatusLine::ScannerNotice, keys.text.size(),
           static_cast<std::uint32_t>(deps_.pump.TickCount() - keys.lastByteAt), outcome);
}

void ReadingRouter::TypeNow(const HeldKeys& keys) {
    KeysOutcome(keys, SetNormalText(keys.text));
}

void ReadingRouter::DropHeld() {
    DeliveryOutcome outcome;
    outcome.result = DeliveryResult::DroppedAtExit;
    // A reading being typed gets a short time to finish.
    const std::uint32_t until = deps_.pump.TickCount() + kTypingAtExitMs;
    while (typing_ && !deps_.typingWorker->Idle() &&
           static_cast<std::int32_t>(deps_.pump.TickCount() - until) < 0) {
        deps_.pump.Sleep(20);
    }
    if (typing_ && deps_.typingWorker->Idle()) {
        TypingReturned();
    } else if (typing_) {
        // Its keys are still going out, and stop with the program: some of them arrived.
        DeliveryOutcome cut;
        cut.result = DeliveryResult::TypingAtExit;
        KeysOutcome(*typing_, cut);
        typing_.reset();
    }
    for (const HeldKeys& keys : held_) {
        Report("keys", StatusLine::ScannerNotice, keys.text.size(),
               static_cast<std::uint32_t>(deps_.pump.TickCount() - keys.lastByteAt), outcome);
    }
    held_.clear();
}

void ReadingRouter::Card(const CardReading& card, std::uint32_t readStartedAt, bool placed) {
    if (card.record.empty()) {
        // Cut as a resident card's, its pieces would pass for one (a foreign card's English
        // name as the name, permit number and nationality as an 18-character number).
        if (placed) {
            deps_.log.Event("card", NotWrittenWord(card.kind));
            deps_.lines.NotDelivered(StatusLine::ReaderNotice, status::kNotResidentCard);
            noticeShown_[NoticeIndex(StatusLine::ReaderNotice)] = true;
            if (deps_.readings != nullptr) {
                deps_.readings->Card(card, false);
            }
        }
        return;
    }
    const DeliveryOutcome outcome = SetQRText(card.record);
    if (deps_.readings != nullptr && placed) {
        deps_.readings->Card(card, outcome.Arrived());
    }
    Report("card", StatusLine::ReaderNotice, card.record.size(),
           static_cast<std::uint32_t>(deps_.pump.TickCount() - readStartedAt), outcome);
    WatchLate("card", card.record, readStartedAt, outcome);
}

void ReadingRouter::WatchLate(LogWord kind, const Text& text, std::uint32_t since,
                              const DeliveryOutcome& outcome) {
    if (outcome.result == DeliveryResult::TargetTimedOut) {
        late_ = LateWindowText{kind, text, since, deps_.pump.TickCount(), deps_.pump.TickCount()};
    } else if (outcome.Delivered()) {
        late_.reset();  // the target answers again; what it shows now is this text
    }
}

void ReadingRouter::CheckLateWindowText() {
    if (!late_) {
        return;
    }
    const std::uint32_t now = deps_.pump.TickCount();
    if (static_cast<std::uint32_t>(now - late_->askedAt) < kLateAskMs) {
        return;
    }
    late_->askedAt = now;
    // Sent messages from one thread are handled in order: once the target answers, the window
    // text that timed out has been handled before.
    const std::optional<Text> shown = deps_.delivery.FirstChildText(kTargetWindowTitle);
    if (shown) {
        deps_.log.Delivered(
            late_->kind, late_->text.size(), static_cast<std::uint32_t>(now - late_->since),
            *shown == late_->text ? LogWord("arrived late")
                                  : LogWord("unknown: target answered later, its text differs"));
        late_.reset();
    } else if (static_cast<std::uint32_t>(now - late_->sentAt) >= kLateWatchMs) {
        late_.reset();  // stays unknown
    }
}

void ReadingRouter::CardRemoved() {
    if (deps_.readings != nullptr) {
        deps_.readings->CardRemoved();
    }
}

Text ReadingRouter::AsTyped(const Text& text) const {
    if (deps_.groupSeparator.empty()) {
        return text;
    }
    const Text typed = deps_.codec.Decode(deps_.groupSeparator);
    Text out;
    for (const char16_t unit : text) {
        if (unit == u'\x1D') {
            out += typed;
        } else {
            out += unit;
        }
    }
    return out;
}

DeliveryOutcome ReadingRouter::SetNormalText(const Text& str) {
    const Text text = AsTyped(RemoveAll(RemoveAll(str, kMarkerDE6K8), kMarkerDA36L));
    const DeliveryOutcome outcome = deps_.delivery.TypeText(text, deps_.settings.AddEnter);
    deps_.lines.KeysTyped(text.size());
    return outcome;
}

DeliveryOutcome ReadingRouter::SetQRText(const Text& QrStr) {
    return deps_.delivery.SetFirstChildText(kTargetWindowTitle, QrStr);
}

void ReadingRouter::Report(LogWord kind, StatusLine notice, std::size_t length, std::uint32_t since,
                           const DeliveryOutcome& outcome) {
    deps_.log.Delivered(kind, length, since, OutcomeWord(outcome.result));
    bool& shown = noticeShown_[NoticeIndex(notice)];
    if (outcome.Delivered()) {
        if (shown) {
            deps_.lines.Show(notice, Text());  // the notice was about an earlier reading
            shown = false;
        }
        return;
    }
    deps_.lines.NotDelivered(notice, NoticeFor(outcome.result));
    shown = true;
}

}  // namespace ordane
