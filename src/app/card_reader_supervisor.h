// The card reader: its start (library, identification, security-module id, registration
// report), and the poll every 500 ms that reads a card laid on it.
//
// The maker's library runs on a worker of its own: a read takes 0.5 to 1 s, and a reader
// firmware or driver fault can keep a call from returning at all, so the window, the tray and
// the scanner must never wait for it. A call not back within kCallBoundMs is shown on the
// reader's lines, and the reader is read again once the call returns; a reader whose port
// stops opening (unplugged) is shown as failed and is back by itself when it opens again.
#pragma once

#include <cstdint>
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
#include "log/diagnostic_log.h"
#include "settings/frm_set.h"

namespace ordane {

// What one poll of the library found.
struct CardRead {
    std::int32_t openCode = 0;
    std::int32_t readCode = kSdtOk;   // of SDT_ReadBaseMsg, when a card was found
    std::optional<CardReading> card;  // none: no card
};

// Opens the port, finds, selects and reads a card, closes the port. Runs on the worker.
CardRead GetCardStr(CardReaderLibrary& sdt, std::int32_t iport);

struct CardReaderDeps {
    MainView& view;
    StatusLines& lines;
    MessagePump& pump;
    Worker& worker;
    CardReaderLibrary& sdtapi;
    CardReaderIdentification& identification;
    FrmSet& frmSet;
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

    // At start-up; false when it failed (its texts then stand).
    bool StartAtLoad();
    // After a confirmed settings dialog: identified again and its port opened; false when it
    // failed (its texts then stand).
    bool Reopen();
    // Timer2: takes the last poll's card, then starts the next poll.
    void Poll();
    // Takes a finished poll's card between Timer2 ticks, so a card is not held half a second.
    void Collect();

    // Its port stopped opening, or a call hangs: the Settings command may reopen it.
    bool Failed() const { return portFailed_ || notAnswering_; }

    void SetReaderState(std::int32_t state);
    std::int32_t GetReaderState() const { return ReaderState; }

    // The port kept open by the Settings command, closed at exit (not while a call hangs).
    std::int32_t OpenCardReaderPort(std::int32_t port);
    void CloseCardReaderPort();

    std::int32_t ReaderState = 0;
    bool ReaderOpen = false;
    bool ReaderStarted = false;
    Text SamId;
    std::int32_t CardReaderPort = 0;

  private:
    // Identified: its model shown; not: its texts shown.
    bool IdentifyCardReader();
    // False (and the reader shown as not answering) while a poll still holds the library.
    bool LibraryFree();
    void ShowNotAnswering();

    CardReaderDeps deps_;
    std::shared_ptr<CardRead> pending_;  // the poll under way, filled by the worker
    std::uint32_t pollStartedAt_ = 0;
    bool notAnswering_ = false;
    bool portFailed_ = false;
    std::optional<std::int32_t> pollOpenCode_;  // the poll port's last open result, as logged
    // The text of the card lying on the reader; none when the last poll found none.
    std::optional<Text> placed_;
};

}  // namespace ordane
