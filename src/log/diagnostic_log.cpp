#include "log/diagnostic_log.h"

#include <algorithm>
#include <cstdio>

#include "common/text.h"

namespace ordane {

namespace {

const char* DeviceName(LogDevice device) {
    return device == LogDevice::Scanner ? "scanner" : "card reader";
}

std::string Number(std::int64_t value) {
    return std::to_string(value);
}

std::string Port(std::int32_t port) {
    return "port " + Number(port);
}

}  // namespace

std::string HexBounded(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    const std::size_t shown = std::min(bytes.size(), maxBytes);
    hex.reserve(shown * 3 + 24);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) {
            hex += ' ';
        }
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    if (bytes.size() > shown) {
        hex += " (+" + Number(static_cast<std::int64_t>(bytes.size() - shown)) + " more)";
    }
    if (bytes.empty()) {
        hex = "(none)";
    }
    return hex;
}

std::string FormatLogLine(const LogTime& t, std::string_view message) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.millisecond);
    std::string line(stamp);
    line.append(message);
    line += "\r\n";
    return line;
}

DiagnosticLog& DiagnosticLog::Off() {
    static DiagnosticLog off;
    return off;
}

void DiagnosticLog::Write(const std::string& line) {
    if (sink_ != nullptr) {
        sink_->Append(line);
    }
}

void DiagnosticLog::Report(OrdaneEvent event, EventLevel level, const std::string& line) {
    if (events_ == nullptr || line == lastEvent_) {
        return;  // a device asked again every 2 s would fill the event log
    }
    lastEvent_ = line;
    events_->Report(event, level, line);
}

void DiagnosticLog::WriteEvent(OrdaneEvent event, EventLevel level, const std::string& line) {
    Write(line);
    Report(event, level, line);
}

void DiagnosticLog::Started(LogWord version, LogWord server) {
    WriteEvent(OrdaneEvent::Started, EventLevel::Information,
               "start: Ordane " + std::string(version.View()) + ", registration server " +
                   std::string(server.View()));
}

void DiagnosticLog::Exited() {
    WriteEvent(OrdaneEvent::Ended, EventLevel::Information,
               "exit: " + Number(static_cast<std::int64_t>(deliveries_)) + " deliveries");
}

void DiagnosticLog::SettingsRead(const LoggedSettings& s) {
    Write("settings: UsePort1=" + ToUtf8(s.usePort1) + " Scanner=" + ToUtf8(s.scanner) + " Port=" +
          Number(s.port) + " BaudRate=" + Number(s.baudRate) + " Bits=" + Number(s.bits) +
          " Parity=" + Number(s.parity) + " StopBits=" + Number(s.stopBits) +
          " AddEnter=" + (s.addEnter ? "1" : "0") + " UsePort2=" + ToUtf8(s.usePort2) +
          " Port2=" + Number(s.port2) + " CardReader=" + ToUtf8(s.cardReader));
}

void DiagnosticLog::SettingsNotRead(LogWord reason) {
    Write("settings not read: " + std::string(reason.View()));
}

void DiagnosticLog::Opened(LogDevice device, std::int32_t port, std::int32_t code) {
    Write(std::string(DeviceName(device)) + " open " + Port(port) +
          (code == 0 ? std::string(": ok") : ": failed, code " + Number(code)));
}

void DiagnosticLog::Closed(LogDevice device, std::int32_t port, std::int32_t code) {
    Write(std::string(DeviceName(device)) + " close " + Port(port) + ": code " + Number(code));
}

void DiagnosticLog::Exchange(LogDevice device, std::int32_t port,
                             std::span<const std::uint8_t> sent, std::size_t receivedLength,
                             bool matched) {
    Write(std::string(DeviceName(device)) + " identification " + Port(port) + ": sent " +
          HexBounded(sent) + "; received " + Number(static_cast<std::int64_t>(receivedLength)) +
          " bytes, " + (matched ? "matched" : "not matched"));
}

void DiagnosticLog::Identified(LogDevice device, const Text& brand, const Text& model, bool found) {
    const std::string line =
        std::string(DeviceName(device)) + " " + ToUtf8(brand) +
        (found ? ": identified, model " + ToUtf8(model) : std::string(": did not answer"));
    if (found) {
        Write(line);
    } else {
        WriteEvent(OrdaneEvent::DeviceNotAnswering, EventLevel::Warning, line);
    }
}

void DiagnosticLog::ReopenAttempt(LogDevice device, std::int32_t port, std::int32_t code) {
    ++reopenAttempts_;
    const std::string what = std::string(DeviceName(device)) + " reopen " + Port(port);
    const std::string count = " (attempt " + Number(reopenAttempts_) + ")";
    if (code == 0) {
        WriteEvent(OrdaneEvent::DeviceFound, EventLevel::Information, what + ": ok" + count);
        reopenAttempts_ = 0;
    } else if (reopenAttempts_ == 1 || code != lastReopenCode_) {
        Write(what + ": failed, code " + Number(code) + count);
    }
    lastReopenCode_ = code;
}

void DiagnosticLog::Delivered(LogWord kind, std::size_t length, std::uint32_t latencyMs,
                              LogWord outcome) {
    ++deliveries_;
    const std::string line = "delivery " + Number(static_cast<std::int64_t>(deliveries_)) + ": " +
                             std::string(kind.View()) + ", length " +
                             Number(static_cast<std::int64_t>(length)) + ", latency " +
                             Number(latencyMs) + " ms, " + std::string(outcome.View());
    const std::string_view said = outcome.View();
    if (said.starts_with("not delivered")) {
        WriteEvent(said.find("keys refused") != std::string_view::npos
                       ? OrdaneEvent::KeysRefused
                       : OrdaneEvent::ReadingNotDelivered,
                   EventLevel::Warning, line);
    } else {
        Write(line);
    }
}

void DiagnosticLog::ReadingDropped(std::size_t length, LogWord reason) {
    Write("reading dropped: " + std::string(reason.View()) + ", length " +
          Number(static_cast<std::int64_t>(length)));
}

void DiagnosticLog::RegistrationAttempt(LogWord trigger, std::size_t idLength) {
    Write("registration: " + std::string(trigger.View()) + ", id length " +
          Number(static_cast<std::int64_t>(idLength)));
}

void DiagnosticLog::RegistrationOutcome(bool success) {
    Write(success ? "registration: accepted" : "registration: failed");
}

void DiagnosticLog::WriteRefused(LogWord what) {
    Write("write refused: " + std::string(what.View()));
}

namespace {

// The events among the other lines, by their fixed words.
struct EventLine {
    std::string_view category, what;
    OrdaneEvent event;
    EventLevel level;
};
constexpr EventLine kEventLines[] = {
    {"scanner", "port lost", OrdaneEvent::DeviceLost, EventLevel::Warning},
    {"card reader", "polling port failed", OrdaneEvent::DeviceLost, EventLevel::Warning},
    {"card reader", "polling port opens", OrdaneEvent::DeviceFound, EventLevel::Information},
    {"card reader", "library call did not return in time", OrdaneEvent::DeviceNotAnswering,
     EventLevel::Warning},
    {"card reader", "sdtapi.dll not loaded", OrdaneEvent::CardLibraryMissing, EventLevel::Error},
    {"bridge", "off, could not listen on port", OrdaneEvent::BridgePortUnavailable,
     EventLevel::Warning},
};

const EventLine* EventOf(LogWord category, LogWord what) {
    for (const EventLine& line : kEventLines) {
        if (line.category == category.View() && line.what == what.View()) {
            return &line;
        }
    }
    return nullptr;
}

}  // namespace

void DiagnosticLog::Event(LogWord category, LogWord what) {
    const std::string line = std::string(category.View()) + ": " + std::string(what.View());
    Write(line);
    if (const EventLine* event = EventOf(category, what)) {
        Report(event->event, event->level, line);
    }
}

void DiagnosticLog::Event(LogWord category, LogWord what, std::int64_t code) {
    const std::string line =
        std::string(category.View()) + ": " + std::string(what.View()) + ", code " + Number(code);
    Write(line);
    if (const EventLine* event = EventOf(category, what)) {
        Report(event->event, event->level, line);
    }
}

namespace {

std::string ShownOrigin(std::string_view origin) {
    std::string shown = "\"";
    for (const char c : origin.substr(0, 100)) {
        const bool originChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') ||
                                std::string_view(":/.-[]*_").find(c) != std::string_view::npos;
        shown += originChar ? c : '?';
    }
    return shown + "\"";
}

}  // namespace

void DiagnosticLog::BridgeOrigin(LogWord what, std::string_view origin) {
    Write("bridge: allow-list entry " + ShownOrigin(origin) +
          " refused: " + std::string(what.View()));
}

void DiagnosticLog::BridgeRefused(std::string_view origin, std::string_view host, int status,
                                  std::uint32_t unwritten) {
    Write("bridge: refused page of origin " + ShownOrigin(origin) + " host " + ShownOrigin(host) +
          ", status " + Number(status) + ", " + Number(unwritten) + " more refused unwritten");
}

}  // namespace ordane
