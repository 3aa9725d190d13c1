// The diagnostic log's file: %LOCALAPPDATA%\Ordane\logs\ordane.log, UTF-8, one line per
// event with the local time. At about 1 MiB it becomes ordane.1.log (the one older file kept)
// and a new file is begun.
#pragma once

#include <windows.h>

#include <string>

#include "common/handle_win32.h"
#include "log/diagnostic_log.h"

namespace ordane {

class FileLogWin32 final : public LogSink {
  public:
    // folder: where the two files live, created when missing; empty: the user's local
    // application data folder's Ordane\logs.
    explicit FileLogWin32(std::wstring folder = std::wstring());
    FileLogWin32(const FileLogWin32&) = delete;
    FileLogWin32& operator=(const FileLogWin32&) = delete;

    // Each line is one WriteFile on a handle opened for appending, so a crash or a kill loses
    // at most the line being written. A file that cannot be opened is given up for the run:
    // the program works on without a log.
    void Append(std::string_view line) override;

    const std::wstring& Path() const { return path_; }

  private:
    bool Open();
    void RotateIfDue();

    std::wstring folder_;
    std::wstring path_;
    UniqueHandle file_;
    bool givenUp_ = false;
    LogRotation rotation_;
};

}  // namespace ordane
