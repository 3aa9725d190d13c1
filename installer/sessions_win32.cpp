// Running copies of Ordane, the sessions they ran in, and starting Ordane as a user: close,
// ask-close, relaunch, launch, system.

#include "setup_tool_win32.h"

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/wide_win32.h"
#include "setup/setup_rules.h"

namespace ordane::setup_tool {

namespace setup = ordane::setup;

namespace {

// Every running process this program may end, each opened once: its image path is read through
// the handle that will end it, and while that handle is open its process id cannot be given to
// another process. So the process ended is the one whose image was matched, never a program
// that started later under a reused id.
struct OpenedProcesses {
    std::vector<setup::RunningProcess> running;
    std::vector<UniqueHandle> handles;  // handles[i] is running[i]
};

OpenedProcesses OpenRunningProcesses() {
    OpenedProcesses opened;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) {
        return opened;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        UniqueHandle handle(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                        entry.th32ProcessID));
        if (!handle.Valid()) {
            continue;  // one this program could not end anyway
        }
        setup::RunningProcess process;
        process.id = entry.th32ProcessID;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD length = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(handle.Get(), 0, image, &length)) {
            process.image = FromWide(image);
        }
        opened.running.push_back(process);
        opened.handles.push_back(std::move(handle));
    }
    return opened;
}

}  // namespace

BOOL CALLBACK AskToClose(HWND window, LPARAM processId) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    if (owner == static_cast<DWORD>(processId) && GetClassNameW(window, name, 64) > 0 &&
        std::wcscmp(name, L"OrdaneMainWindow") == 0) {
        // Its close is the program's own Exit: the ports and the tray icon are let go of.
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

namespace {

// No other handle on the file: it can be overwritten and deleted.
bool Replaceable(const wchar_t* program) {
    UniqueHandle file(CreateFileW(program, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.Valid() || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

DWORD StartAsSessionUser(DWORD session, const Text& program, std::wstring& commandLine,
                         UniqueHandle* process = nullptr);
DWORD OwnSession();
DWORD WriteSessions(const wchar_t* file, const std::vector<std::uint32_t>& sessions);

// Asks the copies in the other sessions to close, each through a helper started in its session
// as its user (a window of another session cannot be reached from here); waits a moment for it.
void AskToCloseInOtherSessions(const std::vector<std::pair<std::uint32_t, DWORD>>& copies) {
    const DWORD own = OwnSession();
    const Text self = OwnPath();
    std::vector<UniqueHandle> askers;
    for (const auto& [id, session] : copies) {
        if (session == own || self.empty()) {
            continue;
        }
        std::wstring line =
            L"\"" + std::wstring(Wide(self)) + L"\" ask-close " + std::to_wstring(id);
        UniqueHandle asker;
        if (StartAsSessionUser(session, self, line, &asker) == ERROR_SUCCESS) {
            askers.push_back(std::move(asker));
        }
    }
    for (UniqueHandle& asker : askers) {
        WaitForSingleObject(asker.Get(), 2000);
    }
}

}  // namespace

// `sessionsFile` (may be null): where the sessions of the copies ended are written, for
// "relaunch" after the upgrade.
DWORD CloseCopies(const wchar_t* program, const wchar_t* sessionsFile) {
    // An administrator may open another user's processes only with the debug privilege on; the
    // system account holds it anyway. Without it, such a copy stays and the file check says so.
    EnablePrivilege(L"SeDebugPrivilege");
    OpenedProcesses opened = OpenRunningProcesses();
    const std::vector<std::uint32_t> ids =
        setup::CopiesToEnd(opened.running, FullPath(program), GetCurrentProcessId());
    std::vector<UniqueHandle> processes;
    std::vector<std::pair<std::uint32_t, DWORD>> copies;  // process id, session
    std::vector<std::uint32_t> sessions;
    for (std::size_t i = 0; i < opened.running.size(); ++i) {
        const std::uint32_t id = opened.running[i].id;
        if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
            EnumWindows(AskToClose, static_cast<LPARAM>(id));  // one in this session
            DWORD session = 0;
            if (ProcessIdToSessionId(id, &session)) {
                copies.emplace_back(id, session);
                sessions.push_back(session);
            }
            processes.push_back(std::move(opened.handles[i]));
        }
    }
    opened.handles.clear();  // the others are none of this program's business
    if (RunsAsSystem()) {
        AskToCloseInOtherSessions(copies);
    }
    if (sessionsFile != nullptr) {
        WriteSessions(sessionsFile, sessions);
    }
    // A copy in the middle of a start-up step keeps its commands disabled: ended after 5 s.
    const ULONGLONG deadline = GetTickCount64() + 5000;
    bool stillRunning = false;
    for (UniqueHandle& process : processes) {
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(process.Get(), wait) != WAIT_OBJECT_0) {
            TerminateProcess(process.Get(), 1);
            stillRunning |= WaitForSingleObject(process.Get(), 5000) != WAIT_OBJECT_0;
        }
    }
    if (stillRunning) {
        return ERROR_BUSY;  // the installer's exit 3
    }
    // The file is let go of a moment after the process ends. Held longer, by another program
    // (a virus scanner, Explorer's preview), the installer replaces it at the next restart.
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (Replaceable(program)) {
            return ERROR_SUCCESS;
        }
        Sleep(250);
    }
    return ERROR_SHARING_VIOLATION;
}

namespace {

bool TokenIs(HANDLE token, WELL_KNOWN_SID_TYPE type) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        return false;
    }
    return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, type) != FALSE;
}

bool TokenElevated(HANDLE token) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

// The desktop shell of this session: its process runs with the user's ordinary token. It may be
// another user's than the installer's (an administrator's credentials typed over a clerk's
// session): opening it then takes the debug privilege, as ending that user's copy did in
// "close"; without it the clerk's Ordane was ended and never started again.
UniqueHandle ShellProcess() {
    const HWND shell = GetShellWindow();
    DWORD id = 0;
    if (shell == nullptr || GetWindowThreadProcessId(shell, &id) == 0 || id == 0) {
        return UniqueHandle();
    }
    EnablePrivilege(L"SeDebugPrivilege");
    return UniqueHandle(OpenProcess(PROCESS_CREATE_PROCESS, FALSE, id));
}

// In that session, with its user's token (the system account only may ask for it). `process`,
// when given, receives the started process.
DWORD StartAsSessionUser(DWORD session, const Text& program, std::wstring& commandLine,
                         UniqueHandle* process) {
    HANDLE raw = nullptr;
    if (!WTSQueryUserToken(session, &raw)) {
        return GetLastError();
    }
    UniqueHandle token(raw);
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token.Get(), FALSE)) {
        return GetLastError();
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    PROCESS_INFORMATION info = {};
    const Text folder = Folder(program);
    const BOOL started = CreateProcessAsUserW(token.Get(), Wide(program), commandLine.data(),
                                              nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                              environment, Wide(folder), &startup, &info);
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    DestroyEnvironmentBlock(environment);
    if (started) {
        const UniqueHandle thread(info.hThread);
        UniqueHandle child(info.hProcess);
        if (process != nullptr) {
            *process = std::move(child);
        }
    }
    return error;
}

// Started as the shell's child, the program takes the shell's token: the user's, not elevated.
DWORD StartUnderShell(HANDLE shell, const Text& program, std::wstring& commandLine) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        return GetLastError();
    }
    DWORD error = ERROR_SUCCESS;
    if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &shell,
                                   sizeof(shell), nullptr, nullptr)) {
        error = GetLastError();
    } else {
        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = attributes;
        PROCESS_INFORMATION info = {};
        const Text folder = Folder(program);
        if (CreateProcessW(Wide(program), commandLine.data(), nullptr, nullptr, FALSE,
                           EXTENDED_STARTUPINFO_PRESENT, nullptr, Wide(folder),
                           &startup.StartupInfo, &info)) {
            const UniqueHandle thread(info.hThread);
            const UniqueHandle child(info.hProcess);
        } else {
            error = GetLastError();
        }
    }
    DeleteProcThreadAttributeList(attributes);
    return error;
}

DWORD StartDirect(const Text& program, std::wstring& commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const Text folder = Folder(program);
    if (!CreateProcessW(Wide(program), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        Wide(folder), &startup, &info)) {
        return GetLastError();
    }
    const UniqueHandle thread(info.hThread);
    const UniqueHandle child(info.hProcess);
    return ERROR_SUCCESS;
}

// Who runs this program, and what this session offers; `shell` receives the desktop shell's
// process when an administrator runs it.
DWORD CurrentContext(setup::LaunchContext& context, UniqueHandle& shell) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return GetLastError();
    }
    const UniqueHandle own(raw);
    context.isLocalSystem = TokenIs(own.Get(), WinLocalSystemSid);
    context.isElevated = TokenElevated(own.Get());
    if (context.isLocalSystem) {
        HANDLE probe = nullptr;
        const DWORD session = WTSGetActiveConsoleSessionId();
        context.consoleUserLoggedOn = session != 0xFFFFFFFF && WTSQueryUserToken(session, &probe);
        UniqueHandle closeProbe(probe);
    }
    shell = context.isLocalSystem ? UniqueHandle() : ShellProcess();
    context.shellRunning = shell.Valid();
    return ERROR_SUCCESS;
}

}  // namespace

DWORD Launch(const wchar_t* path) {
    const Text program = FullPath(path);
    std::wstring commandLine = L"\"" + std::wstring(Wide(program)) + L"\"";
    setup::LaunchContext context;
    UniqueHandle shell;
    const DWORD known = CurrentContext(context, shell);
    if (known != ERROR_SUCCESS) {
        return known;
    }
    switch (setup::DecideLaunch(context)) {
        case setup::LaunchWay::kAsConsoleUser:
            return StartAsSessionUser(WTSGetActiveConsoleSessionId(), program, commandLine);
        case setup::LaunchWay::kWithShellToken:
            return StartUnderShell(shell.Get(), program, commandLine);
        case setup::LaunchWay::kDirect:
            return StartDirect(program, commandLine);
        case setup::LaunchWay::kNotStarted:
            break;
    }
    return ERROR_NO_SUCH_LOGON_SESSION;
}

namespace {

DWORD OwnSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// The sessions whose copies "close" ended, as it wrote them: numbers separated by blanks.
std::vector<std::uint32_t> ReadSessions(const wchar_t* file) {
    std::vector<std::uint32_t> sessions;
    UniqueHandle handle(CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    char text[512] = {};
    DWORD read = 0;
    if (!handle.Valid() || !ReadFile(handle.Get(), text, sizeof(text) - 1, &read, nullptr)) {
        return sessions;
    }
    for (char* at = text; *at != '\0';) {
        char* end = nullptr;
        const unsigned long session = std::strtoul(at, &end, 10);
        if (end == at) {
            break;
        }
        sessions.push_back(static_cast<std::uint32_t>(session));
        at = end;
    }
    return sessions;
}

DWORD WriteSessions(const wchar_t* file, const std::vector<std::uint32_t>& sessions) {
    std::string text;
    for (std::uint32_t session : sessions) {
        text += std::to_string(session) + " ";
    }
    UniqueHandle handle(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!handle.Valid() ||
        !WriteFile(handle.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

}  // namespace

// After an upgrade: Ordane again in every session where "close" ended a copy (`sessionsFile`),
// and in the console session too when `run` ("1": /RUN). Exit code: the last failure, if any.
DWORD Relaunch(const wchar_t* path, const wchar_t* sessionsFile, bool run) {
    const Text program = FullPath(path);
    setup::LaunchContext context;
    UniqueHandle shell;
    DWORD result = CurrentContext(context, shell);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const DWORD own = OwnSession();
    const DWORD runSession = context.isLocalSystem ? WTSGetActiveConsoleSessionId() : own;
    for (std::uint32_t session :
         setup::SessionsToRestart(ReadSessions(sessionsFile), run, runSession)) {
        std::wstring commandLine = L"\"" + std::wstring(Wide(program)) + L"\"";
        DWORD started = ERROR_NO_SUCH_LOGON_SESSION;
        switch (setup::DecideRestart(context, session, own)) {
            case setup::RestartWay::kAsSessionUser:
                started = StartAsSessionUser(session, program, commandLine);
                break;
            case setup::RestartWay::kWithShellToken:
                started = StartUnderShell(shell.Get(), program, commandLine);
                break;
            case setup::RestartWay::kDirect:
                started = StartDirect(program, commandLine);
                break;
            case setup::RestartWay::kNotStarted:
                break;
        }
        if (started != ERROR_SUCCESS) {
            result = started;
        }
    }
    return result;
}

bool RunsAsSystem() {
    return SystemAccountAnswer() == 0;
}

DWORD SystemAccountAnswer() {
    // Whatever went wrong, never 1 ("another account"): the installer would show its pages.
    const auto failed = [](DWORD error) { return error == 1 ? ERROR_GEN_FAILURE : error; };
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return failed(GetLastError());
    }
    const UniqueHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) {
        return failed(GetLastError());
    }
    return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) ? 0
                                                                                              : 1;
}

}  // namespace ordane::setup_tool
