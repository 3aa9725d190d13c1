#include "log/file_log_win32.h"

#include <shlobj.h>

namespace ordane {

namespace {

std::wstring LocalAppDataLogs() {
    std::wstring base;
    PWSTR known = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK) {
        base = known;
    }
    CoTaskMemFree(known);  // also when the call failed
    if (base.empty()) {
        wchar_t buffer[MAX_PATH];
        const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            base.assign(buffer, n);
        }
    }
    return base.empty() ? std::wstring() : base + L"\\Ordane\\logs";
}

// Creates the folder and its parents; True when it exists afterwards.
bool EnsureFolder(const std::wstring& folder) {
    for (std::size_t at = folder.find(L'\\', 3); at != std::wstring::npos;
         at = folder.find(L'\\', at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

FileLogWin32::FileLogWin32(std::wstring folder)
    : folder_(folder.empty() ? LocalAppDataLogs() : std::move(folder)) {
    if (folder_.empty()) {
        givenUp_ = true;
        return;
    }
    path_ = folder_ + L"\\ordane.log";
}

bool FileLogWin32::Open() {
    if (!EnsureFolder(folder_)) {
        return false;
    }
    // Shared for reading, writing and deleting, so support can open the file while Ordane
    // runs and a second session's copy can append and rotate too.
    file_.Reset(CreateFileW(path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_.Valid();
}

void FileLogWin32::RotateIfDue() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.Get(), &size) ||
        !LogRotation::Due(static_cast<std::uint64_t>(size.QuadPart))) {
        return;
    }
    file_.Reset();
    const std::wstring older = folder_ + L"\\ordane.1.log";
    MoveFileExW(path_.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
    Open();  // when the rename failed this appends to the old file, which is still better
}

void FileLogWin32::Append(std::string_view message) {
    if (givenUp_) {
        return;
    }
    if (!file_.Valid()) {
        if (!Open()) {
            givenUp_ = true;
            return;
        }
        RotateIfDue();
        if (!file_.Valid()) {
            givenUp_ = true;
            return;
        }
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string line = FormatLogLine(LogTime{now.wYear, now.wMonth, now.wDay, now.wHour,
                                                   now.wMinute, now.wSecond, now.wMilliseconds},
                                           message);
    DWORD written = 0;
    WriteFile(file_.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (rotation_.LineWritten()) {
        RotateIfDue();
    }
}

}  // namespace ordane
