// The card reader: its start (library, identification, security-module id, registration
// report), and the poll every 500 ms that reads a card laid on it.
//
// Every call of the maker's library (loading it included) runs on a worker of its own: a
// read takes 0.5 to 1 s, and a reader firmware or driver fault can keep a call from returning
// at all, so the window, the tray and the scanner must never wait for it. A call not back
// within kCallBoundMs is shown on the reader's lines, and what it was doing is done again once
// it returns; a reader whose port stops opening (unplugged) is shown as failed and is back by
// itself when it opens again; a start that failed (no library, no answer) is tried again by
// itself every kRetryMs, whatever the scanner does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/card_record.h"
#include "app/main_view.h"
#include "app/reading_router.h"
#include "app/registration_report.h"
#include "app/status_lines.h"
#include "common/pump.h"
#include "common/worker.h"
#include "devices/card_library.h"
#include "devices/card_reader_identification.h"
#include "devices/port_outcome.h"
#include "log/diagnostic_log.h"
#include "settings/settings_model.h"

namespace ordane {

// What one poll of the library found: the library's statuses are read here, in GetCardStr.
struct CardRead {
    PortOpening open;
    bool readFailed = false;          // a card was found and selected, but not read
    std::int32_t readCode = kSdtOk;   // of SDT_ReadBaseMsg, as the log gives it
    std::optional<CardReading> card;  // none: no card
};

// What opening the reader's port for a start came to.
enum class ReaderPortOpen { Opened, Refused, LibraryMissing, NotAnswering };

// Opens the port, finds, selects and reads a card, closes the port. Runs on the worker.
CardRead GetCardStr(CardReaderLibrary& sdt, std::int32_t iport);

// Where the card reader stands; its status lines follow from it.
enum class ReaderPhase {
    Closed,        // not in use
    Starting,      // started on the next Timer2 tick (at load, after a confirmed dialog)
    Unavailable,   // its start failed (texts stand): started again every kRetryMs
    Running,       // identified: polled every 500 ms
    PortFailed,    // the poll's port stopped opening: polled on, back when it opens
    NotAnswering,  // a library call is not back within its bound: resumed when it returns
};

// What a start does besides identifying the reader.
enum class ReaderStart {
    AtLoad,         // loads the library, reads the security-module id and reports it
    AfterSettings,  // closes the port the last dialog left open, opens it again
};

struct CardReaderDeps {
    MainView& view;
    StatusLines& lines;
    MessagePump& pump;
    Worker& worker;
    CardReaderLibrary& sdtapi;
    CardReaderIdentification& identification;
    const Settings& settings;  // in force
    const AnsiCodec& codec;
    DiagnosticLog& log;
    ReadingRouter& router;
    RegistrationReport& registration;
};

class CardReaderSupervisor {
  public:
    // How long one poll of the library may take before the reader is shown as not answering.
    static constexpr std::uint32_t kCallBoundMs = 3000;

    explicit CardReaderSupervisor(const CardReaderDeps& deps) : deps_(deps) {}
    CardReaderSupervisor(const CardReaderSupervisor&) = delete;
    CardReaderSupervisor& operator=(const CardReaderSupervisor&) = delete;

    // How often a start that failed is tried again.
    static constexpr std::uint32_t kRetryMs = 5000;
    // How long Exit waits for the port to close before the program ends anyway.
    static constexpr std::uint32_t kExitCloseMs = 500;

    // At load and after a confirmed dialog: its start runs on the next Timer2 tick.
    void BeginStart(ReaderStart kind);
    // Timer2, with the loops and the commands held: a start that is due runs.
    bool StartDue() const;
    void Start();
    // At load, the scanner is identified only after the reader's first start (as it always was).
    bool FirstStartPending() const { return phase_ == ReaderPhase::Starting && !attempted_; }
    // Timer2: takes the last poll's card, then starts the next poll.
    void Poll();
    // Takes a finished call's result between Timer2 ticks, so a card is not held half a second.
    void Collect();

    ReaderPhase Phase() const { return phase_; }
    // Not working and not about to start: the Settings command may reopen it.
    bool Failed() const {
        return phase_ == ReaderPhase::Unavailable || phase_ == ReaderPhase::PortFailed ||
               phase_ == ReaderPhase::NotAnswering;
    }

    void SetReaderState(std::int32_t state);
    std::int32_t GetReaderState() const { return ReaderState; }

    // The port kept open by the Settings command, closed at exit (not while a call hangs, and
    // never waited for longer than kExitCloseMs).
    ReaderPortOpen OpenCardReaderPort(std::int32_t port);
    void CloseCardReaderPort(std::uint32_t boundMs = kCallBoundMs);

    std::int32_t ReaderState = 0;
    bool ReaderOpen = false;
    bool ReaderStarted = false;
    Text SamId;
    std::int32_t CardReaderPort = 0;

  private:
    // Identified: its model shown; not: its texts shown.
    bool IdentifyCardReader();
    // Runs job on the worker once a call under way returned, and waits for it (dispatching
    // messages) within boundMs each; false, and the reader shown as not answering, when either
    // is not back in time.
    bool CallLibrary(std::function<void()> job, std::uint32_t boundMs = kCallBoundMs);
    bool WaitForWorker(std::uint32_t startedAt, std::uint32_t boundMs);
    void ShowNotAnswering();
    // A start failed: its texts stand, and it is tried again later by itself.
    void StartFailed(const Text& status);
    void SetPhase(ReaderPhase phase);

    CardReaderDeps deps_;
    ReaderPhase phase_ = ReaderPhase::Closed;
    ReaderStart start_ = ReaderStart::AtLoad;
    bool attempted_ = false;
    bool starting_ = false;     // inside a start: a returned call is the start's to take
    bool resumeStart_ = false;  // the call that hangs held a start: done again when it returns
    std::uint32_t failedAt_ = 0;
    std::shared_ptr<CardRead> pending_;  // the poll under way, filled by the worker
    std::uint32_t pollStartedAt_ = 0;
    std::uint32_t callStartedAt_ = 0;
    std::optional<std::int32_t> pollOpenCode_;  // the poll port's last open result, as logged
    // The text of the card lying on the reader; none when the last poll found none.
    std::optional<Text> placed_;
};

}  // namespace ordane
