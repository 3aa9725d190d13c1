// The installer's helper (ordane_setup_tool.exe): what its parts share, and the commands the
// command line dispatches to. Each part carries out the rules of setup/setup_rules.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <cstdint>
#include <string>

#include "common/handle_win32.h"
#include "common/text.h"

namespace ordane::setup_tool {

Text FromWide(const wchar_t* text);

// A well-known SID (Users, Administrators, SYSTEM), so that localised names do not matter.
class WellKnownSid {
  public:
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof(sid_);
        if (!CreateWellKnownSid(type, nullptr, sid_, &size)) {
            error_ = GetLastError();
        }
    }
    PSID Get() { return error_ == ERROR_SUCCESS ? static_cast<PSID>(sid_) : nullptr; }
    DWORD Error() const { return error_; }

  private:
    alignas(DWORD) BYTE sid_[SECURITY_MAX_SID_SIZE] = {};
    DWORD error_ = ERROR_SUCCESS;
};

// The registry view Ordane sees: the tool is built 32- or 64-bit as Ordane is.
#ifdef _WIN64
constexpr REGSAM kOrdaneView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kOrdaneView = KEY_WOW64_32KEY;
#endif

EXPLICIT_ACCESSW Allow(PSID sid, DWORD rights, DWORD inheritance);

// What only administrators and the system account may use, owned by Administrators, its list
// protected from inheritance: the list and a descriptor pointing at it, valid while this lives.
struct AdminsOnlyDescriptor {
    WellKnownSid admins{WinBuiltinAdministratorsSid};
    WellKnownSid system{WinLocalSystemSid};
    LocalMemory dacl;
    SECURITY_DESCRIPTOR descriptor = {};
    // inheritance: of the two entries (NO_INHERITANCE for a file). ERROR_SUCCESS or why not.
    DWORD Build(DWORD inheritance);
};
DWORD OpenUnlinked(const wchar_t* path, DWORD access, DWORD flags, UniqueHandle& handle);
Text KnownFolder(const wchar_t* variable);
Text WindowsFolder();
Text FullPath(const wchar_t* path);
bool EnablePrivilege(const wchar_t* name);
Text OwnPath();
Text Folder(const Text& program);

// Folder, file and key rights (folder_protection_win32.cpp).
DWORD GrantFile(const wchar_t* path);
DWORD GrantKey(const wchar_t* subkey);
DWORD RevokeKey(const wchar_t* subkey);
DWORD CheckAskedFolder(const wchar_t* installDir);
DWORD ProtectFolder(const wchar_t* folder);
DWORD ProtectLockFile(const wchar_t* path);

// The browsers' Local Network Access allow-list (browser_policy_win32.cpp).
DWORD RevokeLocalNetworkAccess();
DWORD CheckLocalNetworkAccess(const wchar_t* origins);
DWORD GrantLocalNetworkAccess(const wchar_t* origins);

// Running copies, sessions and starting Ordane (sessions_win32.cpp).
BOOL CALLBACK AskToClose(HWND window, LPARAM processId);
DWORD CloseCopies(const wchar_t* program, const wchar_t* sessionsFile);
DWORD Launch(const wchar_t* path);
DWORD Relaunch(const wchar_t* path, const wchar_t* sessionsFile, bool run);
bool RunsAsSystem();
// The "system" command: 0 as the system account, 1 as another one; otherwise why the token
// could not be read (never 1: the installer stays silent unless told 1).
DWORD SystemAccountAnswer();

// The removal (removal_win32.cpp).
HANDLE HandleArgument(const wchar_t* text);
DWORD FinishRemoval(const wchar_t* folder, HANDLE removal, HANDLE file, HANDLE lock);
int RemoveInstallation();
// The deletions a removal that ended with 3010 left in `folder` for the next restart (the
// Ordane.exe another program held, the folder itself) taken back, before an installation writes
// there: that restart would delete what it installed.
DWORD TakeBackPendingDeletions(const wchar_t* folder);
bool InstalledAsUninstaller();

}  // namespace ordane::setup_tool
