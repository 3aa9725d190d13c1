#include "log/event_log_win32.h"

#include <string>

#include "common/text.h"
#include "common/wide_win32.h"

namespace ordane {

EventLogWin32::EventLogWin32() : source_(RegisterEventSourceW(nullptr, L"Ordane")) {}

EventLogWin32::~EventLogWin32() {
    if (source_ != nullptr) {
        DeregisterEventSource(source_);
    }
}

void EventLogWin32::Report(OrdaneEvent event, EventLevel level, std::string_view line) {
    if (source_ == nullptr) {
        return;
    }
    const WORD type = level == EventLevel::Error     ? EVENTLOG_ERROR_TYPE
                      : level == EventLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                     : EVENTLOG_INFORMATION_TYPE;
    const Text text = FromUtf8(std::string(line));
    const wchar_t* strings[] = {Wide(text)};
    ReportEventW(source_, type, 0, static_cast<DWORD>(event), nullptr, 1, 0, strings, nullptr);
}

}  // namespace ordane
