// The diagnostic log that support reads when a counter calls: version and build server, the
// settings read, device opens and closes with their codes, identification exchanges, reopen
// attempts, deliveries, registration and refused writes.
//
// It holds no personal data. No call takes the text or the bytes of a reading or of a card:
// only kinds, counts, lengths, codes, settings and words fixed in the program's source
// (LogWord converts from a string literal only), so a barcode or a card field cannot reach
// the file. Of an identification exchange the query is written as hex (the program's own
// bytes), the reply only by its length and whether it matched: a barcode scanned meanwhile,
// also on a card reader's port that adapters moved to the scanner, arrives in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/text.h"
#include "log/event_log.h"

namespace ordane {

// Where finished event lines go: the log file, or a test double. Append never throws and
// never reports a failure; a line that cannot be written is lost.
class LogSink {
  public:
    virtual ~LogSink() = default;
    // One event, without time stamp or line end.
    virtual void Append(std::string_view line) = 0;
};

// A word written into the program's source. Only a string literal converts to it (the
// conversion runs at compile time), so text that arrived at run time cannot pass for one.
class LogWord {
  public:
    template <std::size_t N>
    consteval LogWord(const char (&literal)[N]) : text_(literal, N - 1) {}
    std::string_view View() const { return text_; }

  private:
    std::string_view text_;
};

enum class LogDevice { Scanner, CardReader };

// The eleven settings of Setting.ini as the model holds them after reading.
struct LoggedSettings {
    Text usePort1, scanner;
    std::int32_t port, baudRate, bits, parity, stopBits;
    bool addEnter;
    Text usePort2;
    std::int32_t port2;
    Text cardReader;
};

// Bytes as hex pairs, at most maxBytes of them, then how many more there were.
inline constexpr std::size_t kLogHexBytes = 64;
std::string HexBounded(std::span<const std::uint8_t> bytes, std::size_t maxBytes = kLogHexBytes);

// A local time as the file writer stamps each line with it.
struct LogTime {
    int year, month, day, hour, minute, second, millisecond;
};
// "2024-05-01 08:30:05.123 message" and CR LF.
std::string FormatLogLine(const LogTime& time, std::string_view message);

// When the file is rotated: its size is looked at when it is opened and every kCheckEvery
// lines, and at kLimit bytes or more it becomes the one older file.
class LogRotation {
  public:
    static constexpr std::uint64_t kLimit = std::uint64_t{1} << 20;
    static constexpr unsigned kCheckEvery = 64;
    // Counts one written line; True when the size is due to be looked at.
    bool LineWritten() { return ++lines_ % kCheckEvery == 0; }
    static bool Due(std::uint64_t size) { return size >= kLimit; }

  private:
    unsigned lines_ = 0;
};

class DiagnosticLog {
  public:
    // No sink: every call does nothing (the default of objects built without a log).
    DiagnosticLog() = default;
    explicit DiagnosticLog(LogSink& sink) : sink_(&sink) {}
    // The lines IT monitors (start and end, a device lost, found again or not answering, the
    // card library missing, a reading not delivered, the bridge's port unavailable) also go to
    // `events`, each as one event; one the same as the event before it is not repeated.
    DiagnosticLog(LogSink& sink, EventSink& events) : sink_(&sink), events_(&events) {}
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // A log that writes nothing, for objects given none.
    static DiagnosticLog& Off();

    void Started(LogWord version, LogWord server);
    void Exited();
    // The eleven settings of the file, as the model holds them after reading.
    void SettingsRead(const LoggedSettings& settings);
    void SettingsNotRead(LogWord reason);
    // code: 0 opened, else the failure code the port or library gave.
    void Opened(LogDevice device, std::int32_t port, std::int32_t code);
    void Closed(LogDevice device, std::int32_t port, std::int32_t code);
    void Exchange(LogDevice device, std::int32_t port, std::span<const std::uint8_t> sent,
                  std::size_t receivedLength, bool matched);
    // The brand asked, and the model found or that none answered.
    void Identified(LogDevice device, const Text& brand, const Text& model, bool found);
    // A closed port tried again. Only the first attempt, a change of its code and the
    // opening are written, with the count: an adapter left unplugged would otherwise write
    // a line every attempt.
    void ReopenAttempt(LogDevice device, std::int32_t port, std::int32_t code);
    // kind: how it went out ("keys", "window", "card", "page"); latencyMs: from the reading's
    // last byte, or the card read's start, to the delivery; outcome: "delivered" or why not.
    void Delivered(LogWord kind, std::size_t length, std::uint32_t latencyMs, LogWord outcome);
    void ReadingDropped(std::size_t length, LogWord reason);
    // The security-module id is not written: its length says whether one was read, and
    // the registration server holds the id itself.
    void RegistrationAttempt(LogWord trigger, std::size_t idLength);
    void RegistrationOutcome(bool success);
    void WriteRefused(LogWord what);
    // Any other event: a category and a fixed word, with a number (an error code, a count)
    // where there is one.
    void Event(LogWord category, LogWord what);
    void Event(LogWord category, LogWord what, std::int64_t code);
    // An origin of the bridge: an entry of the allow-list refused, or the Origin of a refused
    // page's request. An origin is a web address's scheme, host and port, never a person's
    // data; only the characters an origin is made of are written (others as '?'), at most 100.
    void BridgeOrigin(LogWord what, std::string_view origin);
    // A page's request refused: its Origin and Host (shown as above), the answer's status, and
    // how many refusals went unwritten before it.
    void BridgeRefused(std::string_view origin, std::string_view host, int status,
                       std::uint32_t unwritten);

    std::uint64_t Deliveries() const { return deliveries_; }

  private:
    void Write(const std::string& line);
    void Report(OrdaneEvent event, EventLevel level, const std::string& line);
    // Write, and report the line as that event.
    void WriteEvent(OrdaneEvent event, EventLevel level, const std::string& line);

    LogSink* sink_ = nullptr;
    EventSink* events_ = nullptr;
    std::string lastEvent_;
    std::uint64_t deliveries_ = 0;
    std::uint32_t reopenAttempts_ = 0;
    std::int32_t lastReopenCode_ = 0;
};

}  // namespace ordane
