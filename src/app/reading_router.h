// Where a finished reading goes, and what became of it. A known two-dimensional code and every
// card record are set as the business application's window text; any other barcode is typed
// into the focused window, or taken by a browser page. Each delivery's outcome is logged, told
// to the pages, and shown to the clerk when the reading went nowhere.
//
// Keys are never typed into one of this program's own windows (the settings dialog, the main
// window after a tray click): such a reading waits, in order with those behind it, until the
// focus is elsewhere, and past kHoldMs it is reported as not delivered.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

#include "app/card_record.h"
#include "app/delivery.h"
#include "app/readings.h"
#include "app/scan_collector.h"
#include "app/scan_settings.h"
#include "app/status_lines.h"
#include "common/pump.h"
#include "common/worker.h"
#include "common/text.h"
#include "log/diagnostic_log.h"
#include "settings/settings_model.h"

namespace ordane {

inline constexpr char16_t kTargetWindowTitle[] = u"EC79BF23-6763-4120-8143-A5FF53C87FEB";
inline constexpr char16_t kMarkerDE6K8[] = u"DE6K8";
inline constexpr char16_t kMarkerDA36L[] = u"DA36L";

struct ReadingRouterDeps {
    Delivery& delivery;
    const AnsiCodec& codec;
    const Settings& settings;
    MessagePump& pump;
    DiagnosticLog& log;
    StatusLines& lines;
    Readings* readings = nullptr;  // the browser bridge, when it is on
    ScanEncoding encoding = ScanEncoding::CodePage;
    // Where keys are typed when a delay between them is set ([SCAN] KeyDelay): one reading at
    // a time, the next waiting its turn.
    Worker* typingWorker = nullptr;
    std::uint32_t keyDelayMs = 0;
    // [SCAN] GS: typed in place of each group separator (0x1D); empty: typed as it is.
    std::string groupSeparator;
};

// A reading's bytes as text. Auto takes them as UTF-8 when they are valid UTF-8 holding at
// least one multi-byte sequence, otherwise (and for ASCII, the same either way) from the code
// page; Utf8 takes valid UTF-8 as such and anything else from the code page. Either honours
// and removes a leading UTF-8 byte-order mark.
Text DecodeReading(std::string_view bytes, ScanEncoding encoding, const AnsiCodec& codec);

class ReadingRouter {
  public:
    // How long a reading waits for the focus to leave this program's windows.
    static constexpr std::uint32_t kHoldMs = 10000;
    // How often, and how long after it was sent, a target that did not answer is asked for the
    // text it shows.
    static constexpr std::uint32_t kLateAskMs = 500;
    static constexpr std::uint32_t kLateWatchMs = 60000;

    explicit ReadingRouter(const ReadingRouterDeps& deps);
    ReadingRouter(const ReadingRouter&) = delete;
    ReadingRouter& operator=(const ReadingRouter&) = delete;

    // A reading the scanner finished.
    void Scan(const CollectedReading& reading);
    // Part of a reading, or one the scanner's link gave up, was dropped: logged with why, and the
    // clerk asked to scan again.
    void Dropped(std::size_t received, LogWord why);
    // A card, read from readStartedAt on. Only a card whose record is its own layout's is
    // written into the business application; any other kind is told to the clerk instead.
    // placed: the first poll that found this card; only then the pages are sent it (and the
    // clerk told of another kind).
    void Card(const CardReading& card, std::uint32_t readStartedAt, bool placed = true);
    void CardRemoved();
    // Types the readings that waited for the focus, once it left this program's windows, or
    // for the one typed before them on the worker (which it then reports).
    void TypeHeld();
    // After a window text whose outcome was unknown, asks the target now and then whether it
    // took it after all, and logs it once it answers.
    void CheckLateWindowText();
    // The program ends: readings still waiting are not typed, and are reported so. A reading
    // being typed on the worker is waited for at most kTypingAtExitMs, then told interrupted.
    void DropHeld();
    static constexpr std::uint32_t kTypingAtExitMs = 2000;
    bool Holding() const { return !held_.empty() || typing_.has_value(); }

    // The two ways to the business application, under their usual names.
    DeliveryOutcome SetNormalText(const Text& str);
    DeliveryOutcome SetQRText(const Text& QrStr);

    // The 103 type codes, indexes 1 to 103.
    std::array<Text, 104> QrCodeTypes;

  private:
    struct HeldKeys {
        Text text;  // markers removed
        std::uint32_t lastByteAt;
        std::uint32_t heldSince;
    };
    struct LateWindowText {
        LogWord kind;
        Text text;
        std::uint32_t since;  // its last byte, or the card read's start
        std::uint32_t sentAt;
        std::uint32_t askedAt;
    };
    void WatchLate(LogWord kind, const Text& text, std::uint32_t since,
                   const DeliveryOutcome& outcome);
    Text DecodeScan(const std::string& bytes) const;
    // The text as it is typed: the group separator replaced as [SCAN] GS says. Window texts and
    // the pages keep the reading exactly.
    Text AsTyped(const Text& text) const;
    bool IsKnownTwoDimensional(const Text& scan, const Text& marker) const;
    void TypeNow(const HeldKeys& keys);
    // Not typed: the focused application would drop every key.
    void Refused(const HeldKeys& keys);
    // Pages, log and clerk learn what became of a reading's keys.
    void KeysOutcome(const HeldKeys& keys, const DeliveryOutcome& outcome);
    bool Paced() const { return deps_.keyDelayMs > 0 && deps_.typingWorker != nullptr; }
    // False when the worker could not take it.
    bool StartTyping(const HeldKeys& keys);
    void TypingReturned();
    // Log, pages and clerk learn what became of one reading.
    void Report(LogWord kind, StatusLine notice, std::size_t length, std::uint32_t since,
                const DeliveryOutcome& outcome);

    ReadingRouterDeps deps_;
    std::deque<HeldKeys> held_;
    std::optional<HeldKeys> typing_;      // on the worker
    std::optional<LateWindowText> late_;  // the last window text whose outcome is unknown
    DeliveryOutcome typedOutcome_;        // written by the worker's job, read once it is idle
    // A notice this router put on the line, cleared by the next reading that arrives.
    std::array<bool, 2> noticeShown_{false, false};  // scanner, reader
};

}  // namespace ordane
