// The removal, run as uninstall.exe, and its finish step; what a removal left for the next
// restart, taken back by an installation into its folder.

#include "setup_tool_win32.h"

#include <cstdint>
#include <cwchar>
#include <string>

#include "common/wide_win32.h"
#include "setup/setup_rules.h"

namespace ordane::setup_tool {

namespace setup = ordane::setup;

HANDLE HandleArgument(const wchar_t* text) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(text, nullptr, 10)));
}

std::wstring HandleArgument(HANDLE handle) {
    return std::to_wstring(reinterpret_cast<std::uintptr_t>(handle));
}

// `removal`, `file` and `lock`: handles the removal's uninstall.exe let this process inherit, on
// itself, on its own file and on the installers' lock (none when it could not be had). That file
// is deleted through the handle once the removal has ended: so a reinstallation that has put a
// new uninstall.exe there keeps it. The lock held to the end makes an installation started right
// after the removal wait, so that this never deletes the folder it has just made or adopted.
DWORD FinishRemoval(const wchar_t* folder, HANDLE removal, HANDLE file, HANDLE lock) {
    const UniqueHandle installersLock(lock);  // deletes the lock file when it closes
    const UniqueHandle uninstaller(removal);
    UniqueHandle installedFile(file);
    if (uninstaller.Valid()) {
        WaitForSingleObject(uninstaller.Get(), 60000);
    }
    DWORD result = ERROR_INVALID_HANDLE;
    FILE_DISPOSITION_INFO dispose = {TRUE};
    for (int attempt = 0; attempt < 50 && installedFile.Valid(); ++attempt) {
        // Refused while its image is still mapped: it is let go of a moment after the end.
        if (SetFileInformationByHandle(installedFile.Get(), FileDispositionInfo, &dispose,
                                       sizeof(dispose))) {
            result = ERROR_SUCCESS;
            break;
        }
        result = GetLastError();
        Sleep(200);
    }
    // The file goes only when its last handle closes: until then the folder is not empty.
    installedFile.Reset();
    if (installersLock.Valid()) {
        RemoveDirectoryW(folder);  // only when empty
    }
    const Text self = OwnPath();
    if (!self.empty()) {
        // In this order: the folder can only go once it is empty.
        MoveFileExW(Wide(self), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExW(Wide(Folder(self)), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return result;
}

namespace {

constexpr wchar_t kUninstaller[] = L"uninstall-ordane.exe";  // NSIS's, beside uninstall.exe
constexpr int kAborted = 2;                // the installer's "aborted": nothing was removed
constexpr DWORD kDoneAfterRestart = 3010;  // removed; Ordane.exe goes at the next restart

// A new folder that only administrators and the system account may enter: the uninstaller and
// the helper run elevated from it, so no user may place a library beside them.
DWORD CreatePrivateFolder(const std::wstring& path) {
    AdminsOnlyDescriptor only;
    const DWORD result = only.Build(SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &only.descriptor, FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
}

// The removal's own files in a fresh folder under %TEMP%; whatever is left of them goes with it.
class RemovalFolder {
  public:
    RemovalFolder() {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        if (length == 0 || length > MAX_PATH) {
            return;
        }
        for (ULONGLONG attempt = 0; attempt < 100; ++attempt) {
            const std::wstring path = std::wstring(temp) + L"ordane-uninstall-" +
                                      std::to_wstring(GetCurrentProcessId()) + L"-" +
                                      std::to_wstring(GetTickCount64() + attempt);
            const DWORD result = CreatePrivateFolder(path);
            if (result == ERROR_SUCCESS) {
                path_ = path;
            }
            if (result != ERROR_ALREADY_EXISTS) {
                return;
            }
        }
    }
    ~RemovalFolder() {
        if (path_.empty()) {
            return;
        }
        // The uninstaller's image is let go of a moment after it has ended.
        const std::wstring uninstaller = File(kUninstaller);
        for (int attempt = 0; attempt < 25 && !DeleteFileW(uninstaller.c_str()) &&
                              GetLastError() != ERROR_FILE_NOT_FOUND;
             ++attempt) {
            Sleep(200);
        }
        DeleteFileW(File(kLockPath).c_str());
        if (!helperKept_) {
            DeleteFileW(File(kHelper).c_str());
            RemoveDirectoryW(path_.c_str());
        }
    }
    RemovalFolder(const RemovalFolder&) = delete;
    RemovalFolder& operator=(const RemovalFolder&) = delete;

    static constexpr wchar_t kHelper[] = L"ordane_setup_tool.exe";
    static constexpr wchar_t kLockPath[] = L"lock-path";  // written by the uninstaller

    bool Valid() const { return !path_.empty(); }
    const std::wstring& Path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }
    void KeepHelper() { helperKept_ = true; }  // it removes itself and the folder later

  private:
    std::wstring path_;
    bool helperKept_ = false;
};

// `inherit`: the child gets this process's inheritable handles (only the finish step's are).
DWORD Start(const std::wstring& program, std::wstring commandLine, const std::wstring& folder,
            UniqueHandle& process, bool inherit = false) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, 0, nullptr,
                        folder.c_str(), &startup, &info)) {
        return GetLastError();
    }
    const UniqueHandle thread(info.hThread);
    process.Reset(info.hProcess);
    return ERROR_SUCCESS;
}

// The installers' lock, taken as they take it (`path`: where the uninstaller said it is), made
// with a list only administrators and SYSTEM may open and deleted when closed. Waited for while an
// installation that started meanwhile holds it, 10 s at most; none when it cannot be had.
UniqueHandle TakeInstallersLock(const std::wstring& path) {
    AdminsOnlyDescriptor only;
    if (path.empty() || only.Build(NO_INHERITANCE) != ERROR_SUCCESS) {
        return UniqueHandle();
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), &only.descriptor, TRUE};
    for (int attempt = 0; attempt < 50; ++attempt) {
        UniqueHandle lock(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      &inheritable, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr));
        if (lock.Valid()) {
            return lock;
        }
        Sleep(200);
    }
    return UniqueHandle();
}

// The lock's path as the uninstaller wrote it (UTF-16) into the removal's folder, which only
// administrators and SYSTEM may change; empty when it is not there.
std::wstring LockPath(const std::wstring& file) {
    const UniqueHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = 0;
    if (!handle.Valid() ||
        !ReadFile(handle.Get(), path, sizeof(path) - sizeof(wchar_t), &size, nullptr)) {
        return std::wstring();
    }
    return std::wstring(path, size / sizeof(wchar_t));
}

}  // namespace

int RemoveInstallation() {
    const Text self = OwnPath();
    const Text installed = Folder(self);
    RemovalFolder temp;
    if (installed.empty() || !temp.Valid()) {
        return kAborted;
    }
    const std::wstring uninstaller = temp.File(kUninstaller);
    const std::wstring helper = temp.File(RemovalFolder::kHelper);
    const std::wstring installedUninstaller = std::wstring(Wide(installed)) + L"\\" + kUninstaller;
    if (!CopyFileW(installedUninstaller.c_str(), uninstaller.c_str(), TRUE) ||
        !CopyFileW(Wide(self), helper.c_str(), TRUE)) {
        return kAborted;
    }
    const Text command = setup::UninstallerCommandLine(FromWide(GetCommandLineW()),
                                                       FromWide(uninstaller.c_str()), installed);
    UniqueHandle process;
    if (Start(uninstaller, Wide(command), temp.Path(), process) != ERROR_SUCCESS) {
        return kAborted;
    }
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = kAborted;
    GetExitCodeProcess(process.Get(), &code);
    if (code == 0 || code == kDoneAfterRestart) {
        // This uninstall.exe goes too, once this process has ended: a copy of it waits for that.
        // Taken now, while this is surely the removal's file: a handle on this process and one
        // on its own file, both inherited by the copy that deletes the file.
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        UniqueHandle ownFile(CreateFileW(Wide(self), DELETE | SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         &inheritable, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
        HANDLE raw = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &raw,
                        SYNCHRONIZE, TRUE, 0);
        const UniqueHandle ownProcess(raw);
        // Taken before this removal returns, so that an installation its caller starts next
        // finds it held.
        const UniqueHandle lock = TakeInstallersLock(LockPath(temp.File(RemovalFolder::kLockPath)));
        UniqueHandle finish;
        const std::wstring line = L"\"" + helper + L"\" finish \"" + Wide(installed) + L"\" " +
                                  HandleArgument(ownProcess.Get()) + L" " +
                                  HandleArgument(ownFile.Get()) + L" " + HandleArgument(lock.Get());
        if (ownFile.Valid() && ownProcess.Valid() &&
            Start(helper, line, temp.Path(), finish, true) == ERROR_SUCCESS) {
            temp.KeepHelper();
        }
    }
    return static_cast<int>(code);
}

// Windows keeps the operations in one or two values of the Session Manager's key; each is read
// whole and written back only when one of its pairs goes (deleted when none is left).
DWORD TakeBackPendingDeletions(const wchar_t* folder) {
    UniqueRegKey key;
    LONG result =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, key.Receive());
    if (result != ERROR_SUCCESS) {
        return static_cast<DWORD>(result);
    }
    for (const wchar_t* name : {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}) {
        DWORD type = 0;
        DWORD size = 0;
        result = RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND || (result == ERROR_SUCCESS && type != REG_MULTI_SZ)) {
            continue;
        }
        Text operations(size / sizeof(char16_t), u'\0');
        if (result == ERROR_SUCCESS) {
            result = RegQueryValueExW(key.Get(), name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(operations.data()), &size);
        }
        if (result != ERROR_SUCCESS) {
            return static_cast<DWORD>(result);
        }
        operations.resize(size / sizeof(char16_t));
        const Text kept = setup::WithoutPendingDeletions(operations, FromWide(folder));
        if (kept == operations) {
            continue;
        }
        result = kept.empty() ? RegDeleteValueW(key.Get(), name)
                              : RegSetValueExW(key.Get(), name, 0, REG_MULTI_SZ,
                                               reinterpret_cast<const BYTE*>(kept.data()),
                                               static_cast<DWORD>(kept.size() * sizeof(char16_t)));
        if (result != ERROR_SUCCESS) {
            return static_cast<DWORD>(result);
        }
    }
    return ERROR_SUCCESS;
}

bool InstalledAsUninstaller() {
    const Text self = OwnPath();
    const std::size_t slash = self.find_last_of(u"\\/");
    return _wcsicmp(Wide(self.substr(slash == Text::npos ? 0 : slash + 1)), L"uninstall.exe") == 0;
}

}  // namespace ordane::setup_tool
