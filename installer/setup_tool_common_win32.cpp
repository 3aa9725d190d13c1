// What the helper's parts share: paths, SIDs, privileges.

#include "setup_tool_win32.h"

#include "common/wide_win32.h"

namespace ordane::setup_tool {

Text FromWide(const wchar_t* text) {
    return Text(reinterpret_cast<const char16_t*>(text));
}

DWORD AdminsOnlyDescriptor::Build(DWORD inheritance) {
    if (admins.Get() == nullptr || system.Get() == nullptr) {
        return ERROR_INVALID_SID;
    }
    EXPLICIT_ACCESSW entries[] = {Allow(admins.Get(), GENERIC_ALL, inheritance),
                                  Allow(system.Get(), GENERIC_ALL, inheritance)};
    const DWORD result = SetEntriesInAclW(2, entries, nullptr, dacl.Receive<PACL>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, admins.Get(), FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.As<PACL>(), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

EXPLICIT_ACCESSW Allow(PSID sid, DWORD rights, DWORD inheritance) {
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = inheritance;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return access;
}

// Opened as the object itself: a symbolic link or junction is refused rather than followed,
// and so is a file with a second name (a hard link the user made to a file elsewhere).
DWORD OpenUnlinked(const wchar_t* path, DWORD access, DWORD flags, UniqueHandle& handle) {
    handle.Reset(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
    if (!handle.Valid()) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle.Get(), &info)) {
        return GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ERROR_REPARSE_ATTRIBUTE_CONFLICT;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info.nNumberOfLinks > 1) {
        return ERROR_TOO_MANY_LINKS;
    }
    return ERROR_SUCCESS;
}

Text KnownFolder(const wchar_t* variable) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(variable, buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? Text() : FromWide(buffer);
}

Text WindowsFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? Text() : FromWide(buffer);
}

Text FullPath(const wchar_t* path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return FromWide(path);
    }
    wchar_t longer[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(full, longer, MAX_PATH);
    return longLength == 0 || longLength >= MAX_PATH ? FromWide(full) : FromWide(longer);
}

bool EnablePrivilege(const wchar_t* name) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) {
        return false;
    }
    const UniqueHandle token(raw);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
           AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           GetLastError() == ERROR_SUCCESS;
}

// Its long form: started by a short name (UNINST~1.EXE, or a folder's 8.3 name), the removal
// would neither know itself as uninstall.exe nor name the folder as the uninstall entry does.
Text OwnPath() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return Text();
    }
    wchar_t longer[MAX_PATH * 2] = {};
    const DWORD longLength = GetLongPathNameW(path, longer, MAX_PATH * 2);
    return FromWide(longLength == 0 || longLength >= MAX_PATH * 2 ? path : longer);
}

Text Folder(const Text& program) {
    const std::size_t slash = program.find_last_of(u"\\/");
    return slash == Text::npos ? Text() : program.substr(0, slash);
}

}  // namespace ordane::setup_tool
