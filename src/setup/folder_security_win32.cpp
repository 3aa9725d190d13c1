#include "setup/folder_security_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "common/handle_win32.h"
#include "common/wide_win32.h"

namespace ordane::setup {

namespace {

// Of the entries of an access list, those that allow or refuse by SID. An entry of another kind
// (an object or conditional one) counts as allowing everything to nobody known.
std::vector<AccessEntry> Entries(PACL dacl) {
    std::vector<AccessEntry> entries;
    if (dacl == nullptr) {  // no list at all: everyone may do everything
        entries.push_back({true, false, u"S-1-1-0", kGenericAll});
        return entries;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        AccessEntry entry;
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

}  // namespace

Text SidText(PSID sid) {
    LocalMemory text;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, text.Receive<LPWSTR>())) {
        return Text();
    }
    return Text(text.As<const char16_t*>());
}

DWORD ReadSecurity(const Text& path, FolderSecurity& security, std::uint32_t* links,
                   bool* directory) {
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
    if (links != nullptr) {
        *links = info.nNumberOfLinks;
    }
    if (directory != nullptr) {
        *directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    const DWORD result = GetSecurityInfo(
        handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &owner, nullptr, &dacl, nullptr, descriptor.Receive<PSECURITY_DESCRIPTOR>());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    security.owner = SidText(owner);
    security.entries = Entries(dacl);
    return ERROR_SUCCESS;
}

bool FolderProtectedFromUsers(const Text& folder) {
    FolderSecurity security;
    return ReadSecurity(folder, security) == ERROR_SUCCESS &&
           ProtectedFromOthers(security, TrustedAccounts(Text()));
}

}  // namespace ordane::setup
