// Keeps the diagnostic log's lines and events in memory, for tests of what they may contain.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "log/diagnostic_log.h"

namespace ordane::test {

class FakeLogSink final : public LogSink {
  public:
    void Append(std::string_view line) override { lines.emplace_back(line); }

    // Every line, one per text line.
    std::string All() const {
        std::string all;
        for (const std::string& line : lines) {
            all += line + "\n";
        }
        return all;
    }

    std::vector<std::string> lines;
};

// Keeps the events the log reports, as the Windows event log would get them.
class FakeEventSink final : public EventSink {
  public:
    struct Event {
        OrdaneEvent id;
        EventLevel level;
        std::string line;
    };
    void Report(OrdaneEvent id, EventLevel level, std::string_view line) override {
        events.push_back({id, level, std::string(line)});
    }
    std::vector<OrdaneEvent> Ids() const {
        std::vector<OrdaneEvent> ids;
        for (const Event& event : events) {
            ids.push_back(event.id);
        }
        return ids;
    }

    std::vector<Event> events;
};

}  // namespace ordane::test
