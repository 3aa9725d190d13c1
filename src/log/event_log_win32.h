// The Windows event log's "Ordane" source (registered by the installer): ReportEventW with the
// event's id and its line as the one insertion string.
#pragma once

#include <windows.h>

#include "log/event_log.h"

namespace ordane {

class EventLogWin32 final : public EventSink {
  public:
    EventLogWin32();
    ~EventLogWin32() override;
    EventLogWin32(const EventLogWin32&) = delete;
    EventLogWin32& operator=(const EventLogWin32&) = delete;

    void Report(OrdaneEvent event, EventLevel level, std::string_view line) override;

  private:
    HANDLE source_ = nullptr;  // null: no event log to write to; events are lost
};

}  // namespace ordane
