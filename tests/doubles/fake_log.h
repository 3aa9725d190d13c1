// Keeps the diagnostic log's lines in memory, for tests of what the log may contain.
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

}  // namespace ordane::test
