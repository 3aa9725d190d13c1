// ordane_setup_tool.exe: the installer's helper, run by the installer and the uninstaller only
// (as administrator or as the system account of a deployment tool). The decisions are in
// setup/setup_rules; this file only carries them out.
//   file <path>      Users may read and change this file (Setting.ini); a link or a reparse
//                    point is refused, never followed
//   key <subkey>     the key under HKEY_LOCAL_MACHINE exists (in the view Ordane sees)
//                    and Users may read and set its values (not its subkeys)
//   revoke-key <subkey>  Users' own entries on that key, if it is there, are taken away
//   protect <folder> refused (exit 0x20000001) when someone not an administrator may rename,
//                    re-permission or re-own a folder above it; else its missing parents and
//                    itself are made with their access list (Administrators and SYSTEM full
//                    control, Users read and execute, nothing inherited), or an existing one is
//                    re-owned and given it by handle, with every entry in it (a link, junction
//                    or file with a second name refused)
//   close <exe>      every running copy of that program file, in every session, is asked to
//                    close and then ended; the file can then be replaced (ERROR_BUSY: a copy
//                    did not end; ERROR_SHARING_VIOLATION: another program holds the file)
//   close <exe> <file>  the same, and writes the sessions of the copies ended to <file>
//   ask-close <id>   run by "close" in another session as its user: asks that process's Ordane
//                    window there to close
//   relaunch <exe> <file> <0|1>  after an upgrade, starts Ordane again in every session <file>
//                    names (as its user; an administrator reaches only his own session), and
//                    with 1 (/RUN) where "launch" would start it too
//   launch <exe>     starts the program in the logged-on user's session with that user's
//                    ordinary rights, or not at all
//   lna-check <origins>  exit 0x20000002 when one of the bridge's origins is an http page on a
//                    public address, which no browser policy can let reach the bridge
//   lna-grant <origins>  Chrome's and Edge's LocalNetworkAccessAllowedForUrls (machine policy,
//                    64-bit view) name the bridge's https origins: what an earlier grant wrote is
//                    taken back first, entries others wrote stay, and what is written is recorded
//                    under HKLM\SOFTWARE\Ordane\LocalNetworkAccess (the view Ordane sees)
//   lna-revoke       takes back the entries recorded there, and the record
//   asked-folder <folder>  exit 0x20000003 when the command line of the process that started
//                    this one (the installer, waiting for it) asked with /D= for another folder
//                    than <folder>, the one the installer got
//   system           exit code 0 when run as the system account, 1 as another account, else the
//                    error that kept it from telling (the installer is silent unless it is 1: no
//                    page, so no plug-in unpacked into C:\Windows\Temp)
//   lock-file <path> the installers' lock file exists and only administrators and SYSTEM may
//                    open it
//   take-back-deletions <folder>  the deletions of the folder and of what is in it that Windows
//                    would carry out at the next restart (PendingFileRenameOperations), which a
//                    removal that ended with 3010 left, are taken back
//   finish <folder> <removal> <file> <lock>  run from the removal's temporary folder, with
//                    handles it inherited on the removal (its parent), on its uninstall.exe and on
//                    the installers' lock (0: none): once the removal has ended, deletes that file
//                    (never a newer uninstall.exe put there meanwhile) and, holding the lock, the
//                    folder if empty; then lets the lock go. This copy and its temporary folder go
//                    at the next restart
// Exit code 0 when done; otherwise the Win32 error code of the step that failed
// (ERROR_NO_SUCH_LOGON_SESSION from launch: nobody to start it for).
//
// Installed as uninstall.exe, this program is the removal, whatever its arguments: NSIS's own
// uninstaller, installed beside it as uninstall-ordane.exe, cannot be waited for (run as it is,
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/system_library_win32.h"
#include "setup_tool_win32.h"

using namespace ordane::setup_tool;

int wmain(int argc, wchar_t** argv) {
    ordane::RestrictLibrarySearch({L"userenv.dll", L"wtsapi32.dll"});
    if (InstalledAsUninstaller()) {
        return RemoveInstallation();
    }
    if (argc == 2 && std::wstring(argv[1]) == L"system") {
        return static_cast<int>(SystemAccountAnswer());
    }
    if (argc == 3 && std::wstring(argv[1]) == L"ask-close") {
        EnumWindows(AskToClose, static_cast<LPARAM>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    if (argc == 4 && std::wstring(argv[1]) == L"close") {
        return static_cast<int>(CloseCopies(argv[2], argv[3]));
    }
    if (argc == 5 && std::wstring(argv[1]) == L"relaunch") {
        return static_cast<int>(Relaunch(argv[2], argv[3], std::wstring(argv[4]) == L"1"));
    }
    if (argc == 6 && std::wstring(argv[1]) == L"finish") {
        return static_cast<int>(FinishRemoval(argv[2], HandleArgument(argv[3]),
                                              HandleArgument(argv[4]), HandleArgument(argv[5])));
    }
    if (argc == 2 && std::wstring(argv[1]) == L"lna-revoke") {
        return static_cast<int>(RevokeLocalNetworkAccess());
    }
    if (argc != 3) {
        return ERROR_BAD_ARGUMENTS;
    }
    const std::wstring command = argv[1];
    if (command == L"file") {
        return static_cast<int>(GrantFile(argv[2]));
    }
    if (command == L"key") {
        return static_cast<int>(GrantKey(argv[2]));
    }
    if (command == L"revoke-key") {
        return static_cast<int>(RevokeKey(argv[2]));
    }
    if (command == L"asked-folder") {
        return static_cast<int>(CheckAskedFolder(argv[2]));
    }
    if (command == L"lna-check") {
        return static_cast<int>(CheckLocalNetworkAccess(argv[2]));
    }
    if (command == L"lna-grant") {
        return static_cast<int>(GrantLocalNetworkAccess(argv[2]));
    }
    if (command == L"lock-file") {
        return static_cast<int>(ProtectLockFile(argv[2]));
    }
    if (command == L"take-back-deletions") {
        return static_cast<int>(TakeBackPendingDeletions(argv[2]));
    }
    if (command == L"protect") {
        return static_cast<int>(ProtectFolder(argv[2]));
    }
    if (command == L"close") {
        return static_cast<int>(CloseCopies(argv[2], nullptr));
    }
    if (command == L"launch") {
        return static_cast<int>(Launch(argv[2]));
    }
    return ERROR_BAD_ARGUMENTS;
}
