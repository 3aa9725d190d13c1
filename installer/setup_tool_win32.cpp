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
//   system           exit code 0 when run as the system account, 1 otherwise (the installer is
//                    then silent: no page, so no plug-in unpacked into C:\Windows\Temp)
//   finish <folder> <removal> <file>  run from the removal's temporary folder, with handles it
//                    inherited on the removal (its parent) and on its uninstall.exe: once the
//                    removal has ended, deletes that file (never a newer uninstall.exe put there
//                    meanwhile) and the folder if empty; this copy and its temporary folder go
//                    at the next restart
// Exit code 0 when done; otherwise the Win32 error code of the step that failed
// (ERROR_NO_SUCH_LOGON_SESSION from launch: nobody to start it for).
//
// Installed as uninstall.exe, this program is the removal, whatever its arguments: NSIS's own
// uninstaller, installed beside it as uninstall-ordane.exe, cannot be waited for (run as it is,
// it starts a copy of itself in %TEMP% and returns 0 at once). So its copy is run here from a
// fresh folder with the installed folder given as "_?=", waited for, and its exit code returned.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <winternl.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/handle_win32.h"
#include "common/system_library_win32.h"
#include "common/wide_win32.h"
#include "setup/local_network_access.h"
#include "setup/setup_rules.h"

namespace {

using ordane::Text;
using ordane::UniqueHandle;
using ordane::Wide;
namespace setup = ordane::setup;

Text FromWide(const wchar_t* text) {
    return Text(reinterpret_cast<const char16_t*>(text));
}

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

// Memory the security functions hand out with LocalAlloc.
class LocalMemory {
  public:
    LocalMemory() = default;
    ~LocalMemory() { LocalFree(memory_); }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    template <typename T>
    T** Out() {
        return reinterpret_cast<T**>(&memory_);
    }

  private:
    HLOCAL memory_ = nullptr;
};

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

// The object's present DACL with an allow entry for Users added (SetSecurityInfo on handle).
DWORD GrantUsers(HANDLE object, SE_OBJECT_TYPE type, DWORD rights, DWORD inheritance) {
    WellKnownSid users(WinBuiltinUsersSid);
    if (users.Get() == nullptr) {
        return users.Error();
    }
    PACL oldDacl = nullptr;
    LocalMemory descriptor;
    DWORD result = GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   &oldDacl, nullptr, descriptor.Out<void>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    EXPLICIT_ACCESSW access = Allow(users.Get(), rights, inheritance);
    LocalMemory newDacl;
    result = SetEntriesInAclW(1, &access, oldDacl, newDacl.Out<ACL>());
    if (result == ERROR_SUCCESS) {
        result = SetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 *newDacl.Out<ACL>(), nullptr);
    }
    return result;
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

DWORD GrantFile(const wchar_t* path) {
    UniqueHandle file;
    const DWORD opened = OpenUnlinked(path, READ_CONTROL | WRITE_DAC, 0, file);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    return GrantUsers(file.Get(), SE_FILE_OBJECT, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                      NO_INHERITANCE);
}

// The registry view Ordane sees: the tool is built 32- or 64-bit as Ordane is.
#ifdef _WIN64
constexpr REGSAM kOrdaneView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kOrdaneView = KEY_WOW64_32KEY;
#endif

// Owner of an open registry key.
class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// Users may read and set the values of this key (Ordane's "upload"), and nothing of its subkeys:
// the key may be shared with the card reader maker's software.
DWORD GrantKey(const wchar_t* subkey) {
    RegistryKey key;
    const LONG created =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        READ_CONTROL | WRITE_DAC | kOrdaneView, nullptr, key.Out(), nullptr);
    if (created != ERROR_SUCCESS) {
        return static_cast<DWORD>(created);
    }
    return GrantUsers(key.Get(), SE_REGISTRY_KEY, KEY_QUERY_VALUE | KEY_SET_VALUE, NO_INHERITANCE);
}

// --- The browsers' Local Network Access allow-list --------------------------------------------
constexpr DWORD kPublicHttpOrigin = 0x20000002;

// The browsers' machine policy is read in the system's own view (a 64-bit Chrome, and group
// policy writing it); the record is Ordane's own, in the view Ordane sees.
constexpr REGSAM kBrowserView = KEY_WOW64_64KEY;
constexpr wchar_t kAccessRecord[] = L"SOFTWARE\\Ordane\\LocalNetworkAccess";

struct BrowserList {
    const wchar_t* name;  // the record's subkey
    const wchar_t* key;
};
constexpr BrowserList kBrowserLists[] = {
    {L"Chrome", L"SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls"},
    {L"Edge", L"SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls"},
};

std::wstring RecordKey(const BrowserList& list) {
    return std::wstring(kAccessRecord) + L"\\" + list.name;
}

std::wstring WideOf(const std::string& utf8) {
    const Text text = ordane::FromUtf8(utf8);
    return std::wstring(Wide(text));
}

// The string values of an open key (others are named too, with empty data, so that no number
// is taken twice).
DWORD ReadList(HKEY key, std::vector<setup::ListValue>& values) {
    values.clear();
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD nameLength = static_cast<DWORD>(std::size(name));
        std::vector<wchar_t> data(2048);
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &size);
        if (read == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) {
            return static_cast<DWORD>(read);
        }
        std::string text;
        if (read == ERROR_SUCCESS && type == REG_SZ) {
            const std::size_t chars = size / sizeof(wchar_t);
            text = ordane::ToUtf8(FromWide(std::wstring(data.data(), chars).c_str()));
        }
        values.push_back({ordane::ToUtf8(FromWide(name)), text});
    }
}

// A key's values, or none when it is not there.
DWORD ReadListAt(const wchar_t* subkey, REGSAM view, std::vector<setup::ListValue>& values) {
    values.clear();
    RegistryKey key;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | view, key.Out());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    return opened == ERROR_SUCCESS ? ReadList(key.Get(), values) : static_cast<DWORD>(opened);
}

DWORD SetString(HKEY key, const std::string& name, const std::string& data) {
    const std::wstring wideName = WideOf(name);
    const std::wstring wideData = WideOf(data);
    return static_cast<DWORD>(RegSetValueExW(
        key, wideName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wideData.c_str()),
        static_cast<DWORD>((wideData.size() + 1) * sizeof(wchar_t))));
}

// Takes back what the record names from one browser's list, then the record.
DWORD RevokeList(const BrowserList& list) {
    std::vector<setup::ListValue> recorded;
    const std::wstring recordKey = RecordKey(list);
    DWORD result = ReadListAt(recordKey.c_str(), kOrdaneView, recorded);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    RegistryKey key;
    // An empty record (everything was named already) is dropped all the same.
    const LONG opened =
        recorded.empty() ? ERROR_FILE_NOT_FOUND
                         : RegOpenKeyExW(HKEY_LOCAL_MACHINE, list.key, 0,
                                         KEY_QUERY_VALUE | KEY_SET_VALUE | kBrowserView, key.Out());
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
        return static_cast<DWORD>(opened);
    }
    if (opened == ERROR_SUCCESS) {
        std::vector<setup::ListValue> existing;
        result = ReadList(key.Get(), existing);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        const setup::ListRemoval removal = setup::ValuesToRemove(existing, recorded);
        for (const std::string& name : removal.remove) {
            const LONG deleted = RegDeleteValueW(key.Get(), WideOf(name).c_str());
            if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
                return static_cast<DWORD>(deleted);
            }
        }
        for (const setup::ListValue& value : removal.set) {
            result = SetString(key.Get(), value.name, value.data);
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
        if (removal.keyEmpty) {
            // Nothing left in it: the list key goes too (its parents stay).
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, list.key, kBrowserView, 0);
        }
    }
    const LONG dropped = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, recordKey.c_str(), kOrdaneView, 0);
    return dropped == ERROR_SUCCESS || dropped == ERROR_FILE_NOT_FOUND
               ? ERROR_SUCCESS
               : static_cast<DWORD>(dropped);
}

DWORD RevokeLocalNetworkAccess() {
    for (const BrowserList& list : kBrowserLists) {
        const DWORD result = RevokeList(list);
        if (result != ERROR_SUCCESS) {
            return result;
        }
    }
    const LONG dropped = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kAccessRecord, kOrdaneView, 0);
    // Still there when a subkey could not go: the next removal tries again.
    return dropped == ERROR_SUCCESS || dropped == ERROR_FILE_NOT_FOUND
               ? ERROR_SUCCESS
               : static_cast<DWORD>(dropped);
}

DWORD CheckLocalNetworkAccess(const wchar_t* origins) {
    return setup::PlanBrowserGrant(ordane::ToUtf8(FromWide(origins))).refused.empty()
               ? ERROR_SUCCESS
               : kPublicHttpOrigin;
}

DWORD GrantLocalNetworkAccess(const wchar_t* origins) {
    const setup::BrowserGrant grant = setup::PlanBrowserGrant(ordane::ToUtf8(FromWide(origins)));
    if (!grant.refused.empty()) {
        return kPublicHttpOrigin;
    }
    DWORD result = RevokeLocalNetworkAccess();
    for (const BrowserList& list : kBrowserLists) {
        if (result != ERROR_SUCCESS || grant.policy.empty()) {
            return result;
        }
        RegistryKey key;
        LONG made = RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, list.key, 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_QUERY_VALUE | KEY_SET_VALUE | kBrowserView, nullptr, key.Out(), nullptr);
        RegistryKey record;
        if (made == ERROR_SUCCESS) {
            made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, RecordKey(list).c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kOrdaneView, nullptr,
                                   record.Out(), nullptr);
        }
        if (made != ERROR_SUCCESS) {
            return static_cast<DWORD>(made);
        }
        std::vector<setup::ListValue> existing;
        result = ReadList(key.Get(), existing);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        // Recorded first: a value written is never one the removal does not know of.
        for (const setup::ListValue& value : setup::ValuesToAdd(existing, grant.policy)) {
            result = SetString(record.Get(), value.name, value.data);
            if (result == ERROR_SUCCESS) {
                result = SetString(key.Get(), value.name, value.data);
            }
            if (result != ERROR_SUCCESS) {
                return result;
            }
        }
    }
    return result;
}

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
    RegistryKey key;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0,
                                      READ_CONTROL | WRITE_DAC | kOrdaneView, key.Out());
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
    DWORD result = GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &oldDacl, nullptr, descriptor.Out<void>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    EXPLICIT_ACCESSW revoke = Allow(users.Get(), 0, NO_INHERITANCE);
    revoke.grfAccessMode = REVOKE_ACCESS;
    LocalMemory newDacl;
    result = SetEntriesInAclW(1, &revoke, oldDacl, newDacl.Out<ACL>());
    if (result == ERROR_SUCCESS) {
        result = SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, *newDacl.Out<ACL>(), nullptr);
    }
    return result;
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

// The installer's "the path to the folder may be changed by someone not trusted" (exit 8): a
// Win32-style code with the customer bit, so that no system error means the same.
constexpr DWORD kPathChangeableByOthers = 0x20000001;

Text SidText(PSID sid) {
    LocalMemory text;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, text.Out<wchar_t>())) {
        return Text();
    }
    return FromWide(*text.Out<wchar_t>());
}

// Of the entries of an access list, those that allow or refuse by SID. An entry of another kind
// (an object or conditional one) counts as allowing everything to nobody known.
std::vector<setup::AccessEntry> Entries(PACL dacl) {
    std::vector<setup::AccessEntry> entries;
    if (dacl == nullptr) {  // no list at all: everyone may do everything
        entries.push_back({true, false, u"S-1-1-0", setup::kGenericAll});
        return entries;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        setup::AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            entry.mask = ace->Mask;
            entry.sid = SidText(&ace->SidStart);
        } else {
            entry.mask = 0xFFFFFFFF;
        }
        entries.push_back(entry);
    }
    return entries;
}

// Owner and access list of an existing folder, read through a handle on the folder itself.
DWORD ReadFolderSecurity(const Text& path, setup::FolderSecurity& security) {
    UniqueHandle handle(CreateFileW(
        Wide(path), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.Valid()) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle.Get(), &info)) {
        return GetLastError();
    }
    security.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    const DWORD result = GetSecurityInfo(handle.Get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, descriptor.Out<void>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    security.owner = SidText(owner);
    security.entries = Entries(dacl);
    return ERROR_SUCCESS;
}

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
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
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
        error_ = SetEntriesInAclW(3, entries, nullptr, dacl_.Out<ACL>());
    }
    DWORD Error() const { return error_; }
    PACL Dacl() { return *dacl_.Out<ACL>(); }
    PSID Owner() { return admins_.Get(); }

    // Set on an object through a handle opened on it: owner too, since an owner could otherwise
    // give the rights back to himself; nothing inherited.
    DWORD SetOn(HANDLE object) {
        return SetSecurityInfo(object, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               Owner(), nullptr, Dacl(), nullptr);
    }

    // A new folder that has these rights from the moment it exists (never the parent's first).
    DWORD CreateFolder(const Text& path) {
        SECURITY_DESCRIPTOR descriptor = {};
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
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

// A directory search (FindFirstFile), closed with FindClose.
class FindHandle {
  public:
    explicit FindHandle(HANDLE find) : find_(find) {}
    ~FindHandle() { FindClose(find_); }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

  private:
    HANDLE find_;
};

// Every entry already in a protected folder, below it too: Ordane's rights and owner, set
// through a handle on the entry itself (opened as a link, never followed). A link, a junction
// or a file with a second name is refused, and so the installation.
DWORD ReprotectEntries(const std::wstring& folder, OrdaneRights& fileRights,
                       OrdaneRights& folderRights) {
    WIN32_FIND_DATAW found = {};
    HANDLE raw = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    const FindHandle closer(raw);
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        const std::wstring path = folder + L"\\" + found.cFileName;
        // Backup semantics with the restore privilege: also an entry whose list shuts
        // administrators out.
        UniqueHandle entry(CreateFileW(
            path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!entry.Valid()) {
            return GetLastError();
        }
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!GetFileInformationByHandle(entry.Get(), &info)) {
            return GetLastError();
        }
        setup::FolderEntry facts;
        facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts.links = info.nNumberOfLinks;
        if (setup::DecideEntry(facts) == setup::EntryAction::kRefuse) {
            return facts.reparsePoint ? ERROR_REPARSE_ATTRIBUTE_CONFLICT : ERROR_TOO_MANY_LINKS;
        }
        const DWORD result = (facts.directory ? folderRights : fileRights).SetOn(entry.Get());
        if (result != ERROR_SUCCESS) {
            return result;
        }
        if (facts.directory) {
            const DWORD inner = ReprotectEntries(path, fileRights, folderRights);
            if (inner != ERROR_SUCCESS) {
                return inner;
            }
        }
    } while (FindNextFileW(raw, &found));
    const DWORD end = GetLastError();
    return end == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : end;
}

// Ordane's folder, anywhere but a root or a system folder itself, provided nobody untrusted may
// change the path to it: its missing parents and the folder are made with Ordane's rights; an
// existing folder is re-owned and re-protected by handle, with all it holds.
DWORD ProtectFolder(const wchar_t* folder) {
    const std::vector<Text> managed = {KnownFolder(L"ProgramFiles"),
                                       KnownFolder(L"ProgramFiles(x86)"),
                                       KnownFolder(L"ProgramW6432"), WindowsFolder()};
    const Text full = FullPath(folder);
    if (setup::DecideFolder(full, managed) == setup::FolderRule::kRefuse) {
        return ERROR_BAD_PATHNAME;
    }
    EnablePrivilege(L"SeRestorePrivilege");  // re-owning what a user owns
    EnablePrivilege(L"SeTakeOwnershipPrivilege");
    const std::vector<Text> ancestors = setup::Ancestors(full);
    std::vector<setup::FolderSecurity> existing;
    std::size_t missing = ancestors.size();
    for (std::size_t i = 0; i < ancestors.size() && missing == ancestors.size(); ++i) {
        setup::FolderSecurity security;
        const DWORD read = ReadFolderSecurity(ancestors[i], security);
        if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) {
            missing = i;
        } else if (read != ERROR_SUCCESS) {
            return read;
        } else {
            existing.push_back(security);
        }
    }
    if (setup::PathChangeableByOthers(existing, setup::TrustedAccounts(RunningAccount()))) {
        return kPathChangeableByOthers;
    }
    OrdaneRights folderRights(true);
    OrdaneRights fileRights(false);
    if (folderRights.Error() != ERROR_SUCCESS || fileRights.Error() != ERROR_SUCCESS) {
        return folderRights.Error() != ERROR_SUCCESS ? folderRights.Error() : fileRights.Error();
    }
    for (std::size_t i = missing; i < ancestors.size(); ++i) {
        // One that appeared meanwhile was not checked: refused, not used.
        const DWORD made = folderRights.CreateFolder(ancestors[i]);
        if (made != ERROR_SUCCESS) {
            return made == ERROR_ALREADY_EXISTS ? kPathChangeableByOthers : made;
        }
    }
    const DWORD made = folderRights.CreateFolder(full);
    if (made == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    if (made != ERROR_ALREADY_EXISTS) {
        return made;
    }
    UniqueHandle handle;
    const DWORD opened = OpenUnlinked(folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                      FILE_FLAG_BACKUP_SEMANTICS, handle);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    // The folder first: then nobody else may add an entry while its entries are done.
    const DWORD result = folderRights.SetOn(handle.Get());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return ReprotectEntries(std::wstring(Wide(full)), fileRights, folderRights);
}

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
bool RunsAsSystem();
Text OwnPath();
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

// The desktop shell of this session: its process runs with the user's ordinary token.
UniqueHandle ShellProcess() {
    const HWND shell = GetShellWindow();
    DWORD id = 0;
    if (shell == nullptr || GetWindowThreadProcessId(shell, &id) == 0 || id == 0) {
        return UniqueHandle();
    }
    return UniqueHandle(OpenProcess(PROCESS_CREATE_PROCESS, FALSE, id));
}

Text OwnPath() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    return length == 0 || length >= MAX_PATH * 2 ? Text() : FromWide(path);
}

Text Folder(const Text& program) {
    const std::size_t slash = program.find_last_of(u"\\/");
    return slash == Text::npos ? Text() : program.substr(0, slash);
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
        CloseHandle(info.hThread);
        if (process != nullptr) {
            process->Reset(info.hProcess);
        } else {
            CloseHandle(info.hProcess);
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
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
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
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
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
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const UniqueHandle token(raw);
    return TokenIs(token.Get(), WinLocalSystemSid);
}

HANDLE HandleArgument(const wchar_t* text) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(text, nullptr, 10)));
}

std::wstring HandleArgument(HANDLE handle) {
    return std::to_wstring(reinterpret_cast<std::uintptr_t>(handle));
}

// `removal` and `file`: handles the removal's uninstall.exe let this process inherit, on itself
// and on its own file. That file is deleted through the handle once the removal has ended: so
// a reinstallation that has put a new uninstall.exe there meanwhile keeps it.
DWORD FinishRemoval(const wchar_t* folder, HANDLE removal, HANDLE file) {
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
    RemoveDirectoryW(folder);  // only when empty
    const Text self = OwnPath();
    if (!self.empty()) {
        // In this order: the folder can only go once it is empty.
        MoveFileExW(Wide(self), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExW(Wide(Folder(self)), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return result;
}

constexpr wchar_t kUninstaller[] = L"uninstall-ordane.exe";  // NSIS's, beside uninstall.exe
constexpr int kAborted = 2;                // the installer's "aborted": nothing was removed
constexpr DWORD kDoneAfterRestart = 3010;  // removed; Ordane.exe goes at the next restart

// A new folder that only administrators and the system account may enter: the uninstaller and
// the helper run elevated from it, so no user may place a library beside them.
DWORD CreatePrivateFolder(const std::wstring& path) {
    WellKnownSid admins(WinBuiltinAdministratorsSid);
    WellKnownSid system(WinLocalSystemSid);
    if (admins.Get() == nullptr || system.Get() == nullptr) {
        return ERROR_INVALID_SID;
    }
    const DWORD inherit = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    EXPLICIT_ACCESSW entries[] = {Allow(admins.Get(), GENERIC_ALL, inherit),
                                  Allow(system.Get(), GENERIC_ALL, inherit)};
    LocalMemory dacl;
    const DWORD result = SetEntriesInAclW(2, entries, nullptr, dacl.Out<ACL>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    SECURITY_DESCRIPTOR descriptor = {};
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, *dacl.Out<ACL>(), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
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
        if (!helperKept_) {
            DeleteFileW(File(kHelper).c_str());
            RemoveDirectoryW(path_.c_str());
        }
    }
    RemovalFolder(const RemovalFolder&) = delete;
    RemovalFolder& operator=(const RemovalFolder&) = delete;

    static constexpr wchar_t kHelper[] = L"ordane_setup_tool.exe";

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
    CloseHandle(info.hThread);
    process.Reset(info.hProcess);
    return ERROR_SUCCESS;
}

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
        UniqueHandle finish;
        const std::wstring line = L"\"" + helper + L"\" finish \"" + Wide(installed) + L"\" " +
                                  HandleArgument(ownProcess.Get()) + L" " +
                                  HandleArgument(ownFile.Get());
        if (ownFile.Valid() && ownProcess.Valid() &&
            Start(helper, line, temp.Path(), finish, true) == ERROR_SUCCESS) {
            temp.KeepHelper();
        }
    }
    return static_cast<int>(code);
}

bool InstalledAsUninstaller() {
    const Text self = OwnPath();
    const std::size_t slash = self.find_last_of(u"\\/");
    return _wcsicmp(Wide(self.substr(slash == Text::npos ? 0 : slash + 1)), L"uninstall.exe") == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ordane::RestrictLibrarySearch({L"userenv.dll", L"wtsapi32.dll"});
    if (InstalledAsUninstaller()) {
        return RemoveInstallation();
    }
    if (argc == 2 && std::wstring(argv[1]) == L"system") {
        return RunsAsSystem() ? 0 : 1;
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
    if (argc == 5 && std::wstring(argv[1]) == L"finish") {
        return static_cast<int>(
            FinishRemoval(argv[2], HandleArgument(argv[3]), HandleArgument(argv[4])));
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
