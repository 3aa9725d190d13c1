#include <gtest/gtest.h>

#include <windows.h>

#include "log/file_log_win32.h"
#include "temp_dir.h"

namespace ordane {
namespace {

using test::ReadWholeFile;
using test::TempDir;

TEST(FileLogWin32Test, AppendsStampedLinesRotatesAFullFileAndGivesUpQuietly) {
    TempDir dir;
    const std::wstring folder = dir.Wide() + L"\\Ordane\\logs";  // made by the writer
    const std::wstring path = folder + L"\\ordane.log";
    FileLogWin32(folder).Append("start: Ordane 1.0.0.0");
    EXPECT_TRUE(ReadWholeFile(path).ends_with(" start: Ordane 1.0.0.0\r\n"));

    // A file grown to the limit becomes the older one when it is next opened.
    HANDLE file =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::string filler(LogRotation::kLimit, 'x');
    DWORD written = 0;
    WriteFile(file, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
    CloseHandle(file);
    FileLogWin32(folder).Append("second run");
    EXPECT_GT(ReadWholeFile(folder + L"\\ordane.1.log").size(), LogRotation::kLimit);
    const std::string fresh = ReadWholeFile(path);
    EXPECT_TRUE(fresh.ends_with(" second run\r\n") && fresh.size() < 64) << fresh;

    // A file standing where the folder should be: nothing is written and nothing fails, and
    // the writer gives up: with the file out of the way, the next line does not try again.
    FileLogWin32 blocked(path + L"\\logs");
    blocked.Append("lost");
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    blocked.Append("lost again");
    EXPECT_EQ(GetFileAttributesW((path + L"\\logs").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace ordane
