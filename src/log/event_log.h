// The events IT monitors in the Windows event log (source "Ordane", log "Application"): each is
// one of the diagnostic log's own lines, so it carries only what that log may carry (no reading,
// no card field), with a fixed id a monitoring tool can filter on.
#pragma once

#include <cstdint>
#include <string_view>

namespace ordane {

// The ids are documented for IT (docs/使用说明.md) and match log/ordane_events.mc.
enum class OrdaneEvent : std::uint16_t {
    Started = 1000,
    Ended = 1001,
    DeviceLost = 2001,
    DeviceFound = 2002,
    DeviceNotAnswering = 2003,
    CardLibraryMissing = 2004,
    KeysRefused = 3001,
    ReadingNotDelivered = 3002,
    BridgePortUnavailable = 4001,
};

enum class EventLevel { Information, Warning, Error };

// Where events go: the Windows event log, or a test double. Never throws, never reports a
// failure: an event that cannot be written is lost, as a log line is.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Report(OrdaneEvent event, EventLevel level, std::string_view line) = 0;
};

}  // namespace ordane
