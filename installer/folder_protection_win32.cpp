// The helper's rights on files, keys and Ordane's folder: file, key, revoke-key, asked-folder,
// protect.

#include "setup_tool_win32.h"

#include <aclapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdint>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "common/wide_win32.h"
#include "setup/folder_security_win32.h"
#include "setup/setup_rules.h"

namespace ordane::setup_tool {

namespace setup = ordane::setup;

namespace {

// The object's present DACL with an allow entry for Users added (SetSecurityInfo on handle).
DWORD GrantUsers(HANDLE object, SE_OBJECT_TYPE type, DWORD rights, DWORD inheritance) {
    WellKnownSid users(WinBuiltinUsersSid);
    if (users.Get() == nullptr) {
        return users.Error();
    }
    PACL oldDacl = nullptr;
    LocalMemory descriptor;
    DWORD result = GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   &oldDacl, nullptr, descriptor.Receive<PSECURITY_DESCRIPTOR>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    EXPLICIT_ACCESSW access = Allow(users.Get(), rights, inheritance);
    LocalMemory newDacl;
    result = SetEntriesInAclW(1, &access, oldDacl, newDacl.Receive<PACL>());
    if (result == ERROR_SUCCESS) {
        result = SetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 newDacl.As<PACL>(), nullptr);
    }
    return result;
}

}  // namespace

DWORD GrantFile(const wchar_t* path) {
    UniqueHandle file;
    const DWORD opened = OpenUnlinked(path, READ_CONTROL | WRITE_DAC, 0, file);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    return GrantUsers(file.Get(), SE_FILE_OBJECT, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                      NO_INHERITANCE);
}

// Users may read and set the values of this key (Ordane's "upload"), and nothing of its subkeys:
// the key may be shared with the card reader maker's software.
DWORD GrantKey(const wchar_t* subkey) {
    UniqueRegKey key;
    const LONG created =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        READ_CONTROL | WRITE_DAC | kOrdaneView, nullptr, key.Receive(), nullptr);
    if (created != ERROR_SUCCESS) {
        return static_cast<DWORD>(created);
    }
    return GrantUsers(key.Get(), SE_REGISTRY_KEY, KEY_QUERY_VALUE | KEY_SET_VALUE, NO_INHERITANCE);
}

namespace {

// --- The folder the installer was asked for ---------------------------------------------------
constexpr DWORD kNotTheAskedFolder = 0x20000003;

// The process that started this one; it waits for this one, so its id is not reused meanwhile.
DWORD ParentProcessId() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) {
        return 0;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == self) {
            return entry.th32ParentProcessID;
        }
    }
    return 0;
}

// The command line a process was started with, as Windows keeps it in the process's own
// parameters (PEB.ProcessParameters.CommandLine): NSIS takes "/D=" off its copy of the line only.
// A 32-bit process on 64-bit Windows is read through the parameters of the same width as this
// program's, which Windows keeps for it too.
DWORD ProcessCommandLine(DWORD id, std::wstring& line) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    if (query == nullptr) {
        return GetLastError();
    }
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
    if (!process.Valid()) {
        return GetLastError();
    }
    PROCESS_BASIC_INFORMATION basic = {};
    if (!NT_SUCCESS(
            query(process.Get(), ProcessBasicInformation, &basic, sizeof(basic), nullptr))) {
        return ERROR_INVALID_DATA;
    }
    const auto read = [&process](const void* from, void* to, SIZE_T size) -> DWORD {
        SIZE_T done = 0;
        if (!ReadProcessMemory(process.Get(), from, to, size, &done)) {
            return GetLastError();
        }
        return done == size ? ERROR_SUCCESS : ERROR_PARTIAL_COPY;
    };
    PEB peb = {};
    RTL_USER_PROCESS_PARAMETERS parameters = {};
    DWORD result = read(basic.PebBaseAddress, &peb, sizeof(peb));
    if (result == ERROR_SUCCESS) {
        result = read(peb.ProcessParameters, &parameters, sizeof(parameters));
    }
    line.assign(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (result == ERROR_SUCCESS && !line.empty()) {
        result = read(parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length);
    }
    return result;
}

}  // namespace

DWORD CheckAskedFolder(const wchar_t* installDir) {
    std::wstring line;
    const DWORD parent = ParentProcessId();
    const DWORD result = parent == 0 ? ERROR_NOT_FOUND : ProcessCommandLine(parent, line);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return setup::GotAskedFolder(FromWide(line.c_str()), FromWide(installDir)) ? ERROR_SUCCESS
                                                                               : kNotTheAskedFolder;
}

// The removal with /PURGE takes back what GrantKey gave: Users' own entries on the key, if it is
// still there (other programs' values kept it).
DWORD RevokeKey(const wchar_t* subkey) {
    UniqueRegKey key;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0,
                                      READ_CONTROL | WRITE_DAC | kOrdaneView, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (opened != ERROR_SUCCESS) {
        return static_cast<DWORD>(opened);
    }
    WellKnownSid users(WinBuiltinUsersSid);
    if (users.Get() == nullptr) {
        return users.Error();
    }
    PACL oldDacl = nullptr;
    LocalMemory descriptor;
    DWORD result =
        GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &oldDacl, nullptr, descriptor.Receive<PSECURITY_DESCRIPTOR>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    EXPLICIT_ACCESSW revoke = Allow(users.Get(), 0, NO_INHERITANCE);
    revoke.grfAccessMode = REVOKE_ACCESS;
    LocalMemory newDacl;
    result = SetEntriesInAclW(1, &revoke, oldDacl, newDacl.Receive<PACL>());
    if (result == ERROR_SUCCESS) {
        result = SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, newDacl.As<PACL>(), nullptr);
    }
    return result;
}

namespace {

// The installer's "the path to the folder may be changed by someone not trusted" (exit 8): a
// Win32-style code with the customer bit, so that no system error means the same.
constexpr DWORD kPathChangeableByOthers = 0x20000001;
// The installer's "the folder exists and is not Ordane's to take" (exit 12).
constexpr DWORD kFolderNotOrdanes = 0x20000004;

Text RunningAccount() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return Text();
    }
    const UniqueHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) {
        return Text();
    }
    return setup::SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// Ordane's rights: Administrators and SYSTEM full control, Users read and execute; inherited
// by what is made inside a folder.
class OrdaneRights {
  public:
    explicit OrdaneRights(bool folder) {
        if (admins_.Get() == nullptr || system_.Get() == nullptr || users_.Get() == nullptr) {
            error_ = ERROR_INVALID_SID;
            return;
        }
        const DWORD inherit = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
        EXPLICIT_ACCESSW entries[] = {Allow(admins_.Get(), GENERIC_ALL, inherit),
                                      Allow(system_.Get(), GENERIC_ALL, inherit),
                                      Allow(users_.Get(), GENERIC_READ | GENERIC_EXECUTE, inherit)};
        error_ = SetEntriesInAclW(3, entries, nullptr, dacl_.Receive<PACL>());
    }
    DWORD Error() const { return error_; }
    PACL Dacl() { return dacl_.As<PACL>(); }
    PSID Owner() { return admins_.Get(); }

    // Set on an object through a handle opened on it: owner too, since an owner could otherwise
    // give the rights back to himself; nothing inherited.
    DWORD SetOn(HANDLE object) {
        return SetSecurityInfo(object, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               Owner(), nullptr, Dacl(), nullptr);
    }

    // A new folder that has these rights and owner from the moment it exists (never the
    // parent's first, nor the installing account as its owner).
    DWORD CreateFolder(const Text& path) {
        SECURITY_DESCRIPTOR descriptor = {};
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&descriptor, Owner(), FALSE) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, Dacl(), FALSE) ||
            !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return GetLastError();
        }
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
        return CreateDirectoryW(Wide(path), &attributes) ? ERROR_SUCCESS : GetLastError();
    }

  private:
    WellKnownSid admins_{WinBuiltinAdministratorsSid};
    WellKnownSid system_{WinLocalSystemSid};
    WellKnownSid users_{WinBuiltinUsersSid};
    LocalMemory dacl_;
    DWORD error_ = ERROR_SUCCESS;
};

// What an existing folder holds, each entry read through a handle on itself (opened as a link,
// never followed; with backup semantics, also one whose list shuts administrators out). Only
// the folder's own entries: Ordane's folder has no subfolder, and one is a reason to refuse.
DWORD ReadEntries(const std::wstring& folder, std::vector<setup::FolderEntry>& entries) {
    WIN32_FIND_DATAW found = {};
    HANDLE raw = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    const UniqueFind closer(raw);
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        setup::FolderEntry entry;
        entry.name = FromWide(found.cFileName);
        const DWORD read = setup::ReadSecurity(FromWide((folder + L"\\" + found.cFileName).c_str()),
                                               entry.security, &entry.links, &entry.directory);
        if (read != ERROR_SUCCESS) {
            return read;
        }
        entry.reparsePoint = entry.security.reparsePoint;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(raw, &found));
    const DWORD end = GetLastError();
    return end == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : end;
}

// Setting.ini with a second name elsewhere (any user may make one: Users may write it) gets a
// file of its own with the same bytes: the other name keeps the old file, and the rights given
// to Setting.ini are never that file's.
DWORD CopySettingsWithSecondName(const Text& folder,
                                 const std::vector<setup::FolderEntry>& entries) {
    for (const setup::FolderEntry& entry : entries) {
        if (entry.links < 2 || setup::ComparablePath(u"C:\\" + entry.name) != u"C:\\SETTING.INI") {
            continue;
        }
        const std::wstring settings = std::wstring(Wide(folder)) + L"\\" + Wide(entry.name);
        const std::wstring copy = settings + L".new";
        // Made anew in the protected folder: the folder's rights, no second name.
        if (!CopyFileW(settings.c_str(), copy.c_str(), FALSE) ||
            !MoveFileExW(copy.c_str(), settings.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = GetLastError();
            DeleteFileW(copy.c_str());
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// A folder's path from the registry (REG_SZ or REG_EXPAND_SZ, expanded); empty when absent.
Text RegistryPath(HKEY key, const wchar_t* subkey, const wchar_t* value) {
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof(path);
    const LONG read = RegGetValueW(key, subkey, value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ,
                                   nullptr, path, &size);
    return read == ERROR_SUCCESS ? FromWide(path) : Text();
}

// The folders nothing is installed in or below: the Windows folder, ProgramData, Common Files,
// the users' profiles' root and every profile (one may live elsewhere).
std::vector<Text> SystemTrees() {
    std::vector<Text> trees = {
        WindowsFolder(), KnownFolder(L"ProgramData"), KnownFolder(L"CommonProgramFiles"),
        KnownFolder(L"CommonProgramFiles(x86)"), KnownFolder(L"CommonProgramW6432")};
    constexpr wchar_t kProfiles[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    trees.push_back(RegistryPath(HKEY_LOCAL_MACHINE, kProfiles, L"ProfilesDirectory"));
    UniqueRegKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfiles, 0, KEY_READ | KEY_WOW64_64KEY,
                      list.Receive()) == ERROR_SUCCESS) {
        wchar_t name[256] = {};
        for (DWORD i = 0;; ++i) {
            DWORD length = static_cast<DWORD>(std::size(name));
            if (RegEnumKeyExW(list.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            trees.push_back(RegistryPath(list.Get(), name, L"ProfileImagePath"));
        }
    }
    return trees;
}

}  // namespace

// Ordane's folder, anywhere but a root, a system folder itself or a system tree, provided
// nobody untrusted may change the path to it: its missing parents and the folder are made with
// Ordane's rights. An existing folder is taken only when it is protected already and holds only
// Ordane's files (never re-permissioned with what is in it: that would not undo what a user did
// before, and would take other programs' files); it is then given Ordane's rights itself.
DWORD ProtectFolder(const wchar_t* folder) {
    const std::vector<Text> managed = {KnownFolder(L"ProgramFiles"),
                                       KnownFolder(L"ProgramFiles(x86)"),
                                       KnownFolder(L"ProgramW6432")};
    const Text full = FullPath(folder);
    if (setup::DecideFolder(full, managed, SystemTrees()) == setup::FolderRule::kRefuse) {
        return ERROR_BAD_PATHNAME;
    }
    EnablePrivilege(L"SeBackupPrivilege");  // reading what shuts administrators out
    EnablePrivilege(L"SeRestorePrivilege");
    const std::vector<Text> ancestors = setup::Ancestors(full);
    std::vector<setup::FolderSecurity> existing;
    std::size_t missing = ancestors.size();
    for (std::size_t i = 0; i < ancestors.size() && missing == ancestors.size(); ++i) {
        setup::FolderSecurity security;
        const DWORD read = setup::ReadSecurity(ancestors[i], security);
        if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) {
            missing = i;
        } else if (read != ERROR_SUCCESS) {
            return read;
        } else {
            existing.push_back(security);
        }
    }
    const std::vector<Text> trusted = setup::TrustedAccounts(RunningAccount());
    if (setup::PathChangeableByOthers(existing, trusted)) {
        return kPathChangeableByOthers;
    }
    OrdaneRights folderRights(true);
    if (folderRights.Error() != ERROR_SUCCESS) {
        return folderRights.Error();
    }
    for (std::size_t i = missing; i < ancestors.size(); ++i) {
        // One that appeared meanwhile was not checked: refused, not used.
        const DWORD made = folderRights.CreateFolder(ancestors[i]);
        if (made != ERROR_SUCCESS) {
            return made == ERROR_ALREADY_EXISTS ? kPathChangeableByOthers : made;
        }
    }
    const DWORD made = folderRights.CreateFolder(full);
    if (made != ERROR_ALREADY_EXISTS) {
        return made;
    }
    // Opened first, so that what is judged is this folder, whatever its path later names.
    UniqueHandle handle;
    const DWORD opened = OpenUnlinked(folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                      FILE_FLAG_BACKUP_SEMANTICS, handle);
    if (opened != ERROR_SUCCESS) {
        return opened == ERROR_REPARSE_ATTRIBUTE_CONFLICT ? kFolderNotOrdanes : opened;
    }
    setup::FolderSecurity security;
    std::vector<setup::FolderEntry> entries;
    DWORD result = setup::ReadSecurity(full, security);
    if (result == ERROR_SUCCESS) {
        result = ReadEntries(std::wstring(Wide(full)), entries);
    }
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (setup::DecideExistingFolder(security, entries, trusted) ==
        setup::ExistingFolderRule::kRefuse) {
        return kFolderNotOrdanes;
    }
    result = folderRights.SetOn(handle.Get());
    return result == ERROR_SUCCESS ? CopySettingsWithSecondName(full, entries) : result;
}

// The installers' lock file (one installation or removal at a time), which only administrators
// and SYSTEM may open: a user holding it open would make every installation end with 1618. Made
// with that list; one already there (an earlier version's) is given it by handle.
DWORD ProtectLockFile(const wchar_t* path) {
    AdminsOnlyDescriptor only;
    DWORD result = only.Build(NO_INHERITANCE);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &only.descriptor, FALSE};
    // Rights on the file's list only: no conflict with an installer that holds it meanwhile.
    UniqueHandle file(CreateFileW(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  &attributes, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        return GetLastError();
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        result = SetSecurityInfo(file.Get(), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                     PROTECTED_DACL_SECURITY_INFORMATION,
                                 only.admins.Get(), nullptr, only.dacl.As<PACL>(), nullptr);
    }
    return result;
}

}  // namespace ordane::setup_tool
